// Timing of frames leaving tavod: a 170,000-channel zstd show at 40 frames/s played
// by the real daemon to 120 CustomUDP outputs of 1,400 channels on 127.0.0.1. A
// receiver timestamps every datagram; each frame's lateness is measured against an
// ideal schedule of one frame per 25 ms, anchored at the frame that came earliest.
// Arrival times are the kernel's receive timestamps. Reported: median and 99th
// percentile lateness, frames late by a whole period, frames missing, and the
// daemon's CPU use.
//
// Run three ways: as tavod runs by default (a quiet try at real-time priority 10),
// and beside a CPU load of two busy processes per core, once with no real-time
// priority at all (outputThreadRealTime 0) and once with outputThreadPriority 50
// (SCHED_FIFO 50 and locked memory): the figures of docs/performance.md.
//
// TAVOD_BENCH_SECONDS sets the length of the show (default 30).
#include "Lateness.h"
#include "ProcessProbes.h"
#include "VethPair.h"
#include "protocols/E131.h"

#include <benchmark/benchmark.h>
#include <json/json.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int OUTPUTS = 120;
constexpr int CHANNELS_PER_OUTPUT = 1400;
constexpr int SEQUENCE_CHANNELS = 170000;
constexpr int STEP_MS = 25;

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string binDir() {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0) {
        return ".";
    }
    exe[n] = 0;
    std::string p = exe;
    return p.substr(0, p.rfind('/'));
}

int run(const std::vector<std::string>& args) {
    std::vector<std::string> a = args;
    std::vector<char*> c;
    for (std::string& s : a) {
        c.push_back(&s[0]);
    }
    c.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        execv(c[0], c.data());
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string httpGet(int port, const std::string& path) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string resp;
    if (fd >= 0 && connect(fd, (struct sockaddr*)&a, sizeof(a)) == 0) {
        std::string req = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) == (ssize_t)req.size()) {
            char buf[4096];
            ssize_t n;
            while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) {
                resp.append(buf, (size_t)n);
            }
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    size_t body = resp.find("\r\n\r\n");
    return body == std::string::npos ? "" : resp.substr(body + 4);
}

Json::Value parseJson(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errs;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    if (!r->parse(text.data(), text.data() + text.size(), &v, &errs)) {
        return Json::Value(Json::objectValue);
    }
    return v;
}

int freePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    int port = 0;
    if (bind(fd, (struct sockaddr*)&a, sizeof(a)) == 0 && getsockname(fd, (struct sockaddr*)&a, &len) == 0) {
        port = ntohs(a.sin_port);
    }
    close(fd);
    return port;
}

// The show's length: TAVOD_BENCH_SECONDS (default 30, at least 3).
int showSeconds() {
    const char* v = getenv("TAVOD_BENCH_SECONDS");
    return std::max(3, v ? atoi(v) : 30);
}

// A temporary media folder with config/ and sequences/; "" when it cannot be made.
std::string makeMediaFolder() {
    char tmpl[] = "/tmp/tavod_bench_XXXXXX";
    if (!mkdtemp(tmpl)) {
        return "";
    }
    const std::string media = tmpl;
    mkdir((media + "/config").c_str(), 0755);
    mkdir((media + "/sequences").c_str(), 0755);
    return media;
}

// A UDP socket on 127.0.0.1 whose datagrams carry the kernel's arrival time
// (ReceiveStamped), with room for bursts; its port in `port`.
int stampedReceiver(int& port) {
    int rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int size = 32 * 1024 * 1024;
    if (setsockopt(rx, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
        setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    int on = 1;
    setsockopt(rx, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
    bind(rx, (struct sockaddr*)&a, sizeof(a));
    getsockname(rx, (struct sockaddr*)&a, &len);
    port = ntohs(a.sin_port);
    return rx;
}

// tavod started with `args` (the program first); the plug-ins' diagnostic lines on
// its standard output would mix with the report, so that goes nowhere.
pid_t startTavod(std::vector<std::string> args) {
    std::vector<char*> c;
    for (std::string& s : args) {
        c.push_back(&s[0]);
    }
    c.push_back(nullptr);
    int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(quiet, STDOUT_FILENO);
        execv(c[0], c.data());
        _exit(127);
    }
    close(quiet);
    return pid;
}

struct Arrival {
    int64_t timeUs;
    uint8_t output;
    uint8_t value; // first channel byte: (first channel + frame) mod 256 in the ramp pattern
};

// Busy processes at normal priority, ended with the object.
class CpuLoad {
public:
    explicit CpuLoad(int processes) {
        for (int i = 0; i < processes; i++) {
            pid_t pid = fork();
            if (pid == 0) {
                volatile unsigned long spin = 0;
                for (;;) {
                    spin = spin + 1;
                }
            }
            if (pid > 0) {
                m_pids.push_back(pid);
            }
        }
    }
    ~CpuLoad() {
        for (pid_t pid : m_pids) {
            kill(pid, SIGKILL);
            int st;
            waitpid(pid, &st, 0);
        }
    }

private:
    std::vector<pid_t> m_pids;
};

// range(0): 0 no real-time priority, 1 tavod's default, 2 outputThreadPriority 50;
// range(1): busy processes beside tavod, -1 for two per core.
void BM_TavodFrameTiming(benchmark::State& state) {
    const int realTime = (int)state.range(0);
    int load = (int)state.range(1);
    if (load < 0) {
        load = 2 * (int)sysconf(_SC_NPROCESSORS_ONLN);
    }
    const int seconds = showSeconds();
    const int frames = seconds * 1000 / STEP_MS;
    std::string bin = binDir();
    std::string tavod = bin + "/tavod";
    std::string lcsf = bin + "/lcsf";
    std::string plugins = bin + "/../plugins";

    const std::string media = makeMediaFolder();
    if (media.empty()) {
        state.SkipWithError("cannot make a temporary folder");
        return;
    }
    if (run({lcsf, "create", media + "/sequences/bench.lcsf", "--channels", std::to_string(SEQUENCE_CHANNELS),
             "--frames", std::to_string(frames), "--step", std::to_string(STEP_MS), "--pattern", "ramp",
             "--compression", "zstd"}) != 0) {
        state.SkipWithError("lcsf create failed (build the lcsf tool)");
        return;
    }

    int port = 0;
    int rx = stampedReceiver(port);

    std::string outputs;
    for (int o = 0; o < OUTPUTS; o++) {
        char tokens[32];
        snprintf(tokens, sizeof(tokens), "0x%02X {data}", o);
        outputs += std::string(o ? ",\n" : "") +
                   "{\"type\": \"CustomUDP\", \"enabled\": 1, \"startChannel\": " +
                   std::to_string(1 + o * CHANNELS_PER_OUTPUT) +
                   ", \"channelCount\": " + std::to_string(CHANNELS_PER_OUTPUT) +
                   ", \"address\": \"127.0.0.1\", \"port\": " + std::to_string(port) + ", \"tokens\": \"" +
                   tokens + "\"}";
    }
    std::ofstream(media + "/config/channeloutputs.json") << "{\"channelOutputs\": [\n" << outputs << "\n]}\n";
    int httpPort = freePort();

    for (auto _ : state) {
        std::vector<Arrival> arrivals;
        arrivals.reserve((size_t)frames * OUTPUTS + 1024);
        std::atomic<bool> stop{false};
        std::thread receiver([&] {
            // The kernel's arrival time of each datagram: what the receiver thread's own
            // scheduling adds on a busy machine does not count against the daemon.
            RaiseThreadToFifo(20);
            std::vector<uint8_t> buf(2048);
            while (!stop) {
                int64_t t = 0;
                const ssize_t n = ReceiveStamped(rx, buf, t, 100);
                if (n == CHANNELS_PER_OUTPUT + 1) {
                    arrivals.push_back({t, buf[0], buf[1]});
                }
            }
        });

        std::vector<std::string> args = {tavod,
                                         "--media-dir",
                                         media,
                                         "--plugin-dir",
                                         plugins,
                                         "--http-port",
                                         std::to_string(httpPort),
                                         "--quiet",
                                         "--log-level",
                                         "warning"};
        if (realTime == 0) {
            args.insert(args.end(), {"--set", "outputThreadRealTime=0"});
        } else if (realTime == 2) {
            args.insert(args.end(), {"--set", "outputThreadPriority=50"});
        }
        args.insert(args.end(), {"play", "bench.lcsf"});
        CpuLoad busy(load);
        int64_t start = nowUs();
        pid_t pid = startTavod(args);
        // CPU over the show itself: from the first frame to the last.
        long long ticks0 = -1;
        int64_t t0 = 0;
        std::string status;
        int st = 0;
        while (waitpid(pid, &st, WNOHANG) == 0) {
            if (ticks0 < 0 && nowUs() - start > 500000) {
                ticks0 = ProcessCpuTicks(pid);
                t0 = nowUs();
            }
            if (nowUs() - start > (int64_t)(seconds - 1) * 1000000 && status.empty()) {
                status = httpGet(httpPort, "/api/status");
                long long ticks1 = ProcessCpuTicks(pid);
                double cpu =
                    (double)(ticks1 - ticks0) / sysconf(_SC_CLK_TCK) / ((nowUs() - t0) / 1e6) * 100.0;
                state.counters["cpu_percent"] = cpu;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop = true;
        receiver.join();
        state.SetIterationTime((nowUs() - start) / 1e6);

        // Frame number of each datagram: ramp data, first channel c0 = 1400 * output,
        // value (c0 + frame) mod 256; frames come in order, so the count of wraps
        // follows from the previous datagram of the same output.
        std::map<int, std::pair<int64_t, int64_t>> frameTimes; // frame -> first, last arrival
        std::vector<int> lastFrame(OUTPUTS, -1);
        for (const Arrival& ar : arrivals) {
            if (ar.output >= OUTPUTS) {
                continue;
            }
            int c0 = ar.output * CHANNELS_PER_OUTPUT;
            int mod = ((int)ar.value - c0 % 256 + 512) % 256;
            int prev = lastFrame[ar.output];
            int f = prev < 0 ? mod : prev + ((mod - prev % 256 + 256) % 256);
            if (prev >= 0 && f == prev) {
                continue; // the once-a-second refresh of an unchanged frame
            }
            lastFrame[ar.output] = f;
            if (f >= frames) {
                continue;
            }
            auto it = frameTimes.find(f);
            if (it == frameTimes.end()) {
                frameTimes[f] = {ar.timeUs, ar.timeUs};
            } else {
                it->second.first = std::min(it->second.first, ar.timeUs);
                it->second.second = std::max(it->second.second, ar.timeUs);
            }
        }
        // The blank frame at the end reads as the frame after a wrap; only real frames count.
        int64_t period = STEP_MS * 1000;
        int64_t anchor = INT64_MAX;
        for (auto& ft : frameTimes) {
            anchor = std::min(anchor, ft.second.first - ft.first * period);
        }
        std::vector<double> startLate, doneLate;
        int latePeriod = 0;
        for (auto& ft : frameTimes) {
            int64_t due = anchor + ft.first * period;
            startLate.push_back((ft.second.first - due) / 1000.0);
            doneLate.push_back((ft.second.second - due) / 1000.0);
            if (ft.second.second - due >= period) {
                latePeriod++;
            }
        }
        state.counters["frames"] = (double)frames;
        state.counters["frames_seen"] = (double)frameTimes.size();
        state.counters["frames_missing"] = (double)(frames - (int)frameTimes.size());
        state.counters["late_p50_ms"] = Percentile(doneLate, 50);
        state.counters["late_p99_ms"] = Percentile(doneLate, 99);
        state.counters["late_max_ms"] = Percentile(doneLate, 100);
        state.counters["start_late_p99_ms"] = Percentile(startLate, 99);
        state.counters["late_by_period"] = latePeriod;
        // The daemon's own view: how late frames started, and how long one took.
        Json::Value js = parseJson(status);
        state.counters["daemon_late_frames"] = js["lateFrames"].asDouble();
        state.counters["daemon_start_p99_us"] = js["lateness"]["p99Us"].asDouble();
        state.counters["daemon_start_max_us"] = js["lateness"]["maxUs"].asDouble();
        state.counters["daemon_work_p99_us"] = js["frameWork"]["p99Us"].asDouble();
        state.counters["daemon_work_max_us"] = js["frameWork"]["maxUs"].asDouble();
        state.counters["exit_status"] = WIFEXITED(st) ? WEXITSTATUS(st) : -1;

        static const char* modes[] = {"no real-time priority", "default priority", "outputThreadPriority 50"};
        printf("tavod_bench (%s, %d busy processes): ", modes[std::min(std::max(realTime, 0), 2)], load);
        printf("%d frames of %d x %d channels at %d ms: %zu seen, lateness (last datagram) "
               "p50 %.3f ms, p99 %.3f ms, max %.3f ms; %d late by a period; daemon CPU %.1f %%; "
               "daemon: frame start p99 %d us, work p99 %d us, max %d us\n",
               frames, OUTPUTS, CHANNELS_PER_OUTPUT, STEP_MS, frameTimes.size(), Percentile(doneLate, 50),
               Percentile(doneLate, 99), Percentile(doneLate, 100), latePeriod,
               state.counters["cpu_percent"].value, js["lateness"]["p99Us"].asInt(),
               js["frameWork"]["p99Us"].asInt(), js["frameWork"]["maxUs"].asInt());
    }
    close(rx);
    run({"/bin/rm", "-rf", media});
}

BENCHMARK(BM_TavodFrameTiming)
    ->ArgNames({"realtime", "load"})
    ->Args({1, 0})
    ->Args({0, -1})
    ->Args({2, -1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// Bridge mode end to end: a sender in another network namespace streams 1,000
// E1.31 universes at 40 frames/s (40,000 packets/s) over a veth pair into `tavod
// run`, which plays no sequence and shows the bridged data on a CustomUDP output
// (the first channels of the last universe, so a frame is whole when it shows) at
// its bridge refresh rate. Every universe's first four slots carry the frame number. Reported: the
// packets sent, those the daemon counted, and those the kernel dropped before it
// (UDP receive-buffer errors of this namespace), sequence errors; the latency from
// the sending of a frame's last universe to the first output datagram that shows
// it (p50, p99, max; the goal is one period, 25 ms, at p99), frames the output
// never showed; and the daemon's CPU use.
constexpr int BRIDGE_UNIVERSES = 1000;
constexpr int BRIDGE_SLOTS = 510;

// The "Udp:" counters of /proc/net/snmp (this namespace), by name.
std::map<std::string, long long> udpCounters() {
    std::ifstream f("/proc/net/snmp");
    std::string names, values, line;
    while (std::getline(f, line)) {
        if (line.compare(0, 4, "Udp:") == 0) {
            if (names.empty()) {
                names = line;
            } else {
                values = line;
                break;
            }
        }
    }
    std::istringstream n(names), v(values);
    std::map<std::string, long long> r;
    std::string name, value;
    n >> name;
    v >> value;
    while (n >> name && v >> value) {
        r[name] = atoll(value.c_str());
    }
    return r;
}

uint32_t frameIn(const uint8_t* d) {
    return (uint32_t)d[0] << 24 | (uint32_t)d[1] << 16 | (uint32_t)d[2] << 8 | d[3];
}

void BM_TavodBridge(benchmark::State& state) {
    const int seconds = showSeconds();
    const int frames = seconds * 1000 / STEP_MS;
    VethPair veth;
    std::string peer;
    if (!veth.ok() || !veth.AddLinkLocalAddresses(peer)) {
        state.SkipWithError(("no veth pair: " + veth.reason()).c_str());
        return;
    }
    const std::string address = peer.substr(0, peer.rfind('.')) + ".1"; // tavod's end
    std::string bin = binDir();
    const std::string media = makeMediaFolder();
    if (media.empty()) {
        state.SkipWithError("cannot make a temporary folder");
        return;
    }
    std::ofstream(media + "/config/bridge.json")
        << "{\"e131\": {\"universes\": [{\"universe\": 1, \"count\": " << BRIDGE_UNIVERSES
        << ", \"universeSize\": " << BRIDGE_SLOTS << ", \"startChannel\": 1}]}}\n";

    int port = 0;
    int rx = stampedReceiver(port);
    auto output = [&](int tag, int startChannel) {
        char tokens[32];
        snprintf(tokens, sizeof(tokens), "0x%02X {data}", tag);
        return "{\"type\": \"CustomUDP\", \"enabled\": 1, \"startChannel\": " + std::to_string(startChannel) +
               ", \"channelCount\": 4, \"address\": \"127.0.0.1\", \"port\": " + std::to_string(port) +
               ", \"tokens\": \"" + tokens + "\"}";
    };
    std::ofstream(media + "/config/channeloutputs.json")
        << "{\"channelOutputs\": [" << output(1, 1 + (BRIDGE_UNIVERSES - 1) * BRIDGE_SLOTS) << "]}\n";
    const int httpPort = freePort();

    for (auto _ : state) {
        std::vector<std::string> args = {bin + "/tavod",
                                         "--media-dir",
                                         media,
                                         "--plugin-dir",
                                         bin + "/../plugins",
                                         "--http-port",
                                         std::to_string(httpPort),
                                         "--quiet",
                                         "--log-level",
                                         "warning",
                                         "run"};
        pid_t pid = startTavod(args);
        // Listening once its HTTP server answers.
        for (int i = 0; i < 100 && httpGet(httpPort, "/api/status").empty(); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }

        // Output datagrams: tag byte, then the four channels (the frame number).
        std::map<uint32_t, int64_t> shown; // frame -> first arrival
        std::atomic<bool> stop{false};
        std::thread receiver([&] {
            RaiseThreadToFifo(20);
            std::vector<uint8_t> buf(64);
            while (!stop) {
                int64_t t = 0;
                if (ReceiveStamped(rx, buf, t, 100) == 5 && buf[0] == 1) {
                    shown.emplace(frameIn(&buf[1]), t);
                }
            }
        });

        int tx = -1;
        veth.InCardNamespace([&] { tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
        int sndbuf = 8 * 1024 * 1024;
        setsockopt(tx, SOL_SOCKET, SO_SNDBUFFORCE, &sndbuf, sizeof(sndbuf));
        struct sockaddr_in to;
        memset(&to, 0, sizeof(to));
        to.sin_family = AF_INET;
        to.sin_port = htons(5568);
        inet_pton(AF_INET, address.c_str(), &to.sin_addr);
        std::vector<std::vector<uint8_t>> packets(BRIDGE_UNIVERSES);
        for (int u = 0; u < BRIDGE_UNIVERSES; u++) {
            protocols::e131::DataHeader h;
            h.cid.fill(0x42);
            h.sourceName = "tavod_bench";
            h.universe = (uint16_t)(u + 1);
            std::vector<uint8_t> slots(BRIDGE_SLOTS);
            for (int i = 0; i < BRIDGE_SLOTS; i++) {
                slots[i] = (uint8_t)(i + u);
            }
            packets[u].resize(protocols::e131::MAX_PACKET_SIZE);
            packets[u].resize(protocols::e131::encodeData(packets[u].data(), h, slots.data(), slots.size()));
        }

        const std::map<std::string, long long> udp0 = udpCounters();
        std::vector<int64_t> sentAt(frames); // the frame's last universe sent
        long long sendErrors = 0, ticks0 = ProcessCpuTicks(pid);
        const int64_t start = nowUs(), cpuStart = nowUs();
        for (int f = 0; f < frames; f++) {
            int64_t due = start + (int64_t)f * STEP_MS * 1000;
            while (nowUs() < due) {
                std::this_thread::sleep_for(std::chrono::microseconds(std::max<int64_t>(0, due - nowUs())));
            }
            for (std::vector<uint8_t>& p : packets) {
                const size_t slot0 = protocols::e131::HEADER_SIZE;
                p[slot0] = (uint8_t)(f >> 24);
                p[slot0 + 1] = (uint8_t)(f >> 16);
                p[slot0 + 2] = (uint8_t)(f >> 8);
                p[slot0 + 3] = (uint8_t)f;
                p[protocols::e131::SEQUENCE_OFFSET] = (uint8_t)f;
                if (sendto(tx, p.data(), p.size(), 0, (struct sockaddr*)&to, sizeof(to)) !=
                    (ssize_t)p.size()) {
                    sendErrors++;
                }
            }
            sentAt[f] = RealTimeUs();
        }
        const double cpu = (double)(ProcessCpuTicks(pid) - ticks0) / sysconf(_SC_CLK_TCK) /
                           ((nowUs() - cpuStart) / 1e6) * 100.0;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const std::map<std::string, long long> udp1 = udpCounters();
        Json::Value status = parseJson(httpGet(httpPort, "/api/status"));
        stop = true;
        receiver.join();
        close(tx);
        kill(pid, SIGTERM);
        int st = 0;
        waitpid(pid, &st, 0);
        state.SetIterationTime((nowUs() - start) / 1e6);

        long long counted = 0, sequenceErrors = 0;
        for (const Json::Value& u : status["bridge"]["e131"]["universes"]) {
            counted += u["packets"].asInt64();
            sequenceErrors += u["sequenceErrors"].asInt64();
        }
        auto delta = [&](const char* name) {
            auto b = udp0.find(name), e = udp1.find(name);
            return b == udp0.end() || e == udp1.end() ? 0 : e->second - b->second;
        };
        // From the second second on: the first frames wait for the daemon's first
        // bridged frame.
        std::vector<double> latency;
        int unseen = 0;
        for (int f = 1000 / STEP_MS; f < frames; f++) {
            auto it = shown.find((uint32_t)f);
            if (it == shown.end()) {
                unseen++;
            } else {
                latency.push_back((it->second - sentAt[f]) / 1000.0);
            }
        }
        const long long sent = (long long)frames * BRIDGE_UNIVERSES - sendErrors;
        state.counters["packets_sent"] = (double)sent;
        state.counters["packets_counted"] = (double)counted;
        state.counters["kernel_rcvbuf_errors"] = (double)delta("RcvbufErrors");
        state.counters["sequence_errors"] = (double)sequenceErrors;
        state.counters["latency_p50_ms"] = Percentile(latency, 50);
        state.counters["latency_p99_ms"] = Percentile(latency, 99);
        state.counters["latency_max_ms"] = Percentile(latency, 100);
        state.counters["frames_not_shown"] = unseen;
        state.counters["cpu_percent"] = cpu;
        printf(
            "tavod_bench (bridge): %d frames of %d universes sent over a veth pair (%lld packets, %lld "
            "send errors); daemon counted %lld, kernel dropped %lld, %lld sequence errors; latency to the "
            "output p50 %.3f ms, p99 %.3f ms, max %.3f ms; %d of %d frames not shown; daemon CPU %.1f %%\n",
            frames, BRIDGE_UNIVERSES, sent, sendErrors, counted, delta("RcvbufErrors"), sequenceErrors,
            Percentile(latency, 50), Percentile(latency, 99), Percentile(latency, 100), unseen,
            frames - 1000 / STEP_MS, cpu);
    }
    close(rx);
    run({"/bin/rm", "-rf", media});
}

BENCHMARK(BM_TavodBridge)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
