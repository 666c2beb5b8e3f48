// linkcard_sim as a child process in the cards' namespace of a veth pair: started,
// waited for until it listens, stopped with SIGTERM, and its summary read back.
#pragma once

#include "host/core/JsonUtils.h"
#include "TempDir.h"
#include "VethPair.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

class SimProcess {
public:
    // `args` after --interface and --out, such as {"--cards", "12.1,13.4"}.
    SimProcess(VethPair& veth, const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"ip",          "netns",   "exec",  veth.ns,     TAVO_LINKCARD_SIM,
                                         "--interface", veth.card, "--out", m_dir.path()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (auto& a : argv) {
            cargv.push_back(const_cast<char*>(a.c_str()));
        }
        cargv.push_back(nullptr);
        int out[2];
        if (pipe2(out, O_CLOEXEC) < 0) {
            m_error = strerror(errno);
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            execvp(cargv[0], cargv.data());
            _exit(127);
        }
        close(out[1]);
        // "ready" once it listens.
        std::string text;
        struct pollfd p = {out[0], POLLIN, 0};
        while (text.find("ready\n") == std::string::npos && poll(&p, 1, 10000) > 0) {
            char buf[64];
            ssize_t n = read(out[0], buf, sizeof(buf));
            if (n <= 0) {
                break;
            }
            text.append(buf, (size_t)n);
        }
        close(out[0]);
        m_ready = text.find("ready\n") != std::string::npos;
        if (!m_ready) {
            m_error = "linkcard_sim did not start: " + text;
        }
    }
    ~SimProcess() { Stop(); }

    bool ready() const { return m_ready; }
    const std::string& error() const { return m_error; }

    // Stops it and reads what it saw; false when it did not end well.
    bool Stop() {
        if (m_pid <= 0) {
            return m_stopped;
        }
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        m_stopped = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                    LoadJsonFromFile(m_dir.file("summary.json"), summary);
        return m_stopped;
    }

    Json::Value summary; // after Stop: what summary.json holds
    std::string picture() const { return readFileBytes(m_dir.file("picture.rgb")); }

private:
    TempDir m_dir;
    pid_t m_pid = -1;
    bool m_ready = false;
    bool m_stopped = false;
    std::string m_error;
};
