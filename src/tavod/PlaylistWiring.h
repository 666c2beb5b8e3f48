// Playlists and the schedule in the daemon: the playlist player driven from the
// main loop, the schedule of config/schedule.json that starts and ends playlists by
// the local clock, their commands ("Start Playlist", "Stop Gracefully", "Stop
// Gracefully After Loop", "Stop Now", "Next", "Previous"), GET /api/playlists and
// GET /api/schedule, and "playlist" and "schedule" of /api/status.
//
// The schedule: each second, the window of the first enabled entry that holds
// the time starts its playlist once (at once after a restart inside a window); at
// the window's end the playlist stops as the entry's "stopType" says. A playlist
// or sequence started by hand runs until it ends or is stopped, and the schedule
// leaves it alone meanwhile.
#pragma once

#include "host/player/PlaylistPlayer.h"
#include "host/player/Schedule.h"

#include <httpserver.hpp>

#include <atomic>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

class Daemon;
class HttpApi;

class PlaylistWiring : private PlaylistHost {
public:
    // Reads the schedule; after the outputs and the command services, on the main
    // thread. False when schedule.json is wrong (the problems are logged).
    bool Start(Daemon& daemon);
    // At shutdown, before the sequence closes; safe to call twice.
    void Stop(Daemon& daemon);
    // The schedule acts only in `tavod run`: `tavod play` plays what it was asked.
    void EnableSchedule();
    // Reads schedule.json again (SIGHUP); a file with problems is logged and the
    // schedule in use kept. What plays goes on.
    void ReloadSchedule();

    // The actions of commands and of POST /api/playback; on the main thread.
    // `repeat`: -1 as the playlist says, 0 until stopped, N passes.
    bool StartPlaylist(const std::string& name, int repeat, std::string& error);
    void StopGracefully();
    void StopAfterLoop();
    void StopNow();
    void Next();
    void Previous();
    // Something started by hand replaces the playlist (the sequence is left alone).
    void Abandon();

    // "playlist" and "schedule" of /api/status; any thread.
    void AddStatus(Json::Value& status);
    // The playlists of the media folder, each with its sections and problems.
    Json::Value ListPlaylists();
    // The schedule's entries, the window now and the next start.
    Json::Value ScheduleStatus();
    // "playlist evening 2/5" for the status line, "" when none plays; any thread.
    std::string StatusText();
    // The playlist playing, "" when none; any thread.
    std::string CurrentPlaylist();

    // Starts or ends the playlist of the schedule's window at `now`; main loop.
    void CheckSchedule(time_t now);

private:
    bool StartSequence(const std::string& name, int startSecond, std::string& error, bool again) override;
    bool SequenceRunning() override;
    void StopSequence(bool blank) override;
    void RunCommand(const Json::Value& command) override;
    void SetPlaying(bool playing) override;
    int64_t NowMS() override;
    ScheduleWindow nextStart(time_t now); // m_lock held

    class Resource : public httpserver::http_resource {
    public:
        enum Kind { PLAYLISTS, SCHEDULE };
        Resource(PlaylistWiring& wiring, Kind kind);
        std::shared_ptr<httpserver::http_response>
        render_GET(const httpserver::http_request& request) override;

    private:
        PlaylistWiring& m_wiring;
        Kind m_kind;
    };

    Daemon* m_daemon = nullptr;
    HttpApi* m_http = nullptr;
    int m_hookId = -1;
    std::atomic<bool> m_refusing{true};
    // Guards the player and the schedule's state: the main loop changes them, the
    // HTTP threads read their status. Recursive: a playlist's command entry may
    // start or stop a playlist from within the player.
    std::recursive_mutex m_lock;
    PlaylistPlayer m_player{*this};
    Schedule m_schedule;
    std::atomic<bool> m_scheduleOn{false};
    bool m_scheduled = false;      // the playlist playing was started by the schedule
    ScheduleWindow m_window;       // the window it was started for
    time_t m_lastWindowStart = -1; // the last window the schedule started (not again)
    int m_lastWindowEntry = -1;
    int64_t m_lastCheckMS = 0;
    ScheduleWindow m_next;       // the next start, as last found
    time_t m_nextCheckedAt = -1; // when it was found; -1: not yet

    std::string m_loadedFrom; // schedule.json's path
    Resource m_playlists{*this, Resource::PLAYLISTS};
    Resource m_scheduleResource{*this, Resource::SCHEDULE};
};
