// The daemon's settings (settings.json and --set) and its logging (levels, log file).
#include "Daemon.h"

#include "Paths.h"
#include "host/core/Common.h"
#include "host/core/Log.h"
#include "host/core/Settings.h"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

namespace {

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

void applyLogLevelSetting(const std::string& value) {
    for (const std::string& levels : split(value, ',')) {
        if (!TavoLogger::INSTANCE.setLevels(levels)) {
            LogWarn(LOGCH_GENERAL, "Setting LogLevel: '%s' is not [CHANNEL=]LEVEL; ignored\n",
                    levels.c_str());
        }
    }
}

} // namespace

bool Daemon::loadSettings() {
    std::string path = getTavoMediaDir("config/settings.json");
    if (FileExists(path)) {
        std::string error;
        if (!loadSettingsFile(path, error)) {
            LogErr(LOGCH_GENERAL, "%s\n", error.c_str());
            LogErr(LOGCH_GENERAL, "settings.json must be one JSON object of names and values, such as "
                                  "{\"blankBetweenSequences\": 1}\n");
            return false;
        }
    }
    for (const auto& s : m_options.settings) {
        setSetting(s.first, s.second);
    }
    return true;
}

bool Daemon::setUpLogging() {
    // Settings first, the command line last: it has the final word at start-up.
    applyLogLevelSetting(getSetting("LogLevel", ""));
    // Changed later (over HTTP), the setting takes effect at once.
    registerSettingsListener("tavod", "LogLevel", applyLogLevelSetting);
    for (const std::string& levels : m_options.logLevels) {
        if (!TavoLogger::INSTANCE.setLevels(levels)) {
            LogErr(LOGCH_GENERAL, "--log-level '%s' is not [CHANNEL=]LEVEL\n", levels.c_str());
            return false;
        }
    }
    std::string logs = getTavoMediaDir("logs");
    if (!tavod::IsDirectory(logs) && mkdir(logs.c_str(), 0755) != 0) {
        LogWarn(LOGCH_GENERAL, "Cannot create %s: %s; logging to standard error only\n", logs.c_str(),
                strerror(errno));
        return true;
    }
    if (!TavoLogger::INSTANCE.openLogFile(logs + "/tavod.log")) {
        LogWarn(LOGCH_GENERAL, "Cannot open %s/tavod.log: %s; logging to standard error only\n", logs.c_str(),
                strerror(errno));
    }
    return true;
}
