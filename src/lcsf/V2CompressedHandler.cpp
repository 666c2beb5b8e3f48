// Block sizing, the block index, and the read-ahead thread with its cache of
// compressed blocks, shared by the zstd and zlib handlers.
#include "V2Handlers.h"

#include "ByteOrder.h"
#include "host/core/Common.h"
#include "host/core/Log.h"
#include "host/core/Warnings.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

V2CompressedHandler::V2CompressedHandler(V2LCSFFile* f) : V2Handler(f) {
    if (!m_file->m_frameOffsets.empty()) {
        m_maxBlocks = (int)m_file->m_frameOffsets.size() - 1;
    }
}

V2CompressedHandler::~V2CompressedHandler() {
    stopReadThread();
}

void V2CompressedHandler::stopReadThread() {
    {
        std::lock_guard<std::mutex> l(m_readLock);
        m_readThreadRunning = false;
    }
    m_readSignal.notify_all();
    if (m_readThread.joinable()) {
        m_readThread.join();
    }
    std::lock_guard<std::mutex> l(m_readLock);
    freeBlocks();
    m_blocksToRead.clear();
}

void V2CompressedHandler::freeBlocks() {
    for (auto& b : m_blockMap) {
        free(b.second.data);
    }
    m_blockMap.clear();
}

int V2CompressedHandler::blockCount() const {
    return m_maxBlocks;
}

int V2CompressedHandler::computeMaxBlocks(int maxNumBlocks) {
    if (m_maxBlocks) {
        return m_maxBlocks;
    }
    if (maxNumBlocks < 2) {
        maxNumBlocks = 2;
    }
    uint64_t frames = m_file->m_seqNumFrames;
    uint64_t total = frames * m_file->m_seqChannelCount;
    uint64_t units = total / 65536;
    uint64_t framesPerBlock;
    if ((uint64_t)maxNumBlocks < units) {
        framesPerBlock = frames / maxNumBlocks;
    } else if (total >= 65536) {
        framesPerBlock = frames / units;
    } else {
        framesPerBlock = frames;
    }
    if (framesPerBlock < 2) {
        framesPerBlock = 2;
    }
    m_curFrameInBlock = 0;
    m_curBlock = 0;
    uint64_t blocks = frames / framesPerBlock + 1;
    while (blocks > (uint64_t)maxNumBlocks) {
        framesPerBlock++;
        blocks = frames / framesPerBlock + 1;
    }
    m_framesPerBlock = (int)framesPerBlock;
    if (blocks < (uint64_t)maxNumBlocks - 1) {
        m_maxBlocks = (int)blocks + 2;
    } else if (blocks == (uint64_t)maxNumBlocks - 1) {
        m_maxBlocks = (int)blocks + 1;
    } else {
        m_maxBlocks = (int)blocks;
    }
    return m_maxBlocks;
}

bool V2CompressedHandler::blockFinished() const {
    if (m_curBlock == 0 && m_curFrameInBlock == 10) {
        return true;
    }
    return m_curFrameInBlock >= m_framesPerBlock && (int)m_file->m_frameOffsets.size() < m_maxBlocks;
}

void V2CompressedHandler::noteFrameAdded() {
    m_curFrameInBlock++;
}

void V2CompressedHandler::finalize() {
    uint64_t end = m_file->tell();
    m_file->seek(32, SEEK_SET);
    auto& offsets = m_file->m_frameOffsets;
    if (offsets.empty()) {
        LogErr(LOGCH_SEQUENCE, "Error writing lcsf file.  No compressed blocks created.\n");
        // The stream is open for writing only; the offset is the one writeHeader used.
        offsets.emplace_back(0, m_seqChanDataOffset);
        m_file->seek(32, SEEK_SET);
    }
    // The header reserved room for m_maxBlocks entries; never write past it.
    size_t entries = std::min<size_t>(offsets.size(), (size_t)std::max(m_maxBlocks, 0));
    if (entries < offsets.size()) {
        LogErr(LOGCH_SEQUENCE, "More blocks (%d) than the block index holds (%d)\n", (int)offsets.size(),
               m_maxBlocks);
    }
    offsets.emplace_back(99999999, end);
    for (size_t i = 0; i < entries; i++) {
        uint64_t next = (i + 1 < entries) ? offsets[i + 1].second : end;
        uint8_t buf[8];
        writeLE32(buf, offsets[i].first);
        writeLE32(buf + 4, (uint32_t)(next - offsets[i].second));
        m_file->write(buf, 8);
    }
    offsets.pop_back();
    m_file->seek(end, SEEK_SET);
    V2Handler::finalize();
}

// ---- reading ----

int V2CompressedHandler::findBlockForFrame(uint32_t frame) const {
    auto& offsets = m_file->m_frameOffsets;
    int found = -1;
    for (int b = 0; b < m_maxBlocks; b++) {
        if (offsets[b].first <= frame) {
            found = b;
        } else {
            break;
        }
    }
    return found;
}

uint32_t V2CompressedHandler::blockFirstFrame(int block) const {
    return m_file->m_frameOffsets[block].first;
}

uint32_t V2CompressedHandler::framesInBlock(int block) const {
    uint32_t next = std::min<uint32_t>(m_file->m_seqNumFrames, m_file->m_frameOffsets[block + 1].first);
    uint32_t first = blockFirstFrame(block);
    return next > first ? next - first : 0;
}

uint64_t V2CompressedHandler::maxBlockSize() const {
    // Small or noisy data compresses to more than its raw size; a block is only
    // corrupt when it is larger than the compressor could ever have made it.
    uint64_t raw = (uint64_t)m_file->m_seqNumFrames * m_file->m_seqChannelCount;
    // Above the worst case of both zstd and zlib (raw plus well under 1/128 and a few bytes).
    return raw + raw / 128 + 65536;
}

void V2CompressedHandler::prepareRead(uint32_t frame) {
    auto& offsets = m_file->m_frameOffsets;
    int b = 0;
    for (size_t i = 0; i + 1 < offsets.size(); i++) {
        if (offsets[i + 1].first > frame) {
            b = (int)i;
            break;
        }
    }
    LogDebug(LOGCH_SEQUENCE, "Preparing to read starting frame:  %d    block: %d\n", frame, b);
    m_readRanges = std::make_shared<const DecodedFrameData::Ranges>(m_file->m_rangesToRead);
    m_readAheadBlock = -1;
    m_readAheadUpTo = -1;
    {
        std::lock_guard<std::mutex> l(m_readLock);
        m_blocksToRead.clear();
        for (int i = 0; i < 4; i++) {
            m_blocksToRead.push_back(b + i);
        }
        m_firstBlock = b;
    }
    // A second prepareRead only moves the requests: one reader thread per file.
    if (!m_readThread.joinable()) {
        m_readThreadRunning = true;
        m_readThread = std::thread(&V2CompressedHandler::readThread, this);
    } else {
        m_readSignal.notify_all();
    }
}

void V2CompressedHandler::readThread() {
    SetThreadName("LCSFReadThread");
    auto& offsets = m_file->m_frameOffsets;
    std::unique_lock<std::mutex> l(m_readLock);
    while (m_readThreadRunning) {
        if (m_blocksToRead.empty()) {
            m_readSignal.wait_for(l, std::chrono::milliseconds(25));
            continue;
        }
        int block = m_blocksToRead.front();
        m_blocksToRead.pop_front();
        if (block < 0 || block >= m_maxBlocks) {
            continue;
        }
        CachedBlock& entry = m_blockMap[block];
        if (entry.data || entry.failed) {
            continue;
        }
        uint64_t offset = offsets[block].second;
        uint64_t next = offsets[block + 1].second;
        uint64_t size = next > offset ? next - offset : 0;
        uint64_t max = maxBlockSize();
        if (size > max) {
            LogWarn(LOGCH_SEQUENCE, "Serious problem reading sequence data\n");
            LogWarn(LOGCH_SEQUENCE, "    Block: %d / %d\n", block, (int)offsets.size());
            LogWarn(LOGCH_SEQUENCE, "    Offset: %llu\n", (unsigned long long)offset);
            LogWarn(LOGCH_SEQUENCE, "    Offset+1: %llu\n", (unsigned long long)next);
            LogWarn(LOGCH_SEQUENCE, "    Size: %llu\n", (unsigned long long)size);
            LogWarn(LOGCH_SEQUENCE, "    Max: %llu\n", (unsigned long long)max);
            for (size_t i = 0; i + 1 < offsets.size(); i++) {
                LogWarn(LOGCH_SEQUENCE, "        Block %d:    Offset: %llu    Size: %llu\n", (int)i,
                        (unsigned long long)offsets[i].second,
                        (unsigned long long)(offsets[i + 1].second - offsets[i].second));
            }
            size = max;
        }
        l.unlock();
        // A block past size_t (32-bit boards) cannot be held; malloc would get a wrapped size.
        uint8_t* data = (uint64_t)(size_t)size == size ? (uint8_t*)malloc(size ? size : 1) : nullptr;
        uint64_t got = 0;
        if (data) {
            if (m_file->seek(offset, SEEK_SET) == 0) {
                got = m_file->read(data, size);
            }
            if (got != size) {
                LogErr(LOGCH_SEQUENCE, "Short read of block %d: needed %llu bytes at %llu but read %llu\n",
                       block, (unsigned long long)size, (unsigned long long)offset, (unsigned long long)got);
            }
        } else {
            LogErr(LOGCH_SEQUENCE, "Could not allocate %llu bytes for block %d\n", (unsigned long long)size,
                   block);
        }
        l.lock();
        CachedBlock& stored = m_blockMap[block];
        stored.data = data;
        stored.size = got;
        stored.failed = data == nullptr;
        m_readSignal.notify_all();
    }
}

void V2CompressedHandler::requestReadAhead(int block) {
    auto& offsets = m_file->m_frameOffsets;
    int first = block + 1;
    int last = std::min(block + 4, m_maxBlocks - 1);
    // Reading on in order, the blocks up to m_readAheadUpTo are asked for already;
    // asking again would only cost system calls and wake-ups on every block.
    bool onward = block >= m_readAheadBlock;
    if (onward && m_readAheadUpTo >= first) {
        first = m_readAheadUpTo + 1;
    }
    m_readAheadBlock = block;
    m_readAheadUpTo = onward ? std::max(m_readAheadUpTo, last) : last;
    if (first > last) {
        return;
    }
    for (int j = first; j <= last; j++) {
        uint64_t start = offsets[j].second;
        uint64_t end = (j + 1 < m_maxBlocks) ? offsets[j + 2].second : offsets[j + 1].second;
        if (end > start) {
            m_file->preload(start, end - start);
        }
    }
    {
        std::lock_guard<std::mutex> l(m_readLock);
        for (int j = first; j <= last; j++) {
            m_blocksToRead.push_back(j);
        }
    }
    m_readSignal.notify_all();
}

bool V2CompressedHandler::inCurrentBlock(uint32_t frame) const {
    return validBlock(m_curBlock) && frame >= blockFirstFrame(m_curBlock) &&
           frame < blockFirstFrame(m_curBlock) + framesInBlock(m_curBlock);
}

bool V2CompressedHandler::enterBlockFor(uint32_t frame, uint8_t** data, uint64_t* size) {
    int k = findBlockForFrame(frame);
    if (k < 0) {
        LogErr(LOGCH_SEQUENCE, "No block holds frame %u\n", frame);
        return false;
    }
    m_curBlock = k;
    m_outBlock.reset();
    m_outBlockValid = 0;
    m_curFrameInBlock = 0;
    m_outBlockBroken = false;
    *size = 0;
    *data = getBlock(k, size);
    requestReadAhead(k);

    m_framesPerBlock = (int)framesInBlock(k);
    m_outBlockFrames = m_framesPerBlock;
    // A damaged frame or channel count must not size the buffer beyond what the
    // data can fill (gigabytes from a file of a few hundred bytes), nor past
    // size_t on 32-bit boards.
    uint64_t frameSize = storedFrameSize();
    if (frameSize) {
        m_outBlockFrames = std::min<uint64_t>(m_outBlockFrames, maxDecodedSize(*size) / frameSize);
    }
    uint64_t outSize = m_outBlockFrames * frameSize;
    uint8_t* out =
        (uint64_t)(size_t)outSize == outSize ? (uint8_t*)malloc(std::max<uint64_t>(outSize, 1)) : nullptr;
    if (out) {
        m_outBlock = std::shared_ptr<uint8_t>(out, free);
    }
    if (!*data || !m_outBlock) {
        LogErr(LOGCH_SEQUENCE, "Block %d of %s is not available\n", k, m_file->m_seqFilename.c_str());
        m_outBlockBroken = true;
    }
    return true;
}

LCSFFile::FrameData* V2CompressedHandler::decodedFrame(uint32_t frame) {
    uint64_t frameSize = storedFrameSize();
    uint64_t inBlock = frame - blockFirstFrame(m_curBlock);
    if (frameSize * (inBlock + 1) > m_outBlockValid) {
        return nullptr;
    }
    // A sparse file's frame is its ranges packed; otherwise channel c is at byte c.
    bool packed = !m_file->m_sparseRanges.empty();
    if (!m_readRanges) {
        m_readRanges = std::make_shared<const DecodedFrameData::Ranges>(m_file->m_rangesToRead);
    }
    return new DecodedFrameData(frame, m_outBlock, m_outBlock.get() + inBlock * frameSize,
                                (uint32_t)frameSize, m_readRanges, packed);
}

uint8_t* V2CompressedHandler::getBlock(int block, uint64_t* size) {
    if (!validBlock(block)) {
        return nullptr;
    }
    std::unique_lock<std::mutex> l(m_readLock);
    CachedBlock* entry = &m_blockMap[block];
    while (!entry->data && !entry->failed) {
        if (!m_readThreadRunning) {
            // Nobody would ever fill it: no reader thread (not prepared, or shutting down).
            return nullptr;
        }
        if (m_firstBlock != 0 && block > m_firstBlock + 3) {
            WarningHolder::AddWarningTimeout("LCSF Data Block not available - Likely slow storage", 90);
            LogWarn(LOGCH_SEQUENCE,
                    "Data block not available when needed %d/%d.  First block requested: %d.   Likely slow "
                    "storage.\n",
                    block, m_maxBlocks, m_firstBlock);
            LogWarn(LOGCH_SEQUENCE, "Blocks: %d     First: %d\n", (int)m_blocksToRead.size(),
                    m_blocksToRead.empty() ? -1 : m_blocksToRead.front());
        }
        m_blocksToRead.push_front(block);
        m_readSignal.notify_all();
        m_readSignal.wait_for(l, std::chrono::seconds(10));
        entry = &m_blockMap[block];
    }
    if (block >= 3) {
        auto old = m_blockMap.find(block - 2);
        if (old != m_blockMap.end()) {
            free(old->second.data);
            old->second.data = nullptr;
            old->second.size = 0;
        }
    }
    if (entry->failed) {
        return nullptr;
    }
    if (size) {
        *size = entry->size;
    }
    return entry->data;
}
