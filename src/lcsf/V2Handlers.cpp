// The handler base (extended header data at the end of the file) and the
// uncompressed handler.
#include "V2Handlers.h"

#include "ByteOrder.h"
#include "host/core/Log.h"

#include <cstring>

V2Handler::V2Handler(V2LCSFFile* f) : m_file(f), m_seqChanDataOffset(f->m_seqChanDataOffset) {}

int V2Handler::computeMaxBlocks(int) {
    return 0;
}

void V2Handler::prepareRead(uint32_t) {}

void V2Handler::finalize() {
    auto& headers = m_file->m_variableHeaders;
    if (headers.empty()) {
        return;
    }
    for (size_t i = 0; i < m_variableHeaderPatchPositions.size() && i < headers.size(); i++) {
        uint64_t patchPos = m_variableHeaderPatchPositions[i];
        if (!patchPos) {
            continue;
        }
        uint64_t dataPos = m_file->tell();
        if (!headers[i].data.empty()) {
            m_file->write(headers[i].data.data(), headers[i].data.size());
        }
        uint64_t end = m_file->tell();
        uint8_t buf[8];
        writeLE64(buf, dataPos);
        m_file->seek(patchPos, SEEK_SET);
        m_file->write(buf, 8);
        m_file->seek(end, SEEK_SET);
    }
}

bool DecodedFrameData::readFrame(uint8_t* data, uint32_t maxChannels) {
    uint64_t pos = 0;
    for (auto& r : *m_ranges) {
        // Packed ranges follow one another; otherwise each sits at its channel.
        uint64_t from = m_packed ? pos : r.first;
        if (from + r.second > m_frameSize) {
            return false;
        }
        if (r.first < maxChannels) {
            memcpy(data + r.first, m_frameBytes + from, std::min<uint32_t>(r.second, maxChannels - r.first));
        }
        pos += r.second;
    }
    return true;
}

void V2NoneCompressionHandler::addFrame(uint32_t, const uint8_t* data) {
    if (m_file->m_sparseRanges.empty()) {
        m_file->write(data, m_file->m_seqChannelCount);
    } else {
        for (auto& r : m_file->m_sparseRanges) {
            m_file->write(data + r.first, r.second);
        }
    }
}

LCSFFile::FrameData* V2NoneCompressionHandler::getFrame(uint32_t frame) {
    UncompressedFrameData* data =
        new UncompressedFrameData(frame, m_file->m_dataBlockSize, m_file->m_rangesToRead);
    uint64_t offset = m_seqChanDataOffset + (uint64_t)frame * m_file->m_seqChannelCount;
    if (m_file->seek(offset, SEEK_SET)) {
        LogErr(LOGCH_SEQUENCE, "Failed to seek to proper offset for channel data! %llu\n",
               (unsigned long long)offset);
        return data;
    }
    if (!m_file->m_sparseRanges.empty()) {
        uint64_t got = m_file->read(data->m_data, data->m_size);
        if (got != data->m_size) {
            LogErr(LOGCH_SEQUENCE, "Failed to read channel data!   Needed to read %d but read %d\n",
                   (int)data->m_size, (int)got);
        }
        return data;
    }
    uint64_t pos = 0;
    for (auto& r : m_file->m_rangesToRead) {
        if (r.first >= m_file->m_seqChannelCount) {
            continue;
        }
        if (pos + r.second > data->m_size) {
            break;
        }
        m_file->seek(offset + r.first, SEEK_SET);
        uint64_t got = m_file->read(data->m_data + pos, r.second);
        if (got != r.second) {
            LogErr(LOGCH_SEQUENCE, "Failed to read channel data!   Needed to read %d but read %d\n",
                   (int)r.second, (int)got);
        }
        pos += r.second;
    }
    return data;
}

void V2NoneCompressionHandler::prepareRead(uint32_t frame) {
    if (frame < m_file->m_seqNumFrames) {
        delete getFrame(frame);
    }
}
