// Safe resolution of outside names into paths inside the media folder.
#include "host/core/MediaPath.h"

#include "host/core/Common.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// The real path of `path` (every link followed); false with errno set.
bool realPath(const std::string& path, std::string& out) {
    char buf[PATH_MAX];
    if (!realpath(path.c_str(), buf)) {
        return false;
    }
    out = buf;
    return true;
}

} // namespace

bool ResolveMediaPath(const std::string& folder, const std::string& name, std::string& path,
                      std::string& error) {
    path.clear();
    if (name.empty()) {
        error = "the name is empty";
        return false;
    }
    if (name.size() > MEDIA_NAME_MAX) {
        error = "the name is longer than " + std::to_string(MEDIA_NAME_MAX) + " bytes";
        return false;
    }
    for (char c : name) {
        if ((unsigned char)c < 0x20 || c == 0x7f) {
            error = "the name holds a control character";
            return false;
        }
    }
    if (name[0] == '/') {
        error = "the name is an absolute path; name a file inside the folder";
        return false;
    }
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) {
            end = name.size();
        }
        if (name.compare(start, end - start, "..") == 0 && end - start == 2) {
            error = "the name holds \"..\"; name a file inside the folder";
            return false;
        }
        start = end + 1;
    }

    const std::string base = getTavoMediaDir(folder);
    path = base + "/" + name;
    std::string real;
    if (!realPath(path, real)) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return true; // missing: the caller's message names it
        }
        error = std::string("cannot resolve ") + path + ": " + strerror(errno);
        return false;
    }
    std::string realBase;
    if (!realPath(base, realBase)) {
        error = std::string("cannot resolve the folder ") + base + ": " + strerror(errno);
        return false;
    }
    if (realBase == "/") {
        realBase.clear();
    }
    if (real == realBase || real.compare(0, realBase.size() + 1, realBase + "/") != 0) {
        // The link's target is not told: the error may go back to whoever sent the name.
        error = real == realBase ? "the name is the folder itself, not a file in it"
                                 : "the name leads outside " + base + " through a symbolic link";
        return false;
    }
    return true;
}
