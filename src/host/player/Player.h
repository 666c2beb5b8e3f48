// The player's state as the playback engine sees it: what the playlist is doing.
#pragma once

#include <atomic>

enum PlayerStatus {
    PLAYER_STATUS_IDLE = 0,
    PLAYER_STATUS_PLAYING = 1, // a playlist is playing; the next sequence follows at once
    PLAYER_STATUS_STOPPING_GRACEFULLY = 2,
    PLAYER_STATUS_STOPPING_NOW = 3,
};

class Player {
public:
    static Player INSTANCE;

    int GetStatus() const { return m_status.load(); }
    void SetStatus(int status) { m_status.store(status); }
    bool IsPlaying() const { return GetStatus() != PLAYER_STATUS_IDLE; }

private:
    std::atomic<int> m_status{PLAYER_STATUS_IDLE};
};
