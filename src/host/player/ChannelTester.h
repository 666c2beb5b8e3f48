// Channel tests: a fixed pattern laid over chosen channels while a test runs, so
// a user can check wiring without a sequence.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <json/json.h>

class ChannelTester {
public:
    static ChannelTester INSTANCE;

    // {"enabled": 1, "channelSet": "1-512,1025-1536" (1-based, inclusive),
    //  "color": [r, g, b]}: the colour repeats over each range from its first channel.
    // A disabled or empty object stops the test. False with a message on a bad object.
    bool SetupTest(const Json::Value& config);
    void StopTest();
    bool Testing();
    void OverlayTestData(unsigned char* channelData);

private:
    std::mutex m_lock; // guards every member below
    bool m_testing = false;
    std::vector<std::pair<uint32_t, uint32_t>> m_ranges; // (first, count), 0-based
    std::vector<uint8_t> m_pattern;
};
