// Version 1 files: every frame stored whole and uncompressed.
#include "LCSFFile.h"

#include "ByteOrder.h"
#include "host/core/Log.h"

#include <cstring>
#include <sys/stat.h>

V1LCSFFile::V1LCSFFile(const std::string& filename) : LCSFFile(filename) {
    m_seqVersionMajor = 1;
    m_seqVersionMinor = 0;
}

V1LCSFFile::V1LCSFFile(const std::string& filename, FILE* file, const std::vector<uint8_t>& header)
    : LCSFFile(filename, file, header) {
    parseVariableHeaders(header, 28);
    struct stat st;
    if (fstat(fileno(file), &st) == 0) {
        m_uniqueId = (uint64_t)st.st_mtime;
    }
}

V1LCSFFile::~V1LCSFFile() {}

uint32_t V1LCSFFile::getMaxChannel() const {
    return m_seqChannelCount;
}

void V1LCSFFile::prepareRead(const std::vector<std::pair<uint32_t, uint32_t>>& ranges, uint32_t startFrame) {
    // Ranges past the channels hold nothing; kept, they would shift every packed
    // range after them in readFrame.
    m_rangesToRead = clipRanges(ranges, m_seqChannelCount, &m_dataBlockSize);
    if (!m_rangesToRead.empty()) {
        delete getFrame(startFrame);
    }
}

LCSFFile::FrameData* V1LCSFFile::getFrame(uint32_t frame) {
    if (m_rangesToRead.empty()) {
        prepareRead({{0, m_seqChannelCount}}, frame);
    }
    uint64_t offset = m_seqChanDataOffset + (uint64_t)frame * m_seqChannelCount;
    UncompressedFrameData* data = new UncompressedFrameData(frame, m_dataBlockSize, m_rangesToRead);
    if (seek(offset, SEEK_SET)) {
        LogErr(LOGCH_SEQUENCE, "Failed to seek to proper offset for channel data for frame %d! %llu\n", frame,
               (unsigned long long)offset);
        return data;
    }
    uint64_t pos = 0;
    for (auto& r : m_rangesToRead) {
        if (r.first >= m_seqChannelCount) {
            continue;
        }
        // prepareRead shortened the ranges, so they fit the frame buffer.
        if (pos + r.second > data->m_size) {
            break;
        }
        seek(offset + r.first, SEEK_SET);
        uint64_t got = read(data->m_data + pos, r.second);
        if (got != r.second) {
            LogErr(LOGCH_SEQUENCE,
                   "Failed to read channel data for frame %d!   Needed to read %d but read %d\n", frame,
                   (int)r.second, (int)got);
        }
        pos += r.second;
    }
    return data;
}

void V1LCSFFile::addFrame(uint32_t, const uint8_t* data) {
    write(data, m_seqChannelCount);
}

void V1LCSFFile::writeHeader() {
    uint64_t headerSize = 28;
    for (auto& h : m_variableHeaders) {
        headerSize += 4 + h.data.size();
    }
    headerSize = roundTo4(headerSize);
    // The offset is a u16 and version 1 has no extended headers: a larger header
    // cannot be stored, and a truncated offset would point into the headers.
    if (headerSize > 0xFFFF) {
        noteWriteError("the variable headers do not fit in a version 1 header (64 KiB at most)");
        return;
    }
    if (m_seqStepTime > 255) {
        noteWriteError("the step time does not fit in one byte (255 ms at most)");
        return;
    }
    m_seqChanDataOffset = headerSize;

    std::vector<uint8_t> header(headerSize, 0);
    uint8_t* h = header.data();
    memcpy(h, "LCSM", 4);
    writeLE16(h + 4, (uint16_t)m_seqChanDataOffset);
    h[6] = 0;
    h[7] = 1;
    writeLE16(h + 8, 28);
    writeLE32(h + 10, m_seqChannelCount);
    writeLE32(h + 14, m_seqNumFrames);
    h[18] = (uint8_t)m_seqStepTime;
    h[24] = 1;
    h[25] = 2;

    uint64_t pos = 28;
    for (auto& vh : m_variableHeaders) {
        pos += putInlineHeader(h + pos, vh);
    }
    writeHeaderBytes(header, pos, "v1");
}
