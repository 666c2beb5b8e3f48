// The playlist's state machine.
#include "PlaylistPlayer.h"

#include "host/core/Log.h"

#include <algorithm>

namespace {

const char* sectionName(PlaylistPlayer::Section s) {
    switch (s) {
    case PlaylistPlayer::LEAD_IN:
        return "leadIn";
    case PlaylistPlayer::MAIN:
        return "mainPlaylist";
    case PlaylistPlayer::LEAD_OUT:
        return "leadOut";
    default:
        return "idle";
    }
}

} // namespace

void PlaylistPlayer::Start(const Playlist& playlist, int repeat) {
    if (Active() && m_host.SequenceRunning()) {
        m_host.StopSequence(false);
    }
    m_generation++;
    m_playlist = playlist;
    m_passes = repeat >= 0 ? repeat : playlist.repeat;
    m_pass = 1;
    m_stopping = NOT_STOPPING;
    m_entryPlaying = false;
    m_playedThisPass = false;
    LogInfo(LOGCH_PLAYER, "Playlist %s starts (main section %s)\n", m_playlist.name.c_str(),
            m_passes == 0 ? "until stopped" : (std::to_string(m_passes) + " time(s)").c_str());
    m_host.SetPlaying(true);
    enterSection(LEAD_IN);
    startEntry();
}

void PlaylistPlayer::StopGracefully() {
    if (Active() && m_section != LEAD_OUT) {
        LogInfo(LOGCH_PLAYER, "Playlist %s stops after this entry\n", m_playlist.name.c_str());
        m_stopping = GRACEFUL;
    }
}

void PlaylistPlayer::StopAfterLoop() {
    if (Active() && m_section != LEAD_OUT && m_stopping == NOT_STOPPING) {
        LogInfo(LOGCH_PLAYER, "Playlist %s stops after this pass\n", m_playlist.name.c_str());
        m_stopping = AFTER_LOOP;
    }
}

void PlaylistPlayer::StopNow() {
    if (!Active()) {
        return;
    }
    LogInfo(LOGCH_PLAYER, "Playlist %s stopped\n", m_playlist.name.c_str());
    m_generation++;
    m_section = IDLE;
    m_entryPlaying = false;
    m_host.SetPlaying(false);
    m_host.StopSequence(true);
}

void PlaylistPlayer::Abandon() {
    m_generation++;
    m_section = IDLE;
    m_entryPlaying = false;
}

void PlaylistPlayer::Next() {
    if (!Active()) {
        return;
    }
    if (m_host.SequenceRunning()) {
        m_host.StopSequence(false);
    }
    advance();
}

void PlaylistPlayer::Previous() {
    if (!Active()) {
        return;
    }
    if (m_host.SequenceRunning()) {
        m_host.StopSequence(false);
    }
    m_entryPlaying = false;
    if (m_index > 0) {
        m_index--;
    }
    startEntry();
}

void PlaylistPlayer::Tick() {
    if (!Active()) {
        return;
    }
    if (!m_entryPlaying) {
        startEntry();
        return;
    }
    const PlaylistEntry& e = entries(m_section)[m_index];
    bool done = e.type == PlaylistEntry::PAUSE ? m_host.NowMS() >= m_pauseEndMS : !m_host.SequenceRunning();
    if (done) {
        advance();
    }
}

std::vector<PlaylistEntry>& PlaylistPlayer::entries(Section s) {
    switch (s) {
    case LEAD_IN:
        return m_playlist.leadIn;
    case MAIN:
        return m_order;
    default:
        return m_playlist.leadOut;
    }
}

void PlaylistPlayer::enterSection(Section s) {
    m_section = s;
    m_index = 0;
    if (s == MAIN) {
        m_order = m_playlist.main;
        if (m_playlist.random) {
            std::shuffle(m_order.begin(), m_order.end(), m_random);
        }
        m_playedThisPass = false;
    }
}

void PlaylistPlayer::advance() {
    m_entryPlaying = false;
    if (m_stopping == GRACEFUL && m_section != LEAD_OUT) {
        enterSection(LEAD_OUT);
    } else {
        m_index++;
    }
    startEntry();
}

void PlaylistPlayer::sectionDone() {
    if (m_section == LEAD_IN) {
        enterSection(MAIN);
        return;
    }
    if (m_section == MAIN) {
        // A main section of commands alone would otherwise run again and again at once.
        bool idleForever = m_passes == 0 && !m_playedThisPass;
        if (idleForever && !m_order.empty()) {
            LogWarn(LOGCH_PLAYER, "Playlist %s: nothing of its main section plays; it is not repeated\n",
                    m_playlist.name.c_str());
        }
        if (m_stopping != NOT_STOPPING || idleForever || (m_passes != 0 && m_pass >= m_passes)) {
            enterSection(LEAD_OUT);
        } else {
            m_pass++;
            enterSection(MAIN);
        }
        return;
    }
    finish();
}

void PlaylistPlayer::startEntry() {
    while (Active()) {
        std::vector<PlaylistEntry>& list = entries(m_section);
        if (m_index >= list.size()) {
            sectionDone();
            continue;
        }
        const PlaylistEntry e = list[m_index];
        if (e.type == PlaylistEntry::SEQUENCE) {
            std::string error;
            if (m_host.StartSequence(e.sequence, e.startSecond, error, m_section == MAIN && m_pass > 1)) {
                m_entryPlaying = true;
                m_playedThisPass = true;
                return;
            }
            LogWarn(LOGCH_PLAYER, "Playlist %s: %s; on to the next entry\n", m_playlist.name.c_str(),
                    error.c_str());
        } else if (e.type == PlaylistEntry::PAUSE) {
            m_pauseEndMS = m_host.NowMS() + e.pauseMs;
            m_entryPlaying = true;
            m_playedThisPass = true;
            return;
        } else {
            // A command may start or stop a playlist itself: then this one has been replaced.
            const int generation = m_generation;
            m_host.RunCommand(e.command);
            if (generation != m_generation) {
                return;
            }
        }
        if (m_stopping == GRACEFUL && m_section != LEAD_OUT) {
            enterSection(LEAD_OUT);
        } else {
            m_index++;
        }
    }
}

void PlaylistPlayer::finish() {
    LogInfo(LOGCH_PLAYER, "Playlist %s has ended\n", m_playlist.name.c_str());
    m_section = IDLE;
    m_entryPlaying = false;
    m_host.SetPlaying(false);
    m_host.StopSequence(true);
}

Json::Value PlaylistPlayer::Status() const {
    Json::Value s(Json::objectValue);
    s["playlist"] = Active() ? m_playlist.name : "";
    s["section"] = sectionName(m_section);
    const std::vector<PlaylistEntry>* list = nullptr;
    switch (m_section) {
    case LEAD_IN:
        list = &m_playlist.leadIn;
        break;
    case MAIN:
        list = &m_order;
        break;
    case LEAD_OUT:
        list = &m_playlist.leadOut;
        break;
    default:
        break;
    }
    bool inList = list && m_index < list->size();
    s["entry"] = inList ? (Json::UInt64)(m_index + 1) : 0;
    s["entries"] = list ? (Json::UInt64)list->size() : 0;
    s["description"] = inList ? (*list)[m_index].Describe() : "";
    s["pass"] = Active() ? m_pass : 0;
    s["passes"] = m_passes;
    s["stopping"] = m_stopping == GRACEFUL ? "graceful" : (m_stopping == AFTER_LOOP ? "afterLoop" : "");
    bool pausing = inList && m_entryPlaying && (*list)[m_index].type == PlaylistEntry::PAUSE;
    int64_t left = pausing ? std::max<int64_t>(0, m_pauseEndMS - m_host.NowMS()) : 0;
    s["pauseLeftMs"] = (Json::Int64)left;
    return s;
}
