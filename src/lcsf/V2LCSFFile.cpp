// Version 2 files: header, block index, sparse ranges, read ranges, and the choice of
// compression handler.
#include "LCSFFile.h"

#include "ByteOrder.h"
#include "host/core/Log.h"
#include "V2Handlers.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <sys/time.h>

V2LCSFFile::V2LCSFFile(const std::string& filename, CompressionType type, int level)
    : LCSFFile(filename), m_compressionType(type), m_compressionLevel(level) {
    m_seqVersionMajor = 2;
    m_seqVersionMinor = 0;
    createHandler();
}

V2LCSFFile::V2LCSFFile(const std::string& filename, FILE* file, const std::vector<uint8_t>& header)
    : LCSFFile(filename, file, header) {
    const uint8_t* h = header.data();
    const uint64_t H = header.size();
    if (m_seqVersionMajor == 2 && m_seqVersionMinor > 2) {
        LogErr(LOGCH_SEQUENCE, "Unknown minor version: %d.  LCSF may not load properly.\n",
               m_seqVersionMinor);
    }
    bool isESEQ = H >= 4 && memcmp(h, "ESEQ", 4) == 0;
    if (isESEQ) {
        if (H >= 20) {
            uint32_t first = readLE32(h + 12);
            m_sparseRanges.emplace_back(first ? first - 1 : 0, readLE32(h + 16));
        }
        createHandler();
        return;
    }
    if (H < 32) {
        // openLCSFFile refuses such files; a direct caller gets an empty, safe object.
        createHandler();
        return;
    }

    int ct = h[20] & 0x0F;
    if (ct > 2) {
        LogErr(LOGCH_SEQUENCE, "Unknown compression type: %d\n", (int)h[20]);
        ct = 0;
    }
    m_compressionType = (CompressionType)ct;

    int blockCount = h[21] + ((h[20] >> 4) << 8);
    uint64_t pos = 32;
    uint64_t offset = m_seqChanDataOffset;
    for (int i = 0; i < blockCount && pos + 8 <= H; i++, pos += 8) {
        uint32_t firstFrame = readLE32(h + pos);
        uint32_t length = readLE32(h + pos + 4);
        if (length) {
            m_frameOffsets.emplace_back(firstFrame, offset);
            offset += length;
        }
        if (i == 0) {
            preload(m_seqChanDataOffset, length);
        }
    }
    if (m_compressionType == CompressionType::none) {
        m_frameOffsets.emplace_back(0, m_seqChanDataOffset);
    } else if (m_frameOffsets.empty()) {
        LogErr(LOGCH_SEQUENCE, "LCSF file corrupt: did not load any block references from header.\n");
        m_frameOffsets.emplace_back(0, m_seqChanDataOffset);
    } else {
        // A damaged index must not send readers out of the file or into a table
        // whose frames go backwards: keep the blocks up to the first bad entry.
        for (size_t i = 0; i < m_frameOffsets.size(); i++) {
            bool pastEnd = m_frameOffsets[i].second >= m_seqFileSize;
            bool backwards = i > 0 && m_frameOffsets[i].first <= m_frameOffsets[i - 1].first;
            bool firstNotZero = i == 0 && m_frameOffsets[i].first != 0;
            if (pastEnd || backwards || firstNotZero) {
                LogErr(LOGCH_SEQUENCE,
                       "LCSF file corrupt: block %d of the index (first frame %u, offset %llu) %s; %d of %d "
                       "blocks "
                       "kept.\n",
                       (int)i, m_frameOffsets[i].first, (unsigned long long)m_frameOffsets[i].second,
                       pastEnd ? "starts past the end of the file"
                               : (firstNotZero ? "does not start at frame 0"
                                               : "does not follow the block before"),
                       (int)i, (int)m_frameOffsets.size());
                m_frameOffsets.resize(i);
                break;
            }
        }
        if (m_frameOffsets.empty()) {
            m_frameOffsets.emplace_back(0, m_seqChanDataOffset);
        }
    }
    m_frameOffsets.emplace_back(m_seqNumFrames + 2, m_seqFileSize);

    int rangeCount = h[22];
    for (int i = 0; i < rangeCount && pos + 6 <= H; i++, pos += 6) {
        m_sparseRanges.emplace_back(readLE24(h + pos), readLE24(h + pos + 3));
    }
    if (pos != readLE16(h + 8)) {
        LogErr(LOGCH_SEQUENCE, "Read position (%d) does not match expected header size %d!\n", (int)pos,
               (int)readLE16(h + 8));
    }
    m_uniqueId = readLE64(h + 24);
    parseVariableHeaders(header, (int)pos);
    createHandler();
}

V2LCSFFile::~V2LCSFFile() {
    // The handler's read-ahead thread uses the stream, which the base closes afterwards.
    delete m_handler;
    m_handler = nullptr;
}

void V2LCSFFile::createHandler() {
    switch (m_compressionType) {
    case CompressionType::zstd:
        delete m_handler;
        m_handler = new V2ZSTDCompressionHandler(this);
        LogDebug(LOGCH_SEQUENCE, "  Prepared to read/write a ZSTD compress lcsf file.\n");
        break;
    case CompressionType::zlib:
        delete m_handler;
        m_handler = new V2ZLIBCompressionHandler(this);
        break;
    case CompressionType::none:
        delete m_handler;
        m_handler = new V2NoneCompressionHandler(this);
        break;
    default:
        if (!m_handler) {
            LogDebug(LOGCH_SEQUENCE, "Creating a default none compression handler. %d",
                     (int)m_compressionType);
            m_handler = new V2NoneCompressionHandler(this);
        }
        break;
    }
}

uint32_t V2LCSFFile::getMaxChannel() const {
    uint64_t r = m_seqChannelCount;
    for (auto& s : m_sparseRanges) {
        r = std::max<uint64_t>(r, (uint64_t)s.first + s.second);
    }
    return (uint32_t)std::min<uint64_t>(r, UINT32_MAX);
}

int V2LCSFFile::getBlockCount() const {
    return m_handler ? m_handler->blockCount() : 0;
}

void V2LCSFFile::enableMinorVersionFeatures(uint8_t ver) {
    m_seqVersionMinor = ver;
    m_allowExtendedBlocks = ver != 0;
}

void V2LCSFFile::addFrame(uint32_t frame, const uint8_t* data) {
    if (m_handler) {
        m_handler->addFrame(frame, data);
    }
}

void V2LCSFFile::finalize() {
    if (m_handler) {
        m_handler->finalize();
    }
    LCSFFile::finalize();
}

void V2LCSFFile::prepareRead(const std::vector<std::pair<uint32_t, uint32_t>>& ranges, uint32_t startFrame) {
    if (!m_sparseRanges.empty()) {
        m_rangesToRead = m_sparseRanges;
        // The ranges are all a frame hands out; a damaged channel count larger than
        // their sum must not cost a frame buffer of that size (gigabytes) per frame.
        uint64_t rangeSum = 0;
        for (auto& r : m_sparseRanges) {
            rangeSum += r.second;
        }
        m_dataBlockSize = (uint32_t)std::min<uint64_t>(m_seqChannelCount, rangeSum);
    } else {
        m_rangesToRead = clipRanges(ranges, m_seqChannelCount, &m_dataBlockSize);
        if (ranges.empty() || m_rangesToRead.empty()) {
            m_rangesToRead.clear();
            m_rangesToRead.emplace_back(0, getMaxChannel());
            m_dataBlockSize = getMaxChannel();
        }
    }
    for (auto& r : ranges) {
        if (!isWithinRange(m_rangesToRead, r.first, r.second)) {
            LogErr(
                LOGCH_SEQUENCE,
                "Requested output range outside read ranges. Requested %d channels starting at channel %d\n",
                (int)r.second, (int)r.first + 1);
        }
    }
    if (m_handler) {
        m_handler->prepareRead(startFrame);
    }
}

LCSFFile::FrameData* V2LCSFFile::getFrame(uint32_t frame) {
    if (m_rangesToRead.empty()) {
        prepareRead({{0, getMaxChannel()}}, frame);
    }
    if (frame >= m_seqNumFrames || !m_handler) {
        return nullptr;
    }
    try {
        return m_handler->getFrame(frame);
    } catch (const std::exception&) {
        LogErr(LOGCH_SEQUENCE, "Error getting frame from handler %s.\n", m_handler->GetType().c_str());
        return nullptr;
    }
}

void V2LCSFFile::writeHeader() {
    // Ranges beyond the channels given are dropped, those running past them shortened;
    // an empty range would only take a table entry.
    uint32_t rangeSum = 0;
    std::vector<std::pair<uint32_t, uint32_t>> ranges =
        clipRanges(m_sparseRanges, m_seqChannelCount, &rangeSum);
    ranges.erase(std::remove_if(ranges.begin(), ranges.end(),
                                [](const std::pair<uint32_t, uint32_t>& r) { return r.second == 0; }),
                 ranges.end());
    // The table has one byte for its size and three for each start and count.
    if (ranges.size() > 255) {
        noteWriteError("more than 255 sparse ranges");
        return;
    }
    for (auto& r : ranges) {
        if (r.first > 0xFFFFFF || r.second > 0xFFFFFF) {
            noteWriteError("a sparse range starts or ends beyond channel 16777215");
            return;
        }
    }
    if (m_seqStepTime > 255) {
        noteWriteError("the step time does not fit in one byte (255 ms at most)");
        return;
    }
    m_sparseRanges = ranges;
    if (!ranges.empty()) {
        m_seqChannelCount = (uint32_t)rangeSum;
    }

    int blockCount = m_handler->computeMaxBlocks(m_allowExtendedBlocks ? 4095 : 255);
    uint64_t headerLength = 32 + 8 * (uint64_t)blockCount + 6 * ranges.size();

    uint64_t fullSize = headerLength;
    uint64_t compactSize = headerLength;
    for (auto& vh : m_variableHeaders) {
        uint64_t inlineLen = vh.data.size() + 4;
        fullSize += vh.extendedData ? 18 : inlineLen;
        compactSize += (vh.extendedData || inlineLen > 18) ? 18 : inlineLen;
    }
    // Minor versions below 2 store headers inline; but a header that no longer
    // fits the 16-bit channel data offset would make the file unreadable, so
    // oversize headers then go to the extended form, which every reader knows.
    bool compact = !(m_seqVersionMinor < 2 || fullSize < 65535);
    if (!compact && roundTo4(fullSize) > 0xFFFF) {
        LogWarn(LOGCH_SEQUENCE,
                "Variable headers of %d bytes exceed the header; storing large ones extended\n",
                (int)fullSize);
        compact = true;
    }
    uint64_t headerSize = roundTo4(compact ? compactSize : fullSize);
    if (headerSize > 0xFFFF) {
        noteWriteError("the header is larger than 64 KiB");
        return;
    }
    m_seqChanDataOffset = headerSize;
    m_handler->m_seqChanDataOffset = headerSize;

    std::vector<uint8_t> header(headerSize, 0);
    uint8_t* h = header.data();
    memcpy(h, "LCSM", 4);
    writeLE16(h + 4, (uint16_t)headerSize);
    h[6] = (uint8_t)m_seqVersionMinor;
    h[7] = 2;
    writeLE16(h + 8, (uint16_t)headerLength);
    writeLE32(h + 10, m_seqChannelCount);
    writeLE32(h + 14, m_seqNumFrames);
    h[18] = (uint8_t)m_seqStepTime;
    h[20] = (uint8_t)(m_handler->getCompressionType() | (((blockCount >> 8) & 0x0F) << 4));
    h[21] = (uint8_t)(blockCount & 0xFF);
    h[22] = (uint8_t)ranges.size();
    if (m_uniqueId == 0) {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        m_uniqueId = (uint64_t)tv.tv_sec * 1000000 + tv.tv_usec;
    }
    writeLE64(h + 24, m_uniqueId);

    uint64_t pos = 32 + 8 * (uint64_t)blockCount;
    for (auto& r : ranges) {
        writeLE24(h + pos, r.first);
        writeLE24(h + pos + 3, r.second);
        pos += 6;
    }

    m_handler->m_variableHeaderPatchPositions.assign(m_variableHeaders.size(), 0);
    for (size_t i = 0; i < m_variableHeaders.size(); i++) {
        auto& vh = m_variableHeaders[i];
        uint64_t inlineLen = vh.data.size() + 4;
        if (vh.extendedData || (compact && inlineLen > 18)) {
            writeLE16(h + pos, 18);
            h[pos + 2] = 'E';
            h[pos + 3] = 'D';
            h[pos + 4] = vh.code[0];
            h[pos + 5] = vh.code[1];
            writeLE64(h + pos + 6, 0);
            writeLE32(h + pos + 14, (uint32_t)vh.data.size());
            m_handler->m_variableHeaderPatchPositions[i] = pos + 6;
            pos += 18;
        } else {
            pos += putInlineHeader(h + pos, vh);
        }
    }
    writeHeaderBytes(header, pos, "v2");
}

void V2LCSFFile::dumpInfo(bool indent) {
    LCSFFile::dumpInfo(indent);
    const char* p = indent ? "    " : "";
    LogDebug(LOGCH_SEQUENCE, "%sSequence File Information\n", p);
    LogDebug(LOGCH_SEQUENCE, "%scompressionType       : %d\n", p, (int)m_compressionType);
    LogDebug(LOGCH_SEQUENCE, "%snumBlocks             : %d\n", p, getBlockCount());
    LogDebug(LOGCH_SEQUENCE, "%snumRanges             : %d\n", p, (int)m_sparseRanges.size());
}
