// The terminal status line.
#include "StatusLine.h"

#include "host/core/Common.h"
#include "host/core/Log.h"

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace {

std::string clockText(int ms) {
    if (ms < 0) {
        ms = 0;
    }
    char buf[32];
    int s = ms / 1000;
    snprintf(buf, sizeof(buf), "%d:%02d.%d", s / 60, s % 60, (ms % 1000) / 100);
    return buf;
}

// The logger's own line layout, for lines that pass through the status line.
std::string logLineText(const LogLine& line) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmv;
    localtime_r(&tv.tv_sec, &tmv);
    char stamp[40];
    size_t n = strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &tmv);
    snprintf(stamp + n, sizeof(stamp) - n, ".%03d", (int)(tv.tv_usec / 1000));
    return std::string(stamp) + " [" + line.channel + "] " + TavoLogger::levelName(line.level) + ": " +
           line.text + "\n";
}

} // namespace

StatusLine::~StatusLine() {
    End();
}

std::string StatusLine::Format(const std::string& sequence, int elapsedMs, int totalMs, int frame,
                               int frameCount, long long lateFrames) {
    std::string s = sequence.empty() ? "(no sequence)" : sequence;
    s += "  " + clockText(elapsedMs) + " / " + clockText(totalMs);
    s += "  frame " + (frame >= 0 ? std::to_string(frame) : std::string("-")) + "/" +
         std::to_string(frameCount);
    s += "  late " + std::to_string(lateFrames);
    return s;
}

bool StatusLine::Begin(FILE* out, bool quiet, TextFunction text) {
    if (m_active || quiet || !out || !isatty(fileno(out))) {
        return m_active;
    }
    m_out = out;
    m_text = std::move(text);
    m_active = true;
    // When standard error shows on the same terminal, its log lines go through us.
    if (out == stderr || isatty(STDERR_FILENO)) {
        TavoLogger::INSTANCE.setStderr(false);
        m_sinkId = TavoLogger::INSTANCE.addSink([this](const LogLine& line) {
            std::string text = logLineText(line);
            std::lock_guard<std::mutex> l(m_lock);
            if (!m_shown.empty()) {
                fputs("\r\033[K", m_out);
                fflush(m_out);
            }
            fputs(text.c_str(), stderr);
            fflush(stderr);
            if (!m_shown.empty()) {
                fputs(m_shown.c_str(), m_out);
                fflush(m_out);
            }
        });
    }
    return true;
}

void StatusLine::Tick(int intervalMs) {
    if (!m_active) {
        return;
    }
    int64_t now = GetTimeMS();
    if (m_lastDraw && now - m_lastDraw < intervalMs) {
        return;
    }
    m_lastDraw = now;
    // The text is built without m_lock: building it may log, and logging takes m_lock.
    std::string text = m_text ? m_text() : std::string();
    std::lock_guard<std::mutex> l(m_lock);
    m_shown = text;
    draw();
}

void StatusLine::draw() {
    fputs("\r\033[K", m_out);
    fputs(m_shown.c_str(), m_out);
    fflush(m_out);
}

void StatusLine::End() {
    if (!m_active) {
        return;
    }
    if (m_sinkId) {
        TavoLogger::INSTANCE.removeSink(m_sinkId);
        m_sinkId = 0;
        TavoLogger::INSTANCE.setStderr(true);
    }
    std::lock_guard<std::mutex> l(m_lock);
    if (!m_shown.empty()) {
        // Leave the last status on screen: it says how far the show got.
        fputs("\n", m_out);
        fflush(m_out);
    }
    m_shown.clear();
    m_active = false;
}
