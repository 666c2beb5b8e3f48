// Encoding time of one preview frame of 56,000 pixels: every pixel changed, and 1 % changed.
#include "PixelChangeEncoder.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

const int WIDTH = 280, HEIGHT = 200; // 56,000 pixels

struct Layout {
    std::vector<ScreenPreviewPixel> pixels;
    std::vector<unsigned char> preview;
    PixelChangeEncoder encoder;
    Layout() : preview((size_t)WIDTH * HEIGHT * 3, 0) {
        for (int y = 0; y < HEIGHT; y++) {
            for (int x = 0; x < WIDTH; x++) {
                ScreenPreviewPixel p;
                p.x = x;
                p.y = y;
                p.channel = (unsigned)(3 * (y * WIDTH + x));
                p.rPos = p.channel;
                p.gPos = p.channel + 1;
                p.bPos = p.channel + 2;
                pixels.push_back(p);
            }
        }
        encoder.SetLayout(pixels, HEIGHT - 1);
    }
};

// Two frames to alternate between; `changed` pixels differ between them.
void makeFrames(std::vector<unsigned char>& a, std::vector<unsigned char>& b, int changed, bool manyColours) {
    std::mt19937 rng(7);
    a.assign((size_t)WIDTH * HEIGHT * 3, 0);
    for (size_t i = 0; i < a.size(); i++) {
        a[i] = manyColours ? (unsigned char)(rng() & 0xfc) : (unsigned char)((i % 3) * 64 + (i / 3 % 4) * 16);
    }
    b = a;
    std::vector<int> order(WIDTH * HEIGHT);
    for (int i = 0; i < WIDTH * HEIGHT; i++) {
        order[i] = i;
    }
    std::shuffle(order.begin(), order.end(), rng);
    for (int k = 0; k < changed; k++) {
        b[3 * order[k]] ^= 0x80; // always a visible change
    }
}

void encodeFrames(benchmark::State& state, int changed, bool manyColours) {
    Layout layout;
    std::vector<unsigned char> a, b;
    makeFrames(a, b, changed, manyColours);
    std::string data, event;
    layout.encoder.EncodeChanges(a.data(), layout.preview.data(), data);
    uint64_t id = 0;
    size_t bytes = 0;
    event.clear();
    for (auto _ : state) {
        data.clear();
        const auto r =
            layout.encoder.EncodeChanges((id & 1) ? a.data() : b.data(), layout.preview.data(), data);
        if (r.colors) {
            BuildSSEEvent(id, data, event);
        }
        id++;
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(event.data());
        bytes = r.colors ? event.size() : 0;
    }
    state.counters["event_bytes"] = (double)bytes;
}

void BM_EncodeAllChangedManyColours(benchmark::State& s) {
    encodeFrames(s, WIDTH * HEIGHT, true);
}
void BM_EncodeAllChangedFewColours(benchmark::State& s) {
    encodeFrames(s, WIDTH * HEIGHT, false);
}
void BM_EncodeOnePercentChanged(benchmark::State& s) {
    encodeFrames(s, WIDTH * HEIGHT / 100, true);
}
void BM_EncodeNothingChanged(benchmark::State& s) {
    encodeFrames(s, 0, true);
}

} // namespace

BENCHMARK(BM_EncodeAllChangedManyColours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeAllChangedFewColours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeOnePercentChanged)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeNothingChanged)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
