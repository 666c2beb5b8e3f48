// Drawing the preview: disc radius and points, where discs land, clipping at the
// picture's edges, the colour of every channel count and type, and drawing order;
// each into a picture model (written directly) and a model of channels (through
// setPixelValue), which must show the same.
#include "ScreenPreviewDraw.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <utility>
#include <vector>

using namespace screenpreview;

namespace {

const int W = 8, H = 6;

ScreenPreviewPixel pixel(int x, int y, unsigned channel, int channels = 3, int type = 0) {
    ScreenPreviewPixel p;
    p.x = x;
    p.y = y;
    p.channel = channel;
    p.channelCount = channels;
    p.colorType = type;
    return p;
}

// The lit points of a model's picture: (x, y) -> 0xRRGGBB.
std::map<std::pair<int, int>, uint32_t> litPoints(PixelOverlayModel& m) {
    std::map<std::pair<int, int>, uint32_t> lit;
    for (int y = 0; y < m.getHeight(); y++) {
        for (int x = 0; x < m.getWidth(); x++) {
            uint8_t r, g, b;
            m.getPixelValue(x, y, r, g, b);
            if (r || g || b) {
                lit[{x, y}] = (uint32_t)r << 16 | (uint32_t)g << 8 | b;
            }
        }
    }
    return lit;
}

std::map<std::pair<int, int>, uint32_t> points(const std::vector<std::pair<int, int>>& at, uint32_t colour) {
    std::map<std::pair<int, int>, uint32_t> m;
    for (auto& p : at) {
        m[p] = colour;
    }
    return m;
}

// true: a memory model (its buffer is the picture); false: a model of channels,
// W nodes a line, H lines, from the top-left.
class DrawTest : public ::testing::TestWithParam<bool> {
protected:
    std::unique_ptr<PixelOverlayModel> makeModel() {
        if (GetParam()) {
            return std::unique_ptr<PixelOverlayModel>(new MemoryOverlayModel("Preview", W, H, false));
        }
        return std::unique_ptr<PixelOverlayModel>(
            new PixelOverlayModel("Preview", 0, W * H * 3, 3, "H", "TL", H, 1, false));
    }
    std::unique_ptr<PixelOverlayModel> owned = makeModel();
    PixelOverlayModel& model = *owned;
    std::vector<unsigned char> data = std::vector<unsigned char>(64, 0);
};

} // namespace

TEST(DiscTest, RadiusIsHalfThePixelSizeAndAtLeastOne) {
    EXPECT_EQ(1, DiscRadius(-3));
    EXPECT_EQ(1, DiscRadius(0));
    EXPECT_EQ(1, DiscRadius(1));
    EXPECT_EQ(1, DiscRadius(2));
    EXPECT_EQ(1, DiscRadius(3));
    EXPECT_EQ(2, DiscRadius(4));
    EXPECT_EQ(2, DiscRadius(5));
    EXPECT_EQ(4, DiscRadius(9));
}

TEST(DiscTest, PointsAreThoseWithinTheRadiusFromMinusRToRMinusOne) {
    auto pairs = [](const std::vector<DiscPoint>& v) {
        std::vector<std::pair<int, int>> r;
        for (auto& p : v) {
            r.emplace_back(p.dx, p.dy);
        }
        return r;
    };
    EXPECT_EQ((std::vector<std::pair<int, int>>{{-1, 0}, {0, -1}, {0, 0}}), pairs(DiscPoints(1)));
    EXPECT_EQ(
        (std::vector<std::pair<int, int>>{
            {-2, 0}, {-1, -1}, {-1, 0}, {-1, 1}, {0, -2}, {0, -1}, {0, 0}, {0, 1}, {1, -1}, {1, 0}, {1, 1}}),
        pairs(DiscPoints(2)));
    EXPECT_EQ(27u, DiscPoints(3).size()); // of the 36 in -3..2 squared, those within 3 of the centre
}

TEST_P(DrawTest, RadiusOneLightsThreePointsAroundThePixel) {
    data[0] = 200;
    data[1] = 100;
    data[2] = 50;
    DrawPixels({pixel(3, 2, 0)}, data.data(), DiscPoints(1), W, H, model);
    EXPECT_EQ(points({{2, 2}, {3, 1}, {3, 2}}, 0xC86432), litPoints(model));
}

TEST_P(DrawTest, RadiusTwoLightsElevenPointsAroundThePixel) {
    data[0] = 255;
    DrawPixels({pixel(3, 2, 0)}, data.data(), DiscPoints(2), W, H, model);
    EXPECT_EQ(points({{1, 2}, {2, 1}, {2, 2}, {2, 3}, {3, 0}, {3, 1}, {3, 2}, {3, 3}, {4, 1}, {4, 2}, {4, 3}},
                     0xFF0000),
              litPoints(model));
}

TEST_P(DrawTest, DiscsAtTheEdgesAreClippedNotWrapped) {
    data[0] = 255;
    data[1] = 255;
    data[2] = 255;
    // Top-left corner: only the points right of and below the pixel remain.
    DrawPixels({pixel(0, 0, 0)}, data.data(), DiscPoints(2), W, H, model);
    EXPECT_EQ(points({{0, 0}, {0, 1}, {1, 0}, {1, 1}}, 0xFFFFFF), litPoints(model));

    // Bottom-right corner: the left and upper points remain; nothing appears in
    // row 0 or column 0 (a wrap would put it there).
    auto corner = makeModel();
    DrawPixels({pixel(W - 1, H - 1, 0)}, data.data(), DiscPoints(2), W, H, *corner);
    EXPECT_EQ(points({{5, 5}, {6, 4}, {6, 5}, {7, 3}, {7, 4}, {7, 5}}, 0xFFFFFF), litPoints(*corner));

    // The preview's own size clips too, when it is smaller than the model.
    auto wide = makeModel();
    DrawPixels({pixel(3, 2, 0)}, data.data(), DiscPoints(2), 4, 3, *wide);
    EXPECT_EQ(points({{1, 2}, {2, 1}, {2, 2}, {3, 0}, {3, 1}, {3, 2}}, 0xFFFFFF), litPoints(*wide));

    // Discs across the right and the bottom edge alone: nothing wraps into the
    // next row or past the picture.
    auto right = makeModel();
    DrawPixels({pixel(W - 1, 2, 0)}, data.data(), DiscPoints(2), W, H, *right);
    EXPECT_EQ(points({{5, 2}, {6, 1}, {6, 2}, {6, 3}, {7, 0}, {7, 1}, {7, 2}, {7, 3}}, 0xFFFFFF),
              litPoints(*right));
    auto bottom = makeModel();
    DrawPixels({pixel(3, H - 1, 0)}, data.data(), DiscPoints(2), W, H, *bottom);
    EXPECT_EQ(points({{1, 5}, {2, 4}, {2, 5}, {3, 3}, {3, 4}, {3, 5}, {4, 4}, {4, 5}}, 0xFFFFFF),
              litPoints(*bottom));

    // A disc across the left edge, away from the corners.
    auto left = makeModel();
    DrawPixels({pixel(0, 3, 0)}, data.data(), DiscPoints(2), W, H, *left);
    EXPECT_EQ(points({{0, 1}, {0, 2}, {0, 3}, {0, 4}, {1, 2}, {1, 3}, {1, 4}}, 0xFFFFFF), litPoints(*left));
}

TEST_P(DrawTest, ColourTableOfEveryChannelCountAndType) {
    struct Case {
        int channels;
        int type;
        unsigned char s[4];
        uint32_t expected;
        const char* what;
    };
    const Case cases[] = {
        {3, 0, {10, 20, 30, 0}, 0x0A141E, "RGB"},
        {3, 1, {10, 20, 30, 0}, 0x0A1E14, "type 1: s0 s2 s1"},
        {3, 2, {10, 20, 30, 0}, 0x140A1E, "type 2: s1 s0 s2"},
        {3, 3, {10, 20, 30, 0}, 0x1E0A14, "type 3: s2 s0 s1"},
        {3, 4, {10, 20, 30, 0}, 0x141E0A, "type 4: s1 s2 s0"},
        {3, 5, {10, 20, 30, 0}, 0x1E140A, "type 5: s2 s1 s0"},
        {4, 0, {10, 20, 30, 128}, 0x808080, "RGBW with white: grey"},
        {4, 5, {10, 20, 30, 128}, 0x808080, "any type with white: grey"},
        {4, 0, {10, 20, 30, 0}, 0x0A141E, "RGBW, no white: as RGB"},
        {4, 2, {10, 20, 30, 0}, 0x140A1E, "RGBW, no white: as type 2"},
        {1, 7, {10, 20, 30, 40}, 0x0A0000, "single red"},
        {1, 8, {10, 20, 30, 40}, 0x0A0A0A, "single white"},
        {1, 9, {10, 20, 30, 40}, 0x00000A, "single blue"},
        {1, 10, {10, 20, 30, 40}, 0x000A00, "single green"},
    };
    for (const Case& c : cases) {
        auto m = makeModel();
        std::vector<unsigned char> d(c.s, c.s + 4);
        DrawPixels({pixel(4, 3, 0, c.channels, c.type)}, d.data(), DiscPoints(1), W, H, *m);
        uint8_t r, g, b;
        m->getPixelValue(4, 3, r, g, b);
        EXPECT_EQ(c.expected, (uint32_t)r << 16 | (uint32_t)g << 8 | b) << c.what;
    }
}

TEST_P(DrawTest, TypeElevenShowsItsFixedColourWhateverTheChannels) {
    ScreenPreviewPixel fixed = pixel(4, 3, 0, 1, 11);
    fixed.fixedColor[0] = 0x12;
    fixed.fixedColor[1] = 0x34;
    fixed.fixedColor[2] = 0x56;
    data[0] = 255;
    DrawPixels({fixed}, data.data(), DiscPoints(1), W, H, model);
    EXPECT_EQ(points({{3, 3}, {4, 2}, {4, 3}}, 0x123456), litPoints(model));
}

TEST_P(DrawTest, PixelsReadTheirOwnChannelsAndALaterOneCoversAnEarlier) {
    data[3] = 255; // second pixel red
    data[7] = 255; // third pixel green
    // Two neighbours: the second's disc covers the first's right-hand point.
    DrawPixels({pixel(2, 2, 3), pixel(3, 2, 6)}, data.data(), DiscPoints(1), W, H, model);
    auto lit = litPoints(model);
    EXPECT_EQ(0xFF0000u, lit[std::make_pair(1, 2)]);
    EXPECT_EQ(0xFF0000u, lit[std::make_pair(2, 1)]);
    EXPECT_EQ(0x00FF00u, lit[std::make_pair(2, 2)]) << "drawn by the later pixel";
    EXPECT_EQ(0x00FF00u, lit[std::make_pair(3, 1)]);
    EXPECT_EQ(0x00FF00u, lit[std::make_pair(3, 2)]);
    EXPECT_EQ(5u, lit.size());
}

INSTANTIATE_TEST_SUITE_P(Models, DrawTest, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& i) {
    return i.param ? "Picture" : "Channels";
});

TEST(DrawChannelModelTest, PointsGoWhereTheModelsStartCornerPutsThem) {
    // Lines from the bottom-right: picture point (x, y) is node (H-1-y) x W + (W-1-x).
    PixelOverlayModel m("Roof", 0, W * H * 3, 3, "H", "BR", H, 1, false);
    std::vector<unsigned char> d = {10, 20, 30};
    DrawPixels({pixel(1, 1, 0)}, d.data(), DiscPoints(1), W, H, m);
    EXPECT_EQ(points({{0, 1}, {1, 0}, {1, 1}}, 0x0A141E), litPoints(m));
    const uint8_t* b = m.getOverlayBuffer();
    const size_t node = (size_t)(H - 1 - 1) * W + (W - 1 - 1);
    EXPECT_EQ(10, b[node * 3]);
    EXPECT_EQ(30, b[node * 3 + 2]);
    EXPECT_EQ(0, b[3 * ((size_t)1 * W + 1)]) << "not where a top-left model keeps it";
}
