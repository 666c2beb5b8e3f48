// The sync packets' codec.
#include "Sync.h"

#include "WireBytes.h"

#include <cstring>

namespace protocols {
namespace sync {

namespace {

const uint8_t MAGIC[4] = {'T', 'V', 'S', 'Y'};

bool putText(uint8_t* out, size_t& at, const std::string& text) {
    if (text.size() > 255 || at + 1 + text.size() > MAX_PACKET_SIZE) {
        return false;
    }
    out[at++] = (uint8_t)text.size();
    memcpy(out + at, text.data(), text.size());
    at += text.size();
    return true;
}

// Reads a length-prefixed text at `at`; false when it runs past `size`.
bool getText(const uint8_t* data, size_t size, size_t& at, std::string& text) {
    if (at >= size || data[at] > size - at - 1) {
        return false;
    }
    size_t n = data[at++];
    text.assign(reinterpret_cast<const char*>(data + at), n);
    at += n;
    return true;
}

bool hasPosition(Type t) {
    return t == Type::OPEN || t == Type::START || t == Type::POSITION || t == Type::STOP;
}

} // namespace

size_t encode(uint8_t* out, const Packet& p) {
    memcpy(out, MAGIC, 4);
    out[4] = VERSION;
    out[5] = (uint8_t)p.type;
    putU16BE(out + 6, p.sequence);
    putU32BE(out + 8, p.sender);
    size_t at = HEADER_SIZE;
    if (hasPosition(p.type)) {
        putU32BE(out + at, p.frame);
        putU32BE(out + at + 4, p.elapsedMs);
        putU16BE(out + at + 8, p.stepMs);
        at += 10;
        if (!putText(out, at, p.name)) {
            return 0;
        }
    } else if (p.type == Type::PRESENCE) {
        out[at++] = (uint8_t)p.mode;
        putU32BE(out + at, (uint32_t)p.offsetUs);
        at += 4;
        if (!putText(out, at, p.host) || !putText(out, at, p.version) || !putText(out, at, p.name)) {
            return 0;
        }
    } else if (p.type == Type::PLUGIN) {
        if (p.data.size() > MAX_PACKET_SIZE - HEADER_SIZE - 2) {
            return 0;
        }
        putU16BE(out + at, (uint16_t)p.data.size());
        if (!p.data.empty()) {
            memcpy(out + at + 2, p.data.data(), p.data.size());
        }
        at += 2 + p.data.size();
    }
    return at;
}

Packet decode(const uint8_t* data, size_t size, std::string* error) {
    Packet p;
    auto fail = [&](const char* why) {
        if (error) {
            *error = why;
        }
        p.valid = false;
        return p;
    };
    if (!data || size < HEADER_SIZE || memcmp(data, MAGIC, 4) != 0) {
        return fail("not a sync packet");
    }
    if (data[4] != VERSION) {
        return fail("a sync packet of another version");
    }
    uint8_t type = data[5];
    if (type < (uint8_t)Type::OPEN || type > (uint8_t)Type::PLUGIN) {
        return fail("an unknown sync packet type");
    }
    p.type = (Type)type;
    p.sequence = getU16BE(data + 6);
    p.sender = getU32BE(data + 8);
    size_t at = HEADER_SIZE;
    if (hasPosition(p.type)) {
        if (size - at < 10) {
            return fail("a sync packet cut short");
        }
        p.frame = getU32BE(data + at);
        p.elapsedMs = getU32BE(data + at + 4);
        p.stepMs = getU16BE(data + at + 8);
        at += 10;
        if (!getText(data, size, at, p.name)) {
            return fail("a sync packet whose name runs past its end");
        }
    } else if (p.type == Type::PRESENCE) {
        if (size - at < 5 || data[at] > (uint8_t)Mode::FOLLOWER) {
            return fail("a presence packet without a known mode");
        }
        p.mode = (Mode)data[at++];
        p.offsetUs = (int32_t)getU32BE(data + at);
        at += 4;
        if (!getText(data, size, at, p.host) || !getText(data, size, at, p.version) ||
            !getText(data, size, at, p.name)) {
            return fail("a presence packet whose texts run past its end");
        }
    } else if (p.type == Type::PLUGIN) {
        if (size - at < 2 || getU16BE(data + at) > size - at - 2) {
            return fail("a plug-in sync packet whose data runs past its end");
        }
        size_t n = getU16BE(data + at);
        p.data.assign(data + at + 2, data + at + 2 + n);
    }
    p.valid = true;
    return p;
}

} // namespace sync
} // namespace protocols
