// Messages to the service manager that started tavod: readiness, reloads, stopping,
// a status text and watchdog pings, as datagrams on the socket NOTIFY_SOCKET names
// (a path, or an abstract name after '@'). Without NOTIFY_SOCKET nothing is sent.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

class ServiceNotifier {
public:
    // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID, then removes them from the
    // environment so that programs tavod starts do not talk in its name.
    ServiceNotifier();
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    bool Active() const { return m_fd >= 0; }
    // Sends "NAME=VALUE" lines in one datagram; false (logged once) when it fails.
    // Safe from any thread; never blocks.
    bool Send(const std::string& state);

    void Ready(const std::string& status);
    void Reloading();
    void Stopping();
    void Status(const std::string& status);
    void WatchdogPing();

    // The watchdog interval the manager asked for, in microseconds; 0 when none (or
    // when it was meant for another process).
    int64_t WatchdogUsec() const { return m_watchdogUsec; }

private:
    int m_fd = -1;
    std::string m_address; // as NOTIFY_SOCKET gave it, for messages
    int64_t m_watchdogUsec = 0;
    std::mutex m_lock; // guards m_failed
    bool m_failed = false;
};
