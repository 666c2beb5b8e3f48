// Keeps Xlib from ending the daemon. Xlib's default handlers end the process when
// a connection to an X server breaks (the server ends, or the window is closed
// and the server drops the client) and on any protocol error. For the displays
// watched here they only record what happened; the output reads it and stops
// drawing, and the show goes on. Displays not watched keep the handlers they had.
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <string>

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

} // namespace windowpanel
