// The TFT bus's table and initialisation sequence.
#include "TftBus.h"

void TftBuildDataValues(uint32_t values[256]) {
    for (int v = 0; v < 256; v++) {
        uint32_t mask = 0;
        for (int bit = 0; bit < 8; bit++) {
            if (v & (1 << bit)) {
                mask |= 1u << TFT_DATA_GPIOS[bit];
            }
        }
        values[v] = mask;
    }
}

std::vector<TftInitStep> TftInitSequence(int bpp) {
    const uint8_t lastCol[2] = {(uint8_t)((TFT_COLS - 1) >> 8), (uint8_t)((TFT_COLS - 1) & 0xFF)};
    const uint8_t lastRow[2] = {(uint8_t)((TFT_ROWS - 1) >> 8), (uint8_t)((TFT_ROWS - 1) & 0xFF)};
    return {
        {0x11, {}, 100},   // sleep out; the controller needs the time to wake
        {0x36, {0x88}, 0}, // memory access control
        {0xE0, {0x00, 0x04, 0x0E, 0x08, 0x17, 0x0A, 0x40, 0x79, 0x4D, 0x07, 0x0E, 0x0A, 0x1A, 0x1D, 0x0F}, 0},
        {0xE1, {0x00, 0x1B, 0x1F, 0x02, 0x10, 0x05, 0x32, 0x34, 0x43, 0x02, 0x0A, 0x09, 0x33, 0x37, 0x0F}, 0},
        {0xB1, {0x00}, 0},
        {0xB0, {0x00}, 0},
        {0x3A, {(uint8_t)(bpp == 16 ? 0x55 : 0x66)}, 0}, // pixel format
        {0x2A, {0x00, 0x00, lastCol[0], lastCol[1]}, 0}, // column address
        {0x2B, {0x00, 0x00, lastRow[0], lastRow[1]}, 0}, // page address
        {0x29, {}, 0},                                   // display on
        {0x2A, {0x00, 0x00, lastCol[0], lastCol[1]}, 0},
        {0x2B, {0x00, 0x00, lastRow[0], lastRow[1]}, 0},
    };
}
