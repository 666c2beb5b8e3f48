// The "E131" output: the channels as consecutive E1.31 (sACN) universes, unicast
// to one receiver or multicast per universe, with per-universe sequence numbers,
// keep-alive, optional universe synchronization and stream termination.
#pragma once

#include "host/output/PacketOutput.h"
#include "protocols/E131.h"

#include <memory>
#include <string>
#include <vector>

class E131Protocol : public PacketProtocol {
public:
    void QueueFrame(const uint8_t* channels, UDPOutputMessages& msgs, int64_t nowMs) override;
    // Three packets per universe with the Stream_Terminated bit.
    void QueueStop(UDPOutputMessages& msgs, int64_t nowMs) override;
    void AddStatus(Json::Value& status) override;
    std::vector<uint32_t> GroupKeys() const override;
    void AddressResolved(uint32_t address) override;

    protocols::e131::DataHeader header; // the universe and sequence are set per packet
    std::vector<uint16_t> universes;    // of each packet of `stream`
    std::vector<uint8_t> sequences;     // the next sequence number of each universe
    uint16_t syncUniverse = 0;
    uint8_t syncSequence = 0;
    PacketStream::Packet syncPacket; // to the sync universe's group or the unicast address
    std::string address;             // as configured; empty: multicast
    std::string interfaceName;
    uint64_t syncPacketsSent = 0;
    uint64_t terminations = 0;

private:
    void stamp(PacketStream::Packet& p, size_t index, uint8_t options);
    std::vector<PacketStream::Packet> m_stopCopies; // the termination packets, until sent
};

class E131Output : public PacketOutput {
public:
    E131Output(unsigned int startChannel, unsigned int channelCount);

protected:
    const std::vector<ConfigKey>& Keys() const override;
    std::shared_ptr<PacketProtocol> CreateProtocol(const Json::Value& config, bool checkOnly,
                                                   std::vector<std::string>& errors) override;
};
