// Logging back end: formats a line once and hands it to stderr, the log file and sinks.
#include "host/core/Log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

TavoLogger TavoLogger::INSTANCE;

std::vector<LogChannel*> TavoLogger::channels() {
    return {&General, &Sequence, &ChannelOut, &GPIO, &Player};
}

LogChannel* TavoLogger::findChannel(const std::string& name) {
    for (LogChannel* c : channels()) {
        if (c->name() == name) {
            return c;
        }
    }
    return nullptr;
}

int TavoLogger::parseLevel(const std::string& text) {
    static const char* names[] = {"error", "warning", "info", "debug", "excess"};
    for (int i = 0; i < 5; i++) {
        if (text == names[i]) {
            return i + 1;
        }
    }
    if (text.size() == 1 && text[0] >= '1' && text[0] <= '5') {
        return text[0] - '0';
    }
    if (text == "warn") {
        return LOG_WARN;
    }
    return 0;
}

const char* TavoLogger::levelName(int level) {
    switch (level) {
    case LOG_ERR:
        return "error";
    case LOG_WARN:
        return "warning";
    case LOG_INFO:
        return "info";
    case LOG_DEBUG:
        return "debug";
    default:
        return "excess";
    }
}

bool TavoLogger::setLevels(const std::string& levels) {
    size_t eq = levels.find('=');
    if (eq == std::string::npos) {
        int level = parseLevel(levels);
        if (!level) {
            return false;
        }
        for (LogChannel* c : channels()) {
            c->setLevel(level);
        }
        return true;
    }
    LogChannel* c = findChannel(levels.substr(0, eq));
    int level = parseLevel(levels.substr(eq + 1));
    if (!c || !level) {
        return false;
    }
    c->setLevel(level);
    return true;
}

bool TavoLogger::openLogFile(const std::string& path) {
    FILE* f = fopen(path.c_str(), "a");
    if (!f) {
        return false;
    }
    std::lock_guard<std::mutex> l(m_lock);
    if (m_logFile) {
        fclose(m_logFile);
    }
    m_logFile = f;
    return true;
}

void TavoLogger::closeLogFile() {
    std::lock_guard<std::mutex> l(m_lock);
    if (m_logFile) {
        fclose(m_logFile);
        m_logFile = nullptr;
    }
}

int TavoLogger::addSink(Sink sink) {
    std::lock_guard<std::mutex> l(m_lock);
    int id = m_nextSinkId++;
    m_sinks.emplace_back(id, std::move(sink));
    return id;
}

void TavoLogger::removeSink(int id) {
    std::lock_guard<std::mutex> l(m_lock);
    for (auto it = m_sinks.begin(); it != m_sinks.end(); ++it) {
        if (it->first == id) {
            m_sinks.erase(it);
            return;
        }
    }
}

bool TavoLogger::stderrIsJournal() {
    // The service manager names the stream it connected; a stream inherited by a
    // child that redirected standard error is not the journal any more.
    const char* js = getenv("JOURNAL_STREAM");
    if (!js) {
        return false;
    }
    unsigned long long dev = 0, ino = 0;
    if (sscanf(js, "%llu:%llu", &dev, &ino) != 2) {
        return false;
    }
    struct stat st;
    if (fstat(STDERR_FILENO, &st) != 0) {
        return false;
    }
    return (unsigned long long)st.st_dev == dev && (unsigned long long)st.st_ino == ino;
}

int TavoLogger::syslogPriority(int level) {
    switch (level) {
    case LOG_ERR:
        return 3;
    case LOG_WARN:
        return 4;
    case LOG_INFO:
        return 6;
    default:
        return 7;
    }
}

std::string TavoLogger::formatForStderr(int level, LogChannel& channel, const std::string& text,
                                        const std::string& stamp) const {
    if (m_journal) {
        return "<" + std::to_string(syslogPriority(level)) + ">[" + channel.name() + "] " + text + "\n";
    }
    return stamp + " [" + channel.name() + "] " + levelName(level) + ": " + text + "\n";
}

void TavoLogger::write(const char* file, int line, int level, LogChannel& channel, const std::string& text) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmv;
    localtime_r(&tv.tv_sec, &tmv);
    char stamp[40];
    size_t n = strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &tmv);
    snprintf(stamp + n, sizeof(stamp) - n, ".%03d", (int)(tv.tv_usec / 1000));

    std::string out =
        std::string(stamp) + " [" + channel.name() + "] " + levelName(level) + ": " + text + "\n";
    LogLine ll{level, channel.name(), text, file, line};

    std::lock_guard<std::mutex> l(m_lock);
    if (m_toStderr) {
        fputs(m_journal ? formatForStderr(level, channel, text, stamp).c_str() : out.c_str(), stderr);
    }
    if (m_logFile) {
        fputs(out.c_str(), m_logFile);
        fflush(m_logFile);
    }
    for (auto& s : m_sinks) {
        s.second(ll);
    }
}

bool WillLog(int level, LogChannel& channel) {
    return level <= channel.level();
}

void _LogWriteV(const char* file, int line, int level, LogChannel& channel, const char* format,
                va_list args) {
    if (!WillLog(level, channel)) {
        return;
    }
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int len = vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    std::string text;
    if (len < 0) {
        text = format;
    } else if ((size_t)len < sizeof(small)) {
        text.assign(small, len);
    } else {
        text.resize(len + 1);
        vsnprintf(&text[0], len + 1, format, args);
        text.resize(len);
    }
    // Messages carry their own newline by habit; a line is a line.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    TavoLogger::INSTANCE.write(file, line, level, channel, text);
}

void _LogWrite(const char* file, int line, int level, LogChannel& channel, const char* format, ...) {
    va_list args;
    va_start(args, format);
    _LogWriteV(file, line, level, channel, format, args);
    va_end(args);
}

void HexDump(const char* title, const void* data, size_t len, LogChannel& channel, int perLine) {
    if (!WillLog(LOG_INFO, channel)) {
        return;
    }
    if (perLine <= 0 || perLine > 32) {
        perLine = 16;
    }
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    LogInfo(channel, "%s: (%d bytes)\n", title, (int)len);
    char line[128];
    for (size_t start = 0; start < len; start += perLine) {
        int pos = snprintf(line, sizeof(line), "%06x: ", (unsigned)start);
        for (size_t i = start; i < len && i < start + perLine; i++) {
            pos += snprintf(line + pos, sizeof(line) - pos, "%02x ", bytes[i]);
        }
        snprintf(line + pos, sizeof(line) - pos, "\n");
        LogInfo(channel, "%s", line);
    }
}
