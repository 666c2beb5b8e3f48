// The "MQTT" output.
#include "BrokerOutput.h"

#include "host/core/ConfigKeys.h"
#include "host/core/Log.h"
#include "host/mqtt/MosquittoClient.h"

BrokerOutput::BrokerOutput(unsigned int startChannel, unsigned int channelCount)
    : ThreadedChannelOutput(startChannel, channelCount) {
    LogDebug(LOGCH_CHANNELOUT, "BrokerOutput::BrokerOutput(%u, %u)\n", startChannel, channelCount);
    m_useDoubleBuffer = 1;
}

BrokerOutput::~BrokerOutput() {
    LogDebug(LOGCH_CHANNELOUT, "BrokerOutput::~BrokerOutput()\n");
}

int BrokerOutput::Init(Json::Value config) {
    LogDebug(LOGCH_CHANNELOUT, "BrokerOutput::Init()\n");
    if (!CheckConfig(config)) {
        return 0;
    }
    if (!mqtt) {
        LogWarn(LOGCH_CHANNELOUT, "MQTT Not Configured, cannot start MQTT Output");
        return 0;
    }
    if (!config.isObject()) {
        LogErr(LOGCH_CHANNELOUT, "MQTT output: the configuration is not a JSON object; output not started\n");
        return 0;
    }
    bool ok = true;
    if (config.isMember("topic")) {
        if (config["topic"].isString()) {
            topic = config["topic"].asString();
        } else {
            LogErr(LOGCH_CHANNELOUT,
                   "MQTT output: \"topic\" must be a text, the topic to publish to (such as "
                   "\"lights/porch/set\"); output not started\n");
            ok = false;
        }
    }
    if (config.isMember("payload")) {
        if (!config["payload"].isString()) {
            LogErr(LOGCH_CHANNELOUT, "MQTT output: \"payload\" must be a text, the message template (such as "
                                     "\"%%R%%,%%G%%,%%B%%\"); output not started\n");
            ok = false;
        } else if (!config["payload"].asString().empty()) {
            payload = config["payload"].asString();
        }
    }
    if (config.isMember("channelType")) {
        const Json::Value& t = config["channelType"];
        if (!t.isString()) {
            LogErr(LOGCH_CHANNELOUT,
                   "MQTT output: \"channelType\" must be a text: \"RGB\", \"RGBW\" or \"Single\"; output not "
                   "started\n");
            ok = false;
        } else {
            int chosen = BrokerChannelTypeFromText(t.asString(), channelType);
            if (chosen == channelType && t.asString() != BrokerChannelTypeName(channelType)) {
                LogWarn(LOGCH_CHANNELOUT,
                        "MQTT output: \"channelType\" \"%s\" is not \"RGB\", \"RGBW\" or \"Single\" (written "
                        "exactly so); keeping %s\n",
                        t.asString().c_str(), BrokerChannelTypeName(channelType));
            }
            channelType = chosen;
        }
    }
    if (ok && !topic.empty() && !MosquittoClient::IsValidPublishTopic(topic)) {
        LogErr(LOGCH_CHANNELOUT,
               "MQTT output: \"topic\" \"%s\" cannot be published to (no '+' or '#' in it); output not "
               "started\n",
               topic.c_str());
        ok = false;
    }
    if (ok && m_channelCount < (unsigned)channelType) {
        // The output's thread holds a copy of exactly channelCount channels.
        LogErr(LOGCH_CHANNELOUT,
               "MQTT output: \"channelType\" %s reads %d channels, but \"channelCount\" is %u; output not "
               "started\n",
               BrokerChannelTypeName(channelType), channelType, m_channelCount);
        ok = false;
    }
    if (!ok) {
        return 0;
    }
    return ThreadedChannelOutput::Init(config);
}

int BrokerOutput::Close() {
    LogDebug(LOGCH_CHANNELOUT, "BrokerOutput::Close()\n");
    return ThreadedChannelOutput::Close();
}

void BrokerOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    addRange((int)m_startChannel, (int)m_startChannel + channelType - 1);
}

void BrokerOutput::DumpConfig() {
    LogDebug(LOGCH_CHANNELOUT, "BrokerOutput::DumpConfig()\n");
    LogDebug(LOGCH_CHANNELOUT, "    Topic           : %s\n", topic.c_str());
    LogDebug(LOGCH_CHANNELOUT, "    Payload         : %s\n", payload.c_str());
    LogDebug(LOGCH_CHANNELOUT, "    Type            : %d\n", channelType);
    ThreadedChannelOutput::DumpConfig();
}

int BrokerOutput::RawSendData(unsigned char* channelData) {
    LogExcess(LOGCH_CHANNELOUT, "BrokerOutput::RawSendData(%p)\n", channelData);
    if (!mqtt || !mqtt->IsConnected() || topic.empty() || payload.empty()) {
        return 0;
    }
    BrokerColor c = TakeBrokerColor(channelData, channelType);
    // After a reconnection the colour goes out again even when unchanged: a device
    // that joined (or a broker that restarted) meanwhile learns the current state.
    const uint64_t connection = mqtt->GetConnectionCount();
    if (c == lastSent && (m_sentOnConnection == 0 || m_sentOnConnection == connection)) {
        return (int)m_channelCount;
    }
    lastSent = c;
    m_sentOnConnection = connection;
    std::string message = payload;
    ReplaceValues(message, c.r, c.g, c.b, c.w);
    if (mqtt->PublishRaw(topic, message, false, 1)) {
        m_published++;
    }
    return (int)m_channelCount;
}

void BrokerOutput::GetStatus(Json::Value& status) {
    status["topic"] = topic;
    status["channelType"] = BrokerChannelTypeName(channelType);
    status["published"] = (Json::UInt64)m_published.load();
    status["connected"] = mqtt != nullptr && mqtt->IsConnected();
}

bool BrokerOutput::CheckConfig(const Json::Value& config) {
    // The values are read, and checked, by Init; this names keys it does not know.
    static const std::vector<ConfigKey> keys = {
        {"topic", ConfigKey::ANY},
        {"payload", ConfigKey::ANY},
        {"channelType", ConfigKey::ANY},
    };
    return CheckConfigKeys(config, keys, "MQTT");
}
