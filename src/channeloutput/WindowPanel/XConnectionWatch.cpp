// Xlib's error handlers, replaced for the displays of the window outputs.
#include "XConnectionWatch.h"

#include "host/core/Common.h"

#include <map>
#include <set>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

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
// Displays whose abandoned XOpenDisplay still waits: no second attempt joins it.
std::set<std::string> g_opening; // guarded by g_lock

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

Display* OpenDisplayWithin(const std::string& name, int limitMS, bool& timedOut) {
    struct Attempt {
        std::mutex lock;
        MonotonicCondition done;
        bool finished = false;
        bool abandoned = false;
        Display* display = nullptr;
    };
    timedOut = false;
    {
        std::lock_guard<std::mutex> l(g_lock);
        if (g_opening.count(name)) {
            timedOut = true;
            return nullptr;
        }
        g_opening.insert(name);
    }
    auto attempt = std::make_shared<Attempt>();
    std::thread([attempt, name] {
        SetThreadName("Tavo-XOpen");
        Display* d = XOpenDisplay(name.c_str());
        std::unique_lock<std::mutex> l(attempt->lock);
        {
            std::lock_guard<std::mutex> g(g_lock);
            g_opening.erase(name);
        }
        if (attempt->abandoned) {
            l.unlock();
            if (d) {
                // Nobody waits for it any more; its loss must not end the process either.
                static std::atomic<bool> ignored{false};
                WatchDisplay(d, &ignored);
                XCloseDisplay(d);
                UnwatchDisplay(d, &ignored);
            }
            return;
        }
        attempt->display = d;
        attempt->finished = true;
        attempt->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> l(attempt->lock);
    if (!attempt->done.wait_for(l, std::chrono::milliseconds(limitMS), [&] { return attempt->finished; })) {
        attempt->abandoned = true;
        timedOut = true;
        return nullptr;
    }
    return attempt->display;
}

DisplayDeadline::DisplayDeadline(int limitMS) : m_limitMS(limitMS) {}

DisplayDeadline::~DisplayDeadline() {
    {
        std::lock_guard<std::mutex> l(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_fd >= 0) {
        close(m_fd);
    }
}

void DisplayDeadline::Watch(Display* display) {
    std::lock_guard<std::mutex> l(m_lock);
    if (m_fd >= 0) {
        close(m_fd);
    }
    m_fd = fcntl(ConnectionNumber(display), F_DUPFD_CLOEXEC, 0);
    m_busy = false;
    m_expired = false;
    if (!m_thread.joinable()) {
        m_thread = std::thread(&DisplayDeadline::run, this);
    }
}

void DisplayDeadline::Forget() {
    std::lock_guard<std::mutex> l(m_lock);
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    m_busy = false;
}

void DisplayDeadline::Begin() {
    {
        std::lock_guard<std::mutex> l(m_lock);
        m_busy = true;
        m_stretch++;
        m_since = std::chrono::steady_clock::now();
    }
    m_wake.notify_all();
}

void DisplayDeadline::End() {
    std::lock_guard<std::mutex> l(m_lock);
    m_busy = false;
}

void DisplayDeadline::run() {
    SetThreadName("Tavo-XDeadline");
    std::unique_lock<std::mutex> l(m_lock);
    while (!m_stop) {
        if (!m_busy || m_fd < 0 || m_expired) {
            m_wake.wait(l);
            continue;
        }
        const uint64_t stretch = m_stretch;
        const auto until = m_since + std::chrono::milliseconds(m_limitMS);
        if (m_wake.wait_until(l, until, [&] { return m_stop || !m_busy || m_stretch != stretch; })) {
            continue;
        }
        shutdown(m_fd, SHUT_RDWR);
        m_expired = true;
    }
}

} // namespace windowpanel
