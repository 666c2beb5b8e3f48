// Pixel change encoding of the preview stream.
#include "PixelChangeEncoder.h"

#include <cstdio>
#include <cstring>

const char PixelChangeEncoder::ALPHABET[65] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+/";

namespace {

// The alphabet in byte order: '+' and '/' sort before the digits. A colour's sort
// key is built from these ranks, so ascending keys give ascending colour-key text.
const char SORTED_ALPHABET[65] = "+/0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

inline uint32_t rankOf(uint32_t v6) {
    return v6 >= 62 ? v6 - 62 : v6 + 2;
}

} // namespace

std::string PixelChangeEncoder::PositionCode(int x, int yFlipped) {
    char buf[6];
    if (x <= 4094) {
        buf[0] = ALPHABET[(x >> 6) & 63];
        buf[1] = ALPHABET[x & 63];
        buf[2] = ALPHABET[(yFlipped >> 6) & 63];
        buf[3] = ALPHABET[yFlipped & 63];
        return std::string(buf, 4);
    }
    buf[0] = ALPHABET[(x >> 12) & 63];
    buf[1] = ALPHABET[(x >> 6) & 63];
    buf[2] = ALPHABET[x & 63];
    buf[3] = ALPHABET[(yFlipped >> 12) & 63];
    buf[4] = ALPHABET[(yFlipped >> 6) & 63];
    buf[5] = ALPHABET[yFlipped & 63];
    return std::string(buf, 6);
}

std::string PixelChangeEncoder::ColorKey(int r6, int g6, int b6) {
    const char key[3] = {ALPHABET[r6 & 63], ALPHABET[g6 & 63], ALPHABET[b6 & 63]};
    return std::string(key, 3);
}

void PixelChangeEncoder::SetLayout(const std::vector<ScreenPreviewPixel>& pixels, int y0) {
    m_pixels = pixels;
    m_positions.clear();
    m_positions.reserve(pixels.size());
    for (const ScreenPreviewPixel& p : pixels) {
        const std::string code = PositionCode(p.x, y0 - p.y);
        Position pos;
        memcpy(pos.text, code.data(), code.size());
        pos.length = (uint8_t)code.size();
        m_positions.push_back(pos);
    }
    m_head.assign(KEY_COUNT, -1);
    m_tail.assign(KEY_COUNT, -1);
    m_next.assign(pixels.size(), -1);
    m_used.assign(KEY_COUNT / 64, 0);
}

PixelChangeEncoder::Result PixelChangeEncoder::EncodeChanges(const unsigned char* channelData,
                                                             unsigned char* previewBuffer, std::string& out) {
    Result result;
    const int32_t count = (int32_t)m_pixels.size();
    for (int32_t i = 0; i < count; i++) {
        const ScreenPreviewPixel& p = m_pixels[i];
        unsigned char r, g, b;
        ScreenPreviewBaseOutput::PixelColor(p, channelData, r, g, b);
        r >>= 2;
        g >>= 2;
        b >>= 2;
        if (previewBuffer[p.rPos] == r && previewBuffer[p.gPos] == g && previewBuffer[p.bPos] == b) {
            continue;
        }
        previewBuffer[p.rPos] = r;
        previewBuffer[p.gPos] = g;
        previewBuffer[p.bPos] = b;
        const uint32_t key = (rankOf(r) << 12) | (rankOf(g) << 6) | rankOf(b);
        if (m_head[key] < 0) {
            m_head[key] = i;
            m_used[key >> 6] |= 1ull << (key & 63);
            result.colors++;
        } else {
            m_next[m_tail[key]] = i;
        }
        m_tail[key] = i;
        m_next[i] = -1;
        result.pixelsChanged++;
    }
    if (!result.pixelsChanged) {
        return result;
    }

    // Room for the worst case: every position 6 characters plus ';', every group "key:" plus '|'.
    const size_t start = out.size();
    out.resize(start + (size_t)result.pixelsChanged * 7 + (size_t)result.colors * 5);
    char* w = &out[start];
    bool firstGroup = true;
    for (size_t word = 0; word < m_used.size(); word++) {
        uint64_t bits = m_used[word];
        if (!bits) {
            continue;
        }
        m_used[word] = 0;
        while (bits) {
            const uint32_t key = (uint32_t)(word * 64 + __builtin_ctzll(bits));
            bits &= bits - 1;
            if (!firstGroup) {
                *w++ = '|';
            }
            firstGroup = false;
            *w++ = SORTED_ALPHABET[(key >> 12) & 63];
            *w++ = SORTED_ALPHABET[(key >> 6) & 63];
            *w++ = SORTED_ALPHABET[key & 63];
            *w++ = ':';
            bool firstPos = true;
            for (int32_t i = m_head[key]; i >= 0; i = m_next[i]) {
                if (!firstPos) {
                    *w++ = ';';
                }
                firstPos = false;
                const Position& pos = m_positions[i];
                memcpy(w, pos.text, 6); // the room holds 6 + ';' per pixel
                w += pos.length;
            }
            m_head[key] = -1;
        }
    }
    out.resize((size_t)(w - out.data()));
    return result;
}

void BuildSSEEvent(uint64_t id, const std::string& data, std::string& event) {
    event.clear();
    event.reserve(data.size() + 48);
    event += "id: ";
    event += std::to_string(id);
    event += "\r\nevent: message\r\ndata: ";
    event += data;
    event += "\r\n\r\n";
}

std::string BuildChunk(const std::string& text) {
    char head[24];
    int n = snprintf(head, sizeof(head), "%zx\r\n", text.size());
    std::string chunk;
    chunk.reserve((size_t)n + text.size() + 2);
    chunk.append(head, (size_t)n);
    chunk += text;
    chunk += "\r\n";
    return chunk;
}
