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

// Keys of a configuration object, read without exceptions. Each gives the key's
// value, or `def` when `object` is no object or lacks the key. A key of another
// type is logged as an error naming `where` (whose key it is: "output",
// "output panel 2") and the key; it clears `ok` and gives `def`.
//
// Whole numbers may also be given as integral reals (2.0) or as texts ("2"):
// older configuration pages stored some numbers as texts.
int JsonKeyInt(const Json::Value& object, const char* key, int def, const std::string& where, bool& ok);
// Decimal numbers, also as texts ("2.2"). A text that is no number gives `def`
// without an error (configuration pages store an empty field as "").
double JsonKeyNumber(const Json::Value& object, const char* key, double def, const std::string& where,
                     bool& ok);
std::string JsonKeyString(const Json::Value& object, const char* key, const std::string& def,
                          const std::string& where, bool& ok);
// true or false, also as a whole number (nonzero is true).
bool JsonKeyBool(const Json::Value& object, const char* key, bool def, const std::string& where, bool& ok);
// How a value's type reads in a message: "a number", "a text", "a list", ...
const char* JsonTypeName(const Json::Value& value);
