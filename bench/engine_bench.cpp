// Playback engine: time per frame on the output path (take, process, send) for a
// 170,000-channel zstd show with no outputs, and the worst lateness of
// ReadSequenceData over a 2,000-frame run at 40 frames/s.
#include "host/core/Common.h"
#include "LCSFFile.h"
#include "host/core/Log.h"
#include "host/output/OutputManager.h"
#include "Sequence.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const uint32_t CHANNELS = 170000;

struct Show {
    std::string media;
    std::string name;
};

// A show that compresses like real ones: smooth colour fades with a little noise.
Show makeShow(uint32_t frames, uint32_t stepTime) {
    char tmpl[] = "/tmp/tavo-bench-XXXXXX";
    Show s;
    s.media = mkdtemp(tmpl);
    mkdir((s.media + "/sequences").c_str(), 0755);
    s.name = "bench-" + std::to_string(frames) + ".lcsf";
    LCSFFile* f =
        LCSFFile::createLCSFFile(s.media + "/sequences/" + s.name, 2, LCSFFile::CompressionType::zstd, 1);
    f->m_seqNumFrames = frames;
    f->m_seqChannelCount = CHANNELS;
    f->m_seqStepTime = stepTime;
    f->writeHeader();
    std::vector<uint8_t> frame(CHANNELS);
    uint32_t noise = 12345;
    for (uint32_t n = 0; n < frames; n++) {
        for (uint32_t c = 0; c < CHANNELS; c++) {
            noise = noise * 1103515245 + 12345;
            frame[c] = (uint8_t)(((c / 3) + n * 2) * (c % 3 + 1) + ((noise >> 28) & 3));
        }
        f->addFrame(n, frame.data());
    }
    f->finalize();
    delete f;
    return s;
}

void removeShow(const Show& s) {
    std::string cmd = "rm -rf '" + s.media + "'";
    if (system(cmd.c_str()) != 0) {
        fprintf(stderr, "could not remove %s\n", s.media.c_str());
    }
}

void quiet() {
    for (LogChannel* c : TavoLogger::INSTANCE.channels()) {
        c->setLevel(LOG_ERR);
    }
    ChannelOutputManager::INSTANCE.RemoveAllOutputs();
}

// Time of the output thread's three calls, with the reader given time to keep
// the queue filled between periods (that wait is not counted).
void BM_EngineFramePath(benchmark::State& state) {
    quiet();
    Show show = makeShow(400, 25);
    setTavoMediaDir(show.media);
    Sequence seq;
    auto open = [&] {
        seq.OpenSequenceFile(show.name, 0, -1);
        seq.StartSequence();
    };
    open();
    int ms = 0;
    for (auto _ : state) {
        state.PauseTiming();
        while (seq.CachedFrameCount() == 0) {
            if (seq.doneRead || !seq.IsSequenceRunning()) {
                seq.CloseSequenceFile();
                open();
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        state.ResumeTiming();
        seq.ReadSequenceData(false);
        seq.ProcessSequenceData(ms);
        seq.SendSequenceData();
        ms += 25;
    }
    seq.CloseSequenceFile();
    removeShow(show);
}
BENCHMARK(BM_EngineFramePath)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(1000);

// 2,000 frames at 25 ms on an absolute schedule, as the output thread runs them.
void BM_ReadLateness40fps(benchmark::State& state) {
    quiet();
    const int frames = 2000, stepMS = 25;
    Show show = makeShow(frames, stepMS);
    setTavoMediaDir(show.media);
    for (auto _ : state) {
        Sequence seq;
        seq.OpenSequenceFile(show.name, 0, -1);
        seq.StartSequence();
        int64_t worstUs = 0, totalUs = 0;
        int calls = 0, late = 0, lastFrame = 0;
        auto next = std::chrono::steady_clock::now();
        while (seq.IsSequenceRunning()) {
            next += std::chrono::milliseconds(stepMS);
            std::this_thread::sleep_until(next);
            int64_t t0 = GetTime();
            seq.ReadSequenceData(false);
            int64_t took = GetTime() - t0;
            seq.ProcessSequenceData(calls * stepMS);
            seq.SendSequenceData();
            worstUs = std::max(worstUs, took);
            totalUs += took;
            calls++;
            int now = seq.seqMSElapsed / stepMS;
            if (seq.IsSequenceRunning() && now != lastFrame + 1) {
                late++;
            }
            lastFrame = now;
        }
        state.counters["worst_read_ms"] = worstUs / 1000.0;
        state.counters["mean_read_us"] = calls ? (double)totalUs / calls : 0;
        state.counters["late_frames"] = late;
        state.counters["periods"] = calls;
    }
    removeShow(show);
}
BENCHMARK(BM_ReadLateness40fps)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

} // namespace

BENCHMARK_MAIN();
