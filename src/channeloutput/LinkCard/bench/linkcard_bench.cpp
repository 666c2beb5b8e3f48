// LinkCard output on a 512 x 256 wall (8 outputs, chains of 8 panels of 64 x 32),
// each part against its limit measured in the same run: the per-frame copy
// against a plain gamma-table copy of the same bytes, and the send against a bare
// sendmmsg loop of the same packets on the same veth pair.
#include "host/core/Log.h"
#include "host/core/Settings.h"
#include "host/output/ChannelBuffer.h"
#include "host/output/PixelOverlay.h"
#include "LinkCardOutput.h"
#include "VethPair.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

int noSend(int, struct mmsghdr*, unsigned int count, int) {
    return (int)count;
}

Json::Value wall(const std::string& ifName) {
    Json::Value c(Json::objectValue);
    c["interface"] = ifName;
    c["firmwareVersion"] = 12;
    c["cfgVersion"] = 2;
    c["panelWidth"] = 64;
    c["panelHeight"] = 32;
    c["gamma"] = "2.2";
    c["panels"] = Json::Value(Json::arrayValue);
    for (int o = 0; o < 8; o++) {
        for (int p = 0; p < 8; p++) {
            Json::Value panel(Json::objectValue);
            panel["outputNumber"] = o;
            panel["panelNumber"] = p;
            panel["orientation"] = "N";
            panel["xOffset"] = p * 64;
            panel["yOffset"] = o * 32;
            c["panels"].append(panel);
        }
    }
    return c;
}

// One veth pair for the whole run, removed at exit.
VethPair* veth() {
    static VethPair pair;
    static bool told = false;
    if (!pair.ok() && !told) {
        told = true;
        fprintf(stderr, "linkcard_bench: no veth pair (%s): the send benchmarks are skipped\n",
                pair.reason().c_str());
    }
    return &pair;
}

std::unique_ptr<LinkCardOutput> output(const std::string& ifName, bool send) {
    TavoLogger::INSTANCE.setLevels("warning");
    setSetting("LinkCardSysfsRoot", "");
    PixelOverlayManager::INSTANCE.autoCreateModels = false;
    std::unique_ptr<LinkCardOutput> o(new LinkCardOutput(0, 0));
    if (!send) {
        o->SetSendFunction(noSend);
    }
    if (!o->Init(wall(ifName))) {
        return nullptr;
    }
    return o;
}

std::vector<uint8_t>& channels() {
    static std::vector<uint8_t> b = [] {
        std::vector<uint8_t> v(TAVO_CHANNEL_BUFFER_SIZE, 0);
        for (size_t i = 0; i < 512 * 256 * 3; i++) {
            v[i] = (uint8_t)(i * 31 + (i >> 9));
        }
        return v;
    }();
    return b;
}

// The limit of the copy: the same bytes through the same table, in order.
void BM_PlainGammaCopy(benchmark::State& state) {
    uint8_t table[256];
    for (int i = 0; i < 256; i++) {
        table[i] = (uint8_t)(255 - i);
    }
    const uint8_t* in = channels().data();
    std::vector<uint8_t> out(512 * 256 * 3);
    for (auto _ : state) {
        for (size_t i = 0; i < out.size(); i++) {
            out[i] = table[in[i]];
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)out.size());
}
BENCHMARK(BM_PlainGammaCopy)->Repetitions(3)->ReportAggregatesOnly(true);

// PrepData without sending: sub-matrices, the map-driven gamma copy of every panel.
void BM_PrepDataCopy(benchmark::State& state) {
    auto o = output(veth()->ok() ? veth()->host : "lo", false);
    if (!o) {
        state.SkipWithError("Init failed");
        return;
    }
    for (auto _ : state) {
        o->PrepData(channels().data());
        benchmark::DoNotOptimize(o->GetOutputBuffer());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * 512 * 256 * 3);
}
BENCHMARK(BM_PrepDataCopy)->Repetitions(3)->ReportAggregatesOnly(true);

// The limit of the send: the output's own packets, one bare sendmmsg loop on the
// same kind of socket and the same veth.
void BM_BareSendmmsg(benchmark::State& state) {
    if (!veth()->ok()) {
        state.SkipWithError("no veth pair");
        return;
    }
    auto o = output(veth()->host, false);
    if (!o) {
        state.SkipWithError("Init failed");
        return;
    }
    std::vector<struct mmsghdr> data = o->GetDataMessages();
    std::vector<struct mmsghdr> display = o->GetDisplayMessages();
    int fd = socket(AF_PACKET, SOCK_RAW, 255);
    struct sockaddr_ll a;
    memset(&a, 0, sizeof(a));
    a.sll_family = AF_PACKET;
    a.sll_ifindex = (int)if_nametoindex(veth()->host.c_str());
    bind(fd, (struct sockaddr*)&a, sizeof(a));
    for (auto _ : state) {
        for (auto* list : {&data, &display}) {
            size_t sent = 0;
            while (sent < list->size()) {
                int r = sendmmsg(fd, list->data() + sent, (unsigned)(list->size() - sent), 0);
                if (r <= 0) {
                    break;
                }
                sent += (size_t)r;
            }
        }
    }
    close(fd);
    state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)(data.size() + display.size()));
}
BENCHMARK(BM_BareSendmmsg)->Repetitions(3)->ReportAggregatesOnly(true)->UseRealTime();

// The output's sending of one frame: SendMessages of the rows, then of the display frame.
void BM_OutputSend(benchmark::State& state) {
    if (!veth()->ok()) {
        state.SkipWithError("no veth pair");
        return;
    }
    auto o = output(veth()->host, true);
    if (!o) {
        state.SkipWithError("Init failed");
        return;
    }
    std::vector<struct mmsghdr> data = o->GetDataMessages();
    std::vector<struct mmsghdr> display = o->GetDisplayMessages();
    for (auto _ : state) {
        o->SendMessages(data);
        o->SendMessages(display);
    }
    state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)(data.size() + display.size()));
}
BENCHMARK(BM_OutputSend)->Repetitions(3)->ReportAggregatesOnly(true)->UseRealTime();

// A whole frame as the output thread runs it: PrepData and SendData. At 40 frames
// per second its share of a core is 40 x its CPU time.
void BM_WholeFrame(benchmark::State& state) {
    if (!veth()->ok()) {
        state.SkipWithError("no veth pair");
        return;
    }
    auto o = output(veth()->host, true);
    if (!o) {
        state.SkipWithError("Init failed");
        return;
    }
    for (auto _ : state) {
        o->PrepData(channels().data());
        o->SendData(channels().data());
    }
}
BENCHMARK(BM_WholeFrame)->Repetitions(3)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
