// Logging: four channels with their own levels, one line per message, to standard
// error, an optional log file and any sinks a test or tool attaches.
#pragma once

#include <atomic>
#include <cstdarg>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

enum LogLevel {
    LOG_ERR = 1,
    LOG_WARN = 2,
    LOG_INFO = 3,
    LOG_DEBUG = 4,
    LOG_EXCESS = 5,
};

class LogChannel {
public:
    explicit LogChannel(const char* name, int level = LOG_INFO) : m_name(name), m_level(level) {}

    const std::string& name() const { return m_name; }
    int level() const { return m_level.load(std::memory_order_relaxed); }
    void setLevel(int level) { m_level.store(level, std::memory_order_relaxed); }

private:
    std::string m_name;
    std::atomic<int> m_level;
};

// One message as a sink receives it; the text has no trailing newline.
struct LogLine {
    int level;
    std::string channel;
    std::string text;
    const char* file;
    int line;
};

class TavoLogger {
public:
    static TavoLogger INSTANCE;

    LogChannel General{"general"};
    LogChannel Sequence{"sequence"};
    LogChannel ChannelOut{"channelout"};
    LogChannel GPIO{"gpio"};
    LogChannel Player{"player"};

    std::vector<LogChannel*> channels();
    LogChannel* findChannel(const std::string& name);

    // "LEVEL" sets every channel, "CHANNEL=LEVEL" one; LEVEL is a name
    // (error, warning, info, debug, excess) or 1..5. False on a bad text.
    bool setLevels(const std::string& levels);
    static int parseLevel(const std::string& text);
    static const char* levelName(int level);

    void setStderr(bool enabled) { m_toStderr = enabled; }
    // Lines for the journal: "<N>" syslog priority in front (3 error, 4 warning,
    // 6 info, 7 debug and excess) and no time stamp, which the journal adds itself.
    // On from the start when standard error is the journal's stream (JOURNAL_STREAM).
    void setJournalFormat(bool enabled) { m_journal = enabled; }
    bool journalFormat() const { return m_journal; }
    // Whether standard error is the stream JOURNAL_STREAM ("DEVICE:INODE") names.
    static bool stderrIsJournal();
    // The syslog priority of a level.
    static int syslogPriority(int level);
    // The line as standard error gets it, newline included.
    std::string formatForStderr(int level, LogChannel& channel, const std::string& text,
                                const std::string& stamp) const;
    bool openLogFile(const std::string& path);
    void closeLogFile();

    using Sink = std::function<void(const LogLine&)>;
    int addSink(Sink sink);
    void removeSink(int id);

    void write(const char* file, int line, int level, LogChannel& channel, const std::string& text);

private:
    std::mutex m_lock; // guards m_sinks, m_logFile
    std::vector<std::pair<int, Sink>> m_sinks;
    int m_nextSinkId = 1;
    FILE* m_logFile = nullptr;
    std::atomic<bool> m_toStderr{true};
    std::atomic<bool> m_journal{stderrIsJournal()};
};

#define LOGCH_GENERAL (TavoLogger::INSTANCE.General)
#define LOGCH_SEQUENCE (TavoLogger::INSTANCE.Sequence)
#define LOGCH_CHANNELOUT (TavoLogger::INSTANCE.ChannelOut)
#define LOGCH_GPIO (TavoLogger::INSTANCE.GPIO)
#define LOGCH_PLAYER (TavoLogger::INSTANCE.Player)

void _LogWrite(const char* file, int line, int level, LogChannel& channel, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void _LogWriteV(const char* file, int line, int level, LogChannel& channel, const char* format, va_list args);
bool WillLog(int level, LogChannel& channel);

#define LogErr(ch, fmt, ...) _LogWrite(__FILE__, __LINE__, LOG_ERR, ch, fmt, ##__VA_ARGS__)
#define LogWarn(ch, fmt, ...) _LogWrite(__FILE__, __LINE__, LOG_WARN, ch, fmt, ##__VA_ARGS__)
#define LogInfo(ch, fmt, ...) _LogWrite(__FILE__, __LINE__, LOG_INFO, ch, fmt, ##__VA_ARGS__)
#define LogDebug(ch, fmt, ...) _LogWrite(__FILE__, __LINE__, LOG_DEBUG, ch, fmt, ##__VA_ARGS__)
#define LogExcess(ch, fmt, ...) _LogWrite(__FILE__, __LINE__, LOG_EXCESS, ch, fmt, ##__VA_ARGS__)

// Logs a buffer in hexadecimal at info level: a title line, then one line per
// `perLine` bytes prefixed with the offset of its first byte.
void HexDump(const char* title, const void* data, size_t len, LogChannel& channel, int perLine = 16);
