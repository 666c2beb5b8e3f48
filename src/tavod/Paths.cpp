// Folders tavod looks in, and file-system helpers for its messages.
#include "Paths.h"

#include "host/core/Common.h"
#include "host/core/Settings.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#ifndef TAVO_DEFAULT_PLUGIN_DIR
#define TAVO_DEFAULT_PLUGIN_DIR "plugins"
#endif
#ifndef TAVO_DEFAULT_WEB_DIR
#define TAVO_DEFAULT_WEB_DIR "web"
#endif

namespace tavod {

std::string BoardName() {
    std::string board = getSetting("HostName");
    if (board.empty()) {
        char host[256] = {0};
        gethostname(host, sizeof(host) - 1);
        board = host;
    }
    return board;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string DirName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string ListFiles(const std::string& dir, size_t max) {
    std::vector<std::string> all;
    if (int err = ListFolder(dir, all)) {
        // The message must not claim an empty folder when it could not be read.
        return std::string("unknown, the folder cannot be read: ") + strerror(err);
    }
    std::vector<std::string> names;
    for (const std::string& n : all) {
        if (n[0] != '.') {
            names.push_back(n);
        }
    }
    if (names.empty()) {
        return "none";
    }
    std::sort(names.begin(), names.end());
    std::string r;
    for (size_t i = 0; i < names.size() && i < max; i++) {
        r += (i ? ", " : "") + names[i];
    }
    if (names.size() > max) {
        r += ", ... (" + std::to_string(names.size()) + " in all)";
    }
    return r;
}

std::string InstallRoot() {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0) {
        return "";
    }
    exe[n] = 0;
    return DirName(DirName(exe));
}

std::string DefaultPluginDir() {
    // Beside the program first, so an installed tavod (PREFIX/bin, PREFIX/lib/tavo/
    // plugins) and a copied build (bin/, plugins/) each find their own.
    std::string root = InstallRoot();
    if (!root.empty()) {
        for (const char* sub : {"/lib/tavo/plugins", "/plugins"}) {
            if (IsDirectory(root + sub)) {
                return root + sub;
            }
        }
    }
    return TAVO_DEFAULT_PLUGIN_DIR;
}

std::string DefaultWebDir() {
    std::string root = InstallRoot();
    if (!root.empty() && IsDirectory(root + "/share/tavo/web")) {
        return root + "/share/tavo/web";
    }
    return TAVO_DEFAULT_WEB_DIR;
}

} // namespace tavod
