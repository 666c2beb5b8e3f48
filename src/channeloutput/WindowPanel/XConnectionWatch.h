// Keeps Xlib from ending the daemon, and from waiting for ever on a server that
// stops answering. Xlib's default handlers end the process when
// a connection to an X server breaks (the server ends, or the window is closed
// and the server drops the client) and on any protocol error. For the displays
// watched here they only record what happened; the output reads it and stops
// drawing, and the show goes on. Displays not watched keep the handlers they had.
#pragma once

#include "host/core/MonotonicCondition.h"

#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace windowpanel {

// From now on until UnwatchDisplay, a broken connection of `display` sets `lost`
// (which must outlive the watch) instead of ending the process, and protocol
// errors are kept for TakeError. The process-wide handlers are installed on the
// first call.
void WatchDisplay(Display* display, std::atomic<bool>* lost);
// Call after XCloseDisplay: closing a broken connection may report it once more.
void UnwatchDisplay(Display* display, std::atomic<bool>* lost);
// The first protocol error on `display` since the last call ("BadAlloc
// (insufficient resources for operation), request 53"), or empty; clears it.
std::string TakeError(Display* display);

// XOpenDisplay waits for ever on a server that accepts the connection but does not
// answer (stopped, or hung). This waits at most `limitMS`: null on time-out, with
// `timedOut` set (a connection made later is closed by the thread that made it).
Display* OpenDisplayWithin(const std::string& name, int limitMS, bool& timedOut);

// Bounds the waits on one display. Every stretch of calls that may wait for the
// server runs between Begin and End; one that lasts longer than the limit means
// the server stopped answering, and the connection's socket is shut: the waiting
// call then fails as on a server that ended (the watch above records it), and the
// caller goes on. A thread of its own keeps the time.
class DisplayDeadline {
public:
    explicit DisplayDeadline(int limitMS);
    ~DisplayDeadline();
    DisplayDeadline(const DisplayDeadline&) = delete;
    DisplayDeadline& operator=(const DisplayDeadline&) = delete;

    // From now until Forget, `display` (already watched) is the one bounded.
    void Watch(Display* display);
    void Forget();
    void Begin();
    void End();
    // The socket was shut because the server did not answer in time.
    bool Expired() const { return m_expired.load(); }
    int LimitMS() const { return m_limitMS; }

    class Stretch {
    public:
        explicit Stretch(DisplayDeadline& d) : m_d(d) { m_d.Begin(); }
        ~Stretch() { m_d.End(); }
        Stretch(const Stretch&) = delete;
        Stretch& operator=(const Stretch&) = delete;

    private:
        DisplayDeadline& m_d;
    };

private:
    void run();

    const int m_limitMS;
    std::mutex m_lock; // guards the members down to m_stop
    MonotonicCondition m_wake;
    // A duplicate of the connection's socket: shutting it shuts the connection, and
    // it stays ours when Xlib closes its own descriptor (whose number may be reused).
    int m_fd = -1;
    bool m_busy = false;
    uint64_t m_stretch = 0; // counts Begin calls
    std::chrono::steady_clock::time_point m_since;
    bool m_stop = false;
    std::atomic<bool> m_expired{false};
    std::thread m_thread;
};

} // namespace windowpanel
