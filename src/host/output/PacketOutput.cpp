// The protocol outputs' common part: the engine's data object, stopping, status.
#include "host/output/PacketOutput.h"

#include "host/core/Common.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"
#include "host/core/Warnings.h"

#include <algorithm>

#include <arpa/inet.h>

// The engine's side: each frame and each second go to the shared protocol.
class PacketOutput::Data : public UDPOutputData {
public:
    Data(const Json::Value& config, std::shared_ptr<PacketProtocol> protocol, PacketOutput* owner,
         std::string type)
        : UDPOutputData(config), m_protocol(std::move(protocol)), m_owner(owner), m_type(std::move(type)) {}

    void PrepareData(unsigned char* channelData, UDPOutputMessages& msgs) override {
        if (!active) {
            return;
        }
        std::lock_guard<std::mutex> l(m_protocol->lock);
        m_protocol->QueueFrame(channelData, msgs, GetTimeMS());
    }
    void Monitor() override {
        {
            std::lock_guard<std::mutex> l(m_protocol->lock);
            m_protocol->Monitor();
        }
        std::lock_guard<std::mutex> l(ownerLock);
        if (m_owner) {
            m_owner->monitor();
        }
    }
    // A show starts: every packet goes out anew, also after a stop.
    void StartingOutput() override {
        std::lock_guard<std::mutex> l(m_protocol->lock);
        m_protocol->stopped = false;
        m_protocol->stream.Reset();
    }
    // The end of a show (from the output thread): the protocol's stop packets go
    // out with the next frame.
    void StoppingOutput() override {
        std::lock_guard<std::mutex> l(m_protocol->lock);
        m_protocol->stopped = false;
        m_stopPending = true;
    }
    void PostPrepareData(unsigned char*, UDPOutputMessages& msgs) override {
        if (!m_stopPending) {
            return;
        }
        m_stopPending = false;
        std::lock_guard<std::mutex> l(m_protocol->lock);
        m_protocol->QueueStop(msgs, GetTimeMS());
        m_protocol->stopped = true;
    }
    std::string GetOutputTypeString() const override { return m_type; }
    void Detach() {
        std::lock_guard<std::mutex> l(ownerLock);
        m_owner = nullptr;
    }

    std::mutex ownerLock; // guards m_owner: the output may close before the engine drops us

private:
    std::shared_ptr<PacketProtocol> m_protocol;
    PacketOutput* m_owner;
    std::string m_type;
    bool m_stopPending = false; // only the output thread touches it
};

std::vector<uint32_t> PacketProtocol::GroupKeys() const {
    std::vector<uint32_t> keys;
    for (const PacketStream::Packet& p : stream.Packets()) {
        uint32_t k = PacketStream::GroupKey(p.destination);
        if (std::find(keys.begin(), keys.end(), k) == keys.end()) {
            keys.push_back(k);
        }
    }
    return keys;
}

PacketOutput::PacketOutput(unsigned int startChannel, unsigned int channelCount, const std::string& typeName)
    : ChannelOutput(startChannel, channelCount), m_typeName(typeName) {
    LogDebug(LOGCH_CHANNELOUT, "%sOutput::%sOutput(%u, %u)\n", typeName.c_str(), typeName.c_str(),
             startChannel, channelCount);
}

PacketOutput::~PacketOutput() {
    LogDebug(LOGCH_CHANNELOUT, "%sOutput::~%sOutput()\n", m_typeName.c_str(), m_typeName.c_str());
    if (m_data && UDPOutput::INSTANCE) {
        // Still with the engine (an output deleted without Close): it must not call us.
        for (UDPOutputData* d : UDPOutput::INSTANCE->GetDataObjects()) {
            if (d == m_data) {
                m_data->Detach();
            }
        }
    }
    if (!m_warning.empty()) {
        WarningHolder::RemoveWarning(m_warning);
    }
}

int PacketOutput::ReadIntKey(const Json::Value& config, const char* key, int def, int min, int max,
                             std::vector<std::string>& errors) {
    if (!config.isMember(key)) {
        return def;
    }
    const Json::Value& v = config[key];
    bool whole = v.isInt() || (v.isDouble() && v.asDouble() == (double)(int64_t)v.asDouble() &&
                               v.asDouble() >= -2147483648.0 && v.asDouble() <= 2147483647.0);
    if (!whole || v.asInt() < min || v.asInt() > max) {
        std::string got = v.isString() ? "\"" + v.asString() + "\"" : SaveJsonToString(v, "");
        errors.push_back("\"" + std::string(key) + "\" must be a whole number from " + std::to_string(min) +
                         " to " + std::to_string(max) + ", not " + got);
        return def;
    }
    return v.asInt();
}

std::string PacketOutput::ReadStringKey(const Json::Value& config, const char* key, const std::string& def,
                                        std::vector<std::string>& errors) {
    if (!config.isMember(key)) {
        return def;
    }
    if (!config[key].isString()) {
        errors.push_back("\"" + std::string(key) + "\" must be a text, not " + JsonTypeName(config[key]));
        return def;
    }
    return config[key].asString();
}

bool PacketOutput::ReadBoolKey(const Json::Value& config, const char* key, bool def,
                               std::vector<std::string>& errors) {
    if (!config.isMember(key)) {
        return def;
    }
    const Json::Value& v = config[key];
    if (v.isBool()) {
        return v.asBool();
    }
    if (v.isInt()) {
        return v.asInt() != 0;
    }
    errors.push_back("\"" + std::string(key) + "\" must be true or false (or 1 or 0), not " +
                     JsonTypeName(v));
    return def;
}

bool PacketOutput::ResolveAddress(const std::string& address, uint32_t& out,
                                  std::vector<std::string>& errors) {
    bool valid = false;
    out = UDPOutputData::toInetAddr(address, valid);
    if (!valid) {
        errors.push_back("\"address\" \"" + address +
                         "\" is neither an IPv4 address nor a host name that resolves");
    }
    return valid;
}

int PacketOutput::Init(Json::Value config) {
    LogDebug(LOGCH_CHANNELOUT, "%sOutput::Init(JSON)\n", m_typeName.c_str());
    if (!UDPOutput::INSTANCE) {
        LogErr(LOGCH_CHANNELOUT, "%s output: needs the UDP engine, which is not running\n",
               m_typeName.c_str());
        return 0;
    }
    if (!config.isObject()) {
        LogErr(LOGCH_CHANNELOUT, "%s output: the configuration is not a JSON object\n", m_typeName.c_str());
        return 0;
    }
    if (m_channelCount == 0) {
        LogErr(LOGCH_CHANNELOUT, "%s output: \"channelCount\" must be at least 1\n", m_typeName.c_str());
        return 0;
    }
    std::vector<std::string> errors;
    std::shared_ptr<PacketProtocol> protocol = CreateProtocol(config, errors);
    if (!protocol || !errors.empty()) {
        for (const std::string& e : errors) {
            LogErr(LOGCH_CHANNELOUT, "%s output: %s\n", m_typeName.c_str(), e.c_str());
        }
        return 0;
    }
    Json::Value dataConfig(Json::objectValue);
    dataConfig["startChannel"] = (int)m_startChannel + 1;
    dataConfig["channelCount"] = (int)m_channelCount;
    dataConfig["address"] = config.get("address", "").isString() ? config.get("address", "").asString() : "";
    m_protocol = protocol;
    m_data = new Data(dataConfig, protocol, this, m_typeName);
    if (!m_data->usable) {
        delete m_data;
        m_data = nullptr;
        return 0;
    }
    UDPOutput::INSTANCE->addOutput(m_data);
    return ChannelOutput::Init(config);
}

int PacketOutput::Close() {
    LogDebug(LOGCH_CHANNELOUT, "%sOutput::Close()\n", m_typeName.c_str());
    if (m_protocol && UDPOutput::INSTANCE) {
        // Receivers learn at once that the stream ended instead of timing it out.
        UDPOutputMessages msgs;
        {
            std::lock_guard<std::mutex> l(m_protocol->lock);
            if (!m_protocol->stopped) {
                m_protocol->QueueStop(msgs, GetTimeMS());
                m_protocol->stopped = true;
            }
        }
        if (msgs.size()) {
            UDPOutput::INSTANCE->SendMessages(msgs);
        }
    }
    if (m_data && UDPOutput::INSTANCE) {
        for (UDPOutputData* d : UDPOutput::INSTANCE->GetDataObjects()) {
            if (d == m_data) {
                m_data->Detach();
            }
        }
    }
    m_data = nullptr;
    return ChannelOutput::Close();
}

int PacketOutput::SendData(unsigned char*) {
    // The engine sends what its data object queued.
    return (int)m_channelCount;
}

void PacketOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    if (m_channelCount) {
        addRange((int)m_startChannel, (int)(m_startChannel + m_channelCount - 1));
    }
}

void PacketOutput::monitor() {
    // Called with the data object's owner lock held, on the main loop.
    if (!m_protocol || !UDPOutput::INSTANCE) {
        return;
    }
    uint64_t errors = 0;
    for (uint32_t k : m_protocol->GroupKeys()) {
        errors += UDPOutput::INSTANCE->GetErrorCount(k);
    }
    m_failingSeconds = errors > m_lastErrors ? m_failingSeconds + 1 : 0;
    m_lastErrors = errors;
    if (m_failingSeconds >= 3 && m_warning.empty()) {
        m_warning = m_typeName + " output (channels " + std::to_string(m_startChannel + 1) + " to " +
                    std::to_string(m_startChannel + m_channelCount) +
                    "): sending keeps failing; check the address and the network (see the log)";
        WarningHolder::AddWarning(m_warning);
    } else if (m_failingSeconds == 0 && !m_warning.empty()) {
        WarningHolder::RemoveWarning(m_warning);
        m_warning.clear();
    }
}

void PacketOutput::GetStatus(Json::Value& status) {
    if (!m_protocol) {
        return;
    }
    uint64_t errors = 0;
    if (UDPOutput::INSTANCE) {
        for (uint32_t k : m_protocol->GroupKeys()) {
            errors += UDPOutput::INSTANCE->GetErrorCount(k);
        }
    }
    std::lock_guard<std::mutex> l(m_protocol->lock);
    status["packetsSent"] = (Json::UInt64)m_protocol->stream.PacketsQueued();
    status["sendErrors"] = (Json::UInt64)errors;
    status["keepAliveMs"] = m_protocol->stream.KeepAliveMs();
    m_protocol->AddStatus(status);
}
