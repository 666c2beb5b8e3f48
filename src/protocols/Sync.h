// Our own packets for many boards playing one show: a leader tells followers what
// it opens, starts, stops and blanks, where it is in the show, and that it exists.
// Layout (docs/sync.md), all numbers big-endian:
//
//   0  "TVSY"            magic
//   4  version           1
//   5  type              OPEN 1, START 2, POSITION 3, STOP 4, BLANK 5, PRESENCE 6, PLUGIN 7
//   6  sequence number   counts every packet of a sender, modulo 65536 (2 bytes)
//   8  sender            a board's random id, new at each start (4 bytes)
//  12  body
//
//   OPEN, START, POSITION, STOP:  frame (4), elapsed ms (4), step ms (2),
//                                 name length (1), name (sequence file name)
//   BLANK:                        nothing
//   PRESENCE:                     mode (1: 0 off, 1 leader, 2 follower), a follower's
//                                 offset from its leader in us (4, signed), host length
//                                 (1), host name, version length (1), version, name
//                                 length (1), the sequence playing
//   PLUGIN:                       length (2), bytes (for the plug-ins' multiSyncData)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace protocols {
namespace sync {

constexpr uint16_t PORT = 32320;
constexpr const char* GROUP = "239.255.50.61";
constexpr uint8_t VERSION = 1;
constexpr size_t HEADER_SIZE = 12;
constexpr size_t MAX_PACKET_SIZE = 1024;

enum class Type : uint8_t {
    OPEN = 1,
    START = 2,
    POSITION = 3,
    STOP = 4,
    BLANK = 5,
    PRESENCE = 6,
    PLUGIN = 7
};
enum class Mode : uint8_t { OFF = 0, LEADER = 1, FOLLOWER = 2 };

struct Packet {
    bool valid = false;
    Type type = Type::BLANK;
    uint16_t sequence = 0;
    uint32_t sender = 0;
    // OPEN, START, POSITION, STOP
    std::string name;
    uint32_t frame = 0;
    uint32_t elapsedMs = 0;
    uint16_t stepMs = 0;
    // PRESENCE (and `name`)
    Mode mode = Mode::OFF;
    int32_t offsetUs = 0;
    std::string host;
    std::string version;
    // PLUGIN
    std::vector<uint8_t> data;
};

// Writes `p` (its `valid` is ignored) into `out` (MAX_PACKET_SIZE bytes); returns
// the size, 0 when a text or the data is too long for the layout.
size_t encode(uint8_t* out, const Packet& p);
// Reads a received datagram; `error` says why when the result is not valid.
Packet decode(const uint8_t* data, size_t size, std::string* error = nullptr);

} // namespace sync
} // namespace protocols
