// Compression handlers of version 2 files (private to the codec).
#pragma once

#include "host/core/MonotonicCondition.h"

#include "LCSFFile.h"

#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <zlib.h>
#include <zstd.h>

// A frame of a decoded block, read straight from the block: no copy of its own.
// The block stays alive while any of its frames does.
class DecodedFrameData : public LCSFFile::FrameData {
public:
    using Ranges = std::vector<std::pair<uint32_t, uint32_t>>;
    DecodedFrameData(uint32_t frame, std::shared_ptr<uint8_t> block, const uint8_t* frameBytes,
                     uint32_t frameSize, std::shared_ptr<const Ranges> ranges, bool packed)
        : FrameData(frame), m_block(std::move(block)), m_frameBytes(frameBytes), m_frameSize(frameSize),
          m_ranges(std::move(ranges)), m_packed(packed) {}

    bool readFrame(uint8_t* data, uint32_t maxChannels) override;

private:
    std::shared_ptr<uint8_t> m_block;
    const uint8_t* m_frameBytes;            // inside m_block
    uint32_t m_frameSize;                   // bytes of this frame as stored
    std::shared_ptr<const Ranges> m_ranges; // the file's read ranges when the frame was made
    bool m_packed;                          // sparse file: the ranges' channels follow one another
};

class V2Handler {
public:
    explicit V2Handler(V2LCSFFile* f);
    virtual ~V2Handler() {}

    virtual int getCompressionType() = 0;
    virtual LCSFFile::FrameData* getFrame(uint32_t frame) = 0;
    virtual int computeMaxBlocks(int maxNumBlocks = 255);
    virtual void addFrame(uint32_t frame, const uint8_t* data) = 0;
    virtual std::string GetType() const = 0;
    virtual void prepareRead(uint32_t frame);
    virtual void finalize();

    // Blocks that hold data, for the information dump and `lcsf info`.
    virtual int blockCount() const { return 0; }

    V2LCSFFile* m_file;
    uint64_t m_seqChanDataOffset;
    std::vector<uint64_t> m_variableHeaderPatchPositions;
};

class V2NoneCompressionHandler : public V2Handler {
public:
    explicit V2NoneCompressionHandler(V2LCSFFile* f) : V2Handler(f) {}
    int getCompressionType() override { return 0; }
    LCSFFile::FrameData* getFrame(uint32_t frame) override;
    void addFrame(uint32_t frame, const uint8_t* data) override;
    std::string GetType() const override { return "No Compression"; }
    void prepareRead(uint32_t frame) override;
};

class V2CompressedHandler : public V2Handler {
public:
    // Compressed output is gathered in a buffer of this size and written once more
    // than WRITE_FLUSH_SIZE bytes wait, so the file sees few large writes.
    static constexpr size_t WRITE_BUFFER_SIZE = 8388608;
    static constexpr size_t WRITE_FLUSH_SIZE = 4194304;

    explicit V2CompressedHandler(V2LCSFFile* f);
    ~V2CompressedHandler() override;

    int computeMaxBlocks(int maxNumBlocks = 255) override;
    void prepareRead(uint32_t frame) override;
    void finalize() override;
    int blockCount() const override;

    // The block's compressed data, owned by the cache; null when it cannot be had.
    uint8_t* getBlock(int block, uint64_t* size = nullptr);

    // Stops the read-ahead thread (waits for it) and frees the cached blocks.
    void stopReadThread();

    int m_framesPerBlock = 0;
    int m_curFrameInBlock = 0;
    int m_curBlock = 99999;
    int m_maxBlocks = 0;

    std::atomic<bool> m_readThreadRunning{false};
    std::thread m_readThread;
    std::mutex m_readLock; // guards m_blockMap, m_blocksToRead, m_firstBlock
    struct CachedBlock {
        uint8_t* data = nullptr; // malloc'ed, freed by the cache
        uint64_t size = 0;       // bytes actually read
        bool failed = false;     // could not be allocated or read
    };
    std::map<int, CachedBlock> m_blockMap;
    std::list<int> m_blocksToRead;
    MonotonicCondition m_readSignal;
    int m_firstBlock = 0;

protected:
    // Reading side helpers shared by both decompressors.
    bool validBlock(int block) const { return block >= 0 && block < m_maxBlocks; }
    int findBlockForFrame(uint32_t frame) const;
    uint32_t blockFirstFrame(int block) const;
    uint32_t framesInBlock(int block) const;
    uint64_t maxBlockSize() const;
    void requestReadAhead(int block);
    bool inCurrentBlock(uint32_t frame) const;
    // The most `compressedBytes` of this handler's blocks can decode to.
    virtual uint64_t maxDecodedSize(uint64_t compressedBytes) const = 0;
    // Makes the block holding `frame` the current one: fetches its compressed data
    // (`*data`, `*size`), asks for the blocks after it and makes room for its
    // frames. False, with a message, when no block holds the frame.
    bool enterBlockFor(uint32_t frame, uint8_t** data, uint64_t* size);
    // The frame from the decoded part of the current block; null when the block
    // could not give it, so a damaged block never hands out stale memory.
    LCSFFile::FrameData* decodedFrame(uint32_t frame);
    // Common start of writing a block; false when nothing more is to be done.
    bool blockFinished() const;
    void noteFrameAdded();
    // Bytes per stored frame (the header's channel count).
    uint32_t storedFrameSize() const { return m_file->m_seqChannelCount; }
    // Appends this frame's stored bytes (whole frame or the sparse ranges) to `out`.
    template <typename F> void forEachStoredRange(const uint8_t* data, F&& out) const;

    // Decompressed data of the current block (reading).
    std::shared_ptr<uint8_t> m_outBlock;                          // shared with the frames handed out
    std::shared_ptr<const DecodedFrameData::Ranges> m_readRanges; // likewise; set by prepareRead
    // Read-ahead already asked for up to m_readAheadUpTo when entering m_readAheadBlock.
    int m_readAheadBlock = -1;
    int m_readAheadUpTo = -1;
    uint64_t m_outBlockFrames = 0; // frames that fit in m_outBlock
    uint64_t m_outBlockValid = 0;  // bytes of m_outBlock decompressed so far
    bool m_outBlockBroken = false; // the block failed to decompress; message logged

private:
    void readThread();
    void freeBlocks();
};

class V2ZSTDCompressionHandler : public V2CompressedHandler {
public:
    explicit V2ZSTDCompressionHandler(V2LCSFFile* f);
    ~V2ZSTDCompressionHandler() override;

    int getCompressionType() override { return 1; }
    LCSFFile::FrameData* getFrame(uint32_t frame) override;
    void addFrame(uint32_t frame, const uint8_t* data) override;
    std::string GetType() const override { return "Compressed ZSTD"; }
    // 4 bytes of zstd can stand for a 128 KiB block at best.
    uint64_t maxDecodedSize(uint64_t compressedBytes) const override { return compressedBytes * 32768; }
    void finalize() override;

    ZSTD_CStream* m_cctx = nullptr;
    ZSTD_DStream* m_dctx = nullptr;
    ZSTD_outBuffer m_outBuffer;
    ZSTD_inBuffer m_inBuffer;

private:
    void finishBlock();
    void flushOutput(bool all);
};

class V2ZLIBCompressionHandler : public V2CompressedHandler {
public:
    explicit V2ZLIBCompressionHandler(V2LCSFFile* f);
    ~V2ZLIBCompressionHandler() override;

    int getCompressionType() override { return 2; }
    LCSFFile::FrameData* getFrame(uint32_t frame) override;
    void addFrame(uint32_t frame, const uint8_t* data) override;
    std::string GetType() const override { return "Compressed ZLIB"; }
    // Deflate expands at most 1032 times.
    uint64_t maxDecodedSize(uint64_t compressedBytes) const override { return compressedBytes * 1032; }
    void finalize() override;

    z_stream* m_stream = nullptr;
    uint8_t* m_outBuffer = nullptr; // writing: pending compressed output (8 MiB)
    uint8_t* m_inBuffer = nullptr;  // reading: the current block's compressed data (owned by the cache)

private:
    void finishBlock();
    void flushOutput(bool all);
    bool m_streamOpen = false;
};

template <typename F> void V2CompressedHandler::forEachStoredRange(const uint8_t* data, F&& out) const {
    if (m_file->m_sparseRanges.empty()) {
        out(data, (uint64_t)storedFrameSize());
    } else {
        for (auto& r : m_file->m_sparseRanges) {
            out(data + r.first, (uint64_t)r.second);
        }
    }
}
