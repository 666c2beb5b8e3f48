// Compressed blocks: sizing, independence of blocks, incremental decoding, damaged
// blocks and indexes, and the read-ahead thread.
#include "LCSFFile.h"
#include "LogCapture.h"
#include "TempDir.h"
#include "TestSequences.h"
#include "V2Handlers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <thread>
#include <zlib.h>

namespace {

int computeBlocks(uint32_t frames, uint32_t channels, int allowed, int* framesPerBlock = nullptr) {
    V2LCSFFile f("-memory-", LCSFFile::CompressionType::zstd, 1);
    f.m_seqNumFrames = frames;
    f.m_seqChannelCount = channels;
    auto* h = static_cast<V2CompressedHandler*>(f.m_handler);
    int r = h->computeMaxBlocks(allowed);
    if (framesPerBlock) {
        *framesPerBlock = h->m_framesPerBlock;
    }
    return r;
}

int countThreadsNamedNow(const std::string& name) {
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    while (struct dirent* e = d ? readdir(d) : nullptr) {
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string c;
        if (std::getline(comm, c) && c == name) {
            n++;
        }
    }
    if (d) {
        closedir(d);
    }
    return n;
}

// Threads name themselves once running, so give the count a moment to settle.
int countThreadsNamed(const std::string& name, int expect = -1) {
    int n = countThreadsNamedNow(name);
    for (int i = 0; i < 200 && expect >= 0 && n != expect; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        n = countThreadsNamedNow(name);
    }
    return n;
}

std::string writeCompressed(const TempDir& dir, LCSFFile::CompressionType type, uint32_t channels,
                            uint32_t frames, const std::string& name = "c.lcsf") {
    TestSequenceOptions o;
    o.compression = type;
    o.channels = channels;
    o.frames = frames;
    std::string path = dir.file(name);
    EXPECT_TRUE(writeTestSequence(path, o));
    return path;
}

bool frameMatches(LCSFFile* f, uint32_t frame, uint32_t channels) {
    std::unique_ptr<LCSFFile::FrameData> fd(f->getFrame(frame));
    if (!fd) {
        return false;
    }
    std::vector<uint8_t> buf(channels, 0);
    if (!fd->readFrame(buf.data(), channels)) {
        return false;
    }
    for (uint32_t c = 0; c < channels; c++) {
        if (buf[c] != testChannelValue(frame, c)) {
            return false;
        }
    }
    return true;
}

} // namespace

TEST(LcsfBlockSizing, ExamplesHold) {
    int fpb = 0;
    EXPECT_EQ(10, computeBlocks(1000, 512, 255, &fpb));
    EXPECT_EQ(142, fpb);
    EXPECT_EQ(4, computeBlocks(100, 100, 255, &fpb));
    EXPECT_EQ(100, fpb);
    EXPECT_EQ(4003, computeBlocks(100000, 65536, 4095, &fpb));
    EXPECT_EQ(25, fpb);
    EXPECT_EQ(255, computeBlocks(100000, 65536, 255, &fpb)) << "the limit is never exceeded";
}

TEST(LcsfBlockSizing, ExtendedBlockCountIsSplitOverTwoBytes) {
    V2LCSFFile f("-memory-", LCSFFile::CompressionType::zstd, 1);
    f.m_seqNumFrames = 100000;
    f.m_seqChannelCount = 65536;
    f.enableMinorVersionFeatures(1);
    f.writeHeader();
    ASSERT_GT(f.m_memoryBuffer.size(), 32u);
    EXPECT_EQ(0xF1, f.m_memoryBuffer[20]) << "zstd in the low nibble, 0xF in the high";
    EXPECT_EQ(0xA3, f.m_memoryBuffer[21]);
}

TEST(LcsfBlockSizing, FirstBlockHoldsTenFrames) {
    TempDir dir;
    std::string path = writeCompressed(dir, LCSFFile::CompressionType::zstd, 512, 1000);
    std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
    ASSERT_NE(nullptr, f);
    auto* v2 = static_cast<V2LCSFFile*>(f.get());
    // 1 short block + ceil(990 / 142) blocks, plus the end mark.
    ASSERT_EQ(9u, v2->m_frameOffsets.size());
    EXPECT_EQ(0u, v2->m_frameOffsets[0].first);
    EXPECT_EQ(10u, v2->m_frameOffsets[1].first);
    EXPECT_EQ(152u, v2->m_frameOffsets[2].first);
    EXPECT_EQ(8, v2->getBlockCount());
}

TEST(LcsfBlocks, EachBlockIsAnIndependentStream) {
    TempDir dir;
    for (auto type : {LCSFFile::CompressionType::zstd, LCSFFile::CompressionType::zlib}) {
        std::string path = writeCompressed(dir, type, 512, 400);
        std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
        ASSERT_NE(nullptr, f);
        auto offsets = static_cast<V2LCSFFile*>(f.get())->m_frameOffsets;
        f.reset();
        std::string bytes = readFileBytes(path);
        ASSERT_GE(offsets.size(), 3u);
        for (size_t b = 0; b + 1 < offsets.size(); b++) {
            std::string block = bytes.substr(offsets[b].second, offsets[b + 1].second - offsets[b].second);
            uint32_t first = offsets[b].first;
            uint32_t last = std::min<uint32_t>(400, offsets[b + 1].first);
            std::string raw;
            if (type == LCSFFile::CompressionType::zstd) {
                // The zstd command-line tool decodes one block on its own.
                writeFileBytes(dir.file("block.zst"), block);
                std::string cmd = "zstd -q -d -c " + dir.file("block.zst") + " > " + dir.file("block.raw");
                ASSERT_EQ(0, system(cmd.c_str())) << "block " << b;
                raw = readFileBytes(dir.file("block.raw"));
            } else {
                std::vector<uint8_t> out((last - first) * 512);
                uLongf outLen = out.size();
                ASSERT_EQ(Z_OK, uncompress(out.data(), &outLen, (const Bytef*)block.data(), block.size()));
                raw.assign((const char*)out.data(), outLen);
            }
            ASSERT_EQ((last - first) * 512u, raw.size()) << "block " << b;
            for (uint32_t fr = first; fr < last; fr++) {
                for (uint32_t c = 0; c < 512; c += 37) {
                    ASSERT_EQ(testChannelValue(fr, c), (uint8_t)raw[(fr - first) * 512 + c]);
                }
            }
        }
    }
}

TEST(LcsfBlocks, ZstdDecodesIncrementallyWithinABlock) {
    TempDir dir;
    std::string path = writeCompressed(dir, LCSFFile::CompressionType::zstd, 512, 1000);
    std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
    ASSERT_NE(nullptr, f);
    f->prepareRead({{0, 512}}, 0);
    auto* h = static_cast<V2CompressedHandler*>(static_cast<V2LCSFFile*>(f.get())->m_handler);
    EXPECT_TRUE(frameMatches(f.get(), 0, 512));
    EXPECT_EQ(1, h->m_curFrameInBlock);
    EXPECT_TRUE(frameMatches(f.get(), 1, 512));
    EXPECT_TRUE(frameMatches(f.get(), 2, 512));
    EXPECT_EQ(3, h->m_curFrameInBlock);
    EXPECT_TRUE(frameMatches(f.get(), 1, 512))
        << "an earlier frame of the block is served from what is decoded";
    EXPECT_EQ(3, h->m_curFrameInBlock);
    // Jump forward, then back to an earlier block.
    EXPECT_TRUE(frameMatches(f.get(), 700, 512));
    EXPECT_TRUE(frameMatches(f.get(), 999, 512));
    EXPECT_TRUE(frameMatches(f.get(), 5, 512));
    EXPECT_TRUE(frameMatches(f.get(), 300, 512));
}

TEST(LcsfBlocks, TinyFilesWhoseBlocksOutgrowTheirDataReadBack) {
    // Two frames of four channels compress to more bytes than they hold.
    TempDir dir;
    for (auto type : {LCSFFile::CompressionType::zstd, LCSFFile::CompressionType::zlib}) {
        for (uint32_t frames : {1u, 2u, 12u}) {
            std::string path = writeCompressed(dir, type, 4, frames);
            std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
            ASSERT_NE(nullptr, f);
            f->prepareRead({{0, 4}}, 0);
            for (uint32_t fr = 0; fr < frames; fr++) {
                EXPECT_TRUE(frameMatches(f.get(), fr, 4))
                    << "type " << type << " frame " << fr << "/" << frames;
            }
        }
    }
}

class LcsfDamagedBlocks : public ::testing::TestWithParam<LCSFFile::CompressionType> {};

TEST_P(LcsfDamagedBlocks, TruncatedOrCorruptDataGivesNoFrameNeverGarbage) {
    TempDir dir;
    LogCapture log(LOG_WARN);
    std::string path = writeCompressed(dir, GetParam(), 512, 1000);
    std::string bytes = readFileBytes(path);
    std::vector<std::pair<uint32_t, uint64_t>> offsets;
    {
        std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
        offsets = static_cast<V2LCSFFile*>(f.get())->m_frameOffsets;
    }
    // Cut the file in the middle of the last block.
    size_t last = offsets.size() - 2;
    uint64_t cut = offsets[last].second + (offsets[last + 1].second - offsets[last].second) / 2;
    writeFileBytes(dir.file("cut.lcsf"), bytes.substr(0, cut));
    {
        std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(dir.file("cut.lcsf")));
        ASSERT_NE(nullptr, f);
        f->prepareRead({{0, 512}}, 0);
        EXPECT_TRUE(frameMatches(f.get(), 500, 512));
        EXPECT_FALSE(frameMatches(f.get(), 999, 512));
        std::unique_ptr<LCSFFile::FrameData> fd(f->getFrame(999));
        EXPECT_EQ(nullptr, fd) << "a frame the block cannot give is no frame";
    }
    EXPECT_GT(log.lines().size(), 0u);

    // Overwrite the middle of block 2 with junk.
    std::string junk = bytes;
    uint64_t mid = offsets[2].second + 8;
    for (uint64_t i = mid; i < mid + 64 && i < offsets[3].second; i++) {
        junk[i] = (char)(0xA5 ^ i);
    }
    writeFileBytes(dir.file("junk.lcsf"), junk);
    {
        std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(dir.file("junk.lcsf")));
        ASSERT_NE(nullptr, f);
        f->prepareRead({{0, 512}}, 0);
        for (uint32_t fr = offsets[2].first; fr < offsets[3].first; fr++) {
            std::unique_ptr<LCSFFile::FrameData> fd(f->getFrame(fr));
            if (fd) {
                // Whatever decoded before the damage must be the real data.
                std::vector<uint8_t> buf(512);
                ASSERT_TRUE(fd->readFrame(buf.data(), 512));
            }
        }
        EXPECT_TRUE(frameMatches(f.get(), offsets[3].first, 512)) << "the next block is unharmed";
    }
}

INSTANTIATE_TEST_SUITE_P(Compression, LcsfDamagedBlocks,
                         ::testing::Values(LCSFFile::CompressionType::zstd, LCSFFile::CompressionType::zlib));

TEST(LcsfDamagedIndex, ZeroBackwardsAndPastEndEntries) {
    TempDir dir;
    LogCapture log;
    std::string path = writeCompressed(dir, LCSFFile::CompressionType::zstd, 512, 1000);
    std::string bytes = readFileBytes(path);
    auto setEntry = [](std::string& b, int i, uint32_t first, uint32_t len) {
        for (int k = 0; k < 4; k++) {
            b[32 + 8 * i + k] = (char)((first >> (8 * k)) & 0xFF);
            b[36 + 8 * i + k] = (char)((len >> (8 * k)) & 0xFF);
        }
    };

    // Frames going backwards: the index is cut before the bad entry.
    std::string back = bytes;
    setEntry(back, 3, 5, 100);
    writeFileBytes(dir.file("back.lcsf"), back);
    std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(dir.file("back.lcsf")));
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(4u, static_cast<V2LCSFFile*>(f.get())->m_frameOffsets.size());
    EXPECT_TRUE(log.contains("does not follow the block before")) << log.text();
    f->prepareRead({{0, 512}}, 0);
    EXPECT_TRUE(frameMatches(f.get(), 0, 512));
    EXPECT_TRUE(frameMatches(f.get(), 100, 512));
    // The last kept block now runs to the end of the file; the blocks after it
    // are whole zstd frames that decode on from there.
    EXPECT_TRUE(frameMatches(f.get(), 900, 512));

    // Huge lengths: blocks past the end of the file are dropped.
    std::string huge = bytes;
    setEntry(huge, 1, 10, 0x7FFFFFFF);
    writeFileBytes(dir.file("huge.lcsf"), huge);
    f.reset(LCSFFile::openLCSFFile(dir.file("huge.lcsf")));
    ASSERT_NE(nullptr, f);
    EXPECT_TRUE(log.contains("starts past the end of the file")) << log.text();
    f->prepareRead({{0, 512}}, 0);
    for (uint32_t fr : {0u, 9u, 10u, 500u, 999u}) {
        std::unique_ptr<LCSFFile::FrameData> fd(f->getFrame(fr));
        if (fd) {
            std::vector<uint8_t> buf(512);
            fd->readFrame(buf.data(), 512);
        }
    }

    // Every length zero: reported, and the data is read as one block from the start.
    log.clear();
    std::string zero = bytes;
    for (int i = 0; i < 10; i++) {
        setEntry(zero, i, i * 10, 0);
    }
    writeFileBytes(dir.file("zero.lcsf"), zero);
    f.reset(LCSFFile::openLCSFFile(dir.file("zero.lcsf")));
    ASSERT_NE(nullptr, f);
    EXPECT_TRUE(log.contains("did not load any block references")) << log.text();
    f->prepareRead({{0, 512}}, 0);
    EXPECT_TRUE(frameMatches(f.get(), 0, 512));
    EXPECT_TRUE(frameMatches(f.get(), 999, 512));
}

TEST(LcsfReadAhead, OneThreadPerFileAndCleanDestruction) {
    TempDir dir;
    std::string path = writeCompressed(dir, LCSFFile::CompressionType::zstd, 512, 1000);
    int before = countThreadsNamed("LCSFReadThread");
    {
        std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
        ASSERT_NE(nullptr, f);
        f->prepareRead({{0, 512}}, 0);
        f->prepareRead({{0, 512}}, 600);
        EXPECT_EQ(before + 1, countThreadsNamed("LCSFReadThread", before + 1))
            << "a second prepareRead starts no thread";
        EXPECT_TRUE(frameMatches(f.get(), 600, 512));
        EXPECT_TRUE(frameMatches(f.get(), 601, 512));
    }
    EXPECT_EQ(before, countThreadsNamed("LCSFReadThread", before)) << "the thread ends with its file";

    // Destroyed while the thread waits for requests: must not hang.
    for (int i = 0; i < 20; i++) {
        std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
        f->prepareRead({{0, 512}}, (uint32_t)(i * 40));
        if (i % 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    }
    EXPECT_EQ(before, countThreadsNamed("LCSFReadThread", before));
}

// A file stream whose reads take a while, standing in for a slow SD card.
namespace {
struct SlowFile {
    FILE* real;
    int delayMs;
};
ssize_t slowRead(void* c, char* buf, size_t size) {
    auto* s = static_cast<SlowFile*>(c);
    std::this_thread::sleep_for(std::chrono::milliseconds(s->delayMs));
    return fread(buf, 1, size, s->real);
}
int slowSeek(void* c, off64_t* pos, int whence) {
    auto* s = static_cast<SlowFile*>(c);
    if (fseeko(s->real, *pos, whence)) {
        return -1;
    }
    *pos = ftello(s->real);
    return 0;
}
int slowClose(void* c) {
    auto* s = static_cast<SlowFile*>(c);
    fclose(s->real);
    delete s;
    return 0;
}

std::unique_ptr<LCSFFile> openSlow(const std::string& path, int delayMs) {
    std::string bytes = readFileBytes(path);
    uint32_t headerSize = (uint8_t)bytes[4] | ((uint8_t)bytes[5] << 8);
    std::vector<uint8_t> header(bytes.begin(), bytes.begin() + headerSize);
    cookie_io_functions_t io = {slowRead, nullptr, slowSeek, slowClose};
    FILE* f = fopencookie(new SlowFile{fopen(path.c_str(), "rb"), delayMs}, "rb", io);
    return std::unique_ptr<LCSFFile>(new V2LCSFFile(path, f, header));
}
} // namespace

TEST(LcsfReadAhead, SlowStorageIsReportedAwayFromTheStartOnly) {
    TempDir dir;
    std::string path = writeCompressed(dir, LCSFFile::CompressionType::zstd, 1024, 1000);
    const std::string warning = "Data block not available when needed";
    {
        LogCapture log(LOG_WARN);
        auto f = openSlow(path, 40);
        auto* v2 = static_cast<V2LCSFFile*>(f.get());
        ASSERT_GE(v2->m_frameOffsets.size(), 12u);
        uint32_t block5 = v2->m_frameOffsets[5].first;
        uint32_t block9 = v2->m_frameOffsets[9].first;
        f->prepareRead({{0, 1024}}, block5);
        EXPECT_TRUE(frameMatches(f.get(), block9, 1024));
        EXPECT_TRUE(log.contains(warning)) << log.text();
        EXPECT_TRUE(log.contains("First block requested: 5")) << log.text();
    }
    {
        LogCapture log(LOG_WARN);
        auto f = openSlow(path, 5);
        f->prepareRead({{0, 1024}}, 0);
        for (uint32_t fr = 0; fr < 1000; fr += 7) {
            ASSERT_TRUE(frameMatches(f.get(), fr, 1024)) << fr;
        }
        EXPECT_FALSE(log.contains(warning)) << "reading from block 0 never warns: " << log.text();
    }
}
