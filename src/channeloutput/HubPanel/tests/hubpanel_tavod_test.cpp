// HubPanel in the real tavod: on a board it cannot run on it is left out with its
// reason while the show goes on for the other outputs; on the in-memory driver it
// plays, says once that no panel is driven, and lists its overlay model.
#include "HubPanelTestSupport.h"
#include "TavodTestSupport.h"
// Says which driver the output was built on.
#include "led-matrix.h"

#include <gtest/gtest.h>

#include <memory>

using namespace tavodtest;
using hubpaneltest::FakeBoard;
using hubpaneltest::parse;

namespace {

std::string hubPanel(int startChannel, const std::string& more = "") {
    return "{\"type\": \"HubPanel\", \"enabled\": 1, \"startChannel\": " + std::to_string(startChannel) +
           ", \"channelCount\": 1536, \"panelWidth\": 32, \"panelHeight\": 16, \"panels\": "
           "[{\"outputNumber\": 0, "
           "\"panelNumber\": 0, \"orientation\": \"N\", \"xOffset\": 0, \"yOffset\": 0}]" +
           (more.empty() ? "" : ", " + more) + "}";
}

Json::Value status(uint16_t port) {
    return parse(httpGet(port, "/api/status").body);
}

} // namespace

TEST(HubPanelTavod, OnAPi5TheOutputIsLeftOutAndTheShowGoesOn) {
    FakeBoard board("Raspberry Pi 5 Model B Rev 1.0");
    MediaDir media;
    ASSERT_TRUE(media.writeSequence("show.lcsf", 2000, 400, 25));
    TimedUdpReceiver rx;
    media.writeOutputs(hubPanel(1) + ", " + customUdp(1601, 30, rx.port(), "{data}"));
    uint16_t port = 0;
    std::unique_ptr<Tavod> tavod = startWithHttp(
        media, {"--set", "HubPanelBoardRoot=" + board.root(), "play", "show.lcsf", "--loop"}, port);
    ASSERT_TRUE(tavod);
    Datagram d;
    for (int i = 0; i < 20; i++) {
        ASSERT_TRUE(rx.receive(d, 3000)) << "the other output plays on; tavod said:\n" << tavod->err();
    }
    Json::Value s = status(port);
    ASSERT_EQ(1u, s["failedOutputs"].size()) << s.toStyledString();
    EXPECT_EQ("HubPanel", s["failedOutputs"][0]["type"].asString());
    EXPECT_NE(std::string::npos,
              s["failedOutputs"][0]["reason"].asString().find(
                  "cannot drive HUB75 panels on this board (Raspberry Pi 5 Model B Rev 1.0)"))
        << s.toStyledString();
    std::string warnings = httpGet(port, "/api/warnings").body;
    EXPECT_NE(std::string::npos, warnings.find("type HubPanel")) << warnings;
    tavod->sendSignal(SIGTERM);
    ASSERT_TRUE(tavod->wait(10000));
    EXPECT_EQ(0, tavod->exitCode()) << tavod->err();
}

TEST(HubPanelTavod, OnTheInMemoryDriverItPlaysAndListsItsModel) {
#ifndef RGB_MATRIX_STANDIN
    GTEST_SKIP() << "built against the real panel driver, which would drive this machine's GPIO";
#endif
    FakeBoard board;
    MediaDir media;
    ASSERT_TRUE(media.writeSequence("show.lcsf", 4000, 400, 25));
    TimedUdpReceiver rx;
    media.writeOutputs(hubPanel(1) + ", " + hubPanel(1601, "\"panelColorDepth\": 12") + ", " +
                       customUdp(3201, 30, rx.port(), "{data}"));
    uint16_t port = 0;
    std::unique_ptr<Tavod> tavod = startWithHttp(
        media, {"--set", "HubPanelBoardRoot=" + board.root(), "play", "show.lcsf", "--loop"}, port);
    ASSERT_TRUE(tavod);
    Datagram d;
    ASSERT_TRUE(rx.receive(d, 3000)) << tavod->err();
    Json::Value s = status(port);
    EXPECT_EQ(0u, s["failedOutputs"].size()) << s.toStyledString();
    int panels = 0;
    for (const Json::Value& o : s["outputs"]) {
        if (o["type"].asString() == "HubPanel") {
            panels++;
            EXPECT_EQ("stand-in: no panels driven", o["driver"].asString());
            EXPECT_EQ(32, o["width"].asInt());
        }
    }
    EXPECT_EQ(2, panels) << s.toStyledString();
    std::string models = httpGet(port, "/api/overlays/models").body;
    EXPECT_NE(std::string::npos, models.find("\"LED Panels\"")) << models;
    EXPECT_NE(std::string::npos, models.find("\"LED Panels-1\"")) << models;
    tavod->sendSignal(SIGTERM);
    ASSERT_TRUE(tavod->wait(10000));
    EXPECT_EQ(0, tavod->exitCode()) << tavod->err();
    std::string err = tavod->err();
    size_t first = err.find("no HUB75 panel is driven");
    ASSERT_NE(std::string::npos, first) << err;
    EXPECT_EQ(std::string::npos, err.find("no HUB75 panel is driven", first + 1)) << "said once:\n" << err;
}
