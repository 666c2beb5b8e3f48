// Files written by the codec read back exactly: versions, ranges, headers, memory mode.
#include "LCSFFile.h"
#include "LogCapture.h"
#include "TempDir.h"
#include "TestSequences.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

void expectFramesMatch(const std::vector<std::vector<uint8_t>>& frames, uint32_t count, uint32_t channels,
                       const std::vector<std::pair<uint32_t, uint32_t>>& stored = {}) {
    ASSERT_EQ(count, frames.size());
    for (uint32_t f = 0; f < count; f++) {
        for (uint32_t c = 0; c < channels; c++) {
            bool isStored = stored.empty();
            for (auto& r : stored) {
                isStored |= c >= r.first && c < r.first + r.second;
            }
            uint8_t want = isStored ? testChannelValue(f, c) : 0;
            ASSERT_EQ(want, frames[f][c]) << "frame " << f << " channel " << c;
        }
    }
}

} // namespace

struct RoundTripCase {
    const char* name;
    int version;
    LCSFFile::CompressionType compression;
    int level;
    int minor;
};

class LcsfRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(LcsfRoundTrip, EveryFrameAndHeaderReadsBack) {
    const RoundTripCase& c = GetParam();
    TempDir dir;
    TestSequenceOptions o;
    o.version = c.version;
    o.compression = c.compression;
    o.level = c.level;
    o.minor = c.minor;
    o.channels = 700;
    o.frames = 300;
    o.stepTime = 40;
    o.uniqueId = 1234567890123ull;
    std::vector<uint8_t> mf = {'a', '.', 'm', 'p', '3', 0};
    o.headers = {LCSFFile::VariableHeader('m', 'f', mf), LCSFFile::VariableHeader('F', 'C', {1, 2, 3})};
    std::string path = dir.file("rt.lcsf");
    ASSERT_TRUE(writeTestSequence(path, o));

    std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(c.version, f->m_seqVersionMajor);
    EXPECT_EQ(c.version == 1 ? 0 : c.minor, f->m_seqVersionMinor);
    EXPECT_EQ(300u, f->m_seqNumFrames);
    EXPECT_EQ(700u, f->m_seqChannelCount);
    EXPECT_EQ(40u, f->m_seqStepTime);
    if (c.version == 2) {
        EXPECT_EQ(1234567890123ull, f->m_uniqueId);
        EXPECT_EQ(c.compression, static_cast<V2LCSFFile*>(f.get())->m_compressionType);
    }
    ASSERT_EQ(2u, f->m_variableHeaders.size());
    EXPECT_EQ("a.mp3", f->getMediaFilename());
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), f->m_variableHeaders[1].data);
    f.reset();
    expectFramesMatch(readAllFrames(path, 700), 300, 700);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, LcsfRoundTrip,
    ::testing::Values(RoundTripCase{"v1", 1, LCSFFile::CompressionType::none, 0, 0},
                      RoundTripCase{"v2none", 2, LCSFFile::CompressionType::none, 0, 0},
                      RoundTripCase{"v2none_minor2", 2, LCSFFile::CompressionType::none, 0, 2},
                      RoundTripCase{"zstd1", 2, LCSFFile::CompressionType::zstd, 1, 0},
                      RoundTripCase{"zstd19_minor1", 2, LCSFFile::CompressionType::zstd, 19, 1},
                      RoundTripCase{"zstd_neg5_minor2", 2, LCSFFile::CompressionType::zstd, -5, 2},
                      RoundTripCase{"zstd_outofrange", 2, LCSFFile::CompressionType::zstd, 99, 0},
                      RoundTripCase{"zlib1", 2, LCSFFile::CompressionType::zlib, 1, 0},
                      RoundTripCase{"zlib9_minor2", 2, LCSFFile::CompressionType::zlib, 9, 2},
                      RoundTripCase{"zlib_outofrange", 2, LCSFFile::CompressionType::zlib, 42, 1}),
    [](const ::testing::TestParamInfo<RoundTripCase>& i) { return std::string(i.param.name); });

class LcsfRanges : public ::testing::TestWithParam<LCSFFile::CompressionType> {};

TEST_P(LcsfRanges, SparseFilesKeepOnlyTheirRanges) {
    TempDir dir;
    TestSequenceOptions o;
    o.compression = GetParam();
    o.channels = 512;
    o.frames = 50;
    o.sparseRanges = {{0, 100}, {300, 600}};
    std::string path = dir.file("sparse.lcsf");
    ASSERT_TRUE(writeTestSequence(path, o));
    std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(312u, f->m_seqChannelCount);
    EXPECT_EQ(512u, f->getMaxChannel());
    f.reset();
    // Asking for other ranges still reads the file's own.
    expectFramesMatch(readAllFrames(path, 600, {{0, 10}}), 50, 600, {{0, 100}, {300, 212}});
}

TEST_P(LcsfRanges, ReadRangesPickChannels) {
    TempDir dir;
    TestSequenceOptions o;
    o.compression = GetParam();
    o.channels = 512;
    o.frames = 30;
    std::string path = dir.file("ranges.lcsf");
    ASSERT_TRUE(writeTestSequence(path, o));
    std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
    ASSERT_NE(nullptr, f);
    auto* v2 = static_cast<V2LCSFFile*>(f.get());
    f->prepareRead({{10, 5}, {500, 20}}, 0);
    EXPECT_EQ(17u, v2->m_dataBlockSize);
    for (uint32_t fr : {0u, 29u, 5u}) {
        std::unique_ptr<LCSFFile::FrameData> fd(f->getFrame(fr));
        ASSERT_NE(nullptr, fd);
        std::vector<uint8_t> buf(600, 0xEE);
        ASSERT_TRUE(fd->readFrame(buf.data(), 600));
        EXPECT_EQ(0xEE, buf[9]);
        EXPECT_EQ(testChannelValue(fr, 10), buf[10]);
        EXPECT_EQ(testChannelValue(fr, 14), buf[14]);
        EXPECT_EQ(0xEE, buf[15]);
        EXPECT_EQ(testChannelValue(fr, 511), buf[511]);
        EXPECT_EQ(0xEE, buf[512]);
    }
    EXPECT_EQ(nullptr, f->getFrame(30)) << "a frame number equal to the frame count gives no frame";
}

INSTANTIATE_TEST_SUITE_P(Compression, LcsfRanges,
                         ::testing::Values(LCSFFile::CompressionType::none, LCSFFile::CompressionType::zstd,
                                           LCSFFile::CompressionType::zlib));

TEST(LcsfReadRanges, RangeOutsideTheFileFallsBackToTheWholeFrame) {
    TempDir dir;
    LogCapture log;
    TestSequenceOptions o;
    o.channels = 512;
    o.frames = 2;
    ASSERT_TRUE(writeTestSequence(dir.file("a.lcsf"), o));
    std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(dir.file("a.lcsf")));
    ASSERT_NE(nullptr, f);
    f->prepareRead({{600, 10}}, 0);
    EXPECT_EQ(512u, static_cast<V2LCSFFile*>(f.get())->m_dataBlockSize);
    EXPECT_TRUE(log.contains(
        "Requested output range outside read ranges. Requested 10 channels starting at channel 601"));
}

TEST(LcsfReadRanges, Version1RangeIsClippedToTheChannels) {
    TempDir dir;
    TestSequenceOptions o;
    o.version = 1;
    o.channels = 512;
    o.frames = 2;
    ASSERT_TRUE(writeTestSequence(dir.file("a.lcsf"), o));
    std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(dir.file("a.lcsf")));
    ASSERT_NE(nullptr, f);
    f->prepareRead({{500, 20}}, 0);
    EXPECT_EQ(12u, static_cast<V1LCSFFile*>(f.get())->m_dataBlockSize);
    std::unique_ptr<LCSFFile::FrameData> fd(f->getFrame(1));
    std::vector<uint8_t> buf(600, 0xEE);
    ASSERT_TRUE(fd->readFrame(buf.data(), 600));
    EXPECT_EQ(testChannelValue(1, 500), buf[500]);
    EXPECT_EQ(testChannelValue(1, 511), buf[511]);
    EXPECT_EQ(0xEE, buf[512]);

    // A range past the channels must not shift the ranges after it.
    f->prepareRead({{600, 10}, {0, 100}}, 0);
    fd.reset(f->getFrame(1));
    std::vector<uint8_t> buf2(700, 0xEE);
    ASSERT_TRUE(fd->readFrame(buf2.data(), 700));
    EXPECT_EQ(testChannelValue(1, 0), buf2[0]);
    EXPECT_EQ(testChannelValue(1, 99), buf2[99]);
    EXPECT_EQ(0xEE, buf2[600]);

    // Nothing in range at all, even in a file without channels: no frame data, no loop.
    o.channels = 0;
    ASSERT_TRUE(writeTestSequence(dir.file("empty.lcsf"), o));
    f.reset(LCSFFile::openLCSFFile(dir.file("empty.lcsf")));
    ASSERT_NE(nullptr, f);
    f->prepareRead({{5, 5}}, 0);
    fd.reset(f->getFrame(0));
    ASSERT_NE(nullptr, fd);
    EXPECT_FALSE(fd->readFrame(buf2.data(), 700));
}

TEST(LcsfFrameData, ReadFrameStopsAtTheChannelLimitAndTheBuffer) {
    UncompressedFrameData fd(0, 20, {{40, 20}});
    for (int i = 0; i < 20; i++) {
        fd.m_data[i] = (uint8_t)(i + 1);
    }
    std::vector<uint8_t> buf(100, 0);
    ASSERT_TRUE(fd.readFrame(buf.data(), 50));
    EXPECT_EQ(1, buf[40]);
    EXPECT_EQ(10, buf[49]);
    EXPECT_EQ(0, buf[50]) << "only 10 bytes fit below channel 50";

    UncompressedFrameData small(0, 10, {{0, 5}, {10, 10}});
    EXPECT_FALSE(small.readFrame(buf.data(), 100)) << "a range past the frame buffer is refused";
}

TEST(LcsfHeaders, LargeHeadersGoExtendedInMinor2) {
    TempDir dir;
    for (auto comp : {LCSFFile::CompressionType::none, LCSFFile::CompressionType::zstd}) {
        TestSequenceOptions o;
        o.compression = comp;
        o.minor = 2;
        o.channels = 32;
        o.frames = 40;
        std::vector<uint8_t> big(70000);
        for (size_t i = 0; i < big.size(); i++) {
            big[i] = (uint8_t)(i * 31);
        }
        o.headers = {LCSFFile::VariableHeader('F', 'E', big), LCSFFile::VariableHeader('m', 'f', {'x', 0}),
                     LCSFFile::VariableHeader('q', 'q', {9, 9, 9}, true)};
        std::string path = dir.file("ext.lcsf");
        ASSERT_TRUE(writeTestSequence(path, o));
        std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
        ASSERT_NE(nullptr, f);
        ASSERT_EQ(3u, f->m_variableHeaders.size());
        EXPECT_TRUE(f->m_variableHeaders[0].extendedData)
            << "the 70,000-byte header is stored after the data";
        EXPECT_EQ(big, f->m_variableHeaders[0].data);
        EXPECT_FALSE(f->m_variableHeaders[1].extendedData) << "small headers stay inline";
        EXPECT_TRUE(f->m_variableHeaders[2].extendedData) << "a header marked extended is stored extended";
        EXPECT_EQ((std::vector<uint8_t>{9, 9, 9}), f->m_variableHeaders[2].data);
        EXPECT_LT(f->m_seqChanDataOffset, 200u);
        f.reset();
        expectFramesMatch(readAllFrames(path, 32), 40, 32);
    }
}

TEST(LcsfHeaders, OversizeHeaderInMinor0StillMakesAReadableFile) {
    // A 16-bit channel data offset cannot hold 70,000 bytes of inline headers.
    TempDir dir;
    LogCapture log;
    TestSequenceOptions o;
    o.channels = 16;
    o.frames = 3;
    o.headers = {LCSFFile::VariableHeader('s', 'p', std::vector<uint8_t>(70000, 'y'))};
    ASSERT_TRUE(writeTestSequence(dir.file("big.lcsf"), o));
    std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(dir.file("big.lcsf")));
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(1u, f->m_variableHeaders.size());
    EXPECT_EQ(70000u, f->m_variableHeaders[0].data.size());
    f.reset();
    expectFramesMatch(readAllFrames(dir.file("big.lcsf"), 16), 3, 16);
}

TEST(LcsfCopy, InitializeFromAnotherFileCarriesFramesHeadersAndId) {
    TempDir dir;
    TestSequenceOptions o;
    o.version = 2;
    o.channels = 400;
    o.frames = 12;
    o.stepTime = 33;
    o.uniqueId = 77;
    o.sparseRanges = {{100, 50}, {350, 50}};
    o.headers = {LCSFFile::VariableHeader('m', 'f', {'s', 0})};
    ASSERT_TRUE(writeTestSequence(dir.file("in.lcsf"), o));
    std::unique_ptr<LCSFFile> in(LCSFFile::openLCSFFile(dir.file("in.lcsf")));
    ASSERT_NE(nullptr, in);

    V1LCSFFile out("-memory-");
    out.initializeFromLCSF(*in);
    EXPECT_EQ(12u, out.m_seqNumFrames);
    EXPECT_EQ(400u, out.m_seqChannelCount) << "the copy covers the largest sparse channel";
    EXPECT_EQ(33u, out.m_seqStepTime);
    EXPECT_EQ(77u, out.m_uniqueId);
    EXPECT_EQ("s", out.getMediaFilename());
    EXPECT_EQ(1, out.m_seqVersionMajor);

    // Memory mode: write the copy and read the bytes back through a file.
    out.writeHeader();
    in->prepareRead({{0, 400}}, 0);
    for (uint32_t fr = 0; fr < 12; fr++) {
        std::unique_ptr<LCSFFile::FrameData> fd(in->getFrame(fr));
        std::vector<uint8_t> buf(400, 0);
        ASSERT_TRUE(fd->readFrame(buf.data(), 400));
        out.addFrame(fr, buf.data());
    }
    out.finalize();
    writeFileBytes(dir.file("out.lcsf"), std::string(out.m_memoryBuffer.begin(), out.m_memoryBuffer.end()));
    expectFramesMatch(readAllFrames(dir.file("out.lcsf"), 400), 12, 400, {{100, 50}, {350, 50}});
}

TEST(LcsfMediaName, StaticAndMemberForms) {
    TempDir dir;
    TestSequenceOptions o;
    o.frames = 1;
    ASSERT_TRUE(writeTestSequence(dir.file("none.lcsf"), o));
    EXPECT_EQ("", LCSFFile::getMediaFilename(dir.file("none.lcsf")));
    o.headers = {LCSFFile::VariableHeader('m', 'f', {'t', 'r', 'a', 'c', 'k', 0, 'z'})};
    ASSERT_TRUE(writeTestSequence(dir.file("mf.lcsf"), o));
    EXPECT_EQ("track", LCSFFile::getMediaFilename(dir.file("mf.lcsf")));
    LogCapture quiet;
    EXPECT_EQ("", LCSFFile::getMediaFilename(dir.file("missing.lcsf")));
}
