// Many boards in sync, measured: a leader and 8 followers as real tavods, each in a
// network namespace of its own on one Linux bridge (tests/support/BridgedNamespaces.h),
// the sync on its defaults (the group). Two followers' clocks run 0.5 % fast
// (faketime's library preloaded with a rate), one 0.5 % slow; the bridge drops a
// tenth of what it passes on to two of them (one fast); one starts 20 s after the
// leader. A tenth board plays the same show alone (sync off), for the CPU figures.
// Each board's CustomUDP output carries its number and its frame number to a
// collector in the bridge's namespace that takes the kernel's receive timestamps.
//
// Reported: the offset of each follower's frame from the same frame of the leader
// (both as the collector saw them), p50, p99 and max after the show's first second;
// for the late follower, the worst offset in the 5 s after its first frame and the
// time until it stays within 2 ms; and the CPU time (/proc/PID/stat) of the leader
// and of a follower beside the board playing alone, as a share of one core.
//
// TAVO_SYNC_BENCH_SECONDS sets the length of the show (default 600; at least 30);
// TAVO_SYNC_BENCH_DUMP names a file for every offset ("follower seconds ms" a line).
#include "BridgedNamespaces.h"
#include "Lateness.h"
#include "ProcessProbes.h"
#include "TavodTestSupport.h"

#include <benchmark/benchmark.h>

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace tavodtest;

namespace {

constexpr int STEP_MS = 25;
constexpr int FOLLOWERS = 8;
constexpr int ALONE = FOLLOWERS + 1; // the board playing without sync
constexpr int BOARDS = FOLLOWERS + 2;
constexpr int LATE = 8;  // the follower started late
constexpr int PLAIN = 5; // a follower with a true clock and no loss: its CPU time is compared
constexpr int LATE_S = 20;
constexpr uint16_t SYNC_PORT = 32320; // the default

struct Follower {
    const char* faketime; // nullptr: the true clock
    int lossPercent;
    const char* what;
};
// Index = board number; 0 is the leader, ALONE the board playing alone.
const Follower KINDS[BOARDS] = {
    {nullptr, 0, "leader"},
    {"+0 x1.005", 0, "0.5 % fast"},
    {"+0 x1.005", 10, "0.5 % fast, 10 % loss"},
    {nullptr, 10, "10 % loss"},
    {"+0 x0.995", 0, "0.5 % slow"},
    {nullptr, 0, "plain"},
    {nullptr, 0, "plain"},
    {nullptr, 0, "plain"},
    {nullptr, 0, "started 20 s late"},
    {nullptr, 0, "alone (sync off)"},
};

struct Arrival {
    int64_t timeUs;
    int board;
    int frame;
};

struct Board {
    MediaDir media;
    std::unique_ptr<Tavod> tavod;

    // The show: 3 channels, the frame number (2 bytes) and a 1 that tells it from the blank.
    bool make(int board, int frames, const std::string& collector, int port) {
        const std::string raw = media.path() + "/show.raw";
        {
            std::ofstream out(raw, std::ios::binary);
            for (int f = 0; f < frames; f++) {
                out.put((char)(f >> 8)).put((char)(f & 255)).put(1);
            }
        }
        Tavod lcsf(media.path(),
                   {"create", media.sequencePath("show.lcsf"), "--channels", "3", "--frames",
                    std::to_string(frames), "--step", std::to_string(STEP_MS), "--from-raw", raw},
                   -1, -1, std::string(TAVO_BIN_DIR) + "/lcsf");
        char tokens[32];
        snprintf(tokens, sizeof(tokens), "0x%02X {data}", board);
        media.writeOutputs(customUdp(1, 3, port, tokens, collector));
        return lcsf.wait(60000) && lcsf.exitCode() == 0;
    }
    void start(const std::string& ns, const char* faketime, const std::vector<std::string>& more) {
        if (faketime) {
            setenv("LD_PRELOAD", fakeTimeLibrary().c_str(), 1);
            setenv("FAKETIME", faketime, 1);
        }
        std::vector<std::string> a = tavodArgs(media, more);
        a.insert(a.begin(), {"netns", "exec", ns, std::string(TAVO_BIN_DIR) + "/tavod"});
        tavod = std::make_unique<Tavod>(media.path(), a, -1, -1, "/usr/bin/ip");
        unsetenv("LD_PRELOAD");
        unsetenv("FAKETIME");
    }
};

struct Spread {
    size_t samples = 0;
    double p50 = 0, p99 = 0, max = 0;
};

Spread spread(const std::vector<double>& absMs) {
    Spread s;
    s.samples = absMs.size();
    s.p50 = Percentile(absMs, 50);
    s.p99 = Percentile(absMs, 99);
    s.max = Percentile(absMs, 100);
    return s;
}

void BM_SyncBoards(benchmark::State& state) {
    int seconds = getenv("TAVO_SYNC_BENCH_SECONDS") ? atoi(getenv("TAVO_SYNC_BENCH_SECONDS")) : 600;
    seconds = std::max(seconds, 30);
    const int frames = seconds * 1000 / STEP_MS;
    if (fakeTimeLibrary().empty()) {
        state.SkipWithError("libfaketime is not installed (Debian package faketime)");
        return;
    }
    BridgedNamespaces net(BOARDS);
    if (!net.ok()) {
        state.SkipWithError(net.reason().c_str());
        return;
    }
    for (int b = 1; b <= FOLLOWERS; b++) {
        if (KINDS[b].lossPercent && !net.DropOnTheWayTo(b, KINDS[b].lossPercent)) {
            state.SkipWithError(("cannot drop packets on the bridge: " + net.output()).c_str());
            return;
        }
    }
    int rx = -1;
    net.InBridgeNamespace([&] { rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
    int size = 16 * 1024 * 1024;
    if (setsockopt(rx, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
        setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
    int on = 1;
    setsockopt(rx, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    inet_pton(AF_INET, net.BridgeAddress().c_str(), &a.sin_addr);
    socklen_t len = sizeof(a);
    if (bind(rx, (struct sockaddr*)&a, sizeof(a)) != 0 || getsockname(rx, (struct sockaddr*)&a, &len) != 0) {
        state.SkipWithError("cannot bind the collector in the bridge's namespace");
        close(rx);
        return;
    }
    const int port = ntohs(a.sin_port);
    std::vector<std::unique_ptr<Board>> boards;
    for (int b = 0; b < BOARDS; b++) {
        boards.push_back(std::make_unique<Board>());
        if (!boards.back()->make(b, frames, net.BridgeAddress(), port)) {
            state.SkipWithError("lcsf create failed (build the lcsf tool)");
            close(rx);
            return;
        }
    }

    for (auto _ : state) {
        std::vector<Arrival> arrivals;
        arrivals.reserve((size_t)frames * BOARDS + 4096);
        std::atomic<bool> stop{false};
        std::thread receiver([&] {
            // The kernel's arrival times: what the collector's own scheduling adds on a
            // busy machine does not count against the boards.
            RaiseThreadToFifo(20);
            std::vector<uint8_t> buf(2048);
            while (!stop) {
                int64_t t = 0;
                const ssize_t n = ReceiveStamped(rx, buf, t, 100);
                if (n == 4 && buf[3] == 1 && buf[0] < BOARDS) {
                    arrivals.push_back({t, buf[0], buf[1] << 8 | buf[2]});
                }
            }
        });
        for (int b = 1; b <= FOLLOWERS; b++) {
            if (b != LATE) {
                boards[b]->start(net.BoardNamespace(b), KINDS[b].faketime,
                                 {"--set", "syncMode=follower", "run"});
            }
        }
        int64_t deadline = nowUs() + 60000000;
        bool ready = true;
        for (int b = 1; b <= FOLLOWERS; b++) {
            if (b == LATE) {
                continue;
            }
            Tavod& t = *boards[b]->tavod;
            while (!ListensOnUdp(t.pid(), SYNC_PORT) && t.running() && nowUs() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            ready = ready && ListensOnUdp(t.pid(), SYNC_PORT);
        }
        if (!ready) {
            stop = true;
            receiver.join();
            state.SkipWithError("a follower did not open its sync socket");
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const int64_t start = nowUs();
        boards[0]->start(net.BoardNamespace(0), nullptr, {"--set", "syncMode=leader", "play", "show.lcsf"});
        boards[ALONE]->start(net.BoardNamespace(ALONE), nullptr, {"play", "show.lcsf"});
        const pid_t cpuPids[3] = {boards[0]->tavod->pid(), boards[PLAIN]->tavod->pid(),
                                  boards[ALONE]->tavod->pid()};
        long long ticks0[3] = {-1, -1, -1}, ticks1[3] = {-1, -1, -1};
        long long syncNs0[2] = {-1, -1}, syncNs1[2] = {-1, -1}; // the leader's and the follower's sync thread
        int64_t cpuT0 = 0, cpuT1 = 0;
        bool lateStarted = false;
        while (boards[0]->tavod->running() && nowUs() - start < (seconds + 30) * 1000000LL) {
            const int64_t at = nowUs() - start;
            if (!lateStarted && at > LATE_S * 1000000LL) {
                lateStarted = true;
                boards[LATE]->start(net.BoardNamespace(LATE), nullptr, {"--set", "syncMode=follower", "run"});
            }
            // CPU time over the show's middle: from 5 s in until 3 s before its end.
            if (ticks0[0] < 0 && at > 5000000) {
                cpuT0 = nowUs();
                for (int i = 0; i < 3; i++) {
                    ticks0[i] = ProcessCpuTicks(cpuPids[i]);
                }
                for (int i = 0; i < 2; i++) {
                    syncNs0[i] = ThreadRunNs(cpuPids[i], "Tavo-Sync");
                }
            }
            if (ticks1[0] < 0 && at > (seconds - 3) * 1000000LL) {
                cpuT1 = nowUs();
                for (int i = 0; i < 3; i++) {
                    ticks1[i] = ProcessCpuTicks(cpuPids[i]);
                }
                for (int i = 0; i < 2; i++) {
                    syncNs1[i] = ThreadRunNs(cpuPids[i], "Tavo-Sync");
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        for (int b = 1; b < BOARDS; b++) {
            if (boards[b]->tavod) {
                boards[b]->tavod->sendSignal(SIGTERM);
                boards[b]->tavod->wait();
            }
        }
        stop = true;
        receiver.join();
        state.SetIterationTime((nowUs() - start) / 1e6);

        // The leader's time of each frame: its first datagram of it.
        std::vector<int64_t> leaderAt(frames, -1);
        for (const Arrival& r : arrivals) {
            if (r.board == 0 && r.frame < frames && leaderAt[r.frame] < 0) {
                leaderAt[r.frame] = r.timeUs;
            }
        }
        if (leaderAt[0] < 0) {
            state.SkipWithError("the leader's first frame never came");
            break;
        }
        const int64_t from = leaderAt[0] + 1000000;
        std::vector<std::vector<std::pair<int64_t, double>>> offsets(BOARDS); // time, ms
        for (const Arrival& r : arrivals) {
            if (r.board >= 1 && r.board <= FOLLOWERS && r.frame < frames && leaderAt[r.frame] >= 0 &&
                r.timeUs >= from) {
                offsets[r.board].push_back({r.timeUs, (r.timeUs - leaderAt[r.frame]) / 1000.0});
            }
        }
        if (const char* dump = getenv("TAVO_SYNC_BENCH_DUMP")) {
            std::ofstream out(dump);
            for (int b = 1; b <= FOLLOWERS; b++) {
                for (const auto& o : offsets[b]) {
                    out << b << " " << (o.first - leaderAt[0]) / 1e6 << " " << o.second << "\n";
                }
            }
        }
        // The late follower: its catch-up (its first 5 s), then like the others.
        std::vector<double> all, catchUp;
        int64_t lateFirst = offsets[LATE].empty() ? 0 : offsets[LATE].front().first;
        double settledS = -1;
        size_t inside = 0;
        for (const auto& o : offsets[LATE]) {
            if (o.first < lateFirst + 5000000) {
                catchUp.push_back(std::fabs(o.second));
            }
            // Settled: 40 frames (1 s) in a row within 2 ms.
            inside = std::fabs(o.second) < 2.0 ? inside + 1 : 0;
            if (inside == 40 && settledS < 0) {
                settledS = (o.first - lateFirst) / 1e6 - 1.0;
            }
        }
        printf("sync_bench: the late follower's offset (ms) at its first frame and after:");
        {
            double marks[] = {0, 0.1, 0.25, 0.5, 1, 1.5, 2, 3, 4, 5};
            size_t m = 0;
            for (const auto& o : offsets[LATE]) {
                while (m < sizeof(marks) / sizeof(marks[0]) &&
                       o.first >= lateFirst + (int64_t)(marks[m] * 1e6)) {
                    printf(" %.2f s: %+.2f", marks[m], o.second);
                    m++;
                }
            }
            printf("\n");
        }
        printf("sync_bench: %d s show of %d ms frames, %d followers; offset of each follower's frame "
               "from the leader's, after the first second (ms):\n",
               seconds, STEP_MS, FOLLOWERS);
        for (int b = 1; b <= FOLLOWERS; b++) {
            std::vector<double> v;
            double mean = 0;
            for (const auto& o : offsets[b]) {
                if (b != LATE || o.first >= lateFirst + 5000000) {
                    v.push_back(std::fabs(o.second));
                    mean += o.second;
                }
            }
            mean = v.empty() ? 0 : mean / v.size();
            all.insert(all.end(), v.begin(), v.end());
            Spread s = spread(v);
            printf("  follower %d (%s%s): %zu frames, mean %+.3f, |offset| p50 %.3f, p99 %.3f, max %.3f; "
                   "over a step: %zd\n",
                   b, KINDS[b].what, b == LATE ? ", after its first 5 s" : "", s.samples, mean, s.p50, s.p99,
                   s.max, std::count_if(v.begin(), v.end(), [](double x) { return x > STEP_MS; }));
            const std::string n = "f" + std::to_string(b);
            state.counters[n + "_p99_ms"] = s.p99;
            state.counters[n + "_max_ms"] = s.max;
        }
        Spread s = spread(all);
        Spread c = spread(catchUp);
        state.counters["all_p50_ms"] = s.p50;
        state.counters["all_p99_ms"] = s.p99;
        state.counters["all_max_ms"] = s.max;
        state.counters["late_catchup_max_ms"] = c.max;
        state.counters["late_settled_s"] = settledS;
        printf("  all followers: %zu frames, |offset| p50 %.3f, p99 %.3f, max %.3f ms\n", s.samples, s.p50,
               s.p99, s.max);
        printf("  late follower's first 5 s: %zu frames, worst %.3f ms, p99 %.3f ms; within 2 ms for good "
               "(1 s in a row) %.2f s after its first frame\n",
               c.samples, c.max, c.p99, settledS);
        if (ticks0[0] >= 0 && ticks1[0] >= 0) {
            const double window = (cpuT1 - cpuT0) / 1e6;
            double pct[3];
            for (int i = 0; i < 3; i++) {
                pct[i] = (double)(ticks1[i] - ticks0[i]) / sysconf(_SC_CLK_TCK) / window * 100.0;
            }
            state.counters["cpu_leader_pct"] = pct[0];
            state.counters["cpu_follower_pct"] = pct[1];
            state.counters["cpu_alone_pct"] = pct[2];
            printf(
                "  CPU over %.0f s, %% of one core: leader %.3f, follower %.3f, alone %.3f; the sync costs "
                "the leader %+.3f, the follower %+.3f\n",
                window, pct[0], pct[1], pct[2], pct[0] - pct[2], pct[1] - pct[2]);
            if (syncNs0[0] >= 0 && syncNs1[0] >= 0 && syncNs0[1] >= 0 && syncNs1[1] >= 0) {
                const double leaderThread = (syncNs1[0] - syncNs0[0]) / 1e9 / window * 100.0;
                const double followerThread = (syncNs1[1] - syncNs0[1]) / 1e9 / window * 100.0;
                state.counters["cpu_leader_sync_thread_pct"] = leaderThread;
                state.counters["cpu_follower_sync_thread_pct"] = followerThread;
                printf("  the receiving thread (\"Tavo-Sync\") alone, %% of one core: leader %.4f, follower "
                       "%.4f\n",
                       leaderThread, followerThread);
            }
        }
        fflush(stdout);
    }
    close(rx);
}

BENCHMARK(BM_SyncBoards)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
