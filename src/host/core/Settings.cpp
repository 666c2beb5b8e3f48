// Settings store behind getSetting/setSetting.
#include "host/core/Settings.h"

#include "host/core/JsonUtils.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <json/json.h>

namespace {

struct Listener {
    std::string listener;
    std::string setting;
    std::function<void(const std::string&)> callback;
};

std::mutex& storeLock() {
    static std::mutex m;
    return m;
}
std::map<std::string, std::string>& values() { // guarded by storeLock()
    static std::map<std::string, std::string> v;
    return v;
}
std::vector<Listener>& listeners() { // guarded by storeLock()
    static std::vector<Listener> l;
    return l;
}

} // namespace

std::string getSetting(const char* name, const std::string& def) {
    std::lock_guard<std::mutex> l(storeLock());
    auto it = values().find(name);
    return it == values().end() ? def : it->second;
}

int getSettingInt(const char* name, int def) {
    std::string v = getSetting(name, "");
    if (v.empty()) {
        return def;
    }
    if (v == "true") {
        return 1;
    }
    if (v == "false") {
        return 0;
    }
    char* end = nullptr;
    long r = strtol(v.c_str(), &end, 10);
    if (end == v.c_str()) {
        return def;
    }
    return (int)r;
}

bool hasSetting(const std::string& name) {
    std::lock_guard<std::mutex> l(storeLock());
    return values().count(name) != 0;
}

std::map<std::string, std::string> getAllSettings() {
    std::lock_guard<std::mutex> l(storeLock());
    return values();
}

void registerSettingsListener(const std::string& listenerName, const std::string& settingName,
                              std::function<void(const std::string&)> callback) {
    std::lock_guard<std::mutex> l(storeLock());
    for (auto& li : listeners()) {
        if (li.listener == listenerName && li.setting == settingName) {
            li.callback = std::move(callback);
            return;
        }
    }
    listeners().push_back({listenerName, settingName, std::move(callback)});
}

void unregisterSettingsListener(const std::string& listenerName, const std::string& settingName) {
    std::lock_guard<std::mutex> l(storeLock());
    auto& ls = listeners();
    for (auto it = ls.begin(); it != ls.end(); ++it) {
        if (it->listener == listenerName && it->setting == settingName) {
            ls.erase(it);
            return;
        }
    }
}

void setSetting(const std::string& name, const std::string& value) {
    std::vector<std::function<void(const std::string&)>> toCall;
    {
        std::lock_guard<std::mutex> l(storeLock());
        values()[name] = value;
        for (auto& li : listeners()) {
            if (li.setting == name) {
                toCall.push_back(li.callback);
            }
        }
    }
    // Listeners may read settings themselves, so they run without the lock.
    for (auto& cb : toCall) {
        cb(value);
    }
}

void clearSettings() {
    std::lock_guard<std::mutex> l(storeLock());
    values().clear();
}

bool loadSettingsFile(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    Json::Value root;
    std::string errs;
    if (!LoadJsonFromString(text.str(), root, &errs)) {
        error = path + ": " + errs;
        while (!error.empty() && error.back() == '\n') {
            error.pop_back();
        }
        return false;
    }
    if (!root.isObject()) {
        error = path + ": expected a JSON object of settings";
        return false;
    }
    for (const auto& name : root.getMemberNames()) {
        const Json::Value& v = root[name];
        std::string text;
        if (v.isString()) {
            text = v.asString();
        } else if (v.isBool()) {
            text = v.asBool() ? "1" : "0";
        } else if (v.isIntegral()) {
            text = std::to_string(v.asLargestInt());
        } else if (v.isNumeric()) {
            text = std::to_string(v.asDouble());
        } else {
            error = path + ": setting \"" + name + "\" must be a string, number or boolean";
            return false;
        }
        setSetting(name, text);
    }
    return true;
}
