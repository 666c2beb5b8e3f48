// Bridge mode through the real daemon: E1.31, Art-Net and DDP sent to tavod on the
// private loopback, and what its CustomUDP output sends read back byte for byte.
#include "JsonText.h"
#include "OladPeer.h"
#include "PrivateNetwork.h"
#include "TavodTestSupport.h"
#include "protocols/ArtNet.h"
#include "protocols/DDP.h"
#include "VethPair.h"
#include "protocols/E131.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include <signal.h>

using namespace tavodtest;
using namespace protocols;

namespace {

// Sends datagrams to tavod's fixed ports on the loopback.
class Sender {
public:
    Sender() { m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }
    ~Sender() { close(m_fd); }
    void send(uint16_t port, const uint8_t* data, size_t size) {
        struct sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ((ssize_t)size,
                  sendto(m_fd, data, size, 0, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)));
    }

private:
    int m_fd = -1;
};

// One E1.31 source: a CID, a priority and its own sequence numbers.
struct E131Source {
    e131::DataHeader h;
    E131Source(uint8_t id, uint8_t priority) {
        h.cid.fill(id);
        h.sourceName = "source " + std::to_string(id);
        h.priority = priority;
    }
    void send(Sender& s, const std::vector<uint8_t>& slots, uint8_t options = 0) {
        uint8_t p[e131::MAX_PACKET_SIZE];
        h.options = options;
        size_t n = e131::encodeData(p, h, slots.data(), slots.size());
        s.send(e131::PORT, p, n);
        h.sequence++;
    }
};

// Runs `send` until a datagram on `rx` equals `expected`; false (with what came
// last) after 15 s.
bool waitForDatagram(UdpReceiver& rx, const std::vector<uint8_t>& expected, const std::function<void()>& send,
                     std::vector<uint8_t>* last = nullptr) {
    int64_t end = nowUs() + 15000000LL;
    std::vector<uint8_t> got;
    while (nowUs() < end) {
        if (send) {
            send();
        }
        int64_t until = nowUs() + 50000;
        while (nowUs() < until) {
            if (rx.receive(got, 20) && got == expected) {
                return true;
            }
        }
    }
    if (last) {
        *last = got;
    }
    return false;
}

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!net.ok()) {
            GTEST_SKIP() << net.reason();
        }
        ASSERT_TRUE(rx.bound());
    }
    bool waitForOutput(const std::vector<uint8_t>& expected, const std::function<void()>& send,
                       std::vector<uint8_t>* last = nullptr) {
        return waitForDatagram(rx, expected, send, last);
    }
    Json::Value status() { return parseJson(httpGet(port, "/api/status").body); }

    PrivateNetwork net;
    MediaDir media;
    UdpReceiver rx{"127.0.0.1", 8 * 1024 * 1024};
    uint16_t port = 0;
};

std::vector<uint8_t> filled(size_t n, uint8_t first) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) {
        v[i] = (uint8_t)(first + i);
    }
    return v;
}

} // namespace

TEST_F(BridgeTest, E131HigherPriorityWinsAndTheLowerTakesOverWhenItTerminates) {
    media.writeConfig("bridge.json", "{\"e131\": {\"enabled\": true, \"universes\": [{\"universe\": 7, "
                                     "\"count\": 2, \"universeSize\": 10, \"startChannel\": 5}]}}");
    media.writeOutputs(customUdp(1, 30, rx.port(), "{data}"));
    std::unique_ptr<Tavod> t = startWithHttp(media, {"run"}, port);
    ASSERT_TRUE(t);
    Sender s;
    E131Source low(1, 100), high(2, 150);
    // Universe 8 lands ten channels after universe 7: channels 15 to 24.
    // The lower source's values are the higher: a merge that ignored priority would show them.
    std::vector<uint8_t> lowSlots = filled(10, 150), highSlots = filled(10, 100);
    std::vector<uint8_t> expected(30, 0);
    std::copy(highSlots.begin(), highSlots.end(), expected.begin() + 14);
    std::vector<uint8_t> last;
    // Preview data is not for the show, whatever its priority.
    E131Source preview(3, 200);
    auto both = [&] {
        low.h.universe = high.h.universe = preview.h.universe = 8;
        low.send(s, lowSlots);
        high.send(s, highSlots);
        preview.send(s, filled(10, 220), e131::OPTION_PREVIEW);
    };
    ASSERT_TRUE(waitForOutput(expected, both, &last)) << "the higher priority does not win";

    // A late packet of the higher source is dropped and counted.
    high.h.sequence = (uint8_t)(high.h.sequence - 5);
    high.send(s, filled(10, 200));
    high.h.sequence = (uint8_t)(high.h.sequence + 5);
    // It ends its stream and is dropped at once: a new stream of it, at a sequence
    // number the old one would refuse (and keeps refusing while it is sent), is taken.
    high.send(s, highSlots, e131::OPTION_STREAM_TERMINATED);
    uint8_t restart = (uint8_t)(high.h.sequence - 10);
    std::vector<uint8_t> again = filled(10, 50);
    std::copy(again.begin(), again.end(), expected.begin() + 14);
    ASSERT_TRUE(waitForOutput(expected, [&] {
        high.h.sequence = restart;
        high.send(s, again);
        low.send(s, lowSlots);
    })) << "the ended source was not dropped";

    // It ends again: the lower takes over.
    high.send(s, again, e131::OPTION_STREAM_TERMINATED);
    std::copy(lowSlots.begin(), lowSlots.end(), expected.begin() + 14);
    ASSERT_TRUE(waitForOutput(expected, [&] { low.send(s, lowSlots); }))
        << "the lower source does not take over";

    Json::Value e = status()["bridge"]["e131"];
    ASSERT_EQ(1u, e["universes"].size()) << e;
    EXPECT_EQ(8, e["universes"][0]["universe"].asInt());
    // The late packet, and the repeats of the restarted stream's first.
    EXPECT_GE(e["universes"][0]["sequenceErrors"].asInt(), 1) << e;
    EXPECT_EQ(1u, e["universes"][0]["sources"].size()) << e;
}

TEST_F(BridgeTest, ArtNetAndDdpFramesReachTheOutputsAndAreBlankedWhenTheyExpire) {
    media.writeConfig(
        "bridge.json",
        "{\"timeoutMs\": 1000, \"artnet\": {\"enabled\": true, \"universes\": [{\"universe\": 3, "
        "\"count\": 1, \"universeSize\": 510, \"startChannel\": 21}]}, "
        "\"ddp\": {\"enabled\": true, \"port\": 4048, \"startChannel\": 41}}");
    media.writeOutputs(customUdp(1, 60, rx.port(), "{data}"));
    std::unique_ptr<Tavod> t = startWithHttp(media, {"--set", "HostName=stagebox", "run"}, port);
    ASSERT_TRUE(t);
    Sender s;

    // DDP: a frame in two packets is handed on only at the PUSH of the second.
    std::vector<uint8_t> pixels = filled(12, 60);
    uint8_t p[ddp::HEADER_SIZE + 6];
    ddp::Header h;
    h.sequence = 1;
    h.length = 6;
    ddp::encodeHeader(p, h);
    memcpy(p + ddp::HEADER_SIZE, pixels.data(), 6);
    s.send(ddp::PORT, p, sizeof(p));
    int64_t end = nowUs() + 10000000LL;
    while (status()["bridge"]["ddp"]["packets"].asInt() < 1 && nowUs() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Json::Value d = status()["bridge"]["ddp"];
    ASSERT_EQ(1, d["packets"].asInt()) << d;
    EXPECT_EQ(0, d["frames"].asInt()) << "a frame was handed on without its PUSH";
    h.flags |= ddp::FLAG_PUSH;
    h.sequence = 2;
    h.offset = 6;
    ddp::encodeHeader(p, h);
    memcpy(p + ddp::HEADER_SIZE, pixels.data() + 6, 6);
    s.send(ddp::PORT, p, sizeof(p));

    // Art-Net: 10 channels of port-address 3.
    std::vector<uint8_t> dmx = filled(10, 1);
    std::vector<uint8_t> expected(60, 0);
    std::copy(dmx.begin(), dmx.end(), expected.begin() + 20);
    std::copy(pixels.begin(), pixels.end(), expected.begin() + 40);
    std::vector<uint8_t> last;
    ASSERT_TRUE(waitForOutput(
        expected,
        [&] {
            uint8_t a[artnet::DMX_HEADER_SIZE + 10];
            size_t n = artnet::encodeDmx(a, 3, 0, dmx.data(), dmx.size());
            s.send(artnet::PORT, a, n);
        },
        &last))
        << "the output does not carry both";
    EXPECT_EQ(1, status()["bridge"]["ddp"]["frames"].asInt());

    // A controller polls (from port 6454 of another address, where the reply goes):
    // the board answers with its name and universe.
    int poller = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(poller, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in me;
    memset(&me, 0, sizeof(me));
    me.sin_family = AF_INET;
    me.sin_port = htons(artnet::PORT);
    me.sin_addr.s_addr = htonl(0x7f000002);
    ASSERT_EQ(0, bind(poller, reinterpret_cast<struct sockaddr*>(&me), sizeof(me))) << strerror(errno);
    struct sockaddr_in board = me;
    board.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint8_t poll[artnet::POLL_SIZE];
    size_t pollSize = artnet::encodePoll(poll);
    ASSERT_EQ((ssize_t)pollSize,
              sendto(poller, poll, pollSize, 0, reinterpret_cast<struct sockaddr*>(&board), sizeof(board)));
    struct pollfd pf = {poller, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&pf, 1, 10000)) << "no ArtPollReply";
    uint8_t reply[1024];
    ssize_t n = recv(poller, reply, sizeof(reply), 0);
    close(poller);
    artnet::Packet r = artnet::decode(reply, n > 0 ? (size_t)n : 0);
    ASSERT_EQ(artnet::PacketKind::pollReply, r.kind);
    EXPECT_EQ("stagebox", r.reply.shortName);
    ASSERT_EQ(1u, r.reply.outputs.size());
    EXPECT_EQ(3, r.reply.outputs[0]);
    EXPECT_EQ(127, r.reply.address[0]);

    // Nothing more comes: the data expires and the outputs go dark.
    ASSERT_TRUE(waitForOutput(std::vector<uint8_t>(60, 0), nullptr)) << "the outputs were not blanked";
    t->sendSignal(SIGTERM);
    ASSERT_TRUE(t->wait());
    EXPECT_EQ(0, t->exitCode()) << t->err();
}

namespace {

// Namespaces on one Ethernet segment with the test's: each joined to it by a veth
// pair whose near ends are the ports of one Linux bridge, so what they multicast
// arrives on one interface, the one tavod joins the groups on. Made from a test in a
// PrivateNetwork: the bridge's 169.254.10.1/24 and the near ends are the test's
// alone (a VethPair cannot be made there: it waits for its near end in /sys, which
// shows the namespace it was mounted in).
// Namespace i's end is 169.254.10.(2 + i), with its loopback up and the E1.31
// groups routed to it.
class SharedSegment {
public:
    explicit SharedSegment(int count) {
        const std::string id = std::to_string(getpid() % 100000);
        bridge = "tvsb" + id;
        if (run("ip link add " + bridge + " type bridge mcast_snooping 0") != 0) {
            m_reason = "cannot make a bridge device: does the kernel have bridging? " + m_output;
            return;
        }
        m_made = true;
        if (run("ip addr add 169.254.10.1/24 dev " + bridge) != 0 ||
            run("ip link set " + bridge + " up") != 0) {
            m_reason = "cannot bring the bridge up: " + m_output;
            return;
        }
        for (int i = 0; i < count; i++) {
            const std::string n = id + "x" + std::to_string(i);
            const std::string ns = "tvls" + n, near = "tvsh" + n, far = "tvsc" + n;
            if (run("ip netns add " + ns) != 0) {
                m_reason = "'ip netns add' failed: " + m_output;
                return;
            }
            namespaces.push_back(ns);
            peers.push_back("169.254.10." + std::to_string(2 + i));
            for (const std::string& c :
                 {"ip link add " + near + " type veth peer name " + far + " netns " + ns,
                  "ip link set " + near + " master " + bridge, "ip link set " + near + " up",
                  "ip -n " + ns + " addr add " + peers.back() + "/24 dev " + far,
                  "ip -n " + ns + " link set " + far + " up", "ip -n " + ns + " link set lo up",
                  "ip -n " + ns + " route add 239.255.0.0/16 dev " + far}) {
                if (run(c) != 0) {
                    m_reason = "'" + c + "' failed: " + m_output;
                    return;
                }
            }
        }
        m_ok = true;
    }
    ~SharedSegment() {
        for (const std::string& ns : namespaces) {
            run("ip netns del " + ns); // its end of the pair goes, and with it the near one
        }
        if (m_made) {
            run("ip link del " + bridge);
        }
    }
    SharedSegment(const SharedSegment&) = delete;
    SharedSegment& operator=(const SharedSegment&) = delete;

    // made(): the bridge device was made (else: skip); ok(): and all of it set up.
    bool made() const { return m_made; }
    bool ok() const { return m_ok; }
    const std::string& reason() const { return m_reason; }

    std::string bridge;
    std::vector<std::string> namespaces, peers; // peers: the far ends' addresses

private:
    int run(const std::string& command) { return runCommand(command, m_output); }

    bool m_made = false;
    bool m_ok = false;
    std::string m_reason;
    std::string m_output;
};

std::string bytesText(const std::vector<uint8_t>& v) {
    std::string s;
    for (uint8_t b : v) {
        s += (s.empty() ? "" : " ") + std::to_string(b);
    }
    return "[" + s + "]";
}

// olad senders in namespaces of their own on one segment with the test's; tavod in
// the test's private namespace, so no E1.31 of other tests reaches it.
class BridgeOlad : public ::testing::Test {
protected:
    void SetUp() override {
        if (!net.ok()) {
            GTEST_SKIP() << net.reason();
        }
        if (!segment.made()) {
            GTEST_SKIP() << segment.reason();
        }
        ASSERT_TRUE(segment.ok()) << segment.reason();
    }

    PrivateNetwork net; // first: the segment is made in the private namespace
    SharedSegment segment{2};
};

} // namespace

TEST_F(BridgeOlad, OladStreamsE131IntoTheBridgeAndTheOutputCarriesItByteForByte) {
    const std::string peer = segment.peers[0];
    OladPeer olad(segment.namespaces[0], peer);
    if (!olad.ok()) {
        if (olad.reason().find("not installed") != std::string::npos) {
            GTEST_SKIP() << olad.reason();
        }
        FAIL() << olad.reason();
    }
    ASSERT_TRUE(olad.SendE131(3, 0)) << olad.readLog();

    MediaDir media;
    UdpReceiver rx("127.0.0.1", 8 * 1024 * 1024);
    ASSERT_TRUE(rx.bound());
    media.writeConfig("bridge.json", "{\"e131\": {\"interface\": \"" + segment.bridge +
                                         "\", \"universes\": [{\"universe\": 3, \"universeSize\": 510, "
                                         "\"startChannel\": 11}]}}");
    media.writeOutputs(customUdp(1, 40, rx.port(), "{data}"));
    uint16_t port = 0;
    std::unique_ptr<Tavod> t = startWithHttp(media, {"run"}, port);
    ASSERT_TRUE(t);

    std::vector<int> values = {1, 2, 3, 250, 128, 0, 77, 9};
    std::vector<uint8_t> expected(40, 0);
    for (size_t i = 0; i < values.size(); i++) {
        expected[10 + i] = (uint8_t)values[i];
    }
    // olad sends a universe when it changes: alternate with another frame.
    bool other = false;
    std::vector<uint8_t> last;
    ASSERT_TRUE(waitForDatagram(
        rx, expected,
        [&] {
            std::vector<int> v = values;
            if ((other = !other)) {
                v[0] = 200;
            }
            olad.SetDmx(3, v);
        },
        &last))
        << "tavod:\n"
        << t->err() << "\nolad:\n"
        << olad.readLog();
    Json::Value e = parseJson(httpGet(port, "/api/status").body)["bridge"]["e131"]["universes"];
    ASSERT_EQ(1u, e.size()) << e;
    ASSERT_EQ(1u, e[0]["sources"].size()) << e;
    EXPECT_EQ(peer, e[0]["sources"][0]["address"].asString()) << e;
}

// Two olad instances, each in a namespace of its own, send universe 3 at priorities
// 100 and 150. The 150's data is what the output carries. Killed (SIGKILL: olad goes
// silent, no Stream_Terminated), the 150 keeps the universe until tavod drops it as
// silent (2.5 s), and only then does the 100's data take over. Shut down as usual
// (SIGTERM), olad ends its stream with Stream_Terminated packets of no slots, and
// tavod drops the 100 as ended.
TEST_F(BridgeOlad, TheOladAtPriority150WinsAndTheOneAt100TakesOverOnlyWhenTheSilent150TimesOut) {
    OladPeer low(segment.namespaces[0], segment.peers[0]);
    if (!low.ok()) {
        if (low.reason().find("not installed") != std::string::npos) {
            GTEST_SKIP() << low.reason();
        }
        FAIL() << low.reason();
    }
    OladPeer high(segment.namespaces[1], segment.peers[1]);
    ASSERT_TRUE(high.ok()) << high.reason();
    ASSERT_TRUE(low.SendE131(3, 0)) << low.readLog();
    ASSERT_TRUE(high.SendE131(3, 0)) << high.readLog();

    MediaDir media;
    UdpReceiver rx("127.0.0.1", 8 * 1024 * 1024);
    ASSERT_TRUE(rx.bound());
    // 16 channels of universe 3 land on channels 11 to 26.
    media.writeConfig("bridge.json", "{\"e131\": {\"interface\": \"" + segment.bridge +
                                         "\", \"universes\": [{\"universe\": 3, \"universeSize\": 16, "
                                         "\"startChannel\": 11}]}}");
    media.writeOutputs(customUdp(1, 40, rx.port(), "{data}"));
    uint16_t port = 0;
    std::unique_ptr<Tavod> t = startWithHttp(media, {"--log-level", "info", "run"}, port);
    ASSERT_TRUE(t);

    // Each is above the other in half the channels: the highest value of each
    // channel, as a merge that ignored priority would show, is neither.
    const std::vector<int> lowValues = {220, 5,  210, 15, 200, 25, 190, 35,
                                        180, 45, 170, 55, 160, 65, 150, 75};
    const std::vector<int> highValues = {10, 230, 20, 240, 30, 250, 40, 128, 50, 99, 60, 88, 70, 77, 80, 66};
    auto output = [](const std::vector<int>& values) {
        std::vector<uint8_t> o(40, 0);
        for (size_t i = 0; i < values.size(); i++) {
            o[10 + i] = (uint8_t)values[i];
        }
        return o;
    };
    const std::vector<uint8_t> lowOut = output(lowValues), highOut = output(highValues);
    // olad sends a universe only when it changed: a 17th value, past the bridged
    // channels, alternates from round to round.
    int round = 0;
    auto frame = [&](const std::vector<int>& values) {
        std::vector<int> v = values;
        v.push_back(1 + round % 2);
        return v;
    };
    // A round: the senders still up get their next frame (ola_streaming_client
    // loses one now and then), then the output's datagrams for 40 ms are looked at.
    std::vector<uint8_t> got;
    auto sendRound = [&](bool withHigh, const std::function<void(const std::vector<uint8_t>&)>& look) {
        round++;
        if (withHigh) {
            high.SetDmx(3, frame(highValues), 150);
        }
        low.SetDmx(3, frame(lowValues), 100);
        int64_t until = nowUs() + 40000;
        while (nowUs() < until) {
            if (rx.receive(got, 10)) {
                look(got);
            }
        }
    };
    auto logs = [&] { return "\ntavod:\n" + t->err() + "\nolad 100:\n" + low.readLog(); };
    auto sources = [&] {
        Json::Value u = parseJson(httpGet(port, "/api/status").body)["bridge"]["e131"]["universes"];
        return u.size() == 1 ? u[0]["sources"] : Json::Value(Json::arrayValue);
    };

    // (1) While both send, the 150's data is on the output, and nothing else.
    bool won = false;
    int64_t end = nowUs() + 15000000LL;
    while (!won && nowUs() < end) {
        sendRound(true, [&](const std::vector<uint8_t>& d) { won = won || d == highOut; });
    }
    ASSERT_TRUE(won) << "the 150's data never reached the output; the last datagram: " << bytesText(got)
                     << logs() << "\nolad 150:\n"
                     << high.readLog();
    // For three datagrams more (unchanged output is refreshed once a second).
    int frames = 0, others = 0;
    std::vector<uint8_t> other;
    end = nowUs() + 20000000LL;
    while (frames < 3 && nowUs() < end) {
        sendRound(true, [&](const std::vector<uint8_t>& d) {
            frames++;
            if (d != highOut) {
                others++;
                other = d;
            }
        });
    }
    ASSERT_GE(frames, 3) << "the output stopped sending" << logs();
    ASSERT_EQ(0, others) << others << " of " << frames << " datagrams were not the 150's data, as "
                         << bytesText(other) << " (the 100's: " << bytesText(lowOut) << ")";
    Json::Value s = sources();
    ASSERT_EQ(2u, s.size()) << s;
    std::map<int, std::string> addressOf;
    for (const Json::Value& x : s) {
        addressOf[x["priority"].asInt()] = x["address"].asString();
    }
    EXPECT_EQ(segment.peers[0], addressOf[100]) << s;
    EXPECT_EQ(segment.peers[1], addressOf[150]) << s;

    // (2) The 150's last frame: sent once olad holds it (resent until it does).
    // From then on the 150 is silent: it is killed, which ends no stream.
    int64_t lastDataUs = 0;
    bool held = false;
    end = nowUs() + 15000000LL;
    while (!held && nowUs() < end) {
        round++;
        std::vector<int> last = frame(highValues);
        lastDataUs = nowUs();
        high.SetDmx(3, last, 150);
        low.SetDmx(3, frame(lowValues), 100);
        for (int i = 0; i < 10 && !held; i++) {
            held = high.Dmx(3) == last;
            if (!held) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
    }
    ASSERT_TRUE(held) << "olad never took the 150's last frame\n" << high.readLog();
    const int64_t killUs = nowUs();
    ASSERT_TRUE(high.Stop(SIGKILL));
    int64_t takeoverUs = 0;
    int framesAfter = 0;
    frames = 0;
    auto look = [&](const std::vector<uint8_t>& d) {
        frames++;
        framesAfter += takeoverUs != 0;
        if (d == lowOut && !takeoverUs) {
            takeoverUs = nowUs();
        } else if (d != (takeoverUs ? lowOut : highOut)) {
            others++;
            other = d;
        }
    };
    end = nowUs() + 20000000LL;
    while (!takeoverUs && nowUs() < end) {
        sendRound(false, look);
    }
    ASSERT_NE(0, takeoverUs) << "the 100 did not take over within 20 s of the 150's kill; the last datagram: "
                             << bytesText(got) << logs();
    // And it keeps the universe, for three datagrams more.
    end = nowUs() + 20000000LL;
    while (framesAfter < 3 && nowUs() < end) {
        sendRound(false, look);
    }
    EXPECT_GE(framesAfter, 3) << "the output stopped sending" << logs();
    EXPECT_EQ(0, others) << others << " of " << frames
                         << " datagrams after the kill were neither the 150's data before the takeover nor "
                            "the 100's after it, as "
                         << bytesText(other);
    EXPECT_GE(takeoverUs - lastDataUs, 2000000)
        << "the 100 took over " << (takeoverUs - lastDataUs) / 1000 << " ms after the 150's last data ("
        << (takeoverUs - killUs) / 1000 << " ms after its kill), before the 2.5 s source timeout";
    s = sources();
    ASSERT_EQ(1u, s.size()) << s;
    EXPECT_EQ(100, s[0]["priority"].asInt()) << s;
    EXPECT_EQ(segment.peers[0], s[0]["address"].asString()) << s;
    // The kill ended no stream: the 150 was dropped as silent.
    EXPECT_EQ(std::string::npos, t->err().find("ended universe 3")) << t->err();

    // (3) olad's own shutdown ends its stream: the 100 is dropped as ended.
    ASSERT_TRUE(low.Stop(SIGTERM)) << low.readLog();
    bool ended = false;
    end = nowUs() + 10000000LL;
    while (!ended && nowUs() < end) {
        ended = t->err().find("ended universe 3") != std::string::npos;
        if (!ended) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    EXPECT_TRUE(ended) << "no Stream_Terminated taken from olad's shutdown" << logs();
    EXPECT_EQ(0u, sources().size());
}

namespace {

// Which frame of the test sequence `data` holds, read at channel `first` on (the
// test files' channel values are a function of frame and channel); -1 for none.
int frameOf(const std::vector<uint8_t>& data, uint32_t first, uint32_t frames) {
    for (uint32_t f = 0; f < frames; f++) {
        bool all = !data.empty();
        for (size_t c = 0; c < data.size() && all; c++) {
            all = data[c] == testChannelValue(f, first + (uint32_t)c);
        }
        if (all) {
            return (int)f;
        }
    }
    return -1;
}

} // namespace

// One tavod streams its show over E1.31 to another in bridge mode: the second's
// output carries the first one's frames, in order, byte for byte; while the second
// plays a show of its own, "bridgeDataPriority" decides which one the outputs show.
TEST_F(BridgeTest, ATavodStreamsItsShowToAnotherWhosePrioritySettingDecides) {
    constexpr uint32_t FRAMES = 120;
    MediaDir sender;
    ASSERT_TRUE(sender.writeSequence("show.lcsf", 30, FRAMES, 25));
    sender.writeOutputs("{\"type\": \"E131\", \"enabled\": 1, \"startChannel\": 1, \"channelCount\": 30, "
                        "\"universe\": 9, \"universeSize\": 30, \"address\": \"127.0.0.1\"}");
    // The bridge lands universe 9 on channels 31-60, beside a show of its own on 1-60.
    media.writeConfig("bridge.json", "{\"timeoutMs\": 500, \"e131\": {\"universes\": [{\"universe\": 9, "
                                     "\"universeSize\": 30, \"startChannel\": 31}]}}");
    media.writeOutputs(customUdp(31, 30, rx.port(), "{data}"));
    ASSERT_TRUE(media.writeSequence("own.lcsf", 60, 400, 25));
    std::unique_ptr<Tavod> bridge = startWithHttp(media, {"run"}, port);
    ASSERT_TRUE(bridge);

    auto stream = [&] {
        return std::make_unique<Tavod>(sender.path(), tavodArgs(sender, {"play", "show.lcsf", "--loop"}));
    };
    // Idle, the bridge shows the stream. Every datagram is a frame of it or the blank.
    std::unique_ptr<Tavod> a = stream();
    std::vector<int> frames;
    std::vector<uint8_t> got;
    int64_t end = nowUs() + 20000000LL;
    while (nowUs() < end && (frames.empty() || frames.back() < (int)FRAMES - 1)) {
        if (!rx.receive(got, 100)) {
            continue;
        }
        int f = frameOf(got, 0, FRAMES);
        if (f < 0) {
            ASSERT_EQ(got, std::vector<uint8_t>(30, 0)) << "neither a frame of the stream nor the blank";
            continue;
        }
        if (frames.empty() || frames.back() != f) {
            frames.push_back(f);
        }
    }
    ASSERT_FALSE(frames.empty()) << "the stream never reached the bridge's output:\n"
                                 << bridge->err() << a->err();
    EXPECT_EQ(frames.back(), (int)FRAMES - 1) << "the stream's last frame";
    EXPECT_TRUE(std::is_sorted(frames.begin(), frames.end())) << "frames out of order";
    EXPECT_GE(frames.size(), (size_t)FRAMES / 2) << "most frames of the stream are shown";

    // Playing its own show, by default the bridge keeps to it and warns.
    ASSERT_EQ(httpRequest(port, "POST", "/api/playback",
                          "{\"action\": \"play\", \"sequence\": \"own.lcsf\", \"loop\": true}")
                  .status,
              200);
    auto ownFrame = [&](int tries) {
        int f = -1;
        for (int i = 0; i < tries && f < 0; i++) {
            if (rx.receive(got, 100)) {
                f = frameOf(got, 30, 400);
            }
        }
        return f;
    };
    ASSERT_GE(ownFrame(100), 0) << "its own show is not on the output while the stream goes on";
    // Once the stream's last data before the show has expired, only the show.
    for (int i = 0; i < 20; i++) {
        ASSERT_TRUE(rx.receive(got, 5000));
        EXPECT_GE(frameOf(got, 30, 400), 0) << "the stream showed through the show at datagram " << i;
    }
    end = nowUs() + 10000000LL;
    bool warned = false;
    while (nowUs() < end && !warned) {
        warned =
            httpGet(port, "/api/warnings").body.find("Received bridging data while sequence is running") !=
            std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(warned);
    // "Ignore": the stream wins over the show.
    ASSERT_EQ(httpRequest(port, "PUT", "/api/settings/bridgeDataPriority", "\"Ignore\"").status, 200);
    int streamed = -1;
    end = nowUs() + 10000000LL;
    while (nowUs() < end && streamed < 0) {
        if (rx.receive(got, 100)) {
            streamed = frameOf(got, 0, FRAMES);
        }
    }
    EXPECT_GE(streamed, 0) << "the stream does not win with \"Ignore\"";
    a->sendSignal(SIGTERM);
    EXPECT_TRUE(a->wait());
}
