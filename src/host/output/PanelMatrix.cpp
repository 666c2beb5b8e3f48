// Panel layout: pixel maps from orientation, offset, colour order and inversion,
// and the test patterns that help wire a wall.
#include "host/output/PanelMatrix.h"

#include "host/output/ChannelBuffer.h"

#include <algorithm>
#include <string>

namespace {

// 3 x 5 glyphs, '0' to '9', then '-'; bit 4 is the left column.
const uint8_t FONT[11][5] = {
    {7, 5, 5, 5, 7}, // 0
    {2, 6, 2, 2, 7}, // 1
    {7, 1, 7, 4, 7}, // 2
    {7, 1, 3, 1, 7}, // 3
    {5, 5, 7, 1, 1}, // 4
    {7, 4, 7, 1, 7}, // 5
    {7, 4, 7, 5, 7}, // 6
    {7, 1, 2, 2, 2}, // 7
    {7, 5, 7, 5, 7}, // 8
    {7, 5, 7, 1, 7}, // 9
    {0, 0, 7, 0, 0}, // -
};

// Background colours of the panel-number pattern: dim enough that white digits
// stand out, different for neighbours in a chain and on neighbouring outputs.
const uint8_t PALETTE[8][3] = {
    {128, 0, 0},   {0, 128, 0},   {0, 0, 128},  {128, 128, 0},
    {0, 128, 128}, {128, 0, 128}, {128, 64, 0}, {64, 0, 128},
};

const std::vector<int> NO_PANELS;

} // namespace

// ---------------------------------------------------------------- LEDPanel

LEDPanel::LEDPanel(int width_, int height_, int output_, int chain_, char orientation_, int xOffset_,
                   int yOffset_, TavoColorOrder colorOrder_)
    : width(width_), height(height_), output(output_), chain(chain_), orientation(orientation_),
      xOffset(xOffset_), yOffset(yOffset_), colorOrder(colorOrder_) {}

int LEDPanel::PictureWidth() const {
    return (orientation == 'L' || orientation == 'R') ? height : width;
}

int LEDPanel::PictureHeight() const {
    return (orientation == 'L' || orientation == 'R') ? width : height;
}

void LEDPanel::PanelToPicture(int x, int y, int& pictureX, int& pictureY) const {
    switch (orientation) {
    case 'U': // turned half round: the first pixel shows bottom right
        pictureX = width - 1 - x;
        pictureY = height - 1 - y;
        break;
    case 'R': // turned a quarter clockwise: the panel's top row is the right column
        pictureX = height - 1 - y;
        pictureY = x;
        break;
    case 'L': // turned a quarter anticlockwise: the panel's top row is the left column
        pictureX = y;
        pictureY = width - 1 - x;
        break;
    default:
        pictureX = x;
        pictureY = y;
        break;
    }
}

const uint8_t* LEDPanel::Glyph(char c) {
    if (c >= '0' && c <= '9') {
        return FONT[c - '0'];
    }
    return c == '-' ? FONT[10] : nullptr;
}

void LEDPanel::setPixel(unsigned char* channelData, int p, uint8_t r, uint8_t g, uint8_t b) {
    int channels[3];
    ColorOrderChannels(colorOrder, channels);
    const uint8_t rgb[3] = {r, g, b};
    for (int k = 0; k < 3; k++) {
        channelData[pixelMap[3 * p + k]] = rgb[channels[k]];
    }
}

void LEDPanel::drawTestPattern(unsigned char* channelData, int cycleNum, int testType) {
    if (!channelData || pixelMap.size() != (size_t)width * height * 3) {
        return;
    }
    switch (testType) {
    case TEST_PANEL_NUMBERS:
        drawNumbers(channelData);
        return;
    case TEST_MOVING_LINE: {
        int column = cycleNum % PictureWidth();
        if (column < 0) {
            column += PictureWidth();
        }
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                int px, py;
                PanelToPicture(x, y, px, py);
                uint8_t v = px == column ? 255 : 0;
                setPixel(channelData, y * width + x, v, v, v);
            }
        }
        return;
    }
    case TEST_RED:
    case TEST_GREEN:
    case TEST_BLUE:
    case TEST_WHITE: {
        uint8_t r = (testType == TEST_RED || testType == TEST_WHITE) ? 255 : 0;
        uint8_t g = (testType == TEST_GREEN || testType == TEST_WHITE) ? 255 : 0;
        uint8_t b = (testType == TEST_BLUE || testType == TEST_WHITE) ? 255 : 0;
        for (int p = 0; p < width * height; p++) {
            setPixel(channelData, p, r, g, b);
        }
        return;
    }
    default:
        return;
    }
}

void LEDPanel::drawNumbers(unsigned char* channelData) {
    int pw = PictureWidth();
    int ph = PictureHeight();
    // "output-chain" on one line when it fits, else the two numbers on two lines.
    std::vector<std::string> lines = {std::to_string(output) + "-" + std::to_string(chain)};
    auto lineWidth = [](const std::string& s) { return (int)s.size() * (GLYPH_WIDTH + 1) - 1; };
    if (lineWidth(lines[0]) > pw) {
        lines = {std::to_string(output), std::to_string(chain)};
    }
    int textHeight = (int)lines.size() * (GLYPH_HEIGHT + 1) - 1;
    int top = (ph - textHeight) / 2;

    // The picture of the panel: 1 where a digit is lit. Text that does not fit is cut.
    std::vector<uint8_t> lit((size_t)pw * ph, 0);
    for (size_t l = 0; l < lines.size(); l++) {
        int left = (pw - lineWidth(lines[l])) / 2;
        int y0 = top + (int)l * (GLYPH_HEIGHT + 1);
        for (size_t i = 0; i < lines[l].size(); i++) {
            const uint8_t* glyph = Glyph(lines[l][i]);
            int x0 = left + (int)i * (GLYPH_WIDTH + 1);
            for (int gy = 0; gy < GLYPH_HEIGHT; gy++) {
                for (int gx = 0; gx < GLYPH_WIDTH; gx++) {
                    int px = x0 + gx;
                    int py = y0 + gy;
                    if ((glyph[gy] & (4 >> gx)) && px >= 0 && py >= 0 && px < pw && py < ph) {
                        lit[(size_t)py * pw + px] = 1;
                    }
                }
            }
        }
    }

    const uint8_t* bg = PALETTE[(unsigned)(output * 3 + chain) % 8];
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            int px, py;
            PanelToPicture(x, y, px, py);
            if (lit[(size_t)py * pw + px]) {
                setPixel(channelData, y * width + x, 255, 255, 255);
            } else {
                setPixel(channelData, y * width + x, bg[0], bg[1], bg[2]);
            }
        }
    }
}

// ---------------------------------------------------------------- PanelMatrix

PanelMatrix::PanelMatrix(int panelWidth, int panelHeight, int invertedData)
    : m_panelWidth(panelWidth), m_panelHeight(panelHeight), m_inverted(invertedData != 0) {}

bool PanelMatrix::AddPanel(int output, int chain, char orientation, int xOffset, int yOffset,
                           TavoColorOrder colorOrder, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) {
            *error = why;
        }
        return false;
    };
    if (m_panelWidth <= 0 || m_panelHeight <= 0) {
        return fail("the panel size " + std::to_string(m_panelWidth) + "x" + std::to_string(m_panelHeight) +
                    " has no pixels");
    }
    if (output < 0 || chain < 0) {
        return fail("output and panel numbers count from 0 (got output " + std::to_string(output) +
                    ", panel " + std::to_string(chain) + ")");
    }
    if (xOffset < 0 || yOffset < 0) {
        return fail("offsets count from 0 at the top left (got " + std::to_string(xOffset) + ", " +
                    std::to_string(yOffset) + ")");
    }
    if (orientation != 'N' && orientation != 'U' && orientation != 'L' && orientation != 'R') {
        return fail(std::string("orientation '") + orientation +
                    "' is none of N (normal), U (upside down), L and R (turned left, right)");
    }
    LEDPanel panel(m_panelWidth, m_panelHeight, output, chain, orientation, xOffset, yOffset, colorOrder);
    int64_t width = std::max<int64_t>(m_width, (int64_t)xOffset + panel.PictureWidth());
    int64_t height = std::max<int64_t>(m_height, (int64_t)yOffset + panel.PictureHeight());
    if (width * height * 3 > TAVO_MAX_CHANNELS) {
        return fail("the picture would be " + std::to_string(width) + "x" + std::to_string(height) +
                    " pixels, more than the " + std::to_string(TAVO_MAX_CHANNELS) + " channels there are");
    }

    bool grown = width != m_width || height != m_height;
    m_width = (int)width;
    m_height = (int)height;
    m_panels.push_back(panel);
    m_outputPanels[output].push_back((int)m_panels.size() - 1);
    m_outputCount = std::max(m_outputCount, output + 1);
    m_longestChain = std::max(m_longestChain, chain + 1);
    if (grown) {
        // Offsets depend on the picture's width, and with inversion on its height.
        for (LEDPanel& p : m_panels) {
            buildMap(p);
        }
    } else {
        buildMap(m_panels.back());
    }
    return true;
}

const std::vector<int>& PanelMatrix::GetOutputPanels(int output) const {
    auto it = m_outputPanels.find(output);
    return it == m_outputPanels.end() ? NO_PANELS : it->second;
}

void PanelMatrix::buildMap(LEDPanel& panel) {
    int channels[3];
    ColorOrderChannels(panel.colorOrder, channels);
    panel.pixelMap.resize((size_t)panel.width * panel.height * 3);
    for (int y = 0; y < panel.height; y++) {
        for (int x = 0; x < panel.width; x++) {
            int px, py;
            panel.PanelToPicture(x, y, px, py);
            uint32_t column = (uint32_t)(panel.xOffset + px);
            uint32_t row = (uint32_t)(panel.yOffset + py);
            if (m_inverted) {
                row = (uint32_t)m_height - 1 - row;
            }
            uint32_t base = (row * (uint32_t)m_width + column) * 3;
            size_t p = (size_t)y * panel.width + x;
            for (int k = 0; k < 3; k++) {
                panel.pixelMap[3 * p + k] = base + (uint32_t)channels[k];
            }
        }
    }
}
