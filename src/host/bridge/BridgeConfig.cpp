#include "BridgeConfig.h"

#include "host/output/ChannelBuffer.h"
#include "host/core/JsonUtils.h"

#include <cmath>
#include <sys/stat.h>

namespace bridge {

namespace {

class Reader {
public:
    Reader(std::vector<std::string>& problems, const std::string& file)
        : m_problems(problems), m_file(file) {}

    // A whole number from `min` to `max`, or `def` when the key is left out.
    int64_t whole(const Json::Value& o, const char* key, int64_t def, int64_t min, int64_t max,
                  const std::string& where) {
        if (!o.isMember(key)) {
            return def;
        }
        const Json::Value& v = o[key];
        if (!v.isNumeric() || std::floor(v.asDouble()) != v.asDouble() || v.asDouble() < (double)min ||
            v.asDouble() > (double)max) {
            problem(where + "\"" + key + "\" must be a whole number from " + std::to_string(min) + " to " +
                    std::to_string(max) + ", not " + JsonTypeName(v) + " " + SaveJsonToString(v, ""));
            return def;
        }
        return v.asInt64();
    }
    bool flag(const Json::Value& o, const char* key, bool def, const std::string& where) {
        if (!o.isMember(key)) {
            return def;
        }
        if (!o[key].isBool()) {
            problem(where + "\"" + key + "\" must be true or false");
            return def;
        }
        return o[key].asBool();
    }
    // The object at `key` of the top level, or null when left out.
    const Json::Value* section(const Json::Value& top, const char* key) {
        if (!top.isMember(key)) {
            return nullptr;
        }
        if (!top[key].isObject()) {
            problem(std::string("\"") + key + "\" must be an object");
            return nullptr;
        }
        return &top[key];
    }
    void universes(const Json::Value& s, const std::string& proto, uint32_t minUniverse, uint32_t maxUniverse,
                   std::vector<UniverseRange>& out) {
        if (!s.isMember("universes")) {
            return;
        }
        const Json::Value& list = s["universes"];
        if (!list.isArray()) {
            problem("\"" + proto + "\" \"universes\" must be a list");
            return;
        }
        for (Json::ArrayIndex i = 0; i < list.size(); i++) {
            std::string where = "\"" + proto + "\" universe entry " + std::to_string(i + 1) + ": ";
            const Json::Value& e = list[i];
            if (!e.isObject()) {
                problem(where + "must be an object");
                continue;
            }
            size_t before = m_problems.size();
            UniverseRange r;
            r.universe = (uint32_t)whole(e, "universe", minUniverse, minUniverse, maxUniverse, where);
            r.count = (uint32_t)whole(e, "count", 1, 1, maxUniverse - minUniverse + 1, where);
            r.universeSize = (uint32_t)whole(e, "universeSize", 510, 1, 512, where);
            r.startChannel = (uint32_t)whole(e, "startChannel", 1, 1, TAVO_MAX_CHANNELS, where) - 1;
            if (m_problems.size() != before) {
                continue;
            }
            if ((uint64_t)r.universe + r.count - 1 > maxUniverse) {
                problem(where + "\"count\" " + std::to_string(r.count) + " runs past universe " +
                        std::to_string(maxUniverse));
                continue;
            }
            if ((uint64_t)r.startChannel + (uint64_t)r.count * r.universeSize > TAVO_MAX_CHANNELS) {
                problem(where + "\"startChannel\" " + std::to_string(r.startChannel + 1) + " with " +
                        std::to_string(r.count) + " universes of " + std::to_string(r.universeSize) +
                        " channels runs past channel " + std::to_string(TAVO_MAX_CHANNELS));
                continue;
            }
            out.push_back(r);
        }
    }
    void problem(const std::string& text) { m_problems.push_back(m_file + ": " + text); }

private:
    std::vector<std::string>& m_problems;
    std::string m_file;
};

} // namespace

bool ParseConfig(const Json::Value& value, Config& config, std::vector<std::string>& problems,
                 const std::string& file) {
    size_t before = problems.size();
    Reader r(problems, file);
    if (!value.isObject()) {
        r.problem("must be an object");
        return false;
    }
    config.timeoutMs = (int)r.whole(value, "timeoutMs", 2500, 1, 3600000, "");
    config.refreshRate = (float)r.whole(value, "bridgeRefreshRate", 40, 1, 1000, "");
    if (const Json::Value* s = r.section(value, "e131")) {
        config.e131 = r.flag(*s, "enabled", true, "\"e131\" ");
        if (s->isMember("interface") && !(*s)["interface"].isString()) {
            r.problem("\"e131\" \"interface\" must be a text (an interface name)");
        } else {
            config.e131Interface = s->get("interface", "").asString();
        }
        r.universes(*s, "e131", 1, 63999, config.e131Universes);
    }
    if (const Json::Value* s = r.section(value, "artnet")) {
        config.artnet = r.flag(*s, "enabled", true, "\"artnet\" ");
        r.universes(*s, "artnet", 0, 0x7fff, config.artnetUniverses);
    }
    if (const Json::Value* s = r.section(value, "ddp")) {
        config.ddp = r.flag(*s, "enabled", true, "\"ddp\" ");
        config.ddpPort = (uint16_t)r.whole(*s, "port", 4048, 1, 65535, "\"ddp\" ");
        config.ddpStartChannel =
            (uint32_t)r.whole(*s, "startChannel", 1, 1, TAVO_MAX_CHANNELS, "\"ddp\" ") - 1;
    }
    return problems.size() == before;
}

bool LoadConfig(const std::string& path, Config& config, std::vector<std::string>& problems, bool& present) {
    struct stat st;
    present = stat(path.c_str(), &st) == 0;
    if (!present) {
        return true;
    }
    Json::Value v;
    std::string error;
    if (!LoadJsonFromFile(path, v, &error)) {
        problems.push_back(path + ": " + error);
        return false;
    }
    return ParseConfig(v, config, problems, path);
}

} // namespace bridge
