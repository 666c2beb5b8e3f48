// GPIO inputs: watches the pins of the media folder's config/gpio.json (and pins other
// parts of the daemon hand in with a callback), debounces their changes and runs the
// configured commands; also the HTTP resource that lists the board's pins.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <httpserver.hpp>
#include <json/json.h>

class PinCapabilities;

class GPIOManager : public httpserver::http_resource {
public:
    // One watched pin. Owned by the manager; freed by Cleanup or RemoveGPIOCallback.
    class GPIOState {
    public:
        const PinCapabilities* pin = nullptr; // not owned
        int32_t lastValue = 0;                // value last acted on
        int64_t lastTriggerTime = 0;          // GetTime() of the last action, or of registration
        int32_t pendingValue = 0;             // edge seen inside the debounce interval, not yet acted on
        int32_t eventFile = -1;               // line-event descriptor, -1 when polled
        Json::Value fallingAction;            // command run when the value becomes 0
        Json::Value risingAction;             // command run when the value becomes nonzero
        std::function<bool(int)> callback;    // used instead of the actions when hasCallback
        bool hasCallback = false;
        uint32_t debounceMicros = 100000;

        void doAction(int value);
    };

    static GPIOManager INSTANCE;

    GPIOManager();
    ~GPIOManager() override;

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& request) override;

    // Start-up: reads the input file and, when the host knows pins, registers the "GPIO" command.
    void Initialize(std::map<int, std::function<bool(int)>>& callbacks);
    void SetupGPIOInput(std::map<int, std::function<bool(int)>>& callbacks);
    // What is wrong with the member types of one enabled gpio.json entry ("pin",
    // "mode", "debounceTime", "rising", "falling"); "" when it is usable. The check
    // SetupGPIOInput makes, for tavod --check-config.
    static std::string CheckInputEntry(const Json::Value& entry);
    // Polled pins and deferred debounces; call often (tavod: every 10 ms) on the event-loop thread.
    void CheckGPIOInputs();
    void AddGPIOCallback(const PinCapabilities* pin, const std::function<bool(int)>& callback);
    void RemoveGPIOCallback(const PinCapabilities* pin);
    // Shutdown: stops watching, gives the lines back and frees every state.
    void Cleanup();

    // For status pages and tests: the states as they stand (event-loop thread only).
    const std::list<GPIOState*>& getPollStates() const { return pollStates; }
    const std::list<GPIOState*>& getEventStates() const { return eventStates; }
    bool debounceCheckPending() const { return checkDebounces; }

private:
    friend class TavoGPIOCommand;

    void addState(GPIOState* state);
    void addGPIOCallback(GPIOState* state);
    void onLineEvent(GPIOState* state, int fd);

    // The GPIO command runs on whichever thread runs commands: the output thread
    // (a frame's presets, SEQUENCE_STOPPED), the event loop (inputs, HTTP) and the
    // web server's thread when no loop runs. outputLock is held through each run,
    // so runs on one pin never interleave, and guards the two members below.
    std::mutex outputLock;
    std::map<std::string, bool> outputStates; // pin name -> value last set by the GPIO command
    // Pins the GPIO command has configured as outputs. Configuring one again would
    // release and request its line, driving it low for a moment.
    std::set<const PinCapabilities*> outputPins;
    // Neither the lists nor the states are locked: everything that touches them runs
    // on the host's event-loop thread.
    std::list<GPIOState*> pollStates;
    std::list<GPIOState*> eventStates;
    bool checkDebounces = false;
};
