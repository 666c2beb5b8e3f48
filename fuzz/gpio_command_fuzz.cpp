// libFuzzer harness for the "GPIO" command's arguments (from HTTP, GPIO inputs,
// presets): any texts, NUL-separated, run the command on simulated pins; it answers
// "OK" only for a known pin and action, and otherwise one of its error texts.
#include "FuzzSupport.h"
#include "gpio.h"
#include "gpio_command.h"
#include "host/core/Common.h"
#include "host/hw/Pins.h"
#include "host/player/CommandManager.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {
std::string g_media;
const std::set<std::string> ACTIONS = {"On",  "on",    "true",  "True", "1",        "Off",
                                       "off", "false", "False", "0",    "Opposite", "opposite"};
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    char tmpl[] = "/tmp/tavo-fuzz-gpiocmd-XXXXXX";
    g_media = mkdtemp(tmpl) ? tmpl : "/tmp";
    setTavoMediaDir(g_media);
    Json::Value pins;
    pins["provider"] = "simulated";
    pins["simulatedDir"] = "sim";
    for (const char* name : {"OUT1", "OUT2", "LED-3"}) {
        Json::Value p;
        p["name"] = name;
        pins["pins"].append(p);
    }
    PinCapabilities::ConfigurePins(pins, g_media);
    CommandManager::INSTANCE.addCommand(new TavoGPIOCommand());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size && args.size() <= 4; i++) {
        if (data[i] == 0) {
            args.emplace_back();
        } else {
            args.back() += (char)data[i];
        }
    }
    std::unique_ptr<Command::Result> r = CommandManager::INSTANCE.run("GPIO", args);
    if (!r) {
        abort();
    }
    const std::string& text = r->get();
    if (!r->isError()) {
        if (text != "OK" || args.size() != 2 || !ACTIONS.count(args[1]) ||
            !PinCapabilities::getPinByName(args[0]).ptr()) {
            fprintf(stderr, "accepted what it should not: %s\n", text.c_str());
            abort();
        }
    } else if (text != "Invalid number of arguments. GPIO needs two arguments." &&
               text.compare(0, 13, "No Pin Named ") != 0 && text.compare(0, 14, "Invalid Action") != 0) {
        fprintf(stderr, "an error of no known form: %s\n", text.c_str());
        abort();
    }
    return 0;
}
