// The "ArtNet" output plug-in.
#include "ArtNetOutput.h"

#include "host/core/Common.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace protocols;

ArtNetProtocol::~ArtNetProtocol() {
    if (m_pollFd >= 0) {
        close(m_pollFd);
    }
}

void ArtNetProtocol::QueueFrame(const uint8_t* channels, UDPOutputMessages& msgs, int64_t nowMs) {
    std::vector<PacketStream::Packet>& packets = stream.Packets();
    size_t queued = stream.QueueDue(channels, msgs, nowMs, false, [&](PacketStream::Packet& p, bool) {
        size_t i = (size_t)(&p - packets.data());
        p.bytes[artnet::SEQUENCE_OFFSET] = sequences[i];
        sequences[i] = (uint8_t)(sequences[i] == 255 ? 1 : sequences[i] + 1);
    });
    if (queued && sync) {
        stream.Queue(syncPacket, msgs, nowMs);
        syncPacketsSent++;
    }
}

bool ArtNetProtocol::OpenDiscovery(std::string& error) {
    m_pollFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_pollFd < 0) {
        error = std::string("cannot open a UDP socket for discovery: ") + strerror(errno);
        return false;
    }
    int one = 1;
    setsockopt(m_pollFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    setsockopt(m_pollFd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one));
    setsockopt(m_pollFd, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one));
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(artnet::PORT);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    // Nodes answer a poll on port 6454 whatever port it came from.
    if (bind(m_pollFd, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)) < 0) {
        error = std::string("cannot listen on UDP port 6454 for the nodes' replies: ") + strerror(errno);
        close(m_pollFd);
        m_pollFd = -1;
        return false;
    }
    return true;
}

void ArtNetProtocol::Monitor() {
    if (!discover || m_pollFd < 0) {
        return;
    }
    uint8_t buf[1024];
    int64_t now = GetTimeMS();
    while (true) {
        struct sockaddr_in from;
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(m_pollFd, buf, sizeof(buf), 0, reinterpret_cast<struct sockaddr*>(&from), &len);
        if (n < 0) {
            break;
        }
        artnet::Packet p = artnet::decode(buf, (size_t)n);
        if (p.kind != artnet::PacketKind::pollReply) {
            continue;
        }
        Node& node = nodes[from.sin_addr.s_addr];
        if (node.lastSeenMs == 0) {
            char text[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &from.sin_addr, text, sizeof(text));
            LogInfo(LOGCH_CHANNELOUT, "ArtNet: found node \"%s\" at %s\n", p.reply.shortName.c_str(), text);
        }
        node.reply = p.reply;
        node.lastSeenMs = now;
    }
    // A node that stopped answering three polls is gone.
    for (auto it = nodes.begin(); it != nodes.end();) {
        it = now - it->second.lastSeenMs > 3 * POLL_INTERVAL_MS + 1000 ? nodes.erase(it) : std::next(it);
    }
    if (m_lastPollMs < 0 || now - m_lastPollMs >= POLL_INTERVAL_MS) {
        m_lastPollMs = now;
        uint8_t poll[artnet::POLL_SIZE];
        artnet::encodePoll(poll);
        struct sockaddr_in to;
        memset(&to, 0, sizeof(to));
        to.sin_family = AF_INET;
        to.sin_port = htons(artnet::PORT);
        to.sin_addr.s_addr = destination;
        sendto(m_pollFd, poll, sizeof(poll), MSG_NOSIGNAL, reinterpret_cast<struct sockaddr*>(&to),
               sizeof(to));
    }
}

void ArtNetProtocol::AddressResolved(uint32_t address) {
    PacketProtocol::AddressResolved(address);
    destination = address;
    syncPacket.destination.sin_addr.s_addr = address;
}

void ArtNetProtocol::AddStatus(Json::Value& status) {
    status["address"] = address;
    status["firstUniverse"] = universes.empty() ? 0 : universes.front();
    status["universes"] = (Json::UInt64)universes.size();
    status["sync"] = sync;
    status["syncPacketsSent"] = (Json::UInt64)syncPacketsSent;
    if (!discover) {
        return;
    }
    Json::Value list(Json::arrayValue);
    int64_t now = GetTimeMS();
    for (const auto& n : nodes) {
        const artnet::PollReply& r = n.second.reply;
        Json::Value j(Json::objectValue);
        struct in_addr a;
        a.s_addr = n.first;
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &a, text, sizeof(text));
        j["address"] = text;
        j["shortName"] = r.shortName;
        j["longName"] = r.longName;
        Json::Value outs(Json::arrayValue);
        for (uint16_t o : r.outputs) {
            outs.append(o);
        }
        j["outputs"] = outs;
        Json::Value ins(Json::arrayValue);
        for (uint16_t i : r.inputs) {
            ins.append(i);
        }
        j["inputs"] = ins;
        j["lastSeenMsAgo"] = (Json::Int64)(now - n.second.lastSeenMs);
        list.append(j);
    }
    status["nodes"] = list;
}

ArtNetOutput::ArtNetOutput(unsigned int startChannel, unsigned int channelCount)
    : PacketOutput(startChannel, channelCount, "ArtNet") {}

const std::vector<ConfigKey>& ArtNetOutput::Keys() const {
    static const std::vector<ConfigKey> keys = {
        {"address", ConfigKey::TEXT},
        {"universe", ConfigKey::WHOLE, 0, artnet::MAX_PORT_ADDRESS},
        {"net", ConfigKey::WHOLE, 0, 127},
        {"subnet", ConfigKey::WHOLE, 0, 15},
        {"universeSize", ConfigKey::WHOLE, 2, (long long)artnet::MAX_DMX_LENGTH},
        {"sync", ConfigKey::BOOL},
        {"keepAliveMs", ConfigKey::WHOLE, 0, 60000},
        {"discover", ConfigKey::BOOL},
    };
    return keys;
}

std::shared_ptr<PacketProtocol> ArtNetOutput::CreateProtocol(const Json::Value& config, bool checkOnly,
                                                             std::vector<std::string>& errors) {
    auto p = std::make_shared<ArtNetProtocol>();
    bool ok = true; // the key table has checked types and ranges
    const std::string who = "ArtNet output";
    int portAddress = JsonKeyInt(config, "universe", 0, who, ok);
    if (config.isMember("net") || config.isMember("subnet")) {
        int net = JsonKeyInt(config, "net", 0, who, ok);
        int subnet = JsonKeyInt(config, "subnet", 0, who, ok);
        if (portAddress > 15) {
            errors.push_back("with \"net\" and \"subnet\", \"universe\" is 0 to 15, not " +
                             std::to_string(portAddress));
        }
        portAddress = artnet::portAddress((unsigned)net, (unsigned)subnet, (unsigned)portAddress);
    }
    int universeSize = JsonKeyInt(config, "universeSize", 510, who, ok);
    int keepAlive = JsonKeyInt(config, "keepAliveMs", 1000, who, ok);
    p->sync = JsonKeyBool(config, "sync", false, who, ok);
    p->discover = JsonKeyBool(config, "discover", false, who, ok);
    p->address = JsonKeyString(config, "address", "", who, ok);
    if (universeSize % 2) {
        errors.push_back("\"universeSize\" must be even (ArtDmx carries an even number of channels), not " +
                         std::to_string(universeSize));
    }
    if (p->address.empty()) {
        errors.push_back("\"address\" is missing: a node's address, or a broadcast address such as "
                         "\"2.255.255.255\"");
    }
    if (!errors.empty()) {
        return nullptr;
    }
    size_t count = (m_channelCount + (unsigned)universeSize - 1) / (unsigned)universeSize;
    if ((size_t)portAddress + count - 1 > artnet::MAX_PORT_ADDRESS) {
        errors.push_back("\"channelCount\" " + std::to_string(m_channelCount) + " needs " +
                         std::to_string(count) + " universes from " + std::to_string(portAddress) +
                         ", past the last port-address 32767");
        return nullptr;
    }
    if (!UnicastAddress(p->address, p->destination, errors)) {
        return nullptr;
    }
    if (checkOnly) {
        return p;
    }
    p->stream.SetKeepAliveMs(keepAlive == 0 ? INT32_MAX : keepAlive);
    for (size_t i = 0; i < count; i++) {
        size_t first = m_startChannel + i * (size_t)universeSize;
        size_t length = std::min((size_t)universeSize, (size_t)m_startChannel + m_channelCount - first);
        // ArtDmx lengths are even: an odd last universe carries one channel more,
        // which stays 0.
        size_t wire = length + (length & 1);
        uint16_t u = (uint16_t)(portAddress + i);
        PacketStream::Packet& pk =
            p->stream.Add(artnet::DMX_HEADER_SIZE, first, length, p->destination, artnet::PORT);
        pk.bytes.resize(artnet::DMX_HEADER_SIZE + wire, 0);
        artnet::encodeDmxHeader(pk.bytes.data(), u, 1, wire);
        p->universes.push_back(u);
    }
    p->sequences.assign(count, 1);
    if (p->sync) {
        p->syncPacket.bytes.assign(artnet::SYNC_SIZE, 0);
        artnet::encodeSync(p->syncPacket.bytes.data());
        p->syncPacket.destination.sin_family = AF_INET;
        p->syncPacket.destination.sin_port = htons(artnet::PORT);
        p->syncPacket.destination.sin_addr.s_addr = p->destination;
    }
    if (p->discover) {
        std::string why;
        if (!p->OpenDiscovery(why)) {
            LogWarn(LOGCH_CHANNELOUT, "ArtNet output: %s; nodes are not listed\n", why.c_str());
        }
    }
    LogInfo(LOGCH_CHANNELOUT, "ArtNet output: universes %d to %d (%d channels each) to %s%s\n", portAddress,
            portAddress + (int)count - 1, universeSize, p->address.c_str(), p->sync ? ", with ArtSync" : "");
    return p;
}
