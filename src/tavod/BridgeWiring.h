// Bridge mode in the daemon: config/bridge.json read at start-up, the network
// input's blocks handed to the engine as bridge data live for "timeoutMs", and,
// while no sequence plays, the output thread kept running at "bridgeRefreshRate"
// so every output shows them (once they expire, the engine's idle frames are blank).
#pragma once

#include "host/bridge/BridgeReceiver.h"

#include <atomic>
#include <string>
#include <vector>

#include <json/json.h>

class Daemon;

class BridgeWiring {
public:
    // Reads the file and checks it the way start-up does; problems name the key.
    static bool LoadConfig(const std::string& path, bridge::Config& config,
                           std::vector<std::string>& problems, bool& present);
    // After the outputs are ready, on the main thread. False when bridge.json is
    // wrong (the problems are logged).
    bool Start(Daemon& daemon);
    // Before the outputs close; safe to call twice.
    void Stop();
    // "bridge" of /api/status; any thread.
    void AddStatus(Json::Value& status);

private:
    bridge::Receiver m_receiver;
    bridge::Config m_config;
    std::atomic<bool> m_running{false};
};
