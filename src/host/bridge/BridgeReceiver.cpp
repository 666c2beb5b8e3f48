#include "BridgeReceiver.h"

#include "host/core/Log.h"
#include "host/core/Warnings.h"
#include "host/output/ChannelBuffer.h"
#include "protocols/ArtNet.h"
#include "protocols/DDP.h"
#include "protocols/E131.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "host/core/Common.h"

using namespace protocols;

namespace bridge {

namespace {

std::string addressText(uint32_t a) {
    struct in_addr in;
    in.s_addr = a;
    char buf[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &in, buf, sizeof(buf));
    return buf;
}

std::string hex(const uint8_t* b, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

} // namespace

Receiver::Receiver() {}

Receiver::~Receiver() {
    Stop();
}

int Receiver::openSocket(uint16_t port, const char* what) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        LogErr(LOGCH_GENERAL, "Bridge: no %s socket: %s\n", what, strerror(errno));
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    // Bursts of hundreds of universes per frame must not overflow the queue.
    int size = 4 * 1024 * 1024;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)) != 0) {
        LogErr(LOGCH_GENERAL, "Bridge: cannot listen for %s on UDP port %u: %s\n", what, port,
               strerror(errno));
        WarningHolder::AddWarning(std::string("Bridge: cannot listen for ") + what + " on UDP port " +
                                  std::to_string(port) + ": " + strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

void Receiver::joinGroups() {
    struct ip_mreqn m;
    memset(&m, 0, sizeof(m));
    if (!m_config.e131Interface.empty()) {
        m.imr_ifindex = (int)if_nametoindex(m_config.e131Interface.c_str());
        if (m.imr_ifindex == 0) {
            std::string w = "Bridge: E1.31 interface \"" + m_config.e131Interface + "\" does not exist";
            LogWarn(LOGCH_GENERAL, "%s; no multicast universes are received\n", w.c_str());
            WarningHolder::AddWarning(w);
            return;
        }
    }
    // The receiving socket is bound to the port on every address and takes the
    // datagrams of every group joined on the system (IP_MULTICAST_ALL, the kernel's
    // default, set here in case it was not).
    int one = 1;
    setsockopt(m_e131Fd, IPPROTO_IP, IP_MULTICAST_ALL, &one, sizeof(one));
    int failed = 0;
    std::string firstError;
    int holder = m_e131Fd;
    for (auto& u : m_e131) {
        std::array<uint8_t, 4> g = e131::multicastGroup(u.first);
        memcpy(&m.imr_multiaddr.s_addr, g.data(), 4);
        int r = setsockopt(holder, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof(m));
        if (r != 0 && errno == ENOBUFS) {
            // A socket holds at most net.ipv4.igmp_max_memberships groups (20 by
            // default): the next ones go on a socket that only holds memberships,
            // unbound, so that every datagram still arrives once, on the receiver.
            int more = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (more >= 0) {
                m_membershipFds.push_back(more);
                holder = more;
                r = setsockopt(holder, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof(m));
            }
        }
        if (r != 0 && failed++ == 0) {
            firstError = "universe " + std::to_string(u.first) + ": " + strerror(errno);
        }
    }
    if (failed) {
        std::string w = "Bridge: " + std::to_string(failed) + " E1.31 multicast join(s) failed (" +
                        firstError + "); those universes arrive by unicast only";
        LogWarn(LOGCH_GENERAL, "%s\n", w.c_str());
        WarningHolder::AddWarning(w);
    }
}

void Receiver::Configure(const Config& config, Sink sink, const std::string& boardName) {
    m_config = config;
    m_sink = std::move(sink);
    m_boardName = boardName;
    std::lock_guard<std::mutex> l(m_lock);
    m_e131.clear();
    m_artnet.clear();
    m_e131SyncSeenMs.clear();
    m_artSyncSeenMs = INT64_MIN / 2;
    auto fill = [](std::map<uint16_t, Universe>& to, const std::vector<UniverseRange>& ranges) {
        for (const UniverseRange& r : ranges) {
            for (uint32_t i = 0; i < r.count; i++) {
                Universe& u = to[(uint16_t)(r.universe + i)];
                u.number = (uint16_t)(r.universe + i);
                u.startChannel = r.startChannel + i * r.universeSize;
                u.size = r.universeSize;
            }
        }
    };
    fill(m_e131, config.e131Universes);
    fill(m_artnet, config.artnetUniverses);
}

bool Receiver::Start(const Config& config, Sink sink, const std::string& boardName) {
    Stop();
    Configure(config, std::move(sink), boardName);
    if (config.e131) {
        m_e131Fd = openSocket(e131::PORT, "E1.31");
        if (m_e131Fd >= 0) {
            joinGroups();
        }
    }
    if (config.artnet) {
        m_artnetFd = openSocket(artnet::PORT, "Art-Net");
    }
    if (config.ddp) {
        m_ddpFd = openSocket(config.ddpPort, "DDP");
    }
    if (m_e131Fd < 0 && m_artnetFd < 0 && m_ddpFd < 0) {
        return false;
    }
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread(&Receiver::run, this);
    LogInfo(LOGCH_GENERAL, "Bridge: listening for%s%s%s; data live for %d ms\n",
            m_e131Fd >= 0 ? " E1.31" : "", m_artnetFd >= 0 ? " Art-Net" : "", m_ddpFd >= 0 ? " DDP" : "",
            config.timeoutMs);
    return true;
}

void Receiver::Stop() {
    if (m_thread.joinable()) {
        uint64_t one = 1;
        if (write(m_wakeFd, &one, sizeof(one)) < 0) {
            LogDebug(LOGCH_GENERAL, "Bridge: wake-up write failed: %s\n", strerror(errno));
        }
        m_thread.join();
    }
    for (int* fd : {&m_e131Fd, &m_artnetFd, &m_ddpFd, &m_wakeFd}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    for (int fd : m_membershipFds) {
        close(fd);
    }
    m_membershipFds.clear();
}

void Receiver::run() {
    pthread_setname_np(pthread_self(), "Tavo-Bridge");
    struct pollfd fds[4];
    int fdList[4] = {m_wakeFd, m_e131Fd, m_artnetFd, m_ddpFd};
    for (int i = 0; i < 4; i++) {
        fds[i].fd = fdList[i];
        fds[i].events = POLLIN;
    }
    std::vector<uint8_t> buf(65536);
    while (true) {
        int r = poll(fds, 4, 100);
        if (r < 0 && errno != EINTR) {
            LogErr(LOGCH_GENERAL, "Bridge: poll failed: %s\n", strerror(errno));
            return;
        }
        if (fds[0].revents) {
            return;
        }
        for (int i = 1; i < 4; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & POLLIN)) {
                continue;
            }
            // Up to a burst's worth per wake-up, so no socket starves the others.
            for (int n = 0; n < 1024; n++) {
                struct sockaddr_in from;
                socklen_t fromLen = sizeof(from);
                ssize_t got = recvfrom(fds[i].fd, buf.data(), buf.size(), 0,
                                       reinterpret_cast<struct sockaddr*>(&from), &fromLen);
                if (got < 0) {
                    break;
                }
                int64_t now = GetTimeMS();
                if (i == 1) {
                    HandleE131(buf.data(), (size_t)got, from.sin_addr.s_addr, now);
                } else if (i == 2) {
                    HandleArtNet(buf.data(), (size_t)got, from.sin_addr.s_addr, now);
                } else {
                    HandleDdp(buf.data(), (size_t)got);
                }
            }
        }
        Expire(GetTimeMS());
    }
}

void Receiver::error(Counters& c, const std::string& what) {
    c.errors++;
    if (c.lastError != what) {
        LogDebug(LOGCH_GENERAL, "Bridge: %s\n", what.c_str());
    }
    c.lastError = what;
}

void Receiver::merge(Universe& u) {
    uint8_t top = 0;
    for (const Source& s : u.sources) {
        top = std::max(top, s.priority);
    }
    m_merged.assign(u.size, 0);
    size_t length = 0;
    bool any = false;
    const Source* first = nullptr;
    bool disagree = false;
    for (const Source& s : u.sources) {
        if (s.priority != top || s.slots.empty()) {
            continue;
        }
        any = true;
        if (!first) {
            first = &s;
        } else if (s.slots != first->slots) {
            disagree = true;
        }
        size_t n = std::min(s.slots.size(), (size_t)u.size);
        length = std::max(length, n);
        for (size_t i = 0; i < n; i++) {
            m_merged[i] = std::max(m_merged[i], s.slots[i]);
        }
    }
    if (disagree && (u.warnedMs == 0 || u.lastSeenMs - u.warnedMs >= 1000)) {
        // Two consoles on one universe is a mistake to fix, not a show: say so while
        // it lasts (renewed each second, not each packet: a packet costs microseconds).
        u.warnedMs = u.lastSeenMs;
        WarningHolder::AddWarningTimeout("Bridge: E1.31 universe " + std::to_string(u.number) +
                                             " has sources at priority " + std::to_string(top) +
                                             " that disagree; they are merged, the highest value of each "
                                             "channel winning",
                                         10);
    }
    if (any && m_sink) {
        m_sink(m_merged.data(), u.startChannel, (uint32_t)length);
    }
}

void Receiver::HandleE131(const uint8_t* data, size_t size, uint32_t fromAddress, int64_t nowMs) {
    std::string why;
    e131::Packet p = e131::decode(data, size, &why);
    std::lock_guard<std::mutex> l(m_lock);
    m_e131Counters.packets++;
    if (p.kind == e131::PacketKind::invalid) {
        error(m_e131Counters, "E1.31 packet from " + addressText(fromAddress) + " dropped: " + why);
        return;
    }
    if (p.kind == e131::PacketKind::sync) {
        m_e131Syncs++;
        m_e131SyncSeenMs[p.syncAddress] = nowMs;
        releaseE131(p.syncAddress);
        return;
    }
    if (p.kind != e131::PacketKind::data || p.startCode != 0 || (p.options & e131::OPTION_PREVIEW)) {
        return;
    }
    auto it = m_e131.find(p.universe);
    if (it == m_e131.end()) {
        return; // a universe we do not bridge
    }
    Universe& u = it->second;
    u.packets++;
    u.lastSeenMs = nowMs;
    auto s = std::find_if(u.sources.begin(), u.sources.end(),
                          [&](const Source& x) { return memcmp(x.cid.data(), p.cid.data(), 16) == 0; });
    if (p.options & e131::OPTION_STREAM_TERMINATED) {
        if (s != u.sources.end()) {
            LogInfo(LOGCH_GENERAL, "Bridge: E1.31 source \"%s\" ended universe %u\n", s->name.c_str(),
                    p.universe);
            u.sources.erase(s);
            merge(u);
        }
        return;
    }
    if (s == u.sources.end()) {
        Source n;
        memcpy(n.cid.data(), p.cid.data(), 16);
        u.sources.push_back(n);
        s = u.sources.end() - 1;
    } else if (!e131::sequenceAccepted(s->sequence, p.sequence)) {
        // Late or repeated, but the source is not silent.
        s->lastSeenMs = nowMs;
        u.sequenceErrors++;
        return;
    }
    s->name = p.sourceName;
    s->priority = p.priority;
    s->sequence = p.sequence;
    s->address = fromAddress;
    s->lastSeenMs = nowMs;
    s->slots.assign(p.slots, p.slots + p.slotCount);
    // Synchronized while its sender sends synchronization packets: held for the next.
    auto sync = p.syncAddress ? m_e131SyncSeenMs.find(p.syncAddress) : m_e131SyncSeenMs.end();
    if (sync != m_e131SyncSeenMs.end() && nowMs - sync->second <= SOURCE_TIMEOUT_MS) {
        u.held = true;
        u.syncAddress = p.syncAddress;
        return;
    }
    u.held = false;
    merge(u);
}

void Receiver::releaseE131(uint16_t address) {
    for (auto& e : m_e131) {
        Universe& u = e.second;
        if (u.held && u.syncAddress == address) {
            u.held = false;
            merge(u);
        }
    }
}

void Receiver::releaseArtNet() {
    for (auto& e : m_artnet) {
        Universe& u = e.second;
        if (u.held) {
            u.held = false;
            if (m_sink && !u.pending.empty()) {
                m_sink(u.pending.data(), u.startChannel, (uint32_t)u.pending.size());
            }
        }
    }
}

void Receiver::Expire(int64_t nowMs) {
    std::lock_guard<std::mutex> l(m_lock);
    // Synchronization packets that stopped coming: what waits for them shows now.
    for (auto it = m_e131SyncSeenMs.begin(); it != m_e131SyncSeenMs.end();) {
        if (nowMs - it->second > SOURCE_TIMEOUT_MS) {
            releaseE131(it->first);
            it = m_e131SyncSeenMs.erase(it);
        } else {
            ++it;
        }
    }
    if (nowMs - m_artSyncSeenMs > ARTSYNC_TIMEOUT_MS) {
        releaseArtNet();
    }
    for (auto& e : m_e131) {
        Universe& u = e.second;
        size_t before = u.sources.size();
        if (u.held) {
            continue; // shown when its synchronization comes or stops coming
        }
        u.sources.erase(
            std::remove_if(u.sources.begin(), u.sources.end(),
                           [&](const Source& s) { return nowMs - s.lastSeenMs > SOURCE_TIMEOUT_MS; }),
            u.sources.end());
        if (u.sources.size() != before && !u.sources.empty()) {
            merge(u);
        }
    }
}

void Receiver::HandleArtNet(const uint8_t* data, size_t size, uint32_t fromAddress, int64_t nowMs) {
    std::string why;
    artnet::Packet p = artnet::decode(data, size, &why);
    std::lock_guard<std::mutex> l(m_lock);
    m_artnetCounters.packets++;
    if (p.kind == artnet::PacketKind::invalid) {
        error(m_artnetCounters, "Art-Net packet from " + addressText(fromAddress) + " dropped: " + why);
        return;
    }
    if (p.kind == artnet::PacketKind::poll) {
        artnet::PollReply r;
        // Our address as the poller sees it: the one a reply to it leaves from.
        int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in to;
        memset(&to, 0, sizeof(to));
        to.sin_family = AF_INET;
        to.sin_port = htons(artnet::PORT);
        to.sin_addr.s_addr = fromAddress;
        if (probe >= 0 && connect(probe, reinterpret_cast<struct sockaddr*>(&to), sizeof(to)) == 0) {
            struct sockaddr_in me;
            socklen_t meLen = sizeof(me);
            if (getsockname(probe, reinterpret_cast<struct sockaddr*>(&me), &meLen) == 0) {
                memcpy(r.address.data(), &me.sin_addr.s_addr, 4);
            }
        }
        if (probe >= 0) {
            close(probe);
        }
        r.shortName = m_boardName.substr(0, 17);
        r.longName = (m_boardName + " (tavod bridge)").substr(0, 63);
        r.nodeReport = "#0001 [" + std::to_string(m_artnetCounters.packets) + "] bridging";
        for (auto& u : m_artnet) {
            if (r.outputs.size() == 4) {
                break;
            }
            r.portTypes.push_back(0x80); // outputs DMX taken from the network
            r.outputs.push_back(u.first);
        }
        uint8_t out[artnet::POLL_REPLY_SIZE];
        size_t n = artnet::encodePollReply(out, r);
        if (sendto(m_artnetFd, out, n, 0, reinterpret_cast<struct sockaddr*>(&to), sizeof(to)) < 0) {
            error(m_artnetCounters, std::string("ArtPollReply not sent: ") + strerror(errno));
        }
        return;
    }
    if (p.kind == artnet::PacketKind::sync) {
        m_artSyncs++;
        m_artSyncSeenMs = nowMs;
        releaseArtNet();
        return;
    }
    if (p.kind != artnet::PacketKind::dmx) {
        return;
    }
    auto it = m_artnet.find(p.portAddress);
    if (it == m_artnet.end()) {
        return;
    }
    Universe& u = it->second;
    u.packets++;
    u.lastSeenMs = nowMs;
    const size_t length = std::min(p.length, (size_t)u.size);
    if (nowMs - m_artSyncSeenMs <= ARTSYNC_TIMEOUT_MS) {
        u.held = true;
        u.pending.assign(p.data, p.data + length);
        return;
    }
    if (m_sink) {
        m_sink(p.data, u.startChannel, (uint32_t)length);
    }
}

void Receiver::HandleDdp(const uint8_t* data, size_t size) {
    std::string why;
    ddp::Packet p = ddp::decode(data, size, &why);
    std::lock_guard<std::mutex> l(m_lock);
    m_ddpCounters.packets++;
    if (!p.valid) {
        error(m_ddpCounters, "DDP packet dropped: " + why);
        return;
    }
    if (p.header.flags & (ddp::FLAG_QUERY | ddp::FLAG_REPLY)) {
        return;
    }
    uint64_t end = (uint64_t)p.header.offset + p.length;
    if (end > (uint64_t)TAVO_MAX_CHANNELS - m_config.ddpStartChannel) {
        error(m_ddpCounters,
              "DDP data at offset " + std::to_string(p.header.offset) + " runs past the channel buffer");
        return;
    }
    if (p.length) {
        if (m_ddpFrame.size() < end) {
            m_ddpFrame.resize((size_t)end);
        }
        memcpy(m_ddpFrame.data() + p.header.offset, p.data, p.length);
        m_ddpFrom = std::min(m_ddpFrom, p.header.offset);
        m_ddpTo = std::max(m_ddpTo, (uint32_t)end);
    }
    if (p.push() && m_ddpFrom < m_ddpTo) {
        m_ddpCounters.frames++;
        if (m_sink) {
            m_sink(m_ddpFrame.data() + m_ddpFrom, m_config.ddpStartChannel + m_ddpFrom, m_ddpTo - m_ddpFrom);
        }
        m_ddpFrom = UINT32_MAX;
        m_ddpTo = 0;
    }
}

Json::Value Receiver::GetStatus() {
    std::lock_guard<std::mutex> l(m_lock);
    int64_t now = GetTimeMS();
    auto counters = [](const Counters& c) {
        Json::Value v(Json::objectValue);
        v["packets"] = (Json::Int64)c.packets;
        v["errors"] = (Json::Int64)c.errors;
        if (!c.lastError.empty()) {
            v["lastError"] = c.lastError;
        }
        return v;
    };
    auto universes = [now](const std::map<uint16_t, Universe>& m) {
        Json::Value list(Json::arrayValue);
        for (auto& e : m) {
            const Universe& u = e.second;
            if (!u.packets) {
                continue;
            }
            Json::Value v(Json::objectValue);
            v["universe"] = e.first;
            v["startChannel"] = u.startChannel + 1;
            v["packets"] = (Json::Int64)u.packets;
            v["sequenceErrors"] = (Json::Int64)u.sequenceErrors;
            v["lastSeenMs"] = (Json::Int64)(now - u.lastSeenMs);
            Json::Value sources(Json::arrayValue);
            for (const Source& s : u.sources) {
                Json::Value sv(Json::objectValue);
                sv["name"] = s.name;
                sv["cid"] = hex(s.cid.data(), s.cid.size());
                sv["priority"] = s.priority;
                sv["address"] = addressText(s.address);
                sv["lastSeenMs"] = (Json::Int64)(now - s.lastSeenMs);
                sources.append(sv);
            }
            v["sources"] = sources;
            list.append(v);
        }
        return list;
    };
    Json::Value s(Json::objectValue);
    if (m_e131Fd >= 0) {
        s["e131"] = counters(m_e131Counters);
        s["e131"]["syncPackets"] = (Json::Int64)m_e131Syncs;
        s["e131"]["universes"] = universes(m_e131);
    }
    if (m_artnetFd >= 0) {
        s["artnet"] = counters(m_artnetCounters);
        s["artnet"]["syncPackets"] = (Json::Int64)m_artSyncs;
        s["artnet"]["universes"] = universes(m_artnet);
    }
    if (m_ddpFd >= 0) {
        s["ddp"] = counters(m_ddpCounters);
        s["ddp"]["frames"] = (Json::Int64)m_ddpCounters.frames;
    }
    return s;
}

} // namespace bridge
