// libFuzzer harness for config/model-overlays.json: any bytes are read as the file of
// declared overlay models. A refused file adds no model; an accepted one gives models
// whose list and pictures can be read, and which go again without a trace.
#include "FuzzSupport.h"
#include "host/core/Common.h"
#include "host/core/JsonUtils.h"
#include "host/output/PixelOverlay.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string g_file;

// A framebuffer model opens the device it names under /dev; here none is opened:
// every "Device" names one that does not exist, so the missing-device path runs.
std::string withoutDevices(const std::string& text) {
    Json::Value root;
    if (!LoadJsonFromString(text, root) || !root.isObject() || !root["models"].isArray()) {
        return text;
    }
    bool changed = false;
    for (Json::Value& m : root["models"]) {
        if (m.isObject() && m.isMember("Device")) {
            m["Device"] = "tavo-fuzz-no-such-fb";
            changed = true;
        }
    }
    return changed ? SaveJsonToString(root) : text;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    char tmpl[] = "/tmp/tavo-fuzz-models-XXXXXX";
    const std::string dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    g_file = dir + "/model-overlays.json";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = withoutDevices(std::string(reinterpret_cast<const char*>(data), size));
    FILE* f = fopen(g_file.c_str(), "wb");
    if (!f) {
        abort();
    }
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);

    PixelOverlayManager& models = PixelOverlayManager::INSTANCE;
    std::vector<std::string> leftOut;
    const bool ok = models.loadModels(g_file, &leftOut);
    const std::vector<std::string> names = models.getModelNames();
    if (!ok && !names.empty()) {
        fprintf(stderr, "a refused file added %zu model(s)\n", names.size());
        abort();
    }
    const Json::Value list = models.getModelList();
    if (list.size() != names.size()) {
        fprintf(stderr, "the list shows %u models of %zu\n", list.size(), names.size());
        abort();
    }
    for (const std::string& name : names) {
        int width = 0;
        int height = 0;
        std::vector<uint8_t> rgb;
        if (models.getModelImage(name, width, height, rgb) &&
            rgb.size() != (size_t)width * (size_t)height * 3) {
            fprintf(stderr, "model %s: a %d x %d picture of %zu bytes\n", name.c_str(), width, height,
                    rgb.size());
            abort();
        }
    }
    models.removeAllModels();
    if (!models.getModelNames().empty()) {
        fprintf(stderr, "models left after removing them all\n");
        abort();
    }
    return 0;
}
