// Log level settings.
#include "LogLevels.h"

#include "host/core/Log.h"
#include "host/core/Settings.h"

#include <vector>

namespace tavod {

namespace {

const char* LISTENER = "tavod-loglevels";
const std::string PREFIX = "LogLevel.";

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find(sep, pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string part = text.substr(pos, end - pos);
        part.erase(0, part.find_first_not_of(" \t"));
        part.erase(part.find_last_not_of(" \t") + 1);
        if (!part.empty()) {
            parts.push_back(part);
        }
        pos = end + 1;
    }
    return parts;
}

std::string channelNames() {
    std::string names;
    for (LogChannel* c : TavoLogger::INSTANCE.channels()) {
        names += (names.empty() ? "" : ", ") + c->name();
    }
    return names;
}

// The channel of "LogLevel.CHANNEL"; null for "LogLevel" and for unknown channels.
LogChannel* channelOf(const std::string& name) {
    if (name.compare(0, PREFIX.size(), PREFIX) != 0) {
        return nullptr;
    }
    return TavoLogger::INSTANCE.findChannel(name.substr(PREFIX.size()));
}

} // namespace

bool IsLogLevelSetting(const std::string& name) {
    return name == "LogLevel" || name.compare(0, PREFIX.size(), PREFIX) == 0;
}

bool CheckLogLevelSetting(const std::string& name, const std::string& value, std::string& error) {
    const std::string levels = "error, warning, info, debug or excess (or 1 to 5)";
    if (name == "LogLevel") {
        for (const std::string& part : split(value, ',')) {
            size_t eq = part.find('=');
            bool ok = eq == std::string::npos ? TavoLogger::parseLevel(part) != 0
                                              : TavoLogger::INSTANCE.findChannel(part.substr(0, eq)) &&
                                                    TavoLogger::parseLevel(part.substr(eq + 1)) != 0;
            if (!ok) {
                error = "'" + part + "' is not [CHANNEL=]LEVEL; LEVEL is " + levels + ", CHANNEL one of " +
                        channelNames();
                return false;
            }
        }
        return true;
    }
    if (!channelOf(name)) {
        error = "no log channel \"" + name.substr(std::min(name.size(), PREFIX.size())) +
                "\"; the channels are " + channelNames();
        return false;
    }
    if (TavoLogger::parseLevel(value) == 0) {
        error = "'" + value + "' is not a log level; use " + levels;
        return false;
    }
    return true;
}

void ApplyLogLevelSetting(const std::string& name, const std::string& value) {
    if (LogChannel* c = channelOf(name)) {
        int level = TavoLogger::parseLevel(value);
        if (level == 0) {
            LogWarn(LOGCH_GENERAL, "Setting %s: '%s' is not a log level; ignored\n", name.c_str(),
                    value.c_str());
            return;
        }
        c->setLevel(level);
        return;
    }
    if (name != "LogLevel") {
        LogWarn(LOGCH_GENERAL, "Setting %s: there is no such log channel; ignored\n", name.c_str());
        return;
    }
    for (const std::string& levels : split(value, ',')) {
        if (!TavoLogger::INSTANCE.setLevels(levels)) {
            LogWarn(LOGCH_GENERAL, "Setting LogLevel: '%s' is not [CHANNEL=]LEVEL; ignored\n",
                    levels.c_str());
        }
    }
}

bool CurrentLogLevel(const std::string& name, std::string& value) {
    LogChannel* c = channelOf(name);
    if (!c) {
        return false;
    }
    value = TavoLogger::levelName(c->level());
    return true;
}

void WatchLogLevelSettings() {
    registerSettingsListener(LISTENER, "LogLevel",
                             [](const std::string& v) { ApplyLogLevelSetting("LogLevel", v); });
    for (LogChannel* c : TavoLogger::INSTANCE.channels()) {
        std::string name = PREFIX + c->name();
        registerSettingsListener(LISTENER, name,
                                 [name](const std::string& v) { ApplyLogLevelSetting(name, v); });
    }
}

void UnwatchLogLevelSettings() {
    unregisterSettingsListener(LISTENER, "LogLevel");
    for (LogChannel* c : TavoLogger::INSTANCE.channels()) {
        unregisterSettingsListener(LISTENER, PREFIX + c->name());
    }
}

} // namespace tavod
