// Sub-matrices: blocks of pixels copied into a panel picture each frame, and the
// blocks that are refused because they would reach outside it or the buffer.
#include "host/output/ChannelBuffer.h"
#include "host/output/Matrix.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> buffer() {
    std::vector<uint8_t> b(TAVO_CHANNEL_BUFFER_SIZE, 0);
    return b;
}

} // namespace

TEST(SubMatrixTest, CopiesEachRowIntoPlace) {
    // Picture 4 x 3 at channel 100; a 2 x 2 block kept at channel 1000 shown at (1, 1).
    Matrix m(100, 4, 3);
    ASSERT_TRUE(m.AddSubMatrix(1, 1000, 2, 2, 1, 1));
    std::vector<uint8_t> b = buffer();
    for (int i = 0; i < 12; i++) {
        b[1000 + i] = (uint8_t)(i + 1);
    }
    m.OverlaySubMatrices(b.data());
    std::vector<uint8_t> picture(b.begin() + 100, b.begin() + 136);
    std::vector<uint8_t> expected(36, 0);
    for (int i = 0; i < 6; i++) {
        expected[(1 * 4 + 1) * 3 + i] = (uint8_t)(i + 1);
        expected[(2 * 4 + 1) * 3 + i] = (uint8_t)(i + 7);
    }
    EXPECT_EQ(expected, picture);
    EXPECT_EQ(0, b[99]);
    EXPECT_EQ(0, b[136]);
}

TEST(SubMatrixTest, DisabledOnesAreKeptButNotCopiedNorChecked) {
    Matrix m(0, 2, 2);
    ASSERT_TRUE(m.AddSubMatrix(0, -5, 100, 100, 50, 50));
    EXPECT_EQ(1, m.SubMatrixCount());
    std::vector<uint8_t> b = buffer();
    b[300] = 9;
    m.OverlaySubMatrices(b.data());
    EXPECT_EQ(std::vector<uint8_t>(12, 0), std::vector<uint8_t>(b.begin(), b.begin() + 12));
}

TEST(SubMatrixTest, LaterOnesWinWhereTheyOverlap) {
    Matrix m(0, 2, 1);
    ASSERT_TRUE(m.AddSubMatrix(1, 100, 2, 1, 0, 0));
    ASSERT_TRUE(m.AddSubMatrix(1, 200, 1, 1, 1, 0));
    std::vector<uint8_t> b = buffer();
    for (int i = 0; i < 6; i++) {
        b[100 + i] = 1;
    }
    b[200] = b[201] = b[202] = 2;
    m.OverlaySubMatrices(b.data());
    EXPECT_EQ(std::vector<uint8_t>({1, 1, 1, 2, 2, 2}), std::vector<uint8_t>(b.begin(), b.begin() + 6));
}

TEST(SubMatrixTest, ABlockInsideThePictureItselfMovesWhole) {
    // The source overlaps the destination: the copy must not smear.
    Matrix m(0, 4, 1);
    ASSERT_TRUE(m.AddSubMatrix(1, 0, 3, 1, 1, 0));
    std::vector<uint8_t> b = buffer();
    for (int i = 0; i < 12; i++) {
        b[i] = (uint8_t)(i + 1);
    }
    m.OverlaySubMatrices(b.data());
    EXPECT_EQ(std::vector<uint8_t>({1, 2, 3, 1, 2, 3, 4, 5, 6, 7, 8, 9}),
              std::vector<uint8_t>(b.begin(), b.begin() + 12));
}

TEST(SubMatrixTest, RefusesBlocksOutsideThePictureOrTheBuffer) {
    Matrix m(0, 4, 3);
    std::string error;
    EXPECT_FALSE(m.AddSubMatrix(1, 1000, 2, 2, 3, 0, &error));
    EXPECT_NE(std::string::npos, error.find("inside the 4x3 picture")) << error;
    EXPECT_FALSE(m.AddSubMatrix(1, 1000, 2, 2, 0, 2, &error));
    EXPECT_FALSE(m.AddSubMatrix(1, 1000, 2, 2, -1, 0, &error));
    EXPECT_FALSE(m.AddSubMatrix(1, 1000, 0, 2, 0, 0, &error));
    EXPECT_NE(std::string::npos, error.find("no pixels")) << error;
    EXPECT_FALSE(m.AddSubMatrix(1, (int)TAVO_MAX_CHANNELS - 11, 2, 2, 0, 0, &error));
    EXPECT_NE(std::string::npos, error.find("past the channel buffer")) << error;
    EXPECT_FALSE(m.AddSubMatrix(1, -3, 2, 2, 0, 0, &error));
    EXPECT_EQ(0, m.SubMatrixCount());
    // The last channels of the buffer are still usable.
    EXPECT_TRUE(m.AddSubMatrix(1, (int)TAVO_MAX_CHANNELS - 12, 2, 2, 0, 0, &error)) << error;

    Matrix far((int)TAVO_MAX_CHANNELS - 10, 4, 3);
    EXPECT_FALSE(far.AddSubMatrix(1, 0, 1, 1, 0, 0, &error));
    EXPECT_NE(std::string::npos, error.find("picture itself")) << error;
}
