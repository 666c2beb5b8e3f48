// The protocol outputs' common part: the engine's data object, stopping, status.
#include "host/output/PacketOutput.h"

#include "host/core/Common.h"
#include "host/core/Log.h"
#include "host/core/Warnings.h"

#include <algorithm>

#include <arpa/inet.h>

// The engine's side: each frame and each second go to the shared protocol.
class PacketOutput::Data : public UDPOutputData {
public:
    Data(const Json::Value& config, std::shared_ptr<PacketProtocol> protocol, PacketOutput* owner,
         std::string type)
        : UDPOutputData(config), m_protocol(std::move(protocol)), m_owner(owner), m_type(std::move(type)) {
        // Multicast and dotted addresses send at once; a name waits for the engine's lookup.
        in_addr_t literal;
        valid = ipAddress.empty() || parseInetAddr(ipAddress, literal);
    }

    void PrepareData(unsigned char* channelData, UDPOutputMessages& msgs) override {
        if (!active || !valid) {
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
    void AddressResolved(in_addr_t addr) override {
        {
            std::lock_guard<std::mutex> l(m_protocol->lock);
            m_protocol->AddressResolved(addr);
        }
        UDPOutputData::AddressResolved(addr);
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

void PacketProtocol::AddressResolved(uint32_t address) {
    for (PacketStream::Packet& p : stream.Packets()) {
        if (p.destination.sin_addr.s_addr == 0) {
            p.destination.sin_addr.s_addr = address;
            p.groupKey = PacketStream::GroupKey(p.destination);
            p.message.msg_hdr.msg_iov = nullptr; // made again with the new address
        }
    }
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

bool PacketOutput::UnicastAddress(const std::string& address, uint32_t& out,
                                  std::vector<std::string>& errors) {
    out = 0;
    if (address.empty()) {
        errors.push_back(
            "\"address\" is missing: the receiver's address or host name, such as \"192.168.1.60\"");
        return false;
    }
    in_addr_t literal = 0;
    if (UDPOutputData::parseInetAddr(address, literal)) {
        out = literal;
    }
    return true;
}

bool PacketOutput::CheckConfig(const Json::Value& config) {
    if (!CheckConfigKeys(config, Keys(), m_typeName + " output")) {
        return false;
    }
    std::vector<std::string> errors;
    CreateProtocol(config, true, errors);
    for (const std::string& e : errors) {
        LogErr(LOGCH_CHANNELOUT, "%s output: %s\n", m_typeName.c_str(), e.c_str());
    }
    return errors.empty();
}

int PacketOutput::Init(Json::Value config) {
    LogDebug(LOGCH_CHANNELOUT, "%sOutput::Init(JSON)\n", m_typeName.c_str());
    if (!UDPOutput::INSTANCE) {
        LogErr(LOGCH_CHANNELOUT, "%s output: needs the UDP engine, which is not running\n",
               m_typeName.c_str());
        return 0;
    }
    if (m_channelCount == 0) {
        LogErr(LOGCH_CHANNELOUT, "%s output: \"channelCount\" must be at least 1\n", m_typeName.c_str());
        return 0;
    }
    if (!CheckConfig(config)) {
        return 0; // the reasons are logged
    }
    std::vector<std::string> errors;
    std::shared_ptr<PacketProtocol> protocol = CreateProtocol(config, false, errors);
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
