// The preview connection's request watch: the end of the head, sizes and time.
#include "RequestWatch.h"

RequestWatch::Verdict RequestWatch::Received(const char* data, size_t length) {
    for (size_t i = 0; i < length && !m_headEnd && m_bytes + i < MAX_HEAD_BYTES; i++) {
        const char c = data[i];
        if (c == '\n') {
            // An empty line after the request line ends the head; empty lines before it
            // are skipped, as HTTP allows.
            m_headEnd = m_lineLength == 0 && m_sawLine;
            m_sawLine = m_sawLine || m_lineLength > 0;
            m_lineLength = 0;
        } else if (c != '\r') {
            m_lineLength++;
        }
    }
    m_bytes += length;
    return sizeVerdict();
}

RequestWatch::Verdict RequestWatch::sizeVerdict() const {
    if (m_bytes > MAX_TOTAL_BYTES) {
        return Verdict::TooMuchData;
    }
    if (!m_headEnd && m_bytes >= MAX_HEAD_BYTES) {
        return Verdict::HeadTooLarge;
    }
    return Verdict::Fine;
}

RequestWatch::Verdict RequestWatch::Check(int64_t nowUs) const {
    const Verdict v = sizeVerdict();
    if (v != Verdict::Fine) {
        return v;
    }
    if (!m_headEnd && nowUs > m_deadlineUs) {
        return Verdict::TooSlow;
    }
    return Verdict::Fine;
}

const char* RequestWatch::Describe(Verdict v) {
    switch (v) {
    case Verdict::Fine:
        return "fine";
    case Verdict::HeadTooLarge:
        return "request head larger than 8 KiB";
    case Verdict::TooMuchData:
        return "sent more than 16 KiB";
    case Verdict::TooSlow:
        return "no complete request in time";
    }
    return "?";
}
