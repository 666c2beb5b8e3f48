// The "DotMatrix" output: a chain of 8 x 8 single-colour LED panels, each driven by
// an LED driver chip, all on SPI port 0 with the chip-select on GPIO 8. A pixel is
// on or off; eight row transfers per frame, sent in SendData.
#pragma once

#include "host/output/ChannelOutput.h"

#include <cstdint>
#include <vector>

class PinCapabilities;
class SPIUtils;

class DotMatrixOutput : public ChannelOutput {
public:
    DotMatrixOutput(unsigned int startChannel, unsigned int channelCount);
    ~DotMatrixOutput() override;

    int Init(Json::Value config) override;
    bool CheckConfig(const Json::Value& config) override;
    int Close() override;
    int SendData(unsigned char* channelData) override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override;
    void DumpConfig() override;

    // The same register write to every chip: chip-select low, 2 x panels bytes, high.
    void WriteCommand(uint8_t reg, uint8_t value);

private:
    bool readCount(const Json::Value& config, const char* key, const char* what, int& value);
    void send(std::vector<uint8_t>& bytes);

    int m_panels = 1;
    int m_channelsPerPixel = 1;
    const PinCapabilities* m_csPin = nullptr; // the host's; null when the board has no such line
    SPIUtils* m_spi = nullptr;                // owned
    bool m_csUsable = false;                  // configured as an output
    std::vector<uint8_t> m_row;
};
