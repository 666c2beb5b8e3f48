// Big- and little-endian field access for packet codecs: fields are written and
// read byte by byte, never through a cast struct, so alignment never matters.
#pragma once

#include <cstdint>

namespace protocols {

inline void putU16BE(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}
inline void putU32BE(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}
inline void putU16LE(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
inline uint16_t getU16BE(const uint8_t* p) {
    return (uint16_t)((p[0] << 8) | p[1]);
}
inline uint32_t getU32BE(const uint8_t* p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}
inline uint16_t getU16LE(const uint8_t* p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}

} // namespace protocols
