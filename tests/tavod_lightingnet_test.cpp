// tavod's E1.31, Art-Net and DDP outputs through the real daemon: what olad reads
// back, what tshark decodes, and the sequence numbers, keep-alive, sync and
// termination that peers get wrong, checked packet by packet.
#include "OladPeer.h"
#include "PrivateNetwork.h"
#include "TavodTestSupport.h"
#include "VethPair.h"
#include "protocols/ArtNet.h"
#include "protocols/DDP.h"
#include "protocols/E131.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace tavodtest;
using namespace protocols;

namespace {

// A UDP socket on a fixed port of the private loopback, collecting until quiet.
class PortReceiver {
public:
    explicit PortReceiver(uint16_t port) {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int size = 8 * 1024 * 1024;
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
        struct sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        m_ok = bind(m_fd, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)) == 0;
    }
    ~PortReceiver() { close(m_fd); }
    bool ok() const { return m_ok; }
    // Everything that arrives until tavod has exited and `quietMs` passed without a datagram.
    std::vector<Datagram> collect(Tavod& t, int quietMs = 500) {
        std::vector<Datagram> r;
        int64_t end = nowUs() + 30 * 1000000LL;
        while (nowUs() < end) {
            struct pollfd p = {m_fd, POLLIN, 0};
            if (poll(&p, 1, t.running() ? 100 : quietMs) <= 0) {
                if (!t.running()) {
                    break;
                }
                continue;
            }
            Datagram d;
            d.bytes.resize(2048);
            ssize_t n = recv(m_fd, d.bytes.data(), d.bytes.size(), 0);
            if (n > 0) {
                d.bytes.resize((size_t)n);
                d.timeUs = nowUs();
                r.push_back(d);
            }
        }
        return r;
    }

private:
    int m_fd = -1;
    bool m_ok = false;
};

std::string e131Output(int start, int count, const std::string& extra) {
    return "{\"type\": \"E131\", \"enabled\": 1, \"startChannel\": " + std::to_string(start) +
           ", \"channelCount\": " + std::to_string(count) + ", \"universeSize\": 510" + extra + "}";
}

// True when `slots` equal channels [first, first + n) of some frame of the show, or
// are all zero (the blank after it).
bool isShowSlice(const uint8_t* slots, size_t n, uint32_t first, uint32_t frames, uint32_t showChannels) {
    bool zero = true;
    for (size_t i = 0; i < n; i++) {
        zero = zero && slots[i] == 0;
    }
    if (zero) {
        return true;
    }
    for (uint32_t f = 0; f < frames; f++) {
        bool same = true;
        for (size_t i = 0; i < n && same; i++) {
            uint32_t c = first + (uint32_t)i;
            same = slots[i] == (c < showChannels ? testChannelValue(f, c) : 0);
        }
        if (same) {
            return true;
        }
    }
    return false;
}

class LightingNetTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!net.ok()) {
            GTEST_SKIP() << net.reason();
        }
    }
    PrivateNetwork net;
    MediaDir media;
};

} // namespace

TEST_F(LightingNetTest, E131StreamsCarrySequenceSyncKeepAliveAndEndWithTermination) {
    // 1020 channels of the show in universes 1 and 2; universe 10 carries channels
    // past the show's, which never change: only keep-alive sends it.
    const uint32_t frames = 60;
    ASSERT_TRUE(media.writeSequence("show.lcsf", 1020, frames, 25));
    media.writeOutputs(
        e131Output(1, 1020,
                   ", \"universe\": 1, \"address\": \"127.0.0.1\", \"priority\": 150, "
                   "\"syncUniverse\": 5000, \"sourceName\": \"stage\"") +
        ", " + e131Output(2001, 510, ", \"universe\": 10, \"address\": \"127.0.0.1\", \"keepAliveMs\": 200"));
    PortReceiver rx(e131::PORT);
    ASSERT_TRUE(rx.ok());
    Tavod t(media.path(), tavodArgs(media, {"play", "show.lcsf"}));
    std::vector<Datagram> got = rx.collect(t);
    ASSERT_TRUE(t.wait());
    ASSERT_EQ(0, t.exitCode()) << t.err();

    std::map<uint16_t, std::vector<e131::Packet>> byUniverse;
    std::set<std::string> cids;
    size_t syncs = 0;
    bool dataSinceSync = false;
    for (const Datagram& d : got) {
        std::string why;
        e131::Packet p = e131::decode(d.bytes.data(), d.bytes.size(), &why);
        ASSERT_NE(e131::PacketKind::invalid, p.kind) << why;
        cids.insert(std::string(p.cid.begin(), p.cid.end()));
        if (p.kind == e131::PacketKind::sync) {
            EXPECT_EQ(5000, p.syncAddress);
            EXPECT_TRUE(dataSinceSync) << "a sync packet without data before it";
            dataSinceSync = false;
            syncs++;
            continue;
        }
        ASSERT_EQ(e131::PacketKind::data, p.kind);
        if (p.universe <= 2) {
            dataSinceSync = true;
            EXPECT_EQ(150, p.priority);
            EXPECT_EQ(5000, p.syncAddress);
            EXPECT_EQ("stage", p.sourceName);
            EXPECT_TRUE(isShowSlice(p.slots, p.slotCount, (p.universe - 1) * 510u, frames, 1020));
        } else {
            EXPECT_EQ(10, p.universe);
            EXPECT_EQ(100, p.priority);
            EXPECT_EQ(0, p.syncAddress);
            EXPECT_EQ(0u, p.sourceName.find("tavod "));
        }
        EXPECT_EQ(510u, p.slotCount);
        byUniverse[p.universe].push_back(p);
    }
    // Each output has one CID (two outputs: two sources).
    EXPECT_EQ(2u, cids.size());
    ASSERT_EQ(3u, byUniverse.size());
    EXPECT_GE(syncs, frames / 2);

    for (auto& u : byUniverse) {
        std::vector<e131::Packet>& ps = u.second;
        ASSERT_GE(ps.size(), 4u) << "universe " << u.first;
        for (size_t i = 1; i < ps.size(); i++) {
            EXPECT_EQ((uint8_t)(ps[i - 1].sequence + 1), ps[i].sequence)
                << "universe " << u.first << " packet " << i;
        }
        // The stream ends with three terminations, after the blank.
        size_t n = ps.size();
        for (size_t i = n - 3; i < n; i++) {
            EXPECT_TRUE(ps[i].options & e131::OPTION_STREAM_TERMINATED) << "universe " << u.first;
        }
        EXPECT_FALSE(ps[n - 4].options & e131::OPTION_STREAM_TERMINATED);
        for (size_t s = 0; s < ps[n - 4].slotCount; s++) {
            ASSERT_EQ(0, ps[n - 4].slots[s])
                << "the last data of universe " << u.first << " is not the blank";
        }
    }
    // Universe 10 never changed: it went out on keep-alive alone (at least its first
    // packet and three more in the show's 1.5 s at 200 ms), then its terminations.
    EXPECT_GE(byUniverse[10].size(), 4u + 3u);
}

TEST_F(LightingNetTest, ArtNetAndDdpCarryEveryFrameInOrder) {
    const uint32_t frames = 40;
    const uint32_t channels = 2000;
    ASSERT_TRUE(media.writeSequence("show.lcsf", channels, frames, 25));
    media.writeOutputs(
        "{\"type\": \"ArtNet\", \"enabled\": 1, \"startChannel\": 1, \"channelCount\": 1020, \"address\": "
        "\"127.0.0.1\", \"universe\": 16, \"sync\": true}, "
        // A host name: the engine looks it up off the frame path, then the output sends.
        "{\"type\": \"DDP\", \"enabled\": 1, \"startChannel\": 1, \"channelCount\": 2000, \"address\": "
        "\"localhost\", \"destinationId\": 3}");
    PortReceiver art(artnet::PORT);
    PortReceiver ddpRx(ddp::PORT);
    ASSERT_TRUE(art.ok() && ddpRx.ok());
    Tavod t(media.path(), tavodArgs(media, {"play", "show.lcsf"}));
    std::vector<Datagram> ddpGot;
    std::thread ddpThread([&] { ddpGot = ddpRx.collect(t); });
    std::vector<Datagram> artGot = art.collect(t);
    ddpThread.join();
    ASSERT_TRUE(t.wait());
    ASSERT_EQ(0, t.exitCode()) << t.err();

    // Art-Net: port-addresses 16 and 17, sequences 1 to 255 per universe, an ArtSync
    // after each frame's data.
    std::map<uint16_t, uint8_t> lastSeq;
    size_t syncs = 0, dmx = 0;
    bool dataSinceSync = false;
    for (const Datagram& d : artGot) {
        artnet::Packet p = artnet::decode(d.bytes.data(), d.bytes.size());
        if (p.kind == artnet::PacketKind::sync) {
            EXPECT_TRUE(dataSinceSync);
            dataSinceSync = false;
            syncs++;
            continue;
        }
        ASSERT_EQ(artnet::PacketKind::dmx, p.kind);
        ASSERT_TRUE(p.portAddress == 16 || p.portAddress == 17) << p.portAddress;
        EXPECT_EQ(510u, p.length);
        EXPECT_NE(0, p.sequence);
        if (lastSeq.count(p.portAddress)) {
            uint8_t want = lastSeq[p.portAddress] == 255 ? 1 : lastSeq[p.portAddress] + 1;
            EXPECT_EQ(want, p.sequence);
        } else {
            EXPECT_EQ(1, p.sequence);
        }
        lastSeq[p.portAddress] = p.sequence;
        EXPECT_TRUE(isShowSlice(p.data, p.length, (p.portAddress - 16) * 510u, frames, channels));
        dataSinceSync = true;
        dmx++;
    }
    EXPECT_GE(dmx, (size_t)frames);
    EXPECT_GE(syncs, (size_t)frames / 2);

    // DDP: frames of two packets (offsets 0 and 1440), PUSH on the second only,
    // sequence numbers 1 to 15 in turn; each frame put together is a frame of the
    // show, and the frames come in the show's order.
    ASSERT_FALSE(ddpGot.empty());
    uint8_t seq = 0;
    std::vector<uint8_t> frame(channels, 0);
    int lastFrame = -1;
    size_t pushes = 0;
    for (const Datagram& d : ddpGot) {
        ddp::Packet p = ddp::decode(d.bytes.data(), d.bytes.size());
        ASSERT_TRUE(p.valid);
        EXPECT_EQ(3, p.header.destination);
        if (seq) {
            EXPECT_EQ(ddp::nextSequence(seq), p.header.sequence);
        }
        seq = p.header.sequence;
        ASSERT_TRUE(p.header.offset == 0 || p.header.offset == 1440) << p.header.offset;
        ASSERT_EQ(p.header.offset == 0 ? 1440u : 560u, p.length);
        EXPECT_EQ(p.header.offset == 1440, p.push());
        memcpy(frame.data() + p.header.offset, p.data, p.length);
        if (!p.push()) {
            continue;
        }
        pushes++;
        int which = -2;
        for (uint32_t f = 0; f < frames && which == -2; f++) {
            bool same = true;
            for (uint32_t c = 0; c < channels && same; c++) {
                same = frame[c] == testChannelValue(f, c);
            }
            which = same ? (int)f : -2;
        }
        if (which == -2 && std::all_of(frame.begin(), frame.end(), [](uint8_t v) { return v == 0; })) {
            which = lastFrame; // the blank at the end
        }
        ASSERT_NE(-2, which) << "a DDP frame that is no frame of the show";
        EXPECT_GE(which, lastFrame);
        lastFrame = which;
    }
    EXPECT_GE(pushes, (size_t)frames / 2);
    EXPECT_EQ((int)frames - 1, lastFrame);
}

TEST_F(LightingNetTest, TsharkDecodesTheE131AndArtNetHeaders) {
    if (access("/usr/bin/tshark", X_OK) != 0) {
        GTEST_SKIP() << "Debian's tshark is not installed; scripts/install-deps.sh installs it";
    }
    ASSERT_TRUE(media.writeSequence("show.lcsf", 1020, 40, 25));
    media.writeOutputs(
        e131Output(1, 1020, ", \"universe\": 7, \"address\": \"127.0.0.1\", \"priority\": 42") +
        ", {\"type\": \"ArtNet\", \"enabled\": 1, \"startChannel\": 1, \"channelCount\": 510, "
        "\"address\": \"127.0.0.1\", \"universe\": 3, \"sync\": true, \"discover\": true}");
    std::string capture = media.file("capture.pcapng");
    std::string log = media.file("tshark.log");
    pid_t shark = fork();
    if (shark == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        execl("/usr/bin/tshark", "tshark", "-i", "lo", "-f", "udp port 5568 or udp port 6454", "-w",
              capture.c_str(), (char*)nullptr);
        _exit(127);
    }
    // tshark says when it captures; nothing sent before that is seen.
    for (int i = 0; i < 1000 && readFileBytes(log).find("Capturing on") == std::string::npos; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    {
        Tavod t(media.path(), tavodArgs(media, {"play", "show.lcsf"}));
        ASSERT_TRUE(t.wait());
        ASSERT_EQ(0, t.exitCode()) << t.err();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(shark, SIGINT);
    int st;
    waitpid(shark, &st, 0);

    auto fields = [&](const std::string& filter, const std::string& list) {
        std::string cmd = "tshark -r " + capture + " --enable-heuristic acn -o acn.dmx_enable:TRUE -Y '" +
                          filter + "' -T fields -E separator=, " + list + " 2>/dev/null";
        std::vector<std::string> lines;
        FILE* p = popen(cmd.c_str(), "r");
        char buf[512];
        while (p && fgets(buf, sizeof(buf), p)) {
            std::string l = buf;
            l.erase(l.find_last_not_of("\n") + 1);
            lines.push_back(l);
        }
        if (p) {
            pclose(p);
        }
        return lines;
    };
    std::vector<std::string> e131 =
        fields("acn.dmx.universe", "-e acn.dmx.universe -e acn.dmx.priority -e acn.dmx.seq_number -e acn.cid "
                                   "-e acn.dmx.options -e acn.dmx.count");
    ASSERT_GE(e131.size(), 40u) << readFileBytes(log);
    std::set<std::string> cids;
    std::map<int, int> lastSeq;
    int terminated = 0;
    for (const std::string& l : e131) {
        int universe = 0, priority = 0, seq = 0, count = 0;
        char cid[64] = "";
        unsigned options = 0;
        ASSERT_EQ(
            6, sscanf(l.c_str(), "%d,%d,%d,%63[^,],%x,%d", &universe, &priority, &seq, cid, &options, &count))
            << l;
        EXPECT_TRUE(universe == 7 || universe == 8) << l;
        EXPECT_EQ(42, priority);
        EXPECT_EQ(511, count); // the start code and 510 slots
        cids.insert(cid);
        if (lastSeq.count(universe)) {
            EXPECT_EQ((lastSeq[universe] + 1) % 256, seq) << l;
        }
        lastSeq[universe] = seq;
        terminated += (options & 0x40) ? 1 : 0;
    }
    EXPECT_EQ(1u, cids.size());
    EXPECT_EQ(6, terminated); // three per universe

    std::vector<std::string> dmx =
        fields("artnet.output", "-e artnet.output.universe -e artnet.output.sequence");
    ASSERT_GE(dmx.size(), 40u);
    for (const std::string& l : dmx) {
        EXPECT_EQ(0u, l.find("3,")) << l;
    }
    EXPECT_GE(fields("artnet.header.opcode == 0x5200", "-e artnet.header.opcode").size(), 20u);
    EXPECT_GE(fields("artnet.poll", "-e artnet.header.protver").size(), 1u);
}

TEST(LightingNetOlad, OladReadsBackEveryUniverseTavodSends) {
    // In the test's own namespace: the kernel's view of a veth end (sysfs) is that
    // of the namespace /sys belongs to. The link-local pair goes with the veth pair.
    VethPair veth;
    if (!veth.ok()) {
        GTEST_SKIP() << veth.reason();
    }
    std::string peer;
    ASSERT_TRUE(veth.AddLinkLocalAddresses(peer));
    OladPeer olad(veth.ns, peer);
    if (!olad.ok()) {
        if (olad.reason().find("not installed") != std::string::npos) {
            GTEST_SKIP() << olad.reason();
        }
        FAIL() << olad.reason();
    }
    for (int u = 1; u <= 4; u++) {
        ASSERT_TRUE(olad.ReceiveE131(u, u - 1)) << olad.readLog();
    }
    ASSERT_TRUE(olad.ReceiveArtNet(20, 0)); // Art-Net port-address 4 (20 & 15)
    ASSERT_TRUE(olad.ReceiveArtNet(21, 1));

    // One frame, looped: what olad holds must be exactly it.
    MediaDir media;
    const uint32_t channels = 2040;
    ASSERT_TRUE(media.writeSequence("still.lcsf", channels, 1, 25));
    media.writeOutputs(
        e131Output(1, 2040, ", \"universe\": 1, \"address\": \"" + peer + "\"") +
        ", {\"type\": \"ArtNet\", \"enabled\": 1, \"startChannel\": 1021, \"channelCount\": 1020, "
        "\"address\": \"" +
        peer + "\", \"universe\": 4}");
    Tavod t(media.path(), tavodArgs(media, {"play", "still.lcsf", "--loop"}));
    auto want = [&](uint32_t first) {
        std::vector<int> v;
        for (uint32_t c = first; c < first + 510; c++) {
            v.push_back(testChannelValue(0, c));
        }
        return v;
    };
    std::map<int, uint32_t> universes = {{1, 0}, {2, 510}, {3, 1020}, {4, 1530}, {20, 1020}, {21, 1530}};
    for (const auto& u : universes) {
        std::vector<int> got;
        for (int i = 0; i < 200 && got != want(u.second); i++) {
            got = olad.Dmx(u.first);
            if (got != want(u.second)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        EXPECT_EQ(want(u.second), got) << "olad's universe " << u.first << "; tavod:\n" << t.err();
    }
    t.sendSignal(SIGTERM);
    EXPECT_TRUE(t.wait());
    EXPECT_EQ(0, t.exitCode());
}

TEST(LightingNetConfig, BadKeysAreNamedWithTheirRangeByTheCheckAndAtStart) {
    MediaDir media;
    ASSERT_TRUE(media.writeSequence("show.lcsf", 600, 4, 25));
    media.writeOutputs(
        e131Output(1, 510, ", \"universe\": 0, \"address\": \"127.0.0.1\"") + ", " +
        e131Output(1, 600, ", \"universe\": 63999, \"address\": \"127.0.0.1\"") +
        ", {\"type\": \"ArtNet\", \"startChannel\": 1, \"channelCount\": 510, \"address\": "
        "\"127.0.0.1\", \"universeSize\": 511}, "
        "{\"type\": \"DDP\", \"startChannel\": 1, \"channelCount\": 510, \"adress\": \"127.0.0.1\", "
        "\"port\": 70000}");
    Tavod check(media.path(),
                {"--media-dir", media.path(), "--plugin-dir", TAVO_PLUGIN_DIR, "--check-config"});
    ASSERT_TRUE(check.wait());
    EXPECT_EQ(1, check.exitCode());
    std::string out = check.out() + check.err();
    for (const char* want :
         {"E131 output: \"universe\" 0 is outside 1 to 63999",
          "\"channelCount\" 600 needs 2 universes of 510 from \"universe\" 63999, past the last "
          "universe 63999",
          "ArtNet output: \"universeSize\" must be even", "DDP output: \"port\" 70000 is outside 1 to 65535",
          "unknown key \"adress\"; did you mean \"address\"?"}) {
        EXPECT_NE(std::string::npos, out.find(want)) << "missing: " << want << "\nin:\n" << out;
    }
    // At start the same outputs are left out, and the show plays without them.
    Tavod t(media.path(), tavodArgs(media, {"play", "show.lcsf"}));
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(0, t.exitCode()) << t.err();
    EXPECT_NE(std::string::npos, t.err().find("E131 output: \"universe\" 0 is outside 1 to 63999"))
        << t.err();
}
