// The "PortExpander" output.
#include "PortExpanderOutput.h"

#include "PortExpanderPorts.h"
#include "host/core/ConfigKeys.h"
#include "host/core/Log.h"
#include "host/core/Warnings.h"
#include "host/hw/I2CUtils.h"

PortExpanderOutput::PortExpanderOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount) {
    LogDebug(LOGCH_CHANNELOUT, "PortExpanderOutput::PortExpanderOutput(%u, %u)\n", startChannel,
             channelCount);
}

PortExpanderOutput::~PortExpanderOutput() {
    LogDebug(LOGCH_CHANNELOUT, "PortExpanderOutput::~PortExpanderOutput()\n");
    delete m_i2c;
}

int PortExpanderOutput::Init(Json::Value config) {
    LogDebug(LOGCH_CHANNELOUT, "PortExpanderOutput::Init(JSON)\n");
    if (!CheckConfig(config)) {
        return 0;
    }
    if (!config.isObject()) {
        LogErr(LOGCH_CHANNELOUT, "PortExpander: the configuration is not a JSON object\n");
        return 0;
    }
    std::string shown;
    bool number = PortExpanderParseAddress(config["deviceID"], m_deviceID, shown);
    if (!number || m_deviceID < PORTEXPANDER_FIRST_ADDRESS || m_deviceID > PORTEXPANDER_LAST_ADDRESS) {
        // Read as 0, a text like "36x" would be refused with a puzzling "0": show what was written.
        LogErr(LOGCH_CHANNELOUT, "Invalid PortExpander Address: %s\n", shown.c_str());
        return 0;
    }

    delete m_i2c;
    m_i2c = new I2CUtils(1, m_deviceID);
    if (m_i2c->getFD() == -1) {
        LogErr(LOGCH_CHANNELOUT, "Error opening I2C device for PortExpander output\n");
        WarningHolder::AddWarning("PortExpander output: cannot open " + m_i2c->getDevice() + ": " +
                                  m_i2c->getError());
        return 0;
    }
    // Opening the bus succeeds whether or not a device answers at the address; the
    // first write tells.
    for (const PortExpanderWrite& w : PortExpanderSetupWrites()) {
        if (m_i2c->writeByteData(w.reg, w.value) != 0) {
            std::string text = "PortExpander output: no device answers at " + m_i2c->getDevice() +
                               " (check \"deviceID\" and the wiring)";
            LogErr(LOGCH_CHANNELOUT, "%s\n", text.c_str());
            WarningHolder::AddWarning(text);
            return 0;
        }
    }
    return ChannelOutput::Init(config);
}

int PortExpanderOutput::Close() {
    LogDebug(LOGCH_CHANNELOUT, "PortExpanderOutput::Close()\n");
    return ChannelOutput::Close();
}

int PortExpanderOutput::SendData(unsigned char* channelData) {
    LogExcess(LOGCH_CHANNELOUT, "PortExpanderOutput::SendData(%p)\n", channelData);
    if (!m_i2c || m_i2c->getFD() < 0) {
        return 0;
    }
    PortExpanderPorts ports = PortExpanderPortsFor(channelData, m_channelCount);
    if (WillLog(LOG_EXCESS, LOGCH_CHANNELOUT)) {
        LogExcess(LOGCH_CHANNELOUT, "%s\n", PortExpanderBitsText(ports).c_str());
    }
    m_i2c->writeByteData(PORTEXPANDER_GPIOA, ports.a);
    m_i2c->writeByteData(PORTEXPANDER_GPIOB, ports.b);
    return (int)m_channelCount;
}

void PortExpanderOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    if (m_channelCount) {
        addRange((int)m_startChannel, (int)(m_startChannel + m_channelCount - 1));
    }
}

void PortExpanderOutput::DumpConfig() {
    LogDebug(LOGCH_CHANNELOUT, "PortExpanderOutput::DumpConfig()\n");
    LogDebug(LOGCH_CHANNELOUT, "    deviceID: %X\n", (unsigned)m_deviceID);
    ChannelOutput::DumpConfig();
}

bool PortExpanderOutput::CheckConfig(const Json::Value& config) {
    // The values are read, and checked, by Init; this names keys it does not know.
    static const std::vector<ConfigKey> keys = {
        {"deviceID", ConfigKey::ANY},
    };
    return CheckConfigKeys(config, keys, "PortExpander");
}
