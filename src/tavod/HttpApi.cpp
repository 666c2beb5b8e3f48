// The HTTP API resources and the server that carries them.
#include "HttpApi.h"

#include "PngEncoder.h"

#include "LogLevels.h"
#include "host/core/JsonUtils.h"
#include "host/core/ListenSockets.h"
#include "host/core/Log.h"
#include "host/core/Settings.h"
#include "host/core/Warnings.h"
#include "host/output/PixelOverlay.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

using httpserver::http_request;
using httpserver::http_resource;
using httpserver::http_response;
using httpserver::string_response;
using httpserver::http::http_utils;

namespace {

std::string toJson(const Json::Value& v) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "  ";
    return Json::writeString(w, v) + "\n";
}

class StatusResource : public http_resource {
public:
    explicit StatusResource(HttpApi::StatusFunction status) : m_status(std::move(status)) {
        disallow_all();
        set_allowing("GET", true);
        set_allowing("HEAD", true);
    }
    std::shared_ptr<http_response> render(const http_request&) override {
        return HttpApi::JsonResponse(m_status ? m_status() : Json::Value(Json::objectValue));
    }

private:
    HttpApi::StatusFunction m_status;
};

class WarningsResource : public http_resource {
public:
    WarningsResource() {
        disallow_all();
        set_allowing("GET", true);
        set_allowing("HEAD", true);
    }
    std::shared_ptr<http_response> render(const http_request&) override {
        Json::Value list(Json::arrayValue);
        for (const std::string& w : WarningHolder::GetWarnings()) {
            list.append(w);
        }
        return HttpApi::JsonResponse(list);
    }
};

// The pixel overlay models, the ones outputs registered of their own pictures
// included, so that a user can see what a panel output named its model; and
// /api/overlays/models/NAME/image, a model's picture as a PNG image.
class OverlayModelsResource : public http_resource {
public:
    OverlayModelsResource() {
        disallow_all();
        set_allowing("GET", true);
        set_allowing("HEAD", true);
    }
    std::shared_ptr<http_response> render(const http_request& req) override {
        std::vector<std::string> pieces = req.get_path_pieces();
        if (pieces.size() == 3) {
            return HttpApi::JsonResponse(PixelOverlayManager::INSTANCE.getModelList());
        }
        if (pieces.size() != 5 || pieces[4] != "image") {
            return HttpApi::JsonError(404, "a model's picture is at /api/overlays/models/NAME/image");
        }
        const std::string& name = pieces[3];
        if (!HttpApi::ValidModelName(name)) {
            return HttpApi::JsonError(400, "bad model name");
        }
        int width = 0, height = 0;
        std::vector<uint8_t> rgb;
        if (!PixelOverlayManager::INSTANCE.getModelImage(name, width, height, rgb)) {
            return HttpApi::JsonError(404, "no overlay model named \"" + name + "\"");
        }
        std::string png, error;
        if (!EncodePng(width, height, rgb.data(), png, error)) {
            LogErr(LOGCH_GENERAL, "Picture of overlay model %s: %s\n", name.c_str(), error.c_str());
            return HttpApi::JsonError(500, "the picture of \"" + name + "\" cannot be made: " + error);
        }
        auto r = std::make_shared<string_response>(std::move(png), 200, "image/png");
        r->with_header("Cache-Control", "no-store");
        r->with_header("Access-Control-Allow-Origin", "*");
        return r;
    }
};

// /api/settings (every setting) and /api/settings/NAME (one, read or changed).
class SettingsResource : public http_resource {
public:
    explicit SettingsResource(size_t maxSettings) : m_maxSettings(maxSettings) {
        disallow_all();
        set_allowing("GET", true);
        set_allowing("HEAD", true);
        set_allowing("PUT", true);
    }
    std::shared_ptr<http_response> render_GET(const http_request& req) override {
        std::vector<std::string> pieces = req.get_path_pieces();
        if (pieces.size() == 2) {
            Json::Value all(Json::objectValue);
            for (const auto& kv : getAllSettings()) {
                all[kv.first] = kv.second;
            }
            return HttpApi::JsonResponse(all);
        }
        std::string name;
        if (auto bad = nameFrom(pieces, name)) {
            return bad;
        }
        std::string level;
        if (!hasSetting(name) && tavod::CurrentLogLevel(name, level)) {
            // A channel's level is there to read even when no setting set it.
            Json::Value v(Json::objectValue);
            v["name"] = name;
            v["value"] = level;
            return HttpApi::JsonResponse(v);
        }
        if (!hasSetting(name)) {
            return HttpApi::JsonError(404, "no setting named \"" + name + "\"");
        }
        return HttpApi::JsonResponse(describe(name));
    }
    std::shared_ptr<http_response> render_HEAD(const http_request& req) override { return render_GET(req); }
    std::shared_ptr<http_response> render_PUT(const http_request& req) override {
        std::vector<std::string> pieces = req.get_path_pieces();
        if (pieces.size() == 2) {
            return HttpApi::JsonError(400, "name the setting to change: PUT /api/settings/NAME");
        }
        std::string name;
        if (auto bad = nameFrom(pieces, name)) {
            return bad;
        }
        std::string value;
        std::string error;
        if (!HttpApi::SettingValueFromBody(req.get_content(), value, error)) {
            return HttpApi::JsonError(400, error);
        }
        if (tavod::IsLogLevelSetting(name) && !tavod::CheckLogLevelSetting(name, value, error)) {
            return HttpApi::JsonError(400, name + ": " + error);
        }
        if (!hasSetting(name) && getAllSettings().size() >= m_maxSettings) {
            // Each new name is kept for good: a client must not grow the store without end.
            return HttpApi::JsonError(400, "there are " + std::to_string(m_maxSettings) +
                                               " settings already; no new one can be made over HTTP");
        }
        LogInfo(LOGCH_GENERAL, "Setting %s changed to \"%s\" over HTTP\n", name.c_str(), value.c_str());
        setSetting(name, value);
        return HttpApi::JsonResponse(describe(name));
    }

private:
    size_t m_maxSettings;

    static Json::Value describe(const std::string& name) {
        Json::Value v(Json::objectValue);
        v["name"] = name;
        v["value"] = getSetting(name.c_str(), "");
        return v;
    }
    // Null when `pieces` names a setting well; otherwise the response to send.
    static std::shared_ptr<http_response> nameFrom(const std::vector<std::string>& pieces,
                                                   std::string& name) {
        if (pieces.size() != 3) {
            return HttpApi::JsonError(404, "settings are at /api/settings/NAME");
        }
        name = pieces[2];
        if (!HttpApi::ValidSettingName(name)) {
            return HttpApi::JsonError(400,
                                      "bad setting name; use letters, digits, '_', '-' and '.' (at most 64)");
        }
        return nullptr;
    }
};

class PageResource : public http_resource {
public:
    PageResource(std::string path, std::string what) : m_path(std::move(path)), m_what(std::move(what)) {
        disallow_all();
        set_allowing("GET", true);
        set_allowing("HEAD", true);
    }
    std::shared_ptr<http_response> render(const http_request&) override {
        // Read on every request, so that an edited page shows without a restart.
        std::ifstream in(m_path, std::ios::binary);
        if (!in) {
            return HttpApi::JsonError(404, "the " + m_what + " " + m_path + " is missing (see --web-dir)");
        }
        std::stringstream s;
        s << in.rdbuf();
        auto r = std::make_shared<string_response>(s.str(), 200, "text/html; charset=utf-8");
        r->with_header("Cache-Control", "no-cache");
        return r;
    }

private:
    std::string m_path;
    std::string m_what;
};

} // namespace

HttpLimits HttpApi::LimitsFromSettings() {
    HttpLimits l;
    auto read = [](const char* name, int def, int min, int max) {
        const std::string text = getSetting(name, "");
        if (text.empty()) {
            return def;
        }
        char* end = nullptr;
        errno = 0;
        long v = strtol(text.c_str(), &end, 10);
        if (errno != 0 || *end != 0 || v < min || v > max) {
            LogWarn(LOGCH_GENERAL, "Setting %s is %s; it must be from %d to %d, so %d is used\n", name,
                    text.c_str(), min, max, def);
            return def;
        }
        return (int)v;
    };
    l.maxConnections = read("httpMaxConnections", l.maxConnections, 1, 4096);
    l.maxConnectionsPerAddress = read("httpMaxConnectionsPerAddress", l.maxConnectionsPerAddress, 1, 4096);
    l.requestSeconds = read("httpRequestTimeout", l.requestSeconds, 1, 3600);
    return l;
}

HttpApi::HttpApi(int port, int listenFd, const std::string& webDir, StatusFunction status,
                 const HttpLimits& limits)
    : m_port(listenFd >= 0 ? GetSocketPort(listenFd) : port), m_limits(limits), m_givenSocket(listenFd >= 0),
      m_webDir(webDir), m_status(std::move(status)) {
    httpserver::create_webserver params((uint16_t)m_port);
    if (listenFd >= 0) {
        params.bind_socket(listenFd);
    }
    params.max_threads(2)
        .max_connections(m_limits.maxConnections)
        .per_IP_connection_limit(m_limits.maxConnectionsPerAddress)
        .memory_limit(m_limits.connectionMemory)
        .connection_timeout(m_limits.idleSeconds)
        .content_size_limit(m_limits.bodyBytes)
#ifdef TAVO_HTTPSERVER_REQUEST_LIMITS
        .request_timeout(m_limits.requestSeconds)
        .header_size_limit(m_limits.headerBytes)
#endif
        .not_found_resource(
            [](const http_request& req) { return JsonError(404, "no such resource: " + req.get_path()); })
        .method_not_allowed_resource([](const http_request& req) {
            return JsonError(405, req.get_method() + " is not allowed on " + req.get_path());
        })
        .internal_error_resource([](const http_request& req) {
            return JsonError(500, "internal error while answering " + req.get_path());
        })
        .log_error([](const std::string& text) { LogErr(LOGCH_GENERAL, "HTTP: %s\n", text.c_str()); });
    m_server.reset(new httpserver::webserver(params));

    m_resources.emplace_back(new StatusResource(m_status));
    m_server->register_resource("/api/status", m_resources.back().get());
    m_resources.emplace_back(new WarningsResource());
    m_server->register_resource("/api/warnings", m_resources.back().get());
    m_resources.emplace_back(new OverlayModelsResource());
    m_server->register_resource("/api/overlays/models", m_resources.back().get(), true);
    m_resources.emplace_back(new SettingsResource(m_limits.settings));
    m_server->register_resource("/api/settings", m_resources.back().get(), true);
    m_resources.emplace_back(new PageResource(m_webDir + "/index.html", "control page"));
    m_server->register_resource("/", m_resources.back().get());
    m_server->register_resource("/index.html", m_resources.back().get());
    m_resources.emplace_back(new PageResource(m_webDir + "/preview.html", "preview page"));
    m_server->register_resource("/preview", m_resources.back().get());
    m_server->register_resource("/preview.html", m_resources.back().get());
}

HttpApi::~HttpApi() {
    Stop();
}

bool HttpApi::Start(std::string& error) {
    if (!m_server->start(false)) {
        if (m_givenSocket) {
            error = "cannot serve on the listening socket handed over (port " + std::to_string(m_port) + ")";
            return false;
        }
        error = "cannot listen on TCP port " + std::to_string(m_port) +
                " (in use, or below 1024 without privileges); choose another with --http-port N, or 0 to "
                "turn the "
                "HTTP API off";
        return false;
    }
    LogInfo(LOGCH_GENERAL, "HTTP API on port %d: http://localhost:%d/api/status\n", m_port, m_port);
    return true;
}

void HttpApi::Stop() {
    if (m_server && m_server->is_running()) {
        m_server->stop();
    }
}

bool HttpApi::IsRunning() {
    return m_server && m_server->is_running();
}

bool HttpApi::RegisterResource(const std::string& path, http_resource* resource, bool family) {
    return m_server->register_resource(path, resource, family);
}

void HttpApi::UnregisterResource(const std::string& path) {
    m_server->unregister_resource(path);
}

std::shared_ptr<http_response> HttpApi::Dispatch(const http_request& request) {
    return m_server->dispatch(request);
}

std::shared_ptr<http_response> HttpApi::JsonResponse(const Json::Value& value, int code) {
    auto r = std::make_shared<string_response>(toJson(value), code, http_utils::application_json);
    r->with_header("Cache-Control", "no-store");
    // The preview page may be opened from another host name than the API's.
    r->with_header("Access-Control-Allow-Origin", "*");
    return r;
}

std::shared_ptr<http_response> HttpApi::JsonError(int code, const std::string& text) {
    Json::Value v(Json::objectValue);
    v["error"] = text;
    return JsonResponse(v, code);
}

bool HttpApi::ValidSettingName(const std::string& name) {
    if (name.empty() || name.size() > 64) {
        return false;
    }
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == '-' || c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool HttpApi::ValidModelName(const std::string& name) {
    if (name.empty() || name.size() > 128 || name == "." || name == "..") {
        return false;
    }
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '/' || c == '\\') {
            return false;
        }
    }
    return true;
}

bool HttpApi::SettingValueFromBody(const std::string& body, std::string& value, std::string& error) {
    size_t first = body.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        error = "the body is empty; send the new value, or {\"value\": ...}";
        return false;
    }
    size_t last = body.find_last_not_of(" \t\r\n");
    std::string text = body.substr(first, last - first + 1);
    if (text.size() > 4096) {
        error = "the value is longer than 4096 bytes";
        return false;
    }
    if (text[0] != '{' && text[0] != '"' && text[0] != '[') {
        // Plain text (a number reads the same either way).
        if (text.find('\0') != std::string::npos || text.find('\n') != std::string::npos) {
            error = "a plain-text value must be one line";
            return false;
        }
        value = text;
        return true;
    }

    Json::Value root;
    std::string errs;
    if (!LoadJsonFromString(text, root, &errs)) {
        error = "the body is not valid JSON: " + errs;
        return false;
    }
    const Json::Value* v = &root;
    if (root.isObject()) {
        if (!root.isMember("value")) {
            error = "the JSON object has no \"value\"";
            return false;
        }
        v = &root["value"];
    }
    if (v->isString()) {
        value = v->asString();
    } else if (v->isBool()) {
        value = v->asBool() ? "1" : "0";
    } else if (v->isIntegral()) {
        value = v->isInt64() ? std::to_string(v->asInt64()) : std::to_string(v->asUInt64());
    } else if (v->isDouble()) {
        std::ostringstream s;
        s << v->asDouble();
        value = s.str();
    } else {
        error = "the value must be a string, number or boolean";
        return false;
    }
    return true;
}
