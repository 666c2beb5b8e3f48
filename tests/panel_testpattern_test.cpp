// The test patterns panels draw to help wire a wall: solid colours, the moving
// line and the panel numbers in the built-in digit font, drawn upright in the
// picture whatever the panel's turn and colour order.
#include "host/output/PanelMatrix.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};

Rgb at(const std::vector<uint8_t>& picture, int width, int x, int y) {
    size_t o = ((size_t)y * width + x) * 3;
    return {picture[o], picture[o + 1], picture[o + 2]};
}

// Draws `pattern` on every panel of `m` and returns the picture.
std::vector<uint8_t> draw(PanelMatrix& m, int pattern, int cycle = 0) {
    std::vector<uint8_t> picture((size_t)m.Width() * m.Height() * 3, 0x11);
    for (int i = 0; i < m.PanelCount(); i++) {
        m.GetPanel(i).drawTestPattern(picture.data(), cycle, pattern);
    }
    return picture;
}

// The lit pixels of a 3 x 5 area as text rows, '#' lit.
std::vector<std::string> area(const std::vector<uint8_t>& picture, int width, int x0, int y0) {
    std::vector<std::string> rows;
    for (int y = 0; y < 5; y++) {
        std::string row;
        for (int x = 0; x < 3; x++) {
            row += at(picture, width, x0 + x, y0 + y) == Rgb{255, 255, 255} ? '#' : '.';
        }
        rows.push_back(row);
    }
    return rows;
}

} // namespace

TEST(PanelTestPatternTest, SolidColoursShowTheirColourWhateverTheColourOrder) {
    PanelMatrix m(4, 2);
    ASSERT_TRUE(m.AddPanel(0, 0, 'N', 0, 0, kColorOrderGRB));
    ASSERT_TRUE(m.AddPanel(0, 1, 'R', 4, 0, kColorOrderBGR));
    const Rgb expected[] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
    const int patterns[] = {LEDPanel::TEST_RED, LEDPanel::TEST_GREEN, LEDPanel::TEST_BLUE,
                            LEDPanel::TEST_WHITE};
    for (int i = 0; i < 4; i++) {
        std::vector<uint8_t> pic = draw(m, patterns[i]);
        for (int y = 0; y < 2; y++) {
            for (int x = 0; x < 4; x++) {
                EXPECT_TRUE(at(pic, m.Width(), x, y) == expected[i]) << i << " " << x << "," << y;
            }
        }
        // The turned panel's rectangle is 2 x 4 at column 4.
        for (int y = 0; y < 4; y++) {
            EXPECT_TRUE(at(pic, m.Width(), 5, y) == expected[i]) << i;
        }
        // What a GRB panel is sent for red is green's place first.
        if (patterns[i] == LEDPanel::TEST_RED) {
            const LEDPanel& p = m.GetPanel(0);
            EXPECT_EQ(0, pic[p.pixelMap[0]]);
            EXPECT_EQ(255, pic[p.pixelMap[1]]);
            EXPECT_EQ(0, pic[p.pixelMap[2]]);
        }
    }
}

TEST(PanelTestPatternTest, MovingLineStepsAColumnPerCycleAndWraps) {
    PanelMatrix m(8, 4);
    ASSERT_TRUE(m.AddPanel(0, 0, 'U', 0, 0, kColorOrderRGB));
    for (int cycle : {0, 5, 9, -1}) {
        int column = ((cycle % 8) + 8) % 8;
        std::vector<uint8_t> pic = draw(m, LEDPanel::TEST_MOVING_LINE, cycle);
        for (int y = 0; y < 4; y++) {
            for (int x = 0; x < 8; x++) {
                int v = x == column ? 255 : 0;
                EXPECT_TRUE(at(pic, 8, x, y) == (Rgb{v, v, v})) << cycle << " " << x << "," << y;
            }
        }
    }
    // On a turned panel the line runs across its picture width (its height as driven).
    PanelMatrix r(8, 4);
    ASSERT_TRUE(r.AddPanel(0, 0, 'L', 0, 0, kColorOrderRGB));
    std::vector<uint8_t> pic = draw(r, LEDPanel::TEST_MOVING_LINE, 6);
    for (int y = 0; y < 8; y++) {
        EXPECT_TRUE(at(pic, 4, 2, y) == (Rgb{255, 255, 255}));
        EXPECT_TRUE(at(pic, 4, 1, y) == (Rgb{0, 0, 0}));
    }
}

TEST(PanelTestPatternTest, FontHasReadableDistinctDigits) {
    std::set<std::vector<uint8_t>> shapes;
    for (char c : std::string("0123456789-")) {
        const uint8_t* g = LEDPanel::Glyph(c);
        ASSERT_NE(nullptr, g) << c;
        shapes.insert(std::vector<uint8_t>(g, g + 5));
        for (int r = 0; r < 5; r++) {
            EXPECT_LT(g[r], 8) << c;
        }
    }
    EXPECT_EQ(11u, shapes.size());
    EXPECT_EQ(nullptr, LEDPanel::Glyph('a'));
    EXPECT_EQ(nullptr, LEDPanel::Glyph(' '));
}

TEST(PanelTestPatternTest, PanelNumbersAreDrawnUprightOnTheirColour) {
    // "2-7" is 11 pixels wide: centred on a 32 x 16 panel at column 10, row 5.
    const std::vector<std::string> two = {"###", "..#", "###", "#..", "###"};
    const std::vector<std::string> dash = {"...", "...", "###", "...", "..."};
    const std::vector<std::string> seven = {"###", "..#", ".#.", ".#.", ".#."};
    std::vector<uint8_t> upright;
    for (char o : std::string("NUR")) {
        PanelMatrix m(32, 16);
        ASSERT_TRUE(m.AddPanel(2, 7, o, 0, 0, kColorOrderGBR));
        std::vector<uint8_t> pic = draw(m, LEDPanel::TEST_PANEL_NUMBERS);
        int w = m.Width();
        int left = (w - 11) / 2;
        int top = (m.Height() - 5) / 2;
        EXPECT_EQ(two, area(pic, w, left, top)) << o;
        EXPECT_EQ(dash, area(pic, w, left + 4, top)) << o;
        EXPECT_EQ(seven, area(pic, w, left + 8, top)) << o;
        // The rest is the panel's colour, the same on every pixel.
        Rgb bg = at(pic, w, 0, 0);
        EXPECT_FALSE(bg == (Rgb{255, 255, 255}));
        EXPECT_FALSE(bg == (Rgb{0x11, 0x11, 0x11}));
        int lit = 0;
        for (int y = 0; y < m.Height(); y++) {
            for (int x = 0; x < w; x++) {
                Rgb c = at(pic, w, x, y);
                lit += c == Rgb{255, 255, 255};
                EXPECT_TRUE(c == bg || c == (Rgb{255, 255, 255})) << o << " " << x << "," << y;
            }
        }
        EXPECT_EQ(11 + 3 + 7, lit) << o;
        if (o == 'N') {
            upright = pic;
        } else if (o == 'U') {
            EXPECT_EQ(upright, pic) << "an upside-down panel shows the same picture";
        }
    }
}

TEST(PanelTestPatternTest, NeighboursGetDifferentColours) {
    PanelMatrix m(16, 8);
    ASSERT_TRUE(m.AddPanel(0, 0, 'N', 0, 0, kColorOrderRGB));
    ASSERT_TRUE(m.AddPanel(0, 1, 'N', 16, 0, kColorOrderRGB));
    ASSERT_TRUE(m.AddPanel(1, 0, 'N', 0, 8, kColorOrderRGB));
    std::vector<uint8_t> pic = draw(m, LEDPanel::TEST_PANEL_NUMBERS);
    Rgb a = at(pic, 32, 0, 0);
    Rgb b = at(pic, 32, 16, 0);
    Rgb c = at(pic, 32, 0, 8);
    EXPECT_FALSE(a == b);
    EXPECT_FALSE(a == c);
}

TEST(PanelTestPatternTest, NarrowPanelsPutTheNumbersOnTwoLines) {
    // "10-12" needs 19 pixels; a panel turned right is 8 wide: "10" over "12".
    PanelMatrix m(16, 8);
    ASSERT_TRUE(m.AddPanel(10, 12, 'R', 0, 0, kColorOrderRGB));
    std::vector<uint8_t> pic = draw(m, LEDPanel::TEST_PANEL_NUMBERS);
    ASSERT_EQ(8, m.Width());
    // Two lines of 7 pixels: column 0, rows 2 and 8.
    const std::vector<std::string> one = {".#.", "##.", ".#.", ".#.", "###"};
    const std::vector<std::string> zero = {"###", "#.#", "#.#", "#.#", "###"};
    const std::vector<std::string> two = {"###", "..#", "###", "#..", "###"};
    EXPECT_EQ(one, area(pic, 8, 0, 2));
    EXPECT_EQ(zero, area(pic, 8, 4, 2));
    EXPECT_EQ(one, area(pic, 8, 0, 8));
    EXPECT_EQ(two, area(pic, 8, 4, 8));
}

TEST(PanelTestPatternTest, UnknownTypeDrawsNothing) {
    PanelMatrix m(4, 2);
    ASSERT_TRUE(m.AddPanel(0, 0, 'N', 0, 0, kColorOrderRGB));
    std::vector<uint8_t> pic = draw(m, 99);
    EXPECT_EQ(std::vector<uint8_t>(24, 0x11), pic);
    pic = draw(m, 0);
    EXPECT_EQ(std::vector<uint8_t>(24, 0x11), pic);
}
