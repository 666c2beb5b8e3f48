// config/bridge.json: which network inputs listen and where their data lands in
// the channel buffer.
//
//   {"timeoutMs": 2500, "bridgeRefreshRate": 40,
//    "e131":   {"enabled": true, "interface": "", "universes": [
//                 {"universe": 1, "count": 64, "universeSize": 510, "startChannel": 1}]},
//    "artnet": {"enabled": true, "universes": [
//                 {"universe": 0, "count": 4, "universeSize": 510, "startChannel": 32641}]},
//    "ddp":    {"enabled": true, "port": 4048, "startChannel": 1}}
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

namespace bridge {

// `count` consecutive universes from `universe`, each `universeSize` channels, the
// first landing on `startChannel` (0-based here; the file counts from 1).
struct UniverseRange {
    uint32_t universe = 1;
    uint32_t count = 1;
    uint32_t universeSize = 510;
    uint32_t startChannel = 0;
};

struct Config {
    int timeoutMs = 2500;      // how long received data stays live
    float refreshRate = 40.0f; // frames per second while no sequence plays
    bool e131 = false;
    std::string e131Interface; // where multicast groups are joined; empty: the default
    std::vector<UniverseRange> e131Universes;
    bool artnet = false;
    std::vector<UniverseRange> artnetUniverses;
    bool ddp = false;
    uint16_t ddpPort = 4048;
    uint32_t ddpStartChannel = 0;
    bool Any() const { return e131 || artnet || ddp; }
};

// Reads `value` (the file's contents) into `config`; every problem is added to
// `problems`, after `file` and naming the key. True when there were none.
bool ParseConfig(const Json::Value& value, Config& config, std::vector<std::string>& problems,
                 const std::string& file = "bridge.json");
// Reads the file; a missing file is no bridge and no problem (`present` false).
bool LoadConfig(const std::string& path, Config& config, std::vector<std::string>& problems, bool& present);

} // namespace bridge
