// libFuzzer harness for settings.json: any bytes are read as the settings file;
// what is accepted is a flat store of texts that reads back the same, and what is
// refused leaves nothing behind.
#include "FuzzSupport.h"
#include "host/core/Settings.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    clearSettings();
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    if (loadSettingsText(text, "settings.json", error)) {
        for (const auto& kv : getAllSettings()) {
            if (getSetting(kv.first.c_str(), "\x01") != kv.second) {
                fprintf(stderr, "setting %s does not read back\n", kv.first.c_str());
                abort();
            }
            getSettingInt(kv.first.c_str(), 7);
        }
    } else if (error.empty()) {
        fprintf(stderr, "refused without a reason\n");
        abort();
    } else if (!getAllSettings().empty()) {
        fprintf(stderr, "a refused file left settings behind\n");
        abort();
    }
    return 0;
}
