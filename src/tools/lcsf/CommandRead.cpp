// `lcsf extract` (raw channel bytes out of a sequence) and `lcsf verify` (every
// frame read once).
#include "Options.h"
#include "Tool.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

std::string spanText(uint64_t first, uint64_t count) {
    return std::to_string(first) + ":" + std::to_string(count);
}

} // namespace

int commandExtract(const std::vector<std::string>& args) {
    ParsedArgs pa;
    std::string problem;
    if (!parseArgs(args, {{"frames", 0, true}, {"channels", 0, true}, {"output", 'o', true}}, pa, problem)) {
        return usageError("extract", problem);
    }
    if (pa.operands.size() != 1) {
        return usageError("extract", pa.operands.empty() ? "missing FILE" : "takes one FILE");
    }
    uint64_t frameFirst = 0, frameCount = UINT64_MAX, chanFirst = 0, chanCount = UINT64_MAX;
    std::string outPath;
    for (auto& o : pa.options) {
        if (o.first == "frames" && !parseSpan(o.second, frameFirst, frameCount, true)) {
            return usageError("extract",
                              "--frames wants FIRST:COUNT (or FIRST: for the rest), not '" + o.second + "'");
        }
        if (o.first == "channels" && !parseSpan(o.second, chanFirst, chanCount, true)) {
            return usageError("extract",
                              "--channels wants FIRST:COUNT (0-based; FIRST: for the rest), not '" +
                                  o.second + "'");
        }
        if (o.first == "output") {
            outPath = o.second;
        }
    }
    if (outPath.empty() || outPath == "-") {
        outPath.clear();
        if (isatty(1)) {
            return usageError("extract", "will not write binary data to a terminal; use -o PATH or a pipe");
        }
    }

    const std::string& path = pa.operands[0];
    std::vector<std::string> warnings;
    std::unique_ptr<LCSFFile> file(openInput(path, problem, warnings));
    if (!file) {
        return fileError(path, problem);
    }
    if (!outPath.empty() && sameFile(path, outPath)) {
        return usageError("extract", "-o names the sequence file itself; writing it would destroy it");
    }
    uint64_t frames = file->m_seqNumFrames;
    uint64_t maxChannel = file->getMaxChannel();
    if (frameCount == UINT64_MAX) {
        frameCount = frameFirst <= frames ? frames - frameFirst : 0;
    }
    bool framesGiven = pa.has("frames");
    if (frameFirst + frameCount > frames || (frameCount == 0 && framesGiven)) {
        return usageError("extract", "--frames " + spanText(frameFirst, frameCount) +
                                         " does not lie within the " + std::to_string(frames) +
                                         " frames of " + path + " (frames are 0-based, COUNT at least 1)");
    }
    if (chanCount == UINT64_MAX) {
        if (chanFirst > maxChannel) {
            return usageError("extract", "--channels " + std::to_string(chanFirst) +
                                             ": starts past channel " + std::to_string(maxChannel) +
                                             ", the end of " + path);
        }
        chanCount = maxChannel - chanFirst;
    }
    if (chanFirst + chanCount > UINT32_MAX) {
        return usageError("extract",
                          "--channels " + spanText(chanFirst, chanCount) + " runs past channel 4294967295");
    }
    // Only channels the file can hold are read; the rest of the selection is zeros.
    uint64_t limit = std::min(maxChannel, chanFirst + chanCount);
    if (limit > MAX_FRAME_CHANNELS) {
        return fileError(path, "frames of " + std::to_string(maxChannel) +
                                   " channels are more than lcsf handles (" +
                                   std::to_string(MAX_FRAME_CHANNELS) + ")");
    }

    SafeOutput safe;
    FILE* out = stdout;
    if (!outPath.empty()) {
        if (!safe.begin(outPath, problem)) {
            return fileError(outPath, problem);
        }
        out = fopen(safe.tempPath().c_str(), "wb");
        if (!out) {
            return fileError(outPath, std::string("cannot create: ") + strerror(errno));
        }
    }
    auto closeOut = [&]() {
        if (out != stdout) {
            fclose(out);
            out = stdout;
        }
    };

    if (chanCount == 0) {
        frameCount = 0; // nothing to write for any frame
    }
    FrameReader reader(file.get(), (uint32_t)limit, (uint32_t)frameFirst, (uint32_t)chanFirst,
                       (uint32_t)chanCount);
    std::vector<uint8_t> zeros(65536, 0);
    Progress progress("extract", frameCount);
    for (uint64_t i = 0; i < frameCount; i++) {
        uint32_t f = (uint32_t)(frameFirst + i);
        if (!reader.read(f, problem)) {
            closeOut();
            return fileError(path, problem);
        }
        bool ok = true;
        if (chanFirst < limit) {
            ok = fwrite(reader.buffer() + chanFirst, 1, limit - chanFirst, out) == limit - chanFirst;
        }
        uint64_t pad = chanFirst + chanCount - std::max(limit, chanFirst);
        while (ok && pad) {
            size_t n = (size_t)std::min<uint64_t>(pad, zeros.size());
            ok = fwrite(zeros.data(), 1, n, out) == n;
            pad -= n;
        }
        if (!ok) {
            int e = errno;
            closeOut();
            return fileError(outPath.empty() ? "standard output" : outPath,
                             std::string("write failed: ") + strerror(e));
        }
        progress.update(i + 1);
    }
    if (out != stdout) {
        bool failed = fflush(out) != 0 || ferror(out) || fsync(fileno(out)) != 0;
        int e = errno;
        failed = (fclose(out) != 0) || failed;
        out = stdout;
        if (failed) {
            return fileError(outPath, std::string("write failed: ") + strerror(e));
        }
        if (!safe.commit(problem)) {
            return fileError(outPath, problem);
        }
    } else if (fflush(stdout) != 0) {
        return fileError("standard output", std::string("write failed: ") + strerror(errno));
    }
    for (auto& w : warnings) {
        fprintf(stderr, "lcsf: %s: warning: %s\n", path.c_str(), w.c_str());
    }
    return EXIT_OK;
}

int commandVerify(const std::vector<std::string>& args) {
    ParsedArgs pa;
    std::string problem;
    if (!parseArgs(args, {}, pa, problem)) {
        return usageError("verify", problem);
    }
    if (pa.operands.size() != 1) {
        return usageError("verify", pa.operands.empty() ? "missing FILE" : "takes one FILE");
    }
    const std::string& path = pa.operands[0];
    std::vector<std::string> warnings;
    std::unique_ptr<LCSFFile> file(openInput(path, problem, warnings));
    if (!file) {
        return fileError(path, problem);
    }
    // readFrame with a limit of 0 checks a frame without copying it, so no buffer
    // of the file's (possibly damaged) channel count is needed.
    uint32_t frames = file->m_seqNumFrames;
    if (file->getMaxChannel() == 0) {
        // Frames without channels hold nothing that could fail to read.
        printf("OK: %u frames\n", frames);
        return EXIT_OK;
    }
    FrameReader reader(file.get(), 0, 0);
    Progress progress("verify", frames);
    for (uint32_t f = 0; f < frames; f++) {
        if (!reader.read(f, problem)) {
            return fileError(path, problem);
        }
        progress.update((uint64_t)f + 1);
    }
    printf("OK: %u frames\n", frames);
    for (auto& w : warnings) {
        fprintf(stderr, "lcsf: %s: warning: %s\n", path.c_str(), w.c_str());
    }
    return EXIT_OK;
}
