// Little-endian field access for file headers. Fields are read byte by byte, never by
// casting packed structs: our boards are ARM and header fields are unaligned.
#pragma once

#include <cstdint>

inline uint16_t readLE16(const uint8_t* p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}
inline uint32_t readLE24(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16);
}
inline uint32_t readLE32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline uint64_t readLE64(const uint8_t* p) {
    return (uint64_t)readLE32(p) | ((uint64_t)readLE32(p + 4) << 32);
}
inline void writeLE16(uint8_t* p, uint16_t v) {
    p[0] = v & 0xFF;
    p[1] = (v >> 8) & 0xFF;
}
inline void writeLE24(uint8_t* p, uint32_t v) {
    p[0] = v & 0xFF;
    p[1] = (v >> 8) & 0xFF;
    p[2] = (v >> 16) & 0xFF;
}
inline void writeLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        p[i] = (v >> (8 * i)) & 0xFF;
    }
}
inline void writeLE64(uint8_t* p, uint64_t v) {
    writeLE32(p, (uint32_t)v);
    writeLE32(p + 4, (uint32_t)(v >> 32));
}
inline uint64_t roundTo4(uint64_t v) {
    return (v + 3) & ~(uint64_t)3;
}
