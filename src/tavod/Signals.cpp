// Stop signals and SIGPIPE.
#include "Signals.h"

#include "Daemon.h"

#include <atomic>
#include <csignal>
#include <cstring>

#include <unistd.h>

namespace tavod {

namespace {

std::atomic<bool> g_stopRequested{false};
std::atomic<bool> g_reloadRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

void onStopSignal(int) {
    if (g_stopRequested.load()) {
        static const char msg[] = "\ntavod: second stop signal, ending at once\n";
        ssize_t r = write(STDERR_FILENO, msg, sizeof(msg) - 1);
        (void)r;
        _exit(EXIT_FAILURE_RUN);
    }
    g_stopRequested.store(true);
}

void onReloadSignal(int) {
    g_reloadRequested.store(true);
}

} // namespace

bool TakeReloadRequest() {
    return g_reloadRequested.exchange(false);
}

void RequestStop() {
    g_stopRequested.store(true);
}

bool StopRequested() {
    return g_stopRequested.load();
}

void InstallSignalHandlers() {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: the main loop's sleep ends at once and it sees the request.
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = onReloadSignal;
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

} // namespace tavod
