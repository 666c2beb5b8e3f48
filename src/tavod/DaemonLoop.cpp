// The main loop: hooks of the command and GPIO services, the status line and the
// UDP engine's checks, every 10 ms until stopped.
#include "Daemon.h"

#include "Signals.h"
#include "host/core/Common.h"
#include "host/core/Log.h"

#include <algorithm>
#include <exception>

#include <time.h>

int Daemon::AddLoopHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> l(m_hooksLock);
    int id = m_nextHookId++;
    m_hooks.emplace_back(id, std::move(hook));
    return id;
}

void Daemon::RemoveLoopHook(int id) {
    std::lock_guard<std::mutex> l(m_hooksLock);
    m_hooks.erase(
        std::remove_if(m_hooks.begin(), m_hooks.end(), [id](const auto& h) { return h.first == id; }),
        m_hooks.end());
}

void Daemon::RunLoop(const std::function<bool()>& done) {
    while (!tavod::StopRequested()) {
        if (done && done()) {
            break;
        }
        std::vector<std::function<void()>> hooks;
        {
            std::lock_guard<std::mutex> l(m_hooksLock);
            for (auto& h : m_hooks) {
                hooks.push_back(h.second);
            }
        }
        for (auto& h : hooks) {
            try {
                h();
            } catch (const std::exception& e) {
                LogErr(LOGCH_GENERAL, "Main loop hook failed: %s\n", e.what());
            }
        }
        if (tavod::TakeReloadRequest()) {
            ReloadOutputs();
            m_playlists.ReloadSchedule();
        }
        m_statusLine.Tick();
        int64_t now = GetTimeMS();
        if (now - m_lastMonitorMS >= 1000) {
            m_lastMonitorMS = now;
            m_outputs.Monitor();
            std::string status = serviceStatus();
            if (m_notifier.Active() && status != m_lastServiceStatus) {
                m_lastServiceStatus = status;
                m_notifier.Status(status);
            }
        }
        struct timespec ts = {0, 10 * 1000 * 1000};
        nanosleep(&ts, nullptr); // a stop signal cuts it short
    }
}
