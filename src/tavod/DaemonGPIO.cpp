// The daemon's GPIO wiring.
#include "DaemonGPIO.h"

#include "CommandResource.h"
#include "Daemon.h"
#include "EPollManager.h"
#include "HttpApi.h"
#include "JsonUtils.h"
#include "Log.h"
#include "Pins.h"
#include "Player.h"
#include "gpio.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

// The allowed values of the GPIO command's "pin" argument.
class PinListResource : public httpserver::http_resource {
public:
    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request&) override {
        Json::Value names(Json::arrayValue);
        for (const std::string& n : PinCapabilities::getPinNames()) {
            names.append(n);
        }
        return std::shared_ptr<httpserver::http_response>(
            new httpserver::string_response(SaveJsonToString(names, ""), 200, "application/json"));
    }
};

struct Wiring {
    bool started = false;
    int hookId = -1;
    HttpApi* http = nullptr; // where our resources are registered; borrowed
    CommandResource commands;
    PinListResource pinList;
};

Wiring& wiring() {
    static Wiring w;
    return w;
}

} // namespace

StartSequenceCommand::StartSequenceCommand() : Command("Start Sequence", "Plays a sequence once") {
    args.push_back(CommandArg("sequence", "string", "Sequence"));
    args.push_back(CommandArg("startSecond", "int", "Start second").setOptional().setDefaultValue("0"));
}

std::unique_ptr<Command::Result> StartSequenceCommand::run(const std::vector<std::string>& args) {
    if (args.empty() || args.size() > 2) {
        return std::make_unique<ErrorResult>("Start Sequence needs the sequence name, and may take a start second");
    }
    int startSecond = -1;
    if (args.size() == 2 && !args[1].empty()) {
        errno = 0;
        char* end = nullptr;
        long s = strtol(args[1].c_str(), &end, 10);
        if (errno != 0 || *end != 0 || s < 0 || s > INT_MAX / 1000) {
            return std::make_unique<ErrorResult>("Start Sequence: the start second must be a whole number from 0");
        }
        startSecond = static_cast<int>(s);
    }
    Daemon* daemon = Daemon::INSTANCE;
    if (daemon == nullptr) {
        return std::make_unique<ErrorResult>("Start Sequence: no daemon is running");
    }
    // One pass, blanked at its end.
    Player::INSTANCE.SetStatus(PLAYER_STATUS_IDLE);
    std::string error;
    if (!daemon->StartSequence(args[0], startSecond, error)) {
        LogWarn(LOGCH_PLAYER, "Start Sequence: %s\n", error.c_str());
        return std::make_unique<ErrorResult>(error);
    }
    return std::make_unique<Result>("Playing " + args[0]);
}

void DaemonGPIO::Start(Daemon& daemon) {
    Wiring& w = wiring();
    if (w.started) {
        return;
    }
    w.started = true;
    PinCapabilities::InitPinCapabilities();
    CommandManager::INSTANCE.addCommand(new StartSequenceCommand());
    std::map<int, std::function<bool(int)>> callbacks;
    GPIOManager::INSTANCE.Initialize(callbacks);

    w.http = daemon.GetHttpApi();
    if (w.http) {
        w.commands.SetRefusing(false);
        w.http->RegisterResource("/gpio", &GPIOManager::INSTANCE, true);
        w.http->RegisterResource("/api/command", &w.commands);
        w.http->RegisterResource("/api/options/GPIOLIST", &w.pinList);
    }
    // Line events and commands from HTTP are taken every round of the main loop
    // (10 ms), then polled pins and pending debounces are checked.
    w.hookId = daemon.AddLoopHook([] {
        EPollManager::INSTANCE.waitForEvents(0);
        GPIOManager::INSTANCE.CheckGPIOInputs();
    });
}

void DaemonGPIO::Stop(Daemon& daemon) {
    Wiring& w = wiring();
    if (!w.started) {
        return;
    }
    w.started = false;
    daemon.RemoveLoopHook(w.hookId);
    if (w.http) {
        w.commands.SetRefusing(true);
        w.http->UnregisterResource("/api/command");
        w.http->UnregisterResource("/api/options/GPIOLIST");
        w.http->UnregisterResource("/gpio");
        w.http = nullptr;
    }
    // Commands already handed to the loop run now, before the loop goes away.
    EPollManager::INSTANCE.waitForEvents(0);
    EPollManager::INSTANCE.detachLoop();
    GPIOManager::INSTANCE.Cleanup();
    CommandManager::INSTANCE.removeCommand("GPIO");
    CommandManager::INSTANCE.removeCommand("Start Sequence");
}
