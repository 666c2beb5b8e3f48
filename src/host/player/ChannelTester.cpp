// The channel tester.
#include "host/player/ChannelTester.h"

#include "host/core/Common.h"
#include "host/core/Log.h"
#include "host/output/ChannelBuffer.h"
#include "host/output/ChannelOutput.h"
#include "host/output/OutputManager.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>

ChannelTester ChannelTester::INSTANCE;

static const uint64_t MAX_TEST_CHANNEL = TAVO_MAX_CHANNELS;

namespace {

// A colour [r, g, b, ...] of numbers 0 to 255; false (and `error`) otherwise.
bool readColor(const Json::Value& v, std::vector<uint8_t>& out, std::string& error) {
    out.clear();
    if (!v.isArray() || v.empty() || v.size() > 16) {
        error = "a colour is a list of 1 to 16 numbers from 0 to 255, such as [255, 0, 0]";
        return false;
    }
    for (const Json::Value& c : v) {
        if (!c.isNumeric() || c.asDouble() < 0 || c.asDouble() > 255) {
            error = "a colour is a list of 1 to 16 numbers from 0 to 255, such as [255, 0, 0]";
            return false;
        }
        out.push_back((uint8_t)c.asDouble());
    }
    return true;
}

bool readInt(const Json::Value& config, const char* key, int min, int max, int& out, std::string& error) {
    const Json::Value& v = config[key];
    if (v.isNull()) {
        return true;
    }
    if (!v.isIntegral() || v.asInt64() < min || v.asInt64() > max) {
        error = std::string("\"") + key + "\" must be a whole number from " + std::to_string(min) + " to " +
                std::to_string(max);
        return false;
    }
    out = v.asInt();
    return true;
}

bool parseChannelSet(const std::string& set, std::vector<std::pair<uint32_t, uint32_t>>& ranges,
                     std::string& error) {
    size_t pos = 0;
    while (pos < set.size()) {
        size_t comma = set.find(',', pos);
        std::string part = set.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? set.size() : comma + 1;
        part.erase(0, part.find_first_not_of(" \t"));
        part.erase(part.find_last_not_of(" \t") + 1);
        char* end = nullptr;
        long long a = strtoll(part.c_str(), &end, 10);
        long long b = a;
        if (end && end != part.c_str() && *end == '-') {
            b = strtoll(end + 1, &end, 10);
        }
        if (part.empty() || !end || *end != '\0' || a < 1 || b < a || (uint64_t)b > MAX_TEST_CHANNEL) {
            error = "bad channel range \"" + part + "\" (use FIRST-LAST, 1 to " +
                    std::to_string(MAX_TEST_CHANNEL) + ")";
            return false;
        }
        ranges.emplace_back((uint32_t)(a - 1), (uint32_t)(b - a + 1));
    }
    return true;
}

} // namespace

bool ChannelTester::SetupTest(const Json::Value& config, const std::vector<ChannelOutput*>& outputs) {
    if (config.isNull()) {
        StopTest();
        return true;
    }
    if (!config.isObject()) {
        LogErr(LOGCH_GENERAL, "Channel test: the test is a JSON object such as {\"enabled\": 1, ...}\n");
        return false;
    }
    const Json::Value& enabled = config["enabled"];
    if (!enabled.isNull() && !enabled.isBool() && !enabled.isIntegral()) {
        LogErr(LOGCH_GENERAL, "Channel test: \"enabled\" must be 0 or 1\n");
        return false;
    }
    if (enabled.isNull() || !enabled.asBool()) {
        StopTest();
        return true;
    }

    std::string error;
    Mode mode = Mode::Color;
    const Json::Value& m = config["mode"];
    if (m.isNull() || m == "color") {
        mode = Mode::Color;
    } else if (m == "chase") {
        mode = Mode::Chase;
    } else if (m == "outputs") {
        mode = Mode::Outputs;
    } else {
        error = "\"mode\" must be \"color\", \"chase\" or \"outputs\"";
    }
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    const Json::Value& set = config["channelSet"];
    if (error.empty() && !set.isNull() && !set.isString()) {
        error = "\"channelSet\" must be a text such as \"1-512,1025-1536\"";
    } else if (error.empty()) {
        parseChannelSet(set.asString(), ranges, error);
    }
    if (error.empty() && ranges.empty() && mode != Mode::Outputs) {
        error = "no \"channelSet\" given";
    }
    std::vector<uint8_t> pattern = {255, 255, 255};
    std::vector<std::vector<uint8_t>> colors = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
    if (error.empty() && !config["color"].isNull()) {
        readColor(config["color"], pattern, error);
    }
    if (error.empty() && !config["colors"].isNull()) {
        const Json::Value& list = config["colors"];
        colors.clear();
        if (!list.isArray() || list.empty() || list.size() > 64) {
            error = "\"colors\" must be a list of 1 to 64 colours, such as [[255, 0, 0], [0, 0, 255]]";
        }
        for (Json::ArrayIndex i = 0; error.empty() && i < list.size(); i++) {
            std::vector<uint8_t> c;
            if (readColor(list[i], c, error)) {
                colors.push_back(c);
            }
        }
    }
    int stepMs = 250, testType = 1, cycleMs = 1000;
    if (error.empty()) {
        readInt(config, "stepMs", 10, 60000, stepMs, error);
    }
    if (error.empty()) {
        readInt(config, "testType", 0, 1000, testType, error);
    }
    if (error.empty()) {
        readInt(config, "cycleMs", 10, 600000, cycleMs, error);
    }
    const Json::Value& blank = config["blankOthers"];
    if (error.empty() && !blank.isNull() && !blank.isBool() && !blank.isIntegral()) {
        error = "\"blankOthers\" must be true or false";
    }
    if (error.empty() && mode == Mode::Outputs && outputs.empty()) {
        error = "no output that draws its own test pattern was chosen";
    }
    if (!error.empty()) {
        LogErr(LOGCH_GENERAL, "Channel test: %s\n", error.c_str());
        return false;
    }

    std::lock_guard<std::mutex> l(m_lock);
    m_mode = mode;
    m_ranges = ranges;
    m_pattern = pattern;
    m_colors = colors;
    m_stepMs = stepMs;
    m_testType = testType;
    m_cycleMs = cycleMs;
    m_blankOthers = !blank.isNull() && blank.asBool();
    m_outputs = mode == Mode::Outputs ? outputs : std::vector<ChannelOutput*>();
    m_config = config;
    m_startMs = GetTimeMS();
    m_testing = true;
    return true;
}

void ChannelTester::StopTest() {
    std::lock_guard<std::mutex> l(m_lock);
    m_testing = false;
    m_ranges.clear();
    m_outputs.clear();
    m_config = Json::Value();
}

bool ChannelTester::Testing() {
    std::lock_guard<std::mutex> l(m_lock);
    return m_testing;
}

Json::Value ChannelTester::GetConfig() {
    std::lock_guard<std::mutex> l(m_lock);
    return m_testing ? m_config : Json::Value();
}

void ChannelTester::OverlayTestData(unsigned char* channelData) {
    std::lock_guard<std::mutex> l(m_lock);
    if (!m_testing) {
        return;
    }
    if (m_blankOthers) {
        for (const auto& r : GetOutputRanges(true)) {
            if (r.first < MAX_TEST_CHANNEL) {
                memset(channelData + r.first, 0, std::min<uint64_t>(r.second, MAX_TEST_CHANNEL - r.first));
            }
        }
    }
    int64_t elapsed = GetTimeMS() - m_startMs;
    switch (m_mode) {
    case Mode::Color:
        for (auto& r : m_ranges) {
            for (uint32_t i = 0; i < r.second; i++) {
                channelData[r.first + i] = m_pattern[i % m_pattern.size()];
            }
        }
        break;
    case Mode::Chase: {
        // Node n of a range shows colour (n - step) mod colours: the colours move one
        // node along each step, so the order of the wiring can be read off the lights.
        size_t nodeSize = m_colors[0].size();
        size_t count = m_colors.size();
        size_t shift = (size_t)(elapsed / m_stepMs) % count;
        for (auto& r : m_ranges) {
            for (uint32_t i = 0; i < r.second; i++) {
                size_t node = i / nodeSize;
                const std::vector<uint8_t>& c = m_colors[(node + count - shift) % count];
                size_t k = i % nodeSize;
                channelData[r.first + i] = k < c.size() ? c[k] : 0;
            }
        }
        break;
    }
    case Mode::Outputs: {
        int cycle = (int)(elapsed / m_cycleMs);
        float part = (float)(elapsed % m_cycleMs) / (float)m_cycleMs;
        for (ChannelOutput* o : m_outputs) {
            try {
                o->OverlayTestData(channelData, cycle, part, m_testType, m_config);
            } catch (const std::exception& e) {
                // One output's fault must not end everyone's frame.
                LogErr(LOGCH_CHANNELOUT, "Test pattern of %s failed: %s\n", o->GetOutputType().c_str(),
                       e.what());
            }
        }
        break;
    }
    }
}
