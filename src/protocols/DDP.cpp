// DDP packets.
#include "protocols/DDP.h"

#include "protocols/WireBytes.h"

namespace protocols {
namespace ddp {

void encodeHeader(uint8_t* out, const Header& h) {
    out[0] = h.flags;
    out[1] = (uint8_t)(h.sequence & 0x0f);
    out[2] = h.dataType;
    out[3] = h.destination;
    putU32BE(out + 4, h.offset);
    putU16BE(out + 8, h.length);
}

Packet decode(const uint8_t* data, size_t size, std::string* error) {
    Packet p;
    if (!data || size < HEADER_SIZE) {
        if (error) {
            *error = "shorter than a DDP header";
        }
        return p;
    }
    if ((data[0] & 0xc0) != FLAG_VERSION_1) {
        if (error) {
            *error = "not DDP version 1";
        }
        return p;
    }
    p.header.flags = data[0];
    p.header.sequence = data[1] & 0x0f;
    p.header.dataType = data[2];
    p.header.destination = data[3];
    p.header.offset = getU32BE(data + 4);
    p.header.length = getU16BE(data + 8);
    size_t start = HEADER_SIZE + ((data[0] & FLAG_TIME) ? 4 : 0);
    if (start > size || p.header.length > size - start) {
        if (error) {
            *error = "a data length that does not fit the datagram";
        }
        return p;
    }
    p.data = data + start;
    p.length = p.header.length;
    p.valid = true;
    return p;
}

} // namespace ddp
} // namespace protocols
