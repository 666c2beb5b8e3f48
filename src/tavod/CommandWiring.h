// Commands in the daemon: the "Start Sequence" command, POST /api/command, and the
// host's event loop, whose queued work (commands handed over by the HTTP server,
// GPIO line events) runs on the main loop.
#pragma once

#include "CommandResource.h"

class Daemon;
class HttpApi;

class CommandWiring {
public:
    // After the HTTP API is up (it may be off), on the main thread.
    void Start(Daemon& daemon);
    // First thing at shutdown, on the main thread: refuses new commands, runs those
    // already queued, and lets the event loop go. Safe to call twice.
    void Stop(Daemon& daemon);

private:
    bool m_started = false;
    int m_hookId = -1;
    HttpApi* m_http = nullptr; // where our resource is registered; borrowed
    CommandResource m_resource;
};
