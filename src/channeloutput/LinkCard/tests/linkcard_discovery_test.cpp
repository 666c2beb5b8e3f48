// Receiver discovery against the simulated receiver card (linkcard_sim) on the far
// end of a veth pair: cards found and their firmware taken, no card at all, a
// configured firmware version, and a host that keeps sending frames.
#include "host/core/Common.h"
#include "host/core/Settings.h"
#include "host/core/Warnings.h"
#include "host/output/ChannelBuffer.h"
#include "host/output/PixelOverlay.h"
#include "LinkCardOutput.h"
#include "LinkCardSimProcess.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include <net/if.h>
#include <linux/if_packet.h>
#include <sys/ioctl.h>

namespace {

bool promiscuous(const std::string& ifName) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, ifName.c_str(), IFNAMSIZ - 1);
    ioctl(fd, SIOCGIFFLAGS, &ifr);
    close(fd);
    return (ifr.ifr_flags & IFF_PROMISC) != 0;
}

int warningCount(const std::string& text) {
    auto w = WarningHolder::GetWarnings();
    return (int)std::count(w.begin(), w.end(), text);
}

class LinkCardDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!veth.ok()) {
            GTEST_SKIP() << "no veth pair: " << veth.reason();
        }
        setSetting("LinkCardSysfsRoot", "");
        setSetting("ColorlightFirmwareVersion", "0");
        setSetting("ColorlightLinkDownDisable", "0");
        WarningHolder::ClearWarnings();
        PixelOverlayManager::INSTANCE.removeAllModels();
    }
    void TearDown() override { PixelOverlayManager::INSTANCE.removeAllModels(); }

    Json::Value config() {
        Json::Value c(Json::objectValue);
        c["interface"] = veth.host;
        c["panelWidth"] = 4;
        c["panelHeight"] = 2;
        return c;
    }

    VethPair veth;
    LogCapture log{LOG_INFO};
};

} // namespace

TEST_F(LinkCardDiscoveryTest, TwoCardsFoundAndTheLargerFirmwareTaken) {
    SimProcess sim(veth, {"--cards", "12.1,13.4"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    LinkCardOutput o(0, 0);
    ASSERT_NE(0, o.Init(config())) << log.text();
    EXPECT_EQ(13, o.GetFirmwareVersion());
    ASSERT_EQ(2u, o.GetReceivers().size());
    EXPECT_EQ(12u, o.GetReceivers()[0].versionMajor);
    EXPECT_EQ(1u, o.GetReceivers()[0].versionMinor);
    EXPECT_EQ(13u, o.GetReceivers()[1].versionMajor);
    EXPECT_EQ(1u, o.GetReceivers()[1].receiverNumber);
    EXPECT_EQ(128u, o.GetReceivers()[1].cabinetWidth);
    EXPECT_EQ(64u, o.GetReceivers()[1].cabinetHeight);
    EXPECT_EQ(123456u, o.GetReceivers()[1].uptime);
    EXPECT_EQ(7890u, o.GetReceivers()[1].packets);
    EXPECT_TRUE(log.contains("Searching for ColorLight receivers"));
    EXPECT_TRUE(log.contains("Found Receiver #1:"));
    EXPECT_TRUE(log.contains("- Firmware Version    : v13.4"));
    EXPECT_TRUE(log.contains("- Cabinet Size (WxH)  : 128x64"));
    EXPECT_TRUE(log.contains("- Uptime              : 123456ms"));
    EXPECT_TRUE(log.contains("- Packets             : 7890"));
    EXPECT_TRUE(log.contains("Found 2 ColorLight receiver(s)")) << log.text();
    // Firmware 13: the brightness and display frames go twice.
    EXPECT_EQ((size_t)o.GetRows() + 2, o.GetDataMessages().size());
    EXPECT_EQ(2u, o.GetDisplayMessages().size());
    EXPECT_TRUE(promiscuous(veth.host));
    ASSERT_TRUE(sim.Stop());
    // Indexes 0 and 1 answered, 2 did not: each asked once.
    EXPECT_EQ(1, sim.summary["requests"]["0"].asInt());
    EXPECT_EQ(1, sim.summary["requests"]["1"].asInt());
    EXPECT_EQ(1, sim.summary["requests"]["2"].asInt());
    EXPECT_FALSE(sim.summary["requests"].isMember("3"));
}

TEST_F(LinkCardDiscoveryTest, NoCardAsksIndexZeroThreeTimesAndWarnsOnce) {
    SimProcess sim(veth, {});
    ASSERT_TRUE(sim.ready()) << sim.error();
    const std::string w3 = "ColorLight: No receiver cards were detected on interface " + veth.host;
    LinkCardOutput o(0, 0);
    int64_t start = GetTimeMS();
    ASSERT_NE(0, o.Init(config())) << "without the link check the output runs all the same";
    int64_t took = GetTimeMS() - start;
    EXPECT_GE(took, 850) << "three waits of 300 ms";
    EXPECT_EQ(0, o.GetFirmwareVersion());
    EXPECT_TRUE(o.GetReceivers().empty());
    EXPECT_EQ(1, warningCount(w3));
    EXPECT_EQ(1, log.count("WARNING: " + w3)) << log.text();
    ASSERT_TRUE(sim.Stop());
    // One request, one more, then three: five in all, and no other index.
    EXPECT_EQ(5, sim.summary["requests"]["0"].asInt());
    EXPECT_EQ(1u, sim.summary["requests"].size());
    o.Close();
    EXPECT_EQ(0, warningCount(w3)) << "Close withdraws it";
}

TEST_F(LinkCardDiscoveryTest, NoCardWithTheLinkCheckFailsInit) {
    SimProcess sim(veth, {});
    ASSERT_TRUE(sim.ready()) << sim.error();
    LinkCardOutput o(0, 0);
    Json::Value c = config();
    c["linkCheck"] = true;
    EXPECT_EQ(0, o.Init(c));
}

TEST_F(LinkCardDiscoveryTest, ConfiguredFirmwareSkipsDiscoveryAndPromiscuousMode) {
    SimProcess sim(veth, {"--cards", "13.0"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    LinkCardOutput o(0, 0);
    Json::Value c = config();
    c["firmwareVersion"] = 12;
    ASSERT_NE(0, o.Init(c));
    EXPECT_EQ(12, o.GetFirmwareVersion());
    EXPECT_FALSE(promiscuous(veth.host));
    EXPECT_FALSE(log.contains("Searching for ColorLight receivers"));
    ASSERT_TRUE(sim.Stop());
    EXPECT_EQ(0u, sim.summary["requests"].size());
}

TEST_F(LinkCardDiscoveryTest, AHostThatKeepsSendingCannotHoldInit) {
    // Frames of the answers' EtherType, too short to count, without a pause:
    // the 300 ms time-out never comes.
    SimProcess sim(veth, {"--noise"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    LinkCardOutput o(0, 0);
    // Init returning at all shows the bound; the line says where it stopped.
    ASSERT_NE(0, o.Init(config()));
    EXPECT_TRUE(log.contains("LinkCard: discovery on " + veth.host + " stopped at index 0")) << log.text();
    EXPECT_TRUE(o.GetReceivers().empty());
}

TEST_F(LinkCardDiscoveryTest, TheSimulatedCardShowsWhatTheOutputSends) {
    SimProcess sim(veth, {"--cards", "12.0"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    LinkCardOutput o(0, 0);
    Json::Value c = config();
    c["panels"] = Json::Value(Json::arrayValue);
    Json::Value p(Json::objectValue);
    p["outputNumber"] = 0;
    p["panelNumber"] = 0;
    p["orientation"] = "U"; // legacy: a normal panel
    c["panels"].append(p);
    ASSERT_NE(0, o.Init(c));
    std::vector<uint8_t> buffer(TAVO_CHANNEL_BUFFER_SIZE, 0);
    for (int i = 0; i < 24; i++) {
        buffer[i] = (uint8_t)(i + 1);
    }
    o.PrepData(buffer.data());
    o.SendData(buffer.data());
    usleep(300000);
    ASSERT_TRUE(sim.Stop());
    EXPECT_EQ(1, sim.summary["displayFrames"].asInt());
    EXPECT_EQ(2, sim.summary["rowPackets"].asInt());
    EXPECT_EQ(255, sim.summary["brightness"].asInt());
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 24), sim.picture());
}

TEST_F(LinkCardDiscoveryTest, CardsAnsweringOnAnotherInterfaceAreNotTakenForOurs) {
    // Another output's cards answer on another veth pair while ours are silent.
    VethPair other;
    ASSERT_TRUE(other.ok()) << other.reason();
    SimProcess theirs(other, {"--cards", "13.0"});
    ASSERT_TRUE(theirs.ready()) << theirs.error();
    SimProcess ours(veth, {});
    ASSERT_TRUE(ours.ready()) << ours.error();
    std::atomic<bool> stop{false};
    std::thread asker([&] {
        int fd = socket(AF_PACKET, SOCK_RAW, 255);
        struct sockaddr_ll a;
        memset(&a, 0, sizeof(a));
        a.sll_family = AF_PACKET;
        a.sll_ifindex = (int)if_nametoindex(other.host.c_str());
        bind(fd, (struct sockaddr*)&a, sizeof(a));
        uint8_t request[linkcard::DISCOVERY_REQUEST_SIZE];
        linkcard::BuildDiscoveryRequest(request, 0);
        while (!stop) {
            send(fd, request, sizeof(request), 0);
            usleep(20000);
        }
        close(fd);
    });
    LinkCardOutput o(0, 0);
    EXPECT_NE(0, o.Init(config()));
    stop = true;
    asker.join();
    EXPECT_TRUE(o.GetReceivers().empty());
    EXPECT_EQ(0, o.GetFirmwareVersion());
    ASSERT_TRUE(theirs.Stop());
    EXPECT_GT(theirs.summary["requests"]["0"].asInt(), 5) << "the other cards were answering meanwhile";
}
