// The file object common to both versions: opening, creating, low-level I/O,
// variable headers and the information dump.
#include "LCSFFile.h"

#include "ByteOrder.h"
#include "host/core/Log.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

// Sequence files pass 2 GiB; on 32-bit boards a 32-bit off_t would make them
// unopenable and wrap every offset past it.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

static const uint32_t V1_FIXED_HEADER = 28;
static const uint32_t V2_FIXED_HEADER = 32;
static const uint32_t ESEQ_HEADER = 20;

std::string LCSFFile::codeText(const char code[2]) {
    std::string r;
    for (int i = 0; i < 2; i++) {
        unsigned char c = (unsigned char)code[i];
        r += (c >= 32 && c < 127) ? (char)c : '?';
    }
    return r;
}

LCSFFile::LCSFFile(const std::string& filename) : m_seqFilename(filename) {
    if (filename == "-memory-") {
        m_memoryMode = true;
        m_memoryBuffer.reserve(1048576);
        return;
    }
    m_seqFile = fopen(filename.c_str(), "wb");
    if (!m_seqFile) {
        LogErr(LOGCH_SEQUENCE, "Error creating LCSF file (%s): %s\n", filename.c_str(), strerror(errno));
    }
}

LCSFFile::LCSFFile(const std::string& filename, FILE* file, const std::vector<uint8_t>& header)
    : m_seqFilename(filename), m_seqFile(file) {
    fseeko(m_seqFile, 0, SEEK_END);
    off_t size = ftello(m_seqFile);
    m_seqFileSize = size > 0 ? (uint64_t)size : 0;
    fseeko(m_seqFile, 0, SEEK_SET);

    const uint8_t* h = header.data();
    if (header.size() >= ESEQ_HEADER && memcmp(h, "ESEQ", 4) == 0) {
        m_seqChanDataOffset = ESEQ_HEADER;
        m_seqVersionMajor = 2;
        m_seqVersionMinor = 0;
        m_seqChannelCount = readLE32(h + 8);
        m_seqStepTime = 50;
        // A channel count of 0 holds no frames (and must not be divided by).
        uint64_t frames = (m_seqChannelCount && m_seqFileSize > ESEQ_HEADER)
                              ? (m_seqFileSize - ESEQ_HEADER) / m_seqChannelCount
                              : 0;
        m_seqNumFrames = frames > UINT32_MAX ? UINT32_MAX : (uint32_t)frames;
    } else if (header.size() >= 19) {
        m_seqChanDataOffset = readLE16(h + 4);
        m_seqVersionMinor = h[6];
        m_seqVersionMajor = h[7];
        m_seqChannelCount = readLE32(h + 10);
        m_seqNumFrames = readLE32(h + 14);
        m_seqStepTime = h[18];
    }
}

LCSFFile::~LCSFFile() {
    if (m_seqFile) {
        fclose(m_seqFile);
        m_seqFile = nullptr;
    }
}

LCSFFile* LCSFFile::openLCSFFile(const std::string& filename) {
    FILE* seqFile = fopen(filename.c_str(), "rb");
    if (!seqFile) {
        LogErr(LOGCH_SEQUENCE, "Error pre-reading LCSF file (%s), fopen returned NULL\n", filename.c_str());
        return nullptr;
    }

    uint8_t peek[8] = {0};
    fseeko(seqFile, 0, SEEK_SET);
    size_t count = fread(peek, 1, 8, seqFile);
    int fd = fileno(seqFile);
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    posix_fadvise(fd, 0, 1048576, POSIX_FADV_WILLNEED);

    if (count < 8) {
        LogErr(LOGCH_SEQUENCE, "Error pre-reading LCSF file (%s) header, required %d bytes but read %d\n",
               filename.c_str(), 8, (int)count);
        HexDump("File hader peek:", peek, count, LOGCH_GENERAL, 16);
        fclose(seqFile);
        return nullptr;
    }

    bool isESEQ = memcmp(peek, "ESEQ", 4) == 0;
    if (!isESEQ && memcmp(peek, "LCSM", 4) != 0 && memcmp(peek, "LCSF", 4) != 0) {
        LogErr(LOGCH_SEQUENCE, "Error pre-reading LCSF file (%s) header, invalid identifier\n",
               filename.c_str());
        HexDump("File header peek:", peek, 8, LOGCH_GENERAL, 16);
        fclose(seqFile);
        return nullptr;
    }

    uint64_t seqChanDataOffset = isESEQ ? ESEQ_HEADER : readLE16(peek + 4);
    int major = isESEQ ? 2 : peek[7];
    int minor = isESEQ ? 0 : peek[6];

    std::vector<uint8_t> header(seqChanDataOffset, 0);
    fseeko(seqFile, 0, SEEK_SET);
    size_t bytesRead = header.empty() ? 0 : fread(header.data(), 1, header.size(), seqFile);
    if (bytesRead != header.size()) {
        LogErr(LOGCH_SEQUENCE, "Error reading LCSF file (%s) header, length is %d bytes but read %d\n",
               filename.c_str(), (int)seqChanDataOffset, (int)bytesRead);
        HexDump("File header:", header.data(), bytesRead, LOGCH_GENERAL, 16);
        fclose(seqFile);
        return nullptr;
    }

    LCSFFile* file = nullptr;
    if (major == 1 || major == 2) {
        // The fixed header must lie inside the header bytes before any field is read.
        uint64_t fixedSize = isESEQ ? ESEQ_HEADER : (major == 1 ? V1_FIXED_HEADER : V2_FIXED_HEADER);
        if (seqChanDataOffset < fixedSize) {
            LogErr(LOGCH_SEQUENCE,
                   "Error reading LCSF file (%s) header, channel data offset %d is shorter than the %d-byte "
                   "version %d header\n",
                   filename.c_str(), (int)seqChanDataOffset, (int)fixedSize, major);
            HexDump("File header:", header.data(), header.size(), LOGCH_GENERAL, 16);
            fclose(seqFile);
            return nullptr;
        }
        if (major == 2 && !isESEQ) {
            uint64_t blocks = header[21] + ((uint64_t)(header[20] >> 4) << 8);
            uint64_t tableEnd = V2_FIXED_HEADER + 8 * blocks + 6 * (uint64_t)header[22];
            if (tableEnd > seqChanDataOffset) {
                LogErr(LOGCH_SEQUENCE,
                       "Error reading LCSF file (%s) header, its block index and range table end at %d, past "
                       "the "
                       "%d header bytes\n",
                       filename.c_str(), (int)tableEnd, (int)seqChanDataOffset);
                fclose(seqFile);
                return nullptr;
            }
        }
        if (major == 1) {
            file = new V1LCSFFile(filename, seqFile, header);
        } else {
            file = new V2LCSFFile(filename, seqFile, header);
        }
    } else {
        LogErr(LOGCH_SEQUENCE, "Error opening LCSF file (%s), unknown version %d.%d\n", filename.c_str(),
               major, minor);
        HexDump("File header:", header.data(), header.size(), LOGCH_GENERAL, 16);
        fclose(seqFile);
        return nullptr;
    }

    file->dumpInfo(false);
    return file;
}

LCSFFile* LCSFFile::createLCSFFile(const std::string& filename, int version, CompressionType type,
                                   int level) {
    LCSFFile* file = nullptr;
    if (version == 1) {
        file = new V1LCSFFile(filename);
    } else if (version == 2) {
        file = new V2LCSFFile(filename, type, level);
    } else {
        LogErr(LOGCH_SEQUENCE, "Error creating LCSF file (%s), unknown version %d\n", filename.c_str(),
               version);
        return nullptr;
    }
    if (!file->m_seqFile) {
        delete file;
        return nullptr;
    }
    return file;
}

std::string LCSFFile::getMediaFilename(const std::string& filename) {
    LCSFFile* file = openLCSFFile(filename);
    if (!file) {
        return "";
    }
    std::string r = file->getMediaFilename();
    delete file;
    return r;
}

std::string LCSFFile::getMediaFilename() const {
    for (const auto& h : m_variableHeaders) {
        if (h.code[0] == 'm' && h.code[1] == 'f') {
            size_t len = 0;
            while (len < h.data.size() && h.data[len]) {
                len++;
            }
            return std::string((const char*)h.data.data(), len);
        }
    }
    return "";
}

void LCSFFile::prepareRead(const std::vector<std::pair<uint32_t, uint32_t>>&, uint32_t) {}

void LCSFFile::enableMinorVersionFeatures(uint8_t) {}

void LCSFFile::initializeFromLCSF(const LCSFFile& lcsf) {
    m_seqNumFrames = lcsf.m_seqNumFrames;
    m_seqChannelCount = lcsf.m_seqChannelCount;
    m_seqStepTime = lcsf.m_seqStepTime;
    m_variableHeaders = lcsf.m_variableHeaders;
    m_uniqueId = lcsf.m_uniqueId;
    if (lcsf.m_seqVersionMajor > 1) {
        const V2LCSFFile* v2 = dynamic_cast<const V2LCSFFile*>(&lcsf);
        if (v2) {
            for (auto& r : v2->m_sparseRanges) {
                uint64_t end = (uint64_t)r.first + r.second;
                if (end > m_seqChannelCount && end <= UINT32_MAX) {
                    m_seqChannelCount = (uint32_t)end;
                }
            }
        }
    }
}

void LCSFFile::finalize() {
    if (m_seqFile) {
        fflush(m_seqFile);
    }
}

void LCSFFile::dumpInfo(bool indent) {
    const char* p = indent ? "    " : "";
    LogDebug(LOGCH_SEQUENCE, "%sSequence File Information\n", p);
    LogDebug(LOGCH_SEQUENCE, "%sseqFilename           : %s\n", p, m_seqFilename.c_str());
    LogDebug(LOGCH_SEQUENCE, "%sseqVersion            : %d.%d\n", p, m_seqVersionMajor, m_seqVersionMinor);
    LogDebug(LOGCH_SEQUENCE, "%sseqChanDataOffset     : %d\n", p, (int)m_seqChanDataOffset);
    LogDebug(LOGCH_SEQUENCE, "%sseqChannelCount       : %d\n", p, (int)m_seqChannelCount);
    LogDebug(LOGCH_SEQUENCE, "%sseqNumPeriods         : %d\n", p, (int)m_seqNumFrames);
    LogDebug(LOGCH_SEQUENCE, "%sseqStepTime           : %dms\n", p, (int)m_seqStepTime);
}

int LCSFFile::seek(uint64_t location, int origin) {
    if (m_seqFile) {
        // A seek empties the stream's buffer; reading frames in order, the stream is
        // mostly where it should be already, and its buffer still good.
        if (origin == SEEK_SET && ftello(m_seqFile) == (off_t)location) {
            return 0;
        }
        return fseeko(m_seqFile, (off_t)location, origin);
    }
    if (origin == SEEK_SET) {
        m_memoryBufferPos = location;
    } else if (origin == SEEK_CUR) {
        m_memoryBufferPos += location;
    } else if (origin == SEEK_END) {
        m_memoryBufferPos = m_memoryBuffer.size();
    }
    return 0;
}

uint64_t LCSFFile::tell() {
    if (m_seqFile) {
        off_t p = ftello(m_seqFile);
        return p < 0 ? 0 : (uint64_t)p;
    }
    return m_memoryBufferPos;
}

uint64_t LCSFFile::read(void* ptr, uint64_t size) {
    if (size == 0) {
        // Nothing to read, perhaps into an empty buffer whose pointer is null.
        return 0;
    }
    if (m_seqFile) {
        // Past size_t (32-bit boards) the count would wrap to a small one: read
        // what fits, and the caller sees a short read.
        return fread(ptr, 1, (size_t)std::min<uint64_t>(size, SIZE_MAX), m_seqFile);
    }
    if (m_memoryBufferPos >= m_memoryBuffer.size()) {
        return 0;
    }
    uint64_t n = std::min<uint64_t>(size, m_memoryBuffer.size() - m_memoryBufferPos);
    memcpy(ptr, m_memoryBuffer.data() + m_memoryBufferPos, n);
    m_memoryBufferPos += n;
    return n;
}

uint64_t LCSFFile::write(const void* ptr, uint64_t size) {
    if (size == 0) {
        // Nothing to write, perhaps from an empty buffer whose pointer is null.
        return 0;
    }
    if (m_seqFile) {
        size_t n = fwrite(ptr, 1, (size_t)std::min<uint64_t>(size, SIZE_MAX), m_seqFile);
        if (n != size && !m_writeFailed) {
            m_writeFailed = true;
            LogErr(LOGCH_SEQUENCE, "Error writing LCSF file (%s): %s\n", m_seqFilename.c_str(),
                   strerror(errno));
        }
        return n;
    }
    if (!m_memoryMode) {
        return 0;
    }
    if (m_memoryBufferPos + size > m_memoryBuffer.size()) {
        uint64_t newSize = m_memoryBufferPos + size;
        if (newSize > m_memoryBuffer.capacity()) {
            m_memoryBuffer.reserve(std::max<uint64_t>(newSize, m_memoryBuffer.capacity() * 2));
        }
        m_memoryBuffer.resize(newSize, 0);
    }
    if (size) {
        memcpy(m_memoryBuffer.data() + m_memoryBufferPos, ptr, size);
    }
    m_memoryBufferPos += size;
    return size;
}

void LCSFFile::preload(uint64_t pos, uint64_t size) {
    if (!m_seqFile) {
        return;
    }
    if (posix_fadvise(fileno(m_seqFile), (off_t)pos, (off_t)size, POSIX_FADV_WILLNEED) != 0) {
        LogErr(LOGCH_SEQUENCE, "Could not advise kernel %llu  size: %llu\n", (unsigned long long)pos,
               (unsigned long long)size);
    }
}

bool LCSFFile::hasWriteError() {
    if (m_seqFile && (ferror(m_seqFile) || fflush(m_seqFile) != 0)) {
        m_writeFailed = true;
    }
    return m_writeFailed;
}

void LCSFFile::noteWriteError(const char* what) {
    m_writeFailed = true;
    LogErr(LOGCH_SEQUENCE, "Error writing LCSF file (%s): %s\n", m_seqFilename.c_str(), what);
}

uint64_t LCSFFile::putInlineHeader(uint8_t* at, const VariableHeader& vh) {
    uint64_t len = 4 + vh.data.size();
    writeLE16(at, (uint16_t)len);
    at[2] = vh.code[0];
    at[3] = vh.code[1];
    if (!vh.data.empty()) {
        memcpy(at + 4, vh.data.data(), vh.data.size());
    }
    return len;
}

void LCSFFile::writeHeaderBytes(const std::vector<uint8_t>& header, uint64_t headersEnd,
                                const char* version) {
    if (roundTo4(headersEnd) != m_seqChanDataOffset) {
        LogErr(LOGCH_SEQUENCE,
               "Final write position (%d, roundTo4 = %d) does not match channel data offset (%d)! This means "
               "the "
               "header size failed to compute an accurate buffer size.\n",
               (int)headersEnd, (int)roundTo4(headersEnd), (int)m_seqChanDataOffset);
    }
    write(header.data(), header.size());
    LogDebug(LOGCH_SEQUENCE, "Setup for writing %s LCSF\n", version);
    dumpInfo(true);
}

void LCSFFile::parseVariableHeaders(const std::vector<uint8_t>& header, int readIndex) {
    const uint64_t H = header.size();
    const uint8_t* h = header.data();
    uint64_t p = readIndex < 0 ? 0 : (uint64_t)readIndex;
    while (p + 4 < H) {
        uint32_t len = readLE16(h + p);
        char code[2] = {(char)h[p + 2], (char)h[p + 3]};
        if (len < 5) {
            LogInfo(LOGCH_SEQUENCE, "VariableHeader has 0 length data: %c%c", code[0], code[1]);
            m_variableHeaders.emplace_back(code[0], code[1]);
            p += 4;
            continue;
        }
        if (code[0] == 'E' && code[1] == 'D') {
            if (p + 18 > H) {
                LogErr(LOGCH_SEQUENCE, "Extended VariableHeader at %d does not fit in the %d header bytes\n",
                       (int)p, (int)H);
                break;
            }
            char realCode[2] = {(char)h[p + 4], (char)h[p + 5]};
            uint64_t offset = readLE64(h + p + 6);
            uint32_t dataLen = readLE32(h + p + 14);
            // The data lies outside the header; an offset or length from a damaged
            // file must not lead to a read past the file or a huge allocation.
            if (offset > m_seqFileSize || dataLen > m_seqFileSize - offset) {
                LogErr(
                    LOGCH_SEQUENCE,
                    "Extended VariableHeader '%s' data (%u bytes at offset %llu) lies outside the %llu-byte "
                    "file; header dropped\n",
                    codeText(realCode).c_str(), dataLen, (unsigned long long)offset,
                    (unsigned long long)m_seqFileSize);
                p += 18;
                continue;
            }
            std::vector<uint8_t> data(dataLen);
            uint64_t here = tell();
            uint64_t got = 0;
            if (seek(offset, SEEK_SET) == 0) {
                got = dataLen ? read(data.data(), dataLen) : 0;
            }
            seek(here, SEEK_SET);
            if (got != dataLen) {
                LogErr(LOGCH_SEQUENCE,
                       "Could not read extended VariableHeader '%s': needed %u bytes but read %d\n",
                       codeText(realCode).c_str(), dataLen, (int)got);
                p += 18;
                continue;
            }
            m_variableHeaders.emplace_back(realCode[0], realCode[1], std::move(data), true);
            LogDebug(LOGCH_SEQUENCE, "Read extended VariableHeader: %c%c, length: %d bytes\n", realCode[0],
                     realCode[1], (int)dataLen);
            p += 18;
            continue;
        }
        if (p + len > H) {
            LogErr(LOGCH_SEQUENCE,
                   "VariableHeader '%c%c' has out of bounds data length: %d bytes, max length: %d bytes\n",
                   code[0], code[1], (int)(p + 4 + len), (int)H);
            break;
        }
        uint32_t dataLen = len - 4;
        const uint8_t* data = h + p + 4;
        bool text = (code[0] == 'm' && code[1] == 'f') || (code[0] == 's' && code[1] == 'p');
        bool known = text || (code[0] == 'F' && (code[1] == 'C' || code[1] == 'E'));
        if (text && data[dataLen - 1] != 0) {
            LogErr(LOGCH_SEQUENCE, "VariableHeader %c%c data is not NULL terminated!\n", code[0], code[1]);
        }
        if (!known) {
            LogDebug(LOGCH_SEQUENCE, "Unrecognized VariableHeader code: %c%c, length: %d bytes\n", code[0],
                     code[1], (int)dataLen);
        }
        m_variableHeaders.emplace_back(code[0], code[1], std::vector<uint8_t>(data, data + dataLen));
        LogDebug(LOGCH_SEQUENCE, "Read VariableHeader: %c%c, length: %d bytes\n", code[0], code[1],
                 (int)dataLen);
        p += len;
    }
}
