// Pixel change encoding of the preview stream.
#include "PixelChangeEncoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

const char PixelChangeEncoder::ALPHABET[65] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+/";

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

PixelChangeEncoder::PackedPixel PixelChangeEncoder::Pack(const ScreenPreviewPixel& p) {
    PackedPixel q;
    memset(&q, 0, sizeof(q));
    q.channel = p.channel;
    q.rPos = p.rPos;
    memcpy(q.fixedColor, p.fixedColor, 3);
    // Read the offsets off the colour table itself: channel k holds the value k + 1.
    ScreenPreviewPixel probe = p;
    probe.channel = 0;
    const unsigned char marks[4] = {1, 2, 3, 0}; // no white, so RGBW shows its colour order
    unsigned char c[3];
    ScreenPreviewBaseOutput::PixelColor(probe, marks, c[0], c[1], c[2]);
    q.kind = p.colorType == 11 ? FIXED : p.channelCount == 4 ? RGBW : PLAIN;
    for (int i = 0; i < 3; i++) {
        q.offset[i] = c[i] ? (uint8_t)(c[i] - 1) : 0;
        q.mask[i] = c[i] ? 0xff : 0;
    }
    q.channelsRead = q.kind == FIXED ? 0 : q.kind == RGBW ? 4 : (uint8_t)std::max(1, p.channelCount);
    return q;
}

void PixelChangeEncoder::SetLayout(const std::vector<ScreenPreviewPixel>& pixels, int y0) {
    m_pixels.clear();
    m_pixels.reserve(pixels.size());
    m_contiguous = true;
    for (const ScreenPreviewPixel& p : pixels) {
        m_pixels.push_back(Pack(p));
        m_contiguous = m_contiguous && p.gPos == p.rPos + 1 && p.bPos == p.rPos + 2;
    }
    m_gPos.clear();
    m_bPos.clear();
    if (!m_contiguous) {
        for (const ScreenPreviewPixel& p : pixels) {
            m_gPos.push_back(p.gPos);
            m_bPos.push_back(p.bPos);
        }
    }
    m_positions.clear();
    m_positions.reserve(pixels.size());
    for (const ScreenPreviewPixel& p : pixels) {
        const std::string code = PositionCode(p.x, y0 - p.y);
        Position pos;
        memcpy(pos.text, code.data(), code.size());
        pos.length = (uint8_t)code.size();
        m_positions.push_back(pos);
    }
    PlanBlocks();
    m_head.assign(KEY_COUNT, -1);
    m_tail.assign(KEY_COUNT, -1);
    m_next.assign(pixels.size(), -1);
    m_used.assign(KEY_COUNT / 64, 0);
}

void PixelChangeEncoder::PlanBlocks() {
    m_blocks.clear();
    m_blockRaw.clear();
    m_rawValid = false;
    std::vector<uint32_t> positions;
    positions.reserve(m_pixels.size() * 3);
    for (size_t i = 0; i < m_pixels.size(); i++) {
        positions.push_back(m_pixels[i].rPos);
        positions.push_back(m_contiguous ? m_pixels[i].rPos + 1 : m_gPos[i]);
        positions.push_back(m_contiguous ? m_pixels[i].rPos + 2 : m_bPos[i]);
    }
    std::sort(positions.begin(), positions.end());
    m_blockSkipping = std::adjacent_find(positions.begin(), positions.end()) == positions.end();
    if (!m_blockSkipping) {
        return;
    }
    for (size_t first = 0; first < m_pixels.size(); first += BLOCK) {
        const size_t end = std::min(m_pixels.size(), first + BLOCK);
        uint64_t lo = UINT64_MAX, hi = 0;
        for (size_t i = first; i < end; i++) {
            const PackedPixel& p = m_pixels[i];
            if (p.channelsRead) {
                lo = std::min<uint64_t>(lo, p.channel);
                hi = std::max<uint64_t>(hi, (uint64_t)p.channel + p.channelsRead);
            }
        }
        Block b;
        b.firstChannel = lo == UINT64_MAX ? 0 : (uint32_t)lo;
        b.span = lo == UINT64_MAX ? 0 : (uint32_t)(hi - lo);
        if (lo == UINT64_MAX) {
            b.span = 0; // fixed colours only: nothing to read, compared each frame at no cost
        } else if (b.span > MAX_BLOCK_SPAN) {
            b.span = 0;
        }
        b.copyAt = (uint32_t)m_blockRaw.size();
        m_blockRaw.resize(m_blockRaw.size() + b.span);
        m_blocks.push_back(b);
    }
}

template <bool CONTIGUOUS>
void PixelChangeEncoder::FindChanges(const unsigned char* channelData, unsigned char* previewBuffer,
                                     Result& result) {
    const int32_t count = (int32_t)m_pixels.size();
    if (!m_blockSkipping) {
        for (int32_t i = 0; i < count; i++) {
            ComparePixel<CONTIGUOUS>(i, channelData, previewBuffer, result);
        }
        return;
    }
    for (size_t k = 0; k < m_blocks.size(); k++) {
        const Block& b = m_blocks[k];
        if (b.span) {
            const unsigned char* now = channelData + b.firstChannel;
            unsigned char* before = m_blockRaw.data() + b.copyAt;
            if (m_rawValid && memcmp(now, before, b.span) == 0) {
                continue;
            }
            memcpy(before, now, b.span);
        }
        const int32_t end = std::min<int32_t>(count, (int32_t)(k + 1) * BLOCK);
        for (int32_t i = (int32_t)k * BLOCK; i < end; i++) {
            ComparePixel<CONTIGUOUS>(i, channelData, previewBuffer, result);
        }
    }
    m_rawValid = true;
}

template <bool CONTIGUOUS>
inline void PixelChangeEncoder::ComparePixel(int32_t i, const unsigned char* channelData,
                                             unsigned char* previewBuffer, Result& result) {
    const PackedPixel& p = m_pixels[i];
    const unsigned char* s = channelData + p.channel;
    unsigned char r, g, b;
    if (p.kind == PLAIN || (p.kind == RGBW && !s[3])) {
        r = (unsigned char)((s[p.offset[0]] & p.mask[0]) >> 2);
        g = (unsigned char)((s[p.offset[1]] & p.mask[1]) >> 2);
        b = (unsigned char)((s[p.offset[2]] & p.mask[2]) >> 2);
    } else if (p.kind == RGBW) {
        r = g = b = (unsigned char)(s[3] >> 2);
    } else {
        r = (unsigned char)(p.fixedColor[0] >> 2);
        g = (unsigned char)(p.fixedColor[1] >> 2);
        b = (unsigned char)(p.fixedColor[2] >> 2);
    }
    const uint32_t gPos = CONTIGUOUS ? p.rPos + 1 : m_gPos[i];
    const uint32_t bPos = CONTIGUOUS ? p.rPos + 2 : m_bPos[i];
    if (previewBuffer[p.rPos] == r && previewBuffer[gPos] == g && previewBuffer[bPos] == b) {
        return;
    }
    previewBuffer[p.rPos] = r;
    previewBuffer[gPos] = g;
    previewBuffer[bPos] = b;
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

PixelChangeEncoder::Result PixelChangeEncoder::EncodeChanges(const unsigned char* channelData,
                                                             unsigned char* previewBuffer, std::string& out) {
    Result result;
    if (m_contiguous) {
        FindChanges<true>(channelData, previewBuffer, result);
    } else {
        FindChanges<false>(channelData, previewBuffer, result);
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
