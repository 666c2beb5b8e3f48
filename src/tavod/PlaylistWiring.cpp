// Playlists, their commands and the schedule in the daemon.
#include "PlaylistWiring.h"

#include "Daemon.h"
#include "HttpApi.h"
#include "Sequence.h"
#include "host/core/Common.h"
#include "host/core/EPollManager.h"
#include "host/core/Log.h"
#include "host/core/Warnings.h"
#include "host/player/CommandManager.h"
#include "host/player/Player.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>

namespace {

const int LOOP_WAIT_MS = 10000;
const int64_t SCHEDULE_CHECK_MS = 1000;
const char* const COMMANDS[] = {"Start Playlist", "Stop Gracefully", "Stop Gracefully After Loop", "Stop Now",
                                "Next",           "Previous"};

std::string playlistDir() {
    return getTavoMediaDir("playlists");
}

// "true" (until stopped), "false" (once), a number of passes, or empty (as the
// playlist says): -1 for empty, -2 when it is none of these.
int parseRepeat(const std::string& text) {
    if (text.empty()) {
        return -1;
    }
    if (text == "true") {
        return 0;
    }
    if (text == "false") {
        return 1;
    }
    errno = 0;
    char* end = nullptr;
    long n = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != 0 || n < 1 || n > 1000000) {
        return -2;
    }
    return static_cast<int>(n);
}

// A command whose work is a function of the wiring.
class PlaylistCommand : public Command {
public:
    using Action = std::function<std::unique_ptr<Result>(const std::vector<std::string>&)>;
    PlaylistCommand(const std::string& name, const std::string& description, Action action)
        : Command(name, description), m_action(std::move(action)) {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override { return m_action(args); }

private:
    Action m_action;
};

} // namespace

bool PlaylistWiring::Start(Daemon& daemon) {
    m_daemon = &daemon;
    m_loadedFrom = getTavoMediaDir("config/schedule.json");
    std::vector<std::string> problems;
    {
        std::lock_guard<std::recursive_mutex> l(m_lock);
        if (!m_schedule.LoadFile(m_loadedFrom, problems)) {
            for (const std::string& p : problems) {
                LogErr(LOGCH_PLAYER, "%s\n", p.c_str());
            }
            return false;
        }
    }
    if (!m_schedule.Entries().empty()) {
        LogInfo(LOGCH_PLAYER, "Schedule: %zu entries from %s\n", m_schedule.Entries().size(),
                m_loadedFrom.c_str());
    }

    auto* start = new PlaylistCommand(
        "Start Playlist", "Plays a playlist of the media folder's playlists/",
        [this](const std::vector<std::string>& args) -> std::unique_ptr<Command::Result> {
            if (args.empty() || args.size() > 2 || args[0].empty()) {
                return std::make_unique<Command::ErrorResult>(
                    "Start Playlist needs the playlist's name, and may take repeat (true, false or a "
                    "number of passes)");
            }
            int repeat = parseRepeat(args.size() > 1 ? args[1] : "");
            if (repeat == -2) {
                return std::make_unique<Command::ErrorResult>(
                    "Start Playlist: repeat must be true, false or a number of passes from 1");
            }
            std::string error;
            if (!StartPlaylist(args[0], repeat, error)) {
                return std::make_unique<Command::ErrorResult>(error);
            }
            return std::make_unique<Command::Result>("Playing playlist " + args[0]);
        });
    start->args.push_back(
        Command::CommandArg("name", "string", "Playlist").setContentListUrl("/api/playlists"));
    start->args.push_back(
        Command::CommandArg("repeat", "string", "Repeat (true, false, N)").setOptional().setDefaultValue(""));
    CommandManager::INSTANCE.addCommand(start);
    auto simple = [this](const char* name, const char* description, void (PlaylistWiring::*action)()) {
        CommandManager::INSTANCE.addCommand(
            new PlaylistCommand(name, description, [this, name, action](const std::vector<std::string>&) {
                (this->*action)();
                return std::make_unique<Command::Result>(std::string(name) + ": done");
            }));
    };
    simple("Stop Gracefully", "Ends the playlist after the entry playing, with its lead-out",
           &PlaylistWiring::StopGracefully);
    simple("Stop Gracefully After Loop", "Ends the playlist after this pass of its main section",
           &PlaylistWiring::StopAfterLoop);
    simple("Stop Now", "Stops the playlist and the sequence at once", &PlaylistWiring::StopNow);
    simple("Next", "Skips to the next entry of the playlist", &PlaylistWiring::Next);
    simple("Previous", "Goes back one entry of the playlist", &PlaylistWiring::Previous);

    m_http = daemon.GetHttpApi();
    if (m_http) {
        m_refusing = false;
        m_http->RegisterResource("/api/playlists", &m_playlists);
        m_http->RegisterResource("/api/schedule", &m_scheduleResource);
    }
    m_hookId = daemon.AddLoopHook([this] {
        std::lock_guard<std::recursive_mutex> l(m_lock);
        m_player.Tick();
        int64_t now = GetTimeMS();
        if (m_scheduleOn && now - m_lastCheckMS >= SCHEDULE_CHECK_MS) {
            m_lastCheckMS = now;
            CheckSchedule(time(nullptr));
        }
    });
    return true;
}

void PlaylistWiring::Stop(Daemon& daemon) {
    if (!m_daemon) {
        return;
    }
    m_refusing = true;
    if (m_http) {
        m_http->UnregisterResource("/api/schedule");
        m_http->UnregisterResource("/api/playlists");
        m_http = nullptr;
    }
    if (m_hookId >= 0) {
        daemon.RemoveLoopHook(m_hookId);
        m_hookId = -1;
    }
    for (const char* name : COMMANDS) {
        CommandManager::INSTANCE.removeCommand(name);
    }
    std::lock_guard<std::recursive_mutex> l(m_lock);
    m_player.Abandon();
    m_daemon = nullptr;
}

void PlaylistWiring::EnableSchedule() {
    m_scheduleOn = true;
}

void PlaylistWiring::ReloadSchedule() {
    Schedule fresh;
    std::vector<std::string> problems;
    if (!fresh.LoadFile(m_loadedFrom, problems)) {
        for (const std::string& p : problems) {
            LogErr(LOGCH_PLAYER, "%s\n", p.c_str());
        }
        LogWarn(LOGCH_PLAYER, "Schedule not reloaded: the one in use is kept\n");
        return;
    }
    std::lock_guard<std::recursive_mutex> l(m_lock);
    m_schedule = fresh;
    m_lastCheckMS = 0;
    m_nextCheckedAt = -1;
    LogInfo(LOGCH_PLAYER, "Schedule reloaded: %zu entries\n", m_schedule.Entries().size());
}

bool PlaylistWiring::StartPlaylist(const std::string& name, int repeat, std::string& error) {
    Playlist playlist;
    std::vector<std::string> problems;
    if (!LoadPlaylist(playlistDir(), name, playlist, problems)) {
        error = "cannot play playlist " + name + ": " + problems.front();
        for (size_t i = 1; i < problems.size(); i++) {
            error += "; " + problems[i];
        }
        LogWarn(LOGCH_PLAYER, "%s\n", error.c_str());
        return false;
    }
    std::lock_guard<std::recursive_mutex> l(m_lock);
    m_scheduled = false;
    m_daemon->ForgetLoop();
    m_player.Start(playlist, repeat);
    return true;
}

void PlaylistWiring::StopGracefully() {
    std::lock_guard<std::recursive_mutex> l(m_lock);
    m_player.StopGracefully();
}

void PlaylistWiring::StopAfterLoop() {
    std::lock_guard<std::recursive_mutex> l(m_lock);
    m_player.StopAfterLoop();
}

void PlaylistWiring::StopNow() {
    std::lock_guard<std::recursive_mutex> l(m_lock);
    m_player.StopNow();
}

void PlaylistWiring::Next() {
    std::lock_guard<std::recursive_mutex> l(m_lock);
    m_player.Next();
}

void PlaylistWiring::Previous() {
    std::lock_guard<std::recursive_mutex> l(m_lock);
    m_player.Previous();
}

void PlaylistWiring::Abandon() {
    std::lock_guard<std::recursive_mutex> l(m_lock);
    if (m_player.Active()) {
        LogInfo(LOGCH_PLAYER, "Playlist %s gives way to what was started by hand\n",
                m_player.PlaylistName().c_str());
    }
    m_player.Abandon();
}

void PlaylistWiring::CheckSchedule(time_t now) {
    std::lock_guard<std::recursive_mutex> l(m_lock);
    if (m_scheduled && m_player.Active() && now >= m_window.end) {
        const ScheduleEntry& e = m_schedule.Entries()[m_window.entry];
        LogInfo(LOGCH_PLAYER, "Schedule: the window of %s ends\n", e.playlist.c_str());
        m_scheduled = false;
        if (e.stop == ScheduleStop::Now) {
            m_player.StopNow();
        } else if (e.stop == ScheduleStop::GracefulAfterLoop) {
            m_player.StopAfterLoop();
        } else {
            m_player.StopGracefully();
        }
    }
    if (!m_player.Active()) {
        m_scheduled = false;
    }
    ScheduleWindow w = m_schedule.Current(now);
    if (w.entry < 0 || (w.start == m_lastWindowStart && w.entry == m_lastWindowEntry)) {
        return;
    }
    // Something started by hand plays on; the window starts when it is over.
    Sequence* seq = m_daemon ? m_daemon->GetSequence() : nullptr;
    if (m_player.Active() || (seq && seq->IsSequenceRunning()) || !m_daemon) {
        return;
    }
    const ScheduleEntry& e = m_schedule.Entries()[w.entry];
    m_lastWindowStart = w.start;
    m_lastWindowEntry = w.entry;
    LogInfo(LOGCH_PLAYER, "Schedule: %s from %s to %s\n", e.playlist.c_str(),
            Schedule::LocalText(w.start).c_str(), Schedule::LocalText(w.end).c_str());
    std::string error;
    if (StartPlaylist(e.playlist, e.repeat ? 0 : 1, error)) {
        m_scheduled = true;
        m_window = w;
    } else {
        WarningHolder::AddWarning("The schedule could not start " + error);
    }
}

ScheduleWindow PlaylistWiring::nextStart(time_t now) {
    // Found by scanning the calendar: once, then again when that start has come (or,
    // with none ahead, a minute later), not at every status request.
    if (m_nextCheckedAt < 0 || (m_next.entry >= 0 ? now >= m_next.start : now >= m_nextCheckedAt + 60)) {
        m_next = m_schedule.Next(now);
        m_nextCheckedAt = now;
    }
    return m_next;
}

void PlaylistWiring::AddStatus(Json::Value& status) {
    std::lock_guard<std::recursive_mutex> l(m_lock);
    Json::Value p = m_player.Status();
    p["scheduled"] = m_scheduled;
    status["playlist"] = p;
    Json::Value s(Json::objectValue);
    time_t now = time(nullptr);
    ScheduleWindow next = nextStart(now);
    s["enabled"] = m_scheduleOn.load();
    s["entries"] = (Json::UInt64)m_schedule.Entries().size();
    s["nextPlaylist"] = next.entry >= 0 ? m_schedule.Entries()[next.entry].playlist : "";
    s["nextStart"] = next.entry >= 0 ? Schedule::LocalText(next.start) : "";
    s["nextStartEpoch"] = next.entry >= 0 ? (Json::Int64)next.start : 0;
    if (m_scheduled) {
        s["currentEnd"] = Schedule::LocalText(m_window.end);
    }
    status["schedule"] = s;
}

std::string PlaylistWiring::StatusText() {
    std::lock_guard<std::recursive_mutex> l(m_lock);
    if (!m_player.Active()) {
        return "";
    }
    Json::Value s = m_player.Status();
    return "playlist " + s["playlist"].asString() + " " + s["entry"].asString() + "/" +
           s["entries"].asString();
}

std::string PlaylistWiring::CurrentPlaylist() {
    std::lock_guard<std::recursive_mutex> l(m_lock);
    return m_player.Active() ? m_player.PlaylistName() : "";
}

Json::Value PlaylistWiring::ListPlaylists() {
    Json::Value list(Json::arrayValue);
    for (const std::string& name : ::ListPlaylists(playlistDir())) {
        Playlist p;
        std::vector<std::string> problems;
        LoadPlaylist(playlistDir(), name, p, problems);
        Json::Value item(Json::objectValue);
        item["name"] = name;
        auto describe = [](const std::vector<PlaylistEntry>& entries) {
            Json::Value a(Json::arrayValue);
            for (const PlaylistEntry& e : entries) {
                a.append(e.Describe());
            }
            return a;
        };
        item["leadIn"] = describe(p.leadIn);
        item["mainPlaylist"] = describe(p.main);
        item["leadOut"] = describe(p.leadOut);
        item["repeat"] = p.repeat;
        item["random"] = p.random;
        Json::Value pr(Json::arrayValue);
        for (const std::string& text : problems) {
            pr.append(text);
        }
        item["problems"] = pr;
        list.append(item);
    }
    return list;
}

Json::Value PlaylistWiring::ScheduleStatus() {
    std::lock_guard<std::recursive_mutex> l(m_lock);
    Json::Value s(Json::objectValue);
    Json::Value entries(Json::arrayValue);
    static const char* stops[] = {"graceful", "gracefulLoop", "now"};
    static const char* dayNames[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
    for (const ScheduleEntry& e : m_schedule.Entries()) {
        Json::Value j(Json::objectValue);
        j["enabled"] = e.enabled;
        j["playlist"] = e.playlist;
        Json::Value days(Json::arrayValue);
        for (int d = 0; d < 7 && d < (int)e.days.size(); d++) {
            if (e.days[d]) {
                days.append(dayNames[d]);
            }
        }
        j["days"] = days;
        char t[16];
        snprintf(t, sizeof(t), "%02d:%02d:%02d", e.startSecond / 3600, e.startSecond / 60 % 60,
                 e.startSecond % 60);
        j["startTime"] = t;
        snprintf(t, sizeof(t), "%02d:%02d:%02d", e.endSecond / 3600, e.endSecond / 60 % 60, e.endSecond % 60);
        j["endTime"] = t;
        j["repeat"] = e.repeat;
        j["stopType"] = stops[static_cast<int>(e.stop)];
        entries.append(j);
    }
    s["schedule"] = entries;
    Json::Value status(Json::objectValue);
    AddStatus(status);
    s["status"] = status["schedule"];
    return s;
}

bool PlaylistWiring::StartSequence(const std::string& name, int startSecond, std::string& error, bool again) {
    return m_daemon && m_daemon->StartSequence(name, startSecond > 0 ? startSecond : -1, error, again);
}

bool PlaylistWiring::SequenceRunning() {
    Sequence* seq = m_daemon ? m_daemon->GetSequence() : nullptr;
    return seq && seq->IsSequenceRunning();
}

void PlaylistWiring::StopSequence(bool blank) {
    Sequence* seq = m_daemon ? m_daemon->GetSequence() : nullptr;
    if (!seq) {
        return;
    }
    if (blank) {
        m_daemon->StopSequence();
    } else if (seq->seqFile.load()) {
        Player::INSTANCE.SetStatus(PLAYER_STATUS_PLAYING);
        seq->CloseSequenceFile();
    }
}

void PlaylistWiring::RunCommand(const Json::Value& command) {
    std::unique_ptr<Command::Result> r = CommandManager::INSTANCE.run(command);
    if (r && r->isError()) {
        LogWarn(LOGCH_PLAYER, "Playlist %s: command %s: %s\n", m_player.PlaylistName().c_str(),
                command["command"].asString().c_str(), r->get().c_str());
    }
}

void PlaylistWiring::SetPlaying(bool playing) {
    Player::INSTANCE.SetStatus(playing ? PLAYER_STATUS_PLAYING : PLAYER_STATUS_IDLE);
}

int64_t PlaylistWiring::NowMS() {
    return GetTimeMS();
}

PlaylistWiring::Resource::Resource(PlaylistWiring& wiring, Kind kind) : m_wiring(wiring), m_kind(kind) {
    disallow_all();
    set_allowing("GET", true);
    set_allowing("HEAD", true);
}

std::shared_ptr<httpserver::http_response>
PlaylistWiring::Resource::render_GET(const httpserver::http_request&) {
    if (m_wiring.m_refusing) {
        return HttpApi::JsonError(503, "the daemon is shutting down");
    }
    Json::Value answer;
    bool ran = EPollManager::INSTANCE.runOnLoop(
        [&] { answer = m_kind == PLAYLISTS ? m_wiring.ListPlaylists() : m_wiring.ScheduleStatus(); },
        LOOP_WAIT_MS);
    if (!ran) {
        return HttpApi::JsonError(503, "the daemon is busy; try again");
    }
    return HttpApi::JsonResponse(answer);
}
