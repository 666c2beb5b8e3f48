// Channel tests: a pattern laid over chosen channels while a test runs, so a user can
// check wiring without a sequence: a fixed colour, a chase of colours, or the test
// patterns of outputs that draw their own.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <json/json.h>

class ChannelOutput;

class ChannelTester {
public:
    static ChannelTester INSTANCE;

    // {"enabled": 1, "channelSet": "1-512,1025-1536" (1-based, inclusive),
    //  "mode": "color" (default) | "chase" | "outputs",
    //  "color": [r, g, b]            colour mode: repeats over each range from its first channel
    //  "colors": [[r, g, b], ...]    chase mode: the colours that move along each range,
    //  "stepMs": 250                 one node further every stepMs,
    //  "testType": 1, "cycleMs": 1000   outputs mode: each output's own pattern and its cycle,
    //  "blankOthers": false          zero every output channel first, so nothing else shows}
    // In outputs mode the outputs come from `outputs` (borrowed: stop the test before
    // one of them goes), and "channelSet" may be left out. A disabled or empty object
    // stops the test. False with a message on a bad object; a running test then stays.
    bool SetupTest(const Json::Value& config, const std::vector<ChannelOutput*>& outputs = {});
    void StopTest();
    bool Testing();
    // What runs, as SetupTest took it; null when nothing does.
    Json::Value GetConfig();
    // Lays the test over the whole channel buffer; the time in ms since the test
    // started moves chases and output patterns.
    void OverlayTestData(unsigned char* channelData);

private:
    enum class Mode { Color, Chase, Outputs };

    std::mutex m_lock; // guards every member below
    bool m_testing = false;
    Mode m_mode = Mode::Color;
    std::vector<std::pair<uint32_t, uint32_t>> m_ranges; // (first, count), 0-based
    std::vector<uint8_t> m_pattern;                      // colour mode
    std::vector<std::vector<uint8_t>> m_colors;          // chase mode
    int m_stepMs = 250;
    int m_testType = 1;
    int m_cycleMs = 1000;
    bool m_blankOthers = false;
    std::vector<ChannelOutput*> m_outputs; // borrowed
    Json::Value m_config;
    int64_t m_startMs = 0;
};
