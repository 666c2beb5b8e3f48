// Watchdog pings from the output thread, or from the main loop while it is idle.
#include "Watchdog.h"

#include "Notify.h"
#include "host/core/Common.h"

Watchdog::Watchdog(ServiceNotifier& notifier) : m_notifier(notifier) {
    if (notifier.Active() && notifier.WatchdogUsec() > 0) {
        m_pingEveryUs = notifier.WatchdogUsec() / 2;
    }
}

void Watchdog::pingIfDue() {
    int64_t now = GetTime();
    int64_t last = m_lastPingUs.load();
    // One ping per interval even when both threads see it due at once.
    if (now - last >= m_pingEveryUs && m_lastPingUs.compare_exchange_strong(last, now)) {
        m_notifier.WatchdogPing();
    }
}

void Watchdog::FrameDone() {
    if (Enabled()) {
        pingIfDue();
    }
}

void Watchdog::MainLoopTick(bool outputThreadRunning) {
    if (Enabled() && !outputThreadRunning) {
        pingIfDue();
    }
}
