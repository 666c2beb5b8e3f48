// Helpers of the web preview tests: loopback sockets and a browser-like stream reader.
#pragma once

#include "LoopbackListener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace webpreview_test {

// Connects to 127.0.0.1:port; `rcvbuf` > 0 shrinks the receive buffer first. -1 on failure.
inline int connectLoopback(int port, int rcvbuf = 0) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) {
        return -1;
    }
    if (rcvbuf > 0) {
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    }
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    if (connect(s, (struct sockaddr*)&a, sizeof(a)) < 0) {
        close(s);
        return -1;
    }
    return s;
}

inline int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Reads what arrives within `timeoutMs` (stops early once `until` is in the buffer).
// Returns false when the peer closed the connection.
inline bool readSome(int fd, std::string& buf, int timeoutMs, const std::string& until = "") {
    const int64_t end = nowMs() + timeoutMs;
    char tmp[65536];
    for (;;) {
        if (!until.empty() && buf.find(until) != std::string::npos) {
            return true;
        }
        const int64_t left = end - nowMs();
        if (left <= 0) {
            return true;
        }
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, (int)left) <= 0) {
            continue;
        }
        ssize_t n = recv(fd, tmp, sizeof(tmp), 0);
        if (n <= 0) {
            return false;
        }
        buf.append(tmp, (size_t)n);
    }
}

// Takes one complete HTTP chunk from the front of `buf` into `text`. False when
// the buffer does not yet hold a whole chunk; `bad` is set when it is malformed.
inline bool takeChunk(std::string& buf, std::string& text, bool& bad) {
    bad = false;
    const size_t eol = buf.find("\r\n");
    if (eol == std::string::npos) {
        return false;
    }
    const std::string hex = buf.substr(0, eol);
    if (hex.empty() || hex.size() > 8 || hex.find_first_not_of("0123456789abcdef") != std::string::npos ||
        (hex.size() > 1 && hex[0] == '0')) {
        bad = true;
        return false;
    }
    const size_t size = std::stoul(hex, nullptr, 16);
    if (buf.size() < eol + 2 + size + 2) {
        return false;
    }
    if (buf.compare(eol + 2 + size, 2, "\r\n") != 0) {
        bad = true;
        return false;
    }
    text = buf.substr(eol + 2, size);
    buf.erase(0, eol + 2 + size + 2);
    return true;
}

// The number after "id: " of an event text, or -1.
inline long long eventId(const std::string& event) {
    if (event.compare(0, 4, "id: ") != 0) {
        return -1;
    }
    return std::stoll(event.substr(4, event.find("\r\n") - 4));
}

// The data line of an event text.
inline std::string eventData(const std::string& event) {
    const size_t at = event.find("data: ");
    if (at == std::string::npos) {
        return "";
    }
    return event.substr(at + 6, event.find("\r\n", at) - at - 6);
}

// Polls `cond` every 10 ms for up to `timeoutMs`.
template <typename F> bool waitFor(F cond, int timeoutMs) {
    const int64_t end = nowMs() + timeoutMs;
    while (nowMs() < end) {
        if (cond()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

} // namespace webpreview_test
