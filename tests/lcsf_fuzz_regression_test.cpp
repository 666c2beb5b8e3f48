// Inputs the reader fuzzer once choked on (tests/data/fuzz-regressions/): each must
// open or be rejected cleanly, and reading it must stay within a sane amount of memory.
#include "LCSFFile.h"
#include "host/output/ChannelBuffer.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::string DIR_PATH = std::string(TAVO_TEST_DATA_DIR) + "/fuzz-regressions";
const uint32_t MAX_CHANNELS = TAVO_MAX_CHANNELS;

std::vector<std::string> regressionFiles() {
    std::vector<std::string> files;
    DIR* d = opendir(DIR_PATH.c_str());
    if (!d) {
        return files;
    }
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") {
            files.push_back(name);
        }
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

// Bytes the allocator holds right now (heap plus separately mapped blocks).
size_t heldBytes() {
    struct mallinfo2 mi = mallinfo2();
    return mi.arena + mi.hblkhd;
}

class FuzzRegression : public ::testing::TestWithParam<std::string> {};

} // namespace

TEST(FuzzRegressionSet, HasInputs) {
    EXPECT_FALSE(regressionFiles().empty()) << "no inputs in " << DIR_PATH;
}

// Read as playback would: prepared ranges, the first frames and the last ones. None
// of these inputs is more than a few kilobytes, so holding hundreds of megabytes
// while reading one means a size from the file was trusted.
TEST_P(FuzzRegression, OpensOrIsRejectedAndReadsWithinBounds) {
    const std::string path = DIR_PATH + "/" + GetParam();
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    ASSERT_LT(st.st_size, 100 * 1024);
    const size_t limit = 64u << 20;

    LogCapture log(LOG_ERR);
    std::vector<uint8_t> channels(MAX_CHANNELS + 8);
    size_t before = heldBytes();
    size_t peak = 0;
    std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
    if (!f) {
        // Rejected: the reason is logged.
        EXPECT_GT(log.lines().size(), 0u);
        return;
    }
    uint32_t maxChannel = std::min(f->getMaxChannel(), MAX_CHANNELS);
    f->prepareRead({{0, maxChannel}}, 0);
    uint32_t frames = f->m_seqNumFrames;
    std::vector<uint32_t> wanted;
    for (uint32_t fr = 0; fr < std::min<uint32_t>(frames, 64); fr++) {
        wanted.push_back(fr);
    }
    for (uint32_t fr = frames > 4 ? frames - 4 : 0; fr < frames; fr++) {
        wanted.push_back(fr);
    }
    for (uint32_t fr : wanted) {
        std::unique_ptr<LCSFFile::FrameData> fd(f->getFrame(fr));
        peak = std::max(peak, heldBytes());
        if (fd) {
            fd->readFrame(channels.data(), MAX_CHANNELS);
        }
    }
    EXPECT_LT(peak - std::min(peak, before), limit)
        << "peak " << peak << " bytes held while reading " << path;
}

INSTANTIATE_TEST_SUITE_P(Inputs, FuzzRegression, ::testing::ValuesIn(regressionFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string n = info.param;
                             for (char& c : n) {
                                 if (!isalnum((unsigned char)c)) {
                                     c = '_';
                                 }
                             }
                             return n;
                         });

// A sparse file whose channel count is far larger than its ranges: frames are sized
// by the ranges, which is all readFrame hands out.
TEST(FuzzRegressionSparse, FrameBufferSizedByRangesNotChannelCount) {
    std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(DIR_PATH + "/sparse-channel-count-2g"));
    ASSERT_NE(nullptr, f);
    auto* v2 = dynamic_cast<V2LCSFFile*>(f.get());
    ASSERT_NE(nullptr, v2);
    ASSERT_FALSE(v2->m_sparseRanges.empty());
    uint64_t rangeSum = 0;
    for (auto& r : v2->m_sparseRanges) {
        rangeSum += r.second;
    }
    ASSERT_GT((uint64_t)f->m_seqChannelCount, rangeSum);
    f->prepareRead({{0, 100}}, 0);
    EXPECT_EQ(rangeSum, v2->m_dataBlockSize);
    std::unique_ptr<LCSFFile::FrameData> fd(f->getFrame(0));
    ASSERT_NE(nullptr, fd);
    uint8_t none = 0;
    EXPECT_TRUE(fd->readFrame(&none, 0)) << "the frame's ranges lie within what it holds";
}
