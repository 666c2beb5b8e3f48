// What the WindowPanel tests share: configurations, and waiting for the output
// thread to have drawn a frame.
#pragma once

#include "host/core/Common.h"
#include "host/core/JsonUtils.h"
#include "WindowPanelOutput.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace windowpaneltest {

inline Json::Value parse(const std::string& text) {
    Json::Value v;
    std::string error;
    EXPECT_TRUE(LoadJsonFromString(text, v, &error)) << error << "\n" << text;
    return v;
}

inline std::string panel(int output, int chain, const std::string& orientation, int x, int y) {
    return "{\"outputNumber\": " + std::to_string(output) + ", \"panelNumber\": " + std::to_string(chain) +
           ", \"orientation\": \"" + orientation + "\", \"xOffset\": " + std::to_string(x) +
           ", \"yOffset\": " + std::to_string(y) + "}";
}

inline std::string config(const std::string& panels, const std::string& more = "", int panelWidth = 32,
                          int panelHeight = 16) {
    return "{\"type\": \"WindowPanel\", \"panelWidth\": " + std::to_string(panelWidth) +
           ", \"panelHeight\": " + std::to_string(panelHeight) + ", \"panels\": [" + panels + "]" +
           (more.empty() ? "" : ", " + more) + "}";
}

// Waits until the output thread has drawn more than `drawn` frames; bounded generously.
inline bool waitDrawn(const WindowPanelOutput& o, long long drawn, int timeoutMs = 10000) {
    int64_t end = GetTimeMS() + timeoutMs;
    while (o.FramesDrawn() <= drawn && GetTimeMS() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return o.FramesDrawn() > drawn;
}

} // namespace windowpaneltest
