// The lcsf command-line tool, run as a real program: exit codes, one-line messages,
// and create -> info -> extract round trips for every format option.
#include "JsonText.h"
#include "TempDir.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char* LCSF = TAVO_BIN_DIR "/lcsf";

using RangeList = std::vector<std::pair<uint32_t, uint32_t>>;

struct ToolRun {
    int status = -1; // exit status, or -1 when killed by a signal
    int signal = 0;
    std::string out;
    std::string err;

    std::vector<std::string> errLines() const {
        std::vector<std::string> lines;
        std::istringstream s(err);
        std::string l;
        while (std::getline(s, l)) {
            lines.push_back(l);
        }
        return lines;
    }
    std::string describe() const {
        return "status " + std::to_string(status) + " signal " + std::to_string(signal) + "\nstderr: " + err;
    }
};

struct RunOptions {
    bool hasStdin = false;
    std::string stdinData;
    rlim_t fileSizeLimit = 0; // 0: no limit
    bool stdoutIsTerminal = false;
};

// Runs the tool with stdout and stderr captured in files (no pipe can fill up).
ToolRun runLcsf(const std::vector<std::string>& args, const RunOptions& opt = RunOptions()) {
    static TempDir io;
    static int counter = 0;
    std::string base = io.file("run" + std::to_string(counter++));
    std::string inPath = base + ".in", outPath = base + ".out", errPath = base + ".err";
    writeFileBytes(inPath, opt.stdinData);

    int master = -1;
    std::string slaveName;
    if (opt.stdoutIsTerminal) {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            ADD_FAILURE() << "no pseudo terminal";
            return ToolRun();
        }
        slaveName = ptsname(master);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(LCSF));
    for (auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        int in = open(opt.hasStdin ? inPath.c_str() : "/dev/null", O_RDONLY);
        int out = opt.stdoutIsTerminal ? open(slaveName.c_str(), O_RDWR | O_NOCTTY)
                                       : open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (opt.fileSizeLimit) {
            // Writes past the limit then fail with EFBIG instead of killing the process.
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit rl = {opt.fileSizeLimit, opt.fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &rl);
        }
        execv(LCSF, argv.data());
        _exit(127);
    }
    ToolRun r;
    int st = 0;
    waitpid(pid, &st, 0);
    if (master >= 0) {
        close(master);
    }
    if (WIFEXITED(st)) {
        r.status = WEXITSTATUS(st);
    } else if (WIFSIGNALED(st)) {
        r.signal = WTERMSIG(st);
    }
    r.out = readFileBytes(outPath);
    r.err = readFileBytes(errPath);
    return r;
}

ToolRun lcsf(std::initializer_list<std::string> args) {
    return runLcsf(std::vector<std::string>(args));
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::set<std::string> dirEntries(const std::string& dir) {
    std::set<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (d) {
        dirent* e = readdir(d);
        if (!e) {
            break;
        }
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) {
            names.insert(e->d_name);
        }
    }
    if (d) {
        closedir(d);
    }
    return names;
}

uint32_t le16(const std::string& b, size_t at) {
    return (uint8_t)b[at] | ((uint8_t)b[at + 1] << 8);
}
uint32_t le32(const std::string& b, size_t at) {
    return le16(b, at) | (le16(b, at + 2) << 16);
}
uint64_t le64(const std::string& b, size_t at) {
    return le32(b, at) | ((uint64_t)le32(b, at + 4) << 32);
}

struct Block {
    uint32_t firstFrame;
    uint64_t offset;
    uint32_t length;
};

// The block index read straight from a version 2 file's bytes.
std::vector<Block> blockIndex(const std::string& bytes) {
    std::vector<Block> blocks;
    uint32_t count = (uint8_t)bytes[21] + (((uint8_t)bytes[20] >> 4) << 8);
    uint64_t offset = le16(bytes, 4);
    for (uint32_t i = 0; i < count; i++) {
        uint32_t len = le32(bytes, 32 + 8 * i + 4);
        if (len) {
            blocks.push_back({le32(bytes, 32 + 8 * i), offset, len});
            offset += len;
        }
    }
    return blocks;
}

// What a file made with --pattern ramp holds, read back over channels [0, width):
// channel c of frame f is (c + f) mod 256 where the file stores c, else 0.
std::string rampBytes(uint32_t frames, uint32_t channels, uint32_t width, const RangeList& ranges) {
    std::string out;
    for (uint32_t f = 0; f < frames; f++) {
        for (uint32_t c = 0; c < width; c++) {
            bool stored = c < channels;
            if (!ranges.empty()) {
                stored = false;
                for (auto& r : ranges) {
                    stored = stored || (c >= r.first && c < r.first + r.second);
                }
            }
            out += (char)(stored ? (c + f) % 256 : 0);
        }
    }
    return out;
}

void expectOneLineError(const ToolRun& r, int status, const std::string& prefix,
                        const std::string& fragment) {
    EXPECT_EQ(r.status, status) << r.describe();
    auto lines = r.errLines();
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(fragment), std::string::npos) << "'" << fragment << "' not in: " << lines[0];
}

// ---- usage ----

TEST(LcsfToolUsage, HelpSaysChannelsAreZeroBasedAndListsCommands) {
    ToolRun r = lcsf({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("0-based"), std::string::npos) << r.out;
    for (const char* c : {"info", "create", "convert", "extract", "verify"}) {
        EXPECT_NE(r.out.find(c), std::string::npos) << c;
    }
    ToolRun create = lcsf({"help", "create"});
    EXPECT_EQ(create.status, 0);
    EXPECT_NE(create.out.find("--pattern"), std::string::npos);
    EXPECT_NE(create.out.find("--ranges"), std::string::npos);
    EXPECT_EQ(lcsf({"extract", "--help"}).status, 0);
}

TEST(LcsfToolUsage, MissingOrUnknownCommandIsUsageError) {
    expectOneLineError(lcsf({}), 2, "lcsf: ", "missing COMMAND");
    expectOneLineError(lcsf({"frobnicate"}), 2, "lcsf: ", "unknown command");
    expectOneLineError(lcsf({"--bogus"}), 2, "lcsf: ", "--bogus");
    expectOneLineError(lcsf({"info"}), 2, "lcsf info: ", "missing FILE");
    expectOneLineError(lcsf({"info", "a", "b"}), 2, "lcsf info: ", "one FILE");
    expectOneLineError(lcsf({"info", "x.lcsf", "--bogus"}), 2, "lcsf info: ", "unknown option --bogus");
    expectOneLineError(lcsf({"convert", "only-in.lcsf"}), 2, "lcsf convert: ", "IN and OUT");
    expectOneLineError(lcsf({"verify"}), 2, "lcsf verify: ", "missing FILE");
}

TEST(LcsfToolUsage, CreateRejectsBadOptionsWithoutWritingAFile) {
    TempDir dir;
    std::string out = dir.file("x.lcsf");
    struct Case {
        std::vector<std::string> opts;
        std::string fragment;
    } cases[] = {
        {{"--frames", "10"}, "--channels N is required"},
        {{"--channels", "10"}, "--frames F is required"},
        {{"--channels", "0", "--frames", "10"}, "--channels"},
        {{"--channels", "10", "--frames", "ten"}, "--frames"},
        {{"--channels", "10", "--frames", "10", "--step", "0"}, "--step must be 1..255"},
        {{"--channels", "10", "--frames", "10", "--step", "256"}, "--step must be 1..255"},
        {{"--channels", "10", "--frames", "10", "--step"}, "needs a value"},
        {{"--channels", "10", "--frames", "10", "--header", "abc=x"}, "exactly two characters"},
        {{"--channels", "10", "--frames", "10", "--header", "a=x"}, "exactly two characters"},
        {{"--channels", "10", "--frames", "10", "--header", "noequals"}, "CODE=TEXT"},
        {{"--channels", "10", "--frames", "10", "--header", "ED=x"}, "reserved"},
        {{"--channels", "10", "--frames", "10", "--version", "3"}, "--version must be 1 or 2"},
        {{"--channels", "10", "--frames", "10", "--version", "1", "--compression", "zstd"}, "version 1"},
        {{"--channels", "10", "--frames", "10", "--version", "1", "--ranges", "0:5"}, "version 1"},
        {{"--channels", "10", "--frames", "10", "--version", "1", "--media", "a", "--extended", "mf"},
         "version 1"},
        {{"--channels", "10", "--frames", "10", "--version", "1", "--unique-id", "5"}, "version 1"},
        {{"--channels", "10", "--frames", "10", "--version", "1", "--minor", "1"}, "version 1"},
        {{"--channels", "10", "--frames", "10", "--minor", "3"}, "--minor must be 0, 1 or 2"},
        {{"--channels", "10", "--frames", "10", "--compression", "lzma"}, "none, zstd or zlib"},
        {{"--channels", "10", "--frames", "10", "--compression", "none", "--level", "3"}, "--level"},
        {{"--channels", "10", "--frames", "10", "--compression", "zlib", "--level", "12"},
         "zlib must be 0..9"},
        {{"--channels", "10", "--frames", "10", "--level", "26"}, "--level"},
        {{"--channels", "10", "--frames", "10", "--ranges", "5:6"}, "runs past the 10 channels"},
        {{"--channels", "10", "--frames", "10", "--ranges", "0:5,3:4"}, "overlap"},
        {{"--channels", "10", "--frames", "10", "--ranges", "0:0"}, "COUNT at least 1"},
        {{"--channels", "10", "--frames", "10", "--ranges", "1-3"}, "FIRST:COUNT"},
        {{"--channels", "10", "--frames", "10", "--extended", "sp"}, "names no variable header"},
        {{"--channels", "10", "--frames", "10", "--pattern", "plaid"}, "--pattern must be"},
        {{"--channels", "10", "--frames", "10", "--seed", "3"}, "--seed applies only"},
        {{"--channels", "10", "--frames", "10", "--pattern", "zero", "--from-raw", "-"},
         "exclude each other"},
        {{"--channels", "10", "--frames", "10", "--unique-id", "-1"}, "--unique-id"},
        {{"--channels", "10", "--frames", "10", "--bogus"}, "unknown option --bogus"},
    };
    for (auto& c : cases) {
        std::vector<std::string> args = {"create", out};
        args.insert(args.end(), c.opts.begin(), c.opts.end());
        ToolRun r = runLcsf(args);
        SCOPED_TRACE(c.fragment);
        expectOneLineError(r, 2, "lcsf create: ", c.fragment);
        EXPECT_TRUE(r.out.empty());
    }
    EXPECT_TRUE(dirEntries(dir.path()).empty()) << "a failed create left files behind";
}

TEST(LcsfToolUsage, ExtractRefusesToWriteBinaryToATerminal) {
    TempDir dir;
    std::string f = dir.file("t.lcsf");
    ASSERT_EQ(lcsf({"create", f, "--channels", "4", "--frames", "2", "--compression", "none"}).status, 0);
    RunOptions opt;
    opt.stdoutIsTerminal = true;
    ToolRun r = runLcsf({"extract", f}, opt);
    expectOneLineError(r, 2, "lcsf extract: ", "terminal");
    // With -o the terminal does not matter.
    ToolRun withFile = runLcsf({"extract", f, "-o", dir.file("t.raw")}, opt);
    EXPECT_EQ(withFile.status, 0) << withFile.describe();
    EXPECT_EQ(readFileBytes(dir.file("t.raw")), rampBytes(2, 4, 4, {}));
}

TEST(LcsfToolUsage, ExtractSelectionsMustLieWithinTheFile) {
    TempDir dir;
    std::string f = dir.file("s.lcsf");
    ASSERT_EQ(lcsf({"create", f, "--channels", "8", "--frames", "5"}).status, 0);
    expectOneLineError(lcsf({"extract", f, "--frames", "3:3"}), 2, "lcsf extract: ", "5 frames");
    expectOneLineError(lcsf({"extract", f, "--frames", "6:"}), 2, "lcsf extract: ", "5 frames");
    expectOneLineError(lcsf({"extract", f, "--frames", "1:0"}), 2, "lcsf extract: ", "COUNT at least 1");
    expectOneLineError(lcsf({"extract", f, "--channels", "x"}), 2, "lcsf extract: ", "--channels");
    expectOneLineError(lcsf({"extract", f, "--channels", "9:"}), 2, "lcsf extract: ", "past channel 8");
    expectOneLineError(lcsf({"extract", f, "-o", f}), 2, "lcsf extract: ", "destroy");
    EXPECT_EQ(readFileBytes(f).substr(0, 4), "LCSM");
}

// ---- bad files ----

TEST(LcsfToolBadFiles, EveryReadingCommandNamesTheFileAndTheProblemInOneLine) {
    TempDir dir;
    std::string good = dir.file("good.lcsf");
    ASSERT_EQ(lcsf({"create", good, "--channels", "64", "--frames", "40", "--media", "m.mp3"}).status, 0);
    std::string goodBytes = readFileBytes(good);

    struct BadFile {
        std::string name;
        std::string bytes;
        std::string fragment;
    } files[] = {
        {"empty.lcsf", "", "only 0 bytes"},
        {"tiny.lcsf", "LCS", "only 3 bytes"},
        {"garbage.lcsf", std::string(300, '\x5a'), "not a sequence file"},
        {"header-cut.lcsf", goodBytes.substr(0, 40), "header"},
        {"version9.lcsf", goodBytes.substr(0, 7) + "\x09" + goodBytes.substr(8), "version 9"},
    };
    for (auto& b : files) {
        writeFileBytes(dir.file(b.name), b.bytes);
    }
    std::vector<std::pair<std::string, std::string>> all;
    for (auto& b : files) {
        all.emplace_back(dir.file(b.name), b.fragment);
    }
    all.emplace_back(dir.file("missing.lcsf"), "No such file");
    all.emplace_back(dir.path(), "is a directory");

    for (auto& bad : all) {
        SCOPED_TRACE(bad.first);
        std::string prefix = "lcsf: " + bad.first + ": ";
        expectOneLineError(lcsf({"info", bad.first}), 1, prefix, bad.second);
        expectOneLineError(lcsf({"info", "--json", bad.first}), 1, prefix, bad.second);
        expectOneLineError(lcsf({"verify", bad.first}), 1, prefix, bad.second);
        expectOneLineError(lcsf({"extract", bad.first, "-o", dir.file("out.raw")}), 1, prefix, bad.second);
        expectOneLineError(lcsf({"convert", bad.first, dir.file("out.lcsf")}), 1, prefix, bad.second);
        EXPECT_FALSE(exists(dir.file("out.raw")));
        EXPECT_FALSE(exists(dir.file("out.lcsf")));
    }
}

TEST(LcsfToolBadFiles, VerifyNamesTheFirstFrameThatCannotBeRead) {
    TempDir dir;
    // Version 1, 10 channels: cut inside frame 47.
    std::string v1 = dir.file("v1.lcsf");
    ASSERT_EQ(lcsf({"create", v1, "--version", "1", "--channels", "10", "--frames", "100"}).status, 0);
    std::string bytes = readFileBytes(v1);
    uint32_t offset = le16(bytes, 4);
    writeFileBytes(v1, bytes.substr(0, offset + 47 * 10 + 3));
    expectOneLineError(lcsf({"verify", v1}), 1, "lcsf: " + v1 + ": ", "frame 47 cannot be read");

    // Compressed: the start of block 2 overwritten, so it fails from its first frame on.
    for (std::string compression : {"zstd", "zlib"}) {
        SCOPED_TRACE(compression);
        std::string f = dir.file(compression + ".lcsf");
        ASSERT_EQ(lcsf({"create", f, "--channels", "512", "--frames", "1000", "--compression", compression,
                        "--pattern", "random"})
                      .status,
                  0);
        ASSERT_EQ(lcsf({"verify", f}).out, "OK: 1000 frames\n");
        std::string data = readFileBytes(f);
        auto blocks = blockIndex(data);
        ASSERT_GE(blocks.size(), 4u);
        for (int i = 0; i < 8; i++) {
            data[blocks[2].offset + i] = (char)0xA5;
        }
        writeFileBytes(f, data);
        expectOneLineError(lcsf({"verify", f}), 1, "lcsf: " + f + ": ",
                           "frame " + std::to_string(blocks[2].firstFrame) + " cannot be read");
        // The frames before the damage still come out, and extract stops with the same message.
        ToolRun before = lcsf({"extract", f, "--frames", "0:" + std::to_string(blocks[2].firstFrame), "-o",
                               dir.file("before.raw")});
        EXPECT_EQ(before.status, 0) << before.describe();
        expectOneLineError(lcsf({"extract", f, "-o", dir.file("all.raw")}), 1, "lcsf: " + f + ": ",
                           "frame " + std::to_string(blocks[2].firstFrame));
        EXPECT_FALSE(exists(dir.file("all.raw")));
    }

    // A compressed file cut short: blocks past the end are gone.
    std::string cut = dir.file("cut.lcsf");
    ASSERT_EQ(lcsf({"create", cut, "--channels", "512", "--frames", "1000", "--pattern", "random"}).status,
              0);
    std::string cutBytes = readFileBytes(cut);
    auto blocks = blockIndex(cutBytes);
    writeFileBytes(cut, cutBytes.substr(0, blocks[3].offset + 10));
    ToolRun r = lcsf({"verify", cut});
    expectOneLineError(r, 1, "lcsf: " + cut + ": ", "frame " + std::to_string(blocks[3].firstFrame));
}

// Damaged headers in every field must give a result or one line, never a crash.
TEST(LcsfToolBadFiles, MutatedHeadersNeverCrashTheTool) {
    TempDir dir;
    std::vector<std::string> seeds;
    std::vector<std::vector<std::string>> makers = {
        {"--version", "1", "--channels", "30", "--frames", "20", "--media", "a.mp3"},
        {"--channels", "300", "--frames", "60", "--compression", "zstd", "--header", "sp=x"},
        {"--channels", "300", "--frames", "60", "--compression", "zlib", "--ranges", "3:30,100:50"},
        {"--channels", "40", "--frames", "20", "--compression", "none", "--header", "XY=abc", "--extended",
         "XY"},
    };
    for (size_t i = 0; i < makers.size(); i++) {
        std::string f = dir.file("seed" + std::to_string(i));
        std::vector<std::string> args = {"create", f};
        args.insert(args.end(), makers[i].begin(), makers[i].end());
        ASSERT_EQ(runLcsf(args).status, 0);
        seeds.push_back(readFileBytes(f));
    }
    uint64_t state = 12345;
    auto rnd = [&]() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return (uint32_t)(state >> 33);
    };
    std::string victim = dir.file("victim.lcsf");
    for (int round = 0; round < 48; round++) {
        std::string bytes = seeds[round % seeds.size()];
        uint32_t header = std::min<uint32_t>(le16(bytes, 4), (uint32_t)bytes.size());
        int changes = 1 + rnd() % 4;
        for (int c = 0; c < changes; c++) {
            // Mostly the fixed header, where the counts and offsets are.
            uint32_t at = (rnd() % 3) ? rnd() % 32 : rnd() % header;
            bytes[at] = (char)(rnd() % 4 == 0 ? 0xFF : rnd());
        }
        if (round % 7 == 6) {
            bytes.resize(rnd() % bytes.size());
        }
        writeFileBytes(victim, bytes);
        for (auto& args :
             std::vector<std::vector<std::string>>{{"info", "--json", victim},
                                                   {"verify", victim},
                                                   {"extract", victim, "-o", dir.file("m.raw")}}) {
            ToolRun r = runLcsf(args);
            SCOPED_TRACE("round " + std::to_string(round) + " " + args[0]);
            EXPECT_EQ(r.signal, 0) << r.describe();
            EXPECT_TRUE(r.status == 0 || r.status == 1) << r.describe();
            if (r.status == 1) {
                auto lines = r.errLines();
                ASSERT_EQ(lines.size(), 1u) << r.err;
                EXPECT_EQ(lines[0].rfind("lcsf: " + victim + ": ", 0), 0u) << lines[0];
            }
            if (args[0] == "info" && r.status == 0) {
                EXPECT_TRUE(parseJson(r.out).isObject());
            }
        }
    }
}

TEST(LcsfToolBadFiles, EffectSequencesAreReadAsOneRange) {
    TempDir dir;
    // 20-byte header: "ESEQ", 4 unread bytes, bytes per frame, 1-based first channel, channel count.
    std::string bytes = "ESEQ" + std::string(4, '\0');
    auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; i++) {
            bytes += (char)((v >> (8 * i)) & 0xFF);
        }
    };
    put32(6);
    put32(11);
    put32(6);
    for (int i = 0; i < 3 * 6; i++) {
        bytes += (char)(100 + i);
    }
    std::string f = dir.file("effect.eseq");
    writeFileBytes(f, bytes);
    ToolRun info = lcsf({"info", "--json", f});
    ASSERT_EQ(info.status, 0) << info.describe();
    Json::Value j = parseJson(info.out);
    EXPECT_EQ(j["frameCount"].asInt(), 3);
    EXPECT_EQ(j["channelCount"].asInt(), 6);
    EXPECT_EQ(j["sparseRanges"][0][0].asInt(), 10);
    EXPECT_EQ(j["sparseRanges"][0][1].asInt(), 6);
    EXPECT_NE(lcsf({"info", f}).out.find("effect sequence"), std::string::npos);
    ToolRun out = lcsf({"extract", f, "--channels", "8:10"});
    ASSERT_EQ(out.status, 0) << out.describe();
    std::string expected;
    for (int fr = 0; fr < 3; fr++) {
        expected += std::string(2, '\0');
        for (int c = 0; c < 6; c++) {
            expected += (char)(100 + fr * 6 + c);
        }
        expected += std::string(2, '\0');
    }
    EXPECT_TRUE(out.out == expected);
    EXPECT_EQ(lcsf({"verify", f}).out, "OK: 3 frames\n");
}

// ---- create -> info -> extract round trips ----

struct HeaderExpect {
    std::string code;
    size_t length;
    bool extended;
};

struct FormatCase {
    std::string name;
    std::vector<std::string> options;
    int major = 2;
    int minor = 0;
    std::string compression = "zstd";
    RangeList ranges;
    std::vector<HeaderExpect> headers;
    std::string media;
    uint64_t uniqueId = 0; // 0: not given, the time of writing
};

std::ostream& operator<<(std::ostream& o, const FormatCase& c) {
    return o << c.name;
}

class LcsfToolRoundTrip : public ::testing::TestWithParam<FormatCase> {};

const uint32_t RT_CHANNELS = 300;
const uint32_t RT_FRAMES = 120;

TEST_P(LcsfToolRoundTrip, InfoDescribesTheFileAndExtractGivesTheFramesBack) {
    const FormatCase& c = GetParam();
    TempDir dir;
    std::string f = dir.file("rt.lcsf");
    std::vector<std::string> args = {
        "create", f,   "--channels", std::to_string(RT_CHANNELS), "--frames", std::to_string(RT_FRAMES),
        "--step", "25"};
    for (auto o : c.options) {
        size_t at = o.find("@DIR@");
        if (at != std::string::npos) {
            o.replace(at, 5, dir.path());
            // A header file over 64 KiB, zeros included.
            std::string big;
            for (int i = 0; i < 70001; i++) {
                big += (char)(i % 251);
            }
            writeFileBytes(dir.file("big-header.bin"), big);
        }
        args.push_back(o);
    }
    ToolRun created = runLcsf(args);
    ASSERT_EQ(created.status, 0) << created.describe();
    EXPECT_TRUE(created.err.empty()) << created.err;
    std::string bytes = readFileBytes(f);
    ASSERT_GE(bytes.size(), 32u);
    EXPECT_EQ(bytes.substr(0, 4), "LCSM");

    ToolRun info = lcsf({"info", "--json", f});
    ASSERT_EQ(info.status, 0) << info.describe();
    Json::Value j = parseJson(info.out);
    std::set<std::string> keys;
    for (auto& k : j.getMemberNames()) {
        keys.insert(k);
    }
    EXPECT_EQ(keys,
              (std::set<std::string>{"majorVersion", "minorVersion", "channelDataOffset", "channelCount",
                                     "frameCount", "stepTime", "compression", "blockCount", "sparseRanges",
                                     "uniqueId", "variableHeaders", "mediaFilename"}));
    EXPECT_EQ(j["majorVersion"].asInt(), c.major);
    EXPECT_EQ(j["minorVersion"].asInt(), c.minor);
    EXPECT_EQ(j["channelDataOffset"].asUInt(), le16(bytes, 4));
    EXPECT_EQ(j["channelDataOffset"].asUInt() % 4, 0u);
    uint32_t stored = RT_CHANNELS;
    uint32_t maxChannel = RT_CHANNELS;
    if (!c.ranges.empty()) {
        stored = 0;
        maxChannel = 0;
        for (auto& r : c.ranges) {
            stored += r.second;
            maxChannel = std::max(maxChannel, r.first + r.second);
        }
        maxChannel = std::max(maxChannel, stored);
    }
    EXPECT_EQ(j["channelCount"].asUInt(), stored);
    EXPECT_EQ(j["frameCount"].asUInt(), RT_FRAMES);
    EXPECT_EQ(j["stepTime"].asUInt(), 25u);
    EXPECT_EQ(j["compression"].asString(), c.compression);
    if (c.compression == "none") {
        EXPECT_EQ(j["blockCount"].asInt(), 0);
        EXPECT_EQ(bytes.size() - le16(bytes, 4) >= (uint64_t)RT_FRAMES * stored, true);
    } else {
        auto blocks = blockIndex(bytes);
        EXPECT_GE(blocks.size(), 2u); // the short first block of 10 frames, then the rest
        EXPECT_EQ(j["blockCount"].asUInt(), blocks.size());
        EXPECT_EQ(blocks[0].firstFrame, 0u);
        EXPECT_EQ(blocks[1].firstFrame, 10u);
    }
    ASSERT_TRUE(j["sparseRanges"].isArray());
    ASSERT_EQ(j["sparseRanges"].size(), c.ranges.size());
    for (Json::ArrayIndex i = 0; i < c.ranges.size(); i++) {
        EXPECT_EQ(j["sparseRanges"][i][0].asUInt(), c.ranges[i].first);
        EXPECT_EQ(j["sparseRanges"][i][1].asUInt(), c.ranges[i].second);
    }
    if (c.major == 2) {
        EXPECT_EQ(j["uniqueId"].asUInt64(), le64(bytes, 24));
        if (c.uniqueId) {
            EXPECT_EQ(j["uniqueId"].asUInt64(), c.uniqueId);
        } else {
            EXPECT_GT(j["uniqueId"].asUInt64(), 1500000000ULL * 1000000ULL); // microseconds of a recent time
        }
    }
    ASSERT_EQ(j["variableHeaders"].size(), c.headers.size()) << info.out;
    for (Json::ArrayIndex i = 0; i < c.headers.size(); i++) {
        EXPECT_EQ(j["variableHeaders"][i]["code"].asString(), c.headers[i].code);
        EXPECT_EQ(j["variableHeaders"][i]["length"].asUInt64(), c.headers[i].length);
        EXPECT_EQ(j["variableHeaders"][i]["extended"].asBool(), c.headers[i].extended);
    }
    EXPECT_EQ(j["mediaFilename"].asString(), c.media);

    // The text form shows the same file, with the block table for compressed files.
    ToolRun text = lcsf({"info", f});
    ASSERT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("Frames:              120"), std::string::npos) << text.out;
    EXPECT_EQ(text.out.find("first frame") != std::string::npos, c.compression != "none") << text.out;

    ToolRun all = lcsf({"extract", f});
    ASSERT_EQ(all.status, 0) << all.describe();
    EXPECT_TRUE(all.out == rampBytes(RT_FRAMES, RT_CHANNELS, maxChannel, c.ranges)) << "extract differs";

    // A window of frames and channels, running past the stored channels (zeros there).
    ToolRun part =
        lcsf({"extract", f, "--frames", "37:20", "--channels", "250:100", "-o", dir.file("part.raw")});
    ASSERT_EQ(part.status, 0) << part.describe();
    std::string full = rampBytes(RT_FRAMES, RT_CHANNELS, 350, c.ranges);
    std::string expected;
    for (uint32_t fr = 37; fr < 57; fr++) {
        expected += full.substr(fr * 350 + 250, 100);
    }
    EXPECT_TRUE(readFileBytes(dir.file("part.raw")) == expected);

    ToolRun verify = lcsf({"verify", f});
    EXPECT_EQ(verify.status, 0) << verify.describe();
    EXPECT_EQ(verify.out, "OK: 120 frames\n");
}

std::vector<FormatCase> formatCases() {
    std::vector<FormatCase> v;
    auto add = [&](std::string name, std::vector<std::string> opts, auto&& tweak) {
        FormatCase c;
        c.name = name;
        c.options = opts;
        tweak(c);
        v.push_back(c);
    };
    auto same = [](FormatCase&) {};
    add("v1", {"--version", "1"}, [](FormatCase& c) {
        c.major = 1;
        c.compression = "none";
    });
    add("v1_headers", {"--version", "1", "--media", "show.mp3", "--header", "sp=lcsf"}, [](FormatCase& c) {
        c.major = 1;
        c.compression = "none";
        c.headers = {{"mf", 9, false}, {"sp", 5, false}};
        c.media = "show.mp3";
    });
    add("v2_none", {"--compression", "none"}, [](FormatCase& c) { c.compression = "none"; });
    add("v2_zstd_default", {}, same);
    add("zstd_level_1", {"--level", "1"}, same);
    add("zstd_level_19", {"--level", "19"}, same);
    add("zstd_level_negative", {"--level", "-5"}, same);
    add("zlib_default", {"--compression", "zlib"}, [](FormatCase& c) { c.compression = "zlib"; });
    add("zlib_level_0", {"--compression", "zlib", "--level", "0"},
        [](FormatCase& c) { c.compression = "zlib"; });
    add("zlib_level_9", {"--compression", "zlib", "--level", "9"},
        [](FormatCase& c) { c.compression = "zlib"; });
    add("minor_0", {"--minor", "0"}, same);
    add("minor_1", {"--minor", "1"}, [](FormatCase& c) { c.minor = 1; });
    add("minor_2_zlib", {"--minor", "2", "--compression", "zlib"}, [](FormatCase& c) {
        c.minor = 2;
        c.compression = "zlib";
    });
    add("ranges_zstd", {"--ranges", "100:50,10:20"}, [](FormatCase& c) { c.ranges = {{100, 50}, {10, 20}}; });
    add("ranges_none", {"--compression", "none", "--ranges", "0:3,297:3"}, [](FormatCase& c) {
        c.compression = "none";
        c.ranges = {{0, 3}, {297, 3}};
    });
    add("ranges_zlib_one", {"--compression", "zlib", "--ranges", "150:1"}, [](FormatCase& c) {
        c.compression = "zlib";
        c.ranges = {{150, 1}};
    });
    add("headers", {"--header", "sp=lcsf test", "--header", "XY=hello", "--header", "XY=bye"},
        [](FormatCase& c) {
            c.headers = {{"sp", 10, false}, {"XY", 4, false}};
        });
    add("extended_zstd", {"--header", "XY=hello", "--extended", "XY", "--media", "a.wav"}, [](FormatCase& c) {
        c.headers = {{"XY", 6, true}, {"mf", 6, false}};
        c.media = "a.wav";
    });
    add("extended_none_media", {"--compression", "none", "--media", "song.ogg", "--extended", "mf"},
        [](FormatCase& c) {
            c.compression = "none";
            c.headers = {{"mf", 9, true}};
            c.media = "song.ogg";
        });
    add("header_file_big_minor_2",
        {"--minor", "2", "--header-file", "FC=@DIR@/big-header.bin", "--media", "m.mp3"}, [](FormatCase& c) {
            c.minor = 2;
            c.headers = {{"FC", 70001, true}, {"mf", 6, false}};
            c.media = "m.mp3";
        });
    add("unique_id", {"--unique-id", "123456789012345"},
        [](FormatCase& c) { c.uniqueId = 123456789012345ULL; });
    add("unique_id_max", {"--unique-id", "18446744073709551615", "--compression", "none"}, [](FormatCase& c) {
        c.uniqueId = UINT64_MAX;
        c.compression = "none";
    });
    return v;
}

INSTANTIATE_TEST_SUITE_P(Formats, LcsfToolRoundTrip, ::testing::ValuesIn(formatCases()),
                         [](const ::testing::TestParamInfo<FormatCase>& i) { return i.param.name; });

TEST(LcsfToolHeaders, HeaderFileBytesAreStoredAsTheyAreInTheExtendedForm) {
    TempDir dir;
    std::string data;
    for (int i = 0; i < 70001; i++) {
        data += (char)((i * 7 + i / 256) & 0xFF); // zeros included
    }
    writeFileBytes(dir.file("big.bin"), data);
    std::string f = dir.file("h.lcsf");
    ToolRun r = lcsf({"create", f, "--channels", "16", "--frames", "30", "--minor", "2", "--header-file",
                      "FC=" + dir.file("big.bin"), "--header", "sp=x"});
    ASSERT_EQ(r.status, 0) << r.describe();
    std::string bytes = readFileBytes(f);
    uint32_t headerEnd = le16(bytes, 4);
    // Find the extended entry of FC and follow its offset.
    size_t at = bytes.find(std::string("\x12\x00"
                                       "EDFC",
                                       6),
                           32);
    ASSERT_NE(at, std::string::npos);
    ASSERT_LT(at, headerEnd);
    uint64_t offset = le64(bytes, at + 6);
    uint32_t length = le32(bytes, at + 14);
    EXPECT_EQ(length, data.size());
    ASSERT_LE(offset + length, bytes.size());
    EXPECT_TRUE(bytes.substr(offset, length) == data);

    // Converting keeps the header's bytes (and its extended form).
    std::string g = dir.file("h2.lcsf");
    ASSERT_EQ(lcsf({"convert", f, g, "--compression", "zlib"}).status, 0);
    Json::Value j = parseJson(lcsf({"info", "--json", g}).out);
    EXPECT_EQ(j["variableHeaders"][0]["code"].asString(), "FC");
    EXPECT_EQ(j["variableHeaders"][0]["length"].asUInt(), 70001u);
    EXPECT_TRUE(j["variableHeaders"][0]["extended"].asBool());

    // A header file that cannot be read is an input problem naming that file.
    expectOneLineError(lcsf({"create", dir.file("n.lcsf"), "--channels", "4", "--frames", "2",
                             "--header-file", "FC=" + dir.file("nope.bin")}),
                       1, "lcsf: " + dir.file("nope.bin") + ": ", "No such file");
    // Version 1 cannot hold it.
    expectOneLineError(lcsf({"create", dir.file("n.lcsf"), "--version", "1", "--channels", "4", "--frames",
                             "2", "--header-file", "FC=" + dir.file("big.bin")}),
                       2, "lcsf create: ", "version 1");
    EXPECT_FALSE(exists(dir.file("n.lcsf")));
}

// ---- patterns and raw input ----

std::string extractAll(const std::string& f) {
    ToolRun r = lcsf({"extract", f});
    EXPECT_EQ(r.status, 0) << r.describe();
    return r.out;
}

TEST(LcsfToolPatterns, ChaseLightsOneChannelPerFrame) {
    TempDir dir;
    std::string f = dir.file("c.lcsf");
    ASSERT_EQ(lcsf({"create", f, "--channels", "7", "--frames", "20", "--pattern", "chase"}).status, 0);
    std::string b = extractAll(f);
    ASSERT_EQ(b.size(), 140u);
    for (uint32_t fr = 0; fr < 20; fr++) {
        for (uint32_t c = 0; c < 7; c++) {
            EXPECT_EQ((uint8_t)b[fr * 7 + c], c == fr % 7 ? 255 : 0) << "frame " << fr << " channel " << c;
        }
    }
}

TEST(LcsfToolPatterns, RainbowPixelsStayOnTheColourWheelAndTurnOnceEvery96Frames) {
    TempDir dir;
    std::string f = dir.file("r.lcsf");
    const uint32_t channels = 32; // 10 pixels and 2 channels left over
    ASSERT_EQ(lcsf({"create", f, "--channels", "32", "--frames", "200", "--pattern", "rainbow"}).status, 0);
    std::string b = extractAll(f);
    ASSERT_EQ(b.size(), 200u * channels);
    auto px = [&](uint32_t fr, uint32_t p, int k) { return (uint8_t)b[fr * channels + 3 * p + k]; };
    for (uint32_t fr = 0; fr < 200; fr++) {
        std::set<std::vector<int>> colours;
        for (uint32_t p = 0; p < 10; p++) {
            int r = px(fr, p, 0), g = px(fr, p, 1), bl = px(fr, p, 2);
            EXPECT_EQ(r + g + bl, 255) << "frame " << fr << " pixel " << p;
            EXPECT_TRUE(r == 0 || g == 0 || bl == 0);
            colours.insert({r, g, bl});
            if (fr + 96 < 200) {
                EXPECT_EQ(px(fr, p, 0), px(fr + 96, p, 0));
                EXPECT_EQ(px(fr, p, 1), px(fr + 96, p, 1));
            }
        }
        EXPECT_EQ(colours.size(), 10u) << "pixels of frame " << fr << " share colours";
        EXPECT_EQ(b[fr * channels + 30], 0);
        EXPECT_EQ(b[fr * channels + 31], 0);
    }
    EXPECT_NE(b.substr(0, channels), b.substr(channels, channels)) << "the wheel does not move";
}

TEST(LcsfToolPatterns, RandomIsReproducibleBySeedAndZeroIsZero) {
    TempDir dir;
    auto make = [&](const std::string& name, std::vector<std::string> extra) {
        std::vector<std::string> args = {"create", dir.file(name), "--channels", "100", "--frames", "50"};
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_EQ(runLcsf(args).status, 0);
        return extractAll(dir.file(name));
    };
    std::string a = make("a", {"--pattern", "random", "--seed", "7"});
    std::string a2 = make("a2", {"--pattern", "random", "--seed", "7", "--compression", "zlib"});
    std::string b = make("b", {"--pattern", "random", "--seed", "8"});
    std::string d1 = make("d1", {"--pattern", "random"});
    std::string d2 = make("d2", {"--pattern", "random", "--version", "1"});
    EXPECT_TRUE(a == a2);
    EXPECT_TRUE(d1 == d2);
    EXPECT_FALSE(a == b);
    EXPECT_FALSE(a == d1);
    std::map<char, int> histogram;
    for (char c : a) {
        histogram[c]++;
    }
    EXPECT_GT(histogram.size(), 200u) << "5000 random bytes use few values";
    EXPECT_NE(a.substr(0, 100), a.substr(100, 100)) << "frames repeat";

    std::string z = make("z", {"--pattern", "zero"});
    EXPECT_EQ(z, std::string(5000, '\0'));
}

TEST(LcsfToolRawInput, FramesFromAFileOrStandardInputComeBackUnchanged) {
    TempDir dir;
    std::string raw;
    for (int i = 0; i < 40 * 90; i++) {
        raw += (char)((i * 31 + i / 90) & 0xFF);
    }
    writeFileBytes(dir.file("in.raw"), raw);
    for (std::string compression : {"none", "zstd", "zlib"}) {
        std::string f = dir.file("raw-" + compression + ".lcsf");
        ToolRun r = lcsf({"create", f, "--channels", "90", "--frames", "40", "--compression", compression,
                          "--from-raw", dir.file("in.raw")});
        ASSERT_EQ(r.status, 0) << r.describe();
        EXPECT_TRUE(extractAll(f) == raw) << compression;
    }
    RunOptions opt;
    opt.hasStdin = true;
    opt.stdinData = raw;
    std::string v1 = dir.file("stdin.lcsf");
    ToolRun r = runLcsf(
        {"create", v1, "--version", "1", "--channels", "90", "--frames", "40", "--from-raw", "-"}, opt);
    ASSERT_EQ(r.status, 0) << r.describe();
    EXPECT_TRUE(extractAll(v1) == raw);

    // Sparse ranges keep only their channels.
    std::string sparse = dir.file("sparse.lcsf");
    r = runLcsf(
        {"create", sparse, "--ranges", "5:10,60:30", "--channels", "90", "--frames", "40", "--from-raw", "-"},
        opt);
    ASSERT_EQ(r.status, 0) << r.describe();
    std::string expected = raw;
    for (size_t i = 0; i < expected.size(); i++) {
        size_t c = i % 90;
        if (!((c >= 5 && c < 15) || c >= 60)) {
            expected[i] = 0;
        }
    }
    EXPECT_TRUE(extractAll(sparse) == expected);
}

TEST(LcsfToolRawInput, ShortInputNamesHowManyFramesArrivedAndLeavesTheOldFile) {
    TempDir dir;
    std::string out = dir.file("keep.lcsf");
    writeFileBytes(out, "previous contents");
    RunOptions opt;
    opt.hasStdin = true;
    opt.stdinData = std::string(100 * 50 + 20, 'x');
    ToolRun r = runLcsf({"create", out, "--channels", "100", "--frames", "80", "--from-raw", "-"}, opt);
    expectOneLineError(r, 1, "lcsf: standard input: ", "only 50 of 80 frames arrived");
    EXPECT_EQ(readFileBytes(out), "previous contents");
    EXPECT_EQ(dirEntries(dir.path()), std::set<std::string>{"keep.lcsf"});

    writeFileBytes(dir.file("short.raw"), std::string(30, 'y'));
    r = lcsf({"create", out, "--channels", "100", "--frames", "2", "--from-raw", dir.file("short.raw")});
    expectOneLineError(r, 1, "lcsf: " + dir.file("short.raw") + ": ", "only 0 of 2 frames arrived");
    expectOneLineError(
        lcsf({"create", out, "--channels", "100", "--frames", "2", "--from-raw", dir.file("none")}), 1,
        "lcsf: " + dir.file("none") + ": ", "No such file");
    EXPECT_EQ(readFileBytes(out), "previous contents");
}

// ---- convert ----

TEST(LcsfToolConvert, Version1ToVersion2KeepsFramesHeadersAndId) {
    TempDir dir;
    std::string v1 = dir.file("v1.lcsf"), v2 = dir.file("v2.lcsf");
    ASSERT_EQ(lcsf({"create", v1, "--version", "1", "--channels", "200", "--frames", "90", "--step", "40",
                    "--pattern", "random", "--media", "tune.mp3", "--header", "sp=maker"})
                  .status,
              0);
    Json::Value in = parseJson(lcsf({"info", "--json", v1}).out);
    ToolRun r = lcsf({"convert", v1, v2, "--version", "2"});
    ASSERT_EQ(r.status, 0) << r.describe();
    Json::Value out = parseJson(lcsf({"info", "--json", v2}).out);
    EXPECT_EQ(out["majorVersion"].asInt(), 2);
    EXPECT_EQ(out["compression"].asString(), "zstd");
    EXPECT_EQ(out["stepTime"].asInt(), 40);
    EXPECT_EQ(out["frameCount"].asInt(), 90);
    EXPECT_EQ(out["uniqueId"], in["uniqueId"]);
    EXPECT_EQ(out["variableHeaders"], in["variableHeaders"]);
    EXPECT_EQ(out["mediaFilename"].asString(), "tune.mp3");
    EXPECT_TRUE(extractAll(v2) == extractAll(v1));

    // Back to version 1, uncompressed, with another media file.
    std::string back = dir.file("back.lcsf");
    ASSERT_EQ(lcsf({"convert", v2, back, "--version", "1", "--media", "other.mp3"}).status, 0);
    Json::Value b = parseJson(lcsf({"info", "--json", back}).out);
    EXPECT_EQ(b["majorVersion"].asInt(), 1);
    EXPECT_EQ(b["mediaFilename"].asString(), "other.mp3");
    EXPECT_EQ(b["variableHeaders"].size(), 2u) << "--media replaces the mf header, not adds one";
    EXPECT_TRUE(extractAll(back) == extractAll(v1));
}

TEST(LcsfToolConvert, IntoSparseRangesKeepsOnlyTheirChannels) {
    TempDir dir;
    std::string in = dir.file("in.lcsf"), out = dir.file("out.lcsf");
    ASSERT_EQ(lcsf({"create", in, "--channels", "120", "--frames", "60", "--pattern", "random", "--seed", "3",
                    "--compression", "zlib", "--unique-id", "42"})
                  .status,
              0);
    std::string inBytes = extractAll(in);
    ToolRun r = lcsf({"convert", in, out, "--ranges", "10:20,100:20"});
    ASSERT_EQ(r.status, 0) << r.describe();
    Json::Value j = parseJson(lcsf({"info", "--json", out}).out);
    EXPECT_EQ(j["compression"].asString(), "zlib") << "the input's compression is kept";
    EXPECT_EQ(j["uniqueId"].asUInt64(), 42u);
    EXPECT_EQ(j["channelCount"].asInt(), 40);
    std::string expected = inBytes;
    for (size_t i = 0; i < expected.size(); i++) {
        size_t c = i % 120;
        if (!((c >= 10 && c < 30) || c >= 100)) {
            expected[i] = 0;
        }
    }
    EXPECT_TRUE(extractAll(out) == expected);

    // A converted sparse file keeps its ranges; "--ranges all" stores every channel again.
    std::string again = dir.file("again.lcsf"), whole = dir.file("whole.lcsf");
    ASSERT_EQ(lcsf({"convert", out, again, "--compression", "zstd"}).status, 0);
    Json::Value ja = parseJson(lcsf({"info", "--json", again}).out);
    EXPECT_EQ(ja["sparseRanges"], j["sparseRanges"]);
    EXPECT_TRUE(extractAll(again) == expected);
    ASSERT_EQ(lcsf({"convert", out, whole, "--ranges", "all", "--compression", "none"}).status, 0);
    Json::Value jw = parseJson(lcsf({"info", "--json", whole}).out);
    EXPECT_EQ(jw["sparseRanges"].size(), 0u);
    EXPECT_EQ(jw["channelCount"].asInt(), 120);
    EXPECT_TRUE(extractAll(whole) == expected);

    // Ranges past the input's channels are refused.
    expectOneLineError(lcsf({"convert", in, dir.file("bad.lcsf"), "--ranges", "100:21"}), 2,
                       "lcsf convert: ", "runs past the 120 channels");
    EXPECT_FALSE(exists(dir.file("bad.lcsf")));
}

TEST(LcsfToolConvert, RefusesToWriteOverItsInput) {
    TempDir dir;
    std::string in = dir.file("in.lcsf");
    ASSERT_EQ(lcsf({"create", in, "--channels", "50", "--frames", "30"}).status, 0);
    std::string before = readFileBytes(in);
    ASSERT_EQ(symlink(in.c_str(), dir.file("sym.lcsf").c_str()), 0);
    ASSERT_EQ(link(in.c_str(), dir.file("hard.lcsf").c_str()), 0);
    for (std::string out : {in, dir.file("sym.lcsf"), dir.file("hard.lcsf"), dir.path() + "/./in.lcsf"}) {
        SCOPED_TRACE(out);
        expectOneLineError(lcsf({"convert", in, out, "--compression", "none"}), 2,
                           "lcsf convert: ", "same file");
    }
    EXPECT_TRUE(readFileBytes(in) == before);
    EXPECT_EQ(dirEntries(dir.path()), (std::set<std::string>{"in.lcsf", "sym.lcsf", "hard.lcsf"}));
}

// ---- safe writing ----

TEST(LcsfToolSafeWrite, AFailedWriteLeavesNoFileAndKeepsTheOldOne) {
    TempDir dir;
    RunOptions limited;
    limited.fileSizeLimit = 64 * 1024;
    std::string out = dir.file("big.lcsf");
    ToolRun r =
        runLcsf({"create", out, "--channels", "512", "--frames", "1000", "--compression", "none"}, limited);
    expectOneLineError(r, 1, "lcsf: " + out + ": ", "File too large");
    EXPECT_TRUE(dirEntries(dir.path()).empty()) << "left behind: " << *dirEntries(dir.path()).begin();

    writeFileBytes(out, "old");
    r = runLcsf({"create", out, "--channels", "512", "--frames", "1000", "--pattern", "random"}, limited);
    EXPECT_EQ(r.status, 1) << r.describe();
    EXPECT_EQ(readFileBytes(out), "old");
    EXPECT_EQ(dirEntries(dir.path()), std::set<std::string>{"big.lcsf"});

    // Without the limit the same command replaces the old file.
    r = lcsf({"create", out, "--channels", "512", "--frames", "1000", "--pattern", "random"});
    EXPECT_EQ(r.status, 0) << r.describe();
    EXPECT_EQ(lcsf({"verify", out}).out, "OK: 1000 frames\n");
    EXPECT_EQ(dirEntries(dir.path()), std::set<std::string>{"big.lcsf"});

    // Nowhere to write: a folder that does not exist.
    expectOneLineError(lcsf({"create", dir.file("no/such/x.lcsf"), "--channels", "4", "--frames", "2"}), 1,
                       "lcsf: " + dir.file("no/such/x.lcsf") + ": ", "No such file");
    expectOneLineError(lcsf({"create", dir.path(), "--channels", "4", "--frames", "2"}), 1,
                       "lcsf: " + dir.path() + ": ", "is a directory");
}

TEST(LcsfToolSafeWrite, ALinkKeepsPointingAtItsFileAndAPipeIsWrittenIntoNotReplaced) {
    TempDir dir;
    std::string show = dir.file("show.lcsf"), link = dir.file("link.lcsf");
    writeFileBytes(show, "old");
    ASSERT_EQ(symlink(show.c_str(), link.c_str()), 0);
    ToolRun r = lcsf({"create", link, "--channels", "6", "--frames", "3"});
    ASSERT_EQ(r.status, 0) << r.describe();
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a file";
    EXPECT_EQ(lcsf({"verify", show}).out, "OK: 3 frames\n") << "the link's file is the new show";
    EXPECT_EQ(dirEntries(dir.path()), (std::set<std::string>{"show.lcsf", "link.lcsf"}));

    // A named pipe stands for a device here (never a test's /dev/null): the show goes
    // into it, and it stays a pipe.
    std::string fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(rd, 0);
    r = lcsf({"create", fifo, "--channels", "6", "--frames", "3"});
    EXPECT_EQ(r.status, 0) << r.describe();
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = read(rd, buf, sizeof(buf))) > 0) {
        got.append(buf, (size_t)n);
    }
    close(rd);
    writeFileBytes(dir.file("received.lcsf"), got);
    EXPECT_EQ(lcsf({"verify", dir.file("received.lcsf")}).out, "OK: 3 frames\n")
        << "the pipe did not get the show";
    unlink(dir.file("received.lcsf").c_str());
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the pipe was replaced by a file";
    EXPECT_EQ(dirEntries(dir.path()), (std::set<std::string>{"show.lcsf", "link.lcsf", "pipe"}));

    // A device node of our own, like /dev/null (which a test must never risk), where
    // root may make one: written into, and still a device.
    std::string dev = dir.file("null");
    if (mknod(dev.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
        r = lcsf({"create", dev, "--channels", "6", "--frames", "3"});
        EXPECT_EQ(r.status, 0) << r.describe();
        ASSERT_EQ(lstat(dev.c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device was replaced by a file";
        unlink(dev.c_str());
    }

    // A link to nothing is refused, and nothing is made.
    std::string dangling = dir.file("dangling.lcsf");
    ASSERT_EQ(symlink(dir.file("gone.lcsf").c_str(), dangling.c_str()), 0);
    expectOneLineError(lcsf({"create", dangling, "--channels", "6", "--frames", "3"}), 1,
                       "lcsf: " + dangling + ": ", "symbolic link");
    EXPECT_EQ(dirEntries(dir.path()).count("gone.lcsf"), 0u);
}

TEST(LcsfToolSafeWrite, ExtractToAClosedPipeIsAnErrorNotASignal) {
    TempDir dir;
    std::string f = dir.file("p.lcsf");
    ASSERT_EQ(lcsf({"create", f, "--channels", "4096", "--frames", "200"}).status, 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        execl(LCSF, LCSF, "extract", f.c_str(), (char*)nullptr);
        _exit(127);
    }
    close(fds[1]);
    char buf[100];
    ASSERT_GT(read(fds[0], buf, sizeof(buf)), 0);
    close(fds[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st)) << "killed by signal " << WTERMSIG(st);
    EXPECT_EQ(WEXITSTATUS(st), 1);
}

} // namespace
