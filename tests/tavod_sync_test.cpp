// Many boards in sync through real tavods on a private loopback: a leader and
// followers, each board's CustomUDP output carrying the frame number it shows to a
// collector that takes every datagram's arrival time from the kernel (so that a
// pause of the test process itself cannot put two boards' frames side by side). One follower's clocks run 0.5
// % fast (faketime's library preloaded with a rate): without sync it drifts; with sync it stays within a
// frame of the leader, and a follower started late catches up.
#include "BridgedNamespaces.h"
#include "Lateness.h"
#include "ProcessProbes.h"
#include "PrivateNetwork.h"
#include "TavodTestSupport.h"
#include "VethPair.h"
#include "protocols/Sync.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using namespace tavodtest;

namespace {

constexpr int FRAMES = 640; // 16 s of 25 ms
constexpr uint16_t LEADER_PORT = 32400;

struct Shown {
    int64_t timeUs;
    int frame;
};

// One board: its media folder, with the show that carries its frame numbers, and
// the receiver its output sends to.
struct Board {
    MediaDir media;
    UdpReceiver rx;
    std::unique_ptr<Tavod> tavod;
    std::vector<Shown> shown;

    // `address`: where the receiver listens (a veth end for a board in another
    // namespace); `frames`: the show's length, in frames of 25 ms.
    explicit Board(const std::string& address = "127.0.0.1", int frames = FRAMES)
        : rx(address.c_str(), 8 * 1024 * 1024) {
        int on = 1;
        setsockopt(rx.fd(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
        const std::string raw = media.path() + "/show.raw";
        std::ofstream out(raw, std::ios::binary);
        for (int f = 0; f < frames; f++) {
            out.put(static_cast<char>(f >> 8)).put(static_cast<char>(f & 255)).put(1);
        }
        out.close();
        Tavod lcsf(media.path(),
                   {"create", media.sequencePath("show.lcsf"), "--channels", "3", "--frames",
                    std::to_string(frames), "--step", "25", "--from-raw", raw},
                   -1, -1, std::string(TAVO_BIN_DIR) + "/lcsf");
        EXPECT_TRUE(lcsf.wait());
        media.writeOutputs(customUdp(1, 3, rx.port(), "{data}", address));
    }
    // Starts tavod with `args`, its clocks `fast` by 0.5 % when asked, in network
    // namespace `ns` when one is named.
    void start(const std::vector<std::string>& args, bool fast, const std::string& ns = "") {
        if (fast) {
            setenv("LD_PRELOAD", fakeTimeLibrary().c_str(), 1);
            setenv("FAKETIME", "+0 x1.005", 1);
        }
        std::vector<std::string> a = tavodArgs(media, args);
        if (ns.empty()) {
            tavod = std::make_unique<Tavod>(media.path(), a);
        } else {
            a.insert(a.begin(), {"netns", "exec", ns, std::string(TAVO_BIN_DIR) + "/tavod"});
            tavod = std::make_unique<Tavod>(media.path(), a, -1, -1, "/usr/bin/ip");
        }
        unsetenv("LD_PRELOAD");
        unsetenv("FAKETIME");
    }
    // Takes what arrived so far, with the kernel's arrival times.
    void drain() {
        std::vector<uint8_t> d(2048);
        int64_t at = 0;
        ssize_t n;
        while ((n = ReceiveStamped(rx.fd(), d, at, 0)) >= 0) {
            if (n == 3 && d[2] == 1) {
                shown.push_back({at, d[0] << 8 | d[1]});
            }
        }
    }
};

std::vector<std::string> syncArgs(const char* mode, uint16_t port, const std::string& to) {
    return {"--set", std::string("syncMode=") + mode,
            "--set", "syncPort=" + std::to_string(port),
            "--set", "syncUnicast=" + to};
}

// The follower's frame less the leader's at each follower datagram from `fromUs` on:
// the leader's frame is the last one it had sent by then.
std::vector<int> differences(const std::vector<Shown>& leader, const std::vector<Shown>& follower,
                             int64_t fromUs, int frames = FRAMES) {
    std::vector<int> d;
    size_t li = 0;
    for (const Shown& f : follower) {
        while (li + 1 < leader.size() && leader[li + 1].timeUs <= f.timeUs) {
            li++;
        }
        if (f.timeUs < fromUs || leader.empty() || leader[li].timeUs > f.timeUs ||
            (leader.back().frame == frames - 1 && f.timeUs > leader.back().timeUs)) {
            continue;
        }
        d.push_back(f.frame - leader[li].frame);
    }
    return d;
}

// Collects every board's output until the leader's show has ended.
void watch(std::vector<Board*> boards, const std::function<void(int64_t)>& tick = nullptr,
           int frames = FRAMES) {
    int64_t end = nowUs() + (frames * 25 + 15000) * 1000LL;
    Board& leader = *boards[0];
    while (nowUs() < end && (leader.shown.empty() || leader.shown.back().frame < frames - 1)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        for (Board* b : boards) {
            b->drain();
        }
        if (tick) {
            tick(nowUs());
        }
    }
}

class TavodSyncTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!net.ok()) {
            GTEST_SKIP() << net.reason();
        }
        if (fakeTimeLibrary().empty()) {
            GTEST_SKIP() << "libfaketime is not installed (Debian package faketime, a test dependency)";
        }
    }
    PrivateNetwork net;
};

TEST_F(TavodSyncTest, AFastFollowerDriftsAloneAndKeepsInStepWhenSynced) {
    // Alone: both started together, the fast one gains a frame every 5 s.
    {
        Board leader, fast;
        leader.start({"play", "show.lcsf"}, false);
        fast.start({"play", "show.lcsf"}, true);
        watch({&leader, &fast});
        ASSERT_FALSE(fast.shown.empty()) << fast.tavod->err();
        std::vector<int> d = differences(leader.shown, fast.shown, 0);
        ASSERT_GT(d.size(), 400u);
        int early = d[50], late = d[d.size() - 20];
        EXPECT_GE(late - early, 2) << "a clock 0.5 % fast drifts 3 frames in 15 s; it drifted "
                                   << late - early;
    }
    // Synced: the fast one, and one started 5 s into the show.
    Board leader, fast, late;
    std::vector<std::string> follow = syncArgs("follower", 32401, "127.0.0.1:" + std::to_string(LEADER_PORT));
    follow.push_back("run");
    fast.start(follow, true);
    std::vector<std::string> lead = syncArgs("leader", LEADER_PORT, "127.0.0.1:32401,127.0.0.1:32402");
    lead.insert(lead.end(), {"play", "show.lcsf"});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    leader.start(lead, false);
    const int64_t started = nowUs();
    bool lateStarted = false;
    watch({&leader, &fast, &late}, [&](int64_t now) {
        if (!lateStarted && now - started > 5000000) {
            lateStarted = true;
            std::vector<std::string> a =
                syncArgs("follower", 32402, "127.0.0.1:" + std::to_string(LEADER_PORT));
            a.push_back("run");
            late.start(a, false);
        }
    });
    ASSERT_FALSE(leader.shown.empty()) << leader.tavod->err();
    ASSERT_FALSE(fast.shown.empty()) << fast.tavod->err();
    ASSERT_FALSE(late.shown.empty()) << late.tavod->err();
    // After the first second, within a frame of the leader (the two outputs' frames
    // fall at different moments of the same period, so one frame apart is in step).
    std::vector<int> d = differences(leader.shown, fast.shown, leader.shown.front().timeUs + 1000000);
    ASSERT_GT(d.size(), 400u);
    int worst = 0;
    for (int x : d) {
        worst = std::max(worst, std::abs(x));
    }
    EXPECT_LE(worst, 1) << "the fast follower fell out of step by " << worst << " frames";
    // The late one is in step within 2 s of its first frame (3 s allowed here).
    std::vector<int> dl = differences(leader.shown, late.shown, late.shown.front().timeUs + 3000000);
    ASSERT_GT(dl.size(), 100u);
    int worstLate = 0;
    for (int x : dl) {
        worstLate = std::max(worstLate, std::abs(x));
    }
    EXPECT_LE(worstLate, 1) << "the late follower did not catch up";
    EXPECT_GT(late.shown.front().frame, 100)
        << "the late follower starts where the leader is, not at the start";
    // Its very first frame is already near the leader's (started at the whole second
    // before, it showed a frame of up to a second ago).
    std::vector<int> first = differences(leader.shown, late.shown, late.shown.front().timeUs);
    ASSERT_FALSE(first.empty());
    EXPECT_LE(std::abs(first.front()), 10)
        << "the late follower's first frame was " << first.front() << " frames off the leader's";
    for (Board* b : {&fast, &late}) {
        b->tavod->sendSignal(SIGTERM);
        EXPECT_TRUE(b->tavod->wait());
    }
    EXPECT_TRUE(leader.tavod->wait());
}

} // namespace

// The default transport: multicast to the group, here between the test's namespace
// (the leader) and a follower's own, joined by a veth pair, with the defaults alone.
TEST(TavodSyncMulticast, AFollowerInAnotherNamespaceFollowsOverTheGroup) {
    if (fakeTimeLibrary().empty()) {
        GTEST_SKIP() << "libfaketime is not installed (Debian package faketime, a test dependency)";
    }
    VethPair veth;
    if (!veth.ok()) {
        GTEST_SKIP() << veth.reason();
    }
    std::string peer;
    ASSERT_TRUE(veth.AddLinkLocalAddresses(peer));
    const std::string hostAddress = peer.substr(0, peer.rfind('.')) + ".1";
    Board leader, follower(hostAddress);
    // No interface named: the follower's namespace has no route for the group, so the
    // boards find the interfaces that take multicast themselves.
    follower.start({"--set", "syncMode=follower", "run"}, true, veth.ns);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    leader.start({"--set", "syncMode=leader", "play", "show.lcsf"}, false);
    watch({&leader, &follower});
    ASSERT_FALSE(leader.shown.empty()) << leader.tavod->err();
    ASSERT_FALSE(follower.shown.empty()) << "nothing came over the group:\n"
                                         << follower.tavod->err() << "\nleader:\n"
                                         << leader.tavod->err();
    std::vector<int> d = differences(leader.shown, follower.shown, leader.shown.front().timeUs + 2000000);
    ASSERT_GT(d.size(), 300u);
    int worst = 0;
    for (int x : d) {
        worst = std::max(worst, std::abs(x));
    }
    EXPECT_LE(worst, 1) << "the follower fell out of step by " << worst << " frames";
    follower.tavod->sendSignal(SIGTERM);
    EXPECT_TRUE(follower.tavod->wait());
    EXPECT_TRUE(leader.tavod->wait());
}

// Boards on one switch: a leader and two followers, each tavod in a network namespace
// of its own joined to a Linux bridge, with the defaults alone (the group). One
// follower's clocks run 0.5 % fast; the bridge drops a tenth of what it passes on
// to the other. Both stay within a frame of the leader through a 24 s show, over
// which the fast one alone would drift five frames.
TEST(TavodSyncSwitch, FollowersOnABridgeKeepInStepWithAFastClockAndLoss) {
    if (fakeTimeLibrary().empty()) {
        GTEST_SKIP() << "libfaketime is not installed (Debian package faketime, a test dependency)";
    }
    BridgedNamespaces net(3);
    if (!net.ok()) {
        GTEST_SKIP() << net.reason();
    }
    ASSERT_TRUE(net.DropOnTheWayTo(2, 10)) << net.output();
    const int frames = 960;
    std::vector<std::unique_ptr<Board>> boards;
    ASSERT_TRUE(net.InBridgeNamespace([&] {
        for (int i = 0; i < 3; i++) {
            boards.push_back(std::make_unique<Board>(net.BridgeAddress(), frames));
        }
    }));
    Board &leader = *boards[0], &fast = *boards[1], &lossy = *boards[2];
    fast.start({"--set", "syncMode=follower", "run"}, true, net.BoardNamespace(1));
    lossy.start({"--set", "syncMode=follower", "run"}, false, net.BoardNamespace(2));
    // The leader starts once both followers hear the group.
    int64_t deadline = nowUs() + 30000000;
    for (Board* f : {&fast, &lossy}) {
        while (!ListensOnUdp(f->tavod->pid(), protocols::sync::PORT) && f->tavod->running() &&
               nowUs() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_TRUE(ListensOnUdp(f->tavod->pid(), protocols::sync::PORT)) << f->tavod->err();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    leader.start({"--set", "syncMode=leader", "play", "show.lcsf"}, false, net.BoardNamespace(0));
    watch({&leader, &fast, &lossy}, nullptr, frames);
    ASSERT_FALSE(leader.shown.empty()) << leader.tavod->err();
    EXPECT_GT(net.Dropped(2), 0) << "the bridge dropped nothing on its way to the lossy follower";
    for (Board* f : {&fast, &lossy}) {
        const char* which = f == &fast ? "the fast follower" : "the lossy follower";
        ASSERT_FALSE(f->shown.empty()) << which << " showed nothing:\n"
                                       << f->tavod->err() << "\nleader:\n"
                                       << leader.tavod->err();
        std::vector<int> d =
            differences(leader.shown, f->shown, leader.shown.front().timeUs + 1000000, frames);
        ASSERT_GT(d.size(), 800u) << which;
        int worst = 0;
        for (int x : d) {
            worst = std::max(worst, std::abs(x));
        }
        EXPECT_LE(worst, 1) << which << " fell out of step by " << worst << " frames";
        f->tavod->sendSignal(SIGTERM);
        EXPECT_TRUE(f->tavod->wait());
    }
    EXPECT_TRUE(leader.tavod->wait());
}
