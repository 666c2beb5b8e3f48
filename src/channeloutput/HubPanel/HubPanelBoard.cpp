// Board checks of the HUB75 output: model and module files, and running the module tools.
#include "HubPanelBoard.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace hubpanel {

namespace {

std::string underRoot(const std::string& root, const char* file) {
    std::string r = root.empty() ? "/" : root;
    if (r.back() != '/') {
        r += '/';
    }
    return r + file;
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.compare(0, strlen(prefix), prefix) == 0;
}

} // namespace

std::string ModelPath(const std::string& root) {
    return underRoot(root, "proc/device-tree/model");
}

std::string ModulesPath(const std::string& root) {
    return underRoot(root, "proc/modules");
}

bool ReadBoardFile(const std::string& path, std::string& text) {
    text.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream buf;
    buf << in.rdbuf();
    if (in.bad()) {
        return false;
    }
    text = buf.str();
    while (!text.empty() && (text.back() == '\0' || text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return true;
}

bool IsUnsupportedBoard(const std::string& model) {
    return startsWith(model, "Raspberry Pi 5") || startsWith(model, "Raspberry Pi Compute Module 5");
}

bool IsRaspberryPi(const std::string& model) {
    return startsWith(model, "Raspberry Pi");
}

bool ModuleLoaded(const std::string& modules, const std::string& name) {
    std::istringstream in(modules);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, name.size(), name) == 0 &&
            (line.size() == name.size() || line[name.size()] == ' ' || line[name.size()] == '\t')) {
            return true;
        }
    }
    return false;
}

bool RunProgram(const std::vector<std::string>& argv, std::string& error) {
    if (argv.empty() || argv[0].empty() || argv[0][0] != '/') {
        error = "could not be started: a program is named by its absolute path";
        return false;
    }
    std::vector<char*> args;
    std::vector<std::string> copies = argv;
    for (std::string& a : copies) {
        args.push_back(&a[0]);
    }
    args.push_back(nullptr);

    // The child gets the default signal handling back: the daemon ignores SIGPIPE,
    // which would otherwise carry over into the tool.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    int r = posix_spawn(&pid, args[0], nullptr, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (r != 0) {
        error = std::string("could not be started: ") + strerror(r);
        return false;
    }
    int status = 0;
    pid_t w;
    do {
        w = waitpid(pid, &status, 0);
    } while (w < 0 && errno == EINTR);
    if (w < 0) {
        error = std::string("could not be waited for: ") + strerror(errno);
        return false;
    }
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) == 0) {
            error.clear();
            return true;
        }
        error = "exited with status " + std::to_string(WEXITSTATUS(status));
        return false;
    }
    if (WIFSIGNALED(status)) {
        error = "was killed by signal " + std::to_string(WTERMSIG(status));
        return false;
    }
    error = "ended in an unknown way";
    return false;
}

} // namespace hubpanel
