// A listening loopback socket on a port of the system's choosing.
#include "LoopbackListener.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

LoopbackListener::LoopbackListener() {
    // Close-on-exec: only the child it is handed to (by dup2) inherits it.
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        return;
    }
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (bind(m_fd, (struct sockaddr*)&a, sizeof(a)) != 0 || listen(m_fd, 64) != 0 ||
        getsockname(m_fd, (struct sockaddr*)&a, &len) != 0) {
        close(m_fd);
        m_fd = -1;
        return;
    }
    m_port = ntohs(a.sin_port);
}

LoopbackListener::~LoopbackListener() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

int LoopbackListener::release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
}
