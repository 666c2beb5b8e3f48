// The daemon's settings (settings.json and --set) and its logging (levels, log file).
#include "Daemon.h"

#include "LogLevels.h"
#include "Paths.h"
#include "host/core/Common.h"
#include "host/core/Log.h"
#include "host/core/Settings.h"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// tavod run by hand as root on a board's media folder must not leave files the
// service's user cannot write: what it makes there belongs to the folder's owner.
void giveToFolderOwner(const std::string& path, const std::string& folder) {
    struct stat st;
    if (geteuid() != 0 || stat(folder.c_str(), &st) != 0 || st.st_uid == 0) {
        return;
    }
    if (chown(path.c_str(), st.st_uid, st.st_gid) != 0) {
        LogWarn(LOGCH_GENERAL, "Cannot give %s to the owner of %s: %s\n", path.c_str(), folder.c_str(),
                strerror(errno));
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
    // "LogLevel" for every channel, then "LogLevel.CHANNEL" for one.
    tavod::ApplyLogLevelSetting("LogLevel", getSetting("LogLevel", ""));
    for (LogChannel* c : TavoLogger::INSTANCE.channels()) {
        std::string name = "LogLevel." + c->name();
        if (hasSetting(name)) {
            tavod::ApplyLogLevelSetting(name, getSetting(name.c_str(), ""));
        }
    }
    // Changed later (over HTTP), they take effect at once.
    tavod::WatchLogLevelSettings();
    for (const std::string& levels : m_options.logLevels) {
        if (!TavoLogger::INSTANCE.setLevels(levels)) {
            LogErr(LOGCH_GENERAL, "--log-level '%s' is not [CHANNEL=]LEVEL\n", levels.c_str());
            return false;
        }
    }
    std::string logs = getTavoMediaDir("logs");
    if (!tavod::IsDirectory(logs)) {
        if (mkdir(logs.c_str(), 0755) != 0) {
            LogWarn(LOGCH_GENERAL, "Cannot create %s: %s; logging to standard error only\n", logs.c_str(),
                    strerror(errno));
            return true;
        }
        giveToFolderOwner(logs, getTavoMediaDir(""));
    }
    const std::string file = logs + "/tavod.log";
    if (!TavoLogger::INSTANCE.openLogFile(file)) {
        LogWarn(LOGCH_GENERAL, "Cannot open %s: %s; logging to standard error only\n", file.c_str(),
                strerror(errno));
        return true;
    }
    giveToFolderOwner(file, logs);
    return true;
}
