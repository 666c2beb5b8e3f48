// The error lines (and warning lines) the calling thread logs while a collector
// lives: what went wrong inside a call (an output's Init, a sequence's open), to
// repeat in the one line that says what did not work.
#pragma once

#include "host/core/Log.h"

#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ErrorCollector {
public:
    ErrorCollector() : m_thread(std::this_thread::get_id()) {
        m_sink = TavoLogger::INSTANCE.addSink([this](const LogLine& line) {
            if (line.level <= LOG_WARN && std::this_thread::get_id() == m_thread) {
                std::lock_guard<std::mutex> l(m_lock);
                (line.level <= LOG_ERR ? m_lines : m_warnings).push_back(line.text);
                m_both.push_back(line.text);
            }
        });
    }
    ~ErrorCollector() { TavoLogger::INSTANCE.removeSink(m_sink); }
    ErrorCollector(const ErrorCollector&) = delete;
    ErrorCollector& operator=(const ErrorCollector&) = delete;

    // The last error line, without its line end; `otherwise` when there was none.
    std::string Last(const std::string& otherwise) {
        std::lock_guard<std::mutex> l(m_lock);
        return m_lines.empty() ? otherwise : trimmed(m_lines.back());
    }
    // The same, or the last warning line when there was no error (some outputs
    // refuse to start with a warning).
    std::string LastOrWarning(const std::string& otherwise) {
        std::lock_guard<std::mutex> l(m_lock);
        if (!m_lines.empty()) {
            return trimmed(m_lines.back());
        }
        return m_warnings.empty() ? otherwise : trimmed(m_warnings.back());
    }

    // Every error line, without line ends.
    std::vector<std::string> All() { return trimmedCopy(m_lines); }
    // Every error and warning line, in the order they came.
    std::vector<std::string> AllWithWarnings() { return trimmedCopy(m_both); }

private:
    std::vector<std::string> trimmedCopy(const std::vector<std::string>& lines) {
        std::lock_guard<std::mutex> l(m_lock);
        std::vector<std::string> r;
        for (const std::string& text : lines) {
            r.push_back(trimmed(text));
        }
        return r;
    }
    static std::string trimmed(std::string text) {
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
            text.pop_back();
        }
        return text;
    }

    std::thread::id m_thread;
    int m_sink = -1;
    std::mutex m_lock; // guards m_lines, m_warnings, m_both
    std::vector<std::string> m_lines;
    std::vector<std::string> m_warnings;
    std::vector<std::string> m_both;
};
