// The daemon's MQTT services.
#include "MQTTWiring.h"

#include "Daemon.h"
#include "Sequence.h"
#include "host/core/Common.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"
#include "host/core/Settings.h"
#include "host/core/Warnings.h"
#include "host/player/CommandManager.h"

#include <cmath>

namespace {

// Commands waiting for the main loop; more are refused (a flood is not a show).
const size_t MAX_QUEUED_COMMANDS = 16;
// How often the main loop looks for a change of what plays.
const int64_t POLL_MS = 100;

// A Home Assistant object id: letters, digits, '_' and '-'.
std::string nodeId(const std::string& clientId) {
    std::string id;
    for (char c : clientId) {
        id += (isalnum((unsigned char)c) || c == '-' || c == '_') ? c : '_';
    }
    return id;
}

// The sync status rounded to what a user watches (offsets to 0.1 ms, the slew to
// 0.01 %), without what changes with every packet (counters, last seen): so that
// PREFIX/sync is published when something changed, not on every look.
std::string syncSummary(Json::Value s) {
    auto round = [](Json::Value& v, const char* key, double step) {
        if (v.isMember(key)) {
            v[key] = std::round(v[key].asDouble() / step) * step;
        }
    };
    for (const char* counter : {"packetsSent", "packetsReceived", "sendErrors"}) {
        s.removeMember(counter);
    }
    if (s.isMember("boards")) {
        for (Json::Value& b : s["boards"]) {
            b.removeMember("lastSeenMs");
            round(b, "offsetMs", 0.1);
        }
    }
    round(s, "offsetMs", 0.1);
    round(s, "slewPercent", 0.01);
    return SaveJsonToString(s, "");
}

} // namespace

void MQTTWiring::Start(Daemon& daemon) {
    if (m_started) {
        return;
    }
    m_started = true;
    m_acceptCommands = getSettingInt("MQTTAcceptCommands", 0) == 1;
    m_homeAssistant = getSettingInt("MQTTHomeAssistant", 0) == 1;

    MosquittoSettings settings;
    std::string error;
    if (!MosquittoSettings::FromHostSettings(settings, error)) {
        LogErr(LOGCH_GENERAL, "MQTT not started: %s\n", error.c_str());
        WarningHolder::AddWarning("MQTT not started: " + error);
        std::lock_guard<std::mutex> l(m_lock);
        m_setupError = error;
        return;
    }
    if (settings.host.empty()) {
        LogDebug(LOGCH_GENERAL, "MQTT is off (no MQTTHost)\n");
        return;
    }
    std::unique_ptr<MosquittoClient> client(new MosquittoClient(settings));
    std::string commandTopic = settings.prefix + "/command";
    if (m_acceptCommands) {
        client->AddCallback(commandTopic,
                            [this](const std::string&, const std::string& payload) { onCommand(payload); });
    }
    if (!client->Start(error)) {
        LogErr(LOGCH_GENERAL, "MQTT not started: %s\n", error.c_str());
        WarningHolder::AddWarning("MQTT not started: " + error);
        std::lock_guard<std::mutex> l(m_lock);
        m_setupError = error;
        return;
    }
    if (m_acceptCommands) {
        LogInfo(LOGCH_GENERAL, "MQTT: commands on %s are accepted\n", commandTopic.c_str());
    } else {
        LogInfo(LOGCH_GENERAL,
                "MQTT: commands on %s are ignored; set MQTTAcceptCommands to 1 to accept them\n",
                commandTopic.c_str());
    }
    {
        std::lock_guard<std::mutex> l(m_lock);
        m_client = std::move(client);
        mqtt = m_client.get();
    }
    m_hookId = daemon.AddLoopHook([this] { tick(); });
}

void MQTTWiring::Stop(Daemon& daemon) {
    if (!m_started) {
        return;
    }
    m_started = false;
    if (m_hookId >= 0) {
        daemon.RemoveLoopHook(m_hookId);
        m_hookId = -1;
    }
    std::unique_ptr<MosquittoClient> client;
    size_t unrun = 0;
    {
        std::lock_guard<std::mutex> l(m_lock);
        client = std::move(m_client);
        unrun = m_commands.size();
        m_commands.clear();
    }
    if (unrun) {
        LogWarn(LOGCH_GENERAL, "MQTT: %zu command(s) received during shutdown were not run\n", unrun);
    }
    if (client) {
        if (mqtt == client.get()) {
            mqtt = nullptr;
        }
        // The client's thread calls onCommand until it ends: outside our lock.
        client->Stop();
        client.reset();
    }
}

void MQTTWiring::onCommand(const std::string& payload) {
    std::lock_guard<std::mutex> l(m_lock);
    m_commandsReceived++;
    if (m_commands.size() >= MAX_QUEUED_COMMANDS) {
        m_commandsDropped++;
        LogWarn(LOGCH_GENERAL, "MQTT: %zu commands are already waiting; this one is not run: %.200s\n",
                m_commands.size(), payload.c_str());
        return;
    }
    m_commands.push_back(payload);
}

void MQTTWiring::runCommand(const std::string& payload) {
    const Json::Value answer = RunCommandPayload(payload);
    if (mqtt) {
        mqtt->Publish("command/result", SaveJsonToString(answer, ""), false, 1);
    }
}

Json::Value MQTTWiring::RunCommandPayload(const std::string& payload) {
    Json::Value command;
    Json::Value answer(Json::objectValue);
    std::string error;
    if (!LoadJsonFromString(payload, command, &error) || !command.isObject()) {
        LogWarn(LOGCH_GENERAL,
                "MQTT command not run: it must be a JSON object {\"command\": NAME, \"args\": [TEXT, ...]}, "
                "not: %.200s\n",
                payload.c_str());
        answer["command"] = "";
        answer["ok"] = false;
        answer["result"] = "The message must be a JSON object: {\"command\": NAME, \"args\": [TEXT, ...]}";
    } else {
        std::unique_ptr<Command::Result> result = CommandManager::INSTANCE.run(command);
        std::string name = command["command"].isString() ? command["command"].asString() : "";
        bool ok = result && !result->isError();
        std::string text = result ? result->get() : "The command returned no result";
        if (ok) {
            LogInfo(LOGCH_GENERAL, "MQTT command \"%s\": %s\n", name.c_str(), text.c_str());
        } else {
            LogWarn(LOGCH_GENERAL, "MQTT command \"%s\" failed: %s\n", name.c_str(), text.c_str());
        }
        answer["command"] = name;
        answer["ok"] = ok;
        answer["result"] = text;
    }
    return answer;
}

void MQTTWiring::tick() {
    std::deque<std::string> commands;
    {
        std::lock_guard<std::mutex> l(m_lock);
        commands.swap(m_commands);
    }
    for (const std::string& c : commands) {
        runCommand(c);
    }

    MosquittoClient* client = mqtt;
    int64_t now = GetTimeMS();
    if (!client || now - m_lastPollMS < POLL_MS) {
        return;
    }
    m_lastPollMS = now;
    if (!client->IsConnected()) {
        return; // all of it is told again once connected
    }
    bool running = sequence && sequence->IsSequenceRunning();
    std::string status = running ? "playing" : "idle";
    std::string name = running ? sequence->GetSequenceName() : "";
    std::string playlist = Daemon::INSTANCE ? Daemon::INSTANCE->GetPlaylists().CurrentPlaylist() : "";
    // At most once a second: a follower's offset moves all the time.
    std::string sync = m_lastSync;
    if (Daemon::INSTANCE && now - m_lastSyncLookMS >= 1000) {
        m_lastSyncLookMS = now;
        sync = syncSummary(Daemon::INSTANCE->GetSync().Status());
    }
    uint64_t connection = client->GetConnectionCount();
    bool all = connection != m_announcedConnection;
    bool ok = true;
    if (all && m_homeAssistant) {
        publishDiscovery();
    }
    if (all || status != m_lastStatus) {
        ok = client->Publish("player/status", status, true, 1) && ok;
    }
    if (all || name != m_lastSequence) {
        ok = client->Publish("player/sequence", name, true, 1) && ok;
    }
    if (all || playlist != m_lastPlaylist) {
        ok = client->Publish("player/playlist", playlist, true, 1) && ok;
    }
    if (!sync.empty() && (all || sync != m_lastSync)) {
        ok = client->Publish("sync", sync, true, 1) && ok;
    }
    if (ok) {
        m_announcedConnection = connection;
        m_lastStatus = status;
        m_lastSequence = name;
        m_lastPlaylist = playlist;
        m_lastSync = sync;
    }
}

void MQTTWiring::publishDiscovery() {
    const MosquittoSettings& s = mqtt->GetSettings();
    std::string node = nodeId(s.clientId);
    Json::Value device(Json::objectValue);
    device["identifiers"].append(node);
    device["name"] = "tavod " + MosquittoSettings::DefaultHostName();
    device["manufacturer"] = "Tavo";
    device["model"] = "tavod";
    device["sw_version"] = getTavoVersion();

    struct Sensor {
        const char* key;
        const char* name;
        const char* topic;
        const char* icon;
    };
    const Sensor sensors[] = {
        {"status", "Status", "player/status", "mdi:play-circle-outline"},
        {"sequence", "Sequence", "player/sequence", "mdi:playlist-music"},
    };
    for (const Sensor& sensor : sensors) {
        Json::Value config(Json::objectValue);
        config["name"] = sensor.name;
        config["unique_id"] = node + "_" + sensor.key;
        config["state_topic"] = s.prefix + "/" + sensor.topic;
        config["availability_topic"] = s.prefix + "/status";
        config["payload_available"] = "online";
        config["payload_not_available"] = "offline";
        config["icon"] = sensor.icon;
        config["device"] = device;
        mqtt->PublishRaw("homeassistant/sensor/" + node + "/" + sensor.key + "/config",
                         SaveJsonToString(config, ""), true, 1);
    }
}

void MQTTWiring::AddStatus(Json::Value& status) {
    Json::Value m(Json::objectValue);
    std::lock_guard<std::mutex> l(m_lock);
    if (m_client) {
        m["configured"] = true;
        m_client->GetStatus(m);
        m["commands"] = m_acceptCommands ? "accepted" : "ignored";
        m["commandsReceived"] = (Json::UInt64)m_commandsReceived;
        m["commandsDropped"] = (Json::UInt64)m_commandsDropped;
        m["homeAssistant"] = m_homeAssistant;
    } else if (!m_setupError.empty()) {
        m["configured"] = true;
        m["state"] = "failed";
        m["connected"] = false;
        m["lastError"] = m_setupError;
    } else {
        m["configured"] = false;
        m["state"] = "off";
        m["connected"] = false;
    }
    status["mqtt"] = m;
}
