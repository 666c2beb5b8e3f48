// GPIOManager: the input file, edge events from the event loop, polling, debounce,
// callbacks, and the /gpio pin list.
#include "gpio.h"

#include "host/player/CommandManager.h"
#include "host/core/Common.h"
#include "host/core/EPollManager.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"
#include "host/hw/Pins.h"
#include "gpio_command.h"

#include <gpiod.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

GPIOManager GPIOManager::INSTANCE;

namespace {

// debounceTime is milliseconds held as microseconds in 32 bits.
const int64_t MAX_DEBOUNCE_MS = UINT32_MAX / 1000;

// The state being acted on, so that a callback or command that removes it (or
// cleans up everything) does not free it under doAction's feet.
GPIOManager::GPIOState* actingState = nullptr;
bool actingStateRemoved = false;

void freeState(GPIOManager::GPIOState* state) {
    if (state == actingState) {
        actingStateRemoved = true;
    } else {
        delete state;
    }
}

void runAction(GPIOManager::GPIOState* state, int value) {
    GPIOManager::GPIOState* outer = actingState;
    bool outerRemoved = actingStateRemoved;
    actingState = state;
    actingStateRemoved = false;
    state->doAction(value);
    if (actingStateRemoved) {
        delete state;
    }
    actingState = outer;
    actingStateRemoved = outerRemoved;
}

bool contains(const std::list<GPIOManager::GPIOState*>& states, const GPIOManager::GPIOState* s) {
    return std::find(states.begin(), states.end(), s) != states.end();
}

// The "command" of an action, or "" when the action has none.
std::string commandOf(const Json::Value& action) {
    if (!action.isObject()) {
        return "";
    }
    const Json::Value& c = action["command"];
    return c.isString() ? c.asString() : "";
}

// Checks one gpio.json entry's member types; "" when they are usable, else what is wrong.
std::string checkEntry(const Json::Value& e) {
    const Json::Value& pin = e["pin"];
    if (!pin.isNull() && !pin.isString()) {
        return "\"pin\" must be a pin name";
    }
    const Json::Value& mode = e["mode"];
    if (!mode.isNull() && !mode.isString()) {
        return "\"mode\" must be a text such as \"gpio\"";
    }
    const Json::Value& debounce = e["debounceTime"];
    if (!debounce.isNull() &&
        !(debounce.isInt64() && debounce.asInt64() >= 0 && debounce.asInt64() <= MAX_DEBOUNCE_MS)) {
        return "\"debounceTime\" must be a whole number of milliseconds from 0 to " +
               std::to_string(MAX_DEBOUNCE_MS);
    }
    for (const char* edge : {"rising", "falling"}) {
        const Json::Value& action = e[edge];
        // The text "" is how a stored file says "do not watch this edge".
        if (action.isNull() || action == Json::Value("")) {
            continue;
        }
        if (!action.isObject()) {
            return std::string("\"") + edge + "\" must be a command object, or \"\" for none";
        }
        const Json::Value& c = action["command"];
        if (!c.isNull() && !c.isString()) {
            return std::string("the \"command\" of \"") + edge + "\" must be a command name";
        }
    }
    return "";
}

} // namespace

std::string GPIOManager::CheckInputEntry(const Json::Value& entry) {
    return checkEntry(entry);
}

GPIOManager::GPIOManager() {}

GPIOManager::~GPIOManager() {}

void GPIOManager::Initialize(std::map<int, std::function<bool(int)>>& callbacks) {
    SetupGPIOInput(callbacks);
    if (!PinCapabilities::getPinNames().empty()) {
        CommandManager::INSTANCE.addCommand(new TavoGPIOCommand());
    }
}

void GPIOManager::SetupGPIOInput(std::map<int, std::function<bool(int)>>&) {
    LogDebug(LOGCH_GPIO, "SetupGPIOInput()\n");
    int enabledCount = 0;
    std::string file = getTavoMediaDir("config") + "/gpio.json";
    Json::Value root;
    std::string error;
    if (!FileExists(file)) {
        // No inputs configured: nothing to say.
    } else if (!LoadJsonFromFile(file, root, &error)) {
        LogErr(LOGCH_GPIO, "Cannot parse %s, no GPIO inputs configured: %s\n", file.c_str(), error.c_str());
    } else if (!root.isArray()) {
        LogErr(LOGCH_GPIO, "%s must hold an array of input objects; no GPIO inputs configured\n",
               file.c_str());
    } else {
        for (Json::ArrayIndex i = 0; i < root.size(); i++) {
            const Json::Value entry = root[i];
            if (!entry.isObject()) {
                LogErr(LOGCH_GPIO, "gpio.json entry %u is not an object; skipped\n", i);
                continue;
            }
            const Json::Value& enabled = entry["enabled"];
            if (!enabled.isNull() && !enabled.isBool() && !enabled.isIntegral()) {
                LogErr(LOGCH_GPIO, "gpio.json entry %u: \"enabled\" must be true or false; skipped\n", i);
                continue;
            }
            if (enabled.isNull() || !enabled.asBool()) {
                continue;
            }
            std::string problem = checkEntry(entry);
            if (!problem.empty()) {
                std::string pinName = entry["pin"].isString() ? entry["pin"].asString() : "?";
                LogErr(LOGCH_GPIO, "gpio.json entry %u (pin %s): %s; skipped\n", i, pinName.c_str(),
                       problem.c_str());
                continue;
            }
            std::string pinName = entry.get("pin", "").asString();
            std::string mode = entry.get("mode", "gpio").asString();
            const PinCapabilities* pin = PinCapabilities::getPinByName(pinName).ptr();
            if (pin == nullptr) {
                continue;
            }

            GPIOState* state = new GPIOState();
            state->pin = pin;
            state->lastValue = 0;
            state->lastTriggerTime = 0;
            state->eventFile = -1;
            state->hasCallback = false;
            state->debounceMicros = 100000;
            if (entry.isMember("debounceTime") && !entry["debounceTime"].isNull()) {
                state->debounceMicros = static_cast<uint32_t>(entry["debounceTime"].asInt64() * 1000);
            }
            if (entry.isMember("rising") && !entry["rising"].isNull()) {
                state->risingAction = entry["rising"];
                if (commandOf(state->risingAction) == "OLED Navigation") {
                    // Handled by the display's own code, not by a command run here.
                    state->risingAction["command"] = "";
                }
            }
            if (entry.isMember("falling") && !entry["falling"].isNull()) {
                state->fallingAction = entry["falling"];
                if (commandOf(state->fallingAction) == "OLED Navigation") {
                    state->fallingAction["command"] = "";
                }
            }
            if (commandOf(state->risingAction).empty() && commandOf(state->fallingAction).empty()) {
                delete state;
                continue;
            }
            {
                // An input now: a GPIO command on it must make it an output again.
                std::lock_guard<std::mutex> l(outputLock);
                outputPins.erase(pin);
            }
            pin->configPin(mode, false, "GPIO Input");
            addState(state);
            enabledCount++;
        }
    }
    LogDebug(LOGCH_GPIO, "%d GPIO Input(s) enabled\n", enabledCount);
}

void GPIOManager::addState(GPIOState* state) {
    state->lastTriggerTime = GetTime();
    state->lastValue = state->pendingValue = state->pin->getValue();
    state->eventFile = -1;
    if (state->pin->supportsGpiod()) {
        // Both edges even when one has no action (""): the value is followed through
        // each change, else every later event of the one edge would equal lastValue.
        state->eventFile = state->pin->requestEventFile(true, true);
    }
    if (state->eventFile > 0) {
        eventStates.push_back(state);
        addGPIOCallback(state);
    } else {
        pollStates.push_back(state);
    }
}

void GPIOManager::addGPIOCallback(GPIOState* state) {
    bool added = EPollManager::INSTANCE.addFileDescriptor(state->eventFile, [this, state](int fd) {
        onLineEvent(state, fd);
        return false;
    });
    if (!added) {
        // Keep the pin watched all the same, by polling.
        LogWarn(LOGCH_GPIO, "GPIO %s: its line events cannot be watched; polling it instead\n",
                state->pin->name.c_str());
        eventStates.remove(state);
        state->pin->releaseGPIOD();
        state->eventFile = -1;
        pollStates.push_back(state);
    }
}

void GPIOManager::onLineEvent(GPIOState* state, int fd) {
    struct gpiod_line_event event;
    if (gpiod_line_event_read_fd(fd, &event) != 0) {
        // Nothing (or not a whole event) to read: act on nothing rather than on garbage.
        if (errno != EAGAIN) {
            LogDebug(LOGCH_GPIO, "GPIO %s: line event read failed: %s\n", state->pin->name.c_str(),
                     strerror(errno));
        }
        return;
    }
    int value = event.event_type == GPIOD_LINE_EVENT_RISING_EDGE ? 1 : 0;
    if (value == state->lastValue) {
        return;
    }
    int64_t now = GetTime();
    if (state->lastTriggerTime < now - static_cast<int64_t>(state->debounceMicros)) {
        runAction(state, value);
    } else {
        state->pendingValue = value;
        checkDebounces = true;
    }
}

void GPIOManager::CheckGPIOInputs() {
    if (pollStates.empty() && !checkDebounces) {
        return;
    }
    int64_t now = GetTime();
    // Copies: an action may add or remove states.
    std::vector<GPIOState*> polled(pollStates.begin(), pollStates.end());
    for (GPIOState* state : polled) {
        if (!contains(pollStates, state)) {
            continue;
        }
        int value = state->pin->getValue();
        if (value != state->lastValue &&
            state->lastTriggerTime < now - static_cast<int64_t>(state->debounceMicros)) {
            runAction(state, value);
        }
    }
    if (checkDebounces) {
        checkDebounces = false;
        std::vector<GPIOState*> evented(eventStates.begin(), eventStates.end());
        for (GPIOState* state : evented) {
            if (!contains(eventStates, state) || state->pendingValue == state->lastValue) {
                continue;
            }
            if (state->lastTriggerTime >= now - static_cast<int64_t>(state->debounceMicros)) {
                checkDebounces = true;
                continue;
            }
            int value = state->pin->getValue();
            if (value != state->lastValue) {
                runAction(state, value);
            }
        }
    }
}

void GPIOManager::GPIOState::doAction(int value) {
    LogDebug(LOGCH_GPIO, "GPIO %s triggered.  Value:  %d\n", pin->name.c_str(), value);
    if (hasCallback) {
        callback(value);
    } else {
        const Json::Value& action = value ? risingAction : fallingAction;
        if (!commandOf(action).empty()) {
            CommandManager::INSTANCE.run(action);
        }
    }
    lastValue = value;
    pendingValue = value;
    lastTriggerTime = GetTime();
}

void GPIOManager::AddGPIOCallback(const PinCapabilities* pin, const std::function<bool(int)>& callback) {
    if (pin == nullptr || !callback) {
        LogErr(LOGCH_GPIO, "AddGPIOCallback needs a pin and a callback\n");
        return;
    }
    GPIOState* state = new GPIOState();
    state->pin = pin;
    state->callback = callback;
    state->hasCallback = true;
    state->debounceMicros = 100000;
    state->eventFile = -1;
    addState(state);
}

void GPIOManager::RemoveGPIOCallback(const PinCapabilities* pin) {
    for (auto it = eventStates.begin(); it != eventStates.end(); ++it) {
        GPIOState* state = *it;
        if (state->pin == pin) {
            if (state->eventFile != -1) {
                EPollManager::INSTANCE.removeFileDescriptor(state->eventFile);
                pin->releaseGPIOD();
            }
            eventStates.erase(it);
            freeState(state);
            return;
        }
    }
    for (auto it = pollStates.begin(); it != pollStates.end(); ++it) {
        GPIOState* state = *it;
        if (state->pin == pin) {
            pollStates.erase(it);
            freeState(state);
            return;
        }
    }
}

void GPIOManager::Cleanup() {
    // Move the lists out first, so nothing reached from here sees half-freed lists.
    std::list<GPIOState*> events;
    std::list<GPIOState*> polled;
    events.swap(eventStates);
    polled.swap(pollStates);
    for (GPIOState* state : events) {
        if (state->eventFile != -1) {
            // Unregistered before the state goes, so no event reaches freed memory.
            EPollManager::INSTANCE.removeFileDescriptor(state->eventFile);
            state->pin->releaseGPIOD();
        }
        freeState(state);
    }
    for (GPIOState* state : polled) {
        if (state->eventFile != 0) {
            state->pin->releaseGPIOD();
        }
        freeState(state);
    }
    checkDebounces = false;
    std::lock_guard<std::mutex> l(outputLock);
    outputPins.clear();
}

std::shared_ptr<httpserver::http_response> GPIOManager::render_GET(const httpserver::http_request& request) {
    std::string path = request.get_path();
    std::vector<std::string> pieces = httpserver::http::http_utils::tokenize_url(path);
    if (pieces.size() != 1 || pieces[0] != "gpio") {
        return std::shared_ptr<httpserver::http_response>(
            new httpserver::string_response("Not Found", 404, "text/plain"));
    }
    std::string list = request.get_arg("list");
    bool namesOnly = list == "true";
    std::vector<std::string> names = PinCapabilities::getPinNames();
    if (names.empty()) {
        return std::shared_ptr<httpserver::http_response>(
            new httpserver::string_response("[]", 200, "application/json"));
    }
    Json::Value result(Json::arrayValue);
    for (const std::string& name : names) {
        if (namesOnly) {
            result.append(name);
        } else {
            const PinCapabilities* pin = PinCapabilities::getPinByName(name).ptr();
            // A pin can vanish only when the pins are configured again meanwhile.
            if (pin != nullptr) {
                result.append(pin->toJSON());
            }
        }
    }
    return std::shared_ptr<httpserver::http_response>(
        new httpserver::string_response(SaveJsonToString(result, ""), 200, "application/json"));
}
