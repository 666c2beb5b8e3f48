// Synchronisation with other players. Only the packets the playback engine sends
// exist so far; each is logged on the player channel.
#pragma once

#include <atomic>
#include <string>

class MultiSync {
public:
    // Whether this player sends synchronisation packets. Off until the daemon
    // configures this player as the one others follow.
    std::atomic<bool> sendSyncPackets{false};

    void SendSeqOpenPacket(const std::string& filename);
    void SendSeqSyncStartPacket(const std::string& filename);
    void SendSeqSyncStopPacket(const std::string& filename);
    void SendBlankingDataPacket();
};

// The one instance; never null.
extern MultiSync* multiSync;
