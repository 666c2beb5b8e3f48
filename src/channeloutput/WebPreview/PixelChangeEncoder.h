// The preview stream's text code: changed pixels grouped by 6-bit colour, and the
// server-sent event and HTTP chunk that carry them. No sockets, no threads.
#pragma once

#include "host/output/ScreenPreviewBaseOutput.h"

#include <cstdint>
#include <string>
#include <vector>

class PixelChangeEncoder {
public:
    // "0-9A-Za-z+/", in this order (not the Base64 order).
    static const char ALPHABET[65];

    // Takes what it needs of the pixel records (a copy, so a rebuilt pixel map cannot
    // leave it dangling) and prepares each position code; call again when the map changes.
    void SetLayout(const std::vector<ScreenPreviewPixel>& pixels, int y0);

    struct Result {
        int pixelsChanged = 0;
        int colors = 0;
    };
    // Compares each pixel's 6-bit colour with the one stored in `previewBuffer`,
    // stores the new ones and appends the data of the changed pixels to `out`
    // ("key:pos;pos|key:pos", groups in ascending byte order of their keys).
    // `channelData` points at the output's first channel. The encoder takes itself
    // to be the only writer of the preview buffer: call Invalidate after changing it.
    Result EncodeChanges(const unsigned char* channelData, unsigned char* previewBuffer, std::string& out);
    // The preview buffer was changed from outside (a new browser zeroed it): the next
    // frame compares every pixel again.
    void Invalidate() { m_rawValid = false; }

    // 4 characters for x <= 4094, 6 otherwise; yFlipped is Y0 - y.
    static std::string PositionCode(int x, int yFlipped);
    static std::string ColorKey(int r6, int g6, int b6);

private:
    template <bool CONTIGUOUS>
    void FindChanges(const unsigned char* channelData, unsigned char* previewBuffer, Result& result);
    template <bool CONTIGUOUS>
    inline void ComparePixel(int32_t i, const unsigned char* channelData, unsigned char* previewBuffer,
                             Result& result);
    void PlanBlocks();

    struct Position {
        char text[6];
        uint8_t length;
    };
    // What the per-frame scan needs of a pixel record, small and without the colour
    // table's branches: red, green and blue are the bytes at `offset` from `channel`,
    // masked (a single-channel pixel lights only some components).
    enum Kind : uint8_t { PLAIN, RGBW, FIXED };
    struct PackedPixel {
        uint32_t channel;
        uint32_t rPos;
        Kind kind;
        uint8_t offset[3];
        uint8_t mask[3];
        uint8_t fixedColor[3];
        uint8_t channelsRead; // from `channel`; 0 for a fixed colour
    };
    static PackedPixel Pack(const ScreenPreviewPixel& p);
    std::vector<PackedPixel> m_pixels;
    // Green and blue positions, kept only when they are not the two bytes after red.
    bool m_contiguous = true;
    std::vector<uint32_t> m_gPos;
    std::vector<uint32_t> m_bPos;
    std::vector<Position> m_positions;

    // Most of a show's pixels keep their channel values from one frame to the next.
    // Pixels are taken in blocks; a block whose channel bytes equal those of the
    // last frame is skipped whole, since its stored colours already match them.
    // Only when no two pixels share a preview position (else one pixel's colour
    // stored there says nothing about the other's).
    static constexpr int32_t BLOCK = 16;
    static constexpr uint32_t MAX_BLOCK_SPAN = 256; // bytes; wider blocks are always compared
    struct Block {
        uint32_t firstChannel;
        uint32_t span;   // 0: compare always
        uint32_t copyAt; // into m_blockRaw
    };
    bool m_blockSkipping = false;
    bool m_rawValid = false;
    std::vector<Block> m_blocks;
    std::vector<unsigned char> m_blockRaw; // each block's channel bytes as last compared

    // Per-frame grouping: one list of pixel indexes per colour, found through an
    // 18-bit sort key whose numeric order is the byte order of the colour key.
    static constexpr int KEY_COUNT = 1 << 18;
    std::vector<int32_t> m_head;  // KEY_COUNT, -1 when empty
    std::vector<int32_t> m_tail;  // KEY_COUNT
    std::vector<int32_t> m_next;  // one per pixel
    std::vector<uint64_t> m_used; // bit per sort key
};

// "id: N\r\nevent: message\r\ndata: DATA\r\n\r\n"
void BuildSSEEvent(uint64_t id, const std::string& data, std::string& event);
// Size in lower-case hex, CR LF, the text, CR LF.
std::string BuildChunk(const std::string& text);
