// E1.31 data and synchronization packets.
#include "protocols/E131.h"

#include "protocols/WireBytes.h"

#include <algorithm>
#include <cstring>

namespace protocols {
namespace e131 {

namespace {

const uint8_t ACN_ID[12] = {0x41, 0x53, 0x43, 0x2d, 0x45, 0x31, 0x2e, 0x31, 0x37, 0x00, 0x00, 0x00};

// A PDU's flags and length field: the length counts from the field itself.
void putFlagsLength(uint8_t* p, size_t length) {
    putU16BE(p, (uint16_t)(0x7000 | (length & 0x0fff)));
}

void putRootLayer(uint8_t* out, size_t packetSize, uint32_t vector, const Cid& cid) {
    putU16BE(out + 0, 0x0010);
    putU16BE(out + 2, 0x0000);
    memcpy(out + 4, ACN_ID, sizeof(ACN_ID));
    putFlagsLength(out + 16, packetSize - 16);
    putU32BE(out + 18, vector);
    memcpy(out + 22, cid.data(), cid.size());
}

bool fail(std::string* error, const char* why) {
    if (error) {
        *error = why;
    }
    return false;
}

// The PDU at `offset` must claim exactly the bytes up to `end`.
bool pduFits(const uint8_t* data, size_t offset, size_t end) {
    uint16_t fl = getU16BE(data + offset);
    return (fl & 0xf000) == 0x7000 && (size_t)(fl & 0x0fff) == end - offset;
}

} // namespace

void encodeDataHeader(uint8_t* out, const DataHeader& h, size_t slotCount) {
    size_t size = HEADER_SIZE + slotCount;
    putRootLayer(out, size, VECTOR_ROOT_DATA, h.cid);
    putFlagsLength(out + 38, size - 38);
    putU32BE(out + 40, VECTOR_FRAMING_DATA);
    memset(out + 44, 0, SOURCE_NAME_SIZE);
    memcpy(out + 44, h.sourceName.data(), std::min(h.sourceName.size(), SOURCE_NAME_SIZE - 1));
    out[108] = h.priority;
    putU16BE(out + 109, h.syncAddress);
    out[SEQUENCE_OFFSET] = h.sequence;
    out[OPTIONS_OFFSET] = h.options;
    putU16BE(out + 113, h.universe);
    putFlagsLength(out + 115, size - 115);
    out[117] = 0x02; // set property
    out[118] = 0xa1; // address and data type
    putU16BE(out + 119, 0x0000);
    putU16BE(out + 121, 0x0001);
    putU16BE(out + 123, (uint16_t)(slotCount + 1));
    out[125] = 0x00; // start code: dimmer data
}

size_t encodeData(uint8_t* out, const DataHeader& h, const uint8_t* slots, size_t slotCount) {
    if (slotCount > MAX_SLOTS) {
        return 0;
    }
    encodeDataHeader(out, h, slotCount);
    if (slotCount) {
        memcpy(out + HEADER_SIZE, slots, slotCount);
    }
    return HEADER_SIZE + slotCount;
}

size_t encodeSync(uint8_t* out, const Cid& cid, uint8_t sequence, uint16_t syncAddress) {
    putRootLayer(out, SYNC_PACKET_SIZE, VECTOR_ROOT_EXTENDED, cid);
    putFlagsLength(out + 38, SYNC_PACKET_SIZE - 38);
    putU32BE(out + 40, VECTOR_FRAMING_SYNC);
    out[44] = sequence;
    putU16BE(out + 45, syncAddress);
    out[47] = 0;
    out[48] = 0;
    return SYNC_PACKET_SIZE;
}

std::array<uint8_t, 4> multicastGroup(uint16_t universe) {
    return {239, 255, (uint8_t)(universe >> 8), (uint8_t)universe};
}

Packet decode(const uint8_t* data, size_t size, std::string* error) {
    Packet p;
    if (!data || size < 38) {
        fail(error, "shorter than an E1.31 root layer");
        return p;
    }
    if (getU16BE(data) != 0x0010 || getU16BE(data + 2) != 0x0000 || memcmp(data + 4, ACN_ID, 12) != 0) {
        fail(error, "not an ACN packet");
        return p;
    }
    if (!pduFits(data, 16, size)) {
        fail(error, "the root layer's length does not match the datagram");
        return p;
    }
    uint32_t rootVector = getU32BE(data + 18);
    memcpy(p.cid.data(), data + 22, 16);
    if (rootVector == VECTOR_ROOT_EXTENDED) {
        if (size < 44 || !pduFits(data, 38, size)) {
            fail(error, "a framing layer that does not match the datagram");
            return p;
        }
        uint32_t v = getU32BE(data + 40);
        if (v == VECTOR_FRAMING_SYNC) {
            if (size < SYNC_PACKET_SIZE) {
                fail(error, "a synchronization packet shorter than 49 bytes");
                return p;
            }
            p.sequence = data[44];
            p.syncAddress = getU16BE(data + 45);
            p.kind = PacketKind::sync;
            return p;
        }
        if (v == 0x00000002) {
            p.kind = PacketKind::discovery;
            return p;
        }
        fail(error, "an unknown extended framing vector");
        return p;
    }
    if (rootVector != VECTOR_ROOT_DATA) {
        fail(error, "an unknown root vector");
        return p;
    }
    if (size < HEADER_SIZE) {
        fail(error, "a data packet shorter than its 126-byte header");
        return p;
    }
    if (!pduFits(data, 38, size) || getU32BE(data + 40) != VECTOR_FRAMING_DATA) {
        fail(error, "a data framing layer that does not match the datagram");
        return p;
    }
    if (!pduFits(data, 115, size) || data[117] != 0x02 || data[118] != 0xa1 || getU16BE(data + 119) != 0 ||
        getU16BE(data + 121) != 1) {
        fail(error, "a DMP layer that is not a dimmer data block");
        return p;
    }
    size_t count = getU16BE(data + 123);
    if (count < 1 || count > MAX_SLOTS + 1 || HEADER_SIZE - 1 + count != size) {
        fail(error, "a property count that does not match the datagram");
        return p;
    }
    const char* name = reinterpret_cast<const char*>(data + 44);
    p.sourceName.assign(name, strnlen(name, SOURCE_NAME_SIZE));
    p.priority = data[108];
    p.syncAddress = getU16BE(data + 109);
    p.sequence = data[SEQUENCE_OFFSET];
    p.options = data[OPTIONS_OFFSET];
    p.universe = getU16BE(data + 113);
    p.startCode = data[125];
    p.slots = data + HEADER_SIZE;
    p.slotCount = count - 1;
    if (p.universe < MIN_UNIVERSE || p.universe > MAX_UNIVERSE) {
        fail(error, "a universe outside 1 to 63999");
        p.kind = PacketKind::invalid;
        return p;
    }
    p.kind = PacketKind::data;
    return p;
}

bool sequenceAccepted(uint8_t last, uint8_t received) {
    int8_t diff = (int8_t)(uint8_t)(received - last);
    return !(diff <= 0 && diff > -20);
}

} // namespace e131
} // namespace protocols
