// UDP receiver for tests.
#include "UdpReceiver.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

UdpReceiver::UdpReceiver(const char* address, int receiveBuffer) {
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        return;
    }
    if (receiveBuffer > 0 &&
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof(receiveBuffer)) != 0) {
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    }
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    m_bound = bind(m_fd, (struct sockaddr*)&a, sizeof(a)) == 0;
    socklen_t len = sizeof(a);
    if (m_bound && getsockname(m_fd, (struct sockaddr*)&a, &len) == 0) {
        m_port = ntohs(a.sin_port);
    }
}

UdpReceiver::~UdpReceiver() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

bool UdpReceiver::receive(std::vector<uint8_t>& out, int timeoutMs) {
    struct pollfd p = {m_fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) {
        return false;
    }
    out.resize(70000);
    ssize_t n = recv(m_fd, out.data(), out.size(), 0);
    if (n < 0) {
        return false;
    }
    out.resize((size_t)n);
    return true;
}
