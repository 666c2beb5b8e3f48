// Bridge mode's receive and merge: what one E1.31 data packet of a 1,000-universe
// stream costs the receiver (decode, sequence check, merge, hand-on), with one
// source and with two of equal priority merged; and an Art-Net packet. At 40 frames
// a second, 1,000 universes are 40,000 packets a second: the share of one core is
// the time per packet times 40,000 ("core_share_at_40k_pps", printed in seconds:
// 0.05s is 5 % of a core; the goal is under 0.15).
#include "host/bridge/BridgeReceiver.h"
#include "protocols/ArtNet.h"
#include "protocols/E131.h"

#include <benchmark/benchmark.h>

#include <vector>

using namespace protocols;

namespace {

constexpr int UNIVERSES = 1000;

bridge::Config config() {
    bridge::Config c;
    c.e131 = c.artnet = true;
    c.e131Universes.push_back({1, UNIVERSES, 510, 0});
    c.artnetUniverses.push_back({0, UNIVERSES, 510, 0});
    return c;
}

// Every universe's packet of one frame, from `sources` senders that send the same
// data (redundant consoles) or not.
std::vector<std::vector<uint8_t>> e131Frame(int sources, bool same) {
    std::vector<std::vector<uint8_t>> packets;
    std::vector<uint8_t> slots(510);
    for (int s = 0; s < sources; s++) {
        for (int u = 1; u <= UNIVERSES; u++) {
            e131::DataHeader h;
            h.cid.fill((uint8_t)(s + 1));
            h.universe = (uint16_t)u;
            for (size_t i = 0; i < slots.size(); i++) {
                slots[i] = (uint8_t)(i * (same ? 3 : s + 3) + u);
            }
            std::vector<uint8_t> p(e131::MAX_PACKET_SIZE);
            p.resize(e131::encodeData(p.data(), h, slots.data(), slots.size()));
            packets.push_back(p);
        }
    }
    return packets;
}

void run(benchmark::State& state, int sources, bool same) {
    bridge::Receiver r;
    uint64_t bytes = 0;
    r.Configure(
        config(), [&bytes](const uint8_t*, uint32_t, uint32_t length) { bytes += length; }, "bench");
    std::vector<std::vector<uint8_t>> frame = e131Frame(sources, same);
    uint8_t sequence = 0;
    int64_t now = 1000;
    for (auto _ : state) {
        sequence++;
        now += 25;
        for (auto& p : frame) {
            p[e131::SEQUENCE_OFFSET] = sequence;
            r.HandleE131(p.data(), p.size(), 0x0100007F, now);
        }
    }
    const double packets = (double)state.iterations() * frame.size();
    state.counters["packets_per_s"] = benchmark::Counter(packets, benchmark::Counter::kIsRate);
    // The CPU time per packet times 40,000 packets a second: the share of one core.
    state.counters["core_share_at_40k_pps"] =
        benchmark::Counter(packets / 40000.0, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    benchmark::DoNotOptimize(bytes);
}

void BM_E131OneSource(benchmark::State& state) {
    run(state, 1, true);
}
void BM_E131TwoSourcesAgreeing(benchmark::State& state) {
    run(state, 2, true);
}
void BM_E131TwoSourcesDisagreeing(benchmark::State& state) {
    run(state, 2, false);
}

void BM_ArtNet(benchmark::State& state) {
    bridge::Receiver r;
    r.Configure(
        config(), [](const uint8_t*, uint32_t, uint32_t) {}, "bench");
    std::vector<std::vector<uint8_t>> frame;
    std::vector<uint8_t> data(510, 7);
    for (int u = 0; u < UNIVERSES; u++) {
        std::vector<uint8_t> p(artnet::DMX_HEADER_SIZE + data.size());
        p.resize(artnet::encodeDmx(p.data(), (uint16_t)u, 1, data.data(), data.size()));
        frame.push_back(p);
    }
    int64_t now = 1000;
    for (auto _ : state) {
        now += 25;
        for (auto& p : frame) {
            r.HandleArtNet(p.data(), p.size(), 0x0100007F, now);
        }
    }
    const double packets = (double)state.iterations() * frame.size();
    state.counters["packets_per_s"] = benchmark::Counter(packets, benchmark::Counter::kIsRate);
    // The CPU time per packet times 40,000 packets a second: the share of one core.
    state.counters["core_share_at_40k_pps"] =
        benchmark::Counter(packets / 40000.0, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

} // namespace

BENCHMARK(BM_E131OneSource)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_E131TwoSourcesAgreeing)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_E131TwoSourcesDisagreeing)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ArtNet)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
