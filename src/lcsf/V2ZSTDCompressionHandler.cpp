// zstd blocks: one zstd frame per block, decompressed incrementally as frames are asked for.
#include "V2Handlers.h"

#include "host/core/Log.h"

#include <cstdlib>
#include <cstring>

V2ZSTDCompressionHandler::V2ZSTDCompressionHandler(V2LCSFFile* f) : V2CompressedHandler(f) {
    m_outBuffer.dst = nullptr;
    m_outBuffer.size = 0;
    m_outBuffer.pos = 0;
    m_inBuffer.src = nullptr;
    m_inBuffer.size = 0;
    m_inBuffer.pos = 0;
}

V2ZSTDCompressionHandler::~V2ZSTDCompressionHandler() {
    // Stop the reader before the streams go: it may still be filling the cache.
    stopReadThread();
    if (m_cctx) {
        ZSTD_freeCStream(m_cctx);
    }
    if (m_dctx) {
        ZSTD_freeDStream(m_dctx);
    }
    free(m_outBuffer.dst);
}

void V2ZSTDCompressionHandler::flushOutput(bool all) {
    if (m_outBuffer.pos && (all || m_outBuffer.pos > V2CompressedHandler::WRITE_FLUSH_SIZE)) {
        m_file->write(m_outBuffer.dst, m_outBuffer.pos);
        m_outBuffer.pos = 0;
    }
}

void V2ZSTDCompressionHandler::addFrame(uint32_t frame, const uint8_t* data) {
    if (!m_outBuffer.dst) {
        m_outBuffer.dst = malloc(V2CompressedHandler::WRITE_BUFFER_SIZE);
        m_outBuffer.size = m_outBuffer.dst ? V2CompressedHandler::WRITE_BUFFER_SIZE : 0;
        m_outBuffer.pos = 0;
        if (!m_outBuffer.dst) {
            LogErr(LOGCH_SEQUENCE, "Could not allocate the zstd output buffer\n");
            return;
        }
    }
    if (m_curFrameInBlock == 0) {
        m_file->m_frameOffsets.emplace_back(frame, m_file->tell());
        int level = m_file->m_compressionLevel;
        if (level < -25 || level > 25) {
            level = 2;
        }
        // The first block is small and fast to decode, so that a show starts at once.
        if (frame == 0 && ZSTD_versionNumber() >= 10306) {
            level = -10;
        }
        if (level < 0 && ZSTD_versionNumber() < 10306) {
            level = 0;
        }
        if (!m_cctx) {
            m_cctx = ZSTD_createCStream();
        }
        ZSTD_initCStream(m_cctx, level);
    }
    forEachStoredRange(data, [this](const uint8_t* src, uint64_t len) {
        ZSTD_inBuffer in = {src, (size_t)len, 0};
        while (in.pos < in.size) {
            size_t r = ZSTD_compressStream2(m_cctx, &m_outBuffer, &in, ZSTD_e_continue);
            if (ZSTD_isError(r)) {
                LogErr(LOGCH_SEQUENCE, "zstd compression failed: %s\n", ZSTD_getErrorName(r));
                m_file->noteWriteError("zstd compression failed");
                return;
            }
            if (m_outBuffer.pos > V2CompressedHandler::WRITE_FLUSH_SIZE ||
                m_outBuffer.pos == m_outBuffer.size) {
                flushOutput(true);
            }
        }
    });
    flushOutput(false);
    noteFrameAdded();
    if (blockFinished()) {
        finishBlock();
    }
}

void V2ZSTDCompressionHandler::finishBlock() {
    ZSTD_inBuffer in = {nullptr, 0, 0};
    size_t remaining;
    do {
        remaining = ZSTD_compressStream2(m_cctx, &m_outBuffer, &in, ZSTD_e_end);
        if (ZSTD_isError(remaining)) {
            LogErr(LOGCH_SEQUENCE, "zstd compression failed: %s\n", ZSTD_getErrorName(remaining));
            m_file->noteWriteError("zstd compression failed");
            break;
        }
        flushOutput(true);
    } while (remaining != 0);
    m_curFrameInBlock = 0;
    m_curBlock++;
}

void V2ZSTDCompressionHandler::finalize() {
    if (m_curFrameInBlock) {
        int frames = m_curFrameInBlock;
        finishBlock();
        LogDebug(LOGCH_SEQUENCE, "  Finalized last block of data.  Frames in block: %d.\n", frames);
    }
    V2CompressedHandler::finalize();
}

LCSFFile::FrameData* V2ZSTDCompressionHandler::getFrame(uint32_t frame) {
    if (!inCurrentBlock(frame)) {
        uint8_t* block = nullptr;
        uint64_t size = 0;
        if (!enterBlockFor(frame, &block, &size)) {
            return nullptr;
        }
        if (!m_dctx) {
            m_dctx = ZSTD_createDStream();
        }
        ZSTD_initDStream(m_dctx);
        m_inBuffer.src = block;
        m_inBuffer.size = (size_t)std::min<uint64_t>(size, maxBlockSize());
        m_inBuffer.pos = 0;
    }
    uint64_t inBlock = frame - blockFirstFrame(m_curBlock);
    if (inBlock >= m_outBlockFrames) {
        return nullptr; // beyond what the block's data can hold
    }
    uint64_t frameSize = storedFrameSize();
    uint64_t needed = frameSize * (inBlock + 1);
    if (needed > m_outBlockValid && !m_outBlockBroken) {
        // Decode only as far as this frame: playback asks for the frames in order.
        ZSTD_outBuffer out = {m_outBlock.get(), (size_t)needed, (size_t)m_outBlockValid};
        // One call usually does it; loop while the stream makes progress.
        while (out.pos < out.size) {
            size_t before = out.pos;
            size_t beforeIn = m_inBuffer.pos;
            size_t r = ZSTD_decompressStream(m_dctx, &out, &m_inBuffer);
            if (ZSTD_isError(r)) {
                LogErr(LOGCH_SEQUENCE, "Block %d of %s does not decompress: %s\n", m_curBlock,
                       m_file->m_seqFilename.c_str(), ZSTD_getErrorName(r));
                m_outBlockBroken = true;
                break;
            }
            if (out.pos == before && m_inBuffer.pos == beforeIn) {
                break;
            }
        }
        m_outBlockValid = out.pos;
        m_curFrameInBlock = (int)(m_outBlockValid / frameSize);
        if (m_outBlockValid < needed && !m_outBlockBroken) {
            LogErr(LOGCH_SEQUENCE, "Block %d of %s decompresses to %llu bytes, too few for frame %u\n",
                   m_curBlock, m_file->m_seqFilename.c_str(), (unsigned long long)m_outBlockValid, frame);
            m_outBlockBroken = true;
        }
    }
    return decodedFrame(frame);
}
