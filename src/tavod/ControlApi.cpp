// The control page's resources.
#include "ControlApi.h"

#include "Daemon.h"
#include "HttpApi.h"
#include "host/core/EPollManager.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"

#include <set>

namespace {

const int LOOP_WAIT_MS = 10000;
const char* const ACTIONS =
    "play, stop, pause, resume, loop, playlist, stopGracefully, stopAfterLoop, next, previous";

} // namespace

ControlApi::Resource::Resource(ControlApi& api, Kind kind) : m_api(api), m_kind(kind) {
    disallow_all();
    if (kind == SEQUENCES) {
        set_allowing("GET", true);
        set_allowing("HEAD", true);
    } else {
        set_allowing("POST", true);
    }
}

std::shared_ptr<httpserver::http_response> ControlApi::Resource::render_GET(const httpserver::http_request&) {
    if (m_api.m_refusing) {
        return HttpApi::JsonError(503, "the daemon is shutting down");
    }
    Json::Value list;
    std::string error;
    bool listed = false;
    Daemon* d = m_api.m_daemon;
    if (!EPollManager::INSTANCE.runOnLoop([&] { listed = d->ListSequences(list, error); }, LOOP_WAIT_MS)) {
        return HttpApi::JsonError(503, "the daemon is busy; try again");
    }
    if (!listed) {
        return HttpApi::JsonError(500, error);
    }
    return HttpApi::JsonResponse(list);
}

std::shared_ptr<httpserver::http_response>
ControlApi::Resource::render_POST(const httpserver::http_request& request) {
    if (m_api.m_refusing) {
        return HttpApi::JsonError(503, "the daemon is shutting down");
    }
    Daemon* d = m_api.m_daemon;
    Json::Value answer(Json::objectValue);
    int code = 200;
    if (m_kind == RELOAD) {
        if (!EPollManager::INSTANCE.runOnLoop([&] { answer = d->ReloadOutputs(); }, LOOP_WAIT_MS)) {
            return HttpApi::JsonError(503, "the daemon is busy; nothing was reloaded");
        }
        // A refused file is the client's to fix: 409, with the file's problems.
        return HttpApi::JsonResponse(answer, answer["reloaded"].asBool() ? 200 : 409);
    }

    Json::Value req;
    std::string error;
    if (!LoadJsonFromString(request.get_content(), req, &error) || !req.isObject() ||
        !req["action"].isString()) {
        return HttpApi::JsonError(400, "the body must be a JSON object such as {\"action\": \"play\", "
                                       "\"sequence\": \"show.lcsf\", \"loop\": false}; actions: " +
                                           std::string(ACTIONS));
    }
    std::string action = req["action"].asString();
    const Json::Value& loop = req["loop"];
    if (!loop.isNull() && !loop.isBool()) {
        return HttpApi::JsonError(400, "\"loop\" must be true or false");
    }
    if (action == "play" && !req["sequence"].isString()) {
        return HttpApi::JsonError(
            400, "play needs \"sequence\": the name of a file in the media folder's sequences/");
    }
    if (action == "playlist" && !req["playlist"].isString()) {
        return HttpApi::JsonError(400, "playlist needs \"playlist\": the name of a playlist of playlists/");
    }
    // A playlist's main section: true until stopped, false once, N passes; absent, as the file says.
    const Json::Value& repeatValue = req["repeat"];
    int repeat = -1;
    if (repeatValue.isBool()) {
        repeat = repeatValue.asBool() ? 0 : 1;
    } else if (repeatValue.isIntegral() && repeatValue.asInt64() >= 1 && repeatValue.asInt64() <= 1000000) {
        repeat = repeatValue.asInt();
    } else if (!repeatValue.isNull()) {
        return HttpApi::JsonError(400, "\"repeat\" must be true, false or a number of passes from 1");
    }
    static const std::set<std::string> known = {"play", "stop",     "pause",          "resume",
                                                "loop", "playlist", "stopGracefully", "stopAfterLoop",
                                                "next", "previous"};
    if (!known.count(action)) {
        return HttpApi::JsonError(400, "unknown action \"" + action + "\"; use " + std::string(ACTIONS));
    }
    bool ran = EPollManager::INSTANCE.runOnLoop(
        [&] {
            if (action == "play") {
                if (!d->PlaySequence(req["sequence"].asString(), loop.isBool() && loop.asBool(), error)) {
                    code = 400;
                }
            } else if (action == "stop") {
                d->StopPlaying();
            } else if (action == "playlist") {
                if (!d->GetPlaylists().StartPlaylist(req["playlist"].asString(), repeat, error)) {
                    code = 400;
                }
            } else if (action == "stopGracefully") {
                d->GetPlaylists().StopGracefully();
            } else if (action == "stopAfterLoop") {
                d->GetPlaylists().StopAfterLoop();
            } else if (action == "next") {
                d->GetPlaylists().Next();
            } else if (action == "previous") {
                d->GetPlaylists().Previous();
            } else if (action == "pause" || action == "resume") {
                if (!d->SetPaused(action == "pause")) {
                    error = "no sequence is playing";
                    code = 409;
                }
            } else {
                d->SetLoop(loop.isNull() || loop.asBool());
            }
            answer = d->GetStatus();
        },
        LOOP_WAIT_MS);
    if (!ran) {
        return HttpApi::JsonError(503, "the daemon is busy; nothing was done");
    }
    if (code != 200) {
        return HttpApi::JsonError(code, error);
    }
    return HttpApi::JsonResponse(answer);
}

void ControlApi::Start(Daemon& daemon) {
    m_daemon = &daemon;
    m_http = daemon.GetHttpApi();
    if (!m_http) {
        return;
    }
    m_refusing = false;
    m_http->RegisterResource("/api/sequences", &m_sequences);
    m_http->RegisterResource("/api/playback", &m_playback);
    m_http->RegisterResource("/api/outputs/reload", &m_reload);
}

void ControlApi::Stop(Daemon&) {
    m_refusing = true;
    if (m_http) {
        m_http->UnregisterResource("/api/outputs/reload");
        m_http->UnregisterResource("/api/playback");
        m_http->UnregisterResource("/api/sequences");
        m_http = nullptr;
    }
}
