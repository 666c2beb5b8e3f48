// Host settings: a flat name/value store read from settings.json, with overrides
// and listeners that are called when a value changes.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

std::string getSetting(const char* name, const std::string& def = "");
int getSettingInt(const char* name, int def = 0);

// Calls `callback` with the new value each time `settingName` changes. A second
// registration with the same listener and setting names replaces the first.
void registerSettingsListener(const std::string& listenerName, const std::string& settingName,
                              std::function<void(const std::string&)> callback);
void unregisterSettingsListener(const std::string& listenerName, const std::string& settingName);

// Stores a value and calls the setting's listeners (outside the store's lock).
void setSetting(const std::string& name, const std::string& value);
bool hasSetting(const std::string& name);
std::map<std::string, std::string> getAllSettings();

// Loads a flat JSON object; numbers and booleans are kept as their text.
// Returns false with `error` set when the file cannot be read or is not an object.
bool loadSettingsFile(const std::string& path, std::string& error);
// The same from the file's text; `path` names it in the error.
bool loadSettingsText(const std::string& text, const std::string& path, std::string& error);
void clearSettings();
