// The "E131" output plug-in.
#include "E131Output.h"

#include "StreamId.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"
#include "host/core/Settings.h"
#include "host/core/Warnings.h"

#include <algorithm>
#include <cstring>

#include <arpa/inet.h>
#include <unistd.h>

using namespace protocols;

namespace {

uint32_t groupAddress(uint16_t universe) {
    std::array<uint8_t, 4> g = e131::multicastGroup(universe);
    uint32_t a;
    memcpy(&a, g.data(), 4);
    return a;
}

std::string defaultSourceName() {
    std::string host = getSetting("HostName", "");
    if (host.empty()) {
        char name[256] = "";
        if (gethostname(name, sizeof(name) - 1) == 0) {
            host = name;
        }
    }
    return "tavod " + host;
}

} // namespace

void E131Protocol::stamp(PacketStream::Packet& p, size_t index, uint8_t options) {
    p.bytes[e131::SEQUENCE_OFFSET] = sequences[index]++;
    p.bytes[e131::OPTIONS_OFFSET] = options;
}

void E131Protocol::QueueFrame(const uint8_t* channels, UDPOutputMessages& msgs, int64_t nowMs) {
    if (stopped) {
        // A terminated stream stays quiet until there is something new to show.
        if (!stream.Changed(channels)) {
            return;
        }
        stopped = false;
        stream.Reset();
    }
    std::vector<PacketStream::Packet>& packets = stream.Packets();
    size_t queued = stream.QueueDue(channels, msgs, nowMs, false, [&](PacketStream::Packet& p, bool) {
        stamp(p, (size_t)(&p - packets.data()), header.options);
    });
    if (queued && syncUniverse) {
        e131::encodeSync(syncPacket.bytes.data(), header.cid, syncSequence++, syncUniverse);
        stream.Queue(syncPacket, msgs, nowMs);
        syncPacketsSent++;
    }
}

void E131Protocol::QueueStop(UDPOutputMessages& msgs, int64_t nowMs) {
    std::vector<PacketStream::Packet>& packets = stream.Packets();
    // Each packet of the stream is queued three times over; the copies are kept in
    // packets of their own so that each carries its own sequence number.
    m_stopCopies.clear();
    m_stopCopies.reserve(packets.size() * 3);
    for (int round = 0; round < 3; round++) {
        for (size_t i = 0; i < packets.size(); i++) {
            m_stopCopies.emplace_back();
            PacketStream::Packet& c = m_stopCopies.back();
            c.bytes = packets[i].bytes;
            c.destination = packets[i].destination;
            c.bytes[e131::SEQUENCE_OFFSET] = sequences[i]++;
            c.bytes[e131::OPTIONS_OFFSET] = (uint8_t)(header.options | e131::OPTION_STREAM_TERMINATED);
        }
    }
    for (PacketStream::Packet& c : m_stopCopies) {
        stream.Queue(c, msgs, nowMs);
    }
    terminations++;
}

void E131Protocol::AddressResolved(uint32_t address) {
    PacketProtocol::AddressResolved(address);
    if (syncPacket.destination.sin_addr.s_addr == 0) {
        syncPacket.destination.sin_addr.s_addr = address;
    }
}

std::vector<uint32_t> E131Protocol::GroupKeys() const {
    std::vector<uint32_t> keys = PacketProtocol::GroupKeys();
    if (syncUniverse) {
        uint32_t k = PacketStream::GroupKey(syncPacket.destination);
        if (std::find(keys.begin(), keys.end(), k) == keys.end()) {
            keys.push_back(k);
        }
    }
    return keys;
}

void E131Protocol::AddStatus(Json::Value& status) {
    status["cid"] = e131out::CidText(header.cid);
    status["sourceName"] = header.sourceName;
    status["priority"] = header.priority;
    status["firstUniverse"] = universes.empty() ? 0 : universes.front();
    status["universes"] = (Json::UInt64)universes.size();
    status["address"] = address.empty() ? std::string("multicast") : address;
    if (!interfaceName.empty()) {
        status["interface"] = interfaceName;
    }
    status["syncUniverse"] = syncUniverse;
    status["syncPacketsSent"] = (Json::UInt64)syncPacketsSent;
    status["terminations"] = (Json::UInt64)terminations;
}

E131Output::E131Output(unsigned int startChannel, unsigned int channelCount)
    : PacketOutput(startChannel, channelCount, "E131") {}

const std::vector<ConfigKey>& E131Output::Keys() const {
    static const std::vector<ConfigKey> keys = {
        {"universe", ConfigKey::WHOLE, e131::MIN_UNIVERSE, e131::MAX_UNIVERSE},
        {"universeSize", ConfigKey::WHOLE, 1, (long long)e131::MAX_SLOTS},
        {"address", ConfigKey::TEXT},
        {"interface", ConfigKey::TEXT},
        {"priority", ConfigKey::WHOLE, 0, e131::MAX_PRIORITY},
        {"sourceName", ConfigKey::TEXT},
        {"syncUniverse", ConfigKey::WHOLE, 0, e131::MAX_UNIVERSE},
        {"keepAliveMs", ConfigKey::WHOLE, 0, 60000},
        {"preview", ConfigKey::BOOL},
    };
    return keys;
}

std::shared_ptr<PacketProtocol> E131Output::CreateProtocol(const Json::Value& config, bool checkOnly,
                                                           std::vector<std::string>& errors) {
    auto p = std::make_shared<E131Protocol>();
    bool ok = true; // the key table has checked types and ranges
    const std::string who = "E131 output";
    int universe = JsonKeyInt(config, "universe", 1, who, ok);
    int universeSize = JsonKeyInt(config, "universeSize", 510, who, ok);
    int priority = JsonKeyInt(config, "priority", 100, who, ok);
    int syncUniverse = JsonKeyInt(config, "syncUniverse", 0, who, ok);
    int keepAlive = JsonKeyInt(config, "keepAliveMs", 1000, who, ok);
    bool preview = JsonKeyBool(config, "preview", false, who, ok);
    p->address = JsonKeyString(config, "address", "", who, ok);
    p->interfaceName = JsonKeyString(config, "interface", "", who, ok);
    std::string sourceName = JsonKeyString(config, "sourceName", defaultSourceName(), who, ok);
    size_t count = (m_channelCount + (unsigned)universeSize - 1) / (unsigned)universeSize;
    if ((size_t)universe + count - 1 > e131::MAX_UNIVERSE) {
        errors.push_back("\"channelCount\" " + std::to_string(m_channelCount) + " needs " +
                         std::to_string(count) + " universes of " + std::to_string(universeSize) +
                         " from \"universe\" " + std::to_string(universe) + ", past the last universe 63999");
        return nullptr;
    }
    uint32_t unicast = 0;
    if (!p->address.empty() && !UnicastAddress(p->address, unicast, errors)) {
        return nullptr;
    }
    std::string why;
    if (!p->stream.SetInterface(p->interfaceName, why)) {
        errors.push_back("\"interface\": " + why);
        return nullptr;
    }
    if (checkOnly) {
        return p;
    }
    p->stream.SetKeepAliveMs(keepAlive == 0 ? INT32_MAX : keepAlive);

    std::string warning;
    p->header.cid = e131out::StreamCid((p->address.empty() ? std::string("multicast") : p->address) +
                                           " universe " + std::to_string(universe),
                                       warning);
    if (!warning.empty()) {
        WarningHolder::AddWarningTimeout(warning, 60);
        LogWarn(LOGCH_CHANNELOUT, "E131 output: %s\n", warning.c_str());
    }
    p->header.sourceName = sourceName;
    p->header.priority = (uint8_t)priority;
    p->header.syncAddress = (uint16_t)syncUniverse;
    p->header.options = preview ? e131::OPTION_PREVIEW : 0;
    p->syncUniverse = (uint16_t)syncUniverse;
    for (size_t i = 0; i < count; i++) {
        size_t first = m_startChannel + i * (size_t)universeSize;
        size_t slots = std::min((size_t)universeSize, (size_t)m_startChannel + m_channelCount - first);
        uint16_t u = (uint16_t)(universe + i);
        PacketStream::Packet& pk = p->stream.Add(e131::HEADER_SIZE, first, slots,
                                                 p->address.empty() ? groupAddress(u) : unicast, e131::PORT);
        p->header.universe = u;
        e131::encodeDataHeader(pk.bytes.data(), p->header, slots);
        p->universes.push_back(u);
    }
    p->sequences.assign(count, 0);
    if (syncUniverse) {
        p->syncPacket.bytes.assign(e131::SYNC_PACKET_SIZE, 0);
        p->syncPacket.destination.sin_family = AF_INET;
        p->syncPacket.destination.sin_port = htons(e131::PORT);
        p->syncPacket.destination.sin_addr.s_addr =
            p->address.empty() ? groupAddress((uint16_t)syncUniverse) : unicast;
    }
    LogInfo(LOGCH_CHANNELOUT, "E131 output: universes %d to %d (%d channels each) to %s, priority %d%s\n",
            universe, universe + (int)count - 1, universeSize,
            p->address.empty() ? "their multicast groups" : p->address.c_str(), priority,
            syncUniverse ? (", synchronized on universe " + std::to_string(syncUniverse)).c_str() : "");
    return p;
}
