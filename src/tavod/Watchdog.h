// The service watchdog: pings the service manager while the output thread keeps
// its frames going, so that a stuck output thread (an output that hangs in a send)
// ends the pings and the manager restarts tavod. While no output thread runs (no
// sequence played yet) the main loop pings instead.
#pragma once

#include <atomic>
#include <cstdint>

class ServiceNotifier;

class Watchdog {
public:
    // `notifier` is borrowed and outlives the watchdog. Pings every half of the
    // interval the manager asked for; does nothing when it asked for none.
    explicit Watchdog(ServiceNotifier& notifier);

    bool Enabled() const { return m_pingEveryUs > 0; }
    int64_t PingIntervalUs() const { return m_pingEveryUs; }

    // After every frame, on the output thread.
    void FrameDone();
    // Every round of the main loop: pings on the output thread's behalf while it is
    // not running; while it runs, its frames must do it.
    void MainLoopTick(bool outputThreadRunning);

private:
    void pingIfDue();

    ServiceNotifier& m_notifier;
    int64_t m_pingEveryUs = 0;
    std::atomic<int64_t> m_lastPingUs{0};
};
