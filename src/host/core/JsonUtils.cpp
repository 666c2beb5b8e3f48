// JSON helpers over jsoncpp's reader and writer builders, which report errors as texts.
#include "host/core/JsonUtils.h"

#include "host/core/Log.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

const char* JsonTypeName(const Json::Value& v) {
    switch (v.type()) {
    case Json::nullValue:
        return "null";
    case Json::intValue:
    case Json::uintValue:
    case Json::realValue:
        return "a number";
    case Json::stringValue:
        return "a text";
    case Json::booleanValue:
        return "true or false";
    case Json::arrayValue:
        return "a list";
    default:
        return "an object";
    }
}

namespace {

// The key's value, or null when there is none to read.
const Json::Value* keyValue(const Json::Value& object, const char* key) {
    if (!object.isObject()) {
        return nullptr;
    }
    return object.find(key, key + strlen(key));
}

void wrongType(const char* key, const char* wanted, const Json::Value& v, const std::string& where,
               bool& ok) {
    LogErr(LOGCH_CHANNELOUT, "%s: \"%s\" must be %s, not %s\n", where.c_str(), key, wanted, JsonTypeName(v));
    ok = false;
}

} // namespace

int JsonKeyInt(const Json::Value& object, const char* key, int def, const std::string& where, bool& ok) {
    const Json::Value* v = keyValue(object, key);
    if (!v) {
        return def;
    }
    if (v->isInt()) {
        return v->asInt();
    }
    if (v->isDouble()) {
        double d = v->asDouble();
        if (d >= -2147483648.0 && d <= 2147483647.0 && d == (double)(int64_t)d) {
            return (int)d;
        }
    }
    if (v->isString()) {
        const char* s = v->asCString();
        char* end = nullptr;
        errno = 0;
        long n = strtol(s, &end, 10);
        if (end != s && *end == '\0' && errno == 0 && n >= INT_MIN && n <= INT_MAX) {
            return (int)n;
        }
    }
    wrongType(key, "a whole number", *v, where, ok);
    return def;
}

double JsonKeyNumber(const Json::Value& object, const char* key, double def, const std::string& where,
                     bool& ok) {
    const Json::Value* v = keyValue(object, key);
    if (!v) {
        return def;
    }
    if (v->isNumeric() && !v->isBool()) {
        return v->asDouble();
    }
    if (v->isString()) {
        const char* s = v->asCString();
        char* end = nullptr;
        double d = strtod(s, &end);
        return end == s ? def : d;
    }
    wrongType(key, "a number", *v, where, ok);
    return def;
}

std::string JsonKeyString(const Json::Value& object, const char* key, const std::string& def,
                          const std::string& where, bool& ok) {
    const Json::Value* v = keyValue(object, key);
    if (!v) {
        return def;
    }
    if (v->isString()) {
        return v->asString();
    }
    wrongType(key, "a text", *v, where, ok);
    return def;
}

bool JsonKeyBool(const Json::Value& object, const char* key, bool def, const std::string& where, bool& ok) {
    const Json::Value* v = keyValue(object, key);
    if (!v) {
        return def;
    }
    if (v->isBool()) {
        return v->asBool();
    }
    if (v->isInt()) {
        return v->asInt() != 0;
    }
    wrongType(key, "true or false", *v, where, ok);
    return def;
}
