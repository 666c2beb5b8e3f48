// The keys an output type reads from its configuration object, as a table each
// output declares, and the one check of a configuration against such a table:
// the types and ranges its Init accepts, and keys it does not know (typos).
#pragma once

#include <climits>
#include <string>
#include <vector>

#include <json/json.h>

struct ConfigKey {
    enum Kind {
        ANY,     // read by the output in a way of its own
        TEXT,    // a text; `choices` lists the texts allowed, when given
        WHOLE,   // a whole number (also 2.0 or "2"), from `min` to `max`
        INTEGER, // a whole number written as one (not "2"), from `min` to `max`
        NUMBER,  // a number, also as a text ("2.2")
        BOOL,    // true/false or a whole number
        LIST,    // read by the output; the keys of its objects are `entries`, when given
        OBJECT,  // an object; with the keys `entries`, when given
    };
    const char* name;
    Kind kind;
    long long min = LLONG_MIN;
    long long max = LLONG_MAX;
    const char* choices = nullptr; // "N|E|S|W": the allowed texts, matched exactly
    const std::vector<ConfigKey>* entries = nullptr;
};

// Checks `config` against `keys`. Values of the wrong type or out of range are
// logged as errors that start with `who` (false); unknown keys are logged as
// warnings naming the nearest known key. "type", "enabled", "startChannel" and
// "channelCount" are known to every output (`topLevel`).
bool CheckConfigKeys(const Json::Value& config, const std::vector<ConfigKey>& keys, const std::string& who,
                     bool topLevel = true);

// The name of `known` nearest to `name` (letters and case), or "" when none is
// near enough to be a typo of it.
std::string NearestName(const std::string& name, const std::vector<std::string>& known);

// "unknown key "NAME"; did you mean "KNOWN"?" (or the known keys, when none is near).
std::string UnknownKeyText(const std::string& name, const std::vector<std::string>& known);
