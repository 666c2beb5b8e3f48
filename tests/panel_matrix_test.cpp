// Panel layout: colour order names, and the pixel maps a panel matrix builds from
// orientation, offset, colour order and inversion.
#include "host/output/ColorOrder.h"
#include "host/output/PanelMatrix.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// The picture position (column, row) of panel pixel (x, y), read back from the map.
std::pair<int, int> shownAt(const PanelMatrix& m, int panel, int x, int y) {
    const LEDPanel& p = m.GetPanel(panel);
    uint32_t off = p.pixelMap[3 * (y * p.width + x)];
    uint32_t pixel = off / 3;
    return {(int)(pixel % m.Width()), (int)(pixel / m.Width())};
}

} // namespace

TEST(ColorOrderTest, NamesRoundTrip) {
    const char* names[] = {"RGB", "RBG", "GRB", "GBR", "BRG", "BGR"};
    for (int i = 0; i < 6; i++) {
        bool known = false;
        EXPECT_EQ(i, (int)ColorOrderFromString(names[i], &known)) << names[i];
        EXPECT_TRUE(known);
        EXPECT_EQ(names[i], ColorOrderToString((TavoColorOrder)i));
    }
    EXPECT_EQ(kColorOrderGBR, ColorOrderFromString("gbr"));
}

TEST(ColorOrderTest, EmptyMeansDefaultUnknownIsFlagged) {
    bool known = false;
    EXPECT_EQ(kColorOrderRGB, ColorOrderFromString("", &known));
    EXPECT_TRUE(known);
    EXPECT_EQ(kColorOrderRGB, ColorOrderFromString("RGBW", &known));
    EXPECT_FALSE(known);
    EXPECT_EQ(kColorOrderRGB, ColorOrderFromString("XYZ", &known));
    EXPECT_FALSE(known);
    EXPECT_EQ("RGB", ColorOrderToString((TavoColorOrder)17));
}

TEST(ColorOrderTest, ChannelsPerSendPosition) {
    int c[3];
    ColorOrderChannels(kColorOrderGRB, c);
    EXPECT_EQ(1, c[0]);
    EXPECT_EQ(0, c[1]);
    EXPECT_EQ(2, c[2]);
    ColorOrderChannels(kColorOrderBRG, c);
    EXPECT_EQ(2, c[0]);
    EXPECT_EQ(0, c[1]);
    EXPECT_EQ(1, c[2]);
    ColorOrderChannels(kColorOrderGBR, c);
    EXPECT_EQ(1, c[0]);
    EXPECT_EQ(2, c[1]);
    EXPECT_EQ(0, c[2]);
}

TEST(PanelMatrixTest, NormalPanelMapsRowAfterRow) {
    PanelMatrix m(4, 2);
    ASSERT_TRUE(m.AddPanel(0, 0, 'N', 0, 0, kColorOrderRGB));
    EXPECT_EQ(4, m.Width());
    EXPECT_EQ(2, m.Height());
    const LEDPanel& p = m.GetPanel(0);
    ASSERT_EQ(24u, p.pixelMap.size());
    for (uint32_t i = 0; i < 24; i++) {
        EXPECT_EQ(i, p.pixelMap[i]);
    }
}

TEST(PanelMatrixTest, EmptyMatrixHasNoPicture) {
    PanelMatrix m(32, 16);
    EXPECT_EQ(0, m.Width());
    EXPECT_EQ(0, m.Height());
    EXPECT_EQ(0, m.PanelCount());
    EXPECT_EQ(0, m.OutputCount());
    EXPECT_EQ(0, m.LongestChain());
    EXPECT_TRUE(m.GetOutputPanels(0).empty());
}

TEST(PanelMatrixTest, PictureGrowsAndEarlierMapsFollowItsWidth) {
    PanelMatrix m(4, 2);
    ASSERT_TRUE(m.AddPanel(0, 0, 'N', 0, 0, kColorOrderRGB));
    ASSERT_TRUE(m.AddPanel(0, 1, 'N', 4, 0, kColorOrderRGB));
    EXPECT_EQ(8, m.Width());
    EXPECT_EQ(2, m.Height());
    // Row 1 of the first panel now starts 8 pixels in.
    EXPECT_EQ((8u + 0) * 3, m.GetPanel(0).pixelMap[3 * 4]);
    EXPECT_EQ(std::make_pair(4, 1), shownAt(m, 1, 0, 1));
    // A panel far off leaves a gap: the picture still starts at (0, 0).
    ASSERT_TRUE(m.AddPanel(1, 0, 'N', 10, 5, kColorOrderRGB));
    EXPECT_EQ(14, m.Width());
    EXPECT_EQ(7, m.Height());
    EXPECT_EQ(std::make_pair(3, 1), shownAt(m, 0, 3, 1));
    EXPECT_EQ(std::make_pair(13, 6), shownAt(m, 2, 3, 1));
}

TEST(PanelMatrixTest, UpsideDownStartsBottomRight) {
    PanelMatrix m(4, 2);
    ASSERT_TRUE(m.AddPanel(0, 0, 'U', 0, 0, kColorOrderRGB));
    EXPECT_EQ(std::make_pair(3, 1), shownAt(m, 0, 0, 0));
    EXPECT_EQ(std::make_pair(0, 1), shownAt(m, 0, 3, 0));
    EXPECT_EQ(std::make_pair(3, 0), shownAt(m, 0, 0, 1));
}

TEST(PanelMatrixTest, TurnedRightSwapsSizeAndRunsDownTheRightColumn) {
    PanelMatrix m(4, 2);
    ASSERT_TRUE(m.AddPanel(0, 0, 'R', 0, 0, kColorOrderRGB));
    EXPECT_EQ(2, m.Width());
    EXPECT_EQ(4, m.Height());
    EXPECT_EQ(std::make_pair(1, 0), shownAt(m, 0, 0, 0));
    EXPECT_EQ(std::make_pair(1, 3), shownAt(m, 0, 3, 0));
    EXPECT_EQ(std::make_pair(0, 0), shownAt(m, 0, 0, 1));
}

TEST(PanelMatrixTest, TurnedLeftSwapsSizeAndRunsUpTheLeftColumn) {
    PanelMatrix m(4, 2);
    ASSERT_TRUE(m.AddPanel(0, 0, 'L', 0, 0, kColorOrderRGB));
    EXPECT_EQ(2, m.Width());
    EXPECT_EQ(4, m.Height());
    EXPECT_EQ(std::make_pair(0, 3), shownAt(m, 0, 0, 0));
    EXPECT_EQ(std::make_pair(0, 0), shownAt(m, 0, 3, 0));
    EXPECT_EQ(std::make_pair(1, 3), shownAt(m, 0, 0, 1));
}

TEST(PanelMatrixTest, EveryOrientationCoversItsRectangleOnce) {
    for (char o : std::string("NULR")) {
        PanelMatrix m(5, 3);
        ASSERT_TRUE(m.AddPanel(0, 0, o, 2, 1, kColorOrderRGB)) << o;
        const LEDPanel& p = m.GetPanel(0);
        std::set<std::pair<int, int>> seen;
        for (int y = 0; y < 3; y++) {
            for (int x = 0; x < 5; x++) {
                auto at = shownAt(m, 0, x, y);
                EXPECT_GE(at.first, 2) << o;
                EXPECT_GE(at.second, 1) << o;
                EXPECT_LT(at.first, 2 + p.PictureWidth()) << o;
                EXPECT_LT(at.second, 1 + p.PictureHeight()) << o;
                seen.insert(at);
            }
        }
        EXPECT_EQ(15u, seen.size()) << o;
    }
}

TEST(PanelMatrixTest, InvertedDataMirrorsThePictureVertically) {
    PanelMatrix m(4, 2, 1);
    ASSERT_TRUE(m.AddPanel(0, 0, 'N', 0, 0, kColorOrderRGB));
    EXPECT_EQ(std::make_pair(0, 1), shownAt(m, 0, 0, 0));
    // A second panel below makes the picture taller: the first one's rows follow.
    ASSERT_TRUE(m.AddPanel(1, 0, 'N', 0, 2, kColorOrderRGB));
    EXPECT_EQ(std::make_pair(0, 3), shownAt(m, 0, 0, 0));
    EXPECT_EQ(std::make_pair(2, 2), shownAt(m, 0, 2, 1));
    EXPECT_EQ(std::make_pair(0, 1), shownAt(m, 1, 0, 0));
}

TEST(PanelMatrixTest, ColourOrderSetsTheSendingOrderOfEachPixel) {
    PanelMatrix m(2, 1);
    ASSERT_TRUE(m.AddPanel(0, 0, 'N', 0, 0, kColorOrderGRB));
    ASSERT_TRUE(m.AddPanel(0, 1, 'N', 2, 0, kColorOrderBGR));
    const LEDPanel& a = m.GetPanel(0);
    EXPECT_EQ(1u, a.pixelMap[0]);
    EXPECT_EQ(0u, a.pixelMap[1]);
    EXPECT_EQ(2u, a.pixelMap[2]);
    EXPECT_EQ(4u, a.pixelMap[3]);
    const LEDPanel& b = m.GetPanel(1);
    EXPECT_EQ(8u, b.pixelMap[0]);
    EXPECT_EQ(7u, b.pixelMap[1]);
    EXPECT_EQ(6u, b.pixelMap[2]);
}

TEST(PanelMatrixTest, PanelsOfEachOutputInTheOrderAdded) {
    PanelMatrix m(4, 2);
    ASSERT_TRUE(m.AddPanel(1, 1, 'N', 0, 0, kColorOrderRGB));
    ASSERT_TRUE(m.AddPanel(0, 0, 'N', 4, 0, kColorOrderRGB));
    ASSERT_TRUE(m.AddPanel(1, 0, 'N', 8, 0, kColorOrderRGB));
    EXPECT_EQ(2, m.OutputCount());
    EXPECT_EQ(2, m.LongestChain());
    EXPECT_EQ(3, m.PanelCount());
    EXPECT_EQ(std::vector<int>({1}), m.GetOutputPanels(0));
    EXPECT_EQ(std::vector<int>({0, 2}), m.GetOutputPanels(1));
    EXPECT_TRUE(m.GetOutputPanels(5).empty());
    EXPECT_EQ(1, m.GetPanel(0).chain);
    EXPECT_EQ(1, m.GetPanel(0).output);
}

TEST(PanelMatrixTest, RefusesWhatCannotBeLaidOut) {
    PanelMatrix m(4, 2);
    ASSERT_TRUE(m.AddPanel(0, 0, 'N', 0, 0, kColorOrderRGB));
    std::string error;
    EXPECT_FALSE(m.AddPanel(-1, 0, 'N', 0, 0, kColorOrderRGB, &error));
    EXPECT_NE(std::string::npos, error.find("output")) << error;
    EXPECT_FALSE(m.AddPanel(0, -2, 'N', 0, 0, kColorOrderRGB, &error));
    EXPECT_FALSE(m.AddPanel(0, 1, 'N', -4, 0, kColorOrderRGB, &error));
    EXPECT_NE(std::string::npos, error.find("offsets")) << error;
    EXPECT_FALSE(m.AddPanel(0, 1, 'X', 4, 0, kColorOrderRGB, &error));
    EXPECT_NE(std::string::npos, error.find("'X'")) << error;
    EXPECT_FALSE(m.AddPanel(0, 1, 'n', 4, 0, kColorOrderRGB, &error));
    EXPECT_FALSE(m.AddPanel(0, 1, 'N', 100000, 100000, kColorOrderRGB, &error));
    EXPECT_NE(std::string::npos, error.find("channels")) << error;
    EXPECT_FALSE(m.AddPanel(0, 1, 'N', 2147483647, 0, kColorOrderRGB, &error));
    // Nothing of the refused panels stayed.
    EXPECT_EQ(1, m.PanelCount());
    EXPECT_EQ(4, m.Width());
    EXPECT_EQ(2, m.Height());
    EXPECT_EQ(1, m.OutputCount());

    PanelMatrix none(0, 16);
    EXPECT_FALSE(none.AddPanel(0, 0, 'N', 0, 0, kColorOrderRGB, &error));
    EXPECT_NE(std::string::npos, error.find("no pixels")) << error;
}

TEST(PanelMatrixTest, LargestPictureTheBufferHoldsIsAccepted) {
    // 2048 x 1365 x 3 channels fits in 8 Mi channels; one row more does not.
    PanelMatrix m(2048, 1365);
    EXPECT_TRUE(m.AddPanel(0, 0, 'N', 0, 0, kColorOrderRGB));
    PanelMatrix n(2048, 1366);
    EXPECT_FALSE(n.AddPanel(0, 0, 'N', 0, 0, kColorOrderRGB));
}
