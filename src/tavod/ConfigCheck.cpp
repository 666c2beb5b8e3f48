// The configuration check.
#include "ConfigCheck.h"

#include "BridgeWiring.h"
#include "ErrorCollector.h"
#include "LCSFFile.h"
#include "LogLevels.h"
#include "OutputConfig.h"
#include "PluginLoader.h"
#include "host/output/ChannelOutput.h"
#include "gpio.h"
#include "host/core/Common.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"
#include "host/core/Settings.h"
#include "host/hw/Pins.h"
#include "host/output/PixelOverlay.h"
#include "host/player/CommandManager.h"
#include "host/player/Playlist.h"
#include "host/player/Schedule.h"

#include <algorithm>
#include <memory>
#include <set>

ConfigCheck::ConfigCheck(const std::string& mediaDir) : m_mediaDir(mediaDir) {}

std::string ConfigCheck::file(const std::string& name) const {
    return m_mediaDir + "/config/" + name;
}

void ConfigCheck::problem(const std::string& text, bool logged) {
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) {
        t.pop_back();
    }
    if (!logged) {
        LogErr(LOGCH_GENERAL, "%s\n", t.c_str());
    }
    m_problems.push_back(t);
}

void ConfigCheck::CheckAll(const PluginLoader& loader) {
    CheckSettingsFile();
    CheckSettingValues();
    CheckOutputs(loader);
    CheckPins();
    CheckGPIOInputs();
    CheckPresets();
    CheckModelOverlays();
    CheckBridge();
    CheckPlaylists();
    CheckSchedule();
}

void ConfigCheck::CheckAtStartup() {
    CheckSettingValues();
    CheckPresets();
}

void ConfigCheck::CheckSettingsFile() {
    std::string path = file("settings.json");
    if (!FileExists(path)) {
        return;
    }
    m_checked.push_back(path);
    std::string error;
    if (!loadSettingsFile(path, error)) {
        problem(error);
    }
}

void ConfigCheck::CheckSettingValues() {
    std::string path = file("settings.json");
    for (const auto& kv : getAllSettings()) {
        const std::string& name = kv.first;
        std::string error;
        if (tavod::IsLogLevelSetting(name) && !tavod::CheckLogLevelSetting(name, kv.second, error)) {
            problem(path + ": \"" + name + "\": " + error);
        }
    }
    auto wholeNumber = [&](const char* name, long min, long max, const std::string& meaning) {
        if (!hasSetting(name)) {
            return;
        }
        std::string v = getSetting(name, "");
        char* end = nullptr;
        long n = strtol(v.c_str(), &end, 10);
        if (v.empty() || *end != 0 || n < min || n > max) {
            problem(path + ": \"" + name + "\" is \"" + v + "\"; " + meaning);
        }
    };
    wholeNumber("outputThreadPriority", 0, 99, "use 0 (off) or a real-time priority from 1 to 99");
    wholeNumber("outputThreadRealTime", 0, 1, "use 0 or 1");
    wholeNumber("outputThreadCpu", -1, 1023, "use -1 (off) or the number of a processor, from 0");
    wholeNumber("blankBetweenSequences", 0, 1, "use 0 or 1");
}

void ConfigCheck::CheckOutputs(const PluginLoader& loader) {
    std::string path = file("channeloutputs.json");
    if (!FileExists(path)) {
        return;
    }
    m_checked.push_back(path);
    OutputConfig config;
    bool usable = config.Load(path, loader.GetChannelOutputTypes());
    for (const std::string& e : config.GetErrors()) {
        problem(e, true);
    }
    for (const std::string& w : config.GetWarnings()) {
        problem(w, true);
    }
    if (!usable && config.GetErrors().empty()) {
        problem(path + ": cannot be used");
    }
    for (const ConfiguredOutput& c : config.GetOutputs()) {
        TavoPlugins::ChannelOutputPlugin* plugin = loader.GetChannelOutputPlugin(c.type);
        std::string where =
            path + ": channelOutputs[" + std::to_string(c.index) + "] (type \"" + c.type + "\")";
        ErrorCollector found;
        try {
            std::unique_ptr<ChannelOutput> out(
                plugin ? plugin->createChannelOutput(c.startChannel, c.channelCount) : nullptr);
            if (out) {
                out->CheckConfig(c.config);
            }
        } catch (const std::exception& e) {
            problem(where + ": its configuration could not be read: " + e.what());
        }
        // Errors make Init refuse the output; warnings (unknown keys) are mistakes too.
        for (const std::string& e : found.AllWithWarnings()) {
            problem(where + ": " + e, true);
        }
    }
}

void ConfigCheck::CheckPins() {
    std::string path = file("pins.json");
    if (FileExists(path)) {
        m_checked.push_back(path);
    }
    ErrorCollector errors;
    bool ok = PinCapabilities::InitPinCapabilities(path);
    for (const std::string& e : errors.All()) {
        problem(e.compare(0, 9, "pins.json") == 0 ? m_mediaDir + "/config/" + e : e, true);
    }
    if (!ok && errors.All().empty()) {
        problem(path + ": cannot be used");
    }
}

void ConfigCheck::CheckGPIOInputs() {
    std::string path = file("gpio.json");
    if (!FileExists(path)) {
        return;
    }
    m_checked.push_back(path);
    Json::Value root;
    std::string error;
    if (!LoadJsonFromFile(path, root, &error)) {
        problem(path + ": not valid JSON: " + error);
        return;
    }
    if (!root.isArray()) {
        problem(path +
                ": must hold a list of input objects, such as [{\"pin\": \"P1-11\", \"enabled\": true, "
                "\"rising\": {\"command\": \"Start Sequence\", \"args\": [\"show.lcsf\"]}}]");
        return;
    }
    std::vector<std::string> pins = PinCapabilities::getPinNames();
    for (Json::ArrayIndex i = 0; i < root.size(); i++) {
        const Json::Value& e = root[i];
        std::string where = path + ": entry " + std::to_string(i);
        if (!e.isObject()) {
            problem(where + ": must be an object");
            continue;
        }
        if (e["pin"].isString()) {
            where += " (pin " + e["pin"].asString() + ")";
        }
        const Json::Value& enabled = e["enabled"];
        if (!enabled.isNull() && !enabled.isBool() && !enabled.isIntegral()) {
            problem(where + ": \"enabled\" must be true or false");
            continue;
        }
        if (enabled.isNull() || !enabled.asBool()) {
            continue; // left out as it is
        }
        std::string bad = GPIOManager::CheckInputEntry(e);
        if (!bad.empty()) {
            problem(where + ": " + bad);
            continue;
        }
        std::string pin = e["pin"].isString() ? e["pin"].asString() : "";
        if (std::find(pins.begin(), pins.end(), pin) == pins.end()) {
            std::string known;
            for (size_t k = 0; k < pins.size() && k < 8; k++) {
                known += (k ? ", " : "") + pins[k];
            }
            if (pins.size() > 8) {
                known += ", ...";
            }
            problem(where + ": \"pin\" \"" + pin + "\" is not a pin of this board (pins: " +
                    (known.empty() ? "none; see pins.json" : known) + ")");
        }
    }
}

void ConfigCheck::CheckPresets() {
    std::string path = file("commandPresets.json");
    if (!FileExists(path)) {
        return;
    }
    m_checked.push_back(path);
    {
        ErrorCollector errors;
        CommandManager::INSTANCE.loadPresets(path);
        for (const std::string& e : errors.All()) {
            problem(e, true);
        }
    }
    // The sequences the presets start must be there and playable.
    Json::Value root;
    if (!LoadJsonFromFile(path, root) || !root.isObject() || !root["presets"].isObject()) {
        return;
    }
    const Json::Value& presets = root["presets"];
    std::set<std::string> done;
    for (const std::string& name : presets.getMemberNames()) {
        const Json::Value& list = presets[name];
        if (!list.isArray()) {
            continue;
        }
        for (Json::ArrayIndex i = 0; i < list.size(); i++) {
            const Json::Value& cmd = list[i];
            if (!cmd.isObject() || cmd["command"] != "Start Sequence") {
                continue;
            }
            std::string where = path + ": preset \"" + name + "\" [" + std::to_string(i) + "]";
            const Json::Value& args = cmd["args"];
            if (!args.isArray() || args.empty() || !args[0].isString()) {
                problem(where + ": \"args\" must start with the sequence to play, such as [\"show.lcsf\"]");
                continue;
            }
            std::string seq = args[0].asString();
            if (seq.find('%') != std::string::npos || !done.insert(seq).second) {
                continue; // named when it runs, or checked already
            }
            CheckSequence(seq, where);
        }
    }
}

void ConfigCheck::CheckSequence(const std::string& name, const std::string& where) {
    std::string dir = m_mediaDir + "/sequences";
    if (name.empty() || name.find("..") != std::string::npos || name[0] == '/') {
        problem(where + ": \"" + name + "\" is not a sequence name; name a file in " + dir);
        return;
    }
    std::string path = dir + "/" + name;
    m_checked.push_back(path);
    if (!FileExists(path)) {
        problem(where + ": there is no sequence " + path);
        return;
    }
    ErrorCollector errors;
    std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
    if (!f) {
        problem(where + ": " + path + " cannot be played: " + errors.Last("not a sequence file"));
        return;
    }
    if (f->m_seqStepTime == 0) {
        problem(where + ": " + path + " cannot be played: its step time is 0 ms");
    } else if (f->m_seqNumFrames == 0) {
        problem(where + ": " + path + " holds no frames");
    }
}

void ConfigCheck::CheckModelOverlays() {
    std::string path = file("model-overlays.json");
    if (!FileExists(path)) {
        return;
    }
    m_checked.push_back(path);
    Json::Value root;
    std::string error;
    if (!LoadJsonFromFile(path, root, &error)) {
        problem(path + ": not valid JSON: " + error);
        return;
    }
    if (!root.isObject() || !root["models"].isArray()) {
        problem(path + ": expected an object such as {\"models\": [{\"Name\": \"Tree\", \"StartChannel\": 1, "
                       "\"ChannelCount\": 300}]}");
        return;
    }
    const Json::Value& models = root["models"];
    for (Json::ArrayIndex i = 0; i < models.size(); i++) {
        const Json::Value& m = models[i];
        std::string where = path + ": models[" + std::to_string(i) + "]";
        if (m.isObject() && m["Name"].isString()) {
            where += " (" + m["Name"].asString() + ")";
        }
        // The overlay manager's own checks, in its own words; a screen that is
        // missing here is named too, though start-up only warns of it.
        ErrorCollector why;
        if (!PixelOverlayManager::INSTANCE.addModel(m)) {
            problem(where + ": " + why.Last("not added"), true);
        }
    }
}

void ConfigCheck::CheckBridge() {
    std::string path = file("bridge.json");
    bridge::Config config;
    std::vector<std::string> problems;
    bool present = false;
    BridgeWiring::LoadConfig(path, config, problems, present);
    if (present) {
        m_checked.push_back(path);
    }
    for (const std::string& p : problems) {
        problem(p);
    }
}

void ConfigCheck::CheckPlaylists() {
    const std::string dir = m_mediaDir + "/playlists";
    std::set<std::string> sequences;
    for (const std::string& name : ListPlaylists(dir)) {
        const std::string path = dir + "/" + name + ".json";
        m_checked.push_back(path);
        Playlist playlist;
        std::vector<std::string> problems;
        LoadPlaylist(dir, name, playlist, problems);
        for (const std::string& p : problems) {
            problem(p);
        }
        // The sequences each file names itself (a nested playlist's are checked in
        // its own file), each once, where it is first named.
        Json::Value root;
        if (!LoadJsonFromFile(path, root) || !root.isObject()) {
            continue;
        }
        for (const char* section : {"leadIn", "mainPlaylist", "leadOut"}) {
            const Json::Value& list = root[section];
            for (Json::ArrayIndex i = 0; list.isArray() && i < list.size(); i++) {
                const Json::Value& e = list[i];
                if (e.isObject() && e["type"] == "sequence" && e["sequence"].isString() &&
                    !e["sequence"].asString().empty() && sequences.insert(e["sequence"].asString()).second) {
                    CheckSequence(e["sequence"].asString(),
                                  path + ": " + section + " entry " + std::to_string(i + 1));
                }
            }
        }
    }
}

void ConfigCheck::CheckSchedule() {
    const std::string path = file("schedule.json");
    if (!FileExists(path)) {
        return;
    }
    m_checked.push_back(path);
    Schedule schedule;
    std::vector<std::string> problems;
    schedule.LoadFile(path, problems);
    for (const std::string& p : problems) {
        problem(p);
    }
    const std::vector<std::string> playlists = ListPlaylists(m_mediaDir + "/playlists");
    const std::vector<ScheduleEntry>& entries = schedule.Entries();
    for (size_t i = 0; i < entries.size(); i++) {
        if (std::find(playlists.begin(), playlists.end(), entries[i].playlist) == playlists.end()) {
            problem(path + ": the entry for \"" + entries[i].playlist + "\": \"playlist\": there is no " +
                    m_mediaDir + "/playlists/" + entries[i].playlist + ".json");
        }
    }
}
