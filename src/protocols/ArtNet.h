// Art-Net 4: ArtDmx, ArtSync, ArtPoll and ArtPollReply, encoded into a caller's
// buffer and decoded with every length checked. Art-Net's op codes are
// little-endian, its other 16-bit fields big-endian.
//
//   ArtDmx (18 + length bytes): "Art-Net\0", op 0x5000, version 14, sequence,
//     physical, SubUni (low byte of the port-address), Net (its high 7 bits),
//     length (even, 2 to 512), data
//   ArtSync (14): op 0x5200, version, two zero bytes
//   ArtPoll (14): op 0x2000, version, flags, diagnostics priority
//   ArtPollReply (239): op 0x2100, address, port, names, port list, ...
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace protocols {
namespace artnet {

constexpr uint16_t PORT = 6454;
constexpr uint16_t PROTOCOL_VERSION = 14;
constexpr uint16_t OP_POLL = 0x2000;
constexpr uint16_t OP_POLL_REPLY = 0x2100;
constexpr uint16_t OP_DMX = 0x5000;
constexpr uint16_t OP_SYNC = 0x5200;
constexpr size_t DMX_HEADER_SIZE = 18;
constexpr size_t MAX_DMX_LENGTH = 512;
constexpr size_t SYNC_SIZE = 14;
constexpr size_t POLL_SIZE = 14;
constexpr size_t POLL_REPLY_SIZE = 239;
constexpr uint16_t MAX_PORT_ADDRESS = 0x7fff;
constexpr size_t SEQUENCE_OFFSET = 12;

// The 15-bit port-address of a net (0-127), sub-net (0-15) and universe (0-15).
constexpr uint16_t portAddress(unsigned net, unsigned subnet, unsigned universe) {
    return (uint16_t)(((net & 0x7f) << 8) | ((subnet & 0x0f) << 4) | (universe & 0x0f));
}

// Writes an ArtDmx packet; `length` must be even and 2 to 512. Returns its size,
// 0 when the length is not allowed.
size_t encodeDmx(uint8_t* out, uint16_t portAddress, uint8_t sequence, const uint8_t* data, size_t length);
// The header alone, for a buffer whose data is written in place.
void encodeDmxHeader(uint8_t* out, uint16_t portAddress, uint8_t sequence, size_t length);
size_t encodeSync(uint8_t* out);
// `flags`: bit 1 asks nodes to reply whenever their state changes.
size_t encodePoll(uint8_t* out, uint8_t flags = 0x02, uint8_t diagPriority = 0x10);

struct PollReply {
    std::array<uint8_t, 4> address{}; // the node's IPv4 address
    uint16_t port = PORT;
    uint16_t firmware = 0;
    uint16_t oem = 0;
    uint16_t estaManufacturer = 0;
    std::string shortName; // up to 17 characters
    std::string longName;  // up to 63
    std::string nodeReport;
    uint8_t netSwitch = 0;
    uint8_t subSwitch = 0;
    // Up to four ports: their type byte and the port-addresses they output and input.
    std::vector<uint8_t> portTypes;
    std::vector<uint16_t> outputs; // for ports that can output DMX
    std::vector<uint16_t> inputs;
    uint8_t style = 0; // 0: a node
    std::array<uint8_t, 6> mac{};
    uint8_t bindIndex = 1;
};

// Writes an ArtPollReply (239 bytes) for up to four ports.
size_t encodePollReply(uint8_t* out, const PollReply& reply);

enum class PacketKind { invalid, dmx, sync, poll, pollReply, other };

struct Packet {
    PacketKind kind = PacketKind::invalid;
    uint16_t opCode = 0;
    uint8_t sequence = 0;
    uint8_t physical = 0;
    uint16_t portAddress = 0;
    const uint8_t* data = nullptr; // into the decoded buffer
    size_t length = 0;
    PollReply reply; // for pollReply
};

// Decodes a received datagram; `error` says what is wrong when the kind is invalid.
// Op codes this codec does not know are kind other.
Packet decode(const uint8_t* data, size_t size, std::string* error = nullptr);

} // namespace artnet
} // namespace protocols
