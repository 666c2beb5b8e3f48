// Reloading channeloutputs.json under a playing show (SIGHUP and POST
// /api/outputs/reload): unchanged outputs go on without losing a frame, a changed
// one switches over, a broken file changes nothing.
#include "JsonText.h"
#include "TavodTestSupport.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdlib>
#include <memory>

using namespace tavodtest;

namespace {

// The frame (mod 256) whose channel 0 a datagram of "{data}" carries: test sequences
// hold 13 * frame there, and 197 is 13's inverse mod 256.
int frameOf(const Datagram& d) {
    return d.bytes.empty() ? -1 : (d.bytes[0] * 197) & 0xFF;
}

class TavodReloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        // 200 frames of 25 ms, 5 s a pass, looping; channels 1-30 stay the same, so
        // every output reads channels the show already reads.
        ASSERT_TRUE(media.writeSequence("loop.lcsf", 60, 200, 25));
        writeOutputs(changedRx.port(), "{data}");
        tavod = startWithHttp(media, {"play", "loop.lcsf", "--loop"}, port);
        ASSERT_TRUE(tavod);
    }
    void TearDown() override {
        if (tavod) {
            tavod->sendSignal(SIGTERM);
            EXPECT_TRUE(tavod->wait(10000));
            EXPECT_EQ(tavod->exitCode(), 0) << tavod->err();
        }
    }
    // Output 0 never changes; output 1 sends to `port` with `tokens`.
    void writeOutputs(int changedPort, const std::string& tokens) {
        media.writeOutputs(customUdp(1, 30, keptRx.port(), "{data}") + ", " +
                           customUdp(31, 30, changedPort, tokens));
    }
    // Reads the kept output's datagrams for `ms` and checks that every frame came,
    // one after the other; returns how many.
    int expectUnbroken(Datagram& last, int ms) {
        int n = 0;
        int64_t end = nowUs() + (int64_t)ms * 1000;
        Datagram d;
        while (nowUs() < end && keptRx.receive(d, 2000)) {
            if (last.bytes.size() == 30 && d.bytes.size() == 30) {
                int want = (frameOf(last) + 1) & 0xFF;
                // A pass ends at frame 199 and the next starts again at 0.
                bool wrapped = frameOf(last) == 199 && frameOf(d) == 0;
                EXPECT_TRUE(frameOf(d) == want || wrapped)
                    << "the unchanged output lost frames: " << frameOf(last) << " then " << frameOf(d);
            }
            last = d;
            n++;
        }
        return n;
    }

    MediaDir media;
    TimedUdpReceiver keptRx;
    TimedUdpReceiver changedRx;
    TimedUdpReceiver newRx;
    uint16_t port = 0;
    std::unique_ptr<Tavod> tavod;
};

TEST_F(TavodReloadTest, SighupSwitchesAChangedOutputAndKeepsTheOtherGoing) {
    Datagram last, d;
    ASSERT_TRUE(keptRx.receive(last, 5000));
    ASSERT_TRUE(changedRx.receive(d, 5000));
    EXPECT_GT(expectUnbroken(last, 300), 5);

    writeOutputs(newRx.port(), "{data}");
    tavod->sendSignal(SIGHUP);
    // The changed output sends to its new place...
    ASSERT_TRUE(newRx.receive(d, 5000)) << tavod->err();
    EXPECT_EQ(d.bytes.size(), 30u);
    // ...while the kept one went on, frame after frame.
    EXPECT_GT(expectUnbroken(last, 500), 5);
    // Nothing more for the old place once what was in flight is read.
    while (changedRx.receive(d, 300)) {
    }
    EXPECT_FALSE(changedRx.receive(d, 500)) << "the old output is closed";
    EXPECT_NE(tavod->err().find("1 output(s) kept, 1 closed, 1 started, 0 left out"), std::string::npos)
        << tavod->err();

    Json::Value s = parseJson(httpGet(port, "/api/status").body);
    EXPECT_EQ(s["outputs"].size(), 2u);
    EXPECT_EQ(s["udp"]["outputs"].asInt(), 2) << "the closed output's data left the UDP engine";
    EXPECT_EQ(s["status"].asString(), "playing");
}

TEST_F(TavodReloadTest, ABrokenFileChangesNothing) {
    Datagram last, d;
    ASSERT_TRUE(keptRx.receive(last, 5000));
    media.writeConfig("channeloutputs.json", "{\"channelOutputs\": [ {\"type\": ");
    HttpTestResponse r = httpRequest(port, "POST", "/api/outputs/reload");
    EXPECT_EQ(r.status, 409) << r.body;
    Json::Value j = parseJson(r.body);
    EXPECT_FALSE(j["reloaded"].asBool());
    ASSERT_EQ(j["problems"].size(), 1u) << r.body;
    EXPECT_NE(j["problems"][0].asString().find("channeloutputs.json: not valid JSON"), std::string::npos);
    // A file with a mistake in one output is refused whole too.
    media.writeOutputs(customUdp(1, 30, keptRx.port(), "{data}") + ", " +
                       customUdp(0, 30, newRx.port(), "{data}"));
    tavod->sendSignal(SIGHUP);
    // Both outputs go on as they were.
    EXPECT_GT(expectUnbroken(last, 1000), 10);
    ASSERT_TRUE(changedRx.receive(d, 2000));
    EXPECT_FALSE(newRx.receive(d, 300));
    EXPECT_NE(tavod->err().find("not reloaded, the running outputs stay as they were"), std::string::npos)
        << tavod->err();
    // The problems are warnings until a good file is loaded.
    std::string warnings = httpGet(port, "/api/warnings").body;
    EXPECT_NE(warnings.find("startChannel"), std::string::npos) << warnings;

    writeOutputs(changedRx.port(), "{data}");
    r = httpRequest(port, "POST", "/api/outputs/reload");
    ASSERT_EQ(r.status, 200) << r.body;
    j = parseJson(r.body);
    EXPECT_TRUE(j["reloaded"].asBool());
    EXPECT_EQ(j["kept"].asInt(), 2);
    EXPECT_EQ(j["closed"].asInt(), 0);
    EXPECT_EQ(j["started"].asInt(), 0);
    warnings = httpGet(port, "/api/warnings").body;
    EXPECT_EQ(warnings.find("startChannel"), std::string::npos) << warnings;
}

TEST_F(TavodReloadTest, OutputsComeAndGo) {
    Datagram last, d;
    ASSERT_TRUE(keptRx.receive(last, 5000));
    // A third output joins; the changed one goes.
    media.writeOutputs(customUdp(1, 30, keptRx.port(), "{data}") + ", " +
                       customUdp(1, 3, newRx.port(), "{data}"));
    HttpTestResponse r = httpRequest(port, "POST", "/api/outputs/reload");
    ASSERT_EQ(r.status, 200) << r.body;
    Json::Value j = parseJson(r.body);
    EXPECT_EQ(j["kept"].asInt(), 1);
    EXPECT_EQ(j["closed"].asInt(), 1);
    EXPECT_EQ(j["started"].asInt(), 1);
    ASSERT_TRUE(newRx.receive(d, 3000));
    EXPECT_EQ(d.bytes.size(), 3u);
    EXPECT_GT(expectUnbroken(last, 500), 5);

    // An output that cannot start is listed with its reason, and the rest go on.
    media.writeOutputs(customUdp(1, 30, keptRx.port(), "{data}") + ", " + customUdp(1, 3, 70000, "{data}"));
    r = httpRequest(port, "POST", "/api/outputs/reload");
    ASSERT_EQ(r.status, 200) << r.body;
    j = parseJson(r.body);
    ASSERT_EQ(j["failed"].size(), 1u) << r.body;
    EXPECT_NE(j["failed"][0].asString().find("is not a UDP port"), std::string::npos);
    Json::Value s = parseJson(httpGet(port, "/api/status").body);
    ASSERT_EQ(s["failedOutputs"].size(), 1u);
    EXPECT_EQ(s["failedOutputs"][0]["index"].asInt(), 1);
    EXPECT_GT(expectUnbroken(last, 500), 5);
}

} // namespace

namespace {

// A name server that never answers: a UDP socket on 127.0.0.99:53 that only counts
// the queries that reach it.
class SilentNameServer {
public:
    SilentNameServer() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_port = htons(53);
        a.sin_addr.s_addr = inet_addr("127.0.0.99");
        m_ok = m_fd >= 0 && bind(m_fd, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)) == 0;
    }
    ~SilentNameServer() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    bool ok() const { return m_ok; }
    // Waits until a query has come; never answers it.
    bool waitForQuery(int timeoutMs) {
        struct pollfd p = {m_fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) {
            return false;
        }
        char buf[512];
        while (recv(m_fd, buf, sizeof(buf), 0) > 0) {
        }
        return true;
    }

private:
    int m_fd = -1;
    bool m_ok = false;
};

// Reads `rx` until the show has started its pass again `wraps` times (frame 39 then
// frame 0); false when no datagram comes for 5 s.
bool seeWraps(TimedUdpReceiver& rx, int wraps) {
    Datagram d;
    int last = -1;
    while (wraps > 0) {
        if (!rx.receive(d, 5000)) {
            return false;
        }
        int f = frameOf(d);
        wraps -= last == 39 && f == 0 ? 1 : 0;
        last = f;
    }
    return true;
}

// The "failedOutputs" of /api/status once there are `n` of them (or after 10 s).
Json::Value waitForFailedOutputs(uint16_t port, Json::ArrayIndex n) {
    Json::Value failed;
    for (int i = 0; i < 100 && failed.size() != n; i++) {
        failed = parseJson(httpGet(port, "/api/status").body)["failedOutputs"];
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return failed;
}

// A wrapper that runs tavod in a mount namespace of its own whose /etc/resolv.conf
// and /etc/hosts are these files of the media folder, for the name lookups a test
// wants. Empty where root and mount namespaces are not to be had.
std::string tavodWithNames(MediaDir& media, const std::string& resolvConf, const std::string& hosts) {
    if (geteuid() != 0 || system("unshare --mount true > /dev/null 2>&1") != 0) {
        return "";
    }
    media.writeConfig("resolv.conf", resolvConf);
    media.writeConfig("hosts", hosts);
    std::string wrapper = media.file("tavod-with-names");
    writeFileBytes(wrapper, "#!/bin/sh\nexec unshare --mount --propagation private sh -c "
                            "'mount --bind \"$0\" /etc/resolv.conf && mount --bind \"$1\" /etc/hosts && "
                            "shift && exec \"$@\"' " +
                                media.file("config/resolv.conf") + " " + media.file("config/hosts") + " " +
                                TAVO_BIN_DIR + "/tavod \"$@\"\n");
    chmod(wrapper.c_str(), 0755);
    return wrapper;
}

TEST(TavodNameLookup, ANameServerThatDoesNotAnswerHoldsNeitherTheShowNorAReload) {
    SilentNameServer dns;
    if (!dns.ok()) {
        GTEST_SKIP() << "cannot bind 127.0.0.99:53 for a silent name server: " << strerror(errno);
    }
    MediaDir media;
    // tavod asks the silent server; the answer would be waited for 30 s.
    std::string wrapper = tavodWithNames(media, "nameserver 127.0.0.99\noptions timeout:30 attempts:1\n",
                                         "127.0.0.1 localhost\n");
    if (wrapper.empty()) {
        GTEST_SKIP() << "needs root and mount namespaces (unshare --mount) to give tavod a name server";
    }
    // 40 frames of 25 ms, 1 s a pass, looping: the main loop starts each pass.
    ASSERT_TRUE(media.writeSequence("loop.lcsf", 60, 40, 25));
    TimedUdpReceiver rx;
    TimedUdpReceiver unused;
    media.writeOutputs(customUdp(1, 30, unused.port(), "{data}", "board.tavo-test") + ", " +
                       customUdp(1, 30, rx.port(), "{data}"));
    uint16_t port = 0;
    std::unique_ptr<Tavod> tavod =
        startWithHttp(media, {"play", "loop.lcsf", "--loop"}, port, 15000, wrapper);
    ASSERT_TRUE(tavod);

    ASSERT_TRUE(dns.waitForQuery(10000)) << "tavod did not ask the name server\n" << tavod->err();
    EXPECT_TRUE(seeWraps(rx, 2)) << "the show stopped while a name was looked up\n" << tavod->err();
    // The output whose name does not resolve is listed as failed, with why.
    Json::Value failed = waitForFailedOutputs(port, 1);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0]["index"].asInt(), 0);
    EXPECT_EQ(failed[0]["reason"].asString(),
              "Could not resolve host name board.tavo-test - disabling output");
    Json::Value s = parseJson(httpGet(port, "/api/status").body);
    ASSERT_EQ(s["outputs"].size(), 1u);
    EXPECT_EQ(s["outputs"][0]["index"].asInt(), 1);

    // A reload that adds another such name does not hold the looping show either.
    media.writeOutputs(customUdp(1, 30, unused.port(), "{data}", "board.tavo-test") + ", " +
                       customUdp(1, 30, rx.port(), "{data}") + ", " +
                       customUdp(31, 30, unused.port(), "{data}", "panel.tavo-test"));
    tavod->sendSignal(SIGHUP);
    ASSERT_TRUE(dns.waitForQuery(10000)) << tavod->err();
    EXPECT_TRUE(seeWraps(rx, 2)) << "the show stopped after the reload\n" << tavod->err();

    tavod->sendSignal(SIGTERM);
    EXPECT_TRUE(tavod->wait(10000));
    EXPECT_EQ(tavod->exitCode(), 0) << tavod->err();
}

TEST(TavodNameLookup, ANameThatDoesNotResolveAtTheStartIsTriedAgainAndThenSentTo) {
    MediaDir media;
    // No name server at all (nothing listens there), as on a board whose network is not up.
    std::string wrapper = tavodWithNames(media, "nameserver 127.0.0.98\n", "127.0.0.1 localhost\n");
    if (wrapper.empty()) {
        GTEST_SKIP() << "needs root and mount namespaces (unshare --mount) to give tavod a hosts file";
    }
    ASSERT_TRUE(media.writeSequence("loop.lcsf", 60, 40, 25));
    TimedUdpReceiver rx;
    media.writeOutputs(customUdp(1, 30, rx.port(), "{data}", "late-board.tavo-test"));
    uint16_t port = 0;
    std::unique_ptr<Tavod> tavod =
        startWithHttp(media, {"play", "loop.lcsf", "--loop"}, port, 15000, wrapper);
    ASSERT_TRUE(tavod);
    ASSERT_EQ(waitForFailedOutputs(port, 1).size(), 1u);
    Datagram d;
    EXPECT_FALSE(rx.receive(d, 300));

    // The name comes to be known (written in place: the mount is of this file).
    media.writeConfig("hosts", "127.0.0.1 localhost\n127.0.0.1 late-board.tavo-test\n");
    ASSERT_TRUE(rx.receive(d, 30000)) << "the name was not tried again\n" << tavod->err();
    EXPECT_EQ(d.bytes.size(), 30u);
    Json::Value s = parseJson(httpGet(port, "/api/status").body);
    EXPECT_EQ(s["failedOutputs"].size(), 0u) << s;
    EXPECT_EQ(s["outputs"].size(), 1u) << s;
    std::string warnings = httpGet(port, "/api/warnings").body;
    EXPECT_EQ(warnings.find("late-board.tavo-test"), std::string::npos) << warnings;

    tavod->sendSignal(SIGTERM);
    EXPECT_TRUE(tavod->wait(10000));
    EXPECT_EQ(tavod->exitCode(), 0) << tavod->err();
}

} // namespace
