// The daemon's GPIO services.
#include "GPIOWiring.h"

#include "Daemon.h"
#include "HttpApi.h"
#include "gpio.h"
#include "host/core/JsonUtils.h"
#include "host/hw/Pins.h"
#include "host/player/CommandManager.h"

#include <functional>
#include <map>

std::shared_ptr<httpserver::http_response>
GPIOWiring::PinListResource::render_GET(const httpserver::http_request&) {
    Json::Value names(Json::arrayValue);
    for (const std::string& n : PinCapabilities::getPinNames()) {
        names.append(n);
    }
    return std::shared_ptr<httpserver::http_response>(
        new httpserver::string_response(SaveJsonToString(names, ""), 200, "application/json"));
}

void GPIOWiring::Start(Daemon& daemon) {
    if (m_started) {
        return;
    }
    m_started = true;
    PinCapabilities::InitPinCapabilities();
    std::map<int, std::function<bool(int)>> callbacks;
    GPIOManager::INSTANCE.Initialize(callbacks);

    m_http = daemon.GetHttpApi();
    if (m_http) {
        m_http->RegisterResource("/gpio", &GPIOManager::INSTANCE, true);
        m_http->RegisterResource("/api/options/GPIOLIST", &m_pinList);
    }
    // Polled pins and pending debounces, after the event loop's line events.
    m_hookId = daemon.AddLoopHook([] { GPIOManager::INSTANCE.CheckGPIOInputs(); });
}

void GPIOWiring::Stop(Daemon& daemon) {
    if (!m_started) {
        return;
    }
    m_started = false;
    daemon.RemoveLoopHook(m_hookId);
    if (m_http) {
        m_http->UnregisterResource("/api/options/GPIOLIST");
        m_http->UnregisterResource("/gpio");
        m_http = nullptr;
    }
    GPIOManager::INSTANCE.Cleanup();
    CommandManager::INSTANCE.removeCommand("GPIO");
}
