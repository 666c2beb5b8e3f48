// Video overlay hook.
#include "host/player/VideoOverlay.h"

#include <mutex>

namespace {
std::mutex& overlayLock() {
    static std::mutex m;
    return m;
}
std::function<void(unsigned int)>& overlayFn() { // guarded by overlayLock()
    static std::function<void(unsigned int)> f;
    return f;
}
} // namespace

bool SDLOutput::IsOverlayingVideo() {
    std::lock_guard<std::mutex> l(overlayLock());
    return (bool)overlayFn();
}

bool SDLOutput::ProcessVideoOverlay(unsigned int ms) {
    std::function<void(unsigned int)> f;
    {
        std::lock_guard<std::mutex> l(overlayLock());
        f = overlayFn();
    }
    if (!f) {
        return false;
    }
    f(ms);
    return true;
}

void SDLOutput::SetVideoOverlay(std::function<void(unsigned int ms)> draw) {
    std::lock_guard<std::mutex> l(overlayLock());
    overlayFn() = std::move(draw);
}
