// A plain TCP client for tests of what servers do with clients that misbehave: from
// a chosen loopback address, sending what it is told, when it is told.
#pragma once

#include <cstdint>
#include <string>

class RawTcpClient {
public:
    // Connects to 127.0.0.1:port from `fromAddress` (any 127.x.y.z is this machine,
    // so each stands for another client address); ok() tells whether it worked.
    explicit RawTcpClient(uint16_t port, const std::string& fromAddress = "127.0.0.1");
    ~RawTcpClient();
    RawTcpClient(const RawTcpClient&) = delete;
    RawTcpClient& operator=(const RawTcpClient&) = delete;

    bool ok() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    // Sends all of `bytes`; false when the connection refused them.
    bool send(const std::string& bytes);
    // Reads what arrives until `until` is in the bytes of this call, the peer closes,
    // or `timeoutMs` passes; appended to received().
    void read(int timeoutMs, const std::string& until = "");
    const std::string& received() const { return m_received; }
    // The status code of the first response received, 0 when none.
    int status() const;
    // True once the peer has closed (or reset) the connection.
    bool closedByPeer() const { return m_closed; }
    // Waits up to `timeoutMs` for the peer to close, reading what comes meanwhile.
    bool waitClosed(int timeoutMs);
    void close();

private:
    int m_fd = -1;
    bool m_closed = false;
    std::string m_received;
};
