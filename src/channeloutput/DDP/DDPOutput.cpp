// The "DDP" output plug-in.
#include "DDPOutput.h"

#include "host/core/JsonUtils.h"
#include "host/core/Log.h"
#include "protocols/DDP.h"

#include <algorithm>

using namespace protocols;

void DDPProtocol::QueueFrame(const uint8_t* channels, UDPOutputMessages& msgs, int64_t nowMs) {
    size_t queued = stream.QueueDue(channels, msgs, nowMs, true, [&](PacketStream::Packet& p, bool last) {
        p.bytes[0] = (uint8_t)(ddp::FLAG_VERSION_1 | (last ? ddp::FLAG_PUSH : 0));
        p.bytes[1] = sequence;
        sequence = ddp::nextSequence(sequence);
    });
    if (queued) {
        framesSent++;
    }
}

void DDPProtocol::AddStatus(Json::Value& status) {
    status["address"] = address;
    status["port"] = port;
    status["destinationId"] = destinationId;
    status["packetsPerFrame"] = (Json::UInt64)stream.Packets().size();
    status["framesSent"] = (Json::UInt64)framesSent;
}

DDPOutput::DDPOutput(unsigned int startChannel, unsigned int channelCount)
    : PacketOutput(startChannel, channelCount, "DDP") {}

const std::vector<ConfigKey>& DDPOutput::Keys() const {
    static const std::vector<ConfigKey> keys = {
        {"address", ConfigKey::TEXT},
        {"port", ConfigKey::WHOLE, 1, 65535},
        {"destinationId", ConfigKey::WHOLE, 1, 255},
        {"keepAliveMs", ConfigKey::WHOLE, 0, 60000},
    };
    return keys;
}

std::shared_ptr<PacketProtocol> DDPOutput::CreateProtocol(const Json::Value& config, bool checkOnly,
                                                          std::vector<std::string>& errors) {
    auto p = std::make_shared<DDPProtocol>();
    bool ok = true; // the key table has checked types and ranges
    const std::string who = "DDP output";
    p->address = JsonKeyString(config, "address", "", who, ok);
    p->port = JsonKeyInt(config, "port", ddp::PORT, who, ok);
    p->destinationId = (uint8_t)JsonKeyInt(config, "destinationId", ddp::DEFAULT_DESTINATION, who, ok);
    int keepAlive = JsonKeyInt(config, "keepAliveMs", 1000, who, ok);
    uint32_t destination = 0;
    if (!UnicastAddress(p->address, destination, errors) || checkOnly) {
        return errors.empty() ? p : nullptr;
    }
    p->stream.SetKeepAliveMs(keepAlive == 0 ? INT32_MAX : keepAlive);
    for (size_t offset = 0; offset < m_channelCount; offset += ddp::MAX_DATA) {
        size_t length = std::min(ddp::MAX_DATA, (size_t)m_channelCount - offset);
        PacketStream::Packet& pk =
            p->stream.Add(ddp::HEADER_SIZE, m_startChannel + offset, length, destination, (uint16_t)p->port);
        ddp::Header h;
        h.destination = p->destinationId;
        h.offset = (uint32_t)offset;
        h.length = (uint16_t)length;
        ddp::encodeHeader(pk.bytes.data(), h);
    }
    LogInfo(LOGCH_CHANNELOUT, "DDP output: %u channels in %zu packet(s) to %s:%d, destination %d\n",
            m_channelCount, p->stream.Packets().size(), p->address.c_str(), p->port, p->destinationId);
    return p;
}
