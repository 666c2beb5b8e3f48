// The "MQTT" output: one colour (one, three or four channels) published as a
// message, filled in from a template, through the host's MQTT client each time it
// changes. The formatting and publishing run on the output's own thread.
#pragma once

#include "ColorMessage.h"
#include "host/output/ThreadedChannelOutput.h"

#include <atomic>
#include <cstdint>
#include <string>

class BrokerOutput : public ThreadedChannelOutput {
public:
    BrokerOutput(unsigned int startChannel, unsigned int channelCount);
    ~BrokerOutput() override;

    int Init(Json::Value config) override;
    bool CheckConfig(const Json::Value& config) override;
    int Close() override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override;
    void DumpConfig() override;
    int RawSendData(unsigned char* channelData) override;
    void GetStatus(Json::Value& status) override;

    static void ReplaceValues(std::string& text, unsigned char r, unsigned char g, unsigned char b,
                              unsigned char w) {
        ::ReplaceValues(text, r, g, b, w);
    }
    static void RGBtoHSIV(float r, float g, float b, float& h, float& sHSI, float& sHSV, float& i, float& v) {
        ::RGBtoHSIV(r, g, b, h, sHSI, sHSV, i, v);
    }

private:
    // Set by Init, read by RawSendData on the output's thread, which Init starts.
    std::string topic;
    std::string payload = "%R%,%G%,%B%";
    int channelType = BROKER_RGB;
    // Touched only by RawSendData.
    BrokerColor lastSent;
    uint64_t m_sentOnConnection = 0; // the client's connection count at the last publish; 0: none yet

    std::atomic<unsigned long long> m_published{0}; // messages handed to the client
};
