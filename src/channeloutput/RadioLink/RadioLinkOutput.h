// The "RadioLink" output: a block of channels broadcast over an nRF24L01 radio on
// SPI port 0 (CE on GPIO 22, chip select on GPIO 7), cut into 32-byte packets
// (RadioPacket.h), fire and forget: no acknowledgements, no retries. Sent in
// SendData through the RF24 driver class.
#pragma once

#include "host/output/ChannelOutput.h"

#include <RF24/RF24.h>

class RadioLinkOutput : public ChannelOutput {
public:
    RadioLinkOutput(unsigned int startChannel, unsigned int channelCount);
    ~RadioLinkOutput() override;

    int Init(Json::Value config) override;
    bool CheckConfig(const Json::Value& config) override;
    int Close() override;
    int SendData(unsigned char* channelData) override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override;
    void DumpConfig() override;

private:
    struct RadioData {
        RF24* radio = nullptr; // owned
        rf24_datarate_e speed = RF24_250KBPS;
        int channel = 0;     // 2400 + channel MHz
        bool silent = false; // the last frame's packets were none of them reported sent
    };
    RadioData* m_radioData = nullptr; // owned; made by Init
};
