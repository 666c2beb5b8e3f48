// A TCP socket listening on 127.0.0.1 on a port the system chose. A test hands it
// to the server it starts (tavod, the HTTP server), so no other test running at the
// same time can take that port between the test's look and the server's bind.
#pragma once

#include <cstdint>

class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    bool ok() const { return m_fd >= 0; }
    uint16_t port() const { return m_port; }
    // Hands the socket over; the caller (or the server it is given to) closes it.
    int release();

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};
