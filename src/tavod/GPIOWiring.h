// GPIO in the daemon: the pins, the GPIO input manager with its checks on the main
// loop, and its HTTP resources /gpio and /api/options/GPIOLIST.
#pragma once

#include <httpserver.hpp>

class Daemon;
class HttpApi;

class GPIOWiring {
public:
    // After CommandWiring::Start (inputs run commands), on the main thread.
    void Start(Daemon& daemon);
    // At shutdown after CommandWiring::Stop, on the main thread; safe to call twice.
    void Stop(Daemon& daemon);

private:
    // The allowed values of the GPIO command's "pin" argument.
    class PinListResource : public httpserver::http_resource {
    public:
        std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request&) override;
    };

    bool m_started = false;
    int m_hookId = -1;
    HttpApi* m_http = nullptr; // where our resources are registered; borrowed
    PinListResource m_pinList;
};
