// Log levels as settings: "LogLevel" ("info,sequence=debug") for every channel, and
// "LogLevel.CHANNEL" ("debug") for one, applied the moment they change.
#pragma once

#include <string>

namespace tavod {

// Whether `name` is one of the log level settings ("LogLevel", "LogLevel.CHANNEL").
bool IsLogLevelSetting(const std::string& name);
// Checks `value` for the setting `name` without applying it; false with `error` set.
bool CheckLogLevelSetting(const std::string& name, const std::string& value, std::string& error);
// Applies it: every part that reads well is set, the rest is logged and ignored.
void ApplyLogLevelSetting(const std::string& name, const std::string& value);
// The level now in force for "LogLevel.CHANNEL" (a level name); false for other names.
bool CurrentLogLevel(const std::string& name, std::string& value);
// Listens to every log level setting; UnwatchLogLevelSettings undoes it.
void WatchLogLevelSettings();
void UnwatchLogLevelSettings();

} // namespace tavod
