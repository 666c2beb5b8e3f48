// Reloading channeloutputs.json under a playing show (SIGHUP and POST
// /api/outputs/reload): unchanged outputs go on without losing a frame, a changed
// one switches over, a broken file changes nothing.
#include "JsonText.h"
#include "TavodTestSupport.h"

#include <gtest/gtest.h>
#include <json/json.h>

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
