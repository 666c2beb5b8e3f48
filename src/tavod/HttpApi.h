// The daemon's HTTP API on one port: show status, settings, user warnings, the
// pixel overlay models, the control page at / and the preview page at /preview.
// Other modules (the GPIO pin list, the control page's resources) register their
// resources on the same server.
#pragma once

#include <httpserver.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

class HttpApi {
public:
    using StatusFunction = std::function<Json::Value()>;

    // Listens on `listenFd` when it is a socket already bound and listening (then
    // owned by the API), else on `port`. `status` builds the body of GET
    // /api/status; it runs on the server's threads.
    HttpApi(int port, int listenFd, const std::string& webDir, StatusFunction status);
    ~HttpApi();
    HttpApi(const HttpApi&) = delete;
    HttpApi& operator=(const HttpApi&) = delete;

    // Starts listening (on every interface, unless given a socket); false with
    // `error` set when the port cannot be opened.
    bool Start(std::string& error);
    void Stop();
    bool IsRunning();
    // The port it listens on, that of the given socket included.
    int GetPort() const { return m_port; }

    // Serves `resource` (borrowed: it must outlive the server or be unregistered)
    // at `path`; with `family`, also every path below it. False when taken.
    bool RegisterResource(const std::string& path, httpserver::http_resource* resource, bool family = false);
    void UnregisterResource(const std::string& path);

    // A JSON body with the status code: {"error": text}.
    static std::shared_ptr<httpserver::http_response> JsonError(int code, const std::string& text);
    static std::shared_ptr<httpserver::http_response> JsonResponse(const Json::Value& value, int code = 200);
    // Runs one request through the server's resources without a socket.
    std::shared_ptr<httpserver::http_response> Dispatch(const httpserver::http_request& request);

    // A setting name the API accepts: letters, digits, '_', '-' and '.', at most 64.
    static bool ValidSettingName(const std::string& name);
    // A model name the API looks up: 1 to 128 bytes, no control characters, no '/'
    // or '\\', not "." or "..".
    static bool ValidModelName(const std::string& name);
    // The value a PUT body sets: {"value": V}, a JSON string or number, or plain
    // text. False with `error` set when the body says nothing usable.
    static bool SettingValueFromBody(const std::string& body, std::string& value, std::string& error);

private:
    int m_port;
    bool m_givenSocket; // serves on a socket handed over rather than its own
    std::string m_webDir;
    StatusFunction m_status;
    std::unique_ptr<httpserver::webserver> m_server;
    std::vector<std::unique_ptr<httpserver::http_resource>> m_resources; // ours, registered on m_server
};
