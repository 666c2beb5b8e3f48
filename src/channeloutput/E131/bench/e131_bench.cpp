// 170,000 channels as 334 E1.31 universes per frame: building the packets against a
// plain copy of the same bytes, and sending them through the UDP engine against a
// bare sendmmsg loop of the same datagrams (docs/performance.md).
#include "E131Output.h"
#include "host/core/Log.h"
#include "host/output/UDPOutput.h"
#include "protocols/E131.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

constexpr int CHANNELS = 170000;
constexpr int UNIVERSE = 510;
constexpr int UNIVERSES = (CHANNELS + UNIVERSE - 1) / UNIVERSE;

void quiet() {
    TavoLogger::INSTANCE.setStderr(false);
}

// Something listening on 127.0.0.1:5568 that nobody reads: the kernel drops what
// does not fit, and no port-unreachable comes back.
int openSink() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(protocols::e131::PORT);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof(a));
    return fd;
}

// Changes one channel of every universe, so every universe is sent.
void touch(std::vector<unsigned char>& buffer, unsigned char v) {
    for (int u = 0; u < UNIVERSES; u++) {
        buffer[(size_t)u * UNIVERSE] = v;
    }
}

struct E131Setup {
    E131Setup() : output(0, CHANNELS) {
        quiet();
        engine.Init(Json::Value(Json::objectValue));
        Json::Value c(Json::objectValue);
        c["type"] = "E131";
        c["address"] = "127.0.0.1";
        c["universe"] = 1;
        c["universeSize"] = UNIVERSE;
        output.Init(c);
    }
    ~E131Setup() {
        output.Close();
        engine.Close();
    }
    UDPOutput engine;
    E131Output output;
};

// The bytes of a frame copied into one buffer per universe, as packet building must.
void BM_PlainCopy(benchmark::State& state) {
    std::vector<unsigned char> buffer(CHANNELS + 1024);
    std::vector<std::vector<unsigned char>> packets(UNIVERSES, std::vector<unsigned char>(638));
    unsigned char v = 0;
    for (auto _ : state) {
        touch(buffer, ++v);
        for (int u = 0; u < UNIVERSES; u++) {
            size_t n = std::min(UNIVERSE, CHANNELS - u * UNIVERSE);
            memcpy(packets[u].data() + 126, buffer.data() + (size_t)u * UNIVERSE, n);
        }
        benchmark::DoNotOptimize(packets[0].data());
    }
    state.SetItemsProcessed(state.iterations() * UNIVERSES);
}
BENCHMARK(BM_PlainCopy);

// The E131 output queueing a frame whose every universe changed: compare, copy,
// sequence number, queued message.
void BM_BuildPackets(benchmark::State& state) {
    E131Setup s;
    std::vector<unsigned char> buffer(TAVO_CHANNEL_BUFFER_SIZE);
    unsigned char v = 0;
    for (auto _ : state) {
        touch(buffer, ++v);
        s.engine.PrepData(buffer.data());
    }
    state.SetItemsProcessed(state.iterations() * UNIVERSES);
}
BENCHMARK(BM_BuildPackets);

// The same datagrams (638 bytes each) sent with a bare sendmmsg loop.
void BM_BareSendmmsg(benchmark::State& state) {
    int sink = openSink();
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in to;
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_port = htons(protocols::e131::PORT);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<std::vector<unsigned char>> packets(UNIVERSES, std::vector<unsigned char>(638, 1));
    std::vector<struct iovec> iov(UNIVERSES);
    std::vector<struct mmsghdr> msgs(UNIVERSES);
    for (int u = 0; u < UNIVERSES; u++) {
        iov[u].iov_base = packets[u].data();
        iov[u].iov_len = packets[u].size();
        memset(&msgs[u], 0, sizeof(msgs[u]));
        msgs[u].msg_hdr.msg_name = &to;
        msgs[u].msg_hdr.msg_namelen = sizeof(to);
        msgs[u].msg_hdr.msg_iov = &iov[u];
        msgs[u].msg_hdr.msg_iovlen = 1;
    }
    for (auto _ : state) {
        size_t i = 0;
        while (i < msgs.size()) {
            int r = sendmmsg(fd, &msgs[i], (unsigned)(msgs.size() - i), MSG_NOSIGNAL);
            if (r <= 0) {
                break;
            }
            i += (size_t)r;
        }
    }
    state.SetItemsProcessed(state.iterations() * UNIVERSES);
    close(fd);
    close(sink);
}
BENCHMARK(BM_BareSendmmsg);

// Queueing and sending a frame through the engine, every universe changed.
void BM_EngineSend(benchmark::State& state) {
    int sink = openSink();
    E131Setup s;
    std::vector<unsigned char> buffer(TAVO_CHANNEL_BUFFER_SIZE);
    unsigned char v = 0;
    for (auto _ : state) {
        touch(buffer, ++v);
        s.engine.PrepData(buffer.data());
        s.engine.SendData(buffer.data());
    }
    state.SetItemsProcessed(state.iterations() * UNIVERSES);
    close(sink);
}
BENCHMARK(BM_EngineSend);

} // namespace

BENCHMARK_MAIN();
