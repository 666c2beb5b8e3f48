// The UDP output engine: output types that speak UDP register data objects with the
// one engine, which asks each of them per frame to queue its datagrams and then sends
// them all in batches with sendmmsg.
#pragma once

#include "host/core/MonotonicCondition.h"

#include "host/output/ChannelOutput.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/output/ChannelBuffer.h"

#include <json/json.h>
#include <netinet/in.h>
#include <sys/socket.h>

// Datagrams queued for one frame, grouped by destination. The key is the IPv4
// address as it lies in a sockaddr_in (network byte order); the key with all bits
// set is the broadcast group, sent on the socket that may broadcast.
class UDPOutputMessages {
public:
    static constexpr uint32_t BROADCAST_KEY = 0xFFFFFFFFu;

    std::vector<struct mmsghdr>& GetMessages(uint32_t key);
    // Empties every group but keeps their storage, so queueing does not allocate
    // once the first frames have been sent.
    void clear();
    size_t size() const; // messages over all groups

    std::map<uint32_t, std::vector<struct mmsghdr>>& groups() { return m_messages; }
    const std::map<uint32_t, std::vector<struct mmsghdr>>& groups() const { return m_messages; }

private:
    std::map<uint32_t, std::vector<struct mmsghdr>> m_messages;
};

// One UDP output's state inside the engine. The base reads "address",
// "startChannel" (1-based), "channelCount" and "enabled" from the output's JSON
// object; a bad value is logged and leaves the object inactive.
class UDPOutputData {
public:
    explicit UDPOutputData(const Json::Value& config);
    virtual ~UDPOutputData();

    virtual bool IsPingable();
    // Called by the engine's Monitor(), about once a second; nothing by default.
    virtual void Monitor();
    // Queues this frame's datagrams; `channelData` is the whole channel buffer.
    // Queued messages point into it until the engine has sent them.
    virtual void PrepareData(unsigned char* channelData, UDPOutputMessages& msgs) = 0;
    // Called after every data object has queued its messages for the frame.
    virtual void PostPrepareData(unsigned char* channelData, UDPOutputMessages& msgs);
    virtual void DumpConfig();
    // 0-based first channel in `min`, one past the last channel in `max`.
    virtual void GetRequiredChannelRange(int& min, int& max);
    virtual void StartingOutput();
    virtual void StoppingOutput();
    virtual std::string GetOutputTypeString() const = 0;

    // False when the `count` channels at channelData[startChannel + start] equal
    // the last frame saved with SaveFrame and that frame went out less than a
    // second ago: unchanged data is still refreshed once a second.
    bool NeedToOutputFrame(const unsigned char* channelData, int startChannel, int start, int count);
    // Remembers `count` channels as the last frame sent, and when.
    void SaveFrame(const unsigned char* channelData, int count);

    // IPv4 address of a dotted address or a host name, in network byte order.
    // `valid` tells whether it resolved; 0 is returned when not. A name may take the
    // resolver's whole time-out: only the engine's lookup threads call it for names.
    static in_addr_t toInetAddr(const std::string& address, bool& valid);
    // The same for a dotted address only, at once; false for anything else.
    static bool parseInetAddr(const std::string& address, in_addr_t& out);

    // A host name (not a dotted address) for the engine to look up when added to it.
    bool NeedsLookup() const;
    // The engine's lookup found `addr` for the address text (with the engine's lock
    // held, between frames): sets `valid`. An override keeps its own copy of the
    // address and calls this one.
    virtual void AddressResolved(in_addr_t addr);
    // The text of the user warning shown while the address does not resolve.
    std::string UnresolvedWarning() const;

    // True when startChannel (1-based) and channelCount lie within the channel buffer.
    bool HasValidRange() const;

    std::string ipAddress; // the destination address text
    int startChannel = 0;  // 1-based, as in the configuration
    int channelCount = 0;
    bool active = false; // "enabled" and a sound configuration
    // False when the configuration has a mistake (logged): such an object can never
    // send, and its output should not start at all.
    bool usable = false;
    bool valid = false; // the address resolved (set through toInetAddr or AddressResolved)
    // The address did not resolve, or its lookup did not answer in time: the output
    // is listed as failed until a later lookup finds it.
    bool unresolved = false;
    int skippedFrames = 0; // frames not sent since the last one that was

    // Last frame sent and when (GetTimeMS()); -1 before the first.
    std::vector<unsigned char> lastData;
    int64_t lastSendTimeMS = -1;
};

// The engine itself. The daemon creates it before it initialises outputs (UDP
// output types look for INSTANCE in their Init), calls Init to open the sockets,
// and keeps it in its output list so that PrepData queues and SendData sends the
// frame. It owns every data object handed to addOutput.
class UDPOutput : public ChannelOutput {
public:
    static UDPOutput* INSTANCE;

    UDPOutput(unsigned int startChannel = 0, unsigned int channelCount = 0);
    ~UDPOutput() override;

    // Opens the unicast and broadcast sockets; 0 when they cannot be opened.
    int Init(Json::Value config) override;
    // Closes the sockets; frames queued afterwards are dropped.
    int Close() override;
    // Asks every data object to queue its messages for the frame in `channelData`
    // (the whole buffer), then calls their PostPrepareData.
    void PrepData(unsigned char* channelData) override;
    // Sends what PrepData queued; returns the number of datagrams sent.
    int SendData(unsigned char* channelData) override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override;
    void StartingOutput() override;
    void StoppingOutput() override;
    void DumpConfig() override;

    // Takes ownership of `data`; a null pointer is ignored.
    void addOutput(UDPOutputData* data);
    // Deletes `data` (handed in by addOutput) and sends nothing more for it, for an
    // output that is closed while the engine goes on; false when it is not ours.
    bool removeOutput(UDPOutputData* data);
    // The data objects in the order they were added (borrowed).
    std::vector<UDPOutputData*> GetDataObjects() const;
    size_t GetOutputCount() const;
    // Calls every data object's Monitor(), without the engine's lock; call it on the
    // thread that removes data objects.
    void Monitor();
    // Waits at most `timeoutMs` for the host names of the data objects to be looked
    // up (found or failed); false when some lookup is still going on.
    bool WaitForLookups(int timeoutMs);
    // Empty, or why the data object `data` cannot send now (its address does not resolve).
    std::string GetAddressProblem(UDPOutputData* data) const;

    // Sends every group of `msgs` in batches; returns the datagrams sent.
    int SendMessages(UDPOutputMessages& msgs);

    uint64_t GetSentCount() const;
    uint64_t GetErrorCount() const;
    // Datagrams to one group (UDPOutputMessages' key) that could not be sent.
    uint64_t GetErrorCount(uint32_t key) const;
    bool IsOpen() const;

private:
    int sendAll(UDPOutputMessages& msgs); // m_lock held
    int sendGroup(int fd, uint32_t key, std::vector<struct mmsghdr>& msgs);
    void noteFailure(uint32_t key, const struct mmsghdr& msg, int err);
    void noteSuccess(uint32_t key);

    // Host names are looked up on threads of their own, each with the engine's lock
    // free, so neither a frame nor the daemon's main loop waits for a name server.
    struct Lookup;
    struct PendingLookup {
        std::shared_ptr<Lookup> lookup; // the one in flight, if any
        int64_t startedMS = 0;
        int64_t nextTryMS = 0;
    };
    void lookupLoop();
    void lookupStep(int64_t nowMS); // m_lock held
    void markUnresolved(UDPOutputData* d);

    mutable std::mutex m_lock;       // guards every member below
    MonotonicCondition m_lookupWake; // a lookup ended, a name came, or stop
    MonotonicCondition m_lookupDone; // for WaitForLookups
    std::map<UDPOutputData*, PendingLookup> m_lookups;
    std::thread m_lookupThread;
    bool m_stopLookups = false;
    std::vector<UDPOutputData*> m_outputs;
    UDPOutputMessages m_messages;
    int m_socket = -1;
    int m_broadcastSocket = -1;
    uint64_t m_sent = 0;
    uint64_t m_errors = 0;
    // Destinations whose last send failed, so a dead host is logged once, not per frame.
    std::map<uint32_t, int> m_failing;
    std::map<uint32_t, uint64_t> m_errorsByKey;
};
