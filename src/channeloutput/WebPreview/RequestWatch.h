// What a preview connection may send: one request head (which is never parsed),
// small, soon, and nothing after it. Bytes in, a verdict out; no sockets.
#pragma once

#include <cstddef>
#include <cstdint>

class RequestWatch {
public:
    // A browser's request head is well under this.
    static constexpr size_t MAX_HEAD_BYTES = 8 * 1024;
    // Everything a connection may send, head included: a browser sends nothing after it.
    static constexpr size_t MAX_TOTAL_BYTES = 16 * 1024;
    // Time from the connection to the end of its request head, unless told otherwise.
    static constexpr int64_t HEAD_TIMEOUT_US = 10 * 1000000;

    enum class Verdict {
        Fine,
        HeadTooLarge, // no end of the head within MAX_HEAD_BYTES
        TooMuchData,  // more than MAX_TOTAL_BYTES in all
        TooSlow,      // no end of the head in time
    };

    explicit RequestWatch(int64_t openedUs = 0, int64_t timeoutUs = HEAD_TIMEOUT_US)
        : m_deadlineUs(openedUs + timeoutUs) {}

    // Takes bytes the connection sent.
    Verdict Received(const char* data, size_t length);
    // The verdict at time `nowUs` (GetTime), bytes and time both.
    Verdict Check(int64_t nowUs) const;
    // The head has ended: an empty line (CR LF CR LF, or a bare LF LF) was seen.
    bool HeadComplete() const { return m_headEnd; }
    size_t BytesReceived() const { return m_bytes; }

    static const char* Describe(Verdict v);

private:
    Verdict sizeVerdict() const;

    size_t m_bytes = 0;
    int64_t m_deadlineUs;
    int m_lineLength = 0;   // characters of the current line, CR not counted
    bool m_sawLine = false; // a line with characters (the request line) was seen
    bool m_headEnd = false;
};
