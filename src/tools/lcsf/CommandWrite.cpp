// `lcsf create` and `lcsf convert`: writing a new sequence file safely from a
// pattern, raw bytes or another sequence file.
#include "Options.h"
#include "Patterns.h"
#include "Tool.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Where the frames of a new file come from. next() is called for frames 0, 1, 2...
class FrameSource {
public:
    virtual ~FrameSource() {}
    // Fills `data` (the full frame); false with the file and problem set on failure.
    virtual bool next(uint32_t frame, uint8_t* data, std::string& file, std::string& problem) = 0;
};

class PatternSource : public FrameSource {
public:
    PatternSource(Pattern p, uint32_t channels, uint64_t seed) : m_gen(p, channels, seed) {}
    bool next(uint32_t frame, uint8_t* data, std::string&, std::string&) override {
        m_gen.fill(frame, data);
        return true;
    }

private:
    PatternGenerator m_gen;
};

class RawSource : public FrameSource {
public:
    RawSource(const std::string& path, FILE* f, uint32_t channels, uint32_t frames)
        : m_path(path), m_file(f), m_channels(channels), m_frames(frames) {}
    ~RawSource() override {
        if (m_file && m_file != stdin) {
            fclose(m_file);
        }
    }
    bool next(uint32_t frame, uint8_t* data, std::string& file, std::string& problem) override {
        size_t got = fread(data, 1, m_channels, m_file);
        if (got == m_channels) {
            return true;
        }
        file = m_path;
        problem = std::string(ferror(m_file) ? "read error: " : "") + "only " + std::to_string(frame) +
                  " of " + std::to_string(m_frames) + " frames arrived (" + std::to_string(m_channels) +
                  " bytes each";
        if (got) {
            problem += ", and " + std::to_string(got) + " bytes of one more";
        }
        problem += ")";
        return false;
    }

private:
    std::string m_path;
    FILE* m_file;
    uint32_t m_channels;
    uint32_t m_frames;
};

class SequenceSource : public FrameSource {
public:
    SequenceSource(LCSFFile* in, uint32_t channels) : m_path(in->m_seqFilename), m_reader(in, channels, 0) {}
    bool next(uint32_t frame, uint8_t* data, std::string& file, std::string& problem) override {
        if (!m_reader.read(frame, problem)) {
            file = m_path;
            return false;
        }
        memcpy(data, m_reader.buffer(), m_reader.limit());
        return true;
    }

private:
    std::string m_path;
    FrameReader m_reader;
};

// Writes `plan` to `outPath` with frames from `source`. The file appears under its
// name only when every frame was written, finalized and flushed to disk.
int writeSequence(const std::string& command, const std::string& outPath, const WritePlan& plan,
                  const LCSFFile* input, FrameSource& source) {
    SafeOutput output;
    std::string problem;
    if (!output.begin(outPath, problem)) {
        return fileError(outPath, problem);
    }
    LogTrap& trap = LogTrap::instance();
    trap.clear();
    std::unique_ptr<LCSFFile> out(
        LCSFFile::createLCSFFile(output.tempPath(), plan.version, plan.compression, plan.level));
    auto codecProblem = [&](const std::string& fallback) {
        std::string why = trap.firstError({output.tempPath()}, true);
        return why.empty() ? fallback : why;
    };
    if (!out) {
        return fileError(outPath, codecProblem("cannot create the file"));
    }
    if (input) {
        out->initializeFromLCSF(*input);
    }
    out->m_seqNumFrames = plan.frames;
    out->m_seqChannelCount = plan.channels;
    out->m_seqStepTime = plan.stepTime;
    out->m_variableHeaders = plan.headers;
    if (plan.uniqueIdSet) {
        out->m_uniqueId = plan.uniqueId;
    }
    if (V2LCSFFile* v2 = dynamic_cast<V2LCSFFile*>(out.get())) {
        v2->m_sparseRanges = plan.ranges;
        v2->enableMinorVersionFeatures((uint8_t)plan.minor);
    }

    out->writeHeader();
    if (out->hasWriteError() || trap.hasError(true)) {
        return fileError(outPath, codecProblem("cannot write the header"));
    }

    std::vector<uint8_t> frame(plan.channels ? plan.channels : 1, 0);
    Progress progress(command, plan.frames);
    for (uint32_t f = 0; f < plan.frames; f++) {
        std::string badFile;
        if (!source.next(f, frame.data(), badFile, problem)) {
            return fileError(badFile, problem);
        }
        out->addFrame(f, frame.data());
        // Checked at once, so that a writing error is never taken for a reading one;
        // hasWriteError costs a flush, so it waits for a run of frames.
        if (trap.hasError(true) || ((f & 1023) == 1023 && out->hasWriteError())) {
            return fileError(outPath, codecProblem("write failed"));
        }
        progress.update(f + 1);
    }
    out->finalize();
    if (out->hasWriteError() || trap.hasError(true)) {
        return fileError(outPath, codecProblem("write failed"));
    }
    if (out->m_seqFile && fsync(fileno(out->m_seqFile)) != 0) {
        return fileError(outPath, std::string("cannot flush to disk: ") + strerror(errno));
    }
    out.reset();
    if (!output.commit(problem)) {
        return fileError(outPath, problem);
    }
    return EXIT_OK;
}

std::vector<OptionSpec> withFormatOptions(std::vector<OptionSpec> own) {
    for (auto& s : formatOptionSpecs()) {
        own.push_back(s);
    }
    return own;
}

// Applies the format options among `pa.options`; returns -1 when all were fine,
// otherwise the exit code after the message.
int collectFormatOptions(const std::string& command, const ParsedArgs& pa, FormatOptions& fo) {
    for (auto& o : pa.options) {
        std::string problem, problemFile;
        int r = applyFormatOption(o.first, o.second, fo, problem, problemFile);
        if (r == -1) {
            return usageError(command, problem);
        }
        if (r == -2) {
            return fileError(problemFile, problem);
        }
    }
    return -1;
}

} // namespace

int commandCreate(const std::vector<std::string>& args) {
    ParsedArgs pa;
    std::string problem;
    auto specs = withFormatOptions({{"channels", 0, true},
                                    {"frames", 0, true},
                                    {"step", 0, true},
                                    {"pattern", 0, true},
                                    {"seed", 0, true},
                                    {"from-raw", 0, true}});
    if (!parseArgs(args, specs, pa, problem)) {
        return usageError("create", problem);
    }
    if (pa.operands.size() != 1) {
        return usageError("create", pa.operands.empty() ? "missing OUT" : "takes one OUT file");
    }
    WritePlan plan;
    Pattern pattern = Pattern::ramp;
    uint64_t seed = 1;
    bool channelsSet = false, framesSet = false, patternSet = false, seedSet = false;
    std::string rawPath;
    for (auto& o : pa.options) {
        uint64_t v;
        if (o.first == "channels") {
            if (!parseU64(o.second, v) || v < 1 || v > MAX_FRAME_CHANNELS) {
                return usageError("create", "--channels must be 1.." + std::to_string(MAX_FRAME_CHANNELS) +
                                                ", not '" + o.second + "'");
            }
            plan.channels = (uint32_t)v;
            channelsSet = true;
        } else if (o.first == "frames") {
            if (!parseU64(o.second, v) || v < 1 || v > UINT32_MAX) {
                return usageError("create", "--frames must be 1..4294967295, not '" + o.second + "'");
            }
            plan.frames = (uint32_t)v;
            framesSet = true;
        } else if (o.first == "step") {
            if (!parseU64(o.second, v) || v < 1 || v > 255) {
                return usageError("create", "--step must be 1..255 ms, not '" + o.second + "'");
            }
            plan.stepTime = (uint32_t)v;
        } else if (o.first == "pattern") {
            if (!parsePattern(o.second, pattern)) {
                return usageError("create", "--pattern must be ramp, chase, rainbow, random or zero, not '" +
                                                o.second + "'");
            }
            patternSet = true;
        } else if (o.first == "seed") {
            if (!parseU64(o.second, seed)) {
                return usageError("create", "--seed must be a whole number, not '" + o.second + "'");
            }
            seedSet = true;
        } else if (o.first == "from-raw") {
            rawPath = o.second;
        }
    }
    if (!channelsSet) {
        return usageError("create", "--channels N is required");
    }
    if (!framesSet) {
        return usageError("create", "--frames F is required");
    }
    if (!rawPath.empty() && patternSet) {
        return usageError("create", "--pattern and --from-raw exclude each other");
    }
    if (seedSet && pattern != Pattern::random) {
        return usageError("create", "--seed applies only to --pattern random");
    }
    FormatOptions fo;
    int r = collectFormatOptions("create", pa, fo);
    if (r >= 0) {
        return r;
    }
    if (!resolveFormat(fo, nullptr, plan, problem)) {
        return usageError("create", problem);
    }

    const std::string& outPath = pa.operands[0];
    if (!rawPath.empty() && rawPath != "-" && sameFile(rawPath, outPath)) {
        return usageError("create", "OUT is the --from-raw input; writing it would destroy the input");
    }
    std::unique_ptr<FrameSource> source;
    if (!rawPath.empty()) {
        FILE* f = stdin;
        if (rawPath != "-") {
            struct stat st;
            if (stat(rawPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                return fileError(rawPath, "is a directory");
            }
            f = fopen(rawPath.c_str(), "rb");
            if (!f) {
                return fileError(rawPath, std::string("cannot open: ") + strerror(errno));
            }
        }
        source.reset(new RawSource(rawPath, f, plan.channels, plan.frames));
    } else {
        source.reset(new PatternSource(pattern, plan.channels, seed));
    }
    return writeSequence("create", outPath, plan, nullptr, *source);
}

int commandConvert(const std::vector<std::string>& args) {
    ParsedArgs pa;
    std::string problem;
    if (!parseArgs(args, withFormatOptions({}), pa, problem)) {
        return usageError("convert", problem);
    }
    if (pa.operands.size() != 2) {
        return usageError("convert", pa.operands.size() < 2 ? "wants IN and OUT" : "takes only IN and OUT");
    }
    const std::string& inPath = pa.operands[0];
    const std::string& outPath = pa.operands[1];
    FormatOptions fo;
    int r = collectFormatOptions("convert", pa, fo);
    if (r >= 0) {
        return r;
    }
    std::vector<std::string> warnings;
    std::unique_ptr<LCSFFile> in(openInput(inPath, problem, warnings));
    if (!in) {
        return fileError(inPath, problem);
    }
    if (inPath == outPath || sameFile(inPath, outPath)) {
        return usageError("convert",
                          "OUT is the same file as IN; converting in place would destroy the input");
    }
    uint64_t channels = in->getMaxChannel();
    if (channels > MAX_FRAME_CHANNELS) {
        return fileError(inPath, "frames of " + std::to_string(channels) +
                                     " channels are more than lcsf handles (" +
                                     std::to_string(MAX_FRAME_CHANNELS) + ")");
    }
    WritePlan plan;
    plan.channels = (uint32_t)channels;
    plan.frames = in->m_seqNumFrames;
    plan.stepTime = in->m_seqStepTime;
    if (plan.stepTime < 1 || plan.stepTime > 255) {
        return fileError(inPath,
                         "step time " + std::to_string(plan.stepTime) + " ms cannot be written (1..255)");
    }
    if (!resolveFormat(fo, in.get(), plan, problem)) {
        return usageError("convert", problem);
    }
    if (plan.frames == 0 && plan.compression != LCSFFile::CompressionType::none) {
        return fileError(inPath,
                         "has no frames, and a compressed file needs at least one (use --compression none)");
    }
    SequenceSource source(in.get(), plan.channels);
    int result = writeSequence("convert", outPath, plan, in.get(), source);
    if (result == EXIT_OK) {
        for (auto& w : warnings) {
            fprintf(stderr, "lcsf: %s: warning: %s\n", inPath.c_str(), w.c_str());
        }
    }
    return result;
}
