// tavod's HTTP API over a real socket: status, settings, warnings, the pages
// and the answers to bad requests.
#include "JsonText.h"
#include "TavodTestSupport.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <memory>

using namespace tavodtest;

namespace {

class TavodHttpTest : public ::testing::Test {
protected:
    void SetUp() override {
        // 40 frames of 25 ms, looping: a new pass every second.
        ASSERT_TRUE(media.writeSequence("loop.lcsf", 900, 40, 25));
        // The preview listens on a port of the system's choosing and says which in the
        // status; the last output can never send (no such UDP port) and is left out.
        media.writeOutputs(
            customUdp(1, 600, rx.port(), "{data}") + ", " +
            customUdp(601, 30, 7000, "{data}", "no-such-host.invalid") + ", " +
            customUdp(901, 3, 70000, "{data}") + ", " +
            "{\"type\": \"WebPreview\", \"startChannel\": 601, \"channelCount\": 300, \"port\": 0, "
            "\"layout\": {\"type\": \"matrix\", \"width\": 20, \"height\": 5}}");
        media.writeConfig("settings.json", "{\"Color\": \"red\", \"blankBetweenSequences\": 0}");
        tavod = startWithHttp(media, {"play", "loop.lcsf", "--loop"}, port);
        ASSERT_TRUE(tavod);
    }
    void TearDown() override {
        if (tavod) {
            tavod->sendSignal(SIGTERM);
            EXPECT_TRUE(tavod->wait(10000));
            EXPECT_EQ(tavod->exitCode(), 0) << tavod->err();
            // The server's threads end with it, like every other.
            EXPECT_EQ(tavod->err().find("still running at exit"), std::string::npos) << tavod->err();
        }
    }

    MediaDir media;
    TimedUdpReceiver rx;
    uint16_t port = 0;
    std::unique_ptr<Tavod> tavod;
};

TEST_F(TavodHttpTest, StatusDescribesTheShowAndItsOutputs) {
    // Give the show a few frames.
    Datagram d;
    for (int i = 0; i < 5; i++) {
        ASSERT_TRUE(rx.receive(d, 2000));
    }
    HttpTestResponse r = httpRequest(port, "GET", "/api/status");
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.header("content-type"), "application/json");
    Json::Value s = parseJson(r.body);
    EXPECT_EQ(s["sequence"].asString(), "loop.lcsf");
    EXPECT_EQ(s["status"].asString(), "playing");
    EXPECT_EQ(s["stepTime"].asInt(), 25);
    EXPECT_EQ(s["frameCount"].asInt(), 40);
    EXPECT_GE(s["frame"].asInt(), 0);
    EXPECT_LT(s["frame"].asInt(), 40);
    EXPECT_EQ(s["durationMs"].asInt(), 1000);
    // Read one after the other while frames go by: equal within a few frames.
    EXPECT_NEAR(s["elapsedMs"].asInt() + s["remainingMs"].asInt(), 1000, 100);
    EXPECT_NEAR(s["elapsedMs"].asInt(), s["frame"].asInt() * 25, 100);
    EXPECT_GE(s["framesSent"].asInt64(), 5);
    EXPECT_TRUE(s["lateFrames"].isIntegral());
    EXPECT_TRUE(s["loop"].asBool());

    // The outputs that run, with 1-based channels as configured; the preview's port
    // and size for the preview page.
    const Json::Value& outs = s["outputs"];
    ASSERT_EQ(outs.size(), 2u) << r.body;
    EXPECT_EQ(outs[0]["type"].asString(), "CustomUDP");
    EXPECT_EQ(outs[0]["startChannel"].asInt(), 1);
    EXPECT_EQ(outs[0]["channelCount"].asInt(), 600);
    EXPECT_FALSE(outs[0].isMember("port"));
    EXPECT_EQ(outs[1]["type"].asString(), "WebPreview");
    EXPECT_EQ(outs[1]["startChannel"].asInt(), 601);
    EXPECT_EQ(outs[1]["channelCount"].asInt(), 300);
    int previewPort = outs[1]["port"].asInt();
    EXPECT_GT(previewPort, 0);
    EXPECT_EQ(outs[1]["previewPage"].asString(), "/preview?port=" + std::to_string(previewPort));
    EXPECT_EQ(outs[1]["width"].asInt(), 20);
    EXPECT_EQ(outs[1]["height"].asInt(), 5);
    // An output that could never send is listed as failed, with its own reason; so is
    // one whose address does not resolve.
    const Json::Value& failed = s["failedOutputs"];
    ASSERT_EQ(failed.size(), 2u) << r.body;
    EXPECT_EQ(failed[0]["startChannel"].asInt(), 601);
    EXPECT_EQ(failed[0]["reason"].asString(),
              "Could not resolve host name no-such-host.invalid - disabling output");
    EXPECT_EQ(failed[1]["type"].asString(), "CustomUDP");
    EXPECT_EQ(failed[1]["startChannel"].asInt(), 901);
    EXPECT_NE(failed[1]["reason"].asString().find("\"port\" 70000 is not a UDP port"), std::string::npos)
        << failed[1]["reason"].asString();

    // Frames advance between two looks.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Json::Value later = parseJson(httpRequest(port, "GET", "/api/status").body);
    EXPECT_GT(later["framesSent"].asInt64(), s["framesSent"].asInt64());
}

TEST_F(TavodHttpTest, SettingsAreReadAndChanged) {
    HttpTestResponse r = httpRequest(port, "GET", "/api/settings/Color");
    ASSERT_EQ(r.status, 200);
    Json::Value v = parseJson(r.body);
    EXPECT_EQ(v["name"].asString(), "Color");
    EXPECT_EQ(v["value"].asString(), "red");

    // Plain text, a JSON string and {"value": ...} all set the value.
    r = httpRequest(port, "PUT", "/api/settings/Color", "blue");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(parseJson(r.body)["value"].asString(), "blue");
    EXPECT_EQ(parseJson(httpRequest(port, "GET", "/api/settings/Color").body)["value"].asString(), "blue");
    ASSERT_EQ(httpRequest(port, "PUT", "/api/settings/Color", "\"green\"").status, 200);
    EXPECT_EQ(parseJson(httpRequest(port, "GET", "/api/settings/Color").body)["value"].asString(), "green");
    ASSERT_EQ(httpRequest(port, "PUT", "/api/settings/Count", "{\"value\": 12}").status, 200);
    EXPECT_EQ(parseJson(httpRequest(port, "GET", "/api/settings/Count").body)["value"].asString(), "12");

    Json::Value all = parseJson(httpRequest(port, "GET", "/api/settings").body);
    EXPECT_EQ(all["Color"].asString(), "green");
    EXPECT_EQ(all["blankBetweenSequences"].asString(), "0");
}

TEST_F(TavodHttpTest, APutCallsTheSettingsListeners) {
    // LogLevel has a listener that sets the log levels at once: debug lines of
    // the next pass's open appear only after the PUT.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(tavod->err().find("OpenSequenceFile("), std::string::npos);
    ASSERT_EQ(httpRequest(port, "PUT", "/api/settings/LogLevel", "sequence=debug").status, 200);
    int64_t end = nowUs() + 5000000;
    while (nowUs() < end && tavod->err().find("OpenSequenceFile(loop.lcsf") == std::string::npos) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_NE(tavod->err().find("[sequence] debug: OpenSequenceFile(loop.lcsf, 0, -1)"), std::string::npos)
        << tavod->err();
}

TEST_F(TavodHttpTest, BadRequestsGetJsonErrors) {
    struct Case {
        const char* method;
        const char* path;
        const char* body;
        int status;
    } cases[] = {
        {"GET", "/api/nothing", "", 404},
        {"GET", "/nothing.html", "", 404},
        {"GET", "/api/settings/NoSuchSetting", "", 404},
        {"GET", "/api/settings/a/b", "", 404},
        {"PUT", "/api/settings/Color", "", 400},
        {"PUT", "/api/settings/Color", "   \r\n", 400},
        {"PUT", "/api/settings/Color", "{\"other\": 1}", 400},
        {"PUT", "/api/settings/Color", "{\"value\": [1, 2]}", 400},
        {"PUT", "/api/settings/Color", "{\"value\": ", 400},
        {"PUT", "/api/settings/Color", "two\nlines", 400},
        {"PUT", "/api/settings/bad*name", "x", 400},
        {"PUT", "/api/settings", "x", 400},
        {"DELETE", "/api/status", "", 405},
        {"PUT", "/api/warnings", "x", 405},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path + " " + c.body);
        HttpTestResponse r = httpRequest(port, c.method, c.path, c.body);
        EXPECT_EQ(r.status, c.status) << r.body;
        Json::Value v = parseJson(r.body);
        EXPECT_TRUE(v["error"].isString() && !v["error"].asString().empty()) << r.body;
    }
    // The setting is unchanged by the refused PUTs.
    EXPECT_EQ(parseJson(httpRequest(port, "GET", "/api/settings/Color").body)["value"].asString(), "red");
}

TEST_F(TavodHttpTest, WarningsAndThePreviewPage) {
    HttpTestResponse w = httpRequest(port, "GET", "/api/warnings");
    ASSERT_EQ(w.status, 200);
    Json::Value list = parseJson(w.body);
    ASSERT_TRUE(list.isArray());
    bool found = false;
    for (const Json::Value& v : list) {
        found =
            found || v.asString() == "Could not resolve host name no-such-host.invalid - disabling output";
    }
    EXPECT_TRUE(found) << w.body;
    found = false;
    for (const Json::Value& v : list) {
        found = found || v.asString().find("Output 2 (type CustomUDP, channels 901 to 903) is left out") == 0;
    }
    EXPECT_TRUE(found) << w.body;
    EXPECT_EQ(parseJson(httpRequest(port, "GET", "/api/status").body)["warnings"].asUInt(), list.size());

    HttpTestResponse page = httpRequest(port, "GET", "/");
    ASSERT_EQ(page.status, 200);
    EXPECT_NE(page.header("content-type").find("text/html"), std::string::npos);
    EXPECT_EQ(page.body, readFileBytes(std::string(TAVO_SOURCE_DIR) + "/web/index.html"))
        << "the control page";
    // The preview has a page of its own, where the outputs' "previewPage" points.
    page = httpRequest(port, "GET", "/preview");
    ASSERT_EQ(page.status, 200);
    EXPECT_NE(page.header("content-type").find("text/html"), std::string::npos);
    EXPECT_EQ(page.body, readFileBytes(std::string(TAVO_SOURCE_DIR) + "/web/preview.html"));
    EXPECT_EQ(httpRequest(port, "GET", "/preview.html").body, page.body);
}

TEST(TavodHttpOff, PortZeroTurnsTheApiOffAndABusyPortOnlyWarns) {
    MediaDir media;
    ASSERT_TRUE(media.writeSequence("s.lcsf", 30, 10, 25));
    Tavod off(media.path(), tavodArgs(media, {"play", "s.lcsf"}));
    ASSERT_TRUE(off.wait());
    EXPECT_EQ(off.exitCode(), 0);
    EXPECT_EQ(off.err().find("HTTP API"), std::string::npos) << off.err();

    int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    socklen_t len = sizeof(a);
    ASSERT_EQ(bind(blocker, (struct sockaddr*)&a, sizeof(a)), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    ASSERT_EQ(getsockname(blocker, (struct sockaddr*)&a, &len), 0);
    Tavod busy(media.path(),
               tavodArgs(media, {"--http-port", std::to_string(ntohs(a.sin_port)), "play", "s.lcsf"}));
    ASSERT_TRUE(busy.wait());
    close(blocker);
    EXPECT_EQ(busy.exitCode(), 0);
    EXPECT_NE(busy.err().find("HTTP API not started: cannot listen on TCP port"), std::string::npos)
        << busy.err();
}

} // namespace
