// Checking a configuration object against an output's key table.
#include "host/core/ConfigKeys.h"

#include "host/core/JsonUtils.h"
#include "host/core/Log.h"

#include <algorithm>
#include <cctype>

namespace {

size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++) {
        row[j] = j;
    }
    for (size_t i = 1; i <= a.size(); i++) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            size_t up = row[j];
            bool same = tolower((unsigned char)a[i - 1]) == tolower((unsigned char)b[j - 1]);
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (same ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

bool isChoice(const std::string& value, const char* choices) {
    std::string all = std::string("|") + choices + "|";
    return all.find("|" + value + "|") != std::string::npos;
}

bool checkValue(const Json::Value& config, const ConfigKey& k, const std::string& who) {
    bool ok = true;
    const Json::Value& v = config[k.name];
    switch (k.kind) {
    case ConfigKey::ANY:
        break;
    case ConfigKey::TEXT: {
        std::string t = JsonKeyString(config, k.name, "", who, ok);
        if (ok && k.choices && !isChoice(t, k.choices)) {
            std::string list = k.choices;
            std::replace(list.begin(), list.end(), '|', ',');
            LogErr(LOGCH_CHANNELOUT, "%s: \"%s\" \"%s\" is none of %s\n", who.c_str(), k.name, t.c_str(),
                   list.c_str());
            ok = false;
        }
        break;
    }
    case ConfigKey::INTEGER:
    case ConfigKey::WHOLE: {
        if (k.kind == ConfigKey::INTEGER && !v.isIntegral()) {
            LogErr(LOGCH_CHANNELOUT, "%s: \"%s\" must be a whole number, not %s\n", who.c_str(), k.name,
                   JsonTypeName(v));
            return false;
        }
        int n = JsonKeyInt(config, k.name, 0, who, ok);
        if (ok && (n < k.min || n > k.max)) {
            LogErr(LOGCH_CHANNELOUT, "%s: \"%s\" %d is outside %lld to %lld\n", who.c_str(), k.name, n, k.min,
                   k.max);
            ok = false;
        }
        break;
    }
    case ConfigKey::NUMBER:
        JsonKeyNumber(config, k.name, 0, who, ok);
        break;
    case ConfigKey::BOOL:
        JsonKeyBool(config, k.name, false, who, ok);
        break;
    case ConfigKey::LIST:
        // The list itself is the output's to read; only its objects' keys are named here.
        for (Json::ArrayIndex i = 0; v.isArray() && k.entries && i < v.size(); i++) {
            if (v[i].isObject()) {
                std::string where = who + " " + k.name + "[" + std::to_string(i) + "]";
                ok = CheckConfigKeys(v[i], *k.entries, where, false) && ok;
            }
        }
        break;
    case ConfigKey::OBJECT:
        if (!v.isObject()) {
            LogErr(LOGCH_CHANNELOUT, "%s: \"%s\" must be an object, not %s\n", who.c_str(), k.name,
                   JsonTypeName(v));
            return false;
        }
        if (k.entries) {
            ok = CheckConfigKeys(v, *k.entries, who + " " + k.name, false);
        }
        break;
    }
    return ok;
}

} // namespace

std::string NearestName(const std::string& name, const std::vector<std::string>& known) {
    std::string best;
    size_t bestDistance = std::max<size_t>(2, name.size() / 3) + 1;
    for (const std::string& k : known) {
        size_t d = editDistance(name, k);
        if (d < bestDistance) {
            best = k;
            bestDistance = d;
        }
    }
    return best;
}

std::string UnknownKeyText(const std::string& name, const std::vector<std::string>& known) {
    std::string near = NearestName(name, known);
    if (!near.empty()) {
        return "unknown key \"" + name + "\"; did you mean \"" + near + "\"?";
    }
    std::string list;
    for (const std::string& k : known) {
        list += (list.empty() ? "\"" : ", \"") + k + "\"";
    }
    return "unknown key \"" + name + "\" (known keys: " + list + ")";
}

bool CheckConfigKeys(const Json::Value& config, const std::vector<ConfigKey>& keys, const std::string& who,
                     bool topLevel) {
    if (!config.isObject()) {
        LogErr(LOGCH_CHANNELOUT, "%s: the configuration is not a JSON object\n", who.c_str());
        return false;
    }
    std::vector<std::string> known;
    if (topLevel) {
        known = {"type", "enabled", "startChannel", "channelCount"};
    }
    for (const ConfigKey& k : keys) {
        known.push_back(k.name);
    }
    bool ok = true;
    for (const std::string& name : config.getMemberNames()) {
        auto k = std::find_if(keys.begin(), keys.end(), [&](const ConfigKey& c) { return name == c.name; });
        if (k != keys.end()) {
            ok = checkValue(config, *k, who) && ok;
        } else if (std::find(known.begin(), known.end(), name) == known.end()) {
            LogWarn(LOGCH_CHANNELOUT, "%s: %s\n", who.c_str(), UnknownKeyText(name, known).c_str());
        }
    }
    return ok;
}
