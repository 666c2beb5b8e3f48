// Writes the fuzzer's seed corpus: one small valid file of every kind the reader
// knows, made with the codec's own writer (and by hand for "ESEQ").
#include "LCSFFile.h"
#include "host/core/Log.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Seed {
    const char* name;
    int version;
    LCSFFile::CompressionType compression;
    int minor;
    uint32_t channels;
    uint32_t frames;
    std::vector<std::pair<uint32_t, uint32_t>> sparse;
    std::vector<LCSFFile::VariableHeader> headers;
};

LCSFFile::VariableHeader text(char a, char b, const std::string& s) {
    std::vector<uint8_t> d(s.begin(), s.end());
    d.push_back(0);
    return LCSFFile::VariableHeader(a, b, d);
}

LCSFFile::VariableHeader blob(char a, char b, size_t n, bool extended) {
    std::vector<uint8_t> d(n);
    for (size_t i = 0; i < n; i++) {
        d[i] = (uint8_t)(i * 31 + 7);
    }
    return LCSFFile::VariableHeader(a, b, d, extended);
}

uint8_t value(uint32_t frame, uint32_t channel) {
    return (uint8_t)(channel * 7 + frame * 13 + (channel >> 8));
}

bool writeSeed(const std::string& dir, const Seed& s) {
    std::string path = dir + "/" + s.name;
    std::unique_ptr<LCSFFile> f(LCSFFile::createLCSFFile(path, s.version, s.compression, 1));
    if (!f) {
        return false;
    }
    f->m_seqNumFrames = s.frames;
    f->m_seqChannelCount = s.channels;
    f->m_seqStepTime = 25;
    f->m_uniqueId = 0x0123456789ABCDEFull;
    f->m_variableHeaders = s.headers;
    if (s.version == 2) {
        auto* v2 = static_cast<V2LCSFFile*>(f.get());
        v2->m_sparseRanges = s.sparse;
        if (s.minor) {
            v2->enableMinorVersionFeatures((uint8_t)s.minor);
        }
    }
    f->writeHeader();
    std::vector<uint8_t> frame(s.channels);
    for (uint32_t fr = 0; fr < s.frames; fr++) {
        for (uint32_t c = 0; c < s.channels; c++) {
            frame[c] = value(fr, c);
        }
        f->addFrame(fr, frame.data());
    }
    f->finalize();
    return !f->hasWriteError();
}

bool writeEseq(const std::string& dir) {
    // 20-byte header, then 3 frames of 12 channels for channels 5 to 16.
    std::vector<uint8_t> b(20 + 3 * 12);
    memcpy(b.data(), "ESEQ", 4);
    b[8] = 12;
    b[12] = 5;
    b[16] = 12;
    for (size_t i = 20; i < b.size(); i++) {
        b[i] = (uint8_t)i;
    }
    FILE* f = fopen((dir + "/eseq").c_str(), "wb");
    if (!f) {
        return false;
    }
    bool ok = fwrite(b.data(), 1, b.size(), f) == b.size();
    return fclose(f) == 0 && ok;
}

bool copyWithIdentifier(const std::string& from, const std::string& to, const char* id) {
    FILE* in = fopen(from.c_str(), "rb");
    if (!in) {
        return false;
    }
    std::vector<uint8_t> b;
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), in)) > 0) {
        b.insert(b.end(), buf, buf + n);
    }
    fclose(in);
    if (b.size() < 4) {
        return false;
    }
    memcpy(b.data(), id, 4);
    FILE* out = fopen(to.c_str(), "wb");
    if (!out) {
        return false;
    }
    bool ok = fwrite(b.data(), 1, b.size(), out) == b.size();
    return fclose(out) == 0 && ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s SEED_DIR\n", argv[0]);
        return 2;
    }
    TavoLogger::INSTANCE.setLevels("error");
    std::string dir = argv[1];
    using CT = LCSFFile::CompressionType;
    std::vector<LCSFFile::VariableHeader> common = {text('m', 'f', "song.mp3"), text('s', 'p', "seedgen"),
                                                    blob('F', 'C', 12, false)};
    // Big enough for several blocks (units of 64 KiB) yet quick to decode.
    const uint32_t bigCh = 512, bigFr = 400;
    std::vector<Seed> seeds = {
        {"v1", 1, CT::none, 0, 48, 12, {}, common},
        {"v2-none", 2, CT::none, 0, 48, 12, {}, common},
        {"v2-none-sparse", 2, CT::none, 0, 96, 12, {{4, 10}, {40, 20}}, common},
        {"v2-zstd", 2, CT::zstd, 0, 48, 30, {}, common},
        {"v2-zstd-blocks", 2, CT::zstd, 0, bigCh, bigFr, {}, {}},
        {"v2-zstd-sparse", 2, CT::zstd, 0, 96, 30, {{0, 8}, {50, 30}}, common},
        {"v2-zlib", 2, CT::zlib, 0, 48, 30, {}, common},
        {"v2-zlib-blocks", 2, CT::zlib, 0, bigCh, bigFr, {}, {}},
        {"v2-zlib-sparse", 2, CT::zlib, 1, 96, 30, {{2, 6}, {60, 12}}, common},
        // Headers marked extended: their data follows the channel data.
        {"v2-zstd-extended", 2, CT::zstd, 1, 48, 20, {}, {text('m', 'f', "x.mp3"), blob('F', 'E', 40, true)}},
        {"v2-none-minor2", 2, CT::none, 2, 24, 4, {}, {blob('F', 'C', 30, true), text('m', 'f', "y.ogg")}},
        {"v2-zlib-no-headers", 2, CT::zlib, 0, 16, 3, {}, {}},
    };
    int failed = 0;
    for (auto& s : seeds) {
        if (!writeSeed(dir, s)) {
            fprintf(stderr, "could not write seed %s\n", s.name);
            failed++;
        }
    }
    // The older identifier, read like the current one.
    if (!copyWithIdentifier(dir + "/v2-zstd", dir + "/v2-zstd-lcsf", "LCSF")) {
        fprintf(stderr, "could not write seed v2-zstd-lcsf\n");
        failed++;
    }
    if (!writeEseq(dir)) {
        fprintf(stderr, "could not write seed eseq\n");
        failed++;
    }
    return failed ? 1 : 0;
}
