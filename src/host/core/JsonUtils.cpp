// JSON helpers over jsoncpp's reader and writer builders, which report errors as texts.
#include "host/core/JsonUtils.h"

#include <exception>
#include <fstream>
#include <memory>
#include <sstream>

bool LoadJsonFromString(const std::string& text, Json::Value& value, std::string* error) {
    Json::Value parsed;
    std::string errs;
    bool ok = false;
    try {
        Json::CharReaderBuilder builder;
        builder["collectComments"] = false;
        // The reader recurses per level and throws past its limit: a hostile file
        // must cost neither the stack nor the daemon.
        builder["stackLimit"] = JSON_MAX_DEPTH;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        ok = reader->parse(text.data(), text.data() + text.size(), &parsed, &errs);
    } catch (const std::exception& e) {
        ok = false;
        errs = e.what();
        if (errs.find("stackLimit") != std::string::npos) {
            errs = "nested deeper than " + std::to_string(JSON_MAX_DEPTH) + " levels";
        }
    } catch (...) {
        ok = false;
        errs = "the JSON reader failed";
    }
    if (!ok) {
        while (!errs.empty() && (errs.back() == '\n' || errs.back() == ' ')) {
            errs.pop_back();
        }
        if (error) {
            *error = errs.empty() ? std::string("not valid JSON") : errs;
        }
        return false;
    }
    value = std::move(parsed);
    return true;
}

bool LoadJsonFromFile(const std::string& path, Json::Value& value, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) {
            *error = "cannot open " + path;
        }
        return false;
    }
    std::ostringstream buf;
    buf << in.rdbuf();
    if (in.bad()) {
        if (error) {
            *error = "cannot read " + path;
        }
        return false;
    }
    return LoadJsonFromString(buf.str(), value, error);
}

std::string SaveJsonToString(const Json::Value& value, const std::string& indentation) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = indentation;
    return Json::writeString(builder, value);
}
