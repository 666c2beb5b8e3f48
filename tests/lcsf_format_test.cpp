// Byte layouts of written files and what the reader makes of hand-made headers.
#include "LCSFFile.h"
#include "LogCapture.h"
#include "TempDir.h"
#include "TestSequences.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

uint32_t le16(const std::vector<uint8_t>& b, size_t o) {
    return b[o] | (b[o + 1] << 8);
}
uint32_t le32(const std::vector<uint8_t>& b, size_t o) {
    return le16(b, o) | (le16(b, o + 2) << 16);
}

LCSFFile::VariableHeader textHeader(const char* code, const std::string& text) {
    std::vector<uint8_t> d(text.begin(), text.end());
    d.push_back(0);
    return LCSFFile::VariableHeader(code[0], code[1], d);
}

// A version 2 header builder for reader tests: fixed header plus raw bytes after it.
std::string v2Header(uint32_t channels, uint32_t frames, const std::string& rest, int blocks = 0,
                     int ranges = 0, int compression = 0, int headerLength = -1) {
    std::string h(32, '\0');
    memcpy(&h[0], "LCSM", 4);
    uint32_t offset = (uint32_t)(32 + rest.size() + 3) & ~3u;
    h[4] = offset & 0xFF;
    h[5] = offset >> 8;
    h[6] = 0;
    h[7] = 2;
    int hl = headerLength >= 0 ? headerLength : 32 + 8 * blocks + 6 * ranges;
    h[8] = hl & 0xFF;
    h[9] = hl >> 8;
    for (int i = 0; i < 4; i++) {
        h[10 + i] = (channels >> (8 * i)) & 0xFF;
        h[14 + i] = (frames >> (8 * i)) & 0xFF;
    }
    h[18] = 25;
    h[20] = (char)(compression | ((blocks >> 8) << 4));
    h[21] = (char)(blocks & 0xFF);
    h[22] = (char)ranges;
    std::string r = h + rest;
    r.resize(offset, '\0');
    return r;
}

std::string inlineEntry(const char* code, const std::string& data) {
    std::string e;
    uint16_t len = (uint16_t)(data.size() + 4);
    e += (char)(len & 0xFF);
    e += (char)(len >> 8);
    e += code[0];
    e += code[1];
    return e + data;
}

} // namespace

TEST(LcsfLayout, Version1HeaderFields) {
    TestSequenceOptions o;
    o.version = 1;
    o.channels = 10;
    o.frames = 3;
    o.stepTime = 40;
    o.headers = {textHeader("mf", "song.mp3")};
    std::vector<uint8_t> b;
    ASSERT_TRUE(writeTestSequence("-memory-", o, &b));
    ASSERT_EQ(0, memcmp(b.data(), "LCSM", 4));
    // 28 + (4 + 9) = 41, rounded to 44.
    EXPECT_EQ(44u, le16(b, 4));
    EXPECT_EQ(0, b[6]);
    EXPECT_EQ(1, b[7]);
    EXPECT_EQ(28u, le16(b, 8));
    EXPECT_EQ(10u, le32(b, 10));
    EXPECT_EQ(3u, le32(b, 14));
    EXPECT_EQ(40, b[18]);
    EXPECT_EQ(1, b[24]);
    EXPECT_EQ(2, b[25]);
    EXPECT_EQ(13u, le16(b, 28));
    EXPECT_EQ(0, memcmp(&b[30], "mfsong.mp3", 11));
    for (int i = 41; i < 44; i++) {
        EXPECT_EQ(0, b[i]) << "padding byte " << i;
    }
    ASSERT_EQ(44u + 30, b.size());
    EXPECT_EQ(testChannelValue(2, 9), b[44 + 2 * 10 + 9]);
}

TEST(LcsfLayout, Version2OffsetRoundsUpAndUniqueIdIsStamped) {
    TestSequenceOptions o;
    o.channels = 8;
    o.frames = 1;
    o.headers = {LCSFFile::VariableHeader('a', 'a', std::vector<uint8_t>(10, 1)),
                 LCSFFile::VariableHeader('b', 'b', std::vector<uint8_t>(10, 2)),
                 LCSFFile::VariableHeader('c', 'c', std::vector<uint8_t>(10, 3))};
    std::vector<uint8_t> b;
    ASSERT_TRUE(writeTestSequence("-memory-", o, &b));
    // 32 + 3 x 14 = 74, rounded to 76.
    EXPECT_EQ(76u, le16(b, 4));
    EXPECT_EQ(32u, le16(b, 8));
    EXPECT_EQ(2, b[7]);
    EXPECT_EQ(0, b[20]);
    EXPECT_EQ(0, b[21]);
    uint64_t id = le32(b, 24) | ((uint64_t)le32(b, 28) << 32);
    EXPECT_GT(id, 1600000000ull * 1000000ull) << "a new file is stamped with the time in microseconds";
}

TEST(LcsfLayout, SparseRangesAreClippedAndStoredAsU24) {
    TestSequenceOptions o;
    o.channels = 512;
    o.frames = 2;
    o.sparseRanges = {{0, 100}, {300, 600}, {700, 5}};
    std::vector<uint8_t> b;
    ASSERT_TRUE(writeTestSequence("-memory-", o, &b));
    EXPECT_EQ(312u, le32(b, 10)) << "channel count becomes the sum of the clipped ranges";
    EXPECT_EQ(2, b[22]) << "a range starting past the channels is dropped";
    EXPECT_EQ(32u + 12, le16(b, 8));
    const uint8_t expect[] = {0, 0, 0, 100, 0, 0, 0x2C, 0x01, 0, 212, 0, 0};
    EXPECT_EQ(0, memcmp(&b[32], expect, sizeof(expect)));
    uint32_t off = le16(b, 4);
    ASSERT_EQ(off + 2 * 312u, b.size());
    // Frame 1 stores channels 0-99 then 300-511.
    EXPECT_EQ(testChannelValue(1, 99), b[off + 312 + 99]);
    EXPECT_EQ(testChannelValue(1, 300), b[off + 312 + 100]);
    EXPECT_EQ(testChannelValue(1, 511), b[off + 312 + 311]);
}

TEST(LcsfLayout, MemoryModeSeekEndAndGrowth) {
    V2LCSFFile f("-memory-", LCSFFile::CompressionType::none, 0);
    EXPECT_EQ(nullptr, f.m_seqFile);
    uint8_t ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(10u, f.write(ten, 10));
    EXPECT_EQ(0, f.seek(0, SEEK_SET));
    EXPECT_EQ(0, f.seek(3, SEEK_END));
    EXPECT_EQ(10u, f.tell()) << "SEEK_END ignores the offset in memory mode";
    f.seek(20, SEEK_SET);
    f.write(ten, 2);
    ASSERT_EQ(22u, f.m_memoryBuffer.size());
    EXPECT_EQ(0, f.m_memoryBuffer[15]) << "a gap is zero-filled";
    f.seek(14, SEEK_SET);
    uint8_t out[8];
    EXPECT_EQ(8u, f.read(out, 8));
    EXPECT_EQ(0, out[0]);
    EXPECT_EQ(1, out[6]);
    EXPECT_EQ(2, out[7]);
    EXPECT_EQ(0u, f.read(out, 8)) << "reading at the end gives nothing";
}

class LcsfReader : public ::testing::Test {
protected:
    std::unique_ptr<LCSFFile> open(const std::string& bytes) {
        writeFileBytes(dir.file("f.lcsf"), bytes);
        return std::unique_ptr<LCSFFile>(LCSFFile::openLCSFFile(dir.file("f.lcsf")));
    }
    TempDir dir;
    LogCapture log;
};

TEST_F(LcsfReader, RejectsShortAndForeignFiles) {
    EXPECT_EQ(nullptr, open("LCSM\x01"));
    EXPECT_TRUE(log.contains("header, required 8 bytes but read 5")) << log.text();
    EXPECT_TRUE(log.contains("File hader peek:: (5 bytes)")) << log.text();
    EXPECT_TRUE(log.contains("000000: 4c 43 53 4d 01 ")) << log.text();

    log.clear();
    EXPECT_EQ(nullptr, open(std::string("RIFF\0\0\0\0 some wave", 19)));
    EXPECT_TRUE(log.contains("invalid identifier")) << log.text();

    log.clear();
    std::string v3 = v2Header(4, 1, "");
    v3[7] = 3;
    EXPECT_EQ(nullptr, open(v3 + "abcd"));
    EXPECT_TRUE(log.contains("unknown version 3.0")) << log.text();

    log.clear();
    std::string big = v2Header(4, 1, "");
    big[4] = (char)0xFF;
    big[5] = 0x10;
    EXPECT_EQ(nullptr, open(big));
    EXPECT_TRUE(log.contains("length is 4351 bytes but read 32")) << log.text();

    EXPECT_EQ(nullptr, LCSFFile::openLCSFFile(dir.file("missing.lcsf")));
    EXPECT_TRUE(log.contains("fopen returned NULL"));
}

TEST_F(LcsfReader, RejectsHeadersShorterThanTheirTables) {
    // Offset 8 would make every fixed field a read past the header.
    std::string tiny = v2Header(4, 1, "");
    tiny[4] = 8;
    tiny[5] = 0;
    EXPECT_EQ(nullptr, open(tiny));
    EXPECT_TRUE(log.contains("shorter than the 32-byte version 2 header")) << log.text();

    std::string v1 = v2Header(4, 1, "");
    v1[7] = 1;
    v1[4] = 24;
    EXPECT_EQ(nullptr, open(v1));

    // 40 blocks need 320 bytes of index; the header has 32.
    log.clear();
    EXPECT_EQ(nullptr, open(v2Header(4, 1, "", 40, 0, 1)));
    EXPECT_TRUE(log.contains("past the 32 header bytes")) << log.text();
}

TEST_F(LcsfReader, VariableHeaderParsingRules) {
    std::string rest = inlineEntry("mf", std::string("a.mp3", 5)) // no final zero: kept, logged
                       + inlineEntry("e0", "") +                  // length 4: kept empty
                       inlineEntry("zz", "xy") +                  // unknown: kept
                       inlineEntry("sp", std::string("tool\0", 5));
    auto f = open(v2Header(4, 0, rest));
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(4u, f->m_variableHeaders.size()) << log.text();
    EXPECT_TRUE(log.contains("VariableHeader mf data is not NULL terminated!"));
    EXPECT_TRUE(log.contains("VariableHeader has 0 length data: e0"));
    EXPECT_TRUE(log.contains("Unrecognized VariableHeader code: zz, length: 2 bytes"));
    EXPECT_EQ(0u, f->m_variableHeaders[1].data.size());
    EXPECT_EQ("a.mp3", f->getMediaFilename());
    EXPECT_EQ('s', f->m_variableHeaders[3].code[0]);

    // An entry claiming more than the header holds stops the parse; earlier ones stay.
    log.clear();
    std::string bad = inlineEntry("mf", std::string("x\0", 2));
    bad += std::string("\xF0\x00"
                       "FC",
                       4) +
           "abcd";
    f = open(v2Header(4, 0, bad));
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(1u, f->m_variableHeaders.size());
    EXPECT_TRUE(log.contains("VariableHeader 'FC' has out of bounds data length")) << log.text();
}

TEST_F(LcsfReader, AnUnknownMinorVersionIsAnErrorAndTheFileIsRead) {
    std::string h = v2Header(4, 0, "");
    h[6] = 3;
    auto f = open(h);
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(3, f->m_seqVersionMinor);
    int errors = 0;
    for (const LogLine& l : log.lines()) {
        if (l.text.find("Unknown minor version: 3.  LCSF may not load properly.") != std::string::npos) {
            EXPECT_EQ(LOG_ERR, l.level);
            errors++;
        }
    }
    EXPECT_EQ(1, errors) << log.text();
}

TEST_F(LcsfReader, HeaderLengthMismatchIsLoggedAndRead) {
    std::string rest = inlineEntry("mf", std::string("m\0", 2));
    auto f = open(v2Header(4, 0, rest, 0, 0, 0, 40));
    ASSERT_NE(nullptr, f);
    EXPECT_TRUE(log.contains("Read position (32) does not match expected header size 40!")) << log.text();
    EXPECT_EQ("m", f->getMediaFilename());
}

TEST_F(LcsfReader, ExtendedHeaderOutsideTheFileIsDropped) {
    std::string ed("\x12\x00"
                   "ED"
                   "mf",
                   6);
    std::string offset(8, '\0'), len(4, '\0');
    offset[0] = 0x10;
    offset[4] = 0x01; // far past the end of the file
    len[0] = 10;
    std::string good = inlineEntry("sp", std::string("t\0", 2));
    auto f = open(v2Header(4, 0, ed + offset + len + good));
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(1u, f->m_variableHeaders.size()) << log.text();
    EXPECT_EQ('s', f->m_variableHeaders[0].code[0]);
    EXPECT_TRUE(log.contains("lies outside the")) << log.text();

    // A huge length must not be allocated either.
    log.clear();
    std::string hugeLen("\xFF\xFF\xFF\x7F", 4);
    std::string off0(8, '\0');
    f = open(v2Header(4, 0, ed + off0 + hugeLen));
    ASSERT_NE(nullptr, f);
    EXPECT_TRUE(f->m_variableHeaders.empty());
    EXPECT_TRUE(log.contains("lies outside the")) << log.text();
}

TEST_F(LcsfReader, EffectFilesWithAndWithoutChannels) {
    std::string e(20, '\0');
    memcpy(&e[0], "ESEQ", 4);
    e[8] = 100;
    e[12] = 11; // first channel 11 (1-based)
    e[16] = 100;
    std::string data(300, '\0');
    for (int i = 0; i < 300; i++) {
        data[i] = (char)i;
    }
    auto f = open(e + data);
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(3u, f->m_seqNumFrames);
    EXPECT_EQ(50u, f->m_seqStepTime);
    EXPECT_EQ(0u, f->m_uniqueId);
    auto* v2 = dynamic_cast<V2LCSFFile*>(f.get());
    ASSERT_NE(nullptr, v2);
    ASSERT_EQ(1u, v2->m_sparseRanges.size());
    EXPECT_EQ(10u, v2->m_sparseRanges[0].first);
    EXPECT_EQ(110u, f->getMaxChannel());
    f->prepareRead({}, 0);
    std::unique_ptr<LCSFFile::FrameData> fd(f->getFrame(2));
    ASSERT_NE(nullptr, fd);
    std::vector<uint8_t> buf(200, 0xEE);
    ASSERT_TRUE(fd->readFrame(buf.data(), 200));
    EXPECT_EQ(0xEE, buf[9]);
    EXPECT_EQ((uint8_t)200, buf[10]);
    EXPECT_EQ((uint8_t)299, buf[109]);

    // Channel count 0 holds no frames rather than dividing by zero.
    e[8] = 0;
    f = open(e + data);
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(0u, f->m_seqNumFrames);
    EXPECT_EQ(nullptr, f->getFrame(0));
}

TEST_F(LcsfReader, FramesPastTheEndReadAsZerosWithAMessage) {
    TestSequenceOptions o;
    o.channels = 16;
    o.frames = 4;
    std::string path = dir.file("short.lcsf");
    ASSERT_TRUE(writeTestSequence(path, o));
    std::string bytes = readFileBytes(path);
    // Cut frame 3 in half and frame 2 never arrives for version 1 below.
    writeFileBytes(path, bytes.substr(0, bytes.size() - 8));
    std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
    ASSERT_NE(nullptr, f);
    f->prepareRead({{0, 16}}, 0);
    std::unique_ptr<LCSFFile::FrameData> fd(f->getFrame(3));
    ASSERT_NE(nullptr, fd);
    EXPECT_TRUE(log.contains("Failed to read channel data!   Needed to read 16 but read 8")) << log.text();
    std::vector<uint8_t> buf(16, 0xEE);
    ASSERT_TRUE(fd->readFrame(buf.data(), 16));
    EXPECT_EQ(testChannelValue(3, 7), buf[7]);
    EXPECT_EQ(0, buf[8]) << "the missing half is zero, not stale memory";
    EXPECT_EQ(0, buf[15]);

    o.version = 1;
    ASSERT_TRUE(writeTestSequence(path, o));
    bytes = readFileBytes(path);
    writeFileBytes(path, bytes.substr(0, bytes.size() - 32));
    f.reset(LCSFFile::openLCSFFile(path));
    ASSERT_NE(nullptr, f);
    fd.reset(f->getFrame(3));
    ASSERT_NE(nullptr, fd);
    EXPECT_TRUE(log.contains("Failed to read channel data for frame 3!")) << log.text();
    ASSERT_TRUE(fd->readFrame(buf.data(), 16));
    EXPECT_EQ(0, buf[0]);
}

TEST_F(LcsfReader, AFramePastFourGiBIsReadFromItsOwnOffset) {
    // Five frames of 2^30 + 7 channels put the last one just past 4 GiB; such a file
    // costs a few blocks of disk as long as it is sparse.
    const uint32_t channels = (1u << 30) + 7;
    const uint32_t frames = 5;
    {
        // Without holes the file system would really write gigabytes: find out first.
        std::string probe = dir.file("probe");
        int pfd = ::open(probe.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
        ASSERT_GE(pfd, 0) << strerror(errno);
        struct stat st;
        bool sparse = ftruncate(pfd, 64 << 20) == 0 && fstat(pfd, &st) == 0 &&
                      (uint64_t)st.st_blocks * 512 < (1u << 20);
        close(pfd);
        unlink(probe.c_str());
        if (!sparse) {
            GTEST_SKIP() << "the temporary folder " << dir.path() << " cannot hold sparse files";
        }
    }
    const std::string want = "last frame, 0-15";
    for (int version : {1, 2}) {
        SCOPED_TRACE("version " + std::to_string(version));
        std::string path = dir.file("huge.lcsf");
        uint64_t dataOffset = 0;
        {
            std::unique_ptr<LCSFFile> w(
                LCSFFile::createLCSFFile(path, version, LCSFFile::CompressionType::none));
            ASSERT_NE(nullptr, w);
            w->m_seqChannelCount = channels;
            w->m_seqNumFrames = frames;
            w->writeHeader();
            w->finalize();
            ASSERT_FALSE(w->hasWriteError());
            dataOffset = w->m_seqChanDataOffset;
        }
        uint64_t last = dataOffset + (uint64_t)(frames - 1) * channels;
        uint64_t size = last + channels;
        ASSERT_GT(last, 1ull << 32);
        int wfd = ::open(path.c_str(), O_WRONLY);
        ASSERT_GE(wfd, 0) << strerror(errno);
        // Where an offset cut to 32 bits would land (inside frame 0): other bytes, so
        // that a wrapped read cannot pass.
        ASSERT_EQ(16, pwrite(wfd, "wrapped to 32 b!", 16, (off_t)(last & 0xFFFFFFFFu)));
        ASSERT_EQ(16, pwrite(wfd, want.data(), 16, (off_t)last));
        ASSERT_EQ(0, ftruncate(wfd, (off_t)size)) << strerror(errno);
        close(wfd);

        std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
        ASSERT_NE(nullptr, f) << log.text();
        EXPECT_EQ(size, f->m_seqFileSize);
        EXPECT_EQ(frames, f->m_seqNumFrames);
        f->prepareRead({{0, 16}}, frames - 1);
        std::unique_ptr<LCSFFile::FrameData> fd(f->getFrame(frames - 1));
        ASSERT_NE(nullptr, fd);
        std::string got(16, '\0');
        ASSERT_TRUE(fd->readFrame((uint8_t*)&got[0], 16));
        EXPECT_EQ(want, got) << log.text();
        f.reset();
        unlink(path.c_str());
    }
}

TEST(LcsfCreate, RefusesUnknownVersionsAndMissingFolders) {
    LogCapture log;
    EXPECT_EQ(nullptr, LCSFFile::createLCSFFile("/tmp/x.lcsf", 3, LCSFFile::CompressionType::none, 0));
    EXPECT_TRUE(log.contains("unknown version 3"));
    EXPECT_EQ(nullptr,
              LCSFFile::createLCSFFile("/nonexistent-dir/x.lcsf", 2, LCSFFile::CompressionType::zstd, 1));
}

TEST(LcsfCreate, RefusesHeadersThatCannotBeStored) {
    LogCapture log;
    V1LCSFFile v1("-memory-");
    v1.m_seqChannelCount = 4;
    v1.m_variableHeaders.emplace_back('s', 'p', std::vector<uint8_t>(70000, 'x'));
    v1.writeHeader();
    EXPECT_TRUE(v1.hasWriteError()) << "version 1 has no room for a 70,000-byte header";
    EXPECT_TRUE(v1.m_memoryBuffer.empty());

    V2LCSFFile v2("-memory-", LCSFFile::CompressionType::none, 0);
    v2.m_seqChannelCount = 4;
    v2.m_seqStepTime = 300;
    v2.writeHeader();
    EXPECT_TRUE(v2.hasWriteError()) << "a step time over 255 ms does not fit its byte";
}
