// The "DotMatrix" output.
#include "DotMatrixOutput.h"

#include "DotMatrixFrame.h"
#include "host/core/ConfigKeys.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"
#include "host/core/Warnings.h"
#include "host/hw/Pins.h"
#include "host/hw/SPIUtils.h"
#include "host/output/ChannelBuffer.h"

#include <chrono>
#include <thread>

namespace {

constexpr int SPI_PORT = 0;
constexpr int SPI_SPEED = 1000000;
constexpr int CS_CHIP = 0;
constexpr int CS_LINE = 8;
// Two bytes per panel in one transfer, within the SPI driver's default 4096-byte buffer.
constexpr int MAX_PANELS = 2048;

} // namespace

DotMatrixOutput::DotMatrixOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount) {
    LogDebug(LOGCH_CHANNELOUT, "DotMatrixOutput::DotMatrixOutput(%u, %u)\n", startChannel, channelCount);
    m_csPin = PinCapabilities::getPinByGPIO(CS_CHIP, CS_LINE).ptr();
}

DotMatrixOutput::~DotMatrixOutput() {
    LogDebug(LOGCH_CHANNELOUT, "DotMatrixOutput::~DotMatrixOutput()\n");
    Close();
    delete m_spi;
}

bool DotMatrixOutput::readCount(const Json::Value& config, const char* key, const char* what, int& value) {
    bool ok = true;
    value = JsonKeyInt(config, key, 0, "DotMatrix", ok);
    if (!ok) {
        return false;
    }
    // A missing key reads as 0: a chain of no panels would send empty transfers.
    if (value < 1) {
        LogErr(LOGCH_CHANNELOUT, "DotMatrix: \"%s\" must be the number of %s, 1 or more, not %s\n", key, what,
               config.isMember(key) ? std::to_string(value).c_str() : "missing");
        return false;
    }
    return true;
}

int DotMatrixOutput::Init(Json::Value config) {
    LogDebug(LOGCH_CHANNELOUT, "DotMatrixOutput::Init(JSON)\n");
    if (!CheckConfig(config)) {
        return 0;
    }
    if (!config.isObject()) {
        LogErr(LOGCH_CHANNELOUT, "DotMatrix: the configuration is not a JSON object\n");
        return 0;
    }
    // Checked before the bus is opened, so that a wrong file is reported on any machine.
    int panels = 0;
    int channelsPerPixel = 0;
    bool ok = readCount(config, "panels", "chained panels", panels);
    ok = readCount(config, "channelsPerPixel", "channels of each pixel", channelsPerPixel) && ok;
    if (!ok) {
        return 0;
    }
    if (panels > MAX_PANELS) {
        LogErr(LOGCH_CHANNELOUT, "DotMatrix: \"panels\" %d is more than the %d one SPI transfer can drive\n",
               panels, MAX_PANELS);
        return 0;
    }
    uint64_t frame = DotMatrixFrameChannels(panels, channelsPerPixel);
    if (frame > m_channelCount) {
        LogErr(
            LOGCH_CHANNELOUT,
            "DotMatrix: %d panels of 64 pixels with %d channels each read %llu channels, but the output has "
            "%u; set \"channelCount\" to %llu or fewer \"panels\"\n",
            panels, channelsPerPixel, (unsigned long long)frame, m_channelCount, (unsigned long long)frame);
        return 0;
    }
    if ((uint64_t)m_startChannel + frame > TAVO_MAX_CHANNELS) {
        LogErr(LOGCH_CHANNELOUT, "DotMatrix: channels %u to %llu reach past the last channel %u\n",
               m_startChannel + 1, (unsigned long long)(m_startChannel + frame), TAVO_MAX_CHANNELS);
        return 0;
    }
    m_panels = panels;
    m_channelsPerPixel = channelsPerPixel;

    delete m_spi;
    m_spi = new SPIUtils(SPI_PORT, SPI_SPEED);
    if (m_spi->getFD() == -1) {
        LogErr(LOGCH_CHANNELOUT, "SPIUtils setup failed\n");
        WarningHolder::AddWarning("DotMatrix output: cannot open " + m_spi->getDevice() + ": " +
                                  m_spi->getError());
        return 0;
    }
    // The SPI device selects the chips by itself on each transfer too; where the
    // chip-select line cannot be had as a GPIO (the SPI driver may hold it), that is
    // enough.
    m_csUsable = m_csPin && m_csPin->configPin("gpio", true, "");
    if (!m_csUsable) {
        LogWarn(
            LOGCH_CHANNELOUT,
            "DotMatrix: the chip-select GPIO %d (line %d of chip %d) cannot be driven; the SPI device's own "
            "chip-select is relied on\n",
            CS_LINE, CS_LINE, CS_CHIP);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (const DotMatrixWrite& w : DotMatrixSetupWrites()) {
        WriteCommand(w.reg, w.value);
    }
    m_row.assign((size_t)m_panels * 2, 0);
    return ChannelOutput::Init(config);
}

int DotMatrixOutput::Close() {
    LogDebug(LOGCH_CHANNELOUT, "DotMatrixOutput::Close()\n");
    return ChannelOutput::Close();
}

void DotMatrixOutput::send(std::vector<uint8_t>& bytes) {
    if (m_csUsable) {
        m_csPin->setValue(false);
    }
    m_spi->xfer(bytes.data(), nullptr, (int)bytes.size());
    if (m_csUsable) {
        m_csPin->setValue(true);
    }
}

void DotMatrixOutput::WriteCommand(uint8_t reg, uint8_t value) {
    if (!m_spi || m_spi->getFD() < 0) {
        return;
    }
    std::vector<uint8_t> bytes = DotMatrixCommand(m_panels, reg, value);
    send(bytes);
}

int DotMatrixOutput::SendData(unsigned char* channelData) {
    LogExcess(LOGCH_CHANNELOUT, "DotMatrixOutput::SendData(%p)\n", channelData);
    if (!m_spi || m_spi->getFD() < 0 || m_row.empty()) {
        return 0;
    }
    for (int row = 0; row < 8; row++) {
        DotMatrixRow(channelData, m_panels, m_channelsPerPixel, row, m_row.data());
        send(m_row);
    }
    return (int)m_channelCount;
}

void DotMatrixOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    if (m_channelCount) {
        addRange((int)m_startChannel, (int)(m_startChannel + m_channelCount - 1));
    }
}

void DotMatrixOutput::DumpConfig() {
    LogDebug(LOGCH_CHANNELOUT, "DotMatrixOutput::DumpConfig()\n");
    ChannelOutput::DumpConfig();
}

bool DotMatrixOutput::CheckConfig(const Json::Value& config) {
    // The values are read, and checked, by Init; this names keys it does not know.
    static const std::vector<ConfigKey> keys = {
        {"panels", ConfigKey::ANY},
        {"channelsPerPixel", ConfigKey::ANY},
    };
    return CheckConfigKeys(config, keys, "DotMatrix");
}
