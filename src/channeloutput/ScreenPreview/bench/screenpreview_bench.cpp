// ScreenPreview drawing a 56,000-pixel layout (280 x 200) per frame, into a memory
// model and into framebuffer models on memory-backed 16- and 32-bit screens,
// against the plain copy of the same 168,000 bytes measured in the same run, and
// the base's DrawPixels (each pixel's colour read once into the preview buffer).
// "core_pct_40fps" is the per cent of one core the frame costs at 40 frames per
// second (40 x its CPU time).
#include "ScreenPreviewOutput.h"
#include "host/core/Log.h"
#include "host/output/Framebuffer.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

const int WIDTH = 280, HEIGHT = 200; // 56,000 pixels
const size_t BYTES = (size_t)WIDTH * HEIGHT * 3;

std::vector<unsigned char>& frame() {
    static std::vector<unsigned char> f = [] {
        std::vector<unsigned char> v(BYTES);
        std::mt19937 rng(7);
        for (auto& b : v) {
            b = (unsigned char)rng();
        }
        return v;
    }();
    return f;
}

void setCoreShare(benchmark::State& state) {
    // 100 x 40 x seconds per frame, from the benchmark's own CPU time.
    state.counters["core_pct_40fps"] = benchmark::Counter(
        (double)state.iterations() / 4000.0, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

FramebufferGeometry screen(int bits, int width, int height) {
    FramebufferGeometry g;
    g.width = width;
    g.height = height;
    g.bitsPerPixel = bits;
    g.lineLength = width * bits / 8;
    if (bits == 16) {
        g.red = {11, 5};
        g.green = {5, 6};
        g.blue = {0, 5};
    } else {
        g.red = {16, 8};
        g.green = {8, 8};
        g.blue = {0, 8};
        g.transp = {24, 8};
    }
    return g;
}

// The output on a 280 x 200 matrix; with `bits`, on a memory-backed framebuffer of
// that depth and the given size, else into a memory model of the layout's size.
std::unique_ptr<ScreenPreviewOutput> output(int bits, int pixelSize, int width, int height) {
    TavoLogger::INSTANCE.setLevels("warning");
    PixelOverlayManager::INSTANCE.removeAllModels();
    Json::Value c(Json::objectValue);
    c["type"] = "ScreenPreview";
    c["pixelSize"] = pixelSize;
    c["layout"]["type"] = "matrix";
    c["layout"]["width"] = WIDTH;
    c["layout"]["height"] = HEIGHT;
    if (bits) {
        FramebufferGeometry g = screen(bits, width, height);
        FramebufferDevice::SetOpener([g](const std::string&, std::string&) {
            return std::unique_ptr<FramebufferDevice>(new MemoryFramebufferDevice(g));
        });
        c["device"] = "fb0";
        c["width"] = width;
        c["height"] = height;
    } else {
        Json::Value m(Json::objectValue);
        m["Name"] = "Preview";
        m["Type"] = "Memory";
        m["Width"] = width;
        m["Height"] = height;
        PixelOverlayManager::INSTANCE.addModel(m);
        c["modelName"] = "Preview";
    }
    std::unique_ptr<ScreenPreviewOutput> o(new ScreenPreviewOutput(0, (unsigned)BYTES));
    if (!o->Init(c)) {
        o.reset();
    }
    FramebufferDevice::SetOpener(nullptr);
    return o;
}

void draw(benchmark::State& state, int bits, int pixelSize, int width, int height) {
    auto o = output(bits, pixelSize, width, height);
    if (!o) {
        state.SkipWithError("Init failed");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(o->SendData(frame().data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)BYTES);
    setCoreShare(state);
    o.reset();
    PixelOverlayManager::INSTANCE.removeAllModels();
}

// The limit: the frame's bytes copied once, in order.
void BM_PlainCopy(benchmark::State& state) {
    std::vector<unsigned char> out(BYTES);
    for (auto _ : state) {
        memcpy(out.data(), frame().data(), BYTES);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)BYTES);
    setCoreShare(state);
}
BENCHMARK(BM_PlainCopy)->Repetitions(3)->ReportAggregatesOnly(true);

// Every pixel's colour read once, through the same pixel records, into the
// preview buffer: what a preview costs before discs and models.
void BM_BaseDrawPixels(benchmark::State& state) {
    auto o = output(0, 1, WIDTH, HEIGHT);
    if (!o) {
        state.SkipWithError("Init failed");
        return;
    }
    for (auto _ : state) {
        o->ScreenPreviewBaseOutput::DrawPixels(frame().data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)BYTES);
    setCoreShare(state);
    o.reset();
    PixelOverlayManager::INSTANCE.removeAllModels();
}
BENCHMARK(BM_BaseDrawPixels)->Repetitions(3)->ReportAggregatesOnly(true);

// Pixel size 1 (three points a pixel) into a memory model: the drawing alone.
void BM_DrawMemoryModel(benchmark::State& state) {
    draw(state, 0, 1, WIDTH, HEIGHT);
}
BENCHMARK(BM_DrawMemoryModel)->Repetitions(3)->ReportAggregatesOnly(true);

// The same onto a screen of the layout's size: drawing, then packing every pixel
// into the framebuffer.
void BM_DrawFramebuffer16(benchmark::State& state) {
    draw(state, 16, 1, WIDTH, HEIGHT);
}
BENCHMARK(BM_DrawFramebuffer16)->Repetitions(3)->ReportAggregatesOnly(true);

void BM_DrawFramebuffer32(benchmark::State& state) {
    draw(state, 32, 1, WIDTH, HEIGHT);
}
BENCHMARK(BM_DrawFramebuffer32)->Repetitions(3)->ReportAggregatesOnly(true);

// A screen four times the layout (1120 x 800, 32 bits) at pixel size 4: eleven
// points a pixel and 896,000 screen pixels packed.
void BM_DrawFramebuffer32Scaled4(benchmark::State& state) {
    draw(state, 32, 4, WIDTH * 4, HEIGHT * 4);
}
BENCHMARK(BM_DrawFramebuffer32Scaled4)->Repetitions(3)->ReportAggregatesOnly(true);

// The same screen with a declared "FB" model of the layout's size at "PixelSize"
// 4: the preview draws 280 x 200 at pixel size 1 and the model widens each point
// into a 4 x 4 square as it packs.
void BM_DrawFramebuffer32ModelPixelSize4(benchmark::State& state) {
    TavoLogger::INSTANCE.setLevels("warning");
    PixelOverlayManager::INSTANCE.removeAllModels();
    FramebufferGeometry g = screen(32, WIDTH * 4, HEIGHT * 4);
    FramebufferDevice::SetOpener([g](const std::string&, std::string&) {
        return std::unique_ptr<FramebufferDevice>(new MemoryFramebufferDevice(g));
    });
    Json::Value m(Json::objectValue);
    m["Name"] = "Screen";
    m["Type"] = "FB";
    m["Device"] = "fb0";
    m["Width"] = WIDTH;
    m["Height"] = HEIGHT;
    m["PixelSize"] = 4;
    bool added = PixelOverlayManager::INSTANCE.addModel(m);
    FramebufferDevice::SetOpener(nullptr);
    Json::Value c(Json::objectValue);
    c["type"] = "ScreenPreview";
    c["modelName"] = "Screen";
    c["layout"]["type"] = "matrix";
    c["layout"]["width"] = WIDTH;
    c["layout"]["height"] = HEIGHT;
    std::unique_ptr<ScreenPreviewOutput> o(new ScreenPreviewOutput(0, (unsigned)BYTES));
    if (!added || !o->Init(c)) {
        state.SkipWithError("Init failed");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(o->SendData(frame().data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)BYTES);
    setCoreShare(state);
    o.reset();
    PixelOverlayManager::INSTANCE.removeAllModels();
}
BENCHMARK(BM_DrawFramebuffer32ModelPixelSize4)->Repetitions(3)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
