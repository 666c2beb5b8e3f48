// The "DDP" output: each frame as DDP packets of at most 1440 channels at their
// byte offset, sequence numbers 1 to 15, PUSH on the last packet of the frame; a
// frame goes out whole when any channel changed, and again for keep-alive.
#pragma once

#include "host/output/PacketOutput.h"

#include <memory>
#include <string>
#include <vector>

class DDPProtocol : public PacketProtocol {
public:
    void QueueFrame(const uint8_t* channels, UDPOutputMessages& msgs, int64_t nowMs) override;
    void AddStatus(Json::Value& status) override;

    std::string address;
    int port = 0;
    uint8_t destinationId = 1;
    uint8_t sequence = 1;
    uint64_t framesSent = 0;
};

class DDPOutput : public PacketOutput {
public:
    DDPOutput(unsigned int startChannel, unsigned int channelCount);

protected:
    const std::vector<ConfigKey>& Keys() const override;
    std::shared_ptr<PacketProtocol> CreateProtocol(const Json::Value& config, bool checkOnly,
                                                   std::vector<std::string>& errors) override;
};
