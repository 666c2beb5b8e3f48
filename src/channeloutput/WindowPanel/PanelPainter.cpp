// Scaling a panel wall's picture up into a 32-bit image.
#include "PanelPainter.h"

#include "host/output/PanelMatrix.h"

#include <cstring>

void PanelPainter::Build(const PanelMatrix& panels) {
    m_width = panels.Width();
    m_height = panels.Height();
    m_map.assign((size_t)m_width * m_height * 3, NONE);
    for (int o = 0; o < panels.OutputCount(); o++) {
        for (int index : panels.GetOutputPanels(o)) {
            const LEDPanel& panel = panels.GetPanel(index);
            for (int y = 0; y < panel.height; y++) {
                for (int x = 0; x < panel.width; x++) {
                    // Where the pixel shows: a turned panel's pixels are not where a
                    // normal one's are, and a turned L or R one is taller than wide.
                    int px, py;
                    panel.PanelToPicture(x, y, px, py);
                    size_t at = ((size_t)(panel.yOffset + py) * m_width + panel.xOffset + px) * 3;
                    size_t p = ((size_t)y * panel.width + x) * 3;
                    m_map[at] = panel.pixelMap[p];
                    m_map[at + 1] = panel.pixelMap[p + 1];
                    m_map[at + 2] = panel.pixelMap[p + 2];
                }
            }
        }
    }
}

void PanelPainter::Paint(const uint8_t* channels, const uint8_t gamma[256], int scale, uint8_t* image) const {
    size_t rowBytes = (size_t)m_width * scale * 4;
    const uint32_t* map = m_map.data();
    for (int y = 0; y < m_height; y++) {
        uint8_t* row = image + (size_t)y * scale * rowBytes;
        uint8_t* out = row;
        for (int x = 0; x < m_width; x++, map += 3) {
            if (map[0] == NONE) {
                out += (size_t)scale * 4;
                continue;
            }
            uint8_t r = gamma[channels[map[0]]];
            uint8_t g = gamma[channels[map[1]]];
            uint8_t b = gamma[channels[map[2]]];
            for (int k = 0; k < scale; k++, out += 4) {
                out[0] = b;
                out[1] = g;
                out[2] = r;
            }
        }
        // The block's other rows are the same: copied whole (the unused bytes stay 0).
        for (int k = 1; k < scale; k++) {
            memcpy(row + (size_t)k * rowBytes, row, rowBytes);
        }
    }
}
