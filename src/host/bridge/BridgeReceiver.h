// The network input: E1.31, Art-Net and DDP received on a thread of its own
// ("Tavo-Bridge"), merged per universe and handed on as blocks of channels.
//
// E1.31: per source sequence window; a source is dropped at its Stream_Terminated
// or after 2.5 s of silence, and the next one takes over at once; preview data is
// ignored; the highest priority of a universe wins, equal priorities are merged
// highest value first. Art-Net: ArtDmx, and ArtPoll answered with an
// ArtPollReply. DDP: packets gather into a frame that PUSH hands on.
//
// Synchronized senders: E1.31 data naming a sync address is held until the
// synchronization packet for that address, and Art-Net data until the next
// ArtSync, so every universe of a frame shows at once. A sender that stops sending
// them (2.5 s for E1.31, 4 s for Art-Net) is shown at once again, held data first.
#pragma once

#include "BridgeConfig.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

namespace bridge {

class Receiver {
public:
    // Gets each block: `length` bytes for channels `startChannel` (0-based) onward.
    // Runs on the receiver's thread.
    using Sink = std::function<void(const uint8_t* data, uint32_t startChannel, uint32_t length)>;

    // How long a silent E1.31 source is kept, and how long E1.31 data waits for a
    // synchronization packet that does not come.
    static constexpr int64_t SOURCE_TIMEOUT_MS = 2500;
    // How long after the last ArtSync Art-Net data is still held for the next.
    static constexpr int64_t ARTSYNC_TIMEOUT_MS = 4000;

    Receiver();
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // Opens the sockets the configuration enables and starts the thread. A socket
    // that cannot be opened is logged and left out; false when none could.
    bool Start(const Config& config, Sink sink, const std::string& boardName);
    void Stop();

    // {"e131": {"packets", "errors", "universes": [{"universe", "packets",
    //  "sequenceErrors", "sources": [{"name", "cid", "priority", "address",
    //  "lastSeenMs"}]}]}, "artnet": {...}, "ddp": {"packets", "frames", "errors"}}
    Json::Value GetStatus();

    // The universes and the sink, without sockets or thread: Start does this first;
    // tests and the fuzz harness feed datagrams to a receiver set up so.
    void Configure(const Config& config, Sink sink, const std::string& boardName);

    // One datagram as the thread handles it (the sockets' fds name the protocol).
    void HandleE131(const uint8_t* data, size_t size, uint32_t fromAddress, int64_t nowMs);
    void HandleArtNet(const uint8_t* data, size_t size, uint32_t fromAddress, int64_t nowMs);
    void HandleDdp(const uint8_t* data, size_t size);
    // Drops E1.31 sources silent for too long.
    void Expire(int64_t nowMs);

private:
    struct Source {
        std::array<uint8_t, 16> cid{};
        std::string name;
        uint8_t priority = 0;
        uint8_t sequence = 0;
        uint32_t address = 0;
        int64_t lastSeenMs = 0;
        std::vector<uint8_t> slots;
    };
    struct Universe {
        uint16_t number = 0;
        uint32_t startChannel = 0;
        uint32_t size = 0;
        long long packets = 0;
        long long sequenceErrors = 0;
        std::vector<Source> sources;
        int64_t lastSeenMs = 0;
        int64_t warnedMs = 0; // when its sources' disagreement was last warned about
        // Data waiting for its synchronization: E1.31 merges its sources then (the
        // address is `syncAddress`), Art-Net hands on `pending`.
        bool held = false;
        uint16_t syncAddress = 0;
        std::vector<uint8_t> pending;
    };
    struct Counters {
        long long packets = 0;
        long long frames = 0;
        long long errors = 0;
        std::string lastError;
    };

    void run();
    int openSocket(uint16_t port, const char* what);
    void joinGroups();
    // Merges the universe's winning sources and hands them on; m_lock held.
    void merge(Universe& u);
    // Hands on what waits for synchronization address `address` (E1.31) or for an
    // ArtSync (Art-Net); m_lock held.
    void releaseE131(uint16_t address);
    void releaseArtNet();
    void error(Counters& c, const std::string& what);

    Config m_config;
    Sink m_sink;
    std::string m_boardName;
    int m_e131Fd = -1;
    int m_artnetFd = -1;
    int m_ddpFd = -1;
    int m_wakeFd = -1;
    // Sockets that hold the multicast memberships one socket cannot (joinGroups).
    std::vector<int> m_membershipFds;
    std::thread m_thread;

    std::mutex m_lock; // guards everything below; the thread holds it per datagram
    std::map<uint16_t, Universe> m_e131;
    std::map<uint16_t, Universe> m_artnet;
    std::map<uint16_t, int64_t> m_e131SyncSeenMs; // sync address: its last synchronization packet
    int64_t m_artSyncSeenMs = INT64_MIN / 2;      // the last ArtSync
    long long m_e131Syncs = 0, m_artSyncs = 0;
    Counters m_e131Counters, m_artnetCounters, m_ddpCounters;
    std::vector<uint8_t> m_ddpFrame; // the frame being gathered, from DDP offset 0
    uint32_t m_ddpFrom = UINT32_MAX, m_ddpTo = 0;
    std::vector<uint8_t> m_merged;
};

} // namespace bridge
