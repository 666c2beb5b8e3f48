// Shared pieces of the lcsf tool: messages, the log trap, progress, safe output
// files, and opening and reading sequences with readable failures.
#include "Tool.h"

#include "host/core/Common.h"
#include "host/core/Log.h"
#include "Options.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int fileError(const std::string& file, const std::string& problem) {
    fprintf(stderr, "lcsf: %s: %s\n", displayName(file).c_str(), problem.c_str());
    return EXIT_BAD_INPUT;
}

int usageError(const std::string& command, const std::string& problem) {
    fprintf(stderr, "lcsf%s%s: %s (try 'lcsf --help')\n", command.empty() ? "" : " ", command.c_str(),
            problem.c_str());
    return EXIT_USAGE;
}

std::string displayName(const std::string& path) {
    return path == "-" ? "standard input" : path;
}

// ---- log trap ----

LogTrap& LogTrap::instance() {
    static LogTrap trap;
    return trap;
}

void LogTrap::install(bool verbose) {
    m_verbose = verbose;
    m_mainThread = std::this_thread::get_id();
    TavoLogger::INSTANCE.setStderr(verbose);
    if (verbose) {
        TavoLogger::INSTANCE.Sequence.setLevel(LOG_DEBUG);
    }
    m_sinkId = TavoLogger::INSTANCE.addSink([this](const LogLine& line) {
        if (line.level > LOG_ERR) {
            return;
        }
        std::lock_guard<std::mutex> l(m_lock);
        // A damaged file can make the codec repeat itself; the first lines say it.
        if (m_caught.size() < 1000) {
            m_caught.push_back({line.text, std::this_thread::get_id() == m_mainThread});
        }
    });
}

void LogTrap::uninstall() {
    if (m_sinkId) {
        TavoLogger::INSTANCE.removeSink(m_sinkId);
        m_sinkId = 0;
    }
}

void LogTrap::clear() {
    std::lock_guard<std::mutex> l(m_lock);
    m_caught.clear();
}

std::vector<std::string> LogTrap::errors(bool mainThreadOnly) const {
    std::lock_guard<std::mutex> l(m_lock);
    std::vector<std::string> r;
    for (auto& c : m_caught) {
        if (!mainThreadOnly || c.mainThread) {
            r.push_back(c.text);
        }
    }
    return r;
}

std::string LogTrap::firstError(const std::vector<std::string>& paths, bool mainThreadOnly) const {
    auto e = errors(mainThreadOnly);
    return e.empty() ? std::string() : tidyCodecMessage(e.front(), paths);
}

std::string tidyCodecMessage(std::string text, const std::vector<std::string>& paths) {
    for (auto& p : paths) {
        if (p.empty()) {
            continue;
        }
        for (const std::string& form : {" (" + p + ")", " of " + p, " " + p}) {
            size_t at;
            while ((at = text.find(form)) != std::string::npos) {
                text.erase(at, form.size());
            }
        }
    }
    // One line, single blanks.
    std::string out;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\t') {
            c = ' ';
        }
        if (c == ' ' && (out.empty() || out.back() == ' ')) {
            continue;
        }
        out += c;
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == '.')) {
        out.pop_back();
    }
    return out;
}

// ---- progress ----

Progress::Progress(const std::string& verb, uint64_t total)
    : m_verb(verb), m_total(total), m_enabled(isatty(2) && !LogTrap::instance().verbose()),
      m_start(GetTimeMS()) {}

Progress::~Progress() {
    if (m_shown) {
        fputs("\r\033[K", stderr);
        fflush(stderr);
    }
}

void Progress::update(uint64_t done) {
    if (!m_enabled) {
        return;
    }
    int64_t now = GetTimeMS();
    // Quick work shows nothing; longer work redraws a few times a second.
    if (now - m_start < 300 || now - m_lastDraw < 100) {
        return;
    }
    m_lastDraw = now;
    m_shown = true;
    int pct = m_total ? (int)(done * 100 / m_total) : 100;
    fprintf(stderr, "\r%s: %llu/%llu frames (%d%%)\033[K", m_verb.c_str(), (unsigned long long)done,
            (unsigned long long)m_total, pct);
    fflush(stderr);
}

// ---- safe output ----

// The temporary file of the running command, removed by a terminating signal. One
// command writes at most one file at a time.
static char g_signalTempPath[PATH_MAX];

static void removeTempAndDie(int sig) {
    if (g_signalTempPath[0]) {
        unlink(g_signalTempPath);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

SafeOutput::~SafeOutput() {
    abandon();
}

bool SafeOutput::begin(const std::string& finalPath, std::string& problem) {
    m_finalPath = finalPath;
    m_inPlace = false;
    // Only a regular file (or a missing one) is replaced by renaming: a device, a
    // pipe or a socket is written into, and a symbolic link keeps pointing at its
    // file, which is the one replaced.
    std::string replaced = finalPath;
    struct stat st;
    struct stat lst;
    bool exists = lstat(finalPath.c_str(), &lst) == 0;
    if (exists && stat(finalPath.c_str(), &st) != 0) {
        problem = "is a symbolic link to a file that does not exist";
        return false;
    }
    if (exists && S_ISDIR(st.st_mode)) {
        problem = "is a directory";
        return false;
    }
    if (exists && S_ISLNK(lst.st_mode) && S_ISREG(st.st_mode)) {
        char target[PATH_MAX];
        if (realpath(finalPath.c_str(), target)) {
            replaced = target;
        } else {
            m_inPlace = true;
        }
    } else if (exists && !S_ISREG(st.st_mode)) {
        m_inPlace = true;
    }
    std::string dir;
    std::string base;
    if (m_inPlace) {
        // Nothing is made beside a device: the file is written in the temporary folder.
        const char* tmp = getenv("TMPDIR");
        dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/";
        base = "lcsf";
    } else {
        size_t slash = replaced.rfind('/');
        dir = slash == std::string::npos ? "" : replaced.substr(0, slash + 1);
        base = slash == std::string::npos ? replaced : replaced.substr(slash + 1);
    }
    m_renameTarget = replaced;
    std::string pattern = dir + "." + base + ".tmp-XXXXXX";
    if (pattern.size() >= sizeof(g_signalTempPath)) {
        problem = "path too long";
        return false;
    }
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    int fd = mkstemp(name.data());
    if (fd < 0) {
        problem = std::string(m_inPlace ? "cannot create a temporary file in " + dir + ": "
                                        : "cannot create a file beside it: ") +
                  strerror(errno);
        return false;
    }
    // mkstemp makes the file private; the finished file gets the usual permissions.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    m_tempPath = name.data();
    m_active = true;
    snprintf(g_signalTempPath, sizeof(g_signalTempPath), "%s", m_tempPath.c_str());
    signal(SIGINT, removeTempAndDie);
    signal(SIGTERM, removeTempAndDie);
    signal(SIGHUP, removeTempAndDie);
    return true;
}

bool SafeOutput::copyIntoPlace(std::string& problem) {
    int in = open(m_tempPath.c_str(), O_RDONLY | O_CLOEXEC);
    int out = in < 0 ? -1 : open(m_finalPath.c_str(), O_WRONLY | O_CLOEXEC);
    if (in < 0 || out < 0) {
        problem = std::string("cannot open it for writing: ") + strerror(errno);
        if (in >= 0) {
            close(in);
        }
        return false;
    }
    std::vector<char> buf(65536);
    bool ok = true;
    for (;;) {
        ssize_t n = read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; ok && done < n;) {
            ssize_t w = write(out, buf.data() + done, (size_t)(n - done));
            if (w < 0 && errno == EINTR) {
                continue;
            }
            ok = w > 0;
            done += w > 0 ? w : 0;
        }
        if (!ok) {
            break;
        }
    }
    if (!ok) {
        problem = std::string("write failed: ") + strerror(errno);
    }
    close(in);
    if (close(out) != 0 && ok) {
        problem = std::string("write failed: ") + strerror(errno);
        ok = false;
    }
    return ok;
}

bool SafeOutput::commit(std::string& problem) {
    if (!m_active) {
        problem = "nothing to write";
        return false;
    }
    if (m_inPlace) {
        bool ok = copyIntoPlace(problem);
        abandon(); // the temporary copy goes either way
        return ok;
    }
    if (rename(m_tempPath.c_str(), m_renameTarget.c_str()) != 0) {
        problem = std::string("cannot move the finished file into place: ") + strerror(errno);
        abandon();
        return false;
    }
    m_active = false;
    g_signalTempPath[0] = 0;
    return true;
}

void SafeOutput::abandon() {
    if (m_active) {
        g_signalTempPath[0] = 0;
        unlink(m_tempPath.c_str());
        m_active = false;
    }
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) {
        return false;
    }
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// ---- reading ----

LCSFFile* openInput(const std::string& path, std::string& problem, std::vector<std::string>& warnings) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        problem = std::string("cannot open: ") + strerror(errno);
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        problem = "is a directory";
        return nullptr;
    }
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        problem = std::string("cannot open: ") + strerror(errno);
        return nullptr;
    }
    uint8_t peek[8];
    size_t n = fread(peek, 1, sizeof(peek), f);
    fclose(f);
    if (n < 8) {
        problem = "not a sequence file: only " + std::to_string(n) + " bytes";
        return nullptr;
    }
    if (memcmp(peek, "LCSM", 4) && memcmp(peek, "LCSF", 4) && memcmp(peek, "ESEQ", 4)) {
        problem = "not a sequence file (it does not start with LCSM, LCSF or ESEQ)";
        return nullptr;
    }

    LogTrap& trap = LogTrap::instance();
    trap.clear();
    LCSFFile* file = LCSFFile::openLCSFFile(path);
    if (!file) {
        problem = trap.firstError({path});
        if (problem.empty()) {
            problem = "cannot be read as a sequence file";
        }
        trap.clear();
        return nullptr;
    }
    for (auto& e : trap.errors()) {
        warnings.push_back(tidyCodecMessage(e, {path}));
    }
    trap.clear();
    return file;
}

FrameReader::FrameReader(LCSFFile* file, uint32_t channelLimit, uint32_t startFrame, uint32_t first,
                         uint32_t count)
    : m_file(file), m_limit(channelLimit), m_buffer(channelLimit ? channelLimit : 1, 0) {
    RangeList ranges;
    V2LCSFFile* v2 = dynamic_cast<V2LCSFFile*>(file);
    uint32_t stored = file->m_seqChannelCount;
    if (!(v2 && !v2->m_sparseRanges.empty())) {
        // Read only the asked channels the file stores; a sparse file always reads its own ranges.
        uint64_t end = std::min<uint64_t>((uint64_t)first + count, stored);
        if (first < end) {
            ranges.emplace_back(first, (uint32_t)(end - first));
        } else {
            ranges.emplace_back(0, stored);
        }
    }
    if (file->getMaxChannel() > 0 && startFrame < file->m_seqNumFrames) {
        file->prepareRead(ranges, startFrame);
    }
    // prepareRead reads its first frame once; read() reports that frame's problems itself.
    LogTrap::instance().clear();
}

bool FrameReader::read(uint32_t frame, std::string& problem) {
    std::fill(m_buffer.begin(), m_buffer.end(), 0);
    if (m_file->getMaxChannel() == 0) {
        return true; // nothing stored, nothing to read
    }
    LogTrap& trap = LogTrap::instance();
    LCSFFile::FrameData* fd = m_file->getFrame(frame);
    bool ok = fd && fd->readFrame(m_buffer.data(), m_limit);
    delete fd;
    // Errors logged by this thread belong to this frame; the read-ahead thread's
    // concern blocks not needed yet and show up when (and if) a frame needs them.
    std::string why = trap.firstError({m_file->m_seqFilename}, true);
    trap.clear();
    if (ok && why.empty()) {
        return true;
    }
    problem = "frame " + std::to_string(frame) + " cannot be read";
    if (!why.empty()) {
        problem += ": " + why;
    }
    return false;
}
