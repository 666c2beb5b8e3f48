// /api/command: POST {"command": NAME, "args": [...]} runs a command of the host's
// CommandManager on the main loop and answers its result; GET lists the commands.
#pragma once

#include <httpserver.hpp>

#include <atomic>

class CommandResource : public httpserver::http_resource {
public:
    CommandResource();

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& request) override;
    std::shared_ptr<httpserver::http_response> render_POST(const httpserver::http_request& request) override;

    // While refusing (at shutdown), commands are answered 503 and not run.
    void SetRefusing(bool refusing) { m_refusing = refusing; }

private:
    std::atomic<bool> m_refusing{false};
};
