// The "ArtNet" output: the channels as consecutive Art-Net port-addresses
// (ArtDmx), unicast or broadcast, with per-universe sequence numbers, keep-alive,
// ArtSync after each frame when asked, and ArtPoll discovery of the nodes.
#pragma once

#include "host/output/PacketOutput.h"
#include "protocols/ArtNet.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

class ArtNetProtocol : public PacketProtocol {
public:
    ~ArtNetProtocol() override;
    void QueueFrame(const uint8_t* channels, UDPOutputMessages& msgs, int64_t nowMs) override;
    // Polls every few seconds and reads the replies, when discovery is on.
    void Monitor() override;
    void AddStatus(Json::Value& status) override;
    void AddressResolved(uint32_t address) override;

    std::vector<uint16_t> universes; // port-address of each packet of `stream`
    std::vector<uint8_t> sequences;  // 1 to 255
    bool sync = false;
    PacketStream::Packet syncPacket;
    std::string address;
    uint32_t destination = 0; // network byte order
    bool discover = false;
    uint64_t syncPacketsSent = 0;

    struct Node {
        protocols::artnet::PollReply reply;
        int64_t lastSeenMs = 0;
    };
    std::map<uint32_t, Node> nodes; // by address

    // Opens the socket polls go out of and replies come in on (port 6454).
    bool OpenDiscovery(std::string& error);
    static constexpr int POLL_INTERVAL_MS = 3000;

private:
    int m_pollFd = -1;
    int64_t m_lastPollMs = -1;
};

class ArtNetOutput : public PacketOutput {
public:
    ArtNetOutput(unsigned int startChannel, unsigned int channelCount);

protected:
    const std::vector<ConfigKey>& Keys() const override;
    std::shared_ptr<PacketProtocol> CreateProtocol(const Json::Value& config, bool checkOnly,
                                                   std::vector<std::string>& errors) override;
};
