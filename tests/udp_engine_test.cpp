// The host's UDP output engine: message groups, the per-frame calls to data objects,
// and real sends on 127.0.0.1 (batches, failures, broadcast).
#include "host/core/Common.h"
#include "host/output/UDPOutput.h"

#include "LogCapture.h"

#include "UdpReceiver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct sockaddr_in loopback(uint16_t port, const char* address = "127.0.0.1") {
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = inet_addr(address);
    return a;
}

using Receiver = UdpReceiver;

Json::Value dataConfig(int start = 1, int count = 3) {
    Json::Value c;
    c["address"] = "127.0.0.1";
    c["startChannel"] = start;
    c["channelCount"] = count;
    return c;
}

// A data object that queues fixed datagrams and notes each call in a journal.
class ScriptedData : public UDPOutputData {
public:
    ScriptedData(const std::string& name, std::vector<std::string>* journal,
                 const Json::Value& config = dataConfig())
        : UDPOutputData(config), m_name(name), m_journal(journal) {}
    ~ScriptedData() override {
        if (deleted) {
            *deleted = true;
        }
    }

    // Each datagram goes to `to` under `key`.
    void addDatagram(const struct sockaddr_in& to, uint32_t key, const Bytes& payload) {
        m_datagrams.push_back({to, key, payload, {}});
    }

    void PrepareData(unsigned char*, UDPOutputMessages& msgs) override {
        if (m_journal) {
            m_journal->push_back(m_name + ".prepare");
        }
        for (Datagram& d : m_datagrams) {
            d.iov.iov_base = d.payload.data();
            d.iov.iov_len = d.payload.size();
            struct mmsghdr m;
            memset(&m, 0, sizeof(m));
            m.msg_hdr.msg_name = &d.to;
            m.msg_hdr.msg_namelen = sizeof(d.to);
            m.msg_hdr.msg_iov = &d.iov;
            m.msg_hdr.msg_iovlen = 1;
            msgs.GetMessages(d.key).push_back(m);
        }
    }
    void PostPrepareData(unsigned char*, UDPOutputMessages&) override {
        if (m_journal) {
            m_journal->push_back(m_name + ".post");
        }
    }
    std::string GetOutputTypeString() const override { return "Scripted"; }

    bool* deleted = nullptr;

    struct Datagram {
        struct sockaddr_in to;
        uint32_t key;
        Bytes payload;
        struct iovec iov;
    };
    std::vector<Datagram> m_datagrams;

private:
    std::string m_name;
    std::vector<std::string>* m_journal;
};

uint32_t keyOf(const struct sockaddr_in& a) {
    return a.sin_addr.s_addr;
}

unsigned char* noFrame() {
    static unsigned char frame[16] = {};
    return frame;
}

} // namespace

// ------------------------------------------------------------------ message groups

TEST(UDPOutputMessages, GroupsByKeyAndKeepsStorageWhenCleared) {
    UDPOutputMessages msgs;
    struct mmsghdr m;
    memset(&m, 0, sizeof(m));
    std::vector<struct mmsghdr>& a = msgs.GetMessages(inet_addr("10.0.0.1"));
    a.push_back(m);
    a.push_back(m);
    msgs.GetMessages(inet_addr("10.0.0.2")).push_back(m);
    EXPECT_EQ(&msgs.GetMessages(inet_addr("10.0.0.1")), &a);
    EXPECT_EQ(msgs.GetMessages(inet_addr("10.0.0.1")).size(), 2u);
    EXPECT_EQ(msgs.GetMessages(inet_addr("10.0.0.2")).size(), 1u);
    EXPECT_EQ(msgs.size(), 3u);

    msgs.clear();
    EXPECT_EQ(msgs.size(), 0u);
    EXPECT_EQ(msgs.groups().size(), 2u);
    EXPECT_GE(msgs.GetMessages(inet_addr("10.0.0.1")).capacity(), 2u);
}

// ------------------------------------------------------------------ engine life and calls

TEST(UDPOutputEngine, IsTheInstanceAndOwnsItsDataObjects) {
    bool deletedA = false;
    bool deletedB = false;
    {
        UDPOutput engine;
        EXPECT_EQ(UDPOutput::INSTANCE, &engine);
        auto* a = new ScriptedData("a", nullptr);
        auto* b = new ScriptedData("b", nullptr);
        a->deleted = &deletedA;
        b->deleted = &deletedB;
        engine.addOutput(a);
        engine.addOutput(nullptr);
        engine.addOutput(b);
        EXPECT_EQ(engine.GetOutputCount(), 2u);
        EXPECT_FALSE(deletedA);
    }
    EXPECT_TRUE(deletedA);
    EXPECT_TRUE(deletedB);
    EXPECT_EQ(UDPOutput::INSTANCE, nullptr);
}

TEST(UDPOutputEngine, EveryDataObjectQueuesBeforeAnyPostPrepares) {
    std::vector<std::string> journal;
    UDPOutput engine;
    engine.addOutput(new ScriptedData("a", &journal));
    engine.addOutput(new ScriptedData("b", &journal));
    engine.PrepData(noFrame());
    EXPECT_EQ(journal, (std::vector<std::string>{"a.prepare", "b.prepare", "a.post", "b.post"}));
}

TEST(UDPOutputEngine, ReportsTheChannelsOfActiveDataObjects) {
    UDPOutput engine;
    engine.addOutput(new ScriptedData("a", nullptr, dataConfig(1, 3)));
    engine.addOutput(new ScriptedData("b", nullptr, dataConfig(8388607, 2)));
    Json::Value off = dataConfig(100, 10);
    off["enabled"] = 0;
    engine.addOutput(new ScriptedData("off", nullptr, off));
    engine.addOutput(new ScriptedData("empty", nullptr, dataConfig(50, 0)));
    std::vector<std::pair<int, int>> ranges;
    engine.GetRequiredChannelRanges([&](int first, int last) { ranges.emplace_back(first, last); });
    EXPECT_EQ(ranges, (std::vector<std::pair<int, int>>{{0, 2}, {8388606, 8388607}}));
}

// ------------------------------------------------------------------ data object base

TEST(UDPOutputData, ReadsItsKeysAndRejectsRangesOutsideTheBuffer) {
    LogCapture log;
    ScriptedData plain("p", nullptr, dataConfig(5, 10));
    EXPECT_TRUE(plain.active) << "no \"enabled\" means enabled";
    EXPECT_EQ(plain.ipAddress, "127.0.0.1");
    EXPECT_EQ(plain.startChannel, 5);
    EXPECT_EQ(plain.channelCount, 10);
    int min = -1;
    int max = -1;
    plain.GetRequiredChannelRange(min, max);
    EXPECT_EQ(min, 4);
    EXPECT_EQ(max, 14);

    EXPECT_TRUE(ScriptedData("last", nullptr, dataConfig(8388608, 1)).active);
    EXPECT_FALSE(ScriptedData("past", nullptr, dataConfig(8388608, 2)).active);
    EXPECT_FALSE(ScriptedData("zero", nullptr, dataConfig(0, 2)).active);
    EXPECT_FALSE(ScriptedData("huge", nullptr, dataConfig(2, 2147483647)).active);
    EXPECT_EQ(log.count("does not fit the channels 1 to 8388608"), 3) << log.text();

    Json::Value c = dataConfig();
    c["enabled"] = false;
    EXPECT_FALSE(ScriptedData("off", nullptr, c).active);
    c["enabled"] = 1;
    c["channelCount"] = 2.5;
    EXPECT_FALSE(ScriptedData("real", nullptr, c).active);
    EXPECT_TRUE(log.contains("\"channelCount\" must be a whole number, not 2.5")) << log.text();
}

TEST(UDPOutputData, NeedToOutputFrameSkipsOnlyRecentIdenticalFrames) {
    ScriptedData d("d", nullptr, dataConfig(11, 4));
    std::vector<unsigned char> buf(64, 0x11);

    EXPECT_TRUE(d.NeedToOutputFrame(buf.data(), 10, 0, 4)) << "nothing sent yet";
    d.SaveFrame(buf.data() + 10, 4);
    EXPECT_FALSE(d.NeedToOutputFrame(buf.data(), 10, 0, 4));
    // comparing part of the slice: `start` is within the output
    EXPECT_FALSE(d.NeedToOutputFrame(buf.data(), 10, 2, 2));

    buf[13] = 0x12;
    EXPECT_TRUE(d.NeedToOutputFrame(buf.data(), 10, 0, 4));
    EXPECT_TRUE(d.NeedToOutputFrame(buf.data(), 10, 3, 1));
    EXPECT_FALSE(d.NeedToOutputFrame(buf.data(), 10, 0, 3));
    buf[13] = 0x11;

    // Set from the clock itself: the test may be descheduled between two lines.
    d.lastSendTimeMS = GetTimeMS() - 800;
    EXPECT_FALSE(d.NeedToOutputFrame(buf.data(), 10, 0, 4));
    d.lastSendTimeMS = GetTimeMS() - 1000;
    EXPECT_TRUE(d.NeedToOutputFrame(buf.data(), 10, 0, 4)) << "refreshed after a second";

    // arguments that would read outside the channel buffer are refused
    EXPECT_FALSE(d.NeedToOutputFrame(buf.data(), -1, 0, 4));
    EXPECT_FALSE(d.NeedToOutputFrame(buf.data(), TAVO_MAX_CHANNELS - 2, 0, 4));
    EXPECT_FALSE(d.NeedToOutputFrame(nullptr, 10, 0, 4));
}

TEST(UDPOutputData, ToInetAddrResolvesAddressesAndNames) {
    bool valid = false;
    EXPECT_EQ(UDPOutputData::toInetAddr("127.0.0.1", valid), htonl(0x7F000001));
    EXPECT_TRUE(valid);
    EXPECT_EQ(UDPOutputData::toInetAddr("192.168.1.255", valid), inet_addr("192.168.1.255"));
    EXPECT_TRUE(valid);
    EXPECT_EQ(UDPOutputData::toInetAddr("localhost", valid), htonl(0x7F000001));
    EXPECT_TRUE(valid);
    UDPOutputData::toInetAddr("nosuchhost.invalid", valid);
    EXPECT_FALSE(valid);
    UDPOutputData::toInetAddr("", valid);
    EXPECT_FALSE(valid);
    UDPOutputData::toInetAddr("300.1.2.3", valid);
    EXPECT_FALSE(valid);
}

// ------------------------------------------------------------------ sending

class UDPOutputSendTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(engine.Init(Json::Value(Json::objectValue)), 0);
        ASSERT_TRUE(engine.IsOpen());
    }
    UDPOutput engine;
};

TEST_F(UDPOutputSendTest, EachGroupReachesItsReceiverOnce) {
    Receiver r1;
    Receiver r2;
    ASSERT_TRUE(r1.bound() && r2.bound());
    // Keys only group messages; the destination is each message's own address.
    auto* d = new ScriptedData("d", nullptr);
    d->addDatagram(loopback(r1.port()), 2, {1, 2, 3});
    d->addDatagram(loopback(r2.port()), 1, {4, 5});
    d->addDatagram(loopback(r1.port()), 2, {6});
    engine.addOutput(d);

    engine.PrepData(noFrame());
    EXPECT_EQ(engine.SendData(noFrame()), 3);
    Bytes got;
    ASSERT_TRUE(r1.receive(got));
    EXPECT_EQ(got, Bytes({1, 2, 3}));
    ASSERT_TRUE(r1.receive(got));
    EXPECT_EQ(got, Bytes({6}));
    ASSERT_TRUE(r2.receive(got));
    EXPECT_EQ(got, Bytes({4, 5}));

    // sent messages are gone: a second send without a new frame sends nothing
    EXPECT_EQ(engine.SendData(noFrame()), 0);
    EXPECT_FALSE(r1.receive(got, 100));
    EXPECT_FALSE(r2.receive(got, 100));
    EXPECT_EQ(engine.GetSentCount(), 3u);
    EXPECT_EQ(engine.GetErrorCount(), 0u);
}

namespace {
volatile sig_atomic_t g_sigpipes = 0;
void countSigpipe(int) {
    g_sigpipes = g_sigpipes + 1;
}
} // namespace

TEST_F(UDPOutputSendTest, ClosedPortNeitherSignalsNorStopsOtherDestinations) {
    uint16_t closedPort = 0;
    {
        Receiver gone;
        closedPort = gone.port();
    }
    Receiver live;
    auto* d = new ScriptedData("d", nullptr);
    d->addDatagram(loopback(closedPort), keyOf(loopback(closedPort)), {9, 9});
    d->addDatagram(loopback(live.port()), keyOf(loopback(live.port())), {7});
    engine.addOutput(d);

    struct sigaction sa;
    struct sigaction old;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = countSigpipe;
    sigaction(SIGPIPE, &sa, &old);
    g_sigpipes = 0;
    for (int frame = 0; frame < 5; frame++) {
        engine.PrepData(noFrame());
        engine.SendData(noFrame());
        Bytes got;
        ASSERT_TRUE(live.receive(got)) << "frame " << frame;
        EXPECT_EQ(got, Bytes({7}));
    }
    sigaction(SIGPIPE, &old, nullptr);
    EXPECT_EQ(g_sigpipes, 0);
}

TEST_F(UDPOutputSendTest, AFailingMessageIsLoggedOnceAndTheRestOfItsGroupStillGoes) {
    LogCapture log;
    Receiver r;
    struct sockaddr_in to = loopback(r.port());
    auto* d = new ScriptedData("d", nullptr);
    d->addDatagram(to, keyOf(to), Bytes(70000, 0xAA)); // more than a UDP datagram can carry
    d->addDatagram(to, keyOf(to), {1});
    engine.addOutput(d);

    for (int frame = 0; frame < 3; frame++) {
        engine.PrepData(noFrame());
        EXPECT_EQ(engine.SendData(noFrame()), 1);
        Bytes got;
        ASSERT_TRUE(r.receive(got));
        EXPECT_EQ(got, Bytes({1}));
    }
    EXPECT_EQ(engine.GetErrorCount(), 3u);
    std::string expected =
        "UDPOutput: sending to 127.0.0.1:" + std::to_string(r.port()) + " failed: Message too long";
    EXPECT_EQ(log.count(expected), 1) << log.text();

    d->m_datagrams[0].payload.assign(10, 0xAA);
    engine.PrepData(noFrame());
    EXPECT_EQ(engine.SendData(noFrame()), 2);
    EXPECT_TRUE(log.contains("UDPOutput: sending to 127.0.0.1 works again")) << log.text();
}

TEST_F(UDPOutputSendTest, SendsMoreMessagesThanOneSystemCallTakes) {
    Receiver r;
    int big = 8 * 1024 * 1024;
    bool canReceiveAll = setsockopt(r.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof(big)) == 0;
    struct sockaddr_in to = loopback(r.port());
    auto* d = new ScriptedData("d", nullptr);
    const int count = 2500;
    for (int i = 0; i < count; i++) {
        d->addDatagram(to, keyOf(to), {(uint8_t)(i >> 8), (uint8_t)i});
    }
    engine.addOutput(d);
    engine.PrepData(noFrame());
    EXPECT_EQ(engine.SendData(noFrame()), count);
    EXPECT_EQ(engine.GetSentCount(), (uint64_t)count);
    if (!canReceiveAll) {
        GTEST_SKIP()
            << "cannot enlarge the receive buffer (SO_RCVBUFFORCE needs CAP_NET_ADMIN); sent count checked";
    }
    int received = 0;
    Bytes got;
    while (r.receive(got, 500)) {
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ((got[0] << 8) | got[1], received) << "out of order";
        received++;
    }
    EXPECT_EQ(received, count);
}

TEST_F(UDPOutputSendTest, OnlyTheAllOnesGroupMayBroadcast) {
    Receiver r("127.255.255.255");
    if (!r.bound()) {
        GTEST_SKIP() << "cannot bind a receiver to the loopback broadcast address 127.255.255.255";
    }
    LogCapture log;
    struct sockaddr_in to = loopback(r.port(), "127.255.255.255");
    auto* d = new ScriptedData("d", nullptr);
    d->addDatagram(to, UDPOutputMessages::BROADCAST_KEY, {0xB0});
    d->addDatagram(to, keyOf(to), {0xB1});
    engine.addOutput(d);
    engine.PrepData(noFrame());
    EXPECT_EQ(engine.SendData(noFrame()), 1);
    Bytes got;
    ASSERT_TRUE(r.receive(got));
    EXPECT_EQ(got, Bytes({0xB0}));
    EXPECT_FALSE(r.receive(got, 100));
    EXPECT_TRUE(log.contains("failed: Permission denied")) << log.text();
}

TEST_F(UDPOutputSendTest, NothingIsSentAfterCloseAndInitReopens) {
    Receiver r;
    struct sockaddr_in to = loopback(r.port());
    auto* d = new ScriptedData("d", nullptr);
    d->addDatagram(to, keyOf(to), {5});
    engine.addOutput(d);

    EXPECT_NE(engine.Close(), 0);
    EXPECT_FALSE(engine.IsOpen());
    engine.PrepData(noFrame());
    EXPECT_EQ(engine.SendData(noFrame()), 0);
    Bytes got;
    EXPECT_FALSE(r.receive(got, 100));

    ASSERT_NE(engine.Init(Json::Value(Json::objectValue)), 0);
    engine.PrepData(noFrame());
    EXPECT_EQ(engine.SendData(noFrame()), 1);
    EXPECT_TRUE(r.receive(got));
}
