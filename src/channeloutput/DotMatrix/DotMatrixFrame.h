// What goes over SPI to a chain of 8 x 8 LED driver chips, without a bus: the
// register writes that set the chips up and the eight row transfers of a frame.
//
// The panels form one row of pixels; the channels run row by row, each row from
// the first panel's left pixel to the last panel's right one:
//
//        panel 0          panel 1               the transfer for row r:
//   row 0  x0 ... x7   x8 ... x15           (r+1, row byte of the LAST panel),
//   ...                                      ...,
//   row 7                                    (r+1, row byte of panel 0)
//
// The last panel's pair goes first: each chip passes on what it held when the
// next pair comes in, so the first pair sent ends at the far end of the chain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Registers of the driver chip.
constexpr uint8_t DOTMATRIX_DECODE_MODE = 0x09;
constexpr uint8_t DOTMATRIX_INTENSITY = 0x0A;
constexpr uint8_t DOTMATRIX_SCAN_LIMIT = 0x0B;
constexpr uint8_t DOTMATRIX_SHUTDOWN = 0x0C;
constexpr uint8_t DOTMATRIX_DISPLAY_TEST = 0x0F;

struct DotMatrixWrite {
    uint8_t reg;
    uint8_t value;
};

// Decode mode none, intensity lowest, all 8 rows scanned, normal operation,
// display test off: in that order.
std::vector<DotMatrixWrite> DotMatrixSetupWrites();

// The same register write for every chip of the chain: (reg, value) `panels` times.
std::vector<uint8_t> DotMatrixCommand(int panels, uint8_t reg, uint8_t value);

// Channels one frame reads.
uint64_t DotMatrixFrameChannels(int panels, int channelsPerPixel);

// A pixel is lit when its channel is not 0; with several channels per pixel, when
// one of its last three (all of them, when it has fewer) is not 0.
bool DotMatrixPixelLit(const uint8_t* pixel, int channelsPerPixel);

// The transfer for row `row` (0-7) into `out` (2 x `panels` bytes), from the
// frame's channels (DotMatrixFrameChannels of them).
void DotMatrixRow(const uint8_t* channels, int panels, int channelsPerPixel, int row, uint8_t* out);
