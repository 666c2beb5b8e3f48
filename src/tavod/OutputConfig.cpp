// Reading and checking channeloutputs.json, and creating the outputs it names.
#include "OutputConfig.h"

#include "ErrorCollector.h"

#include "host/core/ConfigKeys.h"
#include "host/core/JsonUtils.h"
#include "host/output/ChannelBuffer.h"
#include "host/output/ChannelOutput.h"
#include "host/core/Log.h"
#include "PluginLoader.h"
#include "host/core/Warnings.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

// How a value that is not what was wanted reads in a message.
std::string describe(const Json::Value& v) {
    switch (v.type()) {
    case Json::nullValue:
        return "null";
    case Json::stringValue:
        return "the text \"" + v.asString() + "\"";
    case Json::booleanValue:
        return v.asBool() ? "true" : "false";
    case Json::arrayValue:
        return "a list";
    case Json::objectValue:
        return "an object";
    case Json::realValue: {
        std::ostringstream s;
        s << v.asDouble();
        return s.str();
    }
    default:
        return v.isInt64() ? std::to_string(v.asInt64()) : std::to_string(v.asUInt64());
    }
}

} // namespace

void OutputConfig::error(const std::string& message) {
    LogErr(LOGCH_CHANNELOUT, "%s\n", message.c_str());
    WarningHolder::AddWarning(message);
    m_errors.push_back(message);
}

bool OutputConfig::Load(const std::string& path, const std::vector<std::string>& availableTypes) {
    m_outputs.clear();
    m_errors.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) {
            LogInfo(LOGCH_CHANNELOUT, "%s does not exist: no outputs configured\n", path.c_str());
            return true;
        }
        error(path + ": cannot be read: " + strerror(errno));
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        error(path + ": cannot be read: " + strerror(errno));
        return false;
    }
    return Parse(text.str(), path, availableTypes);
}

bool OutputConfig::Parse(const std::string& text, const std::string& fileName,
                         const std::vector<std::string>& availableTypes) {
    m_outputs.clear();
    m_errors.clear();
    m_warnings.clear();

    Json::Value root;
    std::string errs;
    if (!LoadJsonFromString(text, root, &errs)) {
        error(fileName + ": not valid JSON: " + errs);
        return false;
    }
    if (!root.isObject()) {
        error(fileName + ": expected an object such as {\"channelOutputs\": [ ... ]}");
        return false;
    }
    for (const std::string& key : root.getMemberNames()) {
        if (key != "channelOutputs") {
            // "channelOutput" would otherwise quietly mean no outputs at all.
            m_warnings.push_back(fileName + ": " + UnknownKeyText(key, {"channelOutputs"}));
            LogWarn(LOGCH_CHANNELOUT, "%s\n", m_warnings.back().c_str());
        }
    }
    if (!root.isMember("channelOutputs")) {
        LogInfo(LOGCH_CHANNELOUT, "%s has no \"channelOutputs\": no outputs configured\n", fileName.c_str());
        return true;
    }
    const Json::Value& list = root["channelOutputs"];
    if (!list.isArray()) {
        error(fileName + ": \"channelOutputs\" must be a list of outputs, not " + describe(list));
        return false;
    }
    for (Json::ArrayIndex i = 0; i < list.size(); i++) {
        checkOutput(list[i], (int)i, fileName, availableTypes);
    }
    return true;
}

bool OutputConfig::checkOutput(const Json::Value& entry, int index, const std::string& fileName,
                               const std::vector<std::string>& availableTypes) {
    std::string where = fileName + ": channelOutputs[" + std::to_string(index) + "]";
    if (!entry.isObject()) {
        error(where + ": must be an object, not " + describe(entry));
        return false;
    }
    const Json::Value& type = entry["type"];
    if (!type.isString() || type.asString().empty()) {
        error(where + ": \"type\" must name an output type, not " + describe(type));
        return false;
    }
    ConfiguredOutput out;
    out.index = index;
    out.type = type.asString();
    where += " (type \"" + out.type + "\")";

    bool enabled = true;
    if (entry.isMember("enabled")) {
        const Json::Value& e = entry["enabled"];
        if (e.isBool()) {
            enabled = e.asBool();
        } else if (e.isInt()) {
            enabled = e.asInt() != 0;
        } else {
            error(where + ": \"enabled\" must be 0 or 1, not " + describe(e));
            return false;
        }
    }
    if (!enabled) {
        LogInfo(LOGCH_CHANNELOUT, "%s: disabled\n", where.c_str());
        return false;
    }
    if (std::find(availableTypes.begin(), availableTypes.end(), out.type) == availableTypes.end()) {
        std::string types;
        for (const std::string& t : availableTypes) {
            types += (types.empty() ? "" : ", ") + t;
        }
        error(where + ": unknown output type; available types: " + (types.empty() ? "none" : types));
        return false;
    }

    bool ok = true;
    int64_t start = 0;
    int64_t count = 0;
    const Json::Value& s = entry["startChannel"];
    if (!entry.isMember("startChannel")) {
        error(where + ": \"startChannel\" is missing; channels are counted from 1");
        ok = false;
    } else if (!s.isInt64()) {
        error(where + ": \"startChannel\" must be a whole number, not " + describe(s));
        ok = false;
    } else {
        start = s.asInt64();
        if (start < 1) {
            error(where + ": \"startChannel\" is " + std::to_string(start) +
                  ", but channels are counted from 1");
            ok = false;
        }
    }
    const Json::Value& c = entry["channelCount"];
    if (!entry.isMember("channelCount")) {
        error(where + ": \"channelCount\" is missing");
        ok = false;
    } else if (!c.isInt64()) {
        error(where + ": \"channelCount\" must be a whole number, not " + describe(c));
        ok = false;
    } else {
        count = c.asInt64();
        if (count < 0) {
            error(where + ": \"channelCount\" is " + std::to_string(count) + ", but cannot be negative");
            ok = false;
        }
    }
    if (!ok) {
        return false;
    }
    if (start + count - 1 > (int64_t)TAVO_MAX_CHANNELS) {
        error(where + ": \"channelCount\" " + std::to_string(count) + " from \"startChannel\" " +
              std::to_string(start) + " reaches channel " + std::to_string(start + count - 1) +
              ", past the last channel " + std::to_string(TAVO_MAX_CHANNELS));
        return false;
    }
    out.startChannel = (unsigned int)(start - 1);
    out.channelCount = (unsigned int)count;
    out.config = entry;
    m_outputs.push_back(out);
    return true;
}

std::unique_ptr<ChannelOutput> CreateOutput(const ConfiguredOutput& c, const PluginLoader& loader,
                                            std::string& failure) {
    TavoPlugins::ChannelOutputPlugin* plugin = loader.GetChannelOutputPlugin(c.type);
    std::unique_ptr<ChannelOutput> out;
    failure.clear();
    ErrorCollector errors; // the output's own words for why it failed
    try {
        if (plugin) {
            out.reset(plugin->createChannelOutput(c.startChannel, c.channelCount));
        }
        if (!plugin) {
            failure = "no output plug-in \"" + c.type + "\" is loaded";
        } else if (!out) {
            failure = "its plug-in created no output";
        } else if (!out->Init(c.config)) {
            failure = errors.LastOrWarning("it failed to initialise");
        }
    } catch (const std::exception& e) {
        // A plug-in read a key of the wrong type with the JSON library's throwing accessors.
        failure = std::string("its configuration could not be read: ") + e.what();
    }
    if (!failure.empty() && out) {
        try {
            out->Close();
        } catch (const std::exception&) {
        }
        out.reset();
    }
    return out;
}

std::vector<std::unique_ptr<ChannelOutput>> CreateConfiguredOutputs(const OutputConfig& config,
                                                                    const PluginLoader& loader) {
    std::vector<std::unique_ptr<ChannelOutput>> outputs;
    for (const ConfiguredOutput& c : config.GetOutputs()) {
        std::string failure;
        std::unique_ptr<ChannelOutput> out = CreateOutput(c, loader, failure);
        if (!out) {
            LogErr(LOGCH_CHANNELOUT, "Output %d (type \"%s\", channels %u to %u) is left out: %s\n", c.index,
                   c.type.c_str(), c.startChannel + 1, c.startChannel + c.channelCount, failure.c_str());
            continue;
        }
        outputs.push_back(std::move(out));
    }
    return outputs;
}
