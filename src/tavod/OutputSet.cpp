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

    for (const ConfiguredOutput& c : config.GetOutputs()) {
        Output out;
        Failed failed;
        bool started = startOutput(c, out, failed);
        std::lock_guard<std::mutex> l(m_lock);
        if (!started) {
            m_failed.push_back(failed);
            continue;
        }
        ChannelOutputManager::INSTANCE.AddOutput(out.output.get());
        m_outputs.push_back(std::move(out));
    }
    // Added last, once every UDP output has handed over its data object: its
    // channel ranges are theirs.
    if (m_udp && m_udp->GetOutputCount() > 0) {
        ChannelOutputManager::INSTANCE.AddOutput(m_udp.get());
        // Host names are looked up on the engine's threads; the show waits a moment
        // for them, never for a name server that does not answer.
        m_udp->WaitForLookups(1000);
    }
    if (GetOutputCount() == 0) {
        LogWarn(LOGCH_GENERAL, "No outputs are active (%s); frames go nowhere\n", configPath.c_str());
    }
    // A warning an output only raised (an address that does not resolve) was
    // logged when it was raised.
    return true;
}

bool OutputSet::startOutput(const ConfiguredOutput& c, Output& out, Failed& failed) {
    std::vector<UDPOutputData*> udpBefore = m_udp ? m_udp->GetDataObjects() : std::vector<UDPOutputData*>();
    std::string failure;
    std::unique_ptr<ChannelOutput> output = CreateOutput(c, m_loader, failure);
    // Whatever it handed to the UDP engine is its own, to take back when it closes.
    std::vector<UDPOutputData*> udpData;
    if (m_udp) {
        for (UDPOutputData* d : m_udp->GetDataObjects()) {
            if (std::find(udpBefore.begin(), udpBefore.end(), d) == udpBefore.end()) {
                udpData.push_back(d);
            }
        }
    }
    if (!output) {
        for (UDPOutputData* d : udpData) {
            m_udp->removeOutput(d);
        }
        std::string text = "Output " + std::to_string(c.index) + " (type " + c.type + ", channels " +
                           std::to_string(c.startChannel + 1) + " to " +
                           std::to_string(c.startChannel + c.channelCount) + ") is left out: " + failure;
        LogWarn(LOGCH_CHANNELOUT, "%s; the show goes on without it\n", text.c_str());
        WarningHolder::AddWarning(text);
        failed = Failed{c, failure, text};
        return false;
    }
    // An output may size itself in Init (a panel picture): its own count is the true one.
    LogInfo(LOGCH_CHANNELOUT, "Output %d: %s, channels %u to %u\n", c.index, c.type.c_str(),
            c.startChannel + 1, c.startChannel + output->GetChannelCount());
    if (WillLog(LOG_DEBUG, LOGCH_CHANNELOUT)) {
        output->DumpConfig();
    }
    out.config = c;
    out.output = std::move(output);
    out.udpData = udpData;
    return true;
}

void OutputSet::detachOutput(Output& o) {
    ChannelOutputManager::INSTANCE.RemoveOutput(o.output.get());
    for (UDPOutputData* d : o.udpData) {
        if (m_udp) {
            m_udp->removeOutput(d);
        }
    }
    o.udpData.clear();
}

void OutputSet::closeOutput(Output& o) {
    try {
        o.output->Close();
    } catch (const std::exception& e) {
        LogErr(LOGCH_CHANNELOUT, "Closing output %d (%s) failed: %s\n", o.config.index, o.config.type.c_str(),
               e.what());
    }
}

OutputSet::ReloadResult OutputSet::Reload(const std::string& configPath, std::recursive_mutex& frameLock) {
    ReloadResult r;
    LogInfo(LOGCH_GENERAL, "Reloading %s\n", configPath.c_str());
    for (const std::string& w : m_refusalWarnings) {
        WarningHolder::RemoveWarning(w);
    }
    m_refusalWarnings.clear();

    OutputConfig config;
    bool usable = config.Load(configPath, m_loader.GetChannelOutputTypes());
    if (!usable || !config.GetErrors().empty()) {
        r.problems = config.GetErrors();
        m_refusalWarnings = r.problems;
        LogErr(LOGCH_GENERAL,
               "%s: %zu problem(s), see above; not reloaded, the running outputs stay as they were\n",
               configPath.c_str(), r.problems.size());
        return r;
    }
    ChannelRanges rangesBefore = ChannelOutputManager::INSTANCE.GetOutputRanges(true);

    // Pair each wanted output with a running one of exactly the same configuration;
    // the running ones left unpaired are closed.
    const std::vector<ConfiguredOutput>& wanted = config.GetOutputs();
    std::vector<bool> isKept(wanted.size(), false);
    std::vector<Output> closing;
    std::vector<Failed> failedBefore;
    {
        // Between two frames: the unpaired ones get no frame from here on.
        std::lock_guard<std::recursive_mutex> frames(frameLock);
        std::lock_guard<std::mutex> l(m_lock);
        std::vector<Output> kept;
        for (Output& o : m_outputs) {
            bool paired = false;
            for (size_t w = 0; w < wanted.size() && !paired; w++) {
                if (!isKept[w] && o.config.config == wanted[w].config) {
                    isKept[w] = paired = true;
                    o.config = wanted[w];
                }
            }
            if (paired) {
                kept.push_back(std::move(o));
            } else {
                detachOutput(o);
                closing.push_back(std::move(o));
            }
        }
        m_outputs.swap(kept);
        // Outputs that could not start are tried again: the world may have changed.
        failedBefore.swap(m_failed);
    }
    for (const Failed& f : failedBefore) {
        WarningHolder::RemoveWarning(f.warning);
    }
    r.closed = (int)closing.size();
    for (Output& o : closing) {
        closeOutput(o);
        LogInfo(LOGCH_CHANNELOUT, "Output %d (%s, channels %u to %u) closed\n", o.config.index,
                o.config.type.c_str(), o.config.startChannel + 1,
                o.config.startChannel + o.output->GetChannelCount());
    }
    closing.clear(); // their threads end here, outside every lock

    // New and changed outputs start outside the frame lock, so no frame waits for a
    // device to open; they join the frames together, between two of them.
    std::vector<Output> started;
    std::vector<Failed> failed;
    for (size_t w = 0; w < wanted.size(); w++) {
        if (isKept[w]) {
            continue;
        }
        Output out;
        Failed f;
        if (startOutput(wanted[w], out, f)) {
            started.push_back(std::move(out));
        } else {
            r.failed.push_back(f.warning);
            failed.push_back(f);
        }
    }
    {
        std::lock_guard<std::recursive_mutex> frames(frameLock);
        std::lock_guard<std::mutex> l(m_lock);
        for (Output& o : started) {
            ChannelOutputManager::INSTANCE.AddOutput(o.output.get());
            m_outputs.push_back(std::move(o));
        }
        m_failed = failed;
        if (m_udp) {
            // Added again, so that the manager takes the engine's channel ranges anew.
            ChannelOutputManager::INSTANCE.RemoveOutput(m_udp.get());
            if (m_udp->GetOutputCount() > 0) {
                ChannelOutputManager::INSTANCE.AddOutput(m_udp.get());
            }
        }
        std::sort(m_outputs.begin(), m_outputs.end(),
                  [](const Output& a, const Output& b) { return a.config.index < b.config.index; });
        r.kept = (int)(m_outputs.size() - started.size());
    }
    r.started = (int)started.size();
    r.reloaded = true;
    r.rangesChanged = ChannelOutputManager::INSTANCE.GetOutputRanges(true) != rangesBefore;
    LogInfo(LOGCH_GENERAL, "Reloaded %s: %d output(s) kept, %d closed, %d started, %zu left out\n",
            configPath.c_str(), r.kept, r.closed, r.started, r.failed.size());
    return r;
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
        closeOutput(o);
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

std::vector<ChannelOutput*> OutputSet::GetTestableOutputs(int index) {
    std::lock_guard<std::mutex> l(m_lock);
    std::vector<ChannelOutput*> r;
    for (const Output& o : m_outputs) {
        if ((index < 0 || o.config.index == index) && o.output->SupportsTesting()) {
            r.push_back(o.output.get());
        }
    }
    return r;
}

void OutputSet::AddStatus(Json::Value& status) {
    Json::Value outputs(Json::arrayValue);
    Json::Value failed(Json::arrayValue);
    auto addFailed = [&failed](const ConfiguredOutput& c, const std::string& reason) {
        Json::Value j(Json::objectValue);
        j["index"] = c.index;
        j["type"] = c.type;
        j["startChannel"] = c.startChannel + 1;
        j["channelCount"] = c.channelCount;
        j["reason"] = reason;
        failed.append(j);
    };
    {
        std::lock_guard<std::mutex> l(m_lock);
        for (const Output& o : m_outputs) {
            Json::Value j(Json::objectValue);
            std::string addressProblem;
            for (UDPOutputData* d : o.udpData) {
                addressProblem =
                    m_udp && addressProblem.empty() ? m_udp->GetAddressProblem(d) : addressProblem;
            }
            if (!addressProblem.empty()) {
                addFailed(o.config, addressProblem); // it cannot send until its address resolves
                continue;
            }
            try {
                o.output->GetStatus(j);
            } catch (const std::exception& e) {
                LogErr(LOGCH_CHANNELOUT, "Output %d (%s) could not report its status: %s\n", o.config.index,
                       o.config.type.c_str(), e.what());
            }
            // What the configuration says comes last: an output cannot misreport it. The
            // count is the output's own, which Init may have set from its picture.
            j["index"] = o.config.index;
            j["supportsTesting"] = o.output->SupportsTesting();
            j["type"] = o.config.type;
            j["startChannel"] = o.config.startChannel + 1;
            j["channelCount"] = o.output->GetChannelCount();
            outputs.append(j);
        }
        for (const Failed& f : m_failed) {
            addFailed(f.config, f.reason);
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
