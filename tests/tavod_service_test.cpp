// tavod under a service manager: readiness, status, reload and stop messages and the
// watchdog on a socket standing in for NOTIFY_SOCKET, a stuck output thread that
// ends the pings, journal-style log lines, log levels changed at run time, and the
// service unit as systemd-analyze sees it.
#include "JsonText.h"
#include "TavodTestSupport.h"
#include "host/core/Common.h"
#include "host/core/Log.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <sys/un.h>

#include <cstdlib>
#include <fstream>
#include <memory>

using namespace tavodtest;

namespace {

// A datagram socket in a temporary folder that takes what tavod tells its manager.
class NotifySocket {
public:
    NotifySocket() {
        m_path = m_dir.path() + "/notify";
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr;
        memset(&addr, 0, sizeof(addr));
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, m_path.c_str(), sizeof(addr.sun_path) - 1);
        m_ok = m_fd >= 0 && bind(m_fd, (struct sockaddr*)&addr, sizeof(addr)) == 0;
    }
    ~NotifySocket() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    bool ok() const { return m_ok; }
    const std::string& path() const { return m_path; }

    // The next message, or "" when none comes within `timeoutMs`.
    std::string receive(int timeoutMs) {
        struct pollfd p = {m_fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) {
            return "";
        }
        char buf[4096];
        ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
        return n > 0 ? std::string(buf, (size_t)n) : std::string();
    }
    // Waits for a message holding `line`; every message seen on the way goes to `seen`.
    bool waitFor(const std::string& line, int timeoutMs, std::string* message = nullptr,
                 std::vector<std::string>* seen = nullptr) {
        int64_t end = nowUs() + (int64_t)timeoutMs * 1000;
        while (nowUs() < end) {
            std::string m = receive((int)std::max<int64_t>(1, (end - nowUs()) / 1000));
            if (m.empty()) {
                continue;
            }
            if (seen) {
                seen->push_back(m);
            }
            if (("\n" + m + "\n").find("\n" + line + "\n") != std::string::npos) {
                if (message) {
                    *message = m;
                }
                return true;
            }
        }
        return false;
    }
    // How many messages holding `line` arrive within `ms`; the others are kept in `others`.
    int count(const std::string& line, int ms, std::vector<std::string>* others = nullptr) {
        int n = 0;
        int64_t end = nowUs() + (int64_t)ms * 1000;
        while (nowUs() < end) {
            std::string m = receive((int)std::max<int64_t>(1, (end - nowUs()) / 1000));
            if (("\n" + m + "\n").find("\n" + line + "\n") != std::string::npos) {
                n++;
            } else if (others && !m.empty()) {
                others->push_back(m);
            }
        }
        return n;
    }
    void drain() {
        while (!receive(0).empty()) {
        }
    }

private:
    TempDir m_dir;
    std::string m_path;
    int m_fd = -1;
    bool m_ok = false;
};

// Sets environment variables for the children started while it lives.
class ScopedEnv {
public:
    ScopedEnv(std::initializer_list<std::pair<std::string, std::string>> vars) : m_vars(vars) {
        for (auto& v : m_vars) {
            setenv(v.first.c_str(), v.second.c_str(), 1);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        for (auto& v : m_vars) {
            unsetenv(v.first.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::string>> m_vars;
};

// tavod with its HTTP API on a socket of the test's, not waited for.
std::unique_ptr<Tavod> startTavod(const MediaDir& media, const std::vector<std::string>& args, uint16_t& port,
                                  const std::string& pluginDir = TAVO_PLUGIN_DIR) {
    LoopbackListener listener;
    if (!listener.ok()) {
        ADD_FAILURE() << "no loopback socket";
        return nullptr;
    }
    port = listener.port();
    std::vector<std::string> a = {"--media-dir", media.path(), "--plugin-dir", pluginDir, "--quiet"};
    a.insert(a.end(), args.begin(), args.end());
    return std::unique_ptr<Tavod>(new Tavod(media.path(), a, -1, listener.release()));
}

class TavodServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(notify.ok()) << strerror(errno);
        ASSERT_TRUE(media.writeSequence("loop.lcsf", 30, 40, 25));
        media.writeOutputs(customUdp(1, 30, rx.port(), "{data}"));
    }
    void stop(Tavod& t) {
        t.sendSignal(SIGTERM);
        EXPECT_TRUE(t.wait(10000));
        EXPECT_EQ(t.exitCode(), 0) << t.err();
    }

    NotifySocket notify;
    MediaDir media;
    TimedUdpReceiver rx;
};

TEST_F(TavodServiceTest, ReadyIsSentOnceTheOutputsAreUpAndTheApiAnswers) {
    uint16_t port = 0;
    std::unique_ptr<Tavod> t;
    {
        ScopedEnv env({{"NOTIFY_SOCKET", notify.path()}});
        t = startTavod(media, {"run"}, port);
        ASSERT_TRUE(t);
    }
    std::string ready;
    ASSERT_TRUE(notify.waitFor("READY=1", 15000, &ready)) << t->err();
    EXPECT_NE(ready.find("\nMAINPID=" + std::to_string(t->pid())), std::string::npos) << ready;
    EXPECT_NE(ready.find("STATUS=Idle, 1 output(s)"), std::string::npos) << ready;
    // Ready means ready: the API answers at once, with the outputs in place.
    HttpTestResponse r = httpGet(port, "/api/status");
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(parseJson(r.body)["outputs"].size(), 1u);
    stop(*t);
    // The last words.
    EXPECT_TRUE(notify.waitFor("STOPPING=1", 2000));
}

TEST_F(TavodServiceTest, TheWatchdogIsFedWhileIdleAndWhilePlaying) {
    uint16_t port = 0;
    std::unique_ptr<Tavod> t;
    {
        // Pings every 100 ms.
        ScopedEnv env({{"NOTIFY_SOCKET", notify.path()}, {"WATCHDOG_USEC", "200000"}});
        t = startTavod(media, {"run"}, port);
        ASSERT_TRUE(t);
    }
    ASSERT_TRUE(notify.waitFor("READY=1", 15000)) << t->err();
    // Idle, no output thread runs: the main loop pings (about ten in a second).
    EXPECT_GE(notify.count("WATCHDOG=1", 1000), 3);

    HttpTestResponse r = httpRequest(port, "POST", "/api/playback",
                                     "{\"action\": \"play\", \"sequence\": \"loop.lcsf\", \"loop\": true}");
    ASSERT_EQ(r.status, 200) << r.body;
    Datagram d;
    ASSERT_TRUE(rx.receive(d, 5000));
    std::vector<std::string> others;
    EXPECT_GE(notify.count("WATCHDOG=1", 1000, &others), 3);
    // The status the manager shows follows the show.
    const std::string playing = "STATUS=Playing loop.lcsf 0:00 / 0:01, 1 output(s)";
    EXPECT_TRUE(std::find(others.begin(), others.end(), playing) != others.end() ||
                notify.waitFor(playing, 3000));
    stop(*t);
}

TEST_F(TavodServiceTest, AStuckOutputThreadEndsThePings) {
    // The real CustomUDP and an output that hangs in its send while a file exists.
    TempDir plugins;
    ASSERT_EQ(symlink((std::string(TAVO_PLUGIN_DIR) + "/CustomUDP.so").c_str(),
                      (plugins.path() + "/CustomUDP.so").c_str()),
              0);
    ASSERT_EQ(symlink((std::string(TAVO_OUTPUT_FIXTURE_DIR) + "/StallPlugin.so").c_str(),
                      (plugins.path() + "/StallPlugin.so").c_str()),
              0);
    std::string stallFile = media.path() + "/stall";
    media.writeOutputs(customUdp(1, 30, rx.port(), "{data}") +
                       ", {\"type\": \"Stall\", \"startChannel\": 1, \"channelCount\": 3, \"stallFile\": \"" +
                       stallFile + "\"}");
    uint16_t port = 0;
    std::unique_ptr<Tavod> t;
    {
        ScopedEnv env({{"NOTIFY_SOCKET", notify.path()}, {"WATCHDOG_USEC", "200000"}});
        t = startTavod(media, {"play", "loop.lcsf", "--loop"}, port, plugins.path());
        ASSERT_TRUE(t);
    }
    ASSERT_TRUE(notify.waitFor("READY=1", 15000)) << t->err();
    Datagram d;
    ASSERT_TRUE(rx.receive(d, 5000)) << t->err();
    EXPECT_GE(notify.count("WATCHDOG=1", 1000), 3) << "frames going out feed the watchdog";

    writeFileBytes(stallFile, "stop");
    // What was sent before the output thread stuck is gone after a little while.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    notify.drain();
    EXPECT_EQ(notify.count("WATCHDOG=1", 1500), 0)
        << "a stuck output thread must not be covered for by the main loop";
    EXPECT_TRUE(t->running()) << "the manager, not tavod, ends a stuck tavod";

    unlink(stallFile.c_str());
    EXPECT_TRUE(notify.waitFor("WATCHDOG=1", 3000)) << "the pings come back with the frames";
    stop(*t);
}

TEST_F(TavodServiceTest, AWatchdogMeantForAnotherProcessIsLeftAlone) {
    uint16_t port = 0;
    std::unique_ptr<Tavod> t;
    {
        ScopedEnv env({{"NOTIFY_SOCKET", notify.path()}, {"WATCHDOG_USEC", "200000"}, {"WATCHDOG_PID", "1"}});
        t = startTavod(media, {"run"}, port);
        ASSERT_TRUE(t);
    }
    ASSERT_TRUE(notify.waitFor("READY=1", 15000)) << t->err();
    EXPECT_EQ(notify.count("WATCHDOG=1", 800), 0);
    stop(*t);
}

TEST_F(TavodServiceTest, AReloadIsAnnouncedAndEndsReady) {
    uint16_t port = 0;
    std::unique_ptr<Tavod> t;
    {
        ScopedEnv env({{"NOTIFY_SOCKET", notify.path()}});
        t = startTavod(media, {"run"}, port);
        ASSERT_TRUE(t);
    }
    ASSERT_TRUE(notify.waitFor("READY=1", 15000)) << t->err();
    t->sendSignal(SIGHUP);
    std::vector<std::string> seen;
    ASSERT_TRUE(notify.waitFor("READY=1", 5000, nullptr, &seen)) << t->err();
    bool reloading = false;
    for (const std::string& m : seen) {
        reloading = reloading || m.find("RELOADING=1\nMONOTONIC_USEC=") == 0;
    }
    EXPECT_TRUE(reloading) << "RELOADING=1 comes before the new READY=1";
    EXPECT_NE(t->err().find("Reloaded"), std::string::npos) << t->err();
    stop(*t);
}

// Standard error is the journal when JOURNAL_STREAM names its device and inode.
class TavodJournalTest : public ::testing::Test {
protected:
    std::string journalStream(int fd) {
        struct stat st;
        fstat(fd, &st);
        return std::to_string((unsigned long long)st.st_dev) + ":" +
               std::to_string((unsigned long long)st.st_ino);
    }
    MediaDir media;
};

TEST_F(TavodJournalTest, LinesCarryTheirPriorityAndNoTimeStamp) {
    std::string errPath = media.path() + "/journal";
    int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    std::unique_ptr<Tavod> t;
    {
        ScopedEnv env({{"JOURNAL_STREAM", journalStream(fd)}});
        t.reset(new Tavod(media.path(), tavodArgs(media, {"play", "missing.lcsf"}), fd));
    }
    close(fd);
    ASSERT_TRUE(t->wait());
    EXPECT_EQ(t->exitCode(), 1);
    std::string log = readFileBytes(errPath);
    EXPECT_EQ(log.compare(0, 20 + getTavoVersion().size(), "<6>[general] tavod " + getTavoVersion() + " "), 0)
        << log;
    EXPECT_NE(log.find("\n<3>[player] there is no sequence "), std::string::npos) << log;
    EXPECT_EQ(log.find(" info: "), std::string::npos) << "no level names: the prefix says it\n" << log;
    EXPECT_EQ(log.find("\n20"), std::string::npos) << "no time stamps: the journal has its own\n" << log;
    // The log file keeps its time stamps.
    EXPECT_NE(
        readFileBytes(media.path() + "/logs/tavod.log").find("[general] info: tavod " + getTavoVersion()),
        std::string::npos);
}

TEST_F(TavodJournalTest, AnotherStreamIsNotTheJournal) {
    int fd = open((media.path() + "/other").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    std::unique_ptr<Tavod> t;
    {
        // A stream inherited from a manager, but standard error was sent elsewhere since.
        ScopedEnv env({{"JOURNAL_STREAM", "1:1"}});
        t.reset(new Tavod(media.path(), tavodArgs(media, {"play", "missing.lcsf"}), fd));
    }
    close(fd);
    ASSERT_TRUE(t->wait());
    std::string log = readFileBytes(media.path() + "/other");
    EXPECT_NE(log.find(" [general] info: tavod " + getTavoVersion() + " starting"), std::string::npos) << log;
    EXPECT_EQ(log.find("<6>"), std::string::npos) << log;
}

TEST(LoggerJournalFormat, PrioritiesFollowTheLevels) {
    EXPECT_EQ(TavoLogger::syslogPriority(LOG_ERR), 3);
    EXPECT_EQ(TavoLogger::syslogPriority(LOG_WARN), 4);
    EXPECT_EQ(TavoLogger::syslogPriority(LOG_INFO), 6);
    EXPECT_EQ(TavoLogger::syslogPriority(LOG_DEBUG), 7);
    EXPECT_EQ(TavoLogger::syslogPriority(LOG_EXCESS), 7);
    TavoLogger& l = TavoLogger::INSTANCE;
    bool was = l.journalFormat();
    l.setJournalFormat(true);
    EXPECT_EQ(l.formatForStderr(LOG_WARN, LOGCH_GPIO, "pin gone", "2026-01-01 00:00:00.000"),
              "<4>[gpio] pin gone\n");
    l.setJournalFormat(false);
    EXPECT_EQ(l.formatForStderr(LOG_WARN, LOGCH_GPIO, "pin gone", "2026-01-01 00:00:00.000"),
              "2026-01-01 00:00:00.000 [gpio] warning: pin gone\n");
    l.setJournalFormat(was);
}

TEST(TavodLogLevels, OneChannelChangesAtRunTimeOverHttp) {
    MediaDir media;
    TimedUdpReceiver rx;
    media.writeOutputs(customUdp(1, 3, rx.port(), "{data}"));
    uint16_t port = 0;
    std::unique_ptr<Tavod> t = startWithHttp(media, {"run"}, port);
    ASSERT_TRUE(t);

    HttpTestResponse r = httpGet(port, "/api/settings/LogLevel.channelout");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(parseJson(r.body)["value"].asString(), "info")
        << "a channel's level reads even when no setting set it";

    // A changed output is opened again on reload: at info level its constructor is quiet.
    media.writeOutputs(customUdp(1, 6, rx.port(), "{data}"));
    ASSERT_EQ(httpRequest(port, "POST", "/api/outputs/reload").status, 200);
    EXPECT_EQ(t->err().find("CustomUDPOutput::Init(JSON)"), std::string::npos) << t->err();

    r = httpRequest(port, "PUT", "/api/settings/LogLevel.channelout", "debug");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(parseJson(httpGet(port, "/api/settings/LogLevel.channelout").body)["value"].asString(),
              "debug");
    EXPECT_EQ(parseJson(httpGet(port, "/api/settings/LogLevel.sequence").body)["value"].asString(), "info")
        << "the other channels keep theirs";
    media.writeOutputs(customUdp(1, 9, rx.port(), "{data}"));
    ASSERT_EQ(httpRequest(port, "POST", "/api/outputs/reload").status, 200);
    EXPECT_NE(t->err().find("[channelout] debug: CustomUDPOutput::Init(JSON)"), std::string::npos)
        << t->err();

    r = httpRequest(port, "PUT", "/api/settings/LogLevel.channelout", "loud");
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(parseJson(r.body)["error"].asString().find("'loud' is not a log level"), std::string::npos)
        << r.body;
    r = httpRequest(port, "PUT", "/api/settings/LogLevel.nosuch", "debug");
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(parseJson(r.body)["error"].asString().find("no log channel \"nosuch\""), std::string::npos)
        << r.body;
    r = httpRequest(port, "PUT", "/api/settings/LogLevel", "info,gpio=sometimes");
    EXPECT_EQ(r.status, 400) << r.body;
    EXPECT_EQ(parseJson(httpGet(port, "/api/settings/LogLevel.channelout").body)["value"].asString(), "debug")
        << "a refused value changes nothing";

    t->sendSignal(SIGTERM);
    EXPECT_TRUE(t->wait(10000));
    EXPECT_EQ(t->exitCode(), 0);
}

TEST(TavodServiceUnit, SystemdAnalyzeVerifiesTheUnit) {
    const char* analyze = "/usr/bin/systemd-analyze";
    if (access(analyze, X_OK) != 0) {
        GTEST_SKIP() << analyze << " is not installed (Debian package systemd)";
    }
    TempDir dir;
    // The unit as an install makes it, naming the built tavod; its manual beside it.
    std::string unit = readFileBytes(std::string(TAVO_SOURCE_DIR) + "/packaging/tavod.service.in");
    size_t at = unit.find("@TAVO_BINDIR@");
    ASSERT_NE(at, std::string::npos);
    unit.replace(at, 13, TAVO_BIN_DIR);
    writeFileBytes(dir.path() + "/tavod.service", unit);
    mkdir((dir.path() + "/man").c_str(), 0755);
    mkdir((dir.path() + "/man/man8").c_str(), 0755);
    writeFileBytes(dir.path() + "/man/man8/tavod.8",
                   readFileBytes(std::string(TAVO_SOURCE_DIR) + "/docs/man/tavod.8"));
    std::string cmd =
        "MANPATH=" + dir.path() + "/man " + analyze + " verify " + dir.path() + "/tavod.service 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
        out.append(buf, n);
    }
    int rc = pclose(p);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(out, "");
    // What the service promises.
    for (const char* line : {"Type=notify", "WatchdogSec=", "Restart=on-failure", "User=tavo",
                             "SupplementaryGroups=gpio spi i2c", "ExecReload=/bin/kill -HUP $MAINPID",
                             "AmbientCapabilities=CAP_NET_RAW CAP_SYS_NICE CAP_IPC_LOCK",
                             "CapabilityBoundingSet=CAP_NET_RAW CAP_SYS_NICE CAP_IPC_LOCK"}) {
        EXPECT_NE(unit.find(std::string("\n") + line), std::string::npos) << line;
    }
}

} // namespace
