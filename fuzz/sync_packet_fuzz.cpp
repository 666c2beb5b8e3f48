// libFuzzer harness for the sync packets other boards send: any datagram is either
// refused or read within its length, and what is read encodes back to a packet
// that reads the same.
#include "FuzzSupport.h"
#include "protocols/Sync.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the datagram's length, so a read past it is caught.
    std::vector<uint8_t> datagram(data, data + size);
    protocols::sync::Packet p = protocols::sync::decode(datagram.empty() ? nullptr : datagram.data(), size);
    if (!p.valid) {
        return 0;
    }
    uint8_t out[protocols::sync::MAX_PACKET_SIZE];
    size_t n = protocols::sync::encode(out, p);
    if (n == 0) {
        return 0; // a packet too long to send again, not a fault
    }
    protocols::sync::Packet again = protocols::sync::decode(out, n);
    if (!again.valid || again.type != p.type || again.name != p.name || again.frame != p.frame ||
        again.host != p.host || again.data != p.data || again.offsetUs != p.offsetUs) {
        abort();
    }
    return 0;
}
