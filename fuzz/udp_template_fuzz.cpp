// libFuzzer harness for the CustomUDP packet template ("tokens"): any text compiles
// into pieces where every placeholder is empty and every constant piece is not.
#include "FuzzSupport.h"
#include "UDPTemplate.h"
#include "host/output/ChannelBuffer.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    QuietStdout(); // unknown "{" tokens are printed there
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    // The first three bytes choose the channel count, up to the whole buffer.
    const uint32_t count = (uint32_t)(data[0] | (data[1] << 8) | (data[2] << 16)) % (TAVO_MAX_CHANNELS + 1);
    const std::string tokens(reinterpret_cast<const char*>(data) + 3, size - 3);
    const UDPTemplate t = CompileUDPTemplate(tokens, count);

    std::set<uint32_t> placeholders;
    for (uint32_t i : t.dataSegments) {
        if (i >= t.buffers.size() || !t.buffers[i].empty() || !placeholders.insert(i).second) {
            fprintf(stderr, "placeholder %u is not an empty piece of its own\n", i);
            abort();
        }
    }
    for (size_t i = 0; i < t.buffers.size(); i++) {
        if (!placeholders.count((uint32_t)i) && t.buffers[i].empty()) {
            fprintf(stderr, "constant piece %zu is empty\n", i);
            abort();
        }
        // Every constant byte came from a token: no piece outgrows the template.
        if (t.buffers[i].size() > tokens.size()) {
            fprintf(stderr, "constant piece %zu is longer than the template\n", i);
            abort();
        }
    }
    return 0;
}
