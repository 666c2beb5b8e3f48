// The channel tester.
#include "host/player/ChannelTester.h"

#include "host/core/Log.h"

#include <algorithm>
#include <cstdlib>

ChannelTester ChannelTester::INSTANCE;

static const uint64_t MAX_TEST_CHANNEL = 8 * 1024 * 1024;

bool ChannelTester::SetupTest(const Json::Value& config) {
    if (!config.isObject() || !config.get("enabled", 0).asBool()) {
        StopTest();
        return config.isObject() || config.isNull();
    }
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    std::string set = config.get("channelSet", "").asString();
    size_t pos = 0;
    while (pos < set.size()) {
        size_t comma = set.find(',', pos);
        std::string part = set.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? set.size() : comma + 1;
        char* end = nullptr;
        long long a = strtoll(part.c_str(), &end, 10);
        long long b = a;
        if (end && *end == '-') {
            b = strtoll(end + 1, &end, 10);
        }
        if (!end || *end != '\0' || a < 1 || b < a || (uint64_t)b > MAX_TEST_CHANNEL) {
            LogErr(LOGCH_GENERAL, "Channel test: bad channel range \"%s\" (use FIRST-LAST, 1 to %llu)\n",
                   part.c_str(), (unsigned long long)MAX_TEST_CHANNEL);
            return false;
        }
        ranges.emplace_back((uint32_t)(a - 1), (uint32_t)(b - a + 1));
    }
    std::vector<uint8_t> pattern;
    const Json::Value& color = config["color"];
    if (color.isArray() && color.size() > 0) {
        for (const Json::Value& c : color) {
            pattern.push_back((uint8_t)std::min(255, std::max(0, c.asInt())));
        }
    } else {
        pattern = {255, 255, 255};
    }
    if (ranges.empty()) {
        LogErr(LOGCH_GENERAL, "Channel test: no \"channelSet\" given\n");
        return false;
    }
    std::lock_guard<std::mutex> l(m_lock);
    m_ranges = ranges;
    m_pattern = pattern;
    m_testing = true;
    return true;
}

void ChannelTester::StopTest() {
    std::lock_guard<std::mutex> l(m_lock);
    m_testing = false;
    m_ranges.clear();
}

bool ChannelTester::Testing() {
    std::lock_guard<std::mutex> l(m_lock);
    return m_testing;
}

void ChannelTester::OverlayTestData(unsigned char* channelData) {
    std::lock_guard<std::mutex> l(m_lock);
    if (!m_testing || m_pattern.empty()) {
        return;
    }
    for (auto& r : m_ranges) {
        for (uint32_t i = 0; i < r.second; i++) {
            channelData[r.first + i] = m_pattern[i % m_pattern.size()];
        }
    }
}
