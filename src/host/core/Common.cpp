// Host utilities.
#include "host/core/Common.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>

#ifndef TAVO_VERSION
#define TAVO_VERSION "0.0.0"
#endif

int64_t GetTime() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

int64_t GetTimeMS() {
    return GetTime() / 1000;
}

void SetThreadName(const std::string& name) {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int ListFolder(const std::string& dir, std::vector<std::string>& names) {
    names.clear();
    DIR* d = opendir(dir.c_str());
    if (!d) {
        return errno;
    }
    int error = 0;
    for (;;) {
        // readdir returns null both at the end and on an error; only errno tells them apart.
        errno = 0;
        struct dirent* e = readdir(d);
        if (!e) {
            error = errno;
            break;
        }
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            names.push_back(e->d_name);
        }
    }
    closedir(d);
    return error;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) {
        return; // every position would match, for ever
    }
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
}

namespace {
std::mutex& mediaLock() {
    static std::mutex m;
    return m;
}
std::string& mediaDir() { // guarded by mediaLock()
    static std::string dir = "./media";
    return dir;
}
} // namespace

void setTavoMediaDir(const std::string& dir) {
    std::lock_guard<std::mutex> l(mediaLock());
    mediaDir() = dir;
    while (mediaDir().size() > 1 && mediaDir().back() == '/') {
        mediaDir().pop_back();
    }
}

std::string getTavoMediaDir(const std::string& sub) {
    std::lock_guard<std::mutex> l(mediaLock());
    if (sub.empty()) {
        return mediaDir();
    }
    return mediaDir() + "/" + sub;
}

std::string getTavoVersion() {
    return TAVO_VERSION;
}

bool replaceStart(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty() || text.compare(0, from.size(), from) != 0) {
        return false;
    }
    text.replace(0, from.size(), to);
    return true;
}
