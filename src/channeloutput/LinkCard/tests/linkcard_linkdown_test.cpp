// A link that is down: at start-up (a warning; with "linkCheck" the output is left
// out while tavod plays on for the others), and in the middle of a show (frames
// are given up at once, so the other outputs keep their timing), by the interface
// going down, its carrier going away, or the interface being removed and made again.
#include "EngineTestSupport.h"
#include "JsonText.h"
#include "host/core/Common.h"
#include "host/core/Settings.h"
#include "host/core/Warnings.h"
#include "host/output/ChannelBuffer.h"
#include "host/output/PixelOverlay.h"
#include "LinkCardOutput.h"
#include "LinkCardSim.h"
#include "LogCapture.h"
#include "TavodTestSupport.h"
#include "VethPair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>

using namespace tavodtest;

namespace {

std::atomic<int> g_sends{0};

int countingSend(int fd, struct mmsghdr* messages, unsigned int count, int flags) {
    g_sends++;
    return sendmmsg(fd, messages, count, flags);
}

bool hasWarning(const std::string& text) {
    auto w = WarningHolder::GetWarnings();
    return std::find(w.begin(), w.end(), text) != w.end();
}

// What /api/status shows of the LinkCard output.
Json::Value linkCardStatus(uint16_t port) {
    Json::Value s = parseJson(httpGet(port, "/api/status").body);
    for (const Json::Value& o : s["outputs"]) {
        if (o["type"].asString() == "LinkCard") {
            return o;
        }
    }
    return Json::Value();
}

// Waits (seconds, not a budget) until the card has seen `more` display frames
// beyond what it had.
bool cardSeesFrames(ReceiverCardSim& sim, int more = 5) {
    int want = sim.displayFrames + more;
    return waitFor(
        [&] {
            sim.Poll(20);
            return sim.displayFrames >= want;
        },
        std::chrono::seconds(10));
}

bool statusSays(uint16_t port, bool linkDown) {
    return waitFor(
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            Json::Value o = linkCardStatus(port);
            return o["linkDown"].asBool() == linkDown && (!linkDown || o["droppedFrames"].asUInt64() > 0);
        },
        std::chrono::seconds(10));
}

class LinkCardLinkDownTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!veth.ok()) {
            GTEST_SKIP() << "no veth pair: " << veth.reason();
        }
        setSetting("LinkCardSysfsRoot", "");
        WarningHolder::ClearWarnings();
        PixelOverlayManager::INSTANCE.removeAllModels();
        w1 = "ColorLight: Configured interface " + veth.host + " does not have link";
    }
    void TearDown() override { PixelOverlayManager::INSTANCE.removeAllModels(); }

    std::string outputJson(bool linkCheck) {
        return "{\"type\": \"LinkCard\", \"enabled\": 1, \"startChannel\": 1, \"channelCount\": 96, "
               "\"interface\": \"" +
               veth.host + "\", \"firmwareVersion\": 12, \"linkCheck\": " + (linkCheck ? "true" : "false") +
               ", \"cfgVersion\": 2, \"panelWidth\": 8, \"panelHeight\": 4, \"panels\": [{\"outputNumber\": "
               "0, "
               "\"panelNumber\": 0, \"orientation\": \"N\"}]}";
    }

    VethPair veth;
    std::string w1;
    LogCapture log{LOG_INFO};
};

} // namespace

TEST_F(LinkCardLinkDownTest, DownAtStartWarnsAndWithTheLinkCheckRefuses) {
    ASSERT_TRUE(veth.SetHostUp(false));
    LinkCardOutput lenient(0, 0);
    EXPECT_NE(0, lenient.Init(parseJson(outputJson(false))));
    EXPECT_TRUE(hasWarning(w1));
    EXPECT_TRUE(log.contains("Error ColorLight: Configured interface " + veth.host + " does not have link"));
    LinkCardOutput strict(0, 0);
    EXPECT_EQ(0, strict.Init(parseJson(outputJson(true))));
    // The far end down only: no carrier, the same.
    ASSERT_TRUE(veth.SetHostUp(true));
    ASSERT_TRUE(veth.SetCardUp(false));
    LinkCardOutput noCarrier(0, 0);
    EXPECT_EQ(0, noCarrier.Init(parseJson(outputJson(true))));
    ASSERT_TRUE(veth.SetCardUp(true));
    LinkCardOutput up(0, 0);
    EXPECT_NE(0, up.Init(parseJson(outputJson(true)))) << log.text();
    EXPECT_FALSE(hasWarning(w1));
}

TEST_F(LinkCardLinkDownTest, GoingDownMidShowDropsFramesAtOnceUntilItIsBack) {
    ReceiverCardSim sim;
    std::string error;
    bool opened = false;
    ASSERT_TRUE(veth.InCardNamespace([&] { opened = sim.Open(veth.card, error); }));
    ASSERT_TRUE(opened) << error;
    LinkCardOutput o(0, 0);
    o.SetSendFunction(countingSend);
    ASSERT_NE(0, o.Init(parseJson(outputJson(false))));
    std::vector<uint8_t> buffer(TAVO_CHANNEL_BUFFER_SIZE, 3);
    auto frame = [&] {
        g_sends = 0;
        o.PrepData(buffer.data());
        o.SendData(buffer.data());
    };
    frame();
    EXPECT_EQ(2, g_sends.load());

    ASSERT_TRUE(veth.SetHostUp(false));
    for (int i = 0; i < 5; i++) {
        frame();
        EXPECT_EQ(2, g_sends.load()) << "one try for the rows, one for the display frame: no retrying";
    }
    EXPECT_EQ(5u, o.GetDroppedFrames());
    EXPECT_TRUE(hasWarning(w1));
    EXPECT_EQ(1, log.count("is down or gone")) << log.text();
    EXPECT_FALSE(log.contains("sendmmsg() failed")) << log.text();

    ASSERT_TRUE(veth.SetHostUp(true));
    int64_t end = GetTimeMS() + 10000;
    int before = sim.displayFrames;
    // The sends go out at once; the warning goes once the interface's state is read
    // as up again, within about a second.
    while ((sim.displayFrames == before || hasWarning(w1)) && GetTimeMS() < end) {
        frame();
        sim.Poll(50);
    }
    EXPECT_GT(sim.displayFrames, before) << "frames reach the card again";
    EXPECT_FALSE(hasWarning(w1));
    EXPECT_TRUE(log.contains("is back")) << log.text();
}

TEST_F(LinkCardLinkDownTest, TavodLeavesTheOutputOutAndPlaysOnForTheOthers) {
    ASSERT_TRUE(veth.SetHostUp(false));
    MediaDir media;
    ASSERT_TRUE(media.writeSequence("show.lcsf", 200, 400, 25));
    TimedUdpReceiver rx;
    media.writeOutputs(outputJson(true) + ", " + customUdp(101, 30, rx.port(), "{data}"));
    uint16_t port = 0;
    std::unique_ptr<Tavod> tavod = startWithHttp(media, {"play", "show.lcsf", "--loop"}, port);
    ASSERT_TRUE(tavod);
    Datagram d;
    for (int i = 0; i < 20; i++) {
        ASSERT_TRUE(rx.receive(d, 3000)) << "the UDP output keeps playing; tavod said:\n" << tavod->err();
    }
    HttpTestResponse r = httpGet(port, "/api/status");
    Json::Value s = parseJson(r.body);
    ASSERT_EQ(1u, s["failedOutputs"].size()) << r.body;
    EXPECT_EQ("LinkCard", s["failedOutputs"][0]["type"].asString());
    tavod->sendSignal(SIGTERM);
    EXPECT_TRUE(tavod->wait(10000));
}

TEST_F(LinkCardLinkDownTest, ALinkGoingDownMidShowCostsTheOtherOutputsNoFrame) {
    MediaDir media;
    ASSERT_TRUE(media.writeSequence("show.lcsf", 200, 4000, 25));
    TimedUdpReceiver rx;
    media.writeOutputs(outputJson(false) + ", " + customUdp(101, 30, rx.port(), "{data}"));
    uint16_t port = 0;
    std::unique_ptr<Tavod> tavod = startWithHttp(media, {"play", "show.lcsf", "--loop"}, port);
    ASSERT_TRUE(tavod);
    Datagram d;
    ASSERT_TRUE(rx.receive(d, 3000)) << tavod->err();
    ASSERT_TRUE(veth.SetHostUp(false));
    // Every frame of the other output still goes out while the link is down:
    // the LinkCard output gives its frames up at once instead of retrying.
    Json::Value before = parseJson(httpGet(port, "/api/status").body);
    int received = 0;
    int64_t end = GetTimeMS() + 2000;
    while (GetTimeMS() < end && rx.receive(d, 1000)) {
        received++;
    }
    Json::Value after = parseJson(httpGet(port, "/api/status").body);
    // Frames counted by the second look are already waiting in the socket (a frame
    // is counted once every output has sent it); the show goes on, so take only those.
    while (rx.receive(d, 2)) {
        received++;
    }
    int64_t sent = after["framesSent"].asInt64() - before["framesSent"].asInt64();
    EXPECT_GT(sent, 10);
    EXPECT_GE(received, sent - 2) << "frames of the UDP output were lost or held";
    ASSERT_GE(after["outputs"].size(), 1u);
    Json::Value lc;
    for (auto& o : after["outputs"]) {
        if (o["type"].asString() == "LinkCard") {
            lc = o;
        }
    }
    EXPECT_TRUE(lc["linkDown"].asBool()) << after.toStyledString();
    EXPECT_GT(lc["droppedFrames"].asUInt64(), 0u);
    EXPECT_EQ(std::string::npos, tavod->err().find("sendmmsg() failed")) << tavod->err();
    tavod->sendSignal(SIGTERM);
    EXPECT_TRUE(tavod->wait(10000));
}

TEST_F(LinkCardLinkDownTest, TavodNoticesALostCarrierAndShowsAgainWhenItIsBack) {
    ReceiverCardSim sim;
    std::string error;
    bool opened = false;
    ASSERT_TRUE(veth.InCardNamespace([&] { opened = sim.Open(veth.card, error); }));
    ASSERT_TRUE(opened) << error;
    MediaDir media;
    ASSERT_TRUE(media.writeSequence("show.lcsf", 200, 4000, 25));
    media.writeOutputs(outputJson(false));
    uint16_t port = 0;
    std::unique_ptr<Tavod> tavod = startWithHttp(media, {"play", "show.lcsf", "--loop"}, port);
    ASSERT_TRUE(tavod);
    ASSERT_TRUE(cardSeesFrames(sim)) << tavod->err();
    EXPECT_FALSE(linkCardStatus(port)["linkDown"].asBool());

    // The cards' end goes down: every send still succeeds, the frames go nowhere.
    ASSERT_TRUE(veth.SetCardUp(false));
    ASSERT_TRUE(statusSays(port, true)) << linkCardStatus(port).toStyledString() << tavod->err();
    std::string warnings = httpGet(port, "/api/warnings").body;
    EXPECT_NE(std::string::npos, warnings.find(w1)) << warnings;
    EXPECT_NE(std::string::npos, tavod->err().find("LinkCard: interface " + veth.host + " is down or gone"))
        << tavod->err();

    ASSERT_TRUE(veth.SetCardUp(true));
    ASSERT_TRUE(statusSays(port, false)) << linkCardStatus(port).toStyledString() << tavod->err();
    EXPECT_TRUE(cardSeesFrames(sim)) << "frames reach the card again";
    warnings = httpGet(port, "/api/warnings").body;
    EXPECT_EQ(std::string::npos, warnings.find(w1)) << warnings;
    tavod->sendSignal(SIGTERM);
    EXPECT_TRUE(tavod->wait(10000));
}

TEST_F(LinkCardLinkDownTest, TavodSendsToTheInterfaceAgainOnceItIsRemovedAndMadeAgain) {
    std::unique_ptr<ReceiverCardSim> sim(new ReceiverCardSim);
    std::string error;
    bool opened = false;
    ASSERT_TRUE(veth.InCardNamespace([&] { opened = sim->Open(veth.card, error); }));
    ASSERT_TRUE(opened) << error;
    MediaDir media;
    ASSERT_TRUE(media.writeSequence("show.lcsf", 200, 4000, 25));
    media.writeOutputs(outputJson(false));
    uint16_t port = 0;
    std::unique_ptr<Tavod> tavod = startWithHttp(media, {"play", "show.lcsf", "--loop"}, port);
    ASSERT_TRUE(tavod);
    ASSERT_TRUE(cardSeesFrames(*sim)) << tavod->err();

    // An adapter re-enumerating: the interface goes, and comes back under a new index.
    ASSERT_TRUE(veth.Remove());
    ASSERT_TRUE(statusSays(port, true)) << linkCardStatus(port).toStyledString() << tavod->err();
    ASSERT_TRUE(veth.Add()) << veth.reason();
    sim.reset(new ReceiverCardSim);
    ASSERT_TRUE(veth.InCardNamespace([&] { opened = sim->Open(veth.card, error); }));
    ASSERT_TRUE(opened) << error;
    EXPECT_TRUE(cardSeesFrames(*sim)) << "frames reach the new interface; tavod said:\n" << tavod->err();
    EXPECT_TRUE(statusSays(port, false)) << linkCardStatus(port).toStyledString();
    EXPECT_NE(std::string::npos, tavod->err().find("LinkCard: interface " + veth.host + " is there again"))
        << tavod->err();
    tavod->sendSignal(SIGTERM);
    EXPECT_TRUE(tavod->wait(10000));
}
