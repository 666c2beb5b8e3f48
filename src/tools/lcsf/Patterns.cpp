// Test patterns for `lcsf create`. Each is defined by a formula simple enough to be
// checked from outside (see docs/lcsf.md), so files made with them can serve as
// known input for players and converters.
#include "Patterns.h"

#include <cstring>

bool parsePattern(const std::string& name, Pattern& p) {
    static const struct {
        const char* name;
        Pattern pattern;
    } names[] = {{"ramp", Pattern::ramp},
                 {"chase", Pattern::chase},
                 {"rainbow", Pattern::rainbow},
                 {"random", Pattern::random},
                 {"zero", Pattern::zero}};
    for (auto& n : names) {
        if (name == n.name) {
            p = n.pattern;
            return true;
        }
    }
    return false;
}

PatternGenerator::PatternGenerator(Pattern pattern, uint32_t channels, uint64_t seed)
    : m_pattern(pattern), m_channels(channels), m_state(seed) {}

uint64_t PatternGenerator::nextRandom(uint64_t& state) {
    state += 0x9E3779B97F4A7C15ULL;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

void PatternGenerator::wheel(uint32_t position, uint8_t rgb[3]) {
    position %= 768;
    uint8_t x = (uint8_t)(position % 256);
    switch (position / 256) {
    case 0:
        rgb[0] = 255 - x;
        rgb[1] = x;
        rgb[2] = 0;
        break;
    case 1:
        rgb[0] = 0;
        rgb[1] = 255 - x;
        rgb[2] = x;
        break;
    default:
        rgb[0] = x;
        rgb[1] = 0;
        rgb[2] = 255 - x;
        break;
    }
}

void PatternGenerator::fill(uint32_t frame, uint8_t* data) {
    switch (m_pattern) {
    case Pattern::ramp:
        for (uint32_t c = 0; c < m_channels; c++) {
            data[c] = (uint8_t)((c + (uint64_t)frame) & 0xFF);
        }
        break;
    case Pattern::chase:
        memset(data, 0, m_channels);
        if (m_channels) {
            data[frame % m_channels] = 255;
        }
        break;
    case Pattern::rainbow: {
        // The wheel is spread once over the pixels and turns 8 steps per frame,
        // once every 96 frames.
        memset(data, 0, m_channels);
        uint32_t pixels = m_channels / 3;
        for (uint32_t p = 0; p < pixels; p++) {
            uint32_t pos = (uint32_t)(((uint64_t)p * 768 / pixels + (uint64_t)frame * 8) % 768);
            wheel(pos, data + 3 * (uint64_t)p);
        }
        break;
    }
    case Pattern::random: {
        uint32_t c = 0;
        while (c < m_channels) {
            uint64_t r = nextRandom(m_state);
            for (int i = 0; i < 8 && c < m_channels; i++, c++) {
                data[c] = (uint8_t)(r >> (8 * i));
            }
        }
        break;
    }
    case Pattern::zero:
        memset(data, 0, m_channels);
        break;
    }
}
