// Sequence files: reading and writing versions 1 and 2 (uncompressed, zstd or zlib
// blocks, sparse channel ranges, variable headers) and reading "ESEQ" effect files.
//
// Ownership: openLCSFFile, createLCSFFile and getFrame return new objects that the
// caller deletes. A file object owns its stream, variable headers and handler.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

class V2Handler;

class LCSFFile {
public:
    enum CompressionType {
        none = 0,
        zstd = 1,
        zlib = 2,
    };

    class VariableHeader {
    public:
        VariableHeader() { code[0] = code[1] = 0; }
        VariableHeader(char c0, char c1, std::vector<uint8_t> d = {}, bool extended = false)
            : data(std::move(d)), extendedData(extended) {
            code[0] = c0;
            code[1] = c1;
        }
        char code[2];
        std::vector<uint8_t> data;
        bool extendedData = false;
    };

    class FrameData {
    public:
        explicit FrameData(uint32_t frame) : frame(frame) {}
        virtual ~FrameData() {}
        // Copies the frame's channels into a full-size channel buffer at their
        // channel positions, up to (not including) channel `maxChannels`.
        virtual bool readFrame(uint8_t* data, uint32_t maxChannels) = 0;

        uint32_t frame;
    };

    // Path "-memory-" writes into m_memoryBuffer instead of a file.
    explicit LCSFFile(const std::string& filename);
    // Reading: takes over `file`; `header` holds at least the fixed header.
    LCSFFile(const std::string& filename, FILE* file, const std::vector<uint8_t>& header);
    virtual ~LCSFFile();

    static LCSFFile* openLCSFFile(const std::string& filename);
    static LCSFFile* createLCSFFile(const std::string& filename, int version,
                                    CompressionType type = CompressionType::zstd, int level = 10);
    static std::string getMediaFilename(const std::string& filename);
    std::string getMediaFilename() const;

    virtual void prepareRead(const std::vector<std::pair<uint32_t, uint32_t>>& ranges,
                             uint32_t startFrame = 0);
    virtual FrameData* getFrame(uint32_t frame) = 0;
    virtual void enableMinorVersionFeatures(uint8_t ver);
    virtual void initializeFromLCSF(const LCSFFile& lcsf);
    virtual void writeHeader() = 0;
    virtual void addFrame(uint32_t frame, const uint8_t* data) = 0;
    virtual void finalize();
    virtual void dumpInfo(bool indent = false);
    virtual uint32_t getMaxChannel() const = 0;

    int seek(uint64_t location, int origin);
    uint64_t tell();
    uint64_t read(void* ptr, uint64_t size);
    uint64_t write(const void* ptr, uint64_t size);
    void preload(uint64_t pos, uint64_t size);

    // Name of the code as two printable characters, for messages.
    static std::string codeText(const char code[2]);

    // True once a write or flush failed (disk full, removed medium) or the header
    // could not be written faithfully; the file must then not be trusted.
    bool hasWriteError();
    // Records a failure to write the file faithfully, with a message.
    void noteWriteError(const char* what);

    std::string m_seqFilename;
    uint64_t m_uniqueId = 0;
    uint32_t m_seqNumFrames = 0;
    uint32_t m_seqChannelCount = 0;
    uint32_t m_seqStepTime = 50;
    int m_seqVersionMajor = 0;
    int m_seqVersionMinor = 0;
    std::vector<VariableHeader> m_variableHeaders;
    uint64_t m_seqFileSize = 0;
    uint64_t m_seqChanDataOffset = 0;
    FILE* m_seqFile = nullptr;
    std::vector<uint8_t> m_memoryBuffer;
    uint64_t m_memoryBufferPos = 0;

protected:
    void parseVariableHeaders(const std::vector<uint8_t>& header, int readIndex);
    // Puts `vh` in its inline form at `at`; returns the entry's length.
    static uint64_t putInlineHeader(uint8_t* at, const VariableHeader& vh);
    // Checks that the headers ended where the channel data offset says, then
    // writes the header bytes. `version` is "v1" or "v2", for the log.
    void writeHeaderBytes(const std::vector<uint8_t>& header, uint64_t headersEnd, const char* version);
    bool isMemoryMode() const { return m_memoryMode; }

private:
    bool m_memoryMode = false;
    bool m_writeFailed = false;
};

class V1LCSFFile : public LCSFFile {
public:
    explicit V1LCSFFile(const std::string& filename);
    V1LCSFFile(const std::string& filename, FILE* file, const std::vector<uint8_t>& header);
    ~V1LCSFFile() override;

    void prepareRead(const std::vector<std::pair<uint32_t, uint32_t>>& ranges,
                     uint32_t startFrame = 0) override;
    FrameData* getFrame(uint32_t frame) override;
    void writeHeader() override;
    void addFrame(uint32_t frame, const uint8_t* data) override;
    uint32_t getMaxChannel() const override;

    std::vector<std::pair<uint32_t, uint32_t>> m_rangesToRead;
    uint32_t m_dataBlockSize = 0;
};

class V2LCSFFile : public LCSFFile {
public:
    V2LCSFFile(const std::string& filename, CompressionType type, int level);
    V2LCSFFile(const std::string& filename, FILE* file, const std::vector<uint8_t>& header);
    ~V2LCSFFile() override;

    void prepareRead(const std::vector<std::pair<uint32_t, uint32_t>>& ranges,
                     uint32_t startFrame = 0) override;
    FrameData* getFrame(uint32_t frame) override;
    void enableMinorVersionFeatures(uint8_t ver) override;
    void writeHeader() override;
    void addFrame(uint32_t frame, const uint8_t* data) override;
    void finalize() override;
    void dumpInfo(bool indent = false) override;
    uint32_t getMaxChannel() const override;

    // Blocks that hold data (0 for an uncompressed file).
    int getBlockCount() const;

    CompressionType m_compressionType = CompressionType::none;
    int m_compressionLevel = 0;
    std::vector<std::pair<uint32_t, uint32_t>> m_sparseRanges;
    std::vector<std::pair<uint32_t, uint32_t>> m_rangesToRead;
    std::vector<std::pair<uint32_t, uint64_t>> m_frameOffsets;
    uint32_t m_dataBlockSize = 0;
    bool m_allowExtendedBlocks = false;
    V2Handler* m_handler = nullptr;

private:
    void createHandler();
    friend class V2Handler;
};

bool isWithinRange(const std::vector<std::pair<uint32_t, uint32_t>>& ranges, uint32_t start, uint32_t count);

// The ranges that lie within `channelCount` channels, each cut to end there (those
// starting past them left out); `*total` gets the sum of their lengths, capped at
// UINT32_MAX.
std::vector<std::pair<uint32_t, uint32_t>>
clipRanges(const std::vector<std::pair<uint32_t, uint32_t>>& ranges, uint32_t channelCount, uint32_t* total);

// A frame read without compression, or decompressed from a block: the read ranges'
// channels packed one after another.
class UncompressedFrameData : public LCSFFile::FrameData {
public:
    UncompressedFrameData(uint32_t frame, uint32_t size,
                          const std::vector<std::pair<uint32_t, uint32_t>>& ranges);
    ~UncompressedFrameData() override;

    bool readFrame(uint8_t* data, uint32_t maxChannels) override;

    uint32_t m_size;
    uint8_t* m_data;
    std::vector<std::pair<uint32_t, uint32_t>> m_ranges;
};
