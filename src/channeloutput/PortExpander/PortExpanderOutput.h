// The "PortExpander" output: up to 16 channels switch the 16 output pins of an I2C
// port expander on bus 1 (a pin is high when its channel is not 0), written once
// per frame.
#pragma once

#include "host/output/ChannelOutput.h"

class I2CUtils;

class PortExpanderOutput : public ChannelOutput {
public:
    PortExpanderOutput(unsigned int startChannel, unsigned int channelCount);
    ~PortExpanderOutput() override;

    int Init(Json::Value config) override;
    bool CheckConfig(const Json::Value& config) override;
    int Close() override;
    int SendData(unsigned char* channelData) override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override;
    void DumpConfig() override;

private:
    I2CUtils* m_i2c = nullptr; // owned; null before Init
    int m_deviceID = 0;        // I2C address, 0x20 to 0x27
};
