// DDP (Distributed Display Protocol): a 10-byte header and pixel data at a byte
// offset, a frame split over packets with PUSH on the last.
//
//   0  flags: version 1 (0x40), PUSH 0x01, QUERY 0x02, REPLY 0x04, STORAGE 0x08,
//      TIME 0x10 (a 4-byte timecode follows the header)
//   1  sequence number, low 4 bits (1 to 15; 0: not used)
//   2  data type (0x0B: RGB, 8 bits per channel)
//   3  destination id (1: the default output device)
//   4  data offset in bytes, 32-bit big-endian
//   8  data length, 16-bit big-endian
//   10 data
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace protocols {
namespace ddp {

constexpr uint16_t PORT = 4048;
constexpr size_t HEADER_SIZE = 10;
// 480 RGB pixels: most receivers take at least this, and it stays under an
// Ethernet frame with the IP and UDP headers.
constexpr size_t MAX_DATA = 1440;
constexpr uint8_t FLAG_VERSION_1 = 0x40;
constexpr uint8_t FLAG_PUSH = 0x01;
constexpr uint8_t FLAG_QUERY = 0x02;
constexpr uint8_t FLAG_REPLY = 0x04;
constexpr uint8_t FLAG_STORAGE = 0x08;
constexpr uint8_t FLAG_TIME = 0x10;
constexpr uint8_t TYPE_RGB8 = 0x0B;
constexpr uint8_t DEFAULT_DESTINATION = 1;

struct Header {
    uint8_t flags = FLAG_VERSION_1;
    uint8_t sequence = 0; // 1 to 15
    uint8_t dataType = TYPE_RGB8;
    uint8_t destination = DEFAULT_DESTINATION;
    uint32_t offset = 0;
    uint16_t length = 0;
};

void encodeHeader(uint8_t* out, const Header& header);

struct Packet {
    bool valid = false;
    Header header;
    const uint8_t* data = nullptr; // into the decoded buffer
    size_t length = 0;
    bool push() const { return (header.flags & FLAG_PUSH) != 0; }
};

// Decodes a received datagram: version 1, a length that fits the datagram (and
// the timecode when TIME is set). `error` says what is wrong when not valid.
Packet decode(const uint8_t* data, size_t size, std::string* error = nullptr);

// The sequence number after `s`: 1 to 15, wrapping past 15 to 1.
constexpr uint8_t nextSequence(uint8_t s) {
    return (uint8_t)(s >= 15 ? 1 : s + 1);
}

} // namespace ddp
} // namespace protocols
