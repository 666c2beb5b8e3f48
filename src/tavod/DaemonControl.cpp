// What the control page, commands and SIGHUP ask of the daemon: play with or without
// loop, pause, the list of sequences, and reloading the outputs.
#include "Daemon.h"

#include "Paths.h"
#include "Sequence.h"
#include "host/core/Common.h"
#include "host/core/Log.h"
#include "host/player/ChannelTester.h"
#include "host/player/Player.h"
#include "LCSFFile.h"

#include <algorithm>
#include <memory>

#include <cerrno>
#include <cstring>

bool Daemon::PlaySequence(const std::string& name, bool loop, std::string& error) {
    if (ChannelTester::INSTANCE.Testing()) {
        m_testMode.StopTest();
    }
    m_playlists.Abandon();
    // Looping, the engine keeps the last frame up between passes instead of blanking.
    Player::INSTANCE.SetStatus(loop ? PLAYER_STATUS_PLAYING : PLAYER_STATUS_IDLE);
    if (!StartSequence(name, -1, error)) {
        return false;
    }
    m_playStopped = false;
    m_loop = loop;
    m_loopSequence = name;
    m_pass = 1;
    m_passes = loop ? 0 : 1;
    return true;
}

void Daemon::StopPlaying() {
    m_playlists.StopNow();
    ForgetLoop();
    m_playStopped = true;
    StopSequence();
}

void Daemon::ForgetLoop() {
    m_loop = false;
    m_loopSequence.clear();
}

bool Daemon::SetPaused(bool paused) {
    if (!m_sequence || !m_sequence->IsSequenceRunning()) {
        return false;
    }
    m_sequence->seqPaused = paused ? 1 : 0;
    LogInfo(LOGCH_PLAYER, "%s %s\n", m_sequence->GetSequenceName().c_str(), paused ? "paused" : "resumed");
    return true;
}

void Daemon::SetLoop(bool loop) {
    m_loop = loop;
    if (m_sequence && m_sequence->IsSequenceRunning()) {
        if (m_loopSequence.empty() && loop) {
            m_loopSequence = m_sequence->GetSequenceName();
        }
        Player::INSTANCE.SetStatus(loop ? PLAYER_STATUS_PLAYING : PLAYER_STATUS_IDLE);
    }
    m_passes = loop ? 0 : std::max(1, m_pass.load());
}

void Daemon::loopCheck() {
    if (m_loopSequence.empty() || !m_sequence || m_sequence->IsSequenceRunning()) {
        return;
    }
    if (!m_loop) {
        m_loopSequence.clear();
        return;
    }
    std::string error;
    if (!StartSequence(m_loopSequence, -1, error, true)) {
        LogErr(LOGCH_PLAYER, "%s; no longer looping\n", error.c_str());
        m_loopSequence.clear();
        m_loop = false;
        return;
    }
    m_pass++;
}

Json::Value Daemon::ReloadOutputs() {
    Json::Value r(Json::objectValue);
    if (!m_started) {
        r["reloaded"] = false;
        r["problems"].append("the daemon is not started");
        return r;
    }
    m_notifier.Reloading();
    // Outputs that draw their own test go away with their output: their test first.
    if (ChannelTester::INSTANCE.Testing() && ChannelTester::INSTANCE.GetConfig()["mode"] == "outputs") {
        m_testMode.StopTest();
    }
    OutputSet::ReloadResult res =
        m_outputs.Reload(getTavoMediaDir("config/channeloutputs.json"), m_outputThread.FrameLock());
    r["reloaded"] = res.reloaded;
    r["kept"] = res.kept;
    r["started"] = res.started;
    r["closed"] = res.closed;
    r["failed"] = Json::Value(Json::arrayValue);
    for (const std::string& f : res.failed) {
        r["failed"].append(f);
    }
    r["problems"] = Json::Value(Json::arrayValue);
    for (const std::string& p : res.problems) {
        r["problems"].append(p);
    }
    if (res.rangesChanged && m_sequence && m_sequence->IsSequenceRunning()) {
        // The running sequence reads the channels the outputs had when it opened.
        LogInfo(LOGCH_GENERAL, "The outputs read other channels now; channels that no output read before get "
                               "their data from the next sequence started\n");
    }
    m_notifier.Ready(serviceStatus());
    return r;
}

bool Daemon::ListSequences(Json::Value& list, std::string& error) {
    list = Json::Value(Json::arrayValue);
    std::string dir = getTavoMediaDir("sequences");
    std::vector<std::string> all;
    int err = ListFolder(dir, all);
    if (err && !(err == ENOENT && all.empty())) {
        error = "Could not read the sequence folder " + dir + ": " + strerror(err);
        LogErr(LOGCH_GENERAL, "%s\n", error.c_str());
        return false;
    }
    std::vector<std::string> names;
    for (const std::string& n : all) {
        if (n[0] != '.' && !tavod::IsDirectory(dir + "/" + n)) {
            names.push_back(n);
        }
    }
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
        Json::Value j(Json::objectValue);
        j["name"] = n;
        std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(dir + "/" + n));
        if (!f) {
            j["error"] = "not a sequence file tavod can read";
            list.append(j);
            continue;
        }
        j["frameCount"] = (Json::UInt)f->m_seqNumFrames;
        j["channelCount"] = (Json::UInt)f->m_seqChannelCount;
        j["stepTime"] = (Json::UInt)f->m_seqStepTime;
        j["durationMs"] = (Json::UInt64)f->m_seqNumFrames * f->m_seqStepTime;
        j["version"] = std::to_string(f->m_seqVersionMajor) + "." + std::to_string(f->m_seqVersionMinor);
        j["sizeBytes"] = (Json::UInt64)f->m_seqFileSize;
        list.append(j);
    }
    return true;
}
