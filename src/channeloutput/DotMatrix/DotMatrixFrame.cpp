// Set-up and row transfers of the LED driver chain.
#include "DotMatrixFrame.h"

std::vector<DotMatrixWrite> DotMatrixSetupWrites() {
    return {{DOTMATRIX_DECODE_MODE, 0x00},
            {DOTMATRIX_INTENSITY, 0x00},
            {DOTMATRIX_SCAN_LIMIT, 0x07},
            {DOTMATRIX_SHUTDOWN, 0x01},
            {DOTMATRIX_DISPLAY_TEST, 0x00}};
}

std::vector<uint8_t> DotMatrixCommand(int panels, uint8_t reg, uint8_t value) {
    std::vector<uint8_t> out;
    for (int p = 0; p < panels; p++) {
        out.push_back(reg);
        out.push_back(value);
    }
    return out;
}

uint64_t DotMatrixFrameChannels(int panels, int channelsPerPixel) {
    if (panels <= 0 || channelsPerPixel <= 0) {
        return 0;
    }
    return (uint64_t)panels * 64 * (uint64_t)channelsPerPixel;
}

bool DotMatrixPixelLit(const uint8_t* pixel, int channelsPerPixel) {
    // "The last three" of a pixel with fewer channels must not reach into the pixel before it.
    int first = channelsPerPixel > 3 ? channelsPerPixel - 3 : 0;
    for (int c = first; c < channelsPerPixel; c++) {
        if (pixel[c]) {
            return true;
        }
    }
    return false;
}

void DotMatrixRow(const uint8_t* channels, int panels, int channelsPerPixel, int row, uint8_t* out) {
    size_t rowLength = (size_t)panels * 8 * (size_t)channelsPerPixel;
    const uint8_t* rowStart = channels + (size_t)row * rowLength;
    for (int p = 0; p < panels; p++) {
        uint8_t bits = 0;
        for (int x = 0; x < 8; x++) {
            const uint8_t* pixel = rowStart + ((size_t)p * 8 + (size_t)x) * (size_t)channelsPerPixel;
            if (DotMatrixPixelLit(pixel, channelsPerPixel)) {
                bits |= (uint8_t)(0x80 >> x);
            }
        }
        size_t pair = (size_t)(panels - 1 - p) * 2;
        out[pair] = (uint8_t)(row + 1);
        out[pair + 1] = bits;
    }
}
