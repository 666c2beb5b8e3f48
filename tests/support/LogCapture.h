// Captures log lines for the lifetime of the object, so tests can assert messages.
#pragma once

#include "host/core/Log.h"

#include <mutex>
#include <string>
#include <vector>

class LogCapture {
public:
    // Raises every channel to `level` while capturing (restored afterwards) and
    // keeps the captured lines off standard error.
    explicit LogCapture(int level = LOG_EXCESS);
    ~LogCapture();

    std::vector<LogLine> lines() const;
    // True when some captured line contains `needle`.
    bool contains(const std::string& needle) const;
    int count(const std::string& needle) const;
    // Captured text, one line per message, for failure output.
    std::string text() const;
    void clear();

private:
    int m_sinkId;
    std::vector<int> m_savedLevels;
    mutable std::mutex m_lock;
    std::vector<LogLine> m_lines;
};
