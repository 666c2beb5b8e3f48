// Plain TCP test client over loopback, with a chosen source address.
#include "RawTcpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

RawTcpClient::RawTcpClient(uint16_t port, const std::string& fromAddress) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    struct sockaddr_in from;
    memset(&from, 0, sizeof(from));
    from.sin_family = AF_INET;
    if (inet_pton(AF_INET, fromAddress.c_str(), &from.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<struct sockaddr*>(&from), sizeof(from)) != 0) {
        ::close(fd);
        return;
    }
    struct sockaddr_in to;
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&to), sizeof(to)) != 0) {
        ::close(fd);
        return;
    }
    m_fd = fd;
}

RawTcpClient::~RawTcpClient() {
    close();
}

void RawTcpClient::close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool RawTcpClient::send(const std::string& bytes) {
    size_t sent = 0;
    while (m_fd >= 0 && sent < bytes.size()) {
        ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return m_fd >= 0;
}

void RawTcpClient::read(int timeoutMs, const std::string& until) {
    const int64_t end = nowMs() + timeoutMs;
    // Only what arrives in this call counts: an earlier match must not end the wait.
    const size_t from = m_received.size();
    char buf[16384];
    while (m_fd >= 0 && !m_closed) {
        if (!until.empty() && m_received.find(until, from) != std::string::npos) {
            return;
        }
        const int64_t left = end - nowMs();
        if (left <= 0) {
            return;
        }
        struct pollfd p = {m_fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            m_closed = true;
            return;
        }
        m_received.append(buf, static_cast<size_t>(n));
    }
}

bool RawTcpClient::waitClosed(int timeoutMs) {
    const int64_t end = nowMs() + timeoutMs;
    while (!m_closed && nowMs() < end) {
        read(static_cast<int>(end - nowMs()));
    }
    return m_closed;
}

int RawTcpClient::status() const {
    if (m_received.compare(0, 9, "HTTP/1.1 ") != 0 && m_received.compare(0, 9, "HTTP/1.0 ") != 0) {
        return 0;
    }
    return atoi(m_received.c_str() + 9);
}
