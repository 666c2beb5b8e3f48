// The window's image, byte by byte: blocks of `scale` x `scale` pixels, blue,
// green, red, the fourth byte left alone, every panel where it hangs on the wall,
// nothing written outside the image.
#include "host/output/PanelMatrix.h"
#include "PanelPainter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

struct Image {
    Image(const PanelPainter& p, int scale, uint8_t fill = 0)
        : width(p.Width() * scale), height(p.Height() * scale),
          bytes((size_t)width * height * 4 + GUARD, fill) {}
    // Blue, green, red of image pixel (x, y).
    std::vector<uint8_t> bgr(int x, int y) const {
        const uint8_t* b = &bytes[((size_t)y * width + x) * 4];
        return {b[0], b[1], b[2]};
    }
    static const size_t GUARD = 4096; // bytes past the image that must stay untouched
    int width;
    int height;
    std::vector<uint8_t> bytes;
};

uint8_t IDENTITY[256];

class PanelPainterTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 256; i++) {
            IDENTITY[i] = (uint8_t)i;
        }
        channels.resize(100000);
        for (size_t i = 0; i < channels.size(); i++) {
            channels[i] = (uint8_t)(i * 11 + i / 256 + 1);
        }
    }
    // The picture's pixel (x, y) as the sequence holds it: red, green, blue.
    std::vector<uint8_t> rgb(int width, int x, int y) {
        size_t c = ((size_t)y * width + x) * 3;
        return {channels[c], channels[c + 1], channels[c + 2]};
    }
    static std::vector<uint8_t> asBgr(const std::vector<uint8_t>& rgb) { return {rgb[2], rgb[1], rgb[0]}; }

    std::vector<uint8_t> channels;
};

} // namespace

TEST_F(PanelPainterTest, EachPixelIsAScaleByScaleBlockOfBlueGreenRed) {
    PanelMatrix m(4, 2);
    ASSERT_TRUE(m.AddPanel(0, 0, 'N', 0, 0, kColorOrderRGB));
    PanelPainter p;
    p.Build(m);
    EXPECT_EQ(4, p.Width());
    EXPECT_EQ(2, p.Height());
    Image img(p, 3);
    p.Paint(channels.data(), IDENTITY, 3, img.bytes.data());
    // Pixel (1, 0) of the picture is image pixels 3..5 of rows 0..2, byte for byte.
    const uint8_t* c = &channels[3];
    for (int y = 0; y < 3; y++) {
        for (int x = 3; x < 6; x++) {
            const uint8_t* b = &img.bytes[((size_t)y * 12 + x) * 4];
            EXPECT_EQ(c[2], b[0]);
            EXPECT_EQ(c[1], b[1]);
            EXPECT_EQ(c[0], b[2]);
            EXPECT_EQ(0, b[3]);
        }
    }
    for (int y = 0; y < img.height; y++) {
        for (int x = 0; x < img.width; x++) {
            ASSERT_EQ(asBgr(rgb(4, x / 3, y / 3)), img.bgr(x, y)) << x << ", " << y;
        }
    }
}

TEST_F(PanelPainterTest, ScaleOneIsOnePixelPerPixel) {
    PanelMatrix m(8, 4);
    ASSERT_TRUE(m.AddPanel(0, 0, 'N', 0, 0, kColorOrderRGB));
    PanelPainter p;
    p.Build(m);
    Image img(p, 1);
    p.Paint(channels.data(), IDENTITY, 1, img.bytes.data());
    for (int y = 0; y < 4; y++) {
        for (int x = 0; x < 8; x++) {
            ASSERT_EQ(asBgr(rgb(8, x, y)), img.bgr(x, y));
        }
    }
}

TEST_F(PanelPainterTest, ValuesGoThroughTheGammaTable) {
    PanelMatrix m(2, 1);
    ASSERT_TRUE(m.AddPanel(0, 0, 'N', 0, 0, kColorOrderRGB));
    PanelPainter p;
    p.Build(m);
    uint8_t table[256];
    for (int i = 0; i < 256; i++) {
        table[i] = (uint8_t)(255 - i);
    }
    Image img(p, 2);
    p.Paint(channels.data(), table, 2, img.bytes.data());
    EXPECT_EQ((std::vector<uint8_t>{(uint8_t)(255 - channels[5]), (uint8_t)(255 - channels[4]),
                                    (uint8_t)(255 - channels[3])}),
              img.bgr(3, 1));
}

TEST_F(PanelPainterTest, TurnedPanelsShowWhereTheyHangAndStayInsideTheImage) {
    // A 16 x 4 panel turned right is 4 wide and 16 tall on the wall; one turned
    // upside down beside it. Both show the picture as the sequence holds it.
    PanelMatrix m(16, 4);
    ASSERT_TRUE(m.AddPanel(0, 0, 'R', 0, 0, kColorOrderRGB));
    ASSERT_TRUE(m.AddPanel(0, 1, 'U', 4, 0, kColorOrderRGB));
    ASSERT_TRUE(m.AddPanel(0, 2, 'L', 20, 0, kColorOrderRGB));
    PanelPainter p;
    p.Build(m);
    ASSERT_EQ(24, p.Width());
    ASSERT_EQ(16, p.Height());
    Image img(p, 2, 0xEE);
    p.Paint(channels.data(), IDENTITY, 2, img.bytes.data());
    for (int y = 0; y < img.height; y++) {
        for (int x = 0; x < img.width; x++) {
            int px = x / 2;
            int py = y / 2;
            bool covered = px < 4 || px >= 20 || py < 4;
            if (covered) {
                ASSERT_EQ(asBgr(rgb(24, px, py)), img.bgr(x, y)) << x << ", " << y;
            } else {
                ASSERT_EQ((std::vector<uint8_t>{0xEE, 0xEE, 0xEE}), img.bgr(x, y))
                    << "no panel at " << x << ", " << y;
            }
            ASSERT_EQ(0xEE, img.bytes[((size_t)y * img.width + x) * 4 + 3])
                << "the fourth byte is left alone";
        }
    }
    for (size_t i = img.bytes.size() - Image::GUARD; i < img.bytes.size(); i++) {
        ASSERT_EQ(0xEE, img.bytes[i]) << "written past the image at " << i;
    }
}

TEST_F(PanelPainterTest, APanelTallerThanTheWallIsWideStaysInside) {
    // 8 x 32 panels turned right lie 32 wide and 8 tall: their driven rows (32) are
    // more than the picture's (8), which drawing as driven would take past the image.
    PanelMatrix m(8, 32);
    ASSERT_TRUE(m.AddPanel(0, 0, 'R', 0, 0, kColorOrderRGB));
    PanelPainter p;
    p.Build(m);
    ASSERT_EQ(32, p.Width());
    ASSERT_EQ(8, p.Height());
    Image img(p, 3, 0xEE);
    p.Paint(channels.data(), IDENTITY, 3, img.bytes.data());
    for (size_t i = img.bytes.size() - Image::GUARD; i < img.bytes.size(); i++) {
        ASSERT_EQ(0xEE, img.bytes[i]) << "written past the image at " << i;
    }
    EXPECT_EQ(asBgr(rgb(32, 31, 7)), img.bgr(95, 23));
}

TEST_F(PanelPainterTest, InvertedDataShowsTheFirstRowAtTheBottom) {
    PanelMatrix m(4, 2, 1);
    ASSERT_TRUE(m.AddPanel(0, 0, 'N', 0, 0, kColorOrderRGB));
    ASSERT_TRUE(m.AddPanel(1, 0, 'N', 0, 2, kColorOrderRGB));
    PanelPainter p;
    p.Build(m);
    Image img(p, 1);
    p.Paint(channels.data(), IDENTITY, 1, img.bytes.data());
    for (int y = 0; y < 4; y++) {
        for (int x = 0; x < 4; x++) {
            ASSERT_EQ(asBgr(rgb(4, x, 3 - y)), img.bgr(x, y)) << x << ", " << y;
        }
    }
}

TEST_F(PanelPainterTest, APanelsColourOrderDecidesWhichByteShowsAsRed) {
    PanelMatrix m(2, 2);
    ASSERT_TRUE(m.AddPanel(0, 0, 'N', 0, 0, kColorOrderGRB));
    PanelPainter p;
    p.Build(m);
    Image img(p, 1);
    p.Paint(channels.data(), IDENTITY, 1, img.bytes.data());
    std::vector<uint8_t> c = rgb(2, 1, 1);
    // Sent green first: the first byte shows as red, as on an RGB panel.
    EXPECT_EQ((std::vector<uint8_t>{c[2], c[0], c[1]}), img.bgr(1, 1));
}

TEST_F(PanelPainterTest, NoPanelsNoPicture) {
    PanelMatrix m(4, 2);
    PanelPainter p;
    p.Build(m);
    EXPECT_EQ(0, p.Width());
    EXPECT_EQ(0, p.Height());
    uint8_t guard = 0x55;
    p.Paint(channels.data(), IDENTITY, 4, &guard);
    EXPECT_EQ(0x55, guard);
}
