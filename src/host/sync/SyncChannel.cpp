// The sync packets' socket.
#include "SyncChannel.h"

#include "host/core/Common.h"
#include "host/core/Log.h"

#include <cerrno>
#include <cstring>
#include <random>

#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tavosync {

bool ParseDestination(const std::string& text, uint16_t defaultPort, struct sockaddr_in& to) {
    std::string address = text;
    uint16_t port = defaultPort;
    size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        address = text.substr(0, colon);
        char* end = nullptr;
        long p = strtol(text.c_str() + colon + 1, &end, 10);
        if (*end != 0 || p < 1 || p > 65535) {
            return false;
        }
        port = (uint16_t)p;
    }
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    return inet_pton(AF_INET, address.c_str(), &to.sin_addr) == 1;
}

std::vector<int> MulticastInterfaces() {
    std::vector<int> found;
    struct if_nameindex* names = if_nameindex();
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    for (struct if_nameindex* i = names; names && fd >= 0 && i->if_index != 0; i++) {
        struct ifreq r;
        memset(&r, 0, sizeof(r));
        strncpy(r.ifr_name, i->if_name, IFNAMSIZ - 1);
        if (ioctl(fd, SIOCGIFFLAGS, &r) == 0 && (r.ifr_flags & IFF_UP) && (r.ifr_flags & IFF_MULTICAST) &&
            !(r.ifr_flags & IFF_LOOPBACK)) {
            found.push_back((int)i->if_index);
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    if (names) {
        if_freenameindex(names);
    }
    return found;
}

Channel::~Channel() {
    Close();
}

bool Channel::Open(const Settings& settings, Handler handler, std::string& error) {
    Close();
    m_settings = settings;
    m_handler = std::move(handler);
    m_id = std::random_device{}() | 1u;
    m_to.clear();
    m_interfaces.clear();
    for (const std::string& u : settings.unicast) {
        struct sockaddr_in to;
        if (!ParseDestination(u, settings.port, to)) {
            error = "\"syncUnicast\": \"" + u + "\" is not ADDRESS or ADDRESS:PORT";
            return false;
        }
        m_to.push_back(to);
    }
    struct in_addr group;
    if (inet_pton(AF_INET, settings.group.c_str(), &group) != 1 || !IN_MULTICAST(ntohl(group.s_addr))) {
        error = "\"syncGroup\": \"" + settings.group + "\" is not a multicast address";
        return false;
    }
    if (m_to.empty()) {
        struct sockaddr_in to;
        memset(&to, 0, sizeof(to));
        to.sin_family = AF_INET;
        to.sin_port = htons(settings.port);
        to.sin_addr = group;
        m_to.push_back(to);
    }
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0) {
        error = std::string("cannot make the sync socket: ") + strerror(errno);
        return false;
    }
    int one = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in me;
    memset(&me, 0, sizeof(me));
    me.sin_family = AF_INET;
    me.sin_port = htons(settings.port);
    me.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(m_fd, reinterpret_cast<struct sockaddr*>(&me), sizeof(me)) != 0) {
        error = "cannot listen for sync packets on port " + std::to_string(settings.port) + ": " +
                strerror(errno);
        Close();
        return false;
    }
    if (settings.unicast.empty()) {
        // Without a named interface, every interface that is up and takes multicast:
        // a board's namespace often has no route for the group, and a board on two
        // networks may have followers on either.
        if (!settings.interface.empty()) {
            int index = (int)if_nametoindex(settings.interface.c_str());
            if (index == 0) {
                error = "\"syncInterface\": there is no interface " + settings.interface;
                Close();
                return false;
            }
            m_interfaces.push_back(index);
        } else {
            m_interfaces = MulticastInterfaces();
        }
        int joined = 0;
        std::string why;
        for (int index : m_interfaces.empty() ? std::vector<int>{0} : m_interfaces) {
            struct ip_mreqn m;
            memset(&m, 0, sizeof(m));
            m.imr_multiaddr = group;
            m.imr_ifindex = index;
            if (setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof(m)) == 0) {
                joined++;
            } else {
                why = strerror(errno);
            }
        }
        if (!joined) {
            error = "cannot join the sync group " + settings.group + ": " + why;
            Close();
            return false;
        }
        unsigned char ttl = 1;
        setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
    }
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread(&Channel::run, this);
    return true;
}

void Channel::Close() {
    if (m_thread.joinable()) {
        uint64_t one = 1;
        if (write(m_wakeFd, &one, sizeof(one)) < 0) {
            LogWarn(LOGCH_PLAYER, "Sync: cannot wake the sync thread: %s\n", strerror(errno));
        }
        m_thread.join();
    }
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    if (m_wakeFd >= 0) {
        close(m_wakeFd);
        m_wakeFd = -1;
    }
}

bool Channel::Send(protocols::sync::Packet packet) {
    std::lock_guard<std::mutex> l(m_sendLock);
    if (m_fd < 0) {
        return false;
    }
    packet.sequence = m_sequence++;
    packet.sender = m_id;
    uint8_t out[protocols::sync::MAX_PACKET_SIZE];
    size_t n = protocols::sync::encode(out, packet);
    if (n == 0) {
        return false;
    }
    bool ok = true;
    auto sendAll = [&] {
        for (const struct sockaddr_in& to : m_to) {
            if (sendto(m_fd, out, n, MSG_NOSIGNAL, reinterpret_cast<const struct sockaddr*>(&to),
                       sizeof(to)) < 0) {
                ok = false;
                m_refused++;
            } else {
                m_sent++;
            }
        }
    };
    if (m_settings.unicast.empty() && !m_interfaces.empty()) {
        // The group on each interface in turn.
        for (int index : m_interfaces) {
            struct ip_mreqn m;
            memset(&m, 0, sizeof(m));
            m.imr_ifindex = index;
            setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &m, sizeof(m));
            sendAll();
        }
    } else {
        sendAll();
    }
    return ok;
}

void Channel::run() {
    SetThreadName("Tavo-Sync");
    if (m_settings.threadStart) {
        m_settings.threadStart();
    }
    uint8_t buf[protocols::sync::MAX_PACKET_SIZE + 1];
    while (true) {
        struct pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {m_fd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            LogErr(LOGCH_PLAYER, "Sync: poll failed: %s\n", strerror(errno));
            return;
        }
        if (fds[0].revents) {
            return;
        }
        for (int i = 0; i < 64; i++) {
            struct sockaddr_in from;
            socklen_t fromLen = sizeof(from);
            ssize_t got =
                recvfrom(m_fd, buf, sizeof(buf), 0, reinterpret_cast<struct sockaddr*>(&from), &fromLen);
            if (got < 0) {
                break;
            }
            int64_t arrived = GetTime();
            protocols::sync::Packet p = protocols::sync::decode(buf, (size_t)got);
            if (!p.valid || p.sender == m_id) {
                continue;
            }
            m_received++;
            if (m_handler) {
                m_handler(p, from.sin_addr.s_addr, arrived);
            }
        }
    }
}

} // namespace tavosync
