// Shared pieces of the lcsf tool: exit codes, one-line messages, the trap that turns
// the codec's log into those messages, progress display and safe output files.
#pragma once

#include "LCSFFile.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum ExitCode {
    EXIT_OK = 0,
    EXIT_BAD_INPUT = 1,
    EXIT_USAGE = 2,
};

// The largest frame (in channels) the tool holds in memory. Far above what a player
// drives (8388608 channels), low enough that a damaged header asking for billions
// of channels is refused instead of exhausting memory.
static const uint64_t MAX_FRAME_CHANNELS = 67108864;

// "lcsf: FILE: problem" on standard error; returns EXIT_BAD_INPUT.
int fileError(const std::string& file, const std::string& problem);
// "lcsf COMMAND: problem (try 'lcsf --help')" on standard error; returns EXIT_USAGE.
int usageError(const std::string& command, const std::string& problem);
// Name of a path in messages: "standard input" / "standard output" for "-".
std::string displayName(const std::string& path);

// Catches the codec's log lines while the tool runs, so that its failures become the
// tool's own one-line messages. With verbose on, the log also goes to standard error.
class LogTrap {
public:
    static LogTrap& instance();

    void install(bool verbose);
    void uninstall();

    // Forgets the lines caught so far.
    void clear();
    // Error lines caught since the last clear(); with mainThreadOnly, only those
    // logged by the calling program's own thread (not the codec's read-ahead thread).
    std::vector<std::string> errors(bool mainThreadOnly = false) const;
    bool hasError(bool mainThreadOnly = false) const { return !errors(mainThreadOnly).empty(); }
    // The first error, made readable: file paths named elsewhere in the message are removed.
    std::string firstError(const std::vector<std::string>& paths, bool mainThreadOnly = false) const;
    bool verbose() const { return m_verbose; }

private:
    struct Caught {
        std::string text;
        bool mainThread;
    };
    mutable std::mutex m_lock; // guards m_caught
    std::vector<Caught> m_caught;
    std::thread::id m_mainThread;
    int m_sinkId = 0;
    bool m_verbose = false;
};

// Removes mentions of `paths` from a codec message ("... file (PATH) header" -> "... file header").
std::string tidyCodecMessage(std::string text, const std::vector<std::string>& paths);

// Shows "verb: done/total frames (P%)" on standard error while work runs, only when
// standard error is a terminal; the line is erased when the object goes.
class Progress {
public:
    Progress(const std::string& verb, uint64_t total);
    ~Progress();
    void update(uint64_t done);

private:
    std::string m_verb;
    uint64_t m_total;
    bool m_enabled;
    bool m_shown = false;
    int64_t m_start;
    int64_t m_lastDraw = 0;
};

// A file written under a temporary name beside its final path and renamed into place
// only by commit(), so that a failure never leaves a half-written file under the
// final name. A symbolic link is followed: its file is the one replaced. A path that
// is no regular file (a device, a pipe) is never replaced: the temporary file is made
// in the temporary folder and commit() copies it into the path. The temporary file
// is removed when the object goes without commit(), and by SIGINT/SIGTERM/SIGHUP
// while it exists.
class SafeOutput {
public:
    SafeOutput() = default;
    ~SafeOutput();
    SafeOutput(const SafeOutput&) = delete;
    SafeOutput& operator=(const SafeOutput&) = delete;

    // Reserves the temporary file. False with `problem` set when it cannot be made.
    bool begin(const std::string& finalPath, std::string& problem);
    const std::string& tempPath() const { return m_tempPath; }
    const std::string& finalPath() const { return m_finalPath; }
    // Moves the finished file to its final name.
    bool commit(std::string& problem);
    void abandon();

private:
    bool copyIntoPlace(std::string& problem);

    std::string m_finalPath;
    std::string m_renameTarget; // the regular file the finished one replaces
    std::string m_tempPath;
    bool m_active = false;
    bool m_inPlace = false; // written into, not renamed over
};

// True when both paths exist and name the same file (hard links and symbolic links included).
bool sameFile(const std::string& a, const std::string& b);

// Opens a sequence for reading. Null with `problem` set (one readable line) on failure;
// `warnings` receives header problems the codec tolerated.
LCSFFile* openInput(const std::string& path, std::string& problem, std::vector<std::string>& warnings);

// Reads frames of an open file into a full-size channel buffer (channels the file
// does not store stay 0). Failures name the frame.
class FrameReader {
public:
    // `channelLimit`: channels [0, channelLimit) are kept in buffer(); `first`/`count`
    // narrow what is read from the file when they lie inside it.
    FrameReader(LCSFFile* file, uint32_t channelLimit, uint32_t startFrame, uint32_t first = 0,
                uint32_t count = UINT32_MAX);
    bool read(uint32_t frame, std::string& problem);
    uint8_t* buffer() { return m_buffer.data(); }
    uint32_t limit() const { return m_limit; }

private:
    LCSFFile* m_file;
    uint32_t m_limit;
    std::vector<uint8_t> m_buffer;
};

// Commands; each returns an exit code. `args` are the words after the command name.
int commandInfo(const std::vector<std::string>& args);
int commandCreate(const std::vector<std::string>& args);
int commandConvert(const std::vector<std::string>& args);
int commandExtract(const std::vector<std::string>& args);
int commandVerify(const std::vector<std::string>& args);

void printHelp(FILE* out, const std::string& command);
