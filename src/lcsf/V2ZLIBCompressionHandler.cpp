// zlib blocks: one zlib stream per block, inflated whole when the block is first needed.
#include "V2Handlers.h"

#include "host/core/Log.h"

#include <climits>
#include <cstdlib>
#include <cstring>

V2ZLIBCompressionHandler::V2ZLIBCompressionHandler(V2LCSFFile* f) : V2CompressedHandler(f) {
    m_stream = (z_stream*)calloc(1, sizeof(z_stream));
}

V2ZLIBCompressionHandler::~V2ZLIBCompressionHandler() {
    stopReadThread();
    if (m_stream) {
        if (m_streamOpen) {
            deflateEnd(m_stream);
        }
        free(m_stream);
    }
    free(m_outBuffer);
}

void V2ZLIBCompressionHandler::flushOutput(bool all) {
    size_t pending = V2CompressedHandler::WRITE_BUFFER_SIZE - m_stream->avail_out;
    if (pending && (all || pending > V2CompressedHandler::WRITE_FLUSH_SIZE)) {
        m_file->write(m_outBuffer, pending);
        m_stream->next_out = m_outBuffer;
        m_stream->avail_out = V2CompressedHandler::WRITE_BUFFER_SIZE;
    }
}

void V2ZLIBCompressionHandler::addFrame(uint32_t frame, const uint8_t* data) {
    if (!m_stream) {
        return;
    }
    if (!m_outBuffer) {
        m_outBuffer = (uint8_t*)malloc(V2CompressedHandler::WRITE_BUFFER_SIZE);
        if (!m_outBuffer) {
            LogErr(LOGCH_SEQUENCE, "Could not allocate the zlib output buffer\n");
            return;
        }
    }
    if (m_curFrameInBlock == 0) {
        m_file->m_frameOffsets.emplace_back(frame, m_file->tell());
        int level = m_file->m_compressionLevel;
        if (level < 0 || level > 9) {
            level = 3;
        }
        if (m_streamOpen) {
            deflateEnd(m_stream);
        }
        memset(m_stream, 0, sizeof(z_stream));
        if (deflateInit(m_stream, level) != Z_OK) {
            m_file->noteWriteError("zlib compression could not start");
            m_streamOpen = false;
            return;
        }
        m_streamOpen = true;
        m_stream->next_out = m_outBuffer;
        m_stream->avail_out = V2CompressedHandler::WRITE_BUFFER_SIZE;
    }
    if (!m_streamOpen) {
        return;
    }
    forEachStoredRange(data, [this](const uint8_t* src, uint64_t len) {
        m_stream->next_in = const_cast<Bytef*>(src);
        m_stream->avail_in = (uInt)len;
        while (m_stream->avail_in) {
            int r = deflate(m_stream, Z_NO_FLUSH);
            if (r != Z_OK && r != Z_BUF_ERROR) {
                m_file->noteWriteError("zlib compression failed");
                return;
            }
            if (m_stream->avail_out == 0) {
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

void V2ZLIBCompressionHandler::finishBlock() {
    if (m_streamOpen) {
        int r;
        do {
            r = deflate(m_stream, Z_FINISH);
            flushOutput(true);
            if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) {
                m_file->noteWriteError("zlib compression failed");
                break;
            }
        } while (r != Z_STREAM_END);
    }
    m_curFrameInBlock = 0;
    m_curBlock++;
}

void V2ZLIBCompressionHandler::finalize() {
    if (m_curFrameInBlock) {
        finishBlock();
    }
    V2CompressedHandler::finalize();
}

LCSFFile::FrameData* V2ZLIBCompressionHandler::getFrame(uint32_t frame) {
    if (!inCurrentBlock(frame)) {
        uint64_t size = 0;
        if (!enterBlockFor(frame, &m_inBuffer, &size)) {
            return nullptr;
        }
        uint64_t outSize = m_outBlockFrames * storedFrameSize();
        if (m_outBlockBroken) {
            // enterBlockFor said why.
        } else if (size > UINT_MAX || outSize > UINT_MAX) {
            LogErr(LOGCH_SEQUENCE, "Block %d of %s is too large to inflate\n", m_curBlock,
                   m_file->m_seqFilename.c_str());
        } else {
            // The whole block at once: zlib blocks are small and inflate fast.
            z_stream s;
            memset(&s, 0, sizeof(s));
            s.next_in = m_inBuffer;
            s.avail_in = (uInt)size;
            s.next_out = m_outBlock.get();
            s.avail_out = (uInt)outSize;
            int r = inflateInit(&s);
            if (r == Z_OK) {
                r = inflate(&s, Z_SYNC_FLUSH);
                m_outBlockValid = s.total_out;
                inflateEnd(&s);
            }
            if (r != Z_OK && r != Z_STREAM_END) {
                LogErr(LOGCH_SEQUENCE, "Block %d of %s does not inflate: %s\n", m_curBlock,
                       m_file->m_seqFilename.c_str(), s.msg ? s.msg : zError(r));
            } else if (m_outBlockValid < outSize) {
                LogErr(LOGCH_SEQUENCE, "Block %d of %s inflates to %llu bytes, too few for its %u frames\n",
                       m_curBlock, m_file->m_seqFilename.c_str(), (unsigned long long)m_outBlockValid,
                       (unsigned)m_outBlockFrames);
            }
        }
        m_curFrameInBlock = (int)(storedFrameSize() ? m_outBlockValid / storedFrameSize() : 0);
    }
    return decodedFrame(frame);
}
