// The "RadioLink" output.
#include "RadioLinkOutput.h"

#include "RadioPacket.h"
#include "host/core/ConfigKeys.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"
#include "host/core/Warnings.h"

namespace {

constexpr int CE_PIN = 22;
constexpr int CS_PIN = 7;
constexpr int SPI_SPEED = 32;
constexpr uint64_t WRITING_PIPE = 0xF0F0F0F0E1ULL;
constexpr uint64_t READING_PIPE = 0xF0F0F0F0D2ULL;
const char* const RADIO_SILENT_WARNING =
    "RadioLink output: the radio does not report packets sent (check its power and wiring)";

// A configured value as the messages show it: a text as it stands, anything else as JSON.
std::string shown(const Json::Value& v) {
    return v.isString() ? v.asString() : SaveJsonToString(v, "");
}

// "speed": 1, 2, or 0 / missing; the same as texts, as some editors write numbers.
bool parseSpeed(const Json::Value& v, rf24_datarate_e& speed) {
    int n;
    if (v.isNull()) {
        n = 0;
    } else if (v.isInt()) {
        n = v.asInt();
    } else if (v.isString() && (v.asString() == "0" || v.asString() == "1" || v.asString() == "2")) {
        n = v.asString()[0] - '0';
    } else {
        return false;
    }
    switch (n) {
    case 0:
        speed = RF24_250KBPS;
        return true;
    case 1:
        speed = RF24_1MBPS;
        return true;
    case 2:
        speed = RF24_2MBPS;
        return true;
    default:
        return false;
    }
}

} // namespace

RadioLinkOutput::RadioLinkOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount) {
    LogDebug(LOGCH_CHANNELOUT, "RadioLinkOutput::RadioLinkOutput(%u, %u)\n", startChannel, channelCount);
}

RadioLinkOutput::~RadioLinkOutput() {
    LogDebug(LOGCH_CHANNELOUT, "RadioLinkOutput::~RadioLinkOutput()\n");
    if (m_radioData) {
        delete m_radioData->radio;
        delete m_radioData;
    }
}

int RadioLinkOutput::Init(Json::Value config) {
    LogDebug(LOGCH_CHANNELOUT, "RadioLinkOutput::Init(JSON)\n");
    if (!CheckConfig(config)) {
        return 0;
    }
    if (!config.isObject()) {
        LogErr(LOGCH_CHANNELOUT, "RadioLink: the configuration is not a JSON object\n");
        return 0;
    }
    rf24_datarate_e speed = RF24_250KBPS;
    if (!parseSpeed(config["speed"], speed)) {
        LogErr(LOGCH_CHANNELOUT, "Invalid speed '%s' from config\n", shown(config["speed"]).c_str());
        return 0;
    }
    // A missing channel reads as -1, which no radio has.
    bool ok = true;
    int channel = JsonKeyInt(config, "channel", -1, "RadioLink", ok);
    if (!ok) {
        return 0;
    }
    if (channel < 0 || channel > 125) {
        LogErr(LOGCH_CHANNELOUT, "Invalid channel '%d'\n", channel);
        return 0;
    }
    if (channel >= 84 && channel <= 100) {
        LogWarn(LOGCH_CHANNELOUT, "FCC RESTRICTED FREQUENCY RANGE OF %dMHz\n", 2400 + channel);
    }
    if (m_channelCount > RADIO_MAX_CHANNELS) {
        LogErr(LOGCH_CHANNELOUT,
               "RadioLink: %u channels would take %u packets, but the packet number has 8 bits: at most %u "
               "channels per radio output\n",
               m_channelCount, RadioPacketCount(m_channelCount), RADIO_MAX_CHANNELS);
        return 0;
    }

    if (m_radioData) {
        delete m_radioData->radio;
        delete m_radioData;
    }
    RF24* radio = new RF24(CE_PIN, CS_PIN, SPI_SPEED);
    m_radioData = new RadioData();
    m_radioData->speed = speed;
    m_radioData->channel = channel;
    bool started = radio->begin();

    // Only a radio that answers keeps a data rate it is given.
    radio->setDataRate(RF24_250KBPS);
    if (radio->getDataRate() != RF24_250KBPS) {
        LogErr(LOGCH_CHANNELOUT, "Failed to detect nRF Radio by setting speed to 250k!\n");
        WarningHolder::AddWarning(
            "RadioLink output: no nRF24L01 radio answers on the SPI bus (check the wiring)");
        delete radio;
        delete m_radioData;
        m_radioData = nullptr;
        return 0;
    }
    if (!started) {
        // The radio answers, but without its CE pin it would never send.
        LogErr(LOGCH_CHANNELOUT, "RadioLink: the radio answers but could not be started (see above)\n");
        WarningHolder::AddWarning("RadioLink output: the radio could not be started (its CE pin, GPIO 22)");
        delete radio;
        delete m_radioData;
        m_radioData = nullptr;
        return 0;
    }

    radio->setDataRate(speed);
    radio->setRetries(0, 0);
    radio->setPayloadSize(RADIO_PACKET_SIZE);
    radio->setAutoAck(false);
    radio->setChannel((uint8_t)channel);
    radio->setCRCLength(RF24_CRC_16);
    radio->openWritingPipe(WRITING_PIPE);
    radio->openReadingPipe(1, READING_PIPE);
    radio->setPALevel(3);
    radio->flush_tx();
    radio->powerUp();

    m_radioData->radio = radio;
    if (WillLog(LOG_DEBUG, LOGCH_CHANNELOUT)) {
        radio->printDetails();
    }
    return ChannelOutput::Init(config);
}

int RadioLinkOutput::Close() {
    LogDebug(LOGCH_CHANNELOUT, "RadioLinkOutput::Close\n");
    if (m_radioData && m_radioData->silent) {
        WarningHolder::RemoveWarning(RADIO_SILENT_WARNING);
        m_radioData->silent = false;
    }
    if (m_radioData) {
        delete m_radioData->radio;
        m_radioData->radio = nullptr;
    }
    return ChannelOutput::Close();
}

int RadioLinkOutput::SendData(unsigned char* channelData) {
    if (m_channelCount == 0 || !m_radioData || !m_radioData->radio) {
        return 0;
    }
    uint8_t packet[RADIO_PACKET_SIZE];
    bool anySent = false;
    for (uint32_t k = 0, offset = 0; offset < m_channelCount; k++, offset += RADIO_CHANNELS_PER_PACKET) {
        uint32_t size = RadioBuildPacket(channelData, m_channelCount, k, packet);
        LogDebug(LOGCH_CHANNELOUT, "Shipping off packet %d (offset: %d/%d, size: %d)\n", (int)k, (int)offset,
                 (int)m_channelCount, (int)size);
        anySent |= m_radioData->radio->write(packet, RADIO_PACKET_SIZE);
    }
    // Said once when the radio stops reporting packets sent, taken back when it does again.
    if (anySent == m_radioData->silent) {
        m_radioData->silent = !anySent;
        if (m_radioData->silent) {
            WarningHolder::AddWarning(RADIO_SILENT_WARNING);
        } else {
            WarningHolder::RemoveWarning(RADIO_SILENT_WARNING);
        }
    }
    return (int)m_channelCount;
}

void RadioLinkOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    if (m_channelCount) {
        addRange((int)m_startChannel, (int)(m_startChannel + m_channelCount - 1));
    }
}

void RadioLinkOutput::DumpConfig() {
    ChannelOutput::DumpConfig();
    if (m_radioData) {
        switch (m_radioData->speed) {
        case RF24_2MBPS:
            LogDebug(LOGCH_CHANNELOUT, "    speed   : 2MBPS\n");
            break;
        case RF24_1MBPS:
            LogDebug(LOGCH_CHANNELOUT, "    speed   : 1MBPS\n");
            break;
        default:
            LogDebug(LOGCH_CHANNELOUT, "    speed   : 250KBPS\n");
            break;
        }
        LogDebug(LOGCH_CHANNELOUT, "    channel : %d\n", m_radioData->channel);
    }
}

bool RadioLinkOutput::CheckConfig(const Json::Value& config) {
    // The values are read, and checked, by Init; this names keys it does not know.
    static const std::vector<ConfigKey> keys = {
        {"speed", ConfigKey::ANY},
        {"channel", ConfigKey::ANY},
    };
    return CheckConfigKeys(config, keys, "RadioLink");
}
