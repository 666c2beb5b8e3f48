// The daemon's command services.
#include "CommandWiring.h"

#include "Daemon.h"
#include "HttpApi.h"
#include "StartSequenceCommand.h"
#include "host/core/EPollManager.h"
#include "host/player/CommandManager.h"

void CommandWiring::Start(Daemon& daemon) {
    if (m_started) {
        return;
    }
    m_started = true;
    CommandManager::INSTANCE.addCommand(new StartSequenceCommand(daemon));
    m_http = daemon.GetHttpApi();
    if (m_http) {
        m_resource.SetRefusing(false);
        m_http->RegisterResource("/api/command", &m_resource);
    }
    // Commands from HTTP and line events are taken every round of the main loop (10 ms).
    m_hookId = daemon.AddLoopHook([] { EPollManager::INSTANCE.waitForEvents(0); });
}

void CommandWiring::Stop(Daemon& daemon) {
    if (!m_started) {
        return;
    }
    m_started = false;
    daemon.RemoveLoopHook(m_hookId);
    if (m_http) {
        m_resource.SetRefusing(true);
        m_http->UnregisterResource("/api/command");
        m_http = nullptr;
    }
    // Commands already handed to the loop run now, before the loop goes away.
    EPollManager::INSTANCE.waitForEvents(0);
    EPollManager::INSTANCE.detachLoop();
    CommandManager::INSTANCE.removeCommand("Start Sequence");
}
