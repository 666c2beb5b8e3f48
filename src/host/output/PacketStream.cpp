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

void PacketStream::queueMessage(struct sockaddr_in& destination, struct iovec& iov, UDPOutputMessages& msgs) {
    struct mmsghdr m;
    memset(&m, 0, sizeof(m));
    m.msg_hdr.msg_name = &destination;
    m.msg_hdr.msg_namelen = sizeof(destination);
    m.msg_hdr.msg_iov = &iov;
    m.msg_hdr.msg_iovlen = 1;
    if (!m_control.empty() && IsMulticast(destination.sin_addr.s_addr)) {
        m.msg_hdr.msg_control = m_control.data();
        m.msg_hdr.msg_controllen = m_control.size();
    }
    m.msg_len = (unsigned int)iov.iov_len;
    msgs.GetMessages(GroupKey(destination)).push_back(m);
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
    m_due.assign(m_packets.size(), false);
    bool any = false;
    for (size_t i = 0; i < m_packets.size(); i++) {
        Packet& p = m_packets[i];
        uint8_t* data = p.bytes.data() + p.dataOffset;
        const uint8_t* src = channels + p.channel;
        bool changed = p.lastSentMs < 0 || memcmp(data, src, p.length) != 0;
        if (changed) {
            memcpy(data, src, p.length);
        }
        m_due[i] = changed || nowMs - p.lastSentMs >= m_keepAliveMs;
        any = any || m_due[i];
    }
    if (wholeFrame && any) {
        // The whole frame goes out, so that the receiver never shows one put
        // together from two of ours.
        m_due.assign(m_packets.size(), true);
    }
    size_t last = m_packets.size();
    for (size_t i = 0; i < m_packets.size(); i++) {
        if (m_due[i]) {
            last = i;
        }
    }
    size_t queued = 0;
    for (size_t i = 0; i < m_packets.size(); i++) {
        if (!m_due[i]) {
            continue;
        }
        if (stamp) {
            stamp(m_packets[i], i == last);
        }
        Queue(m_packets[i], msgs, nowMs);
        queued++;
    }
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
