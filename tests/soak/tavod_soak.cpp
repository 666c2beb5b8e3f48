// tavod_soak: the load and soak harness. The real tavod plays a 170,000-channel zstd
// show at 40 frames/s to CustomUDP outputs, a web preview and (when it can be built
// here) a receiver-card wall on a veth pair, while clients load every door: web
// preview browsers that read, stall or vanish; HTTP API requests from many clients,
// kept alive and not; slow clients trickling requests to both HTTP ports. It
// measures frame lateness (from tavod's /api/status and from the receivers' kernel
// timestamps), frames lost, every request's fate, and tavod's resident memory and
// open descriptors before, during and after the load.
//
//   tavod_soak [--short] [--seconds N] [--output-cpu] [--report FILE] [--keep]
//
// --short (the CTest, well under a minute of load) checks what is not a speed goal:
// tavod lives and ends cleanly, every request is answered with a status code, no
// frame is lost, descriptors come back, no sanitizer report. Without it (make soak)
// the full load runs for N seconds (default 120) and the speed and memory goals are
// judged too. --output-cpu gives tavod's output thread a processor of its own
// ("outputThreadCpu": the last one) and keeps the load's threads off it, as on a
// board whose clients are other machines. Exit status 0 when everything checked holds.
#include "RawTcpClient.h"
#include "SoakClients.h"
#include "Lateness.h"
#include "TavodTestSupport.h"
#include "TestSequences.h"
#include "host/core/Common.h"
#include "host/core/JsonUtils.h"
#include "protocols/E131.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace soak;

namespace {

const int STEP_MS = 25;
const uint32_t SHOW_CHANNELS = 170000;
const int UDP_OUTPUTS = 8;
const int UDP_CHANNELS = 1400;
const int COOLDOWN_MAX_S = 30;

struct Plan {
    bool isShort = false;
    int loadSeconds = 120;
    int previewConnections = 1000;
    int previewConcurrent = 96;
    int apiRequests = 20000;
    int apiClients = 50;
    int slowPerPort = 200;
    // Before the load: the show plays alone, and the last part of it is the quiet
    // baseline that the lateness under load is compared with.
    int warmupSeconds = 15;
    std::string report;
    bool keep = false;
    bool outputCpu = false;
};

// Every thread of this process, and every one it starts later, off processor `cpu`.
void keepOffCpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int c : UsableCpus()) {
        if (c != cpu) {
            CPU_SET(c, &set);
        }
    }
    if (DIR* d = opendir("/proc/self/task")) {
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') {
                sched_setaffinity((pid_t)atoi(e->d_name), sizeof(set), &set);
            }
        }
        closedir(d);
    }
}

// Resident memory (kB) and open descriptors of a process.
struct Usage {
    long rssKb = 0;
    int fds = 0;
};

Usage usageOf(pid_t pid) {
    Usage u;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            u.rssKb = atol(line.c_str() + 6);
        }
    }
    if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (struct dirent* e = readdir(d)) {
            u.fds += e->d_name[0] != '.' ? 1 : 0;
        }
        closedir(d);
    }
    return u;
}

Json::Value getStatus(uint16_t port) {
    HttpClient c(port, "127.0.0.1", false);
    HttpResult r = c.request("GET", "/api/status");
    Json::Value v;
    if (r.status != 200 || !LoadJsonFromString(r.body, v)) {
        return Json::Value(Json::nullValue);
    }
    return v;
}

// Datagrams of the CustomUDP outputs: "0xNN {data}", byte 0 the output, byte 1 the
// first channel's value, from which the frame number (mod 256) follows.
struct Arrival {
    int64_t timeUs; // kernel receive time, wall clock
    uint8_t output;
    uint8_t frameMod;
};

class UdpSink {
public:
    ~UdpSink() { Stop(); }
    bool Open() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int size = 32 * 1024 * 1024;
        if (setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
            setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        }
        int on = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
        struct sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (bind(m_fd, (struct sockaddr*)&a, sizeof(a)) != 0 ||
            getsockname(m_fd, (struct sockaddr*)&a, &len) != 0) {
            return false;
        }
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { Run(); });
        return true;
    }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    uint16_t Port() const { return m_port; }
    std::vector<Arrival> arrivals; // read after Stop
    uint64_t foreign = 0;          // datagrams of no output (a blank frame, ...)

private:
    void Run() {
        RaiseThreadToFifo(20);
        std::vector<uint8_t> buf(4096);
        while (!m_stop) {
            int64_t t = 0;
            const ssize_t n = ReceiveStamped(m_fd, buf, t, 100);
            if (n < 0) {
                continue;
            }
            if (n != UDP_CHANNELS + 1 || buf[0] >= UDP_OUTPUTS) {
                foreign++;
                continue;
            }
            const uint32_t first = (uint32_t)buf[0] * (SHOW_CHANNELS / UDP_OUTPUTS);
            // The test pattern: value = 7 c + 13 f + (c >> 8) (mod 256); 197 = 1/13 mod 256.
            const uint8_t base = (uint8_t)(buf[1] - testChannelValue(0, first));
            const uint8_t frame = (uint8_t)(base * 197);
            if (buf[2] != testChannelValue(frame, first + 1) ||
                buf[UDP_CHANNELS] != testChannelValue(frame, first + UDP_CHANNELS - 1)) {
                foreign++;
                continue;
            }
            arrivals.push_back({t, buf[0], frame});
        }
    }

    int m_fd = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The receiver-card wall on a veth pair: the output's end here, the cards' end in a
// namespace of its own where display frames are counted with their arrival times.
class CardWall {
public:
    ~CardWall() { Stop(); }
    bool Open(std::string& why) {
        if (geteuid() != 0) {
            why = "not root: no veth pair and raw socket";
            return false;
        }
        if (!FileExists(std::string(TAVO_PLUGIN_DIR) + "/LinkCard.so")) {
            why = "the receiver-card plug-in is not built";
            return false;
        }
        const std::string id = std::to_string(getpid() % 100000);
        m_ns = "tvsoak" + id;
        m_host = "tvsh" + id;
        m_card = "tvsc" + id;
        if (run("ip netns add " + m_ns) != 0) {
            why = "'ip netns add' failed";
            return false;
        }
        m_made = true;
        if (run("ip link add " + m_host + " type veth peer name " + m_card + " netns " + m_ns) != 0 ||
            run("ip link set " + m_host + " up") != 0 ||
            run("ip -n " + m_ns + " link set " + m_card + " up") != 0) {
            why = "cannot make the veth pair";
            return false;
        }
        int self = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        int target = open(("/var/run/netns/" + m_ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (self < 0 || target < 0 || setns(target, CLONE_NEWNET) != 0) {
            why = "cannot enter the cards' namespace";
            return false;
        }
        m_fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
        struct sockaddr_ll ll;
        memset(&ll, 0, sizeof(ll));
        ll.sll_family = AF_PACKET;
        ll.sll_protocol = htons(ETH_P_ALL);
        ll.sll_ifindex = (int)if_nametoindex(m_card.c_str());
        const bool bound = m_fd >= 0 && bind(m_fd, (struct sockaddr*)&ll, sizeof(ll)) == 0;
        setns(self, CLONE_NEWNET);
        close(self);
        close(target);
        if (!bound) {
            why = "cannot open a raw socket on the cards' end";
            return false;
        }
        int size = 32 * 1024 * 1024;
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
        int on = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
        m_thread = std::thread([this] { Run(); });
        return true;
    }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
        if (m_made) {
            run("ip link del " + m_host);
            run("ip netns del " + m_ns);
            m_made = false;
        }
    }
    const std::string& HostInterface() const { return m_host; }
    std::vector<int64_t> displays; // arrival of each display frame; read after Stop
    uint64_t rowPackets = 0;

private:
    static int run(const std::string& cmd) { return system((cmd + " > /dev/null 2>&1").c_str()); }
    void Run() {
        std::vector<uint8_t> buf(2048);
        while (!m_stop) {
            int64_t t = 0;
            const ssize_t n = ReceiveStamped(m_fd, buf, t, 100);
            // Byte 12 is the packet's kind: 0x01 shows the picture, 0x55 carries a row.
            if (n > 12 && buf[12] == 0x01) {
                displays.push_back(t);
            } else if (n > 12 && buf[12] == 0x55) {
                rowPackets++;
            }
        }
    }

    std::string m_ns, m_host, m_card;
    bool m_made = false;
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The E1.31 outputs' universes, unicast to 127.0.0.1 and multicast on the loopback:
// every frame changes every universe, so a gap in a universe's sequence numbers is
// a packet lost.
const int E131_UNICAST_UNIVERSES = 64;
const int E131_MULTICAST_UNIVERSES = 16;
const int E131_MULTICAST_FIRST = 1001;

class E131Sink {
public:
    ~E131Sink() { Stop(); }
    // False (with the reason) when port 5568 cannot be had here.
    bool Open(std::string& why) {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        int size = 32 * 1024 * 1024;
        if (setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
            setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        }
        struct sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_port = htons(protocols::e131::PORT);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(m_fd, (struct sockaddr*)&a, sizeof(a)) != 0) {
            why = std::string("UDP port 5568 is taken: ") + strerror(errno);
            return false;
        }
        for (int u = 0; u < E131_MULTICAST_UNIVERSES; u++) {
            std::array<uint8_t, 4> g = protocols::e131::multicastGroup((uint16_t)(E131_MULTICAST_FIRST + u));
            struct ip_mreq m;
            memcpy(&m.imr_multiaddr, g.data(), 4);
            m.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
            if (setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof(m)) != 0) {
                why = std::string("cannot join an E1.31 group on the loopback: ") + strerror(errno);
                return false;
            }
        }
        m_thread = std::thread([this] { Run(); });
        return true;
    }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    struct Universe {
        int64_t packets = 0;
        int64_t lost = 0; // from gaps in the sequence numbers
        int last = -1;
    };
    std::map<uint16_t, Universe> universes; // read after Stop
    int64_t invalid = 0;

private:
    void Run() {
        RaiseThreadToFifo(20);
        std::vector<uint8_t> buf(1024);
        while (!m_stop) {
            struct pollfd p = {m_fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                continue;
            }
            ssize_t n = recv(m_fd, buf.data(), buf.size(), 0);
            if (n <= 0) {
                continue;
            }
            protocols::e131::Packet pk = protocols::e131::decode(buf.data(), (size_t)n);
            if (pk.kind != protocols::e131::PacketKind::data) {
                invalid += pk.kind == protocols::e131::PacketKind::invalid ? 1 : 0;
                continue;
            }
            Universe& u = universes[pk.universe];
            u.packets++;
            if (u.last >= 0) {
                int gap = (uint8_t)(pk.sequence - (uint8_t)u.last);
                u.lost += gap > 1 && gap < 200 ? gap - 1 : 0;
            }
            u.last = pk.sequence;
        }
    }

    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

std::string udpOutput(int o, uint16_t port) {
    char tokens[32];
    snprintf(tokens, sizeof(tokens), "0x%02X {data}", o);
    return "{\"type\": \"CustomUDP\", \"enabled\": 1, \"startChannel\": " +
           std::to_string(1 + o * (SHOW_CHANNELS / UDP_OUTPUTS)) +
           ", \"channelCount\": " + std::to_string(UDP_CHANNELS) +
           ", \"address\": \"127.0.0.1\", \"port\": " + std::to_string(port) + ", \"tokens\": \"" + tokens +
           "\"}";
}

// The machine, for the report: processor, cores, kernel.
std::string machine() {
    std::string model = "?";
    std::ifstream cpu("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpu, line)) {
        if (line.compare(0, 10, "model name") == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    struct utsname u;
    uname(&u);
    return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores, Linux " + u.release;
}

struct Verdicts {
    std::vector<std::pair<std::string, bool>> checks;
    void add(const std::string& what, bool ok) { checks.emplace_back(what, ok); }
    bool allOk() const {
        for (auto& c : checks) {
            if (!c.second) {
                return false;
            }
        }
        return true;
    }
};

int usage() {
    fprintf(stderr, "usage: tavod_soak [--short] [--seconds N] [--output-cpu] [--report FILE] [--keep]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    Plan plan;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--short") {
            plan.isShort = true;
            plan.loadSeconds = 20;
            plan.previewConnections = 200;
            plan.previewConcurrent = 80;
            plan.apiRequests = 2000;
            plan.apiClients = 20;
            plan.slowPerPort = 50;
            plan.warmupSeconds = 6;
        } else if (a == "--seconds" && i + 1 < argc) {
            plan.loadSeconds = std::max(5, atoi(argv[++i]));
        } else if (a == "--report" && i + 1 < argc) {
            plan.report = argv[++i];
        } else if (a == "--keep") {
            plan.keep = true;
        } else if (a == "--output-cpu") {
            plan.outputCpu = true;
        } else {
            return usage();
        }
    }
    signal(SIGPIPE, SIG_IGN);
    printf("tavod_soak: %s load of %d s on %s\n", plan.isShort ? "short" : "full", plan.loadSeconds,
           machine().c_str());
    fflush(stdout);

    // The show: long enough for the warm-up, the load and the cool-down.
    tavodtest::MediaDir media;
    const uint32_t frames =
        (uint32_t)(plan.warmupSeconds + plan.loadSeconds + COOLDOWN_MAX_S + 10) * 1000 / STEP_MS;
    if (!media.writeSequence("soak.lcsf", SHOW_CHANNELS, frames, STEP_MS, LCSFFile::CompressionType::zstd)) {
        fprintf(stderr, "tavod_soak: cannot write the show\n");
        return 1;
    }
    UdpSink udp;
    if (!udp.Open()) {
        fprintf(stderr, "tavod_soak: no UDP receiver\n");
        return 1;
    }
    CardWall wall;
    std::string noWall;
    const bool withWall = wall.Open(noWall);
    std::string outputs;
    for (int o = 0; o < UDP_OUTPUTS; o++) {
        outputs += (o ? ",\n" : "") + udpOutput(o, udp.Port());
    }
    E131Sink e131;
    std::string noE131;
    const bool withE131 = e131.Open(noE131);
    if (withE131) {
        outputs += ",\n{\"type\": \"E131\", \"enabled\": 1, \"startChannel\": 1, \"channelCount\": " +
                   std::to_string(E131_UNICAST_UNIVERSES * 510) +
                   ", \"universe\": 1, \"address\": \"127.0.0.1\"}";
        outputs += ",\n{\"type\": \"E131\", \"enabled\": 1, \"startChannel\": 40001, \"channelCount\": " +
                   std::to_string(E131_MULTICAST_UNIVERSES * 510) +
                   ", \"universe\": " + std::to_string(E131_MULTICAST_FIRST) + ", \"interface\": \"lo\"}";
    } else {
        fprintf(stderr, "tavod_soak: no E1.31 outputs: %s\n", noE131.c_str());
    }
    outputs += ",\n{\"type\": \"WebPreview\", \"enabled\": 1, \"startChannel\": 1, \"channelCount\": 9000, "
               "\"port\": 0, \"layout\": {\"type\": \"matrix\", \"width\": 100, \"height\": 30}}";
    if (withWall) {
        outputs +=
            ",\n{\"type\": \"LinkCard\", \"enabled\": 1, \"startChannel\": 120001, \"channelCount\": 24576, "
            "\"interface\": \"" +
            wall.HostInterface() +
            "\", \"firmwareVersion\": 12, \"linkCheck\": false, \"cfgVersion\": 2, \"panelWidth\": 64, "
            "\"panelHeight\": 32, \"panels\": ["
            "{\"outputNumber\": 0, \"panelNumber\": 1, \"orientation\": \"N\", \"xOffset\": 0, \"yOffset\": "
            "0},"
            "{\"outputNumber\": 0, \"panelNumber\": 0, \"orientation\": \"N\", \"xOffset\": 64, \"yOffset\": "
            "0},"
            "{\"outputNumber\": 1, \"panelNumber\": 1, \"orientation\": \"N\", \"xOffset\": 0, \"yOffset\": "
            "32},"
            "{\"outputNumber\": 1, \"panelNumber\": 0, \"orientation\": \"N\", \"xOffset\": 64, \"yOffset\": "
            "32}]}";
    }
    media.writeOutputs(outputs);
    int outputCpu = -1;
    if (plan.outputCpu) {
        const std::vector<int> cpus = UsableCpus();
        if (cpus.size() < 2) {
            fprintf(stderr, "tavod_soak: --output-cpu needs two processors; this process may use %zu\n",
                    cpus.size());
            return 2;
        }
        outputCpu = cpus.back();
        media.writeConfig("settings.json", "{\"outputThreadCpu\": " + std::to_string(outputCpu) + "}");
    }
    media.writeConfig("pins.json", R"({"provider": "simulated", "simulatedDir": "sim", "pins": [
        {"name": "IN1", "gpio": 1}, {"name": "OUT1", "gpio": 2}]})");

    LoopbackListener listener;
    if (!listener.ok()) {
        fprintf(stderr, "tavod_soak: no loopback socket\n");
        return 1;
    }
    const uint16_t apiPort = listener.port();
    tavodtest::Tavod tavod(media.path(),
                           tavodtest::tavodArgs(media, {"--log-level", "warning", "play", "soak.lcsf"}), -1,
                           listener.release());
    Json::Value status;
    for (int i = 0; i < 300 && tavod.running(); i++) {
        status = getStatus(apiPort);
        if (status["status"].asString() == "playing") {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (status["status"].asString() != "playing") {
        fprintf(stderr, "tavod_soak: tavod did not start playing; it said:\n%s\n", tavod.err().c_str());
        return 1;
    }
    if (outputCpu >= 0) {
        keepOffCpu(outputCpu); // tavod has started: it keeps every processor
    }
    uint16_t previewPort = 0;
    for (const Json::Value& o : status["outputs"]) {
        if (o["type"].asString() == "WebPreview") {
            previewPort = (uint16_t)o["port"].asInt();
        }
    }
    if (!previewPort) {
        fprintf(stderr, "tavod_soak: no web preview in /api/status:\n%s\n", SaveJsonToString(status).c_str());
        return 1;
    }
    // The first second is the start's, not the baseline's.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const int64_t baselineStartReal = RealTimeUs();
    std::this_thread::sleep_for(std::chrono::seconds(plan.warmupSeconds - 1));
    const Usage before = usageOf(tavod.pid());
    const Json::Value statusBefore = getStatus(apiPort);

    // The load.
    printf(
        "load: %d preview connections, %d API requests from %d clients, %d slow clients on each of 2 ports\n",
        plan.previewConnections, plan.apiRequests, plan.apiClients, plan.slowPerPort);
    fflush(stdout);
    const int64_t loadStartReal = RealTimeUs();
    const int64_t loadStart = nowUs();
    std::atomic<bool> stopLoad{false};
    ApiCounts api;
    PreviewCounts preview;
    SlowCounts slow;
    Usage peak;
    std::vector<Usage> samples;
    std::thread monitor([&] {
        while (!stopLoad) {
            Usage u = usageOf(tavod.pid());
            samples.push_back(u);
            peak.rssKb = std::max(peak.rssKb, u.rssKb);
            peak.fds = std::max(peak.fds, u.fds);
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    });
    std::thread slowThread([&] {
        RunSlowClients({apiPort, previewPort}, plan.slowPerPort, plan.slowPerPort / 25 + 1, stopLoad, slow);
    });
    std::thread previewThread([&] {
        RunPreviewLoad(previewPort, plan.previewConnections, plan.previewConcurrent, 10, plan.loadSeconds,
                       preview);
    });
    int64_t apiSeconds = 0;
    std::thread apiThread([&] {
        const int64_t began = nowUs();
        RunApiLoad(apiPort, plan.apiClients, plan.apiRequests, api);
        apiSeconds = nowUs() - began;
    });
    apiThread.join();
    previewThread.join();
    while (nowUs() - loadStart < (int64_t)plan.loadSeconds * 1000000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const Json::Value statusLoad = getStatus(apiPort);
    stopLoad = true;
    slowThread.join();
    monitor.join();
    const int64_t loadEndReal = RealTimeUs();
    const int64_t loadEnd = nowUs();

    // Cool-down: the servers let go of what the load left behind.
    Usage after = usageOf(tavod.pid());
    for (int i = 0; i < COOLDOWN_MAX_S * 2; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        after = usageOf(tavod.pid());
        Json::Value s = getStatus(apiPort);
        int previewConnections = -1;
        for (const Json::Value& o : s["outputs"]) {
            if (o["type"].asString() == "WebPreview") {
                previewConnections = o["connections"].asInt();
            }
        }
        if (previewConnections == 0 && after.fds <= before.fds && i >= 4) {
            break;
        }
    }
    const double cooldownS = (double)(nowUs() - loadEnd) / 1e6;
    const Json::Value statusAfter = getStatus(apiPort);
    tavod.sendSignal(SIGTERM);
    const bool ended = tavod.wait(30000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    udp.Stop();
    wall.Stop();
    e131.Stop();
    int64_t e131Lost = 0, e131Packets = 0;
    size_t e131Universes = 0;
    for (const auto& u : e131.universes) {
        e131Lost += u.second.lost;
        e131Packets += u.second.packets;
        e131Universes += u.second.packets > 0 ? 1 : 0;
    }

    // Frames at the receivers: each output's datagrams in order, frame numbers unwrapped.
    std::map<int64_t, int64_t> frameLast; // frame -> last arrival over the outputs
    std::map<int64_t, int> frameCount;
    std::vector<int64_t> unwrapped(UDP_OUTPUTS, -1);
    uint64_t repeats = 0;
    for (const Arrival& a : udp.arrivals) {
        int64_t& last = unwrapped[a.output];
        int64_t f;
        if (last < 0) {
            f = a.frameMod;
        } else {
            const int delta = (uint8_t)(a.frameMod - (uint8_t)last);
            if (delta == 0) {
                repeats++;
                continue;
            }
            f = last + delta;
        }
        last = f;
        frameLast[f] = std::max(frameLast[f], a.timeUs);
        frameCount[f]++;
    }
    int64_t lost = 0;
    int64_t firstFrame = frameLast.empty() ? 0 : frameLast.begin()->first;
    int64_t lastFrame = frameLast.empty() ? -1 : frameLast.rbegin()->first;
    for (int64_t f = firstFrame; f <= lastFrame; f++) {
        auto it = frameCount.find(f);
        lost += UDP_OUTPUTS - (it == frameCount.end() ? 0 : std::min(it->second, UDP_OUTPUTS));
    }
    // Lateness against an ideal schedule anchored at the frame that came earliest.
    int64_t anchor = INT64_MAX;
    for (auto& f : frameLast) {
        anchor = std::min(anchor, f.second - f.first * STEP_MS * 1000);
    }
    // The lateness of the frames due within [from, to], and how many of them there
    // were and were lost.
    auto lateness = [&](int64_t from, int64_t to, std::vector<double>& late, int64_t& frames,
                        int64_t& lostHere) {
        for (int64_t f = firstFrame; f <= lastFrame; f++) {
            const int64_t due = anchor + f * STEP_MS * 1000;
            if (due < from || due > to) {
                continue;
            }
            frames++;
            auto it = frameCount.find(f);
            if (it == frameCount.end() || it->second < UDP_OUTPUTS) {
                lostHere++;
                continue;
            }
            late.push_back((double)(frameLast[f] - due) / 1000.0);
        }
    };
    std::vector<double> lateMs;
    int64_t loadFrames = 0;
    int64_t lostInLoad = 0;
    lateness(loadStartReal, loadEndReal, lateMs, loadFrames, lostInLoad);
    std::vector<double> baselineMs;
    int64_t baselineFrames = 0;
    int64_t lostInBaseline = 0;
    lateness(baselineStartReal, loadStartReal, baselineMs, baselineFrames, lostInBaseline);
    // The wall: a display frame for every frame the UDP outputs got (its packets carry
    // no frame number, so its lateness is not measured; the UDP receivers' is).
    int64_t wallLost = 0;
    if (withWall) {
        wallLost = std::max<int64_t>(0, (lastFrame - firstFrame + 1) - (int64_t)wall.displays.size());
    }

    std::vector<double> apiLatency;
    for (int64_t l : api.latenciesUs) {
        apiLatency.push_back((double)l / 1000.0);
    }
    const std::string err = tavod.err();
    const bool sanitizerReport = err.find("ERROR: AddressSanitizer") != std::string::npos ||
                                 err.find("ERROR: LeakSanitizer") != std::string::npos ||
                                 err.find("runtime error:") != std::string::npos;

    // The report.
    Json::Value r;
    r["machine"] = machine();
    r["short"] = plan.isShort;
    r["loadSeconds"] = plan.loadSeconds;
    r["outputThreadCpu"] = outputCpu;
    r["frames"]["atReceivers"] = (Json::Int64)(lastFrame - firstFrame + 1);
    r["frames"]["duringLoad"] = (Json::Int64)loadFrames;
    r["frames"]["lost"] = (Json::Int64)(lost / UDP_OUTPUTS + (lost % UDP_OUTPUTS ? 1 : 0));
    r["frames"]["datagramsMissing"] = (Json::Int64)lost;
    r["frames"]["lostDuringLoad"] = (Json::Int64)lostInLoad;
    if (withE131) {
        r["e131"]["universes"] = (Json::UInt64)e131Universes;
        r["e131"]["packets"] = (Json::Int64)e131Packets;
        r["e131"]["lost"] = (Json::Int64)e131Lost;
    }
    r["frames"]["repeated"] = (Json::UInt64)repeats;
    r["frames"]["duringBaseline"] = (Json::Int64)baselineFrames;
    r["frames"]["lostDuringBaseline"] = (Json::Int64)lostInBaseline;
    r["lateness"]["baselineSeconds"] = (double)(loadStartReal - baselineStartReal) / 1e6;
    r["lateness"]["baselineP50Ms"] = Percentile(baselineMs, 50);
    r["lateness"]["baselineP99Ms"] = Percentile(baselineMs, 99);
    r["lateness"]["baselineMaxMs"] = Percentile(baselineMs, 100);
    r["lateness"]["receiversP50Ms"] = Percentile(lateMs, 50);
    r["lateness"]["receiversP99Ms"] = Percentile(lateMs, 99);
    r["lateness"]["receiversMaxMs"] = Percentile(lateMs, 100);
    r["lateness"]["tavodP50Us"] = statusLoad["lateness"]["p50Us"];
    r["lateness"]["tavodP99Us"] = statusLoad["lateness"]["p99Us"];
    r["lateness"]["tavodMaxUs"] = statusLoad["lateness"]["maxUs"];
    r["lateness"]["tavodLateFrames"] = statusLoad["lateFrames"];
    // How long the output thread works on a frame: what grows when a door steals its time.
    r["lateness"]["tavodWorkP99Us"] = statusLoad["frameWork"]["p99Us"];
    r["lateness"]["tavodWorkMaxUs"] = statusLoad["frameWork"]["maxUs"];
    r["lateness"]["tavodWorkP99UsBeforeLoad"] = statusBefore["frameWork"]["p99Us"];
    r["lateness"]["tavodLateFramesBeforeLoad"] = statusBefore["lateFrames"];
    if (withWall) {
        r["wall"]["displayFrames"] = (Json::UInt64)wall.displays.size();
        r["wall"]["rowPackets"] = (Json::UInt64)wall.rowPackets;
        r["wall"]["framesMissing"] = (Json::Int64)wallLost;
    } else {
        r["wall"] = "left out: " + noWall;
    }
    r["api"]["requests"] = (Json::UInt64)api.sent;
    r["api"]["unanswered"] = (Json::UInt64)api.unanswered;
    r["api"]["seconds"] = (double)apiSeconds / 1e6;
    r["api"]["latencyP50Ms"] = Percentile(apiLatency, 50);
    r["api"]["latencyP99Ms"] = Percentile(apiLatency, 99);
    for (auto& s : api.statuses) {
        r["api"]["statuses"][std::to_string(s.first)] = (Json::UInt64)s.second;
    }
    r["preview"]["attempts"] = (Json::UInt64)preview.attempts;
    r["preview"]["served"] = (Json::UInt64)preview.served;
    r["preview"]["refused503"] = (Json::UInt64)preview.refused;
    r["preview"]["noAnswer"] = (Json::UInt64)preview.noAnswer;
    r["preview"]["noAnswerSilent"] = (Json::UInt64)preview.noAnswerSilent;
    r["preview"]["slowestAnswerMs"] = (double)preview.slowestAnswerUs / 1000.0;
    r["preview"]["connectFailed"] = (Json::UInt64)preview.connectFailed;
    r["preview"]["droppedByServer"] = (Json::UInt64)preview.droppedByServer;
    r["preview"]["megabytes"] = (double)preview.bytes / 1e6;
    r["slow"]["opened"] = (Json::UInt64)slow.opened;
    r["slow"]["cutByServer"] = (Json::UInt64)slow.cutByServer;
    r["slow"]["answered"] = (Json::UInt64)slow.answered;
    r["tavod"]["rssKbBefore"] = (Json::Int64)before.rssKb;
    r["tavod"]["rssKbPeak"] = (Json::Int64)peak.rssKb;
    r["tavod"]["rssKbAfter"] = (Json::Int64)after.rssKb;
    r["tavod"]["heapInUseBefore"] = statusBefore["heapInUseBytes"];
    r["tavod"]["heapInUseAfter"] = statusAfter["heapInUseBytes"];
    r["tavod"]["fdsBefore"] = before.fds;
    r["tavod"]["fdsPeak"] = peak.fds;
    r["tavod"]["fdsAfter"] = after.fds;
    r["tavod"]["cooldownSeconds"] = cooldownS;
    r["tavod"]["exitStatus"] = ended ? tavod.exitCode() : -1;
    r["tavod"]["sanitizerReport"] = sanitizerReport;
    for (const Json::Value& o : statusAfter["outputs"]) {
        if (o["type"].asString() == "WebPreview") {
            r["preview"]["refusedByServer"] = o["refusedConnections"];
            r["preview"]["droppedForLimits"] = o["droppedConnections"];
        }
    }
    printf("%s", SaveJsonToString(r, "  ").c_str());
    if (!plan.report.empty()) {
        std::ofstream(plan.report) << SaveJsonToString(r, "  ");
    }

    Verdicts v;
    v.add("tavod ended cleanly (status 0) when stopped", ended && tavod.exitCode() == 0);
    v.add("no sanitizer report", !sanitizerReport);
    v.add("every API request answered with a status code",
          api.unanswered == 0 && api.sent == (uint64_t)plan.apiRequests);
    v.add("no 5xx answer but the command queue's 503", [&] {
        for (auto& s : api.statuses) {
            if (s.first >= 500 && s.first != 503) {
                return false;
            }
        }
        return true;
    }());
    v.add("every preview connection answered (200 or 503)", preview.noAnswer == 0);
    v.add("no frame lost at the receivers", lost == 0 && lastFrame > firstFrame);
    v.add("descriptors back to their start (+2)", after.fds <= before.fds + 2);
    if (withE131) {
        v.add("every E1.31 universe (64 unicast, 16 multicast) arrived, no packet lost",
              e131Universes == (size_t)(E131_UNICAST_UNIVERSES + E131_MULTICAST_UNIVERSES) && e131Lost == 0 &&
                  e131.invalid == 0);
    }
    if (withWall) {
        v.add("no display frame missing at the wall", wallLost == 0);
    }
    if (!plan.isShort) {
        v.add("p99 lateness under 2 ms during the load (receivers)", Percentile(lateMs, 99) < 2.0);
        v.add("no frame lost during the load", lostInLoad == 0);
        // Resident memory also counts what the allocator keeps for the next peak; the
        // heap in use is what a leak would grow.
        const double heapBefore = statusBefore["heapInUseBytes"].asDouble();
        const double heapAfter = statusAfter["heapInUseBytes"].asDouble();
        v.add("heap in use back within 10 % + 1 MB", heapAfter <= heapBefore * 1.1 + 1e6);
        v.add("resident memory back within 10 % + 4 MB",
              after.rssKb <= before.rssKb + before.rssKb / 10 + 4096);
    }
    printf("\n");
    for (auto& c : v.checks) {
        printf("%s  %s\n", c.second ? "met   " : "MISSED", c.first.c_str());
    }
    if (sanitizerReport || !v.allOk()) {
        printf("\ntavod's standard error:\n%s\n", err.substr(0, 20000).c_str());
    }
    if (plan.keep) {
        printf("media folder kept: %s (tavod's log in logs/tavod.log)\n", media.path().c_str());
        std::string cmd = "cp -r " + media.path() + " " + media.path() + "-kept";
        if (system(cmd.c_str()) == 0) {
            printf("copied to %s-kept\n", media.path().c_str());
        }
    }
    return v.allOk() ? 0 : 1;
}
