// The HTTP resources of the control page: GET /api/sequences (the media folder's
// sequences from their headers), POST /api/playback (play, stop, pause, resume,
// loop) and POST /api/outputs/reload. Each request is carried out on the main loop,
// where commands and GPIO inputs act on the player too.
#pragma once

#include <httpserver.hpp>

#include <atomic>
#include <memory>
#include <string>

class Daemon;
class HttpApi;

class ControlApi {
public:
    // After the HTTP API is created, on the main thread.
    void Start(Daemon& daemon);
    // At shutdown: refuses new requests and unregisters. Safe to call twice.
    void Stop(Daemon& daemon);

private:
    class Resource : public httpserver::http_resource {
    public:
        enum Kind { SEQUENCES, PLAYBACK, RELOAD };
        Resource(ControlApi& api, Kind kind);
        std::shared_ptr<httpserver::http_response>
        render_GET(const httpserver::http_request& request) override;
        std::shared_ptr<httpserver::http_response>
        render_POST(const httpserver::http_request& request) override;

    private:
        ControlApi& m_api;
        Kind m_kind;
    };

    std::atomic<bool> m_refusing{true};
    Daemon* m_daemon = nullptr;
    HttpApi* m_http = nullptr; // where our resources are registered; borrowed
    Resource m_sequences{*this, Resource::SEQUENCES};
    Resource m_playback{*this, Resource::PLAYBACK};
    Resource m_reload{*this, Resource::RELOAD};
};
