// Base of the outputs that speak a lighting protocol over UDP (E1.31, Art-Net,
// DDP): the protocol builds its packets from the configuration once, and the UDP
// engine asks it for the due ones every frame. This base hands the engine its data
// object, sends what the protocol says on stopping, counts failed sends and warns
// when they go on.
//
// Ownership: the engine owns the data object; the protocol is shared by the data
// object and the output, so either may go first.
#pragma once

#include "host/core/ConfigKeys.h"
#include "host/output/ChannelOutput.h"
#include "host/output/PacketStream.h"
#include "host/output/UDPOutput.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

class PacketProtocol {
public:
    virtual ~PacketProtocol() {}
    // Queues this frame's due packets; `channels` is the whole buffer.
    virtual void QueueFrame(const uint8_t* channels, UDPOutputMessages& msgs, int64_t nowMs) = 0;
    // Queues what receivers should get when the stream ends (nothing by default).
    virtual void QueueStop(UDPOutputMessages&, int64_t) {}
    // About once a second, off the frame path.
    virtual void Monitor() {}
    // What /api/status shows beyond the base's counters.
    virtual void AddStatus(Json::Value&) {}
    // The engine groups the protocol's packets go to, for their failure counts.
    virtual std::vector<uint32_t> GroupKeys() const;
    // The unicast host name was looked up (by the engine, between frames): packets
    // built for it (address 0) go there from now on.
    virtual void AddressResolved(uint32_t address);

    // Guards everything of the protocol: frames, stopping, Monitor and status
    // come from different threads.
    std::mutex lock;
    PacketStream stream;
    bool stopped = false; // QueueStop was sent; the next change starts anew
};

class PacketOutput : public ChannelOutput {
public:
    PacketOutput(unsigned int startChannel, unsigned int channelCount, const std::string& typeName);
    ~PacketOutput() override;

    int Init(Json::Value config) override;
    // Sends the protocol's stop packets (while the engine is there), then closes.
    int Close() override;
    int SendData(unsigned char* channelData) override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override;
    void GetStatus(Json::Value& status) override;

    // The key table's types and ranges, then what the protocol checks beyond them
    // (universes past the last, a missing address), without opening or sending
    // anything. Init calls it first; tavod --check-config calls it alone.
    bool CheckConfig(const Json::Value& config) override;

protected:
    // The output's keys, beyond those of every output.
    virtual const std::vector<ConfigKey>& Keys() const = 0;
    // Reads the protocol's keys (already checked against Keys()) and builds its
    // packets for channels [m_startChannel, m_startChannel + m_channelCount); null
    // with every mistake in `errors`. `checkOnly`: for the check, with no side
    // effects (no socket, no file).
    virtual std::shared_ptr<PacketProtocol> CreateProtocol(const Json::Value& config, bool checkOnly,
                                                           std::vector<std::string>& errors) = 0;

    // The destination of "address": a dotted address at once; a host name gives 0,
    // and the engine looks it up (AddressResolved). False, with a message, when empty.
    static bool UnicastAddress(const std::string& address, uint32_t& out, std::vector<std::string>& errors);

    std::string m_typeName;
    std::shared_ptr<PacketProtocol> m_protocol;

private:
    class Data;
    Data* m_data = nullptr; // owned by the engine
    friend class Data;
    uint64_t m_lastErrors = 0;
    int m_failingSeconds = 0;
    std::string m_warning;
    void monitor();
};
