// Log capture for tests.
#include "LogCapture.h"

LogCapture::LogCapture(int level) {
    for (LogChannel* c : TavoLogger::INSTANCE.channels()) {
        m_savedLevels.push_back(c->level());
        c->setLevel(level);
    }
    TavoLogger::INSTANCE.setStderr(false);
    m_sinkId = TavoLogger::INSTANCE.addSink([this](const LogLine& l) {
        std::lock_guard<std::mutex> g(m_lock);
        m_lines.push_back(l);
    });
}

LogCapture::~LogCapture() {
    TavoLogger::INSTANCE.removeSink(m_sinkId);
    TavoLogger::INSTANCE.setStderr(true);
    auto channels = TavoLogger::INSTANCE.channels();
    for (size_t i = 0; i < channels.size() && i < m_savedLevels.size(); i++) {
        channels[i]->setLevel(m_savedLevels[i]);
    }
}

std::vector<LogLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_lines;
}

bool LogCapture::contains(const std::string& needle) const {
    return count(needle) > 0;
}

int LogCapture::count(const std::string& needle) const {
    std::lock_guard<std::mutex> g(m_lock);
    int n = 0;
    for (auto& l : m_lines) {
        if (l.text.find(needle) != std::string::npos) {
            n++;
        }
    }
    return n;
}

std::string LogCapture::text() const {
    std::lock_guard<std::mutex> g(m_lock);
    std::string r;
    for (auto& l : m_lines) {
        r += "[" + l.channel + "] " + l.text + "\n";
    }
    return r;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> g(m_lock);
    m_lines.clear();
}
