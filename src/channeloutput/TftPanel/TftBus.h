// The TFT panel's 8-bit parallel bus as GPIO register writes, without a device:
// the pins, the byte-to-pins table, the controller's initialisation sequence and
// the writes of one frame. The writes go to any register sink with set(mask) and
// clear(mask), so the same code drives the mapped registers, a benchmark's memory
// block or a test's recorder.
//
// One byte on the bus is three writes:
//
//   clear <- all data lines and WR     (WR low)
//   set   <- the byte's data lines     (data lines settle)
//   set   <- WR                        (WR rises: the controller latches the byte)
//
// D/C (GPIO 18) is low for a command byte and high for data.
#pragma once

#include <cstdint>
#include <vector>

constexpr int TFT_ROWS = 480;
constexpr int TFT_COLS = 320;
constexpr int TFT_PIXELS = TFT_ROWS * TFT_COLS;

constexpr uint32_t TFT_CLEAR_MASK = 0x03C20F00; // all data lines and the write strobe
constexpr uint32_t TFT_DC_MASK = 0x00040000;    // data/command, GPIO 18
constexpr uint32_t TFT_WR_MASK = 0x00020000;    // write strobe, GPIO 17
constexpr uint32_t TFT_RESET_MASK = 0x00000010; // GPIO 4, driven low at start and at the end

// The GPIO of data bit 0 to 7.
constexpr int TFT_DATA_GPIOS[8] = {22, 23, 24, 10, 25, 9, 11, 8};
// The pins made outputs, in this order.
constexpr int TFT_OUTPUT_GPIOS[12] = {4, 17, 18, 22, 23, 24, 10, 25, 9, 11, 8, 7};

// Byte offsets of the set and clear registers in the GPIO block.
constexpr uint32_t TFT_SET_REGISTER = 0x1C;
constexpr uint32_t TFT_CLEAR_REGISTER = 0x28;

// For each byte value, the set mask that puts it on the data lines.
void TftBuildDataValues(uint32_t values[256]);

// One step of the controller's initialisation: a command byte, its parameter
// bytes (data), then a pause.
struct TftInitStep {
    uint8_t command;
    std::vector<uint8_t> data;
    int delayMs;
};
// The sequence for `bpp` bits per pixel on the bus (16, or 24 for anything else).
std::vector<TftInitStep> TftInitSequence(int bpp);

// Bytes a frame puts on the bus: 3 per pixel, or 2 in 16-bit mode.
inline uint32_t TftFrameBytes(int bpp) {
    return (uint32_t)TFT_PIXELS * (bpp == 16 ? 2 : 3);
}

// A register sink writing straight into a mapped (or memory) register block.
struct TftDirectRegisters {
    volatile uint32_t* block;
    void set(uint32_t mask) { block[TFT_SET_REGISTER / 4] = mask; }
    void clear(uint32_t mask) { block[TFT_CLEAR_REGISTER / 4] = mask; }
};

template <class Registers> inline void TftWriteByte(Registers& r, const uint32_t* values, uint8_t byte) {
    r.clear(TFT_CLEAR_MASK);
    r.set(values[byte]);
    r.set(TFT_WR_MASK);
}

template <class Registers>
inline void TftWritePixel(Registers& r, const uint32_t* values, const uint8_t* rgb, bool rgb565) {
    if (rgb565) {
        uint16_t v = (uint16_t)(((rgb[0] >> 3) << 11) | ((rgb[1] >> 2) << 5) | (rgb[2] >> 3));
        TftWriteByte(r, values, (uint8_t)(v >> 8));
        TftWriteByte(r, values, (uint8_t)v);
    } else {
        TftWriteByte(r, values, rgb[0]);
        TftWriteByte(r, values, rgb[1]);
        TftWriteByte(r, values, rgb[2]);
    }
}

// The pixel data of one frame (the bus already in data mode): every pixel of the
// panel, three channels each, from `channels`, of which `available` may be read;
// pixels beyond them are black.
template <class Registers>
void TftWriteFrame(Registers& r, const uint32_t* values, const uint8_t* channels, uint32_t available,
                   int bpp) {
    const bool rgb565 = bpp == 16;
    uint32_t whole = available / 3 < (uint32_t)TFT_PIXELS ? available / 3 : (uint32_t)TFT_PIXELS;
    const uint8_t* p = channels;
    for (uint32_t i = 0; i < whole; i++, p += 3) {
        TftWritePixel(r, values, p, rgb565);
    }
    for (uint32_t i = whole; i < (uint32_t)TFT_PIXELS; i++) {
        uint8_t rgb[3] = {0, 0, 0};
        for (uint32_t c = 0; c < 3 && i * 3 + c < available; c++) {
            rgb[c] = channels[i * 3 + c];
        }
        TftWritePixel(r, values, rgb, rgb565);
    }
}
