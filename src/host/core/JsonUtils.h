// Reading and writing JSON files and texts without exceptions.
#pragma once

#include <string>

#include <json/json.h>

// Every JSON file and text the daemon reads goes through these two. False (and
// `value` untouched) when the file cannot be read or is not valid JSON, nesting
// deeper than JSON_MAX_DEPTH included; `error`, when given, receives the reason.
// No exception leaves them.
const int JSON_MAX_DEPTH = 256;
bool LoadJsonFromFile(const std::string& path, Json::Value& value, std::string* error = nullptr);
bool LoadJsonFromString(const std::string& text, Json::Value& value, std::string* error = nullptr);
// Serialises `value`; an empty `indentation` gives the compact one-line form.
std::string SaveJsonToString(const Json::Value& value, const std::string& indentation = "\t");
