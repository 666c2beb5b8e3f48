// libFuzzer harness for bridge mode's network input: any run of E1.31, Art-Net and
// DDP datagrams (and the passing of time between them) is read within each
// datagram's length, and every block handed on lies inside the channel buffer.
//
// An input is a list of records: one byte (its low two bits: 0 E1.31, 1 Art-Net,
// 2 DDP, 3 only time passing; the rest: tenths of a second passing first), a
// big-endian 16-bit length, then that many bytes of datagram.
#include "FuzzSupport.h"
#include "host/bridge/BridgeReceiver.h"
#include "host/core/Common.h"
#include "host/output/ChannelBuffer.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

bridge::Receiver* receiver = nullptr;

// Universes at the start and at the very end of the channel space, so that an
// offset or a length taken from a packet cannot pass the buffer unnoticed.
bridge::Config makeConfig() {
    const int top512 = TAVO_MAX_CHANNELS - 8 * 512 + 1;
    Json::Value j;
    Json::Value e131;
    e131["enabled"] = true;
    e131["universes"][0]["universe"] = 1;
    e131["universes"][0]["count"] = 4;
    e131["universes"][0]["startChannel"] = 1;
    e131["universes"][1]["universe"] = 63992;
    e131["universes"][1]["count"] = 8;
    e131["universes"][1]["universeSize"] = 512;
    e131["universes"][1]["startChannel"] = top512;
    j["e131"] = e131;
    Json::Value artnet;
    artnet["enabled"] = true;
    artnet["universes"][0]["universe"] = 0;
    artnet["universes"][0]["count"] = 4;
    artnet["universes"][0]["startChannel"] = 1;
    artnet["universes"][1]["universe"] = 32760;
    artnet["universes"][1]["count"] = 8;
    artnet["universes"][1]["universeSize"] = 512;
    artnet["universes"][1]["startChannel"] = top512;
    j["artnet"] = artnet;
    j["ddp"]["enabled"] = true;
    j["ddp"]["startChannel"] = TAVO_MAX_CHANNELS - 2000 + 1;
    bridge::Config config;
    std::vector<std::string> problems;
    if (!bridge::ParseConfig(j, config, problems)) {
        abort(); // the harness's own configuration must be right
    }
    return config;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    receiver = new bridge::Receiver();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    volatile uint32_t touched = 0;
    receiver->Configure(
        makeConfig(),
        [&touched](const uint8_t* block, uint32_t start, uint32_t length) {
            if ((uint64_t)start + length > TAVO_MAX_CHANNELS || (length && !block)) {
                abort();
            }
            for (uint32_t i = 0; i < length; i++) {
                touched += block[i];
            }
        },
        "fuzz");
    int64_t now = 1000000;
    size_t at = 0;
    while (at + 3 <= size) {
        const uint8_t kind = data[at];
        size_t length = ((size_t)data[at + 1] << 8) | data[at + 2];
        at += 3;
        if (length > size - at) {
            length = size - at;
        }
        now += (kind >> 2) * 100;
        // A copy of exactly the datagram's length, so a read past it is caught.
        std::vector<uint8_t> datagram(data + at, data + at + length);
        const uint8_t* bytes = datagram.empty() ? nullptr : datagram.data();
        at += length;
        switch (kind & 3) {
        case 0:
            receiver->HandleE131(bytes, datagram.size(), 0x0100007F, now);
            break;
        case 1:
            receiver->HandleArtNet(bytes, datagram.size(), 0x0100007F, now);
            break;
        case 2:
            receiver->HandleDdp(bytes, datagram.size());
            break;
        default:
            receiver->Expire(now);
            break;
        }
    }
    receiver->GetStatus();
    return 0;
}
