// libFuzzer harness for channeloutputs.json and the CustomUDP template: arbitrary
// bytes are checked as the output configuration, every output that passes becomes
// a CustomUDP data object, and each queued datagram must lie inside the channel buffer.
#include "CustomUDPOutput.h"
#include "host/core/Log.h"
#include "OutputConfig.h"
#include "UDPTemplate.h"
#include "host/core/Warnings.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> g_channelData(TAVO_CHANNEL_BUFFER_SIZE);

void checkInside(const UDPOutputMessages& msgs) {
    const unsigned char* begin = g_channelData.data();
    const unsigned char* end = begin + TAVO_MAX_CHANNELS;
    for (const auto& grp : msgs.groups()) {
        for (const struct mmsghdr& m : grp.second) {
            for (size_t i = 0; i < m.msg_hdr.msg_iovlen; i++) {
                const unsigned char* p = static_cast<const unsigned char*>(m.msg_hdr.msg_iov[i].iov_base);
                size_t len = m.msg_hdr.msg_iov[i].iov_len;
                bool intoBuffer = p >= begin && p <= end + 8;
                if (intoBuffer && len > (size_t)(end - p)) {
                    fprintf(stderr, "datagram piece outside the channel buffer\n");
                    abort();
                }
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The data object prints its address; keep the fuzzer's output readable.
    if (!freopen("/dev/null", "w", stdout)) {
        return 0;
    }
    TavoLogger::INSTANCE.setStderr(false);
    for (LogChannel* c : TavoLogger::INSTANCE.channels()) {
        c->setLevel(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);

    // The template alone, with a channel count taken from the input.
    uint32_t n = size >= 3 ? (uint32_t)(data[0] | (data[1] << 8) | (data[2] << 16)) : 0;
    CompileUDPTemplate(text, n);

    OutputConfig config;
    config.Parse(text, "fuzz.json", {"CustomUDP"});
    for (const ConfiguredOutput& o : config.GetOutputs()) {
        if (o.startChannel + (uint64_t)o.channelCount > TAVO_MAX_CHANNELS) {
            fprintf(stderr, "accepted an output reaching past the channel buffer\n");
            abort();
        }
        Json::Value c = o.config;
        c.removeMember("type");
        c["address"] = "127.0.0.1"; // never ask a name server from here
        CustomUDPOutputData d(c);
        UDPOutputMessages msgs;
        d.PrepareData(g_channelData.data(), msgs);
        checkInside(msgs);
    }
    WarningHolder::ClearWarnings();
    return 0;
}
