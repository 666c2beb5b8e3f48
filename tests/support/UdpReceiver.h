// A UDP socket bound to a free port on a loopback address, reading what arrives.
#pragma once

#include <cstdint>
#include <vector>

class UdpReceiver {
public:
    // `receiveBuffer` > 0 asks for a larger socket buffer (forced where root may).
    explicit UdpReceiver(const char* address = "127.0.0.1", int receiveBuffer = 0);
    ~UdpReceiver();
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    bool bound() const { return m_bound; }
    uint16_t port() const { return m_port; }
    int fd() const { return m_fd; }

    // The next datagram, or false when none comes within `timeoutMs`.
    bool receive(std::vector<uint8_t>& out, int timeoutMs = 1000);

private:
    int m_fd = -1;
    bool m_bound = false;
    uint16_t m_port = 0;
};
