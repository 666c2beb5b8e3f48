// Test sequence files.
#include "TestSequences.h"

#include "TempDir.h"

#include <memory>

bool writeTestSequence(const std::string& path, const TestSequenceOptions& o, std::vector<uint8_t>* memory) {
    std::unique_ptr<LCSFFile> f;
    if (path == "-memory-") {
        if (o.version == 1) {
            f.reset(new V1LCSFFile(path));
        } else {
            f.reset(new V2LCSFFile(path, o.compression, o.level));
        }
    } else {
        f.reset(LCSFFile::createLCSFFile(path, o.version, o.compression, o.level));
    }
    if (!f) {
        return false;
    }
    f->m_seqNumFrames = o.frames;
    f->m_seqChannelCount = o.channels;
    f->m_seqStepTime = o.stepTime;
    f->m_uniqueId = o.uniqueId;
    f->m_variableHeaders = o.headers;
    if (o.version == 2) {
        auto* v2 = static_cast<V2LCSFFile*>(f.get());
        v2->m_sparseRanges = o.sparseRanges;
        if (o.minor) {
            v2->enableMinorVersionFeatures((uint8_t)o.minor);
        }
    }
    f->writeHeader();
    std::vector<uint8_t> frame(o.channels);
    for (uint32_t fr = 0; fr < o.frames; fr++) {
        for (uint32_t c = 0; c < o.channels; c++) {
            frame[c] = testChannelValue(fr, c);
        }
        f->addFrame(fr, frame.data());
    }
    f->finalize();
    bool ok = !f->hasWriteError();
    if (memory) {
        *memory = f->m_memoryBuffer;
    }
    return ok;
}

std::vector<std::vector<uint8_t>> readAllFrames(const std::string& path, uint32_t channels,
                                                const std::vector<std::pair<uint32_t, uint32_t>>& ranges) {
    std::vector<std::vector<uint8_t>> r;
    std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
    if (!f) {
        return r;
    }
    f->prepareRead(ranges.empty() ? std::vector<std::pair<uint32_t, uint32_t>>{{0, channels}} : ranges, 0);
    for (uint32_t fr = 0; fr < f->m_seqNumFrames; fr++) {
        std::unique_ptr<LCSFFile::FrameData> fd(f->getFrame(fr));
        std::vector<uint8_t> buf(channels, 0);
        if (!fd || !fd->readFrame(buf.data(), channels)) {
            break;
        }
        r.push_back(buf);
    }
    return r;
}

bool damageBlock(const std::string& path, size_t block) {
    std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
    auto* v2 = dynamic_cast<V2LCSFFile*>(f.get());
    if (!v2 || v2->m_frameOffsets.size() < block + 2) {
        return false;
    }
    uint64_t from = v2->m_frameOffsets[block].second, to = v2->m_frameOffsets[block + 1].second;
    f.reset();
    std::string bytes = readFileBytes(path);
    if (to > bytes.size()) {
        return false;
    }
    for (uint64_t i = from; i < to; i++) {
        bytes[i] = (char)(0x5A ^ i);
    }
    writeFileBytes(path, bytes);
    return true;
}
