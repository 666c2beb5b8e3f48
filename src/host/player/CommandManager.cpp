// Command registry, command runs and presets.
#include "host/player/CommandManager.h"

#include "host/core/Common.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"

CommandManager CommandManager::INSTANCE;

Json::Value Command::getDescription() {
    Json::Value d;
    d["name"] = name;
    if (!description.empty()) {
        d["description"] = description;
    }
    d["args"] = Json::Value(Json::arrayValue);
    for (const CommandArg& a : args) {
        Json::Value ja;
        ja["name"] = a.name;
        ja["type"] = a.type;
        ja["description"] = a.description;
        ja["optional"] = a.optional;
        if (!a.defaultValue.empty()) {
            ja["default"] = a.defaultValue;
        }
        if (!a.contentListUrl.empty()) {
            ja["contentListUrl"] = a.contentListUrl;
        }
        if (!a.contentList.empty()) {
            Json::Value cl(Json::arrayValue);
            for (auto& v : a.contentList) {
                cl.append(v);
            }
            ja["contentList"] = cl;
        }
        d["args"].append(ja);
    }
    return d;
}

void CommandManager::addCommand(Command* cmd) {
    if (!cmd) {
        return;
    }
    std::shared_ptr<Command> c(cmd);
    std::lock_guard<std::mutex> l(m_lock);
    m_commands[c->name] = c;
}

void CommandManager::removeCommand(const std::string& name) {
    std::shared_ptr<Command> gone;
    std::lock_guard<std::mutex> l(m_lock);
    auto it = m_commands.find(name);
    if (it != m_commands.end()) {
        gone = it->second;
        m_commands.erase(it);
    }
}

bool CommandManager::hasCommand(const std::string& name) {
    std::lock_guard<std::mutex> l(m_lock);
    return m_commands.count(name) != 0;
}

void CommandManager::removeAllCommands() {
    std::map<std::string, std::shared_ptr<Command>> gone;
    std::lock_guard<std::mutex> l(m_lock);
    gone.swap(m_commands);
}

Json::Value CommandManager::getDescriptions() {
    std::vector<std::shared_ptr<Command>> cmds;
    {
        std::lock_guard<std::mutex> l(m_lock);
        for (auto& c : m_commands) {
            cmds.push_back(c.second);
        }
    }
    Json::Value r(Json::arrayValue);
    for (auto& c : cmds) {
        if (!c->hidden()) {
            r.append(c->getDescription());
        }
    }
    return r;
}

std::unique_ptr<Command::Result> CommandManager::run(const std::string& name,
                                                     const std::vector<std::string>& args) {
    std::shared_ptr<Command> c;
    {
        std::lock_guard<std::mutex> l(m_lock);
        auto it = m_commands.find(name);
        if (it != m_commands.end()) {
            c = it->second;
        }
    }
    if (!c) {
        LogWarn(LOGCH_GENERAL, "Unknown command \"%s\"\n", name.c_str());
        return std::make_unique<Command::ErrorResult>("Unknown command: " + name);
    }
    LogDebug(LOGCH_GENERAL, "Running command \"%s\" with %d argument(s)\n", name.c_str(), (int)args.size());
    std::unique_ptr<Command::Result> r = c->run(args);
    if (!r) {
        r = std::make_unique<Command::ErrorResult>("Command " + name + " returned no result");
    }
    return r;
}

std::unique_ptr<Command::Result> CommandManager::run(const Json::Value& command) {
    if (!command.isObject() || !command.isMember("command") || !command["command"].isString()) {
        return std::make_unique<Command::ErrorResult>("A command object needs a \"command\" text");
    }
    std::vector<std::string> args;
    const Json::Value& ja = command["args"];
    if (ja.isArray()) {
        for (const Json::Value& a : ja) {
            if (a.isString()) {
                args.push_back(a.asString());
            } else if (a.isBool()) {
                args.push_back(a.asBool() ? "true" : "false");
            } else if (a.isNumeric() || a.isNull()) {
                args.push_back(a.isNull() ? "" : a.asString());
            } else {
                return std::make_unique<Command::ErrorResult>("Command arguments must be texts or numbers");
            }
        }
    } else if (!ja.isNull()) {
        return std::make_unique<Command::ErrorResult>("The \"args\" of a command must be an array");
    }
    return run(command["command"].asString(), args);
}

bool CommandManager::loadPresets(const std::string& path) {
    std::string file = path.empty() ? getTavoMediaDir("config/commandPresets.json") : path;
    std::map<std::string, std::vector<Json::Value>> presets;
    bool ok = true;
    if (FileExists(file)) {
        Json::Value root;
        std::string errs;
        if (!LoadJsonFromFile(file, root, &errs)) {
            LogErr(LOGCH_GENERAL, "Could not read command presets from %s: %s\n", file.c_str(), errs.c_str());
            ok = false;
        } else if (!root.isObject() || !root["presets"].isObject()) {
            LogErr(LOGCH_GENERAL,
                   "Command presets file %s needs an object \"presets\" of named command lists\n",
                   file.c_str());
            ok = false;
        } else {
            const Json::Value& p = root["presets"];
            for (const std::string& name : p.getMemberNames()) {
                const Json::Value& list = p[name];
                if (!list.isArray()) {
                    LogErr(LOGCH_GENERAL, "Command preset \"%s\" in %s is not a list of commands, skipped\n",
                           name.c_str(), file.c_str());
                    continue;
                }
                for (const Json::Value& cmd : list) {
                    if (cmd.isObject() && cmd["command"].isString()) {
                        presets[name].push_back(cmd);
                    } else {
                        LogErr(LOGCH_GENERAL,
                               "Command preset \"%s\" in %s holds an entry without a \"command\", skipped\n",
                               name.c_str(), file.c_str());
                    }
                }
            }
        }
    }
    std::lock_guard<std::mutex> l(m_lock);
    m_presets.swap(presets);
    m_presetsLoaded = true;
    return ok;
}

bool CommandManager::hasPreset(const std::string& name) {
    std::lock_guard<std::mutex> l(m_lock);
    return m_presets.count(name) != 0;
}

std::string CommandManager::ReplaceKeywords(std::string text,
                                            const std::map<std::string, std::string>& keywords) {
    if (text.find('%') == std::string::npos) {
        return text;
    }
    for (auto& kw : keywords) {
        std::string key = "%" + kw.first + "%";
        size_t pos = 0;
        while ((pos = text.find(key, pos)) != std::string::npos) {
            text.replace(pos, key.size(), kw.second);
            pos += kw.second.size();
        }
    }
    return text;
}

void CommandManager::TriggerPreset(const std::string& name) {
    TriggerPreset(name, {});
}

void CommandManager::TriggerPreset(const std::string& name,
                                   const std::map<std::string, std::string>& keywords) {
    bool load;
    {
        std::lock_guard<std::mutex> l(m_lock);
        load = !m_presetsLoaded;
    }
    if (load) {
        loadPresets();
    }
    std::vector<Json::Value> cmds;
    {
        std::lock_guard<std::mutex> l(m_lock);
        auto it = m_presets.find(name);
        if (it != m_presets.end()) {
            cmds = it->second;
        }
    }
    if (cmds.empty()) {
        LogDebug(LOGCH_GENERAL, "No command preset named \"%s\", nothing to run\n", name.c_str());
        return;
    }
    LogDebug(LOGCH_GENERAL, "Triggering command preset \"%s\"\n", name.c_str());
    for (Json::Value& cmd : cmds) {
        if (cmd["args"].isArray()) {
            for (Json::Value& a : cmd["args"]) {
                if (a.isString()) {
                    a = ReplaceKeywords(a.asString(), keywords);
                }
            }
        }
        std::unique_ptr<Command::Result> r = run(cmd);
        if (r->isError()) {
            LogWarn(LOGCH_GENERAL, "Command preset \"%s\": command \"%s\" failed: %s\n", name.c_str(),
                    cmd["command"].asString().c_str(), r->get().c_str());
        }
    }
}
