// Panel layout shared by every LED panel output: where each panel of a wall lies in
// the picture, and for each of its pixels which channels to send, in what order.
// The orientation letters and the inversion are pictured in README.md beside this.
#pragma once

#include "host/output/ColorOrder.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One panel of a wall: its place in the wiring (output, position in the chain),
// its place and turn in the picture, and its pixel map.
class LEDPanel {
public:
    // Test patterns of drawTestPattern, the values outputs pass as the test type.
    enum TestPattern {
        TEST_PANEL_NUMBERS = 1, // a colour per panel, "output-chain" in digits
        TEST_MOVING_LINE = 2,   // a white column that steps one pixel per cycle
        TEST_RED = 3,
        TEST_GREEN = 4,
        TEST_BLUE = 5,
        TEST_WHITE = 6,
    };

    LEDPanel(int width, int height, int output, int chain, char orientation, int xOffset, int yOffset,
             TavoColorOrder colorOrder);

    int width;        // pixels per panel row, as the panel is driven
    int height;       // panel rows, as the panel is driven
    int output;       // the output ("outputNumber") its chain hangs on
    int chain;        // its position in that chain ("panelNumber"), 0 nearest the output
    char orientation; // 'N', 'U', 'L' or 'R'
    int xOffset;      // its top-left corner in the picture
    int yOffset;
    TavoColorOrder colorOrder;
    // For panel pixel p = y * width + x (row y of the panel, column x, as driven),
    // entries 3p, 3p + 1 and 3p + 2 are the channel offsets, counted from the
    // output's start channel, of the three bytes to send for it, in the panel's
    // colour order. Orientation, inversion and colour order are all in here.
    std::vector<uint32_t> pixelMap;

    // The panel's size in the picture: width and height swap when turned L or R.
    int PictureWidth() const;
    int PictureHeight() const;
    // Where panel pixel (x, y) shows, counted from the panel's corner in the picture
    // (before the whole picture is inverted).
    void PanelToPicture(int x, int y, int& pictureX, int& pictureY) const;

    // Draws a test pattern (TestPattern) into the picture's channels at
    // `channelData` (the buffer from the output's start channel), through the
    // pixel map, so that it shows upright on a wall configured right. `cycleNum`
    // moves the moving line. Unknown test types draw nothing.
    void drawTestPattern(unsigned char* channelData, int cycleNum, int testType);

    // The built-in font of the panel numbers: 3 x 5 pixels, the glyphs '0' to '9'
    // and '-'. Row r's bits: 4 is the left column, 1 the right. Null for others.
    static const uint8_t* Glyph(char c);
    static const int GLYPH_WIDTH = 3;
    static const int GLYPH_HEIGHT = 5;

private:
    // Writes picture colour (r, g, b) at panel pixel p.
    void setPixel(unsigned char* channelData, int p, uint8_t r, uint8_t g, uint8_t b);
    void drawNumbers(unsigned char* channelData);
};

class PanelMatrix {
public:
    // Panels of `panelWidth` x `panelHeight` pixels; `invertedData` nonzero mirrors
    // the whole picture vertically (its channel data starts at the bottom row).
    PanelMatrix(int panelWidth, int panelHeight, int invertedData = 0);

    // Adds a panel on `output` at position `chain`, turned by `orientation` ('N',
    // 'U', 'L', 'R'), its top-left corner at (xOffset, yOffset) in the picture. The
    // picture grows to hold it, and every pixel map follows. False, with the reason
    // in `error`, for a negative number or offset, an unknown orientation letter, a
    // panel size of 0 or less, or a picture that would need more channels than the
    // channel buffer holds.
    bool AddPanel(int output, int chain, char orientation, int xOffset, int yOffset,
                  TavoColorOrder colorOrder, std::string* error = nullptr);

    // The picture: the smallest rectangle from (0, 0) holding every panel; 0 x 0
    // without panels. Its channel data is Width() x Height() x 3 bytes, RGB, row
    // after row.
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    int PanelWidth() const { return m_panelWidth; }
    int PanelHeight() const { return m_panelHeight; }
    int PanelCount() const { return (int)m_panels.size(); }
    // Highest output number + 1, highest chain position + 1; 0 without panels.
    int OutputCount() const { return m_outputCount; }
    int LongestChain() const { return m_longestChain; }

    // The panels in the order they were added.
    LEDPanel& GetPanel(int index) { return m_panels[index]; }
    const LEDPanel& GetPanel(int index) const { return m_panels[index]; }
    // Indexes (for GetPanel) of the panels on `output`, in the order they were
    // added; empty for an output without panels.
    const std::vector<int>& GetOutputPanels(int output) const;

private:
    void buildMap(LEDPanel& panel);

    int m_panelWidth;
    int m_panelHeight;
    bool m_inverted;
    int m_width = 0;
    int m_height = 0;
    int m_outputCount = 0;
    int m_longestChain = 0;
    std::vector<LEDPanel> m_panels;
    std::map<int, std::vector<int>> m_outputPanels;
};
