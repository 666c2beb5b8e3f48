// The UDP engine's per-frame cost: queueing CustomUDP datagrams (no bytes copied
// into datagrams) and sending them to 127.0.0.1 with sendmmsg.
#include "CustomUDPOutput.h"
#include "host/core/Log.h"
#include "host/output/UDPOutput.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// A receiver nobody reads: the kernel drops what does not fit, the sender does not care.
int openSink(uint16_t& port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    bind(fd, (struct sockaddr*)&a, sizeof(a));
    getsockname(fd, (struct sockaddr*)&a, &len);
    port = ntohs(a.sin_port);
    return fd;
}

void addOutputs(UDPOutput& engine, int outputs, int channels, uint16_t port) {
    // The data objects print their address; keep that out of the results.
    fflush(stdout);
    int saved = dup(1);
    int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(devNull, 1);
    for (int i = 0; i < outputs; i++) {
        Json::Value c;
        c["address"] = "127.0.0.1";
        c["port"] = port;
        c["startChannel"] = 1 + i * channels;
        c["channelCount"] = channels;
        c["tokens"] = "#41 {s2} {data}";
        engine.addOutput(new CustomUDPOutputData(c));
    }
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(devNull);
}

void quiet() {
    TavoLogger::INSTANCE.setStderr(false);
}

// Queueing only: every frame changes, so every output queues a datagram.
void BM_QueueFrame(benchmark::State& state) {
    quiet();
    std::vector<unsigned char> buffer(TAVO_CHANNEL_BUFFER_SIZE);
    UDPOutput engine;
    addOutputs(engine, (int)state.range(0), 510, 9);
    unsigned char v = 0;
    for (auto _ : state) {
        buffer[0] = ++v;
        for (int i = 0; i < state.range(0); i++) {
            buffer[(size_t)i * 510] = v;
        }
        engine.PrepData(buffer.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_QueueFrame)->Arg(16)->Arg(256);

// Queue and send to a loopback receiver.
void BM_QueueAndSendFrame(benchmark::State& state) {
    quiet();
    uint16_t port = 0;
    int sink = openSink(port);
    std::vector<unsigned char> buffer(TAVO_CHANNEL_BUFFER_SIZE);
    UDPOutput engine;
    engine.Init(Json::Value(Json::objectValue));
    addOutputs(engine, (int)state.range(0), 510, port);
    unsigned char v = 0;
    for (auto _ : state) {
        ++v;
        for (int i = 0; i < state.range(0); i++) {
            buffer[(size_t)i * 510] = v;
        }
        engine.PrepData(buffer.data());
        engine.SendData(buffer.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    close(sink);
}
BENCHMARK(BM_QueueAndSendFrame)->Arg(16)->Arg(256);

} // namespace

BENCHMARK_MAIN();
