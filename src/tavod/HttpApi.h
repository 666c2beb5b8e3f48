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

// What one client, or all of them, may take of the API: a board on a show network
// that anyone nearby can reach keeps serving, and playing, whatever they send.
struct HttpLimits {
    int maxConnections = 512;          // at once on the port ("httpMaxConnections")
    int maxConnectionsPerAddress = 64; // at once from one address ("httpMaxConnectionsPerAddress")
    int requestSeconds = 10;           // to send a whole request ("httpRequestTimeout")
    int idleSeconds = 10;              // a connection with no traffic at all
    size_t headerBytes = 8 * 1024;     // request line and headers: 431 beyond
    size_t bodyBytes = 64 * 1024;      // body: 413 beyond
    size_t connectionMemory = 32 * 1024;
    size_t settings = 1000; // settings there may be before a PUT may make no new one
};

class HttpApi {
public:
    using StatusFunction = std::function<Json::Value()>;

    // Listens on `listenFd` when it is a socket already bound and listening (then
    // owned by the API), else on `port`. `status` builds the body of GET
    // /api/status; it runs on the server's threads.
    HttpApi(int port, int listenFd, const std::string& webDir, StatusFunction status,
            const HttpLimits& limits = HttpLimits());
    // The limits with the settings that change them applied.
    static HttpLimits LimitsFromSettings();
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
    const HttpLimits& GetLimits() const { return m_limits; }
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
    HttpLimits m_limits;
    bool m_givenSocket; // serves on a socket handed over rather than its own
    std::string m_webDir;
    StatusFunction m_status;
    std::unique_ptr<httpserver::webserver> m_server;
    std::vector<std::unique_ptr<httpserver::http_resource>> m_resources; // ours, registered on m_server
};
