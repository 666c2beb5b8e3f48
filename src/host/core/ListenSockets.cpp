// Sockets inherited from the starter of the process.
#include "host/core/ListenSockets.h"

#include "host/core/Log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The first inherited descriptor, by the activation convention.
constexpr int FIRST_FD = 3;
// More would be a mistake of the starter; do not walk the descriptor table for it.
constexpr long MAX_FDS = 64;

struct Inherited {
    int fd;
    std::string name;
};

std::mutex g_lock; // guards g_read and g_sockets
bool g_read = false;
std::vector<Inherited> g_sockets;

void readEnvironment() {
    g_read = true;
    const char* pid = getenv("LISTEN_PID");
    const char* fds = getenv("LISTEN_FDS");
    if (!pid || !fds) {
        return;
    }
    char* end = nullptr;
    long forPid = strtol(pid, &end, 10);
    if (*end != 0 || forPid != (long)getpid()) {
        return; // meant for another process (a parent that did not clean up)
    }
    long count = strtol(fds, &end, 10);
    if (*end != 0 || count < 1 || count > MAX_FDS) {
        LogWarn(LOGCH_GENERAL, "LISTEN_FDS=\"%s\" is not a count of sockets; ignored\n", fds);
        return;
    }
    std::vector<std::string> names;
    if (const char* n = getenv("LISTEN_FDNAMES")) {
        std::string all = n;
        size_t pos = 0;
        while (pos <= all.size()) {
            size_t colon = all.find(':', pos);
            if (colon == std::string::npos) {
                colon = all.size();
            }
            names.push_back(all.substr(pos, colon - pos));
            pos = colon + 1;
        }
    }
    for (long i = 0; i < count; i++) {
        int fd = FIRST_FD + (int)i;
        if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
            LogWarn(LOGCH_GENERAL, "Inherited socket %d is not open: %s\n", fd, strerror(errno));
            continue;
        }
        g_sockets.push_back({fd, i < (long)names.size() ? names[i] : std::string()});
    }
    // Children started later must not think the sockets are theirs.
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
}

} // namespace

int TakeListenSocket(const std::string& name) {
    std::lock_guard<std::mutex> l(g_lock);
    if (!g_read) {
        readEnvironment();
    }
    for (size_t i = 0; i < g_sockets.size(); i++) {
        bool unnamedOnly = g_sockets.size() == 1 && g_sockets[i].name.empty();
        if (g_sockets[i].name == name || unnamedOnly) {
            int fd = g_sockets[i].fd;
            g_sockets.erase(g_sockets.begin() + (long)i);
            return fd;
        }
    }
    return -1;
}

int GetSocketPort(int fd) {
    struct sockaddr_storage addr;
    socklen_t len = sizeof(addr);
    if (getsockname(fd, (struct sockaddr*)&addr, &len) != 0) {
        return 0;
    }
    if (addr.ss_family == AF_INET) {
        return ntohs(((struct sockaddr_in*)&addr)->sin_port);
    }
    if (addr.ss_family == AF_INET6) {
        return ntohs(((struct sockaddr_in6*)&addr)->sin6_port);
    }
    return 0;
}
