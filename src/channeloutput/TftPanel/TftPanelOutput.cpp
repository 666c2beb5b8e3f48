// The "TftPanel" output.
#include "TftPanelOutput.h"

#include "TftBus.h"
#include "host/core/ConfigKeys.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"
#include "host/core/Warnings.h"
#include "host/output/ChannelBuffer.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {

// Register writes through the host's block, which records them under a recording
// bus simulation; fast enough for commands, not for frames.
struct HostRegisters {
    GPIORegisters* regs;
    void set(uint32_t mask) { regs->write(TFT_SET_REGISTER, mask); }
    void clear(uint32_t mask) { regs->write(TFT_CLEAR_REGISTER, mask); }
};

} // namespace

TftPanelOutput::TftPanelOutput(unsigned int startChannel, unsigned int channelCount)
    : ThreadedChannelOutput(startChannel, channelCount) {
    LogDebug(LOGCH_CHANNELOUT, "TftPanelOutput::TftPanelOutput(%u, %u)\n", startChannel, channelCount);
    m_useDoubleBuffer = 1;
    m_pixels = m_rows * m_cols;
    memset(m_dataValues, 0, sizeof(m_dataValues));
}

TftPanelOutput::~TftPanelOutput() {
    LogDebug(LOGCH_CHANNELOUT, "TftPanelOutput::~TftPanelOutput()\n");
    // Deleted without Close: the output thread must stop before the registers go.
    if (m_registers.isMapped()) {
        Close();
    }
}

uint32_t TftPanelOutput::channelsRead() const {
    uint32_t whole = (uint32_t)m_pixels * 3;
    return m_channelCount < whole ? m_channelCount : whole;
}

int TftPanelOutput::Init(Json::Value config) {
    LogDebug(LOGCH_CHANNELOUT, "TftPanelOutput::Init(JSON)\n");
    if (!CheckConfig(config)) {
        return 0;
    }
    if (!config.isObject()) {
        LogErr(LOGCH_CHANNELOUT, "TftPanel: the configuration is not a JSON object\n");
        return 0;
    }
    bool ok = true;
    m_bpp = JsonKeyInt(config, "bpp", 24, "TftPanel", ok) == 16 ? 16 : 24;
    if (!ok) {
        return 0;
    }
    if ((uint64_t)m_startChannel + channelsRead() > TAVO_MAX_CHANNELS) {
        LogErr(LOGCH_CHANNELOUT, "TftPanel: channels %u to %llu reach past the last channel %u\n",
               m_startChannel + 1, (unsigned long long)m_startChannel + channelsRead(), TAVO_MAX_CHANNELS);
        return 0;
    }
    if (m_channelCount < (uint32_t)m_pixels * 3) {
        LogInfo(LOGCH_CHANNELOUT,
                "TftPanel: %u channels show the first %u of the panel's %d pixels; the rest stay black\n",
                m_channelCount, m_channelCount / 3, m_pixels);
    }
    if (!TftPanel_Init()) {
        WarningHolder::AddWarning("TftPanel output: cannot use the GPIO registers (" +
                                  m_registers.getError() + "); the panel stays dark");
        return 0;
    }
    return ThreadedChannelOutput::Init(config);
}

bool TftPanelOutput::TftPanel_Init() {
    LogDebug(LOGCH_CHANNELOUT, "TftPanelOutput::TftPanel_Init()\n");
    // Ending the process here, as a bit-banging driver might, would stop the whole
    // show for one missing panel.
    if (!m_registers.map()) {
        m_gpioMap = -1;
        return false;
    }
    m_gpioMap = 0;
    m_gpio = m_registers.getBlock();

    LogDebug(LOGCH_CHANNELOUT, "Initializing GPIO pins for output\n");
    for (int gpio : TFT_OUTPUT_GPIOS) {
        m_registers.setOutput(gpio);
    }
    LogDebug(LOGCH_CHANNELOUT, "Initializing data lookup table\n");
    TftBuildDataValues(m_dataValues);
    m_clearMask = TFT_CLEAR_MASK;
    m_dcMask = TFT_DC_MASK;
    m_wrMask = TFT_WR_MASK;
    m_registers.write(TFT_CLEAR_REGISTER, TFT_RESET_MASK);

    for (const TftInitStep& step : TftInitSequence(m_bpp)) {
        TftPanel_Command(step.command);
        for (uint8_t b : step.data) {
            TftPanel_Data(b);
        }
        if (step.delayMs) {
            std::this_thread::sleep_for(std::chrono::milliseconds(step.delayMs));
        }
    }
    m_initialized = true;
    LogDebug(LOGCH_CHANNELOUT, "Initialization complete\n");
    return true;
}

void TftPanelOutput::TftPanel_Command(uint8_t byte) {
    LogExcess(LOGCH_CHANNELOUT, "TftPanel_Command(0x%02x)\n", byte);
    HostRegisters r{&m_registers};
    r.clear(m_dcMask);
    TftWriteByte(r, m_dataValues, byte);
}

void TftPanelOutput::TftPanel_Data(uint8_t byte) {
    LogExcess(LOGCH_CHANNELOUT, "TftPanel_Data(0x%02x)\n", byte);
    HostRegisters r{&m_registers};
    r.set(m_dcMask);
    TftWriteByte(r, m_dataValues, byte);
}

void TftPanelOutput::TftPanel_Cleanup() {
    LogDebug(LOGCH_CHANNELOUT, "TftPanel_Cleanup()\n");
    m_registers.write(TFT_CLEAR_REGISTER, TFT_RESET_MASK);
}

int TftPanelOutput::RawSendData(unsigned char* channelData) {
    LogExcess(LOGCH_CHANNELOUT, "TftPanelOutput::RawSendData(%p)\n", channelData);
    if (!m_initialized) {
        return 0;
    }
    TftPanel_Command(0x2C); // memory write
    // The thread's copy of the frame holds the output's channels, no more.
    if (m_registers.isRecording()) {
        HostRegisters r{&m_registers};
        r.set(m_dcMask);
        TftWriteFrame(r, m_dataValues, channelData, m_channelCount, m_bpp);
    } else {
        TftDirectRegisters r{m_gpio};
        r.set(m_dcMask);
        TftWriteFrame(r, m_dataValues, channelData, m_channelCount, m_bpp);
    }
    TftPanel_Command(0x00);
    return (int)m_channelCount;
}

int TftPanelOutput::Close() {
    LogDebug(LOGCH_CHANNELOUT, "TftPanelOutput::Close()\n");
    // The output thread stops first: it writes the registers that go away below.
    int r = ThreadedChannelOutput::Close();
    if (m_registers.isMapped()) {
        TftPanel_Cleanup();
    }
    m_initialized = false;
    m_gpio = nullptr;
    m_gpioMap = -1;
    m_registers.unmap();
    return r;
}

void TftPanelOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    uint32_t n = channelsRead();
    if (n) {
        addRange((int)m_startChannel, (int)(m_startChannel + n - 1));
    }
}

void TftPanelOutput::DumpConfig() {
    LogDebug(LOGCH_CHANNELOUT, "TftPanelOutput::DumpConfig()\n");
    LogDebug(LOGCH_CHANNELOUT, "    Columns: %d\n", m_cols);
    LogDebug(LOGCH_CHANNELOUT, "    Rows   : %d\n", m_rows);
    LogDebug(LOGCH_CHANNELOUT, "    Pixels : %d\n", m_pixels);
    ThreadedChannelOutput::DumpConfig();
}

bool TftPanelOutput::CheckConfig(const Json::Value& config) {
    // The values are read, and checked, by Init; this names keys it does not know.
    static const std::vector<ConfigKey> keys = {
        {"bpp", ConfigKey::ANY},
    };
    return CheckConfigKeys(config, keys, "TftPanel");
}
