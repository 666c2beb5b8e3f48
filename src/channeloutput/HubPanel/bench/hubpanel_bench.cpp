// HubPanel on a 256 x 128 canvas (2 outputs, chains of 4 panels of 64 x 64, gamma
// 2.2), against the plain copies of the same 98,304 bytes measured in the same
// run: a memcpy, and an in-order copy through a gamma table. At 40 frames per
// second a frame's share of one core is 40 x its CPU time.
#include "host/core/Log.h"
#include "host/core/Settings.h"
#include "host/output/ChannelBuffer.h"
#include "host/output/PixelOverlay.h"
#include "HubPanelOutput.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

const size_t PICTURE_BYTES = 256 * 128 * 3;

Json::Value wall() {
    Json::Value c(Json::objectValue);
    c["panelWidth"] = 64;
    c["panelHeight"] = 64;
    c["gamma"] = "2.2";
    c["panels"] = Json::Value(Json::arrayValue);
    for (int o = 0; o < 2; o++) {
        for (int p = 0; p < 4; p++) {
            Json::Value panel(Json::objectValue);
            panel["outputNumber"] = o;
            panel["panelNumber"] = p;
            panel["orientation"] = "N";
            panel["xOffset"] = p * 64;
            panel["yOffset"] = o * 64;
            c["panels"].append(panel);
        }
    }
    return c;
}

std::vector<uint8_t>& channels() {
    static std::vector<uint8_t> b = [] {
        std::vector<uint8_t> v(TAVO_CHANNEL_BUFFER_SIZE, 0);
        for (size_t i = 0; i < PICTURE_BYTES; i++) {
            v[i] = (uint8_t)(i * 31 + (i >> 9));
        }
        return v;
    }();
    return b;
}

std::unique_ptr<HubPanelOutput> output() {
    TavoLogger::INSTANCE.setLevels("warning");
    // No board files here: the checks pass as on a board without them.
    setSetting("HubPanelBoardRoot", "/nonexistent");
    PixelOverlayManager::INSTANCE.autoCreateModels = false;
    std::unique_ptr<HubPanelOutput> o(new HubPanelOutput(0, 0));
    if (!o->Init(wall())) {
        return nullptr;
    }
    return o;
}

void BM_PlainMemcpy(benchmark::State& state) {
    std::vector<uint8_t> out(PICTURE_BYTES);
    for (auto _ : state) {
        memcpy(out.data(), channels().data(), out.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)PICTURE_BYTES);
}
BENCHMARK(BM_PlainMemcpy)->Repetitions(3)->ReportAggregatesOnly(true);

void BM_PlainGammaCopy(benchmark::State& state) {
    uint8_t table[256];
    for (int i = 0; i < 256; i++) {
        table[i] = (uint8_t)(255 - i);
    }
    const uint8_t* in = channels().data();
    std::vector<uint8_t> out(PICTURE_BYTES);
    for (auto _ : state) {
        for (size_t i = 0; i < out.size(); i++) {
            out[i] = table[in[i]];
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)PICTURE_BYTES);
}
BENCHMARK(BM_PlainGammaCopy)->Repetitions(3)->ReportAggregatesOnly(true);

// PrepData: sub-matrices (none), then each panel pixel through its map, the gamma
// table and the canvas's SetPixel.
void BM_PrepData(benchmark::State& state) {
    auto o = output();
    if (!o) {
        state.SkipWithError("Init failed");
        return;
    }
    for (auto _ : state) {
        o->PrepData(channels().data());
        benchmark::DoNotOptimize(o->GetCanvas());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)PICTURE_BYTES);
}
BENCHMARK(BM_PrepData)->Repetitions(3)->ReportAggregatesOnly(true);

// A whole frame: PrepData and SendData (the swap).
void BM_WholeFrame(benchmark::State& state) {
    auto o = output();
    if (!o) {
        state.SkipWithError("Init failed");
        return;
    }
    for (auto _ : state) {
        o->PrepData(channels().data());
        o->SendData(channels().data());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)PICTURE_BYTES);
}
BENCHMARK(BM_WholeFrame)->Repetitions(3)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
