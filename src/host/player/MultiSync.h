// Synchronisation with other players: the playback engine tells this object what it
// opens, starts, stops and blanks; the daemon's sync (a leader's sender) listens.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

class MultiSync {
public:
    enum Event { OPEN, START, STOP, BLANK };
    // Gets each event with the sequence's name ("" for BLANK), on the engine's thread.
    using Listener = std::function<void(Event event, const std::string& name)>;

    // Whether this player sends synchronisation packets. Off until the daemon
    // configures this player as the one others follow.
    std::atomic<bool> sendSyncPackets{false};

    void SendSeqOpenPacket(const std::string& filename);
    void SendSeqSyncStartPacket(const std::string& filename);
    void SendSeqSyncStopPacket(const std::string& filename);
    void SendBlankingDataPacket();

    // Who sends the packets; an empty function for none.
    void SetListener(Listener listener);

private:
    void tell(Event event, const std::string& name);

    std::mutex m_lock;
    Listener m_listener;
};

// The one instance; never null.
extern MultiSync* multiSync;
