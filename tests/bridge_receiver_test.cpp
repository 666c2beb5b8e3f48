// Bridge mode's receiver fed hand-built datagrams, for what no peer here sends:
// synchronized E1.31 and Art-Net, and senders that stop synchronizing.
#include "host/bridge/BridgeReceiver.h"
#include "host/core/Warnings.h"
#include "protocols/ArtNet.h"
#include "protocols/E131.h"

#include "PrivateNetwork.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

using namespace protocols;

namespace {

struct Block {
    uint32_t start;
    std::vector<uint8_t> data;
    bool operator==(const Block& o) const { return start == o.start && data == o.data; }
};

std::ostream& operator<<(std::ostream& os, const Block& b) {
    return os << "{" << b.start << ", " << b.data.size() << " bytes from " << (b.data.empty() ? 0 : b.data[0])
              << "}";
}

class BridgeReceiverTest : public ::testing::Test {
protected:
    void SetUp() override {
        bridge::Config c;
        c.e131 = c.artnet = true;
        c.e131Universes.push_back({1, 2, 4, 0});     // universes 1 and 2: channels 0-3, 4-7
        c.artnetUniverses.push_back({0, 2, 4, 100}); // 0 and 1: channels 100-103, 104-107
        receiver.Configure(
            c,
            [this](const uint8_t* d, uint32_t start, uint32_t length) {
                got.push_back({start, std::vector<uint8_t>(d, d + length)});
            },
            "test");
    }

    void e131Data(uint16_t universe, uint8_t value, uint16_t syncAddress, int64_t now, uint8_t cid = 7) {
        e131::DataHeader h;
        h.cid.fill(cid);
        h.universe = universe;
        h.syncAddress = syncAddress;
        h.sequence = m_sequence++;
        std::vector<uint8_t> slots(4, value);
        uint8_t p[e131::MAX_PACKET_SIZE];
        size_t n = e131::encodeData(p, h, slots.data(), slots.size());
        receiver.HandleE131(p, n, 0x0100007F, now);
    }
    void e131Sync(uint16_t address, int64_t now) {
        e131::Cid cid;
        cid.fill(7);
        uint8_t p[64];
        size_t n = e131::encodeSync(p, cid, m_sequence++, address);
        receiver.HandleE131(p, n, 0x0100007F, now);
    }
    void artDmx(uint16_t universe, uint8_t value, int64_t now) {
        std::vector<uint8_t> data(4, value);
        uint8_t p[600];
        size_t n = artnet::encodeDmx(p, universe, 1, data.data(), data.size());
        receiver.HandleArtNet(p, n, 0x0100007F, now);
    }
    void artSync(int64_t now) {
        uint8_t p[64];
        size_t n = artnet::encodeSync(p);
        receiver.HandleArtNet(p, n, 0x0100007F, now);
    }
    std::vector<Block> take() {
        std::vector<Block> b;
        b.swap(got);
        return b;
    }
    static Block block(uint32_t start, uint8_t value) { return {start, std::vector<uint8_t>(4, value)}; }

    bridge::Receiver receiver;
    std::vector<Block> got;
    uint8_t m_sequence = 0;
};

TEST_F(BridgeReceiverTest, E131DataNamingASyncAddressWaitsForItsSyncPacket) {
    // Before any sync packet the sender is not synchronizing yet: shown at once.
    e131Data(1, 0x11, 7000, 1000);
    EXPECT_EQ(take(), (std::vector<Block>{block(0, 0x11)}));
    e131Sync(7000, 1010);
    // A frame of two universes: nothing until the sync, then both together.
    e131Data(1, 0x21, 7000, 1020);
    e131Data(2, 0x22, 7000, 1021);
    e131Sync(6000, 1022); // another address releases nothing
    EXPECT_TRUE(take().empty());
    e131Sync(7000, 1030);
    EXPECT_EQ(take(), (std::vector<Block>{block(0, 0x21), block(4, 0x22)}));
    // Data without a sync address is never held.
    e131Data(2, 0x33, 0, 1040);
    EXPECT_EQ(take(), (std::vector<Block>{block(4, 0x33)}));
    // The sender stops synchronizing: what waits is shown once the sync is 2.5 s
    // late, and from then on its data at once.
    e131Data(1, 0x44, 7000, 1050);
    receiver.Expire(1030 + bridge::Receiver::SOURCE_TIMEOUT_MS);
    EXPECT_TRUE(take().empty());
    receiver.Expire(1031 + bridge::Receiver::SOURCE_TIMEOUT_MS);
    EXPECT_EQ(take(), (std::vector<Block>{block(0, 0x44)}));
    e131Data(1, 0x55, 7000, 3600);
    EXPECT_EQ(take(), (std::vector<Block>{block(0, 0x55)}));
}

TEST_F(BridgeReceiverTest, SourcesOfOnePriorityThatDisagreeAreMergedWithAWarning) {
    WarningHolder::ClearWarnings();
    e131Data(2, 0x10, 0, 1000, 1);
    e131Data(2, 0x10, 0, 1001, 2);
    EXPECT_TRUE(WarningHolder::GetWarnings().empty()) << "two sources sending the same are no conflict";
    e131Data(2, 0x30, 0, 1002, 2);
    EXPECT_EQ(take().back(), block(4, 0x30)) << "highest value first";
    std::vector<std::string> w = WarningHolder::GetWarnings();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_NE(w[0].find("E1.31 universe 2 has sources at priority 100 that disagree"), std::string::npos)
        << w[0];
    WarningHolder::ClearWarnings();
}

TEST_F(BridgeReceiverTest, ArtNetDataWaitsForArtSyncWhileTheSenderSendsIt) {
    artDmx(0, 0x10, 1000);
    EXPECT_EQ(take(), (std::vector<Block>{block(100, 0x10)}));
    artSync(1010);
    artDmx(0, 0x20, 1020);
    artDmx(1, 0x21, 1021);
    artDmx(0, 0x22, 1022); // the newer data of a universe replaces the older
    EXPECT_TRUE(take().empty());
    artSync(1030);
    EXPECT_EQ(take(), (std::vector<Block>{block(100, 0x22), block(104, 0x21)}));
    artSync(1040);
    EXPECT_TRUE(take().empty()) << "a sync with nothing new hands on nothing";
    artDmx(1, 0x30, 1050);
    receiver.Expire(1040 + bridge::Receiver::ARTSYNC_TIMEOUT_MS + 1);
    EXPECT_EQ(take(), (std::vector<Block>{block(104, 0x30)}));
    artDmx(1, 0x31, 6000);
    EXPECT_EQ(take(), (std::vector<Block>{block(104, 0x31)}));
}

} // namespace

// One socket holds 20 multicast memberships (net.ipv4.igmp_max_memberships): the
// 64 universes of a usual setup, multicast over the loopback of a namespace of the
// test's own, must each arrive, and once.
TEST(BridgeReceiverMulticast, MoreUniversesThanOneSocketCanJoinAllArriveOnce) {
    PrivateNetwork net;
    if (!net.ok()) {
        GTEST_SKIP() << net.reason();
    }
    ASSERT_EQ(0, system("ip link set lo multicast on && ip route add 239.255.0.0/16 dev lo"));
    constexpr int UNIVERSES = 64;
    bridge::Config c;
    c.e131 = true;
    c.e131Universes.push_back({1, UNIVERSES, 4, 0});
    std::mutex lock;
    std::map<uint32_t, std::vector<uint8_t>> got; // start channel -> values seen
    WarningHolder::ClearWarnings();
    bridge::Receiver receiver;
    ASSERT_TRUE(receiver.Start(
        c,
        [&](const uint8_t* d, uint32_t start, uint32_t length) {
            std::lock_guard<std::mutex> l(lock);
            got[start].push_back(length == 4 ? d[0] : 0);
        },
        "test"));
    EXPECT_TRUE(WarningHolder::GetWarnings().empty()) << WarningHolder::GetWarnings()[0];

    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    // The groups' route leads to the loopback (no IP_MULTICAST_IF: qemu-user lacks it).
    for (int u = 1; u <= UNIVERSES; u++) {
        e131::DataHeader h;
        h.cid.fill(9);
        h.universe = (uint16_t)u;
        std::vector<uint8_t> slots(4, (uint8_t)u);
        uint8_t p[e131::MAX_PACKET_SIZE];
        size_t n = e131::encodeData(p, h, slots.data(), slots.size());
        struct sockaddr_in to;
        memset(&to, 0, sizeof(to));
        to.sin_family = AF_INET;
        to.sin_port = htons(e131::PORT);
        std::array<uint8_t, 4> g = e131::multicastGroup((uint16_t)u);
        memcpy(&to.sin_addr.s_addr, g.data(), 4);
        ASSERT_EQ((ssize_t)n, sendto(fd, p, n, 0, reinterpret_cast<struct sockaddr*>(&to), sizeof(to)));
    }
    close(fd);
    auto count = [&] {
        std::lock_guard<std::mutex> l(lock);
        return got.size();
    };
    for (int i = 0; i < 500 && count() < (size_t)UNIVERSES; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    receiver.Stop();
    for (int u = 1; u <= UNIVERSES; u++) {
        EXPECT_EQ(got[(uint32_t)(u - 1) * 4], std::vector<uint8_t>{(uint8_t)u}) << "universe " << u;
    }
}
