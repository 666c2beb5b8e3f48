// Run mode and host-specific file lookup.
#include "host/player/RunMode.h"

#include "host/core/Common.h"
#include "host/core/Log.h"

#include <atomic>
#include <cstring>

namespace {
std::atomic<int> runMode{TAVO_MODE_PLAYER};
}

int getTavomode() {
    return runMode.load();
}

void setTavomode(int mode) {
    runMode.store(mode);
}

bool CheckForHostSpecificFile(const std::string& hostName, char* filename, size_t size) {
    if (hostName.empty() || !filename || !size) {
        return false;
    }
    std::string path(filename, strnlen(filename, size));
    size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        dot = path.size();
    }
    std::string candidate = path.substr(0, dot) + "-" + hostName + path.substr(dot);
    if (!FileExists(candidate)) {
        return false;
    }
    if (candidate.size() >= size) {
        LogErr(LOGCH_GENERAL, "Host specific file name %s is too long, using %s\n", candidate.c_str(),
               path.c_str());
        return false;
    }
    memcpy(filename, candidate.c_str(), candidate.size() + 1);
    LogDebug(LOGCH_GENERAL, "Using host specific file %s\n", filename);
    return true;
}
