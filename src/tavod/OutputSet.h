// The daemon's outputs: the plug-ins of the plug-in folder, the outputs that
// channeloutputs.json configures, the host's UDP engine that UDP outputs send
// through, and what the status shows of each.
//
// Main thread: Create, Reload, Close, Monitor. Any thread (the HTTP server's): AddStatus.
#pragma once

#include "OutputConfig.h"
#include "PluginLoader.h"
#include "host/output/ChannelOutput.h"
#include "host/output/UDPOutput.h"

#include <functional>
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
    // What a reload did.
    struct ReloadResult {
        bool reloaded = false;             // false: the file was refused, nothing changed
        std::vector<std::string> problems; // why it was refused
        int kept = 0;                      // running on, untouched
        int started = 0;                   // new or changed, started
        int closed = 0;                    // changed or gone, closed
        std::vector<std::string> failed;   // new or changed ones that could not start, with why
        bool rangesChanged = false;        // the channels read by the outputs are not the same
    };
    // Reads `configPath` again and brings the outputs in line with it: an output whose
    // configuration is unchanged keeps running; one that changed or went is closed, and
    // one that is new or changed is started. Outputs join and leave the frames only
    // between two frames (under `frameLock`, the output thread's frame lock), which is
    // never held while an output starts, so the unchanged ones keep their time. A file
    // with problems is refused whole and nothing changes.
    ReloadResult Reload(const std::string& configPath, std::recursive_mutex& frameLock);

    // Takes the outputs from the output manager, closes them and unloads the
    // plug-ins. Safe to call twice.
    void Close();
    // Once a second from the main loop: the UDP engine's checks of its destinations.
    void Monitor();

    // "outputs", "failedOutputs" (with the reason) and "udp" of /api/status.
    void AddStatus(Json::Value& status);
    size_t GetOutputCount();
    // The running outputs that draw their own test pattern: the one configured at
    // `index` in "channelOutputs", or every one for -1. Borrowed until the next
    // Reload or Close.
    std::vector<ChannelOutput*> GetTestableOutputs(int index);

private:
    struct Output {
        ConfiguredOutput config;
        std::unique_ptr<ChannelOutput> output;
        std::vector<UDPOutputData*> udpData; // what it handed to the UDP engine (owned there)
    };
    struct Failed {
        ConfiguredOutput config;
        std::string reason;
        std::string warning; // the user warning that says so
    };

    // Creates and starts one output; on failure fills `failed` instead (logged, and
    // a user warning). Outside m_lock.
    bool startOutput(const ConfiguredOutput& c, Output& out, Failed& failed);
    // Stops one output's frames and its UDP data objects; the caller closes it.
    void detachOutput(Output& o);
    void closeOutput(Output& o);

    PluginLoader m_loader;

    std::mutex m_lock;                // guards m_udp, m_outputs and m_failed
    std::unique_ptr<UDPOutput> m_udp; // null when UDP sockets cannot be opened
    std::vector<Output> m_outputs;
    std::vector<Failed> m_failed;
    std::vector<std::string> m_refusalWarnings; // of the last refused reload
};
