// Named GPIO pins. A pin comes from a provider chosen in config/pins.json: the GPIO
// character device through libgpiod (the default: every line of every chip, or the
// table of the file), or simulated pins whose values and line events a test drives
// from outside the process through files in a folder (docs/gpio.md).
#pragma once

#include <string>
#include <vector>

#include <json/json.h>

class PinCapabilities {
public:
    PinCapabilities(const std::string& name, int gpio);
    virtual ~PinCapabilities();
    PinCapabilities(const PinCapabilities&) = delete;
    PinCapabilities& operator=(const PinCapabilities&) = delete;

    // The pin itself, or null for the stand-in returned for a name no pin has.
    virtual const PinCapabilities* ptr() const { return this; }

    // Requests the line as an input (mode "gpio", "gpio_pu" pull-up, "gpio_pd"
    // pull-down) or as an output driven low; `description` names the user. False
    // (and a log line) when the line cannot be had.
    virtual bool configPin(const std::string& mode = "gpio", bool directionOut = true,
                           const std::string& description = "") const;
    virtual int getValue() const;
    virtual void setValue(bool value) const;
    // Whether the pin can deliver line events (else it is polled).
    virtual bool supportsGpiod() const;
    // A readable descriptor delivering kernel line events (struct gpioevent_data),
    // for gpiod_line_event_read_fd; -1 when the pin cannot give one. The pin owns
    // the descriptor; releaseGPIOD() closes it.
    virtual int requestEventFile(bool risingEdge, bool fallingEdge) const;
    virtual void releaseGPIOD() const;
    // The pin's description for the HTTP pin list.
    virtual Json::Value toJSON() const;

    const std::string name;
    const int kernelGpio; // the number the board knows the line by; -1 when it has none

    // The pin of that name (or GPIO number); its ptr() is null when there is none.
    // A pin handed out stays valid until ClearPins, even when the pins are
    // configured again (outputs take theirs before tavod loads the pins).
    static const PinCapabilities& getPinByName(const std::string& name);
    static const PinCapabilities& getPinByGPIO(int gpio);
    // The pin on line `line` of GPIO chip `chip` (gpiochipN; for simulated pins
    // their "chip" and "line" in pins.json). While the bus simulation is on
    // (BusSimulation.h), its pin for that line instead.
    static const PinCapabilities& getPinByGPIO(int chip, int line);
    // Every pin name, in the order of the configuration.
    static std::vector<std::string> getPinNames();

    // Loads the pins from `path` (default: the media folder's config/pins.json; the
    // board's GPIO chips when that file does not exist). Called on first use. Loaded
    // again, a pin made from the same entry is the same object as before, and the
    // pins no longer listed are kept alive (not found any more), for whoever holds
    // them. False with a log line naming what is wrong; the pins that could be set
    // up are kept.
    static bool InitPinCapabilities(const std::string& path = "");
    // The same from a parsed configuration; relative folders are taken from `baseDir`.
    static bool ConfigurePins(const Json::Value& config, const std::string& baseDir);
    // Forgets every pin, and frees them: only when nothing holds one (tests).
    static void ClearPins();
};
