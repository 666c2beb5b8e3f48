// The service manager's notification socket, written by hand: one datagram per message.
#include "Notify.h"

#include "host/core/Log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool unixAddress(const std::string& name, struct sockaddr_un& addr, socklen_t& len) {
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (name.size() < 2 || name.size() >= sizeof(addr.sun_path) || (name[0] != '/' && name[0] != '@')) {
        return false;
    }
    memcpy(addr.sun_path, name.data(), name.size());
    if (name[0] == '@') {
        addr.sun_path[0] = 0; // an abstract name: no file, the whole length counts
    }
    len = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + name.size() + (name[0] == '/' ? 1 : 0));
    return true;
}

} // namespace

ServiceNotifier::ServiceNotifier() {
    const char* socketName = getenv("NOTIFY_SOCKET");
    const char* usec = getenv("WATCHDOG_USEC");
    const char* pid = getenv("WATCHDOG_PID");
    if (usec) {
        char* end = nullptr;
        long long v = strtoll(usec, &end, 10);
        bool forUs = true;
        if (pid) {
            char* pend = nullptr;
            long p = strtol(pid, &pend, 10);
            forUs = *pend == 0 && p == (long)getpid();
        }
        if (*end == 0 && v > 0 && forUs) {
            m_watchdogUsec = v;
        }
    }
    if (socketName && *socketName) {
        m_address = socketName;
        struct sockaddr_un addr;
        socklen_t len;
        if (!unixAddress(m_address, addr, len)) {
            LogWarn(LOGCH_GENERAL,
                    "NOTIFY_SOCKET=\"%s\" is not a socket path or @name; the service manager "
                    "will not hear from tavod\n",
                    m_address.c_str());
        } else {
            m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (m_fd < 0) {
                LogErr(LOGCH_GENERAL, "Cannot open a socket for NOTIFY_SOCKET %s: %s\n", m_address.c_str(),
                       strerror(errno));
            } else if (connect(m_fd, (struct sockaddr*)&addr, len) != 0) {
                LogErr(LOGCH_GENERAL, "Cannot reach the service manager at NOTIFY_SOCKET %s: %s\n",
                       m_address.c_str(), strerror(errno));
                close(m_fd);
                m_fd = -1;
            }
        }
    }
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
}

ServiceNotifier::~ServiceNotifier() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

bool ServiceNotifier::Send(const std::string& state) {
    if (m_fd < 0) {
        return false;
    }
    ssize_t n = send(m_fd, state.data(), state.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n == (ssize_t)state.size()) {
        return true;
    }
    int err = errno;
    std::lock_guard<std::mutex> l(m_lock);
    if (!m_failed) {
        // Once: a manager that went away would otherwise fill the log every ping.
        m_failed = true;
        LogErr(LOGCH_GENERAL, "Cannot tell the service manager (NOTIFY_SOCKET %s): %s\n", m_address.c_str(),
               n < 0 ? strerror(err) : "short write");
    }
    return false;
}

void ServiceNotifier::Ready(const std::string& status) {
    Send("READY=1\nSTATUS=" + status + "\nMAINPID=" + std::to_string(getpid()));
}

void ServiceNotifier::Reloading() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    long long usec = (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
    Send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

void ServiceNotifier::Stopping() {
    Send("STOPPING=1\nSTATUS=Stopping");
}

void ServiceNotifier::Status(const std::string& status) {
    Send("STATUS=" + status);
}

void ServiceNotifier::WatchdogPing() {
    Send("WATCHDOG=1");
}
