// The daemon's outputs: the plug-ins of the plug-in folder, the outputs that
// channeloutputs.json configures, the host's UDP engine that UDP outputs send
// through, and what the status shows of each.
//
// Main thread: Create, Close, Monitor. Any thread (the HTTP server's): AddStatus.
#pragma once

#include "OutputConfig.h"
#include "PluginLoader.h"
#include "host/output/ChannelOutput.h"
#include "host/output/UDPOutput.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

class OutputSet {
public:
    OutputSet() = default;
    ~OutputSet();
    OutputSet(const OutputSet&) = delete;
    OutputSet& operator=(const OutputSet&) = delete;

    // Loads the plug-ins of `pluginDir`, then creates and starts every enabled
    // output of the file `configPath`, handing each to the host's output manager.
    // An output that cannot start is left out with a user warning; false when the
    // file itself has problems (each logged), and then nothing should play.
    bool Create(const std::string& pluginDir, const std::string& configPath);
    // Takes the outputs from the output manager, closes them and unloads the
    // plug-ins. Safe to call twice.
    void Close();
    // Once a second from the main loop: the UDP engine's checks of its destinations.
    void Monitor();

    // "outputs", "failedOutputs" (with the reason) and "udp" of /api/status.
    void AddStatus(Json::Value& status);
    size_t GetOutputCount();

private:
    struct Output {
        ConfiguredOutput config;
        std::unique_ptr<ChannelOutput> output;
    };
    struct Failed {
        ConfiguredOutput config;
        std::string reason;
    };

    void reportNewWarnings(const std::vector<std::string>& before);

    PluginLoader m_loader;

    std::mutex m_lock;                // guards m_udp, m_outputs and m_failed
    std::unique_ptr<UDPOutput> m_udp; // null when UDP sockets cannot be opened
    std::vector<Output> m_outputs;
    std::vector<Failed> m_failed;
};
