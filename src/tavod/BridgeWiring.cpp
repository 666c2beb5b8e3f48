#include "BridgeWiring.h"

#include "Daemon.h"
#include "Paths.h"
#include "Sequence.h"
#include "host/core/Common.h"
#include "host/core/Log.h"
#include "host/core/Settings.h"
#include "host/output/OutputManager.h"

#include <unistd.h>

bool BridgeWiring::LoadConfig(const std::string& path, bridge::Config& config,
                              std::vector<std::string>& problems, bool& present) {
    return bridge::LoadConfig(path, config, problems, present);
}

bool BridgeWiring::Start(Daemon& daemon) {
    std::vector<std::string> problems;
    bool present = false;
    if (!LoadConfig(getTavoMediaDir("config/bridge.json"), m_config, problems, present)) {
        for (const std::string& p : problems) {
            LogErr(LOGCH_GENERAL, "%s\n", p.c_str());
        }
        return false;
    }
    if (!present || !m_config.Any()) {
        return true;
    }
    Sequence* seq = daemon.GetSequence();
    std::string board = tavod::BoardName();
    int timeoutMs = m_config.timeoutMs;
    float rate = m_config.refreshRate;
    m_running = m_receiver.Start(
        m_config,
        [seq, timeoutMs, rate](const uint8_t* data, uint32_t start, uint32_t length) {
            seq->SetBridgeData(const_cast<unsigned char*>(data), (int)start, (int)length,
                               (unsigned long long)(GetTimeMS() + timeoutMs));
            // Idle, the output thread may not run, or runs at the last show's rate.
            if (!seq->IsSequenceRunning()) {
                if (GetChannelOutputRefreshRate() != rate) {
                    SetChannelOutputRefreshRate(rate);
                }
                if (!ChannelOutputThreadIsRunning()) {
                    StartChannelOutputThread();
                }
            }
        },
        board);
    return true;
}

void BridgeWiring::Stop() {
    m_receiver.Stop();
    m_running = false;
}

void BridgeWiring::AddStatus(Json::Value& status) {
    if (m_running) {
        status["bridge"] = m_receiver.GetStatus();
    }
}
