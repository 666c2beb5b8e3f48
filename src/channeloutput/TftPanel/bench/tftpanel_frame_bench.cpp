// One TFT frame against a register block in memory: the output's RawSendData in
// 24- and 16-bit mode, next to a plain loop of the same number of register writes
// (three stores a byte, constant values) into the same block, in the same run.
// The time column is the time of one frame.
#include "TftBus.h"
#include "TftPanelOutput.h"

#include "host/core/Log.h"
#include "host/hw/BusSimulation.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

// Register writes of one frame: three per byte on the bus.
double writesPerFrame(int bpp) {
    return (double)TftFrameBytes(bpp) * 3;
}

// The output, initialised once per mode on the simulated (memory) registers.
TftPanelOutput& output(int bpp) {
    static std::unique_ptr<TftPanelOutput> outputs[2];
    std::unique_ptr<TftPanelOutput>& out = outputs[bpp == 16 ? 1 : 0];
    if (!out) {
        TavoLogger::INSTANCE.setStderr(false);
        BusSimulation::INSTANCE.Enable();
        out.reset(new TftPanelOutput(0, TFT_PIXELS * 3));
        Json::Value c(Json::objectValue);
        c["bpp"] = bpp;
        if (!out->Init(c)) {
            fprintf(stderr, "the TFT output did not start\n");
            abort();
        }
    }
    return *out;
}

std::vector<uint8_t> frame() {
    std::vector<uint8_t> f((size_t)TFT_PIXELS * 3);
    for (size_t i = 0; i < f.size(); i++) {
        f[i] = (uint8_t)(i * 37 + (i >> 9));
    }
    return f;
}

void BM_TftFrame(benchmark::State& state) {
    int bpp = (int)state.range(0);
    TftPanelOutput& out = output(bpp);
    std::vector<uint8_t> f = frame();
    for (auto _ : state) {
        benchmark::DoNotOptimize(out.RawSendData(f.data()));
    }
    state.counters["writes_per_s"] =
        benchmark::Counter(writesPerFrame(bpp), benchmark::Counter::kIsIterationInvariantRate);
}

// The floor: the same number of stores into the same block, nothing computed.
void BM_PlainWrites(benchmark::State& state) {
    int bpp = (int)state.range(0);
    output(bpp);
    volatile uint32_t* block = BusSimulation::INSTANCE.RegisterBlock();
    uint32_t bytes = TftFrameBytes(bpp);
    for (auto _ : state) {
        for (uint32_t i = 0; i < bytes; i++) {
            block[TFT_CLEAR_REGISTER / 4] = TFT_CLEAR_MASK;
            block[TFT_SET_REGISTER / 4] = 0x00400100;
            block[TFT_SET_REGISTER / 4] = TFT_WR_MASK;
        }
    }
    state.counters["writes_per_s"] =
        benchmark::Counter(writesPerFrame(bpp), benchmark::Counter::kIsIterationInvariantRate);
}

} // namespace

BENCHMARK(BM_TftFrame)
    ->Arg(24)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly();
BENCHMARK(BM_PlainWrites)
    ->Arg(24)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly();

BENCHMARK_MAIN();
