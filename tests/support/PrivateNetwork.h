// The test process in a network namespace of its own with only its loopback up:
// fixed ports (E1.31's 5568, Art-Net's 6454, DDP's 4048) are the test's alone,
// and a tavod started from it shares that loopback. Needs root (CI runs as root).
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

class PrivateNetwork {
public:
    PrivateNetwork() {
        if (geteuid() != 0) {
            m_reason = "a network namespace of its own needs root";
            return;
        }
        if (unshare(CLONE_NEWNET) != 0) {
            m_reason = std::string("unshare(CLONE_NEWNET) failed: ") + strerror(errno);
            return;
        }
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct ifreq ifr;
        memset(&ifr, 0, sizeof(ifr));
        strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
        bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
        ifr.ifr_flags |= IFF_UP;
        up = up && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
        if (fd >= 0) {
            close(fd);
        }
        if (!up) {
            m_reason = std::string("cannot bring up the loopback of the new namespace: ") + strerror(errno);
            return;
        }
        m_ok = true;
    }
    bool ok() const { return m_ok; }
    const std::string& reason() const { return m_reason; }

private:
    bool m_ok = false;
    std::string m_reason;
};
