// The "CustomUDP" output: datagrams built from a user's template, handed to the
// host's UDP output engine, which owns the data object and sends the messages.
#pragma once

#include "host/output/ChannelOutput.h"
#include "host/output/UDPOutput.h"

#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>
#include <netinet/in.h>
#include <sys/uio.h>

class CustomUDPOutputData : public UDPOutputData {
public:
    explicit CustomUDPOutputData(const Json::Value& config);
    ~CustomUDPOutputData() override;

    bool IsPingable() override;
    void AddressResolved(in_addr_t addr) override;
    // Reads "tokens" and "port" (absent: "" and 0) as the constructor does; false,
    // logged, for a key of the wrong type or a port outside 1 to 65535.
    static bool ReadKeys(const Json::Value& config, const std::string& address, std::string& tokens,
                         int& port);
    void PrepareData(unsigned char* channelData, UDPOutputMessages& msgs) override;
    void DumpConfig() override;
    std::string GetOutputTypeString() const override;

    int port = 0;
    bool isBroadcast = false;
    std::string tokens;
    struct sockaddr_in destination;
    std::vector<uint32_t> dataSegments;
    // segments[i] points into buffers[i]; data segments are pointed at the frame.
    std::vector<struct iovec> segments;
    std::vector<std::vector<uint8_t>> buffers;
};

// Only an entry in the host's output list: the engine does the sending.
class CustomUDPOutput : public ChannelOutput {
public:
    CustomUDPOutput(unsigned int startChannel, unsigned int channelCount);
    ~CustomUDPOutput() override;

    int Init(Json::Value config) override;
    int Close() override;
    bool CheckConfig(const Json::Value& config) override;
    int SendData(unsigned char* channelData) override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override;
};
