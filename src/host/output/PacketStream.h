// One output's frame as a list of UDP packets sent through the UDP engine: each
// packet carries a slice of the channels after its protocol's header. A packet is
// queued when its slice changed, and again when it went out longer ago than the
// keep-alive, so that receivers that drop a silent source keep this one.
//
// The protocol outputs (E1.31, Art-Net, DDP) build the packets once, at Init, and
// stamp their sequence numbers as they are queued. Not thread-safe: the output
// thread queues, and whatever else touches a stream holds the owner's lock.
#pragma once

#include "host/output/UDPOutput.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/uio.h>

class PacketStream {
public:
    struct Packet {
        std::vector<uint8_t> bytes; // header and data, as sent
        size_t dataOffset = 0;      // where the slice lies in `bytes`
        size_t channel = 0;         // 0-based first channel of the slice
        size_t length = 0;          // channels in the slice
        struct sockaddr_in destination {};
        int64_t lastSentMs = -1;
        struct iovec iov {};
        uint32_t groupKey = 0;     // the engine's group of `destination`
        struct mmsghdr message {}; // made at the first QueueDue
    };

    PacketStream() = default;
    PacketStream(const PacketStream&) = delete;
    PacketStream& operator=(const PacketStream&) = delete;

    // Adds a packet of `headerSize` header bytes and `length` channels from
    // `channel` (0-based), to `destination` (network byte order) and `port`.
    Packet& Add(size_t headerSize, size_t channel, size_t length, uint32_t destination, uint16_t port);
    std::vector<Packet>& Packets() { return m_packets; }
    const std::vector<Packet>& Packets() const { return m_packets; }
    // True when any slice in `channels` differs from what its packet holds.
    bool Changed(const uint8_t* channels) const;

    // Multicast datagrams leave by this interface (0: the routing table's choice).
    // False, with `error` set, when there is no such interface.
    bool SetInterface(const std::string& name, std::string& error);
    void SetKeepAliveMs(int ms) { m_keepAliveMs = ms; }
    int KeepAliveMs() const { return m_keepAliveMs; }

    // Copies the slices that changed (or all of them when `wholeFrame` and any
    // changed), and those due for keep-alive, from `channels` (the whole buffer)
    // into their packets and queues them; `stamp(packet, last)` runs on each before
    // it is queued (`last`: no other packet follows in this frame). Returns the
    // number queued.
    size_t QueueDue(const uint8_t* channels, UDPOutputMessages& msgs, int64_t nowMs, bool wholeFrame,
                    const std::function<void(Packet&, bool last)>& stamp);
    // Queues one packet as it is (a sync packet, a termination, a poll).
    void Queue(Packet& p, UDPOutputMessages& msgs, int64_t nowMs);
    // Queues bytes held by the caller until the engine has sent them.
    void QueueBytes(const uint8_t* bytes, size_t size, struct sockaddr_in& destination, struct iovec& iov,
                    UDPOutputMessages& msgs);
    // Forgets what was sent, so that the next QueueDue sends every packet.
    void Reset();

    // The engine group a destination belongs to; broadcast addresses share one.
    static uint32_t GroupKey(const struct sockaddr_in& destination);
    static bool IsBroadcast(uint32_t address);
    static bool IsMulticast(uint32_t address);

    uint64_t PacketsQueued() const { return m_packetsQueued; }

private:
    struct mmsghdr makeMessage(struct sockaddr_in& destination, struct iovec& iov) const;
    void queueMessage(struct sockaddr_in& destination, struct iovec& iov, UDPOutputMessages& msgs);

    std::vector<Packet> m_packets;
    int m_keepAliveMs = 1000;
    // The IP_PKTINFO control message that picks the multicast interface.
    std::vector<uint8_t> m_control;
    uint64_t m_packetsQueued = 0;
    std::vector<uint8_t> m_due; // kept between frames, so that queueing does not allocate
    // The group the last packet of a QueueDue call went to.
    uint32_t m_groupKey = 0;
    std::vector<struct mmsghdr>* m_group = nullptr;
};
