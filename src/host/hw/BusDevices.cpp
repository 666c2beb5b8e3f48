// Device paths of the bus classes.
#include "host/hw/BusDevices.h"

#include "host/core/Settings.h"

std::string BusDevicePath(const char* setting, const char* def,
                          const std::vector<std::pair<std::string, int>>& numbers) {
    std::string path = getSetting(setting, "");
    if (path.empty()) {
        path = def;
    }
    for (const auto& n : numbers) {
        std::string key = "{" + n.first + "}";
        std::string value = std::to_string(n.second);
        for (size_t at = path.find(key); at != std::string::npos; at = path.find(key, at + value.size())) {
            path.replace(at, key.size(), value);
        }
    }
    return path;
}
