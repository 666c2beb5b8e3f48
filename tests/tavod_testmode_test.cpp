// Test mode in the running tavod: a colour or a chase over channel ranges reaches a
// CustomUDP receiver, the outputs' own patterns run, a playing show waits and goes
// on after; over POST/GET /api/testmode and the command "Test Mode".
#include "JsonText.h"
#include "TavodTestSupport.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <memory>
#include <set>

using namespace tavodtest;

namespace {

int frameOf(const std::vector<uint8_t>& bytes) {
    return bytes.empty() ? -1 : (bytes[0] * 197) & 0xFF;
}

// The next datagram equal to `want`, within `timeoutMs`.
bool receiveEqual(TimedUdpReceiver& rx, const std::vector<uint8_t>& want, int timeoutMs) {
    int64_t end = nowUs() + (int64_t)timeoutMs * 1000;
    Datagram d;
    while (nowUs() < end) {
        if (rx.receive(d, 200) && d.bytes == want) {
            return true;
        }
    }
    return false;
}

class TavodTestModeTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A pass of 10 s: the show is mid-pass whenever the test looks.
        ASSERT_TRUE(media.writeSequence("show.lcsf", 12, 400, 25));
        // The receiver, and an output that draws its own pattern over channels 7-12.
        ASSERT_EQ(symlink((std::string(TAVO_PLUGIN_DIR) + "/CustomUDP.so").c_str(),
                          (plugins.path() + "/CustomUDP.so").c_str()),
                  0);
        ASSERT_EQ(symlink((std::string(TAVO_OUTPUT_FIXTURE_DIR) + "/PatternPlugin.so").c_str(),
                          (plugins.path() + "/PatternPlugin.so").c_str()),
                  0);
        media.writeOutputs(customUdp(1, 12, rx.port(), "{data}") +
                           ", {\"type\": \"Pattern\", \"startChannel\": 7, \"channelCount\": 6}");
    }
    // False (with a failure saying why) when tavod's API did not come up: ASSERT_TRUE it.
    [[nodiscard]] bool startWith(const std::vector<std::string>& command) {
        LoopbackListener listener;
        if (!listener.ok()) {
            ADD_FAILURE() << "no loopback socket";
            return false;
        }
        port = listener.port();
        std::vector<std::string> a = {"--media-dir", media.path(), "--plugin-dir", plugins.path(), "--quiet"};
        a.insert(a.end(), command.begin(), command.end());
        tavod.reset(new Tavod(media.path(), a, -1, listener.release()));
        int64_t end = nowUs() + 15000000;
        while (tavod->running() && httpGet(port, "/api/status").status != 200 && nowUs() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        bool up = httpGet(port, "/api/status").status == 200;
        EXPECT_TRUE(up) << "tavod's HTTP API did not come up; its messages:\n" << tavod->err();
        return up;
    }
    void TearDown() override {
        if (tavod) {
            tavod->sendSignal(SIGTERM);
            EXPECT_TRUE(tavod->wait(10000));
            EXPECT_EQ(tavod->exitCode(), 0) << tavod->err();
        }
    }

    MediaDir media;
    TempDir plugins;
    TimedUdpReceiver rx;
    uint16_t port = 0;
    std::unique_ptr<Tavod> tavod;
};

TEST_F(TavodTestModeTest, AColourOverARangeReachesTheReceiverAndTheShowComesBack) {
    ASSERT_TRUE(startWith({"play", "show.lcsf", "--loop"}));
    Datagram d;
    ASSERT_TRUE(rx.receive(d, 5000));

    HttpTestResponse r =
        httpRequest(port, "POST", "/api/testmode",
                    "{\"mode\": \"color\", \"channelSet\": \"2-4,9-10\", \"color\": [10, 20, 30]}");
    ASSERT_EQ(r.status, 200) << r.body;
    Json::Value t = parseJson(r.body);
    EXPECT_TRUE(t["enabled"].asBool());
    EXPECT_EQ(t["mode"].asString(), "color");
    EXPECT_EQ(t["pausedSequence"].asString(), "show.lcsf");
    // Exactly the colour on the ranges, every other channel of the outputs dark.
    ASSERT_TRUE(receiveEqual(rx, {0, 10, 20, 30, 0, 0, 0, 0, 10, 20, 0, 0}, 3000)) << tavod->err();

    Json::Value s = parseJson(httpGet(port, "/api/status").body);
    EXPECT_EQ(s["status"].asString(), "paused");
    EXPECT_TRUE(s["testing"].asBool());
    int pausedAt = s["frame"].asInt();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(parseJson(httpGet(port, "/api/status").body)["frame"].asInt(), pausedAt) << "the show waits";
    t = parseJson(httpGet(port, "/api/testmode").body);
    EXPECT_EQ(t["channelSet"].asString(), "2-4,9-10");

    r = httpRequest(port, "POST", "/api/testmode", "{\"enabled\": false}");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_FALSE(parseJson(r.body)["enabled"].asBool());
    // The show goes on from where it waited: its own frames again, moving on.
    int64_t end = nowUs() + 3000000;
    std::set<int> frames;
    while (frames.size() < 3 && nowUs() < end && rx.receive(d, 500)) {
        if (d.bytes.size() == 12 && d.bytes[1] == (uint8_t)(d.bytes[0] + 7)) {
            frames.insert(frameOf(d.bytes));
        }
    }
    EXPECT_GE(frames.size(), 3u) << "the show's frames did not come back";
    s = parseJson(httpGet(port, "/api/status").body);
    EXPECT_EQ(s["status"].asString(), "playing");
    EXPECT_FALSE(s["testing"].asBool());
    EXPECT_GT(s["frame"].asInt(), pausedAt) << "it went on from where it stopped, not from the start";
}

TEST_F(TavodTestModeTest, AChaseMovesAlongTheRange) {
    ASSERT_TRUE(startWith({"run"}));
    HttpTestResponse r = httpRequest(port, "POST", "/api/testmode",
                                     "{\"mode\": \"chase\", \"channelSet\": \"1-9\", \"stepMs\": 100, "
                                     "\"colors\": [[255, 0, 0], [0, 255, 0], [0, 0, 255]]}");
    ASSERT_EQ(r.status, 200) << r.body;
    // Idle, the test brings its own frames; the three steps of the chase all show.
    EXPECT_TRUE(receiveEqual(rx, {255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0}, 3000)) << tavod->err();
    EXPECT_TRUE(receiveEqual(rx, {0, 0, 255, 255, 0, 0, 0, 255, 0, 0, 0, 0}, 3000));
    EXPECT_TRUE(receiveEqual(rx, {0, 255, 0, 0, 0, 255, 255, 0, 0, 0, 0, 0}, 3000));
    // Stopped while idle, the outputs go dark.
    ASSERT_EQ(httpRequest(port, "POST", "/api/testmode", "{\"enabled\": false}").status, 200);
    EXPECT_TRUE(receiveEqual(rx, std::vector<uint8_t>(12, 0), 3000));
}

TEST_F(TavodTestModeTest, TheOutputsOwnPatternsRunForOneOrAll) {
    ASSERT_TRUE(startWith({"run"}));
    Json::Value s = parseJson(httpGet(port, "/api/status").body);
    ASSERT_EQ(s["outputs"].size(), 2u);
    EXPECT_FALSE(s["outputs"][0]["supportsTesting"].asBool());
    EXPECT_TRUE(s["outputs"][1]["supportsTesting"].asBool());

    HttpTestResponse r = httpRequest(port, "POST", "/api/testmode", "{\"mode\": \"outputs\", \"output\": 0}");
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(parseJson(r.body)["error"].asString().find("output 0 is not running or draws no test pattern"),
              std::string::npos)
        << r.body;

    r = httpRequest(port, "POST", "/api/testmode", "{\"mode\": \"outputs\", \"output\": 1, \"testType\": 7}");
    ASSERT_EQ(r.status, 200) << r.body;
    // The pattern output draws [type, cycle, percent, 0xA5] over its channels 7-12,
    // which the CustomUDP output carries out.
    int64_t end = nowUs() + 3000000;
    Datagram d;
    bool seen = false;
    while (!seen && nowUs() < end && rx.receive(d, 500)) {
        seen = d.bytes.size() == 12 &&
               std::vector<uint8_t>(d.bytes.begin(), d.bytes.begin() + 6) == std::vector<uint8_t>(6, 0) &&
               d.bytes[6] == 7 && d.bytes[9] == 0xA5 && d.bytes[10] == 7 && d.bytes[8] < 100;
    }
    EXPECT_TRUE(seen) << tavod->err();

    // Every output that has a pattern, when none is named.
    r = httpRequest(port, "POST", "/api/testmode", "{\"mode\": \"outputs\"}");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(parseJson(httpGet(port, "/api/testmode").body)["mode"].asString(), "outputs");
}

TEST_F(TavodTestModeTest, TheCommandRunsTheSameTests) {
    ASSERT_TRUE(startWith({"run"}));
    HttpTestResponse r =
        httpRequest(port, "POST", "/api/command",
                    "{\"command\": \"Test Mode\", \"args\": [\"color\", \"1-3\", \"#FF8001\"]}");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_TRUE(receiveEqual(rx, {255, 128, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 3000)) << tavod->err();
    r = httpRequest(port, "POST", "/api/command",
                    "{\"command\": \"Test Mode\", \"args\": [\"color\", \"4-6\", \"1,2,3\"]}");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_TRUE(receiveEqual(rx, {0, 0, 0, 1, 2, 3, 0, 0, 0, 0, 0, 0}, 3000));
    r = httpRequest(port, "POST", "/api/command",
                    "{\"command\": \"Test Mode\", \"args\": [\"color\", \"4-6\", \"pink\"]}");
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(r.body.find("'pink' is not a colour"), std::string::npos) << r.body;
    r = httpRequest(port, "POST", "/api/command", "{\"command\": \"Test Mode\", \"args\": [\"off\"]}");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_FALSE(parseJson(httpGet(port, "/api/testmode").body)["enabled"].asBool());
}

TEST_F(TavodTestModeTest, BadTestsAreRefusedAndTheRunningOneStays) {
    ASSERT_TRUE(startWith({"run"}));
    ASSERT_EQ(
        httpRequest(port, "POST", "/api/testmode", "{\"channelSet\": \"1-3\", \"color\": [9, 9, 9]}").status,
        200);
    struct Bad {
        const char* body;
        const char* error;
    };
    for (const Bad& b :
         {Bad{"{\"channelSet\": \"0-3\"}", "bad channel range \"0-3\""},
          Bad{"{\"channelSet\": 12}", "\"channelSet\" must be a text"},
          Bad{"{\"channelSet\": \"1-3\", \"color\": \"red\"}", "a colour is a list"},
          Bad{"{\"channelSet\": \"1-3\", \"color\": [300, 0, 0]}", "a colour is a list"},
          Bad{"{\"mode\": \"sparkle\", \"channelSet\": \"1-3\"}", "\"mode\" must be"},
          Bad{"{\"mode\": \"chase\", \"channelSet\": \"1-3\", \"stepMs\": \"fast\"}", "\"stepMs\""},
          Bad{"{\"enabled\": \"yes\"}", "\"enabled\" must be true or false"},
          Bad{"[1, 2]", "the body must be a JSON object"}}) {
        HttpTestResponse r = httpRequest(port, "POST", "/api/testmode", b.body);
        EXPECT_EQ(r.status, 400) << b.body;
        EXPECT_NE(parseJson(r.body)["error"].asString().find(b.error), std::string::npos)
            << b.body << " -> " << r.body;
    }
    Json::Value t = parseJson(httpGet(port, "/api/testmode").body);
    EXPECT_TRUE(t["enabled"].asBool());
    EXPECT_EQ(t["channelSet"].asString(), "1-3");
    EXPECT_TRUE(receiveEqual(rx, {9, 9, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 3000));
}

} // namespace
