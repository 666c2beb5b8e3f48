// libFuzzer harness for pins.json: any bytes are read as the pin configuration, and
// every pin it gives is asked what the daemon asks of pins. Simulated pins are kept
// in a folder of the harness, whatever folder the input names.
#include "FuzzSupport.h"
#include "host/core/JsonUtils.h"
#include "host/hw/Pins.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {
std::string g_dir;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    char tmpl[] = "/tmp/tavo-fuzz-pins-XXXXXX";
    g_dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Json::Value config;
    if (!LoadJsonFromString(std::string(reinterpret_cast<const char*>(data), size), config)) {
        return 0;
    }
    if (config.isObject() && config.isMember("simulatedDir")) {
        // The real file may name any folder; a fuzzer must not write all over the machine.
        config["simulatedDir"] =
            config["simulatedDir"].isString() ? Json::Value("sim") : config["simulatedDir"];
    }
    if (config.isObject() && config["provider"].isString() && config["provider"].asString() == "gpiod" &&
        config["pins"].isArray()) {
        // Lines of the machine's own chips are left alone.
        return 0;
    }
    PinCapabilities::ConfigurePins(config, g_dir);
    for (const std::string& name : PinCapabilities::getPinNames()) {
        const PinCapabilities* pin = PinCapabilities::getPinByName(name).ptr();
        if (!pin) {
            abort(); // a listed name must find its pin
        }
        pin->toJSON();
        pin->getValue();
        if (pin->kernelGpio >= 0 && PinCapabilities::getPinByGPIO(pin->kernelGpio).ptr() == nullptr) {
            abort();
        }
    }
    PinCapabilities::ClearPins();
    return 0;
}
