// Listening sockets handed to the process by whoever started it, the way systemd's
// socket activation does (LISTEN_PID, LISTEN_FDS, LISTEN_FDNAMES): the socket is
// bound before the program runs, so its port can never be taken by someone else
// in between, and a service manager can keep it open across restarts.
#pragma once

#include <string>

// The inherited listening socket named `name` in LISTEN_FDNAMES (a single socket
// without names answers to any name); -1 when there is none. Each socket is handed
// out once; the caller owns it. Safe from any thread.
int TakeListenSocket(const std::string& name);

// The local port of a bound socket; 0 when it has none.
int GetSocketPort(int fd);
