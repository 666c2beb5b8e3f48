// Art-Net packets.
#include "protocols/ArtNet.h"

#include "protocols/WireBytes.h"

#include <algorithm>
#include <cstring>

namespace protocols {
namespace artnet {

namespace {

const uint8_t ID[8] = {'A', 'r', 't', '-', 'N', 'e', 't', 0};

void putHeader(uint8_t* out, uint16_t op) {
    memcpy(out, ID, sizeof(ID));
    putU16LE(out + 8, op);
    putU16BE(out + 10, PROTOCOL_VERSION);
}

void putText(uint8_t* out, size_t field, const std::string& text) {
    memset(out, 0, field);
    memcpy(out, text.data(), std::min(text.size(), field - 1));
}

std::string getText(const uint8_t* p, size_t field) {
    const char* s = reinterpret_cast<const char*>(p);
    return std::string(s, strnlen(s, field));
}

Packet invalid(std::string* error, const char* why) {
    if (error) {
        *error = why;
    }
    return Packet();
}

} // namespace

void encodeDmxHeader(uint8_t* out, uint16_t port, uint8_t sequence, size_t length) {
    putHeader(out, OP_DMX);
    out[SEQUENCE_OFFSET] = sequence;
    out[13] = 0;
    out[14] = (uint8_t)(port & 0xff);
    out[15] = (uint8_t)((port >> 8) & 0x7f);
    putU16BE(out + 16, (uint16_t)length);
}

size_t encodeDmx(uint8_t* out, uint16_t port, uint8_t sequence, const uint8_t* data, size_t length) {
    if (length < 2 || length > MAX_DMX_LENGTH || (length & 1) || port > MAX_PORT_ADDRESS) {
        return 0;
    }
    encodeDmxHeader(out, port, sequence, length);
    memcpy(out + DMX_HEADER_SIZE, data, length);
    return DMX_HEADER_SIZE + length;
}

size_t encodeSync(uint8_t* out) {
    putHeader(out, OP_SYNC);
    out[12] = 0;
    out[13] = 0;
    return SYNC_SIZE;
}

size_t encodePoll(uint8_t* out, uint8_t flags, uint8_t diagPriority) {
    putHeader(out, OP_POLL);
    out[12] = flags;
    out[13] = diagPriority;
    return POLL_SIZE;
}

size_t encodePollReply(uint8_t* out, const PollReply& r) {
    memset(out, 0, POLL_REPLY_SIZE);
    memcpy(out, ID, sizeof(ID));
    putU16LE(out + 8, OP_POLL_REPLY);
    memcpy(out + 10, r.address.data(), 4);
    putU16LE(out + 14, r.port);
    putU16BE(out + 16, r.firmware);
    out[18] = r.netSwitch;
    out[19] = r.subSwitch;
    putU16BE(out + 20, r.oem);
    out[23] = 0xd0; // status: indicators normal, addresses set from the network
    putU16LE(out + 24, r.estaManufacturer);
    putText(out + 26, 18, r.shortName);
    putText(out + 44, 64, r.longName);
    putText(out + 108, 64, r.nodeReport);
    size_t ports =
        std::min<size_t>(4, std::max(r.portTypes.size(), std::max(r.outputs.size(), r.inputs.size())));
    putU16BE(out + 172, (uint16_t)ports);
    for (size_t i = 0; i < ports; i++) {
        uint8_t type = i < r.portTypes.size() ? r.portTypes[i] : 0;
        if (i < r.outputs.size()) {
            type |= 0x80;
            out[182 + i] = 0x80; // data is being output
            out[190 + i] = (uint8_t)(r.outputs[i] & 0x0f);
        }
        if (i < r.inputs.size()) {
            type |= 0x40;
            out[178 + i] = 0x80;
            out[186 + i] = (uint8_t)(r.inputs[i] & 0x0f);
        }
        out[174 + i] = type;
    }
    out[200] = r.style;
    memcpy(out + 201, r.mac.data(), 6);
    memcpy(out + 207, r.address.data(), 4);
    out[211] = r.bindIndex;
    out[212] = 0x08; // status 2: 15-bit port-addresses
    return POLL_REPLY_SIZE;
}

Packet decode(const uint8_t* data, size_t size, std::string* error) {
    if (!data || size < 12 || memcmp(data, ID, sizeof(ID)) != 0) {
        return invalid(error, "not an Art-Net packet");
    }
    Packet p;
    p.opCode = getU16LE(data + 8);
    switch (p.opCode) {
    case OP_DMX: {
        if (size < DMX_HEADER_SIZE) {
            return invalid(error, "an ArtDmx shorter than its 18-byte header");
        }
        size_t length = getU16BE(data + 16);
        if (length < 1 || length > MAX_DMX_LENGTH || DMX_HEADER_SIZE + length > size) {
            return invalid(error, "an ArtDmx length that does not fit the datagram");
        }
        p.kind = PacketKind::dmx;
        p.sequence = data[12];
        p.physical = data[13];
        p.portAddress = (uint16_t)(((data[15] & 0x7f) << 8) | data[14]);
        p.data = data + DMX_HEADER_SIZE;
        p.length = length;
        return p;
    }
    case OP_SYNC:
        if (size < SYNC_SIZE) {
            return invalid(error, "an ArtSync shorter than 14 bytes");
        }
        p.kind = PacketKind::sync;
        return p;
    case OP_POLL:
        if (size < POLL_SIZE) {
            return invalid(error, "an ArtPoll shorter than 14 bytes");
        }
        p.kind = PacketKind::poll;
        return p;
    case OP_POLL_REPLY: {
        // Nodes of older versions send a few bytes less; everything read here lies
        // in the first 213.
        if (size < 213) {
            return invalid(error, "an ArtPollReply shorter than 213 bytes");
        }
        PollReply& r = p.reply;
        memcpy(r.address.data(), data + 10, 4);
        r.port = getU16LE(data + 14);
        r.firmware = getU16BE(data + 16);
        r.netSwitch = data[18] & 0x7f;
        r.subSwitch = data[19] & 0x0f;
        r.oem = getU16BE(data + 20);
        r.estaManufacturer = getU16LE(data + 24);
        r.shortName = getText(data + 26, 18);
        r.longName = getText(data + 44, 64);
        r.nodeReport = getText(data + 108, 64);
        size_t ports = std::min<size_t>(4, getU16BE(data + 172));
        for (size_t i = 0; i < ports; i++) {
            uint8_t type = data[174 + i];
            r.portTypes.push_back(type);
            uint16_t base = (uint16_t)((r.netSwitch << 8) | (r.subSwitch << 4));
            if (type & 0x80) {
                r.outputs.push_back((uint16_t)(base | (data[190 + i] & 0x0f)));
            }
            if (type & 0x40) {
                r.inputs.push_back((uint16_t)(base | (data[186 + i] & 0x0f)));
            }
        }
        r.style = data[200];
        memcpy(r.mac.data(), data + 201, 6);
        r.bindIndex = data[211];
        p.kind = PacketKind::pollReply;
        return p;
    }
    default:
        p.kind = PacketKind::other;
        return p;
    }
}

} // namespace artnet
} // namespace protocols
