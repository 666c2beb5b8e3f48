// Reading playlists, with every problem of a file named at once.
#include "Playlist.h"

#include "host/core/Common.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <sys/stat.h>

namespace {

const double MAX_PAUSE_SECONDS = 24 * 3600;

std::string quoted(const std::string& s) {
    return "\"" + s + "\"";
}

bool validName(const std::string& name) {
    return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos;
}

class Loader {
public:
    Loader(const std::string& dir, std::vector<std::string>& problems) : m_dir(dir), m_problems(problems) {}

    // Loads `name` into `out`; `chain` is the playlists being expanded around it.
    bool load(const std::string& name, Playlist& out, std::vector<std::string> chain) {
        const std::string file = m_dir + "/" + name + ".json";
        struct stat st;
        if (!validName(name) || stat(file.c_str(), &st) != 0) {
            m_problems.push_back(file + ": there is no such playlist (playlists: " + list() + ")");
            return false;
        }
        Json::Value root;
        std::string error;
        if (!LoadJsonFromFile(file, root, &error) || !root.isObject()) {
            m_problems.push_back(file + ": " + (error.empty() ? "not a JSON object" : error));
            return false;
        }
        size_t before = m_problems.size();
        chain.push_back(name);
        out.name = root["name"].isString() ? root["name"].asString() : name;
        const Json::Value& repeat = root["repeat"];
        if (repeat.isBool()) {
            out.repeat = repeat.asBool() ? 0 : 1;
        } else if (repeat.isIntegral() && repeat.asInt64() >= 1 && repeat.asInt64() <= 1000000) {
            out.repeat = repeat.asInt();
        } else if (!repeat.isNull()) {
            m_problems.push_back(file + ": \"repeat\" must be true, false or a number of passes from 1");
        }
        const Json::Value& random = root["random"];
        if (!random.isNull() && !random.isBool()) {
            m_problems.push_back(file + ": \"random\" must be true or false");
        }
        out.random = random.isBool() && random.asBool();
        section(file, root, "leadIn", out.leadIn, chain);
        section(file, root, "mainPlaylist", out.main, chain);
        section(file, root, "leadOut", out.leadOut, chain);
        if (m_problems.size() == before && out.leadIn.empty() && out.main.empty() && out.leadOut.empty()) {
            m_problems.push_back(file +
                                 ": nothing to play: \"leadIn\", \"mainPlaylist\" and \"leadOut\" are empty");
        }
        return m_problems.size() == before;
    }

private:
    void section(const std::string& file, const Json::Value& root, const char* key,
                 std::vector<PlaylistEntry>& out, const std::vector<std::string>& chain) {
        const Json::Value& list = root[key];
        if (list.isNull()) {
            return;
        }
        if (!list.isArray()) {
            m_problems.push_back(file + ": " + quoted(key) + " must be a list of entries");
            return;
        }
        for (Json::ArrayIndex i = 0; i < list.size(); i++) {
            entry(file + ": " + key + " entry " + std::to_string(i + 1) + ": ", list[i], out, chain);
        }
    }

    void entry(const std::string& where, const Json::Value& e, std::vector<PlaylistEntry>& out,
               const std::vector<std::string>& chain) {
        if (!e.isObject() || !e["type"].isString()) {
            m_problems.push_back(where +
                                 "\"type\" must be \"sequence\", \"pause\", \"command\" or \"playlist\"");
            return;
        }
        const std::string type = e["type"].asString();
        PlaylistEntry p;
        if (type == "sequence") {
            if (!e["sequence"].isString() || e["sequence"].asString().empty()) {
                m_problems.push_back(where + "\"sequence\" must name a file of sequences/");
                return;
            }
            p.sequence = e["sequence"].asString();
            const Json::Value& start = e["startSecond"];
            if (!start.isNull()) {
                if (!start.isIntegral() || start.asInt64() < 0 || start.asInt64() > 24 * 3600) {
                    m_problems.push_back(where + "\"startSecond\" must be a whole number of seconds from 0");
                    return;
                }
                p.startSecond = start.asInt();
            }
        } else if (type == "pause") {
            const Json::Value& s = e["seconds"];
            if (!s.isNumeric() || !(s.asDouble() > 0) || s.asDouble() > MAX_PAUSE_SECONDS) {
                m_problems.push_back(where +
                                     "\"seconds\" must be a number of seconds above 0, at most 86400");
                return;
            }
            p.type = PlaylistEntry::PAUSE;
            p.pauseMs = static_cast<int>(std::lround(s.asDouble() * 1000));
        } else if (type == "command") {
            if (!e["command"].isString() || e["command"].asString().empty()) {
                m_problems.push_back(where + "\"command\" must name a command");
                return;
            }
            Json::Value args(Json::arrayValue);
            const Json::Value& a = e["args"];
            if (!a.isNull() && !a.isArray()) {
                m_problems.push_back(where + "\"args\" must be a list of texts");
                return;
            }
            for (Json::ArrayIndex i = 0; a.isArray() && i < a.size(); i++) {
                if (!a[i].isString() && !a[i].isNumeric() && !a[i].isBool()) {
                    m_problems.push_back(where + "\"args\" must be a list of texts");
                    return;
                }
                args.append(a[i].asString());
            }
            p.type = PlaylistEntry::COMMAND;
            p.command["command"] = e["command"].asString();
            p.command["args"] = args;
        } else if (type == "playlist") {
            if (!e["playlist"].isString() || e["playlist"].asString().empty()) {
                m_problems.push_back(where + "\"playlist\" must name a playlist of playlists/");
                return;
            }
            const std::string inner = e["playlist"].asString();
            if (std::find(chain.begin(), chain.end(), inner) != chain.end()) {
                std::string path;
                for (const std::string& c : chain) {
                    path += c + " -> ";
                }
                m_problems.push_back(where + "\"playlist\" " + quoted(inner) + " includes itself (" + path +
                                     inner + ")");
                return;
            }
            Playlist nested;
            if (!load(inner, nested, chain)) {
                m_problems.push_back(where + "\"playlist\" " + quoted(inner) + " cannot be played (above)");
                return;
            }
            for (auto* s : {&nested.leadIn, &nested.main, &nested.leadOut}) {
                out.insert(out.end(), s->begin(), s->end());
            }
            return;
        } else {
            m_problems.push_back(where + "\"type\" " + quoted(type) +
                                 " is not \"sequence\", \"pause\", \"command\" or \"playlist\"");
            return;
        }
        out.push_back(p);
    }

    std::string list() const {
        std::vector<std::string> names = ListPlaylists(m_dir);
        if (names.empty()) {
            return "none";
        }
        std::string text;
        for (const std::string& n : names) {
            text += (text.empty() ? "" : ", ") + n;
        }
        return text;
    }

    std::string m_dir;
    std::vector<std::string>& m_problems;
};

} // namespace

std::string PlaylistEntry::Describe() const {
    switch (type) {
    case PAUSE: {
        char text[48];
        snprintf(text, sizeof(text), "pause %g s", pauseMs / 1000.0);
        return text;
    }
    case COMMAND:
        return "command " + command["command"].asString();
    default:
        return sequence;
    }
}

bool LoadPlaylist(const std::string& dir, const std::string& name, Playlist& out,
                  std::vector<std::string>& problems) {
    out = Playlist();
    return Loader(dir, problems).load(name, out, {});
}

std::vector<std::string> ListPlaylists(const std::string& dir) {
    std::vector<std::string> files;
    int error = ListFolder(dir, files);
    if (error != 0 && error != ENOENT) {
        LogWarn(LOGCH_PLAYER, "Cannot read the playlists folder %s: %s\n", dir.c_str(), strerror(error));
    }
    std::vector<std::string> names;
    for (const std::string& n : files) {
        if (n.size() > 5 && n[0] != '.' && n.compare(n.size() - 5, 5, ".json") == 0) {
            names.push_back(n.substr(0, n.size() - 5));
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}
