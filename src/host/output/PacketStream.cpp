// Packets of a protocol output: change detection, keep-alive and queueing.
#include "host/output/PacketStream.h"

#include <cstring>

#include <arpa/inet.h>
#include <net/if.h>

PacketStream::Packet& PacketStream::Add(size_t headerSize, size_t channel, size_t length,
                                        uint32_t destination, uint16_t port) {
    m_packets.emplace_back();
    Packet& p = m_packets.back();
    p.bytes.assign(headerSize + length, 0);
    p.dataOffset = headerSize;
    p.channel = channel;
    p.length = length;
    p.destination.sin_family = AF_INET;
    p.destination.sin_addr.s_addr = destination;
    p.destination.sin_port = htons(port);
    p.groupKey = GroupKey(p.destination);
    return p;
}

bool PacketStream::SetInterface(const std::string& name, std::string& error) {
    m_control.clear();
    if (name.empty()) {
        return true;
    }
    unsigned int index = if_nametoindex(name.c_str());
    if (index == 0) {
        error = "there is no network interface \"" + name + "\"";
        return false;
    }
    m_control.assign(CMSG_SPACE(sizeof(struct in_pktinfo)), 0);
    struct cmsghdr* c = reinterpret_cast<struct cmsghdr*>(m_control.data());
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
    struct in_pktinfo info;
    memset(&info, 0, sizeof(info));
    info.ipi_ifindex = (int)index;
    memcpy(CMSG_DATA(c), &info, sizeof(info));
    return true;
}

uint32_t PacketStream::GroupKey(const struct sockaddr_in& d) {
    return IsBroadcast(d.sin_addr.s_addr) ? UDPOutputMessages::BROADCAST_KEY : d.sin_addr.s_addr;
}

bool PacketStream::IsBroadcast(uint32_t address) {
    return (ntohl(address) & 0xff) == 0xff && !IsMulticast(address);
}

bool PacketStream::IsMulticast(uint32_t address) {
    return (ntohl(address) >> 28) == 0xe;
}

struct mmsghdr PacketStream::makeMessage(struct sockaddr_in& destination, struct iovec& iov) const {
    struct mmsghdr m;
    memset(&m, 0, sizeof(m));
    m.msg_hdr.msg_name = &destination;
    m.msg_hdr.msg_namelen = sizeof(destination);
    m.msg_hdr.msg_iov = &iov;
    m.msg_hdr.msg_iovlen = 1;
    if (!m_control.empty() && IsMulticast(destination.sin_addr.s_addr)) {
        m.msg_hdr.msg_control = const_cast<uint8_t*>(m_control.data());
        m.msg_hdr.msg_controllen = m_control.size();
    }
    m.msg_len = (unsigned int)iov.iov_len;
    return m;
}

void PacketStream::queueMessage(struct sockaddr_in& destination, struct iovec& iov, UDPOutputMessages& msgs) {
    msgs.GetMessages(GroupKey(destination)).push_back(makeMessage(destination, iov));
    m_packetsQueued++;
}

void PacketStream::Queue(Packet& p, UDPOutputMessages& msgs, int64_t nowMs) {
    p.iov.iov_base = p.bytes.data();
    p.iov.iov_len = p.bytes.size();
    queueMessage(p.destination, p.iov, msgs);
    p.lastSentMs = nowMs;
}

void PacketStream::QueueBytes(const uint8_t* bytes, size_t size, struct sockaddr_in& destination,
                              struct iovec& iov, UDPOutputMessages& msgs) {
    iov.iov_base = const_cast<uint8_t*>(bytes);
    iov.iov_len = size;
    queueMessage(destination, iov, msgs);
}

size_t PacketStream::QueueDue(const uint8_t* channels, UDPOutputMessages& msgs, int64_t nowMs,
                              bool wholeFrame, const std::function<void(Packet&, bool last)>& stamp) {
    size_t n = m_packets.size();
    m_due.assign(n, 0);
    size_t last = n;
    for (size_t i = 0; i < n; i++) {
        Packet& p = m_packets[i];
        uint8_t* data = p.bytes.data() + p.dataOffset;
        const uint8_t* src = channels + p.channel;
        bool changed = p.lastSentMs < 0 || memcmp(data, src, p.length) != 0;
        if (changed) {
            memcpy(data, src, p.length);
        }
        if (changed || nowMs - p.lastSentMs >= m_keepAliveMs) {
            m_due[i] = 1;
            last = i;
        }
    }
    if (wholeFrame && last < n) {
        // The whole frame goes out, so that the receiver never shows one put
        // together from two of ours.
        m_due.assign(n, 1);
        last = n - 1;
    }
    size_t queued = 0;
    m_group = nullptr; // every packet of this call goes to `msgs`
    for (size_t i = 0; i < n; i++) {
        if (!m_due[i]) {
            continue;
        }
        Packet& p = m_packets[i];
        if (stamp) {
            stamp(p, i == last);
        }
        if (p.message.msg_hdr.msg_iov != &p.iov) {
            // Made once: the packet's place in memory is fixed once the stream is built.
            p.iov.iov_base = p.bytes.data();
            p.iov.iov_len = p.bytes.size();
            p.message = makeMessage(p.destination, p.iov);
        }
        if (!m_group || m_groupKey != p.groupKey) {
            m_group = &msgs.GetMessages(p.groupKey);
            m_groupKey = p.groupKey;
        }
        m_group->push_back(p.message);
        m_packetsQueued++;
        p.lastSentMs = nowMs;
        queued++;
    }
    m_group = nullptr;
    return queued;
}

bool PacketStream::Changed(const uint8_t* channels) const {
    for (const Packet& p : m_packets) {
        if (p.lastSentMs < 0 || memcmp(p.bytes.data() + p.dataOffset, channels + p.channel, p.length) != 0) {
            return true;
        }
    }
    return false;
}

void PacketStream::Reset() {
    for (Packet& p : m_packets) {
        p.lastSentMs = -1;
    }
}
