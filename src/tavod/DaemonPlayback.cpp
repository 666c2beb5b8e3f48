// Playing sequences: starting and stopping one, and the passes of `tavod play`.
#include "Daemon.h"

#include "ErrorCollector.h"

#include "Paths.h"
#include "Sequence.h"
#include "Signals.h"
#include "host/core/Common.h"
#include "host/core/Log.h"
#include "host/core/MediaPath.h"
#include "host/player/Player.h"

#include <algorithm>
#include <thread>

bool Daemon::StartSequence(const std::string& name, int startSecond, std::string& error, bool again,
                           int startFrame) {
    if (!m_sequence) {
        error = "the daemon is not started";
        return false;
    }
    std::string dir = getTavoMediaDir("sequences");
    std::string path;
    std::string why;
    if (!ResolveMediaPath("sequences", name, path, why)) {
        error = "'" + name + "' is not a sequence name (" + why + "); name a file in " + dir;
        return false;
    }
    if (!FileExists(path)) {
        error = "there is no sequence " + path + " (sequences there: " + tavod::ListFiles(dir) + ")";
        return false;
    }

    // The engine's own reason for refusing the file, to repeat in the one line
    // that says what did not play.
    ErrorCollector reasons;
    bool ok = false;
    {
        // No frame may be taken between the open (which loads frame 0) and the
        // start; the first frame of the output thread then sends frame 0 itself.
        std::lock_guard<std::recursive_mutex> frames(m_outputThread.FrameLock());
        if (m_sequence->OpenSequenceFile(name, std::max(0, startFrame), startFrame > 0 ? -1 : startSecond)) {
            m_sequence->StartSequence();
            m_outputThread.SkipNextRead();
            m_outputThread.ForceOutputNow();
            ok = true;
        }
    }
    if (!ok && error.empty()) {
        error = "cannot play " + name + ": " + reasons.Last("the file could not be opened");
    }
    if (ok && again) {
        LogDebug(LOGCH_PLAYER, "Playing %s again\n", name.c_str());
    } else if (ok) {
        LogInfo(LOGCH_PLAYER, "Playing %s: %d frames of %d ms\n", name.c_str(),
                m_sequence->seqStepTime > 0 ? m_sequence->seqMSDuration / m_sequence->seqStepTime : 0,
                m_sequence->seqStepTime.load());
    }
    return ok;
}

void Daemon::StopSequence() {
    if (!m_sequence) {
        return;
    }
    // Not "playing" any more: the engine blanks the outputs when it closes the file.
    Player::INSTANCE.SetStatus(PLAYER_STATUS_IDLE);
    if (m_sequence->seqFile.load()) {
        m_sequence->CloseSequenceFile();
    }
}

int Daemon::Play(const PlayOptions& options) {
    m_passes = options.loop ? 0 : options.repeat;
    m_loop = options.loop;
    m_playStopped = false;
    int rc = EXIT_OK;
    // The loop may be turned off (or on) from the control page while it plays.
    for (int pass = 1; m_loop || pass <= options.repeat; pass++) {
        if (tavod::StopRequested() || m_playStopped) {
            break;
        }
        m_pass = pass;
        // While another pass follows, the engine keeps the last frame up instead of
        // blanking between passes; before the last one it blanks at the end.
        bool more = m_loop || pass < options.repeat;
        Player::INSTANCE.SetStatus(more ? PLAYER_STATUS_PLAYING : PLAYER_STATUS_IDLE);
        std::string error;
        if (!StartSequence(options.sequence, pass == 1 ? options.startSecond : -1, error, pass > 1)) {
            LogErr(LOGCH_PLAYER, "%s\n", error.c_str());
            rc = EXIT_FAILURE_RUN;
            break;
        }
        Sequence* s = m_sequence.get();
        RunLoop([s] { return !s->IsSequenceRunning(); });
        // A damaged file plays what can be read; the exit says it was not all.
        if (s->nothingReadable) {
            LogErr(LOGCH_PLAYER, "cannot play %s: none of its frames could be read\n",
                   options.sequence.c_str());
            rc = EXIT_FAILURE_RUN;
            break;
        }
        if (s->unreadableFrames > 0) {
            LogErr(LOGCH_PLAYER, "%s is damaged: %d frame(s) could not be read and were skipped\n",
                   options.sequence.c_str(), s->unreadableFrames.load());
            rc = EXIT_FAILURE_RUN;
        }
    }
    if (tavod::StopRequested()) {
        LogInfo(LOGCH_PLAYER, "Stopping on request\n");
    }
    StopSequence();
    return rc;
}
