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

// utime + stime of a process, in clock ticks.
long long cpuTicks(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream in(text.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; i++) {
        if (i == 14) {
            utime = atoll(field.c_str());
        } else if (i == 15) {
            stime = atoll(field.c_str());
        }
    }
    return utime + stime;
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
    int seconds = getenv("TAVOD_BENCH_SECONDS") ? atoi(getenv("TAVOD_BENCH_SECONDS")) : 30;
    if (seconds < 3) {
        seconds = 3;
    }
    const int frames = seconds * 1000 / STEP_MS;
    std::string bin = binDir();
    std::string tavod = bin + "/tavod";
    std::string lcsf = bin + "/lcsf";
    std::string plugins = bin + "/../plugins";

    char tmpl[] = "/tmp/tavod_bench_XXXXXX";
    if (!mkdtemp(tmpl)) {
        state.SkipWithError("cannot make a temporary folder");
        return;
    }
    std::string media = tmpl;
    mkdir((media + "/config").c_str(), 0755);
    mkdir((media + "/sequences").c_str(), 0755);
    if (run({lcsf, "create", media + "/sequences/bench.lcsf", "--channels", std::to_string(SEQUENCE_CHANNELS),
             "--frames", std::to_string(frames), "--step", std::to_string(STEP_MS), "--pattern", "ramp",
             "--compression", "zstd"}) != 0) {
        state.SkipWithError("lcsf create failed (build the lcsf tool)");
        return;
    }

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
    int port = ntohs(a.sin_port);

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
        std::vector<char*> c;
        for (std::string& s : args) {
            c.push_back(&s[0]);
        }
        c.push_back(nullptr);
        int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
        int64_t start = nowUs();
        pid_t pid = fork();
        if (pid == 0) {
            // The plug-ins' diagnostic lines would mix with the report.
            dup2(quiet, STDOUT_FILENO);
            execv(c[0], c.data());
            _exit(127);
        }
        close(quiet);
        // CPU over the show itself: from the first frame to the last.
        long long ticks0 = -1;
        int64_t t0 = 0;
        std::string status;
        int st = 0;
        while (waitpid(pid, &st, WNOHANG) == 0) {
            if (ticks0 < 0 && nowUs() - start > 500000) {
                ticks0 = cpuTicks(pid);
                t0 = nowUs();
            }
            if (nowUs() - start > (int64_t)(seconds - 1) * 1000000 && status.empty()) {
                status = httpGet(httpPort, "/api/status");
                long long ticks1 = cpuTicks(pid);
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

} // namespace

BENCHMARK_MAIN();
