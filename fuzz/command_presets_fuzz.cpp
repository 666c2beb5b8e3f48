// libFuzzer harness for commandPresets.json: any bytes are the presets file; every
// preset it holds is triggered with keywords, running the GPIO command on simulated
// pins and a command that only counts.
#include "FuzzSupport.h"
#include "gpio_command.h"
#include "host/core/Common.h"
#include "host/core/JsonUtils.h"
#include "host/hw/Pins.h"
#include "host/player/CommandManager.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

std::string g_media;
int g_runs = 0;

class CountCommand : public Command {
public:
    CountCommand() : Command("Count") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        g_runs++;
        std::string all;
        for (const std::string& s : a) {
            all += s;
        }
        return std::make_unique<Result>(all);
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    char tmpl[] = "/tmp/tavo-fuzz-presets-XXXXXX";
    g_media = mkdtemp(tmpl) ? tmpl : "/tmp";
    setTavoMediaDir(g_media);
    Json::Value pins;
    pins["provider"] = "simulated";
    pins["simulatedDir"] = "sim";
    Json::Value p;
    p["name"] = "OUT1";
    pins["pins"].append(p);
    PinCapabilities::ConfigurePins(pins, g_media);
    CommandManager::INSTANCE.addCommand(new TavoGPIOCommand());
    CommandManager::INSTANCE.addCommand(new CountCommand());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = g_media + "/presets.json";
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        abort();
    }
    fwrite(data, 1, size, f);
    fclose(f);
    CommandManager::INSTANCE.loadPresets(path);
    const std::map<std::string, std::string> keywords = {
        {"SEQUENCE_NAME", "show.lcsf"}, {"X", "%X%"}, {"", "empty"}, {"LONG", std::string(300, 'l')}};
    // Every name the file holds, and ones it may not.
    std::vector<std::string> names = {"SEQUENCE_STARTED", "none"};
    Json::Value root;
    if (LoadJsonFromString(std::string(reinterpret_cast<const char*>(data), size), root) && root.isObject() &&
        root["presets"].isObject()) {
        for (const std::string& n : root["presets"].getMemberNames()) {
            names.push_back(n);
        }
    }
    for (const std::string& name : names) {
        CommandManager::INSTANCE.TriggerPreset(name, keywords);
    }
    return 0;
}
