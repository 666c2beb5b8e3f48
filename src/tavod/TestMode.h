// Test mode for wiring a show: starts and stops the host's channel tester (a colour
// or a chase over channel ranges, or the outputs' own test patterns), over
// GET/POST /api/testmode and the command "Test Mode". A playing show is paused while
// a test runs (its outputs show the test alone) and goes on where it was after.
#pragma once

#include "CommandResource.h"

#include <httpserver.hpp>
#include <json/json.h>

#include <atomic>
#include <mutex>
#include <string>

class Daemon;
class HttpApi;

class TestMode {
public:
    // After the HTTP API is created, on the main thread.
    void Start(Daemon& daemon);
    // At shutdown; stops a running test. Safe to call twice.
    void Stop(Daemon& daemon);

    // Starts (or changes) the test `request` describes, or stops it when
    // "enabled" is false. Main thread. False with `error` set when refused.
    //   {"enabled": true, "mode": "color" | "chase" | "outputs",
    //    "channelSet": "1-300,601-900", "color": [r, g, b], "colors": [[r, g, b], ...],
    //    "stepMs": 250, "output": N (outputs mode: the output at "channelOutputs"[N];
    //    left out: every output that has a pattern), "testType": 1, "cycleMs": 1000}
    bool Set(const Json::Value& request, std::string& error);
    void StopTest();
    // {"enabled": ..., and what runs, "pausedSequence": NAME when a show waits}.
    Json::Value GetStatus();

private:
    class Resource : public httpserver::http_resource {
    public:
        explicit Resource(TestMode& mode);
        std::shared_ptr<httpserver::http_response>
        render_GET(const httpserver::http_request& request) override;
        std::shared_ptr<httpserver::http_response>
        render_POST(const httpserver::http_request& request) override;
        std::atomic<bool> refusing{false};

    private:
        TestMode& m_mode;
    };

    bool m_started = false;
    Daemon* m_daemon = nullptr;
    HttpApi* m_http = nullptr; // where our resource is registered; borrowed
    Resource m_resource{*this};
    std::mutex m_lock;            // guards m_pausedSequence
    std::string m_pausedSequence; // the show this test paused, to resume
};
