// Sequence codec speed: reading shows through the file object against the bare
// zstd/zlib libraries and memcpy on the same bytes, the CPU cost of paced playback,
// and writing against the zstd command-line tool. bench/compare.py makes the table.
//
// Test shows are written once into $TAVO_BENCH_DIR (default /tmp/tavo-bench) with
// the codec's own writer and reused by later runs.
#include "LCSFFile.h"
#include "host/output/ChannelBuffer.h"
#include "host/core/Log.h"

#include <benchmark/benchmark.h>

#include <zlib.h>
#include <zstd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

const uint32_t CHANNEL_BUFFER = TAVO_MAX_CHANNELS;

struct Show {
    const char* name;
    uint32_t channels;
    uint32_t frames;
    uint32_t writeFrames; // frames written by the write benchmarks
};
const Show SHOWS[] = {
    {"rainbow170k", 170000, 2000, 200},
    {"dmx512", 512, 20000, 20000},
};

struct Kind {
    const char* name;
    LCSFFile::CompressionType type;
    int level; // the lcsf tool's defaults
};
const Kind KINDS[] = {
    {"zstd", LCSFFile::CompressionType::zstd, 10},
    {"zlib", LCSFFile::CompressionType::zlib, 3},
    {"none", LCSFFile::CompressionType::none, 0},
};
const int ZSTD_LEVEL = 10;

std::string dataDir() {
    const char* env = getenv("TAVO_BENCH_DIR");
    std::string d = env && *env ? env : "/tmp/tavo-bench";
    mkdir(d.c_str(), 0755);
    return d;
}

std::string showPath(const Show& s, const Kind& k) {
    // The suffix changes whenever the generator does, so stale caches are not reused.
    return dataDir() + "/" + s.name + "-" + k.name + "-v2.lcsf";
}

// A rainbow moving along the pixels: a 16-bit hue phase per pixel, advancing a
// fraction of a pixel's step each frame, so that frames are smooth (like real
// shows) without being exact copies of each other.
void fillFrame(const Show& s, uint32_t frame, uint8_t* out) {
    for (uint32_t c = 0; c + 2 < s.channels; c += 3) {
        uint32_t hue = ((c / 3) * 613 + frame * 2311) & 0xFFFF;
        uint32_t x = hue * 6; // 0 .. 6 * 65536
        uint32_t seg = x >> 16;
        uint8_t up = (uint8_t)((x & 0xFFFF) >> 8), down = (uint8_t)(255 - up);
        const uint8_t rgb[6][3] = {{255, up, 0},   {down, 255, 0}, {0, 255, up},
                                   {0, down, 255}, {up, 0, 255},   {255, 0, down}};
        memcpy(out + c, rgb[seg], 3);
    }
    for (uint32_t c = s.channels - s.channels % 3; c < s.channels; c++) {
        out[c] = (uint8_t)frame;
    }
}

bool fileLooksRight(const std::string& path, const Show& s) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return false;
    }
    std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
    return f && f->m_seqNumFrames == s.frames && f->m_seqChannelCount == s.channels;
}

bool writeShow(const std::string& path, const Show& s, const Kind& k, uint32_t frames,
               const std::vector<uint8_t>* prepared = nullptr) {
    std::unique_ptr<LCSFFile> f(LCSFFile::createLCSFFile(path, 2, k.type, k.level));
    if (!f) {
        return false;
    }
    f->m_seqNumFrames = frames;
    f->m_seqChannelCount = s.channels;
    f->m_seqStepTime = 25;
    f->writeHeader();
    std::vector<uint8_t> frame(s.channels);
    for (uint32_t fr = 0; fr < frames; fr++) {
        const uint8_t* data;
        if (prepared) {
            data = prepared->data() + (uint64_t)fr * s.channels;
        } else {
            fillFrame(s, fr, frame.data());
            data = frame.data();
        }
        f->addFrame(fr, data);
    }
    f->finalize();
    return !f->hasWriteError();
}

// The show file, written on first use.
std::string ensureShow(const Show& s, const Kind& k) {
    std::string path = showPath(s, k);
    if (fileLooksRight(path, s)) {
        return path;
    }
    std::string tmp = path + ".tmp";
    if (!writeShow(tmp, s, k, s.frames) || rename(tmp.c_str(), path.c_str()) != 0) {
        fprintf(stderr, "could not write %s\n", path.c_str());
        return "";
    }
    return path;
}

// Every frame of the show in memory, as the reader would hand them out.
const std::vector<uint8_t>& rawFrames(const Show& s) {
    static std::vector<uint8_t> cache[sizeof(SHOWS) / sizeof(SHOWS[0])];
    std::vector<uint8_t>& r = cache[&s - SHOWS];
    if (r.empty()) {
        r.resize((uint64_t)s.channels * s.frames);
        for (uint32_t fr = 0; fr < s.frames; fr++) {
            fillFrame(s, fr, r.data() + (uint64_t)fr * s.channels);
        }
    }
    return r;
}

std::vector<uint8_t>& channelBuffer() {
    static std::vector<uint8_t> b(CHANNEL_BUFFER + 8);
    return b;
}

void setCounters(benchmark::State& state, const Show& s, uint64_t frames) {
    state.SetBytesProcessed((int64_t)(frames * s.channels));
    state.counters["frames_per_second"] = benchmark::Counter((double)frames, benchmark::Counter::kIsRate);
}

// Reading every frame in order through the file object, as playback does.
void BM_Read(benchmark::State& state, const Show* s, const Kind* k) {
    std::string path = ensureShow(*s, *k);
    if (path.empty()) {
        state.SkipWithError("no show file");
        return;
    }
    uint8_t* chan = channelBuffer().data();
    uint64_t frames = 0;
    for (auto _ : state) {
        std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
        if (!f) {
            state.SkipWithError("open failed");
            return;
        }
        f->prepareRead({{0, s->channels}}, 0);
        for (uint32_t fr = 0; fr < s->frames; fr++) {
            std::unique_ptr<LCSFFile::FrameData> fd(f->getFrame(fr));
            if (!fd || !fd->readFrame(chan, CHANNEL_BUFFER)) {
                state.SkipWithError("frame missing");
                return;
            }
        }
        frames += s->frames;
    }
    // One spot check that what was read is the show.
    std::vector<uint8_t> last(s->channels);
    fillFrame(*s, s->frames - 1, last.data());
    if (memcmp(last.data(), chan, s->channels) != 0) {
        state.SkipWithError("the last frame read differs from the show");
    }
    setCounters(state, *s, frames);
}

struct Block {
    std::vector<uint8_t> data;
    uint32_t frames;
};

// The compressed blocks of a show, in memory, cut where the file's block index says.
std::vector<Block> loadBlocks(const std::string& path, const Show& s) {
    std::vector<Block> blocks;
    std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
    auto* v2 = dynamic_cast<V2LCSFFile*>(f.get());
    if (!v2) {
        return blocks;
    }
    FILE* in = fopen(path.c_str(), "rb");
    if (!in) {
        return blocks;
    }
    auto& offs = v2->m_frameOffsets;
    for (size_t i = 0; i + 1 < offs.size(); i++) {
        Block b;
        uint32_t next = std::min<uint32_t>(offs[i + 1].first, s.frames);
        b.frames = next - offs[i].first;
        b.data.resize(offs[i + 1].second - offs[i].second);
        if (fseeko(in, (off_t)offs[i].second, SEEK_SET) != 0 ||
            fread(b.data.data(), 1, b.data.size(), in) != b.data.size()) {
            blocks.clear();
            break;
        }
        blocks.push_back(std::move(b));
    }
    fclose(in);
    return blocks;
}

// The bare library decoding the same blocks into a block buffer: the floor for the
// file object's compressed read paths.
void BM_BareDecode(benchmark::State& state, const Show* s, const Kind* k) {
    std::string path = ensureShow(*s, *k);
    std::vector<Block> blocks = loadBlocks(path, *s);
    if (blocks.empty()) {
        state.SkipWithError("no blocks");
        return;
    }
    uint32_t maxFrames = 0;
    for (auto& b : blocks) {
        maxFrames = std::max(maxFrames, b.frames);
    }
    std::vector<uint8_t> out((uint64_t)maxFrames * s->channels);
    ZSTD_DStream* ds = ZSTD_createDStream();
    uint64_t frames = 0;
    bool ok = true;
    for (auto _ : state) {
        for (auto& b : blocks) {
            size_t want = (size_t)b.frames * s->channels;
            if (k->type == LCSFFile::CompressionType::zstd) {
                ZSTD_initDStream(ds);
                ZSTD_inBuffer in = {b.data.data(), b.data.size(), 0};
                ZSTD_outBuffer o = {out.data(), want, 0};
                while (o.pos < o.size) {
                    size_t r = ZSTD_decompressStream(ds, &o, &in);
                    if (ZSTD_isError(r) || (r == 0 && o.pos < o.size)) {
                        ok = false;
                        break;
                    }
                }
            } else {
                z_stream z;
                memset(&z, 0, sizeof(z));
                z.next_in = b.data.data();
                z.avail_in = (uInt)b.data.size();
                z.next_out = out.data();
                z.avail_out = (uInt)want;
                ok = inflateInit(&z) == Z_OK && inflate(&z, Z_SYNC_FLUSH) >= 0 && z.total_out == want && ok;
                inflateEnd(&z);
            }
            benchmark::DoNotOptimize(out.data());
            frames += b.frames;
        }
    }
    ZSTD_freeDStream(ds);
    if (!ok) {
        state.SkipWithError("a block did not decode");
    }
    setCounters(state, *s, frames);
}

// memcpy of every frame's bytes into the channel buffer: the floor for the
// uncompressed read path.
void BM_Memcpy(benchmark::State& state, const Show* s) {
    const std::vector<uint8_t>& raw = rawFrames(*s);
    uint8_t* chan = channelBuffer().data();
    uint64_t frames = 0;
    for (auto _ : state) {
        for (uint32_t fr = 0; fr < s->frames; fr++) {
            memcpy(chan, raw.data() + (uint64_t)fr * s->channels, s->channels);
            benchmark::ClobberMemory();
        }
        frames += s->frames;
    }
    setCounters(state, *s, frames);
}

double processCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Playback at 40 frames/s: one frame every 25 ms on an absolute schedule. The
// process CPU time includes the codec's read-ahead thread.
void BM_Paced(benchmark::State& state, const Show* s, const Kind* k) {
    const uint32_t frames = 200, fps = 40;
    std::string path = ensureShow(*s, *k);
    uint8_t* chan = channelBuffer().data();
    double cpuPercent = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        double cpu0 = processCpuSeconds();
        std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
        if (!f) {
            state.SkipWithError("open failed");
            return;
        }
        f->prepareRead({{0, s->channels}}, 0);
        auto next = start;
        for (uint32_t fr = 0; fr < frames; fr++) {
            std::unique_ptr<LCSFFile::FrameData> fd(f->getFrame(fr));
            if (!fd || !fd->readFrame(chan, CHANNEL_BUFFER)) {
                state.SkipWithError("frame missing");
                return;
            }
            next += std::chrono::microseconds(1000000 / fps);
            std::this_thread::sleep_until(next);
        }
        f.reset();
        double cpu = processCpuSeconds() - cpu0;
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpuPercent = 100.0 * cpu / wall;
    }
    state.counters["cpu_percent_of_one_core"] = cpuPercent;
    state.counters["fps"] = fps;
}

// Writing the first frames of a show with the codec (frames prepared in memory).
void BM_Write(benchmark::State& state, const Show* s, const Kind* k) {
    const std::vector<uint8_t>& raw = rawFrames(*s);
    std::string path = dataDir() + "/write-" + s->name + "-" + k->name + ".lcsf";
    uint64_t frames = 0;
    for (auto _ : state) {
        if (!writeShow(path, *s, *k, s->writeFrames, &raw)) {
            state.SkipWithError("write failed");
            return;
        }
        frames += s->writeFrames;
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        state.counters["file_bytes"] = (double)st.st_size;
        state.counters["raw_bytes"] = (double)s->writeFrames * s->channels;
    }
    remove(path.c_str());
    setCounters(state, *s, frames);
}

// The zstd command-line tool compressing the same raw frames at the same level,
// one thread, as one stream.
void BM_ZstdCli(benchmark::State& state, const Show* s) {
    const std::vector<uint8_t>& raw = rawFrames(*s);
    uint64_t bytes = (uint64_t)s->writeFrames * s->channels;
    std::string in = dataDir() + "/raw-" + s->name + ".bin";
    std::string out = in + ".zst";
    FILE* f = fopen(in.c_str(), "wb");
    if (!f || fwrite(raw.data(), 1, bytes, f) != bytes) {
        if (f) {
            fclose(f);
        }
        state.SkipWithError("could not write the raw frames");
        return;
    }
    fclose(f);
    std::string cmd = "zstd -q -T1 -" + std::to_string(ZSTD_LEVEL) + " -c '" + in + "' > '" + out + "'";
    uint64_t frames = 0;
    for (auto _ : state) {
        if (system(cmd.c_str()) != 0) {
            state.SkipWithError("zstd failed (is the zstd package installed?)");
            break;
        }
        frames += s->writeFrames;
    }
    struct stat st;
    if (stat(out.c_str(), &st) == 0) {
        state.counters["file_bytes"] = (double)st.st_size;
        state.counters["raw_bytes"] = (double)bytes;
    }
    remove(in.c_str());
    remove(out.c_str());
    setCounters(state, *s, frames);
}

void registerAll() {
    for (const Show& s : SHOWS) {
        // Large shows take a while per pass; a few passes give a steady figure.
        int passes = s.channels > 100000 ? 3 : 0;
        // Repeated, because the machines this runs on are shared: compare.py takes medians.
        auto limit = [&](benchmark::internal::Benchmark* b) {
            b->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(3);
            if (passes) {
                b->Iterations(passes);
            }
            return b;
        };
        for (const Kind& k : KINDS) {
            std::string tail = std::string(s.name) + "/" + k.name;
            limit(benchmark::RegisterBenchmark(("read/" + tail).c_str(), BM_Read, &s, &k));
            if (k.type != LCSFFile::CompressionType::none) {
                limit(benchmark::RegisterBenchmark(("bare/" + tail).c_str(), BM_BareDecode, &s, &k));
            }
        }
        limit(benchmark::RegisterBenchmark((std::string("memcpy/") + s.name).c_str(), BM_Memcpy, &s));
        for (const Kind& k : KINDS) {
            std::string tail = std::string(s.name) + "/" + k.name;
            limit(benchmark::RegisterBenchmark(("write/" + tail).c_str(), BM_Write, &s, &k));
        }
        limit(benchmark::RegisterBenchmark((std::string("zstdcli/") + s.name).c_str(), BM_ZstdCli, &s));
    }
    benchmark::RegisterBenchmark("paced/rainbow170k/zstd", BM_Paced, &SHOWS[0], &KINDS[0])
        ->Iterations(1)
        ->Repetitions(3)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

} // namespace

int main(int argc, char** argv) {
    // The codec's per-file information dump is not what is measured here.
    TavoLogger::INSTANCE.setLevels("warning");
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
