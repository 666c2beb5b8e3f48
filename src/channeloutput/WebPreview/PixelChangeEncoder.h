// The preview stream's text code: changed pixels grouped by 6-bit colour, and the
// server-sent event and HTTP chunk that carry them. No sockets, no threads.
#pragma once

#include "ScreenPreviewBaseOutput.h"

#include <cstdint>
#include <string>
#include <vector>

class PixelChangeEncoder {
public:
    // "0-9A-Za-z+/", in this order (not the Base64 order).
    static const char ALPHABET[65];

    // Takes a copy of the pixel records and prepares the position code of each;
    // call again when the pixel map changes.
    void SetLayout(const std::vector<ScreenPreviewPixel>& pixels, int y0);

    struct Result {
        int pixelsChanged = 0;
        int colors = 0;
    };
    // Compares each pixel's 6-bit colour with the one stored in `previewBuffer`,
    // stores the new ones and appends the data of the changed pixels to `out`
    // ("key:pos;pos|key:pos", groups in ascending byte order of their keys).
    // `channelData` points at the output's first channel.
    Result EncodeChanges(const unsigned char* channelData, unsigned char* previewBuffer, std::string& out);

    // 4 characters for x <= 4094, 6 otherwise; yFlipped is Y0 - y.
    static std::string PositionCode(int x, int yFlipped);
    static std::string ColorKey(int r6, int g6, int b6);

private:
    struct Position {
        char text[6];
        uint8_t length;
    };
    std::vector<ScreenPreviewPixel> m_pixels; // own copy, so a rebuilt pixel map cannot leave it dangling
    std::vector<Position> m_positions;

    // Per-frame grouping: one list of pixel indexes per colour, found through an
    // 18-bit sort key whose numeric order is the byte order of the colour key.
    static constexpr int KEY_COUNT = 1 << 18;
    std::vector<int32_t> m_head; // KEY_COUNT, -1 when empty
    std::vector<int32_t> m_tail; // KEY_COUNT
    std::vector<int32_t> m_next; // one per pixel
    std::vector<uint64_t> m_used; // bit per sort key
};

// "id: N\r\nevent: message\r\ndata: DATA\r\n\r\n"
void BuildSSEEvent(uint64_t id, const std::string& data, std::string& event);
// Size in lower-case hex, CR LF, the text, CR LF.
std::string BuildChunk(const std::string& text);
