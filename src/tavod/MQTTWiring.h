// MQTT in the daemon: the host's MQTT client made from the settings, tavod's own
// topics under the prefix (availability, what plays, commands and their results),
// Home Assistant discovery, and what /api/status shows of it all.
//
// Topics, PREFIX being "MQTTPrefix":
//   PREFIX/status             "online" / "offline", retained (the last will says "offline")
//   PREFIX/player/status      "playing" / "idle", retained, on every change
//   PREFIX/player/sequence    the playing sequence, "" when none, retained
//   PREFIX/player/playlist    the playing playlist, "" when none, retained
//   PREFIX/sync               the sync status as /api/status has it, rounded and
//                             without counters, retained, looked at once a second
//   PREFIX/command            commands in, as POST /api/command takes them, only
//                             with "MQTTAcceptCommands" at 1
//   PREFIX/command/result     {"command", "ok", "result"} for each command run
#pragma once

#include "host/mqtt/MosquittoClient.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include <json/json.h>

class Daemon;

class MQTTWiring {
public:
    // Before the outputs are created (MQTT outputs look for the client in Init), on
    // the main thread. Never waits for the broker.
    void Start(Daemon& daemon);
    // After the outputs are closed (they publish until then), on the main thread:
    // "offline", then the client goes. Safe to call twice.
    void Stop(Daemon& daemon);
    // "mqtt" of /api/status; any thread.
    void AddStatus(Json::Value& status);
    // Runs one message of PREFIX/command (any bytes) on the main thread and gives
    // what PREFIX/command/result says of it: {"command", "ok", "result"}.
    static Json::Value RunCommandPayload(const std::string& payload);

private:
    // On the client's thread: a message on PREFIX/command, queued for the main loop.
    void onCommand(const std::string& payload);
    // On the main loop: queued commands, then what changed.
    void tick();
    void runCommand(const std::string& payload);
    void publishDiscovery();

    bool m_started = false;
    int m_hookId = -1;
    bool m_acceptCommands = false;
    bool m_homeAssistant = false;

    std::mutex m_lock; // guards the members down to m_commandsDropped
    std::unique_ptr<MosquittoClient> m_client;
    std::string m_setupError; // why MQTT is set but does not run
    std::deque<std::string> m_commands;
    uint64_t m_commandsReceived = 0;
    uint64_t m_commandsDropped = 0;

    // Main loop only.
    uint64_t m_announcedConnection = 0; // the connection that was told everything
    std::string m_lastStatus;
    std::string m_lastSequence;
    std::string m_lastPlaylist;
    std::string m_lastSync;
    int64_t m_lastPollMS = 0;
    int64_t m_lastSyncLookMS = INT64_MIN / 2;
};
