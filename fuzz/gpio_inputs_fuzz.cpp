// libFuzzer harness for gpio.json: any bytes are the GPIO input file of a media
// folder with simulated pins; the manager sets the inputs up, checks them, and
// cleans up, leaving no descriptor open.
#include "FuzzSupport.h"
#include "gpio.h"
#include "host/core/Common.h"
#include "host/hw/Pins.h"
#include "host/player/CommandManager.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <dirent.h>
#include <sys/stat.h>

namespace {
std::string g_media;

int openDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) {
            n++;
        }
        closedir(d);
    }
    return n;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    char tmpl[] = "/tmp/tavo-fuzz-gpio-XXXXXX";
    g_media = mkdtemp(tmpl) ? tmpl : "/tmp";
    mkdir((g_media + "/config").c_str(), 0755);
    setTavoMediaDir(g_media);
    Json::Value pins;
    pins["provider"] = "simulated";
    pins["simulatedDir"] = "sim";
    const char* names[] = {"IN1", "IN2", "POLL1", "OUT1", "P5"};
    for (int i = 0; i < 5; i++) {
        Json::Value p;
        p["name"] = names[i];
        p["gpio"] = i + 1;
        if (i == 2) {
            p["edges"] = false;
        }
        pins["pins"].append(p);
    }
    PinCapabilities::ConfigurePins(pins, g_media);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = fopen((g_media + "/config/gpio.json").c_str(), "wb");
    if (!f) {
        abort();
    }
    fwrite(data, 1, size, f);
    fclose(f);
    const int before = openDescriptors();
    std::map<int, std::function<bool(int)>> callbacks;
    GPIOManager::INSTANCE.SetupGPIOInput(callbacks);
    GPIOManager::INSTANCE.CheckGPIOInputs();
    GPIOManager::INSTANCE.Cleanup();
    if (openDescriptors() != before) {
        fprintf(stderr, "descriptors left open after Cleanup: %d before, %d after\n", before,
                openDescriptors());
        abort();
    }
    return 0;
}
