// The "TftPanel" output: a 320 x 480 colour TFT panel on an 8-bit parallel bus,
// bit-banged through the board's GPIO registers (TftBus.h), three channels per
// pixel. Frames are sent on the output's own thread.
#pragma once

#include "host/hw/GPIORegisters.h"
#include "host/output/ThreadedChannelOutput.h"

#include <cstdint>

class TftPanelOutput : public ThreadedChannelOutput {
public:
    TftPanelOutput(unsigned int startChannel, unsigned int channelCount);
    ~TftPanelOutput() override;

    int Init(Json::Value config) override;
    bool CheckConfig(const Json::Value& config) override;
    int Close() override;
    int RawSendData(unsigned char* channelData) override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override;
    void DumpConfig() override;

    // Maps the registers, makes the pins outputs and initialises the controller.
    // False (logged) when the registers cannot be mapped; the process goes on.
    bool TftPanel_Init();
    void TftPanel_Cleanup();
    void TftPanel_Command(uint8_t byte);
    void TftPanel_Data(uint8_t byte);

private:
    // Channels a frame reads: a whole panel's, or fewer when the output has fewer
    // (the pixels beyond them are black).
    uint32_t channelsRead() const;

    int m_rows = 480;
    int m_cols = 320;
    int m_pixels = 0;
    int m_bpp = 24;
    bool m_initialized = false; // set by Init before the output thread starts
    int m_gpioMap = -1;         // 0 once the registers are mapped
    uint32_t m_dataValues[256];
    uint32_t m_clearMask = 0;
    uint32_t m_dcMask = 0;
    uint32_t m_wrMask = 0;
    volatile uint32_t* m_gpio = nullptr; // the mapped block, null before
    GPIORegisters m_registers;
};
