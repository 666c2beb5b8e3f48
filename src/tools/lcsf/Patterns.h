// Test patterns that `lcsf create` fills frames with.
#pragma once

#include <cstdint>
#include <string>

enum class Pattern {
    ramp,    // channel c of frame f = (c + f) mod 256
    chase,   // one channel at 255 per frame: channel f mod N; the rest 0
    rainbow, // RGB pixels on a colour wheel that turns over time
    random,  // seeded pseudo-random bytes, the same on every machine for a seed
    zero,    // every channel 0
};

bool parsePattern(const std::string& name, Pattern& p);

// Fills frames one after another; `random` depends on the frames before, so frames
// are asked for in order from 0.
class PatternGenerator {
public:
    PatternGenerator(Pattern pattern, uint32_t channels, uint64_t seed);
    void fill(uint32_t frame, uint8_t* data);

    // One step of the colour wheel: position 0..767 to red, green, blue.
    static void wheel(uint32_t position, uint8_t rgb[3]);
    // The generator behind `random` (splitmix64), exposed for tests and documentation.
    static uint64_t nextRandom(uint64_t& state);

private:
    Pattern m_pattern;
    uint32_t m_channels;
    uint64_t m_state;
};
