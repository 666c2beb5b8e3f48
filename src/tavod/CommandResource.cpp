// Commands over HTTP. A command runs on the main loop, where GPIO actions run too,
// so that the GPIO command's state and the player are never touched by two threads.
#include "CommandResource.h"

#include "host/player/CommandManager.h"
#include "host/core/EPollManager.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"

namespace {

const int COMMAND_WAIT_MS = 10000;

std::shared_ptr<httpserver::http_response> text(const std::string& body, int code,
                                                const std::string& type = "text/plain") {
    return std::shared_ptr<httpserver::http_response>(new httpserver::string_response(body, code, type));
}

} // namespace

CommandResource::CommandResource() {
    disallow_all();
    set_allowing("GET", true);
    set_allowing("POST", true);
}

std::shared_ptr<httpserver::http_response> CommandResource::render_GET(const httpserver::http_request&) {
    return text(SaveJsonToString(CommandManager::INSTANCE.getDescriptions(), ""), 200, "application/json");
}

std::shared_ptr<httpserver::http_response>
CommandResource::render_POST(const httpserver::http_request& request) {
    Json::Value command;
    std::string error;
    if (!LoadJsonFromString(request.get_content(), command, &error) || !command.isObject()) {
        return text("The body must be a JSON object: {\"command\": NAME, \"args\": [TEXT, ...]}", 400);
    }
    if (m_refusing) {
        return text("The daemon is shutting down; the command was not run", 503);
    }
    std::unique_ptr<Command::Result> result;
    bool ran = EPollManager::INSTANCE.runOnLoop([&] { result = CommandManager::INSTANCE.run(command); },
                                                COMMAND_WAIT_MS);
    if (!ran) {
        LogWarn(LOGCH_GENERAL, "HTTP command not run: the main loop did not take it within %d ms\n",
                COMMAND_WAIT_MS);
        return text("The daemon is busy; the command was not run", 503);
    }
    if (!result) {
        return text("The command returned no result", 500);
    }
    return text(result->get(), result->isError() ? 400 : 200, result->contentType());
}
