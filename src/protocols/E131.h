// E1.31 (streaming DMX over ACN, ANSI E1.31-2018): data and universe
// synchronization packets, encoded into a caller's buffer and decoded with every
// length and vector checked.
//
//   data packet (126 + slots bytes)            sync packet (49 bytes)
//   0   root layer: preamble, ACN id,          0   root layer (vector 8)
//       flags+length, vector 4, CID (16)       38  framing: flags+length, vector 1,
//   38  framing: flags+length, vector 2,           sequence, sync address, reserved
//       source name (64), priority, sync
//       address, sequence, options, universe
//   115 DMP: flags+length, 0x02, 0xa1, first
//       address 0, increment 1, count, start
//       code, slots
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace protocols {
namespace e131 {

constexpr uint16_t PORT = 5568;
constexpr size_t HEADER_SIZE = 126; // a data packet up to and including its start code
constexpr size_t MAX_SLOTS = 512;
constexpr size_t MAX_PACKET_SIZE = HEADER_SIZE + MAX_SLOTS;
constexpr size_t SYNC_PACKET_SIZE = 49;
constexpr size_t SOURCE_NAME_SIZE = 64;
constexpr uint16_t MIN_UNIVERSE = 1;
constexpr uint16_t MAX_UNIVERSE = 63999;
constexpr uint8_t MAX_PRIORITY = 200;

// Framing-layer option bits.
constexpr uint8_t OPTION_PREVIEW = 0x80;
constexpr uint8_t OPTION_STREAM_TERMINATED = 0x40;
constexpr uint8_t OPTION_FORCE_SYNC = 0x20;

constexpr uint32_t VECTOR_ROOT_DATA = 0x00000004;
constexpr uint32_t VECTOR_ROOT_EXTENDED = 0x00000008;
constexpr uint32_t VECTOR_FRAMING_DATA = 0x00000002;
constexpr uint32_t VECTOR_FRAMING_SYNC = 0x00000001;

using Cid = std::array<uint8_t, 16>;

struct DataHeader {
    Cid cid{};
    std::string sourceName; // cut to 63 bytes on the wire
    uint8_t priority = 100;
    uint16_t syncAddress = 0; // 0: not synchronized
    uint8_t sequence = 0;
    uint8_t options = 0;
    uint16_t universe = 1;
};

// Writes a data packet of `slotCount` slots (at most 512) after start code 0 into
// `out` (at least HEADER_SIZE + slotCount bytes); returns its size, 0 when the
// slot count is out of range.
size_t encodeData(uint8_t* out, const DataHeader& header, const uint8_t* slots, size_t slotCount);
// Writes the header only (the slots follow it, written by the caller or already
// in place): the packet for `slotCount` slots stays valid.
void encodeDataHeader(uint8_t* out, const DataHeader& header, size_t slotCount);
// The sequence byte of a packet made by encodeData, for a buffer reused per frame.
constexpr size_t SEQUENCE_OFFSET = 111;
constexpr size_t OPTIONS_OFFSET = 112;

// Writes a synchronization packet (49 bytes).
size_t encodeSync(uint8_t* out, const Cid& cid, uint8_t sequence, uint16_t syncAddress);

// The multicast group of a universe: 239.255.hi.lo, as four octets.
std::array<uint8_t, 4> multicastGroup(uint16_t universe);

enum class PacketKind { invalid, data, sync, discovery };

struct Packet {
    PacketKind kind = PacketKind::invalid;
    Cid cid{};
    std::string sourceName;
    uint8_t priority = 0;
    uint16_t syncAddress = 0; // data: its sync address; sync: the address synchronized
    uint8_t sequence = 0;
    uint8_t options = 0;
    uint16_t universe = 0;
    uint8_t startCode = 0;
    const uint8_t* slots = nullptr; // into the decoded buffer
    size_t slotCount = 0;
};

// Decodes a received datagram; `error` says what is wrong when the result's kind
// is invalid. Universe discovery packets are recognised but not parsed.
Packet decode(const uint8_t* data, size_t size, std::string* error = nullptr);

// True when a packet of sequence `received` is to be taken after `last`: the
// standard's window drops packets up to 19 behind (a late or duplicated packet),
// and takes anything else (a sender that restarted).
bool sequenceAccepted(uint8_t last, uint8_t received);

} // namespace e131
} // namespace protocols
