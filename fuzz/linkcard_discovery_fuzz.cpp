// libFuzzer harness for the receiver cards' discovery answers, which come from the
// network: any frame is either refused or read within its length.
#include "FuzzSupport.h"
#include "LinkCardProtocol.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the frame's length, so a read past it is caught.
    std::vector<uint8_t> frame(data, data + size);
    ReceiverInfo info;
    linkcard::ParseDiscoveryResponse(frame.empty() ? nullptr : frame.data(), frame.size(), info);
    return 0;
}
