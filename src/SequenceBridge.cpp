// Channel data bridged from the network, laid over the frame while it is live.
#include "Sequence.h"

#include "host/core/Common.h"
#include "host/core/Log.h"
#include "host/core/Warnings.h"

#include <cstdlib>
#include <cstring>

void Sequence::setBridgePrioritySetting(const std::string& value) {
    bool prioritize = false, warn = false;
    if (value == "Prioritize Sequence") {
        prioritize = true;
    } else if (value == "Warn If Sequence Running") {
        prioritize = true;
        warn = true;
    }
    prioritizeSequence = prioritize;
    warnWhenPlaying = warn;
}

bool Sequence::hasBridgeData() {
    std::lock_guard<std::mutex> l(bridgeRangesLock);
    return !bridgeRanges.empty();
}

void Sequence::SetBridgeData(unsigned char* data, int startChannel, int length, unsigned long long expiry) {
    // Callers pass what arrived from the network: keep it inside the buffer.
    if (!data || startChannel < 0 || length < 0 ||
        (long long)startChannel + length > (long long)TAVO_CHANNEL_BUFFER_SIZE) {
        LogErr(LOGCH_SEQUENCE,
               "Bridge data for %d channels at channel %d rejected: it must lie within channels 0 to %zu\n",
               length, startChannel, TAVO_CHANNEL_BUFFER_SIZE - 1);
        return;
    }
    if (IsSequenceRunning()) {
        if (warnWhenPlaying) {
            WarningHolder::AddWarningTimeout("Received bridging data while sequence is running.", 60);
        }
        if (prioritizeSequence) {
            return;
        }
    }
    {
        // The copy is made under the lock too: the output thread reads these bytes.
        std::lock_guard<std::mutex> l(bridgeRangesLock);
        if (!bridgeData) {
            bridgeData = (unsigned char*)calloc(1, TAVO_CHANNEL_BUFFER_SIZE);
            if (!bridgeData) {
                LogErr(LOGCH_SEQUENCE, "Could not allocate the bridge data buffer\n");
                return;
            }
        }
        memcpy(bridgeData + startChannel, data, (size_t)length);
        BridgeRangeData& r = bridgeRanges[(uint64_t)(int64_t)startChannel];
        r.startChannel = (uint32_t)startChannel;
        r.lengths[(uint32_t)length] = expiry;
    }
    dataProcessed = false;
}
