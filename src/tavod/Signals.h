// How tavod ends on a signal: the first SIGINT or SIGTERM asks the main loop to
// stop (outputs blanked and closed), a second one ends the process at once.
#pragma once

namespace tavod {

// Installs the stop and reload handlers and ignores SIGPIPE: a write to a closed socket or
// pipe (a browser gone away) is an error result, not the end of the show.
void InstallSignalHandlers();
// SIGHUP asks the main loop to reload the outputs; true once per request.
bool TakeReloadRequest();
// Asks the main loop to end; safe from a signal handler and any thread.
void RequestStop();
bool StopRequested();

} // namespace tavod
