// What the daemon shows of itself: GET /api/status and the terminal status line.
#include "Daemon.h"

#include "Sequence.h"
#include "host/core/Common.h"
#include "host/player/ChannelTester.h"
#include "host/core/Warnings.h"

#include <malloc.h>

std::string Daemon::statusText() {
    Sequence* seq = m_sequence.get();
    if (!seq) {
        return "";
    }
    bool running = seq->IsSequenceRunning();
    int step = seq->seqStepTime;
    int duration = seq->seqMSDuration;
    OutputThread::Stats s = m_outputThread.GetStats();
    std::string text = StatusLine::Format(running ? seq->GetSequenceName() : "", seq->seqMSElapsed, duration,
                                          running ? seq->GetLoadedFrameNumber() : -1,
                                          step > 0 ? duration / step : 0, s.lateFrames);
    std::string playlist = m_playlists.StatusText();
    if (!playlist.empty()) {
        text += "  " + playlist;
    } else if (m_passes == 0 && m_pass > 0) {
        text += "  loop " + std::to_string(m_pass);
    } else if (m_passes > 1) {
        text += "  pass " + std::to_string(m_pass) + "/" + std::to_string(m_passes);
    }
    return text;
}

std::string Daemon::serviceStatus() {
    Sequence* seq = m_sequence.get();
    std::string outputs = std::to_string(m_outputs.GetOutputCount()) + " output(s)";
    if (!seq || !seq->IsSequenceRunning()) {
        return "Idle, " + outputs;
    }
    auto clock = [](int ms) {
        char t[32];
        snprintf(t, sizeof(t), "%d:%02d", ms / 60000, (ms / 1000) % 60);
        return std::string(t);
    };
    return std::string(seq->seqPaused ? "Paused " : "Playing ") + seq->GetSequenceName() + " " +
           clock(seq->seqMSElapsed) + " / " + clock(seq->seqMSDuration) + ", " + outputs;
}

Json::Value Daemon::GetStatus() {
    // The engine lives from Start to Shutdown, and the HTTP server, which calls
    // this, only within that time.
    Sequence* seq = m_sequence.get();
    Json::Value s(Json::objectValue);
    s["version"] = getTavoVersion();
    s["uptimeMs"] = (Json::Int64)(GetTimeMS() - m_startTimeMS);
    bool running = seq && seq->IsSequenceRunning();
    bool paused = running && seq->seqPaused;
    s["status"] = running ? (paused ? "paused" : "playing") : "idle";
    s["paused"] = paused;
    s["testing"] = ChannelTester::INSTANCE.Testing();
    s["sequence"] = running ? seq->GetSequenceName() : "";
    int step = seq ? seq->seqStepTime.load() : 0;
    int duration = seq ? seq->seqMSDuration.load() : 0;
    s["stepTime"] = step;
    s["frame"] = running ? seq->GetLoadedFrameNumber() : -1;
    s["frameCount"] = step > 0 ? duration / step : 0;
    s["durationMs"] = duration;
    s["elapsedMs"] = seq ? seq->seqMSElapsed.load() : 0;
    s["remainingMs"] = seq ? seq->seqMSRemaining.load() : 0;
    s["pass"] = m_pass.load();
    s["passes"] = m_passes.load();
    s["loop"] = m_loop.load();

    OutputThread::Stats st = m_outputThread.GetStats();
    s["framesSent"] = (Json::Int64)st.framesSent;
    s["lateFrames"] = (Json::Int64)st.lateFrames;
    s["periodUs"] = (Json::Int64)st.periodUs;
    Json::Value lateness(Json::objectValue);
    lateness["lastUs"] = (Json::Int64)st.lastLatenessUs;
    lateness["maxUs"] = (Json::Int64)st.maxLatenessUs;
    lateness["p50Us"] = (Json::Int64)st.p50LatenessUs;
    lateness["p99Us"] = (Json::Int64)st.p99LatenessUs;
    s["lateness"] = lateness;
    Json::Value work(Json::objectValue);
    work["lastUs"] = (Json::Int64)st.lastWorkUs;
    work["maxUs"] = (Json::Int64)st.maxWorkUs;
    work["p99Us"] = (Json::Int64)st.p99WorkUs;
    s["frameWork"] = work;

    // What the process holds of the heap, apart from what the allocator keeps for
    // later (resident memory counts that too): the figure to watch for leaks.
    const struct mallinfo2 heap = mallinfo2();
    s["heapInUseBytes"] = (Json::UInt64)(heap.uordblks + heap.hblkhd);

    m_outputs.AddStatus(s);
    m_mqtt.AddStatus(s);
    m_bridge.AddStatus(s);
    m_playlists.AddStatus(s);
    m_sync.AddStatus(s);
    s["warnings"] = (Json::UInt64)WarningHolder::GetWarnings().size();
    return s;
}
