// Creating, listing and closing the daemon's outputs.
#include "OutputSet.h"

#include "host/core/Log.h"
#include "host/core/Warnings.h"
#include "host/output/ChannelOutput.h"
#include "host/output/OutputManager.h"
#include "host/output/UDPOutput.h"

#include <algorithm>
#include <exception>

OutputSet::~OutputSet() {
    Close();
}

bool OutputSet::Create(const std::string& pluginDir, const std::string& configPath) {
    if (m_loader.LoadPluginDir(pluginDir) == 0) {
        LogWarn(LOGCH_GENERAL, "No output plug-ins loaded from %s (name the folder with --plugin-dir DIR)\n",
                pluginDir.c_str());
    }
    std::vector<std::string> warningsBefore = WarningHolder::GetWarnings();

    // The UDP engine exists before any output's Init: UDP output types look for it there.
    m_udp.reset(new UDPOutput());
    if (!m_udp->Init(Json::Value(Json::objectValue))) {
        LogErr(LOGCH_CHANNELOUT, "UDP sockets cannot be opened; UDP outputs stay off\n");
        m_udp.reset();
    }

    OutputConfig config;
    bool usable = config.Load(configPath, m_loader.GetChannelOutputTypes());
    if (!usable || !config.GetErrors().empty()) {
        // A wrong file is for the user to fix before the show, not to find out during it.
        LogErr(
            LOGCH_GENERAL,
            "%s: %zu problem(s), see above; nothing was played. Fix them, or set \"enabled\": 0 on an output "
            "to leave it out\n",
            configPath.c_str(), config.GetErrors().size());
        return false;
    }

    std::lock_guard<std::mutex> l(m_lock);
    for (const ConfiguredOutput& c : config.GetOutputs()) {
        std::string failure;
        std::unique_ptr<ChannelOutput> out = CreateOutput(c, m_loader, failure);
        if (!out) {
            std::string text = "Output " + std::to_string(c.index) + " (type " + c.type + ", channels " +
                               std::to_string(c.startChannel + 1) + " to " +
                               std::to_string(c.startChannel + c.channelCount) + ") is left out: " + failure;
            LogWarn(LOGCH_CHANNELOUT, "%s; the show goes on without it\n", text.c_str());
            WarningHolder::AddWarning(text);
            m_failed.push_back(Failed{c, failure});
            continue;
        }
        LogInfo(LOGCH_CHANNELOUT, "Output %d: %s, channels %u to %u\n", c.index, c.type.c_str(),
                c.startChannel + 1, c.startChannel + c.channelCount);
        if (WillLog(LOG_DEBUG, LOGCH_CHANNELOUT)) {
            out->DumpConfig();
        }
        ChannelOutputManager::INSTANCE.AddOutput(out.get());
        m_outputs.push_back(Output{c, std::move(out)});
    }
    // Added last, once every UDP output has handed over its data object: its
    // channel ranges are theirs.
    if (m_udp && m_udp->GetOutputCount() > 0) {
        ChannelOutputManager::INSTANCE.AddOutput(m_udp.get());
    }
    if (m_outputs.empty()) {
        LogWarn(LOGCH_GENERAL, "No outputs are active (%s); frames go nowhere\n", configPath.c_str());
    }
    reportNewWarnings(warningsBefore);
    return true;
}

void OutputSet::reportNewWarnings(const std::vector<std::string>& before) {
    // Some outputs only add a user warning (an address that does not resolve);
    // someone starting the daemon by hand should see it too.
    for (const std::string& w : WarningHolder::GetWarnings()) {
        if (std::find(before.begin(), before.end(), w) != before.end()) {
            continue;
        }
        bool logged = false;
        for (const Failed& f : m_failed) {
            logged = logged || w.find("Output " + std::to_string(f.config.index) + " (") == 0;
        }
        if (!logged) {
            LogWarn(LOGCH_GENERAL, "Warning: %s\n", w.c_str());
        }
    }
}

void OutputSet::Close() {
    std::lock_guard<std::mutex> l(m_lock);
    for (Output& o : m_outputs) {
        ChannelOutputManager::INSTANCE.RemoveOutput(o.output.get());
    }
    if (m_udp) {
        ChannelOutputManager::INSTANCE.RemoveOutput(m_udp.get());
    }
    for (Output& o : m_outputs) {
        try {
            o.output->Close();
        } catch (const std::exception& e) {
            LogErr(LOGCH_CHANNELOUT, "Closing output %d (%s) failed: %s\n", o.config.index,
                   o.config.type.c_str(), e.what());
        }
    }
    // The UDP engine owns data objects made by plug-in code: gone before the plug-ins.
    if (m_udp) {
        m_udp->Close();
        m_udp.reset();
    }
    m_outputs.clear();
    m_loader.UnloadAll();
}

void OutputSet::Monitor() {
    if (m_udp) {
        m_udp->Monitor();
    }
}

size_t OutputSet::GetOutputCount() {
    std::lock_guard<std::mutex> l(m_lock);
    return m_outputs.size();
}

void OutputSet::AddStatus(Json::Value& status) {
    Json::Value outputs(Json::arrayValue);
    Json::Value failed(Json::arrayValue);
    {
        std::lock_guard<std::mutex> l(m_lock);
        for (const Output& o : m_outputs) {
            Json::Value j(Json::objectValue);
            try {
                o.output->GetStatus(j);
            } catch (const std::exception& e) {
                LogErr(LOGCH_CHANNELOUT, "Output %d (%s) could not report its status: %s\n", o.config.index,
                       o.config.type.c_str(), e.what());
            }
            // What the configuration says comes last: an output cannot misreport it.
            j["type"] = o.config.type;
            j["startChannel"] = o.config.startChannel + 1;
            j["channelCount"] = o.config.channelCount;
            outputs.append(j);
        }
        for (const Failed& f : m_failed) {
            Json::Value j(Json::objectValue);
            j["type"] = f.config.type;
            j["startChannel"] = f.config.startChannel + 1;
            j["channelCount"] = f.config.channelCount;
            j["reason"] = f.reason;
            failed.append(j);
        }
        if (m_udp) {
            Json::Value u(Json::objectValue);
            u["outputs"] = (Json::UInt64)m_udp->GetOutputCount();
            u["sent"] = (Json::UInt64)m_udp->GetSentCount();
            u["errors"] = (Json::UInt64)m_udp->GetErrorCount();
            status["udp"] = u;
        }
    }
    status["outputs"] = outputs;
    status["failedOutputs"] = failed;
}
