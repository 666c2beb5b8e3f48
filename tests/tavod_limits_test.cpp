// tavod's HTTP API keeps its limits: connections per address, request head and body
// sizes, the time to send a request; the limits' settings are read at start-up.
#include "RawTcpClient.h"
#include "TavodTestSupport.h"
#include "host/core/JsonUtils.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace tavodtest;

namespace {

class TavodLimits : public ::testing::Test {
protected:
    // False (startWithHttp says why) when tavod did not come up: ASSERT_TRUE it.
    [[nodiscard]] bool start(const std::vector<std::string>& sets) {
        std::vector<std::string> args;
        for (const std::string& s : sets) {
            args.push_back("--set");
            args.push_back(s);
        }
        args.push_back("run");
        m_tavod = startWithHttp(m_media, args, m_port);
        return m_tavod != nullptr;
    }
    void TearDown() override {
        if (m_tavod) {
            m_tavod->sendSignal(SIGTERM);
            EXPECT_TRUE(m_tavod->wait());
            EXPECT_EQ(m_tavod->exitCode(), 0) << m_tavod->err();
        }
    }

    MediaDir m_media;
    uint16_t m_port = 0;
    std::unique_ptr<Tavod> m_tavod;
};

} // namespace

TEST_F(TavodLimits, SlowAndGreedyClientsAreCutWhileOthersAreServed) {
    ASSERT_TRUE(start({"httpMaxConnectionsPerAddress=3", "httpRequestTimeout=1"}));
    // Three slow clients from one address hold what it may have; a fourth is closed.
    std::vector<std::unique_ptr<RawTcpClient>> slow;
    for (int i = 0; i < 3; i++) {
        slow.emplace_back(new RawTcpClient(m_port, "127.0.0.9"));
        ASSERT_TRUE(slow.back()->ok());
        slow.back()->send("G");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    RawTcpClient fourth(m_port, "127.0.0.9");
    fourth.send("GET /api/status HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(fourth.waitClosed(5000));
    EXPECT_EQ(fourth.status(), 0);
    // Everyone else is served meanwhile.
    EXPECT_EQ(httpGet(m_port, "/api/status").status, 200);
    // The slow ones are cut once their second is up, though they keep sending.
    for (int round = 0; round < 30; round++) {
        for (auto& c : slow) {
            c->send("E");
            c->read(30);
        }
    }
    for (auto& c : slow) {
        EXPECT_TRUE(c->waitClosed(3000));
        EXPECT_EQ(c->status(), 0);
    }
    // With them gone, the address is served again.
    EXPECT_EQ(httpRequest(m_port, "GET", "/api/status").status, 200);
}

TEST_F(TavodLimits, OversizedHeadsAndBodiesAreRefusedWithAStatus) {
    ASSERT_TRUE(start({}));
    HttpTestResponse r =
        httpRequest(m_port, "GET", "/api/status", "", "X-Big: " + std::string(9000, 'a') + "\r\n");
    EXPECT_EQ(r.status, 431);
    r = httpRequest(m_port, "PUT", "/api/settings/LogLevel", std::string(70 * 1024, 'x'));
    EXPECT_EQ(r.status, 413);
    r = httpRequest(m_port, "POST", "/api/command", std::string(64 * 1024 + 1, ' '));
    EXPECT_EQ(r.status, 413);
    // The limits are not the resources' own: a body within them gets its usual answer.
    r = httpRequest(m_port, "POST", "/api/command", "{\"command\": \"No Such\"}");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(httpGet(m_port, "/api/status").status, 200);
}

TEST_F(TavodLimits, LimitSettingsOutOfRangeAreReportedAndTheDefaultsKept) {
    ASSERT_TRUE(start({"httpMaxConnections=0", "httpRequestTimeout=abc"}));
    std::string err = m_tavod->err();
    EXPECT_NE(err.find("Setting httpMaxConnections is 0; it must be from 1 to 4096, so 512 is used"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("Setting httpRequestTimeout"), std::string::npos) << err;
    EXPECT_EQ(httpGet(m_port, "/api/status").status, 200);
}

TEST_F(TavodLimits, NewSettingsOverHttpStopAtTheirLimit) {
    ASSERT_TRUE(start({}));
    // The settings already made (by the file and the command line) count too.
    Json::Value all;
    ASSERT_TRUE(LoadJsonFromString(httpGet(m_port, "/api/settings").body, all));
    const int existing = (int)all.size();
    int made = 0;
    for (int i = 0; existing + made < 1000 && i < 1100; i++) {
        HttpTestResponse r = httpRequest(m_port, "PUT", "/api/settings/made" + std::to_string(i), "1");
        ASSERT_EQ(r.status, 200) << r.body;
        made++;
    }
    HttpTestResponse r = httpRequest(m_port, "PUT", "/api/settings/oneTooMany", "1");
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(r.body.find("there are 1000 settings already"), std::string::npos) << r.body;
    // A setting that exists may still change.
    r = httpRequest(m_port, "PUT", "/api/settings/made0", "2");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(httpGet(m_port, "/api/settings/made0").body.find("\"2\"") != std::string::npos, true);
    EXPECT_EQ(httpGet(m_port, "/api/settings/oneTooMany").status, 404);
}
