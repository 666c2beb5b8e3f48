// Xlib's error handlers, replaced for the displays of the window outputs.
#include "XConnectionWatch.h"

#include <map>
#include <mutex>

namespace windowpanel {

namespace {

struct Watch {
    std::atomic<bool>* lost;
    std::string firstError;
};

std::mutex g_lock; // guards g_watches
std::map<Display*, Watch> g_watches;
std::once_flag g_installed;
XIOErrorHandler g_previousIOHandler = nullptr;
XErrorHandler g_previousHandler = nullptr;

void markLost(Display* display) {
    std::lock_guard<std::mutex> l(g_lock);
    auto it = g_watches.find(display);
    if (it != g_watches.end()) {
        it->second.lost->store(true);
    }
}

bool watched(Display* display) {
    std::lock_guard<std::mutex> l(g_lock);
    return g_watches.count(display) != 0;
}

// Runs first when a connection breaks. Returning lets Xlib go on to the
// display's exit handler (below), which returns too instead of ending the process.
int ioErrorHandler(Display* display) {
    if (watched(display)) {
        markLost(display);
        return 0;
    }
    return g_previousIOHandler ? g_previousIOHandler(display) : 0;
}

void ioErrorExit(Display* display, void*) {
    markLost(display);
}

int errorHandler(Display* display, XErrorEvent* event) {
    if (!watched(display)) {
        return g_previousHandler ? g_previousHandler(display, event) : 0;
    }
    // The text is looked up outside our lock: Xlib may take locks of its own for it.
    char text[160] = "";
    XGetErrorText(display, event->error_code, text, sizeof(text));
    std::lock_guard<std::mutex> l(g_lock);
    auto it = g_watches.find(display);
    if (it != g_watches.end() && it->second.firstError.empty()) {
        it->second.firstError = std::string(text) + ", request " + std::to_string((int)event->request_code);
    }
    return 0;
}

} // namespace

void WatchDisplay(Display* display, std::atomic<bool>* lost) {
    std::call_once(g_installed, [] {
        g_previousIOHandler = XSetIOErrorHandler(ioErrorHandler);
        g_previousHandler = XSetErrorHandler(errorHandler);
    });
    {
        std::lock_guard<std::mutex> l(g_lock);
        g_watches[display] = Watch{lost, ""};
    }
    XSetIOErrorExitHandler(display, ioErrorExit, nullptr);
}

void UnwatchDisplay(Display* display, std::atomic<bool>* lost) {
    std::lock_guard<std::mutex> l(g_lock);
    auto it = g_watches.find(display);
    // The address may already belong to a newer connection of another output.
    if (it != g_watches.end() && it->second.lost == lost) {
        g_watches.erase(it);
    }
}

std::string TakeError(Display* display) {
    std::lock_guard<std::mutex> l(g_lock);
    auto it = g_watches.find(display);
    if (it == g_watches.end()) {
        return "";
    }
    std::string e = it->second.firstError;
    it->second.firstError.clear();
    return e;
}

} // namespace windowpanel
