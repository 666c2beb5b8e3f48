// WindowPanel painting a 256 x 128 wall (2 outputs, chains of 4 panels of 64 x 64)
// at scale 4, a 1024 x 512 window, into a real Xvfb the benchmark starts. Against
// what the same bytes cost plainly in the same run: a memcpy of the 2 MiB image,
// and XPutImage of the same image without painting. Xvfb's own CPU time per frame
// is counted too ("xvfbCpuMs"): the server does its share in another process.
#include "host/core/Log.h"
#include "host/output/ChannelBuffer.h"
#include "host/output/PanelMatrix.h"
#include "PanelPainter.h"
#include "WindowPanelOutput.h"

// Before Xlib, whose macros (None, Bool, Status) would clash with it.
#include <benchmark/benchmark.h>

#include "XvfbServer.h"

#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

const int SCALE = 4;
const size_t IMAGE_BYTES = 256 * SCALE * 128 * SCALE * 4;

Json::Value wall() {
    Json::Value c(Json::objectValue);
    c["panelWidth"] = 64;
    c["panelHeight"] = 64;
    c["scale"] = SCALE;
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
        for (size_t i = 0; i < 256 * 128 * 3; i++) {
            v[i] = (uint8_t)(i * 31 + (i >> 9));
        }
        return v;
    }();
    return b;
}

// One Xvfb for the whole run.
XvfbServer* server() {
    static XvfbServer s("1280x1024x24");
    static bool told = false;
    if (!s.ok() && !told) {
        told = true;
        fprintf(stderr, "windowpanel_bench: no Xvfb (%s): the X benchmarks are skipped\n",
                s.reason().c_str());
    }
    if (s.ok()) {
        setenv("DISPLAY", s.display().c_str(), 1);
    }
    return &s;
}

// Xvfb's CPU time so far, in milliseconds.
double xvfbCpuMs() {
    std::string path = "/proc/" + std::to_string(server()->pid()) + "/stat";
    FILE* f = fopen(path.c_str(), "r");
    if (!f) {
        return 0;
    }
    char buf[1024];
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    buf[n] = 0;
    // utime and stime are the 14th and 15th fields, after the ")" that ends the name.
    const char* p = strrchr(buf, ')');
    unsigned long utime = 0, stime = 0;
    if (!p || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) {
        return 0;
    }
    return (double)(utime + stime) * 1000.0 / (double)sysconf(_SC_CLK_TCK);
}

std::unique_ptr<WindowPanelOutput> output() {
    TavoLogger::INSTANCE.setLevels("warning");
    std::unique_ptr<WindowPanelOutput> o(new WindowPanelOutput(0, 0));
    if (!o->Init(wall())) {
        return nullptr;
    }
    return o;
}

void BM_PlainMemcpy(benchmark::State& state) {
    std::vector<uint8_t> from(IMAGE_BYTES, 7);
    std::vector<uint8_t> to(IMAGE_BYTES);
    for (auto _ : state) {
        memcpy(to.data(), from.data(), to.size());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)IMAGE_BYTES);
}
BENCHMARK(BM_PlainMemcpy)->Repetitions(3)->ReportAggregatesOnly(true);

// The painting alone: the picture gamma corrected and scaled up into the image.
void BM_Paint(benchmark::State& state) {
    PanelMatrix m(64, 64);
    for (int o = 0; o < 2; o++) {
        for (int p = 0; p < 4; p++) {
            m.AddPanel(o, p, 'N', p * 64, o * 64, kColorOrderRGB);
        }
    }
    PanelPainter painter;
    painter.Build(m);
    uint8_t gamma[256];
    for (int i = 0; i < 256; i++) {
        gamma[i] = (uint8_t)(255 - i);
    }
    std::vector<uint8_t> image(IMAGE_BYTES);
    for (auto _ : state) {
        painter.Paint(channels().data(), gamma, SCALE, image.data());
        benchmark::DoNotOptimize(image.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)IMAGE_BYTES);
}
BENCHMARK(BM_Paint)->Repetitions(3)->ReportAggregatesOnly(true);

// The same 2 MiB image sent to Xvfb without painting: XPutImage and XSync, as the
// output does, on a window of the same size.
void BM_PlainPutImage(benchmark::State& state) {
    if (!server()->ok()) {
        state.SkipWithError("no Xvfb");
        return;
    }
    auto o = output();
    if (!o) {
        state.SkipWithError("Init failed");
        return;
    }
    Display* d = XOpenDisplay(server()->display().c_str());
    int w = o->GetScaleWidth();
    int h = o->GetScaleHeight();
    std::vector<char> data(IMAGE_BYTES, 9);
    XImage* image = XCreateImage(d, nullptr, 24, ZPixmap, 0, data.data(), w, h, 32, w * 4);
    GC gc = XCreateGC(d, (Window)o->GetWindow(), 0, nullptr);
    double before = xvfbCpuMs();
    for (auto _ : state) {
        XPutImage(d, (Window)o->GetWindow(), gc, image, 0, 0, 0, 0, w, h);
        XSync(d, True);
    }
    state.counters["xvfbCpuMs"] = (xvfbCpuMs() - before) / (double)state.iterations();
    image->data = nullptr; // the vector's, not Xlib's
    XDestroyImage(image);
    XFreeGC(d, gc);
    XCloseDisplay(d);
    o->Close();
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)IMAGE_BYTES);
}
BENCHMARK(BM_PlainPutImage)->Repetitions(3)->ReportAggregatesOnly(true);

// The output's frame on its thread: painting, XPutImage, XSync.
void BM_RawSendData(benchmark::State& state) {
    if (!server()->ok()) {
        state.SkipWithError("no Xvfb");
        return;
    }
    auto o = output();
    if (!o) {
        state.SkipWithError("Init failed");
        return;
    }
    double before = xvfbCpuMs();
    for (auto _ : state) {
        o->RawSendData(channels().data());
    }
    state.counters["xvfbCpuMs"] = (xvfbCpuMs() - before) / (double)state.iterations();
    o->Close();
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)IMAGE_BYTES);
}
BENCHMARK(BM_RawSendData)->Repetitions(3)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
