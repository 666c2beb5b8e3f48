// Many boards in sync: the leader's sender and the follower's clock follower.
#include "SyncWiring.h"

#include "Daemon.h"
#include "HttpApi.h"
#include "Paths.h"
#include "RealTime.h"
#include "Sequence.h"
#include "host/core/Common.h"
#include "host/core/Log.h"
#include "host/core/Settings.h"
#include "host/core/Warnings.h"
#include "host/player/Player.h"
#include "host/player/PluginManager.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

#include <arpa/inet.h>
#include <pthread.h>
#include <sched.h>

using protocols::sync::Packet;
using protocols::sync::Type;

namespace {

const int64_t PRESENCE_MS = 3000;
const int64_t LEADER_LOST_MS = 10000;
const int64_t SEEK_BEYOND_US = 1000000;
const double MAX_SLEW = 0.03;
// The controller: the period changes by KP per millisecond of offset, and the
// integral (what makes up for a clock that runs fast or slow) by KI per
// millisecond and second.
const double KP = 0.001;
const double KI = 0.001;

std::string addressText(uint32_t a) {
    char t[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a, t, sizeof(t));
    return t;
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> r;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        if (!item.empty()) {
            r.push_back(item);
        }
    }
    return r;
}

const char* modeName(protocols::sync::Mode m) {
    return m == protocols::sync::Mode::LEADER     ? "leader"
           : m == protocols::sync::Mode::FOLLOWER ? "follower"
                                                  : "off";
}

} // namespace

SyncWiring::Resource::Resource(SyncWiring& wiring) : m_wiring(wiring) {
    disallow_all();
    set_allowing("GET", true);
    set_allowing("HEAD", true);
}

std::shared_ptr<httpserver::http_response> SyncWiring::Resource::render_GET(const httpserver::http_request&) {
    return HttpApi::JsonResponse(m_wiring.Status());
}

bool SyncWiring::Start(Daemon& daemon) {
    m_daemon = &daemon;
    m_http = daemon.GetHttpApi();
    if (m_http) {
        m_http->RegisterResource("/api/sync", &m_resource);
    }
    std::string mode = getSetting("syncMode", "off");
    if (mode == "off" || mode.empty()) {
        return true;
    }
    if (mode != "leader" && mode != "follower") {
        LogErr(LOGCH_PLAYER, "\"syncMode\" \"%s\" is not \"off\", \"leader\" or \"follower\"\n",
               mode.c_str());
        return false;
    }
    m_mode = mode == "leader" ? LEADER : FOLLOWER;
    tavosync::Settings s;
    s.group = getSetting("syncGroup", s.group);
    int port = getSettingInt("syncPort", s.port);
    if (port < 1 || port > 65535) {
        LogErr(LOGCH_PLAYER, "\"syncPort\" %d is not a UDP port\n", port);
        return false;
    }
    s.port = (uint16_t)port;
    s.interface = getSetting("syncInterface");
    s.unicast = splitList(getSetting("syncUnicast"));
    m_offsetMs = getSettingInt("syncOffsetMs", 0);
    m_keepPlaying = getSettingInt("syncKeepPlaying", 0) == 1;
    m_board = tavod::BoardName();
    // A packet's arrival time is read on the sync thread once it runs: at normal
    // priority, beside other work, it came up to 17 ms late now and then (the bench
    // of docs/performance.md), and the follower slewed on the error. The thread gets
    // the output thread's real-time priority.
    int priority = tavod::RealTimeFromSettings().priority;
    if (priority > 0) {
        s.threadStart = [priority] {
            struct sched_param sp;
            memset(&sp, 0, sizeof(sp));
            sp.sched_priority = priority;
            int r = pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
            if (r != 0) {
                LogDebug(LOGCH_PLAYER, "Sync thread runs without real-time priority %d: %s\n", priority,
                         strerror(r));
            }
        };
    }
    std::string error;
    if (!m_channel.Open(
            s, [this](const Packet& p, uint32_t from, int64_t arrived) { onPacket(p, from, arrived); },
            error)) {
        LogErr(LOGCH_PLAYER, "Sync not started: %s\n", error.c_str());
        return false;
    }
    if (m_mode == LEADER) {
        multiSync->SetListener(
            [this](MultiSync::Event e, const std::string& name) { onEngineEvent(e, name); });
        multiSync->sendSyncPackets = true;
    }
    m_hookId = daemon.AddLoopHook([this] { loop(); });
    LogInfo(LOGCH_PLAYER, "Sync: %s on port %d, %s%s\n", mode.c_str(), port,
            s.unicast.empty() ? ("group " + s.group).c_str() : "to ", getSetting("syncUnicast").c_str());
    return true;
}

void SyncWiring::Stop(Daemon& daemon) {
    if (m_http) {
        m_http->UnregisterResource("/api/sync");
        m_http = nullptr;
    }
    if (m_mode == OFF) {
        return;
    }
    if (m_mode == LEADER) {
        multiSync->sendSyncPackets = false;
        multiSync->SetListener(nullptr);
    }
    if (m_hookId >= 0) {
        daemon.RemoveLoopHook(m_hookId);
        m_hookId = -1;
    }
    m_channel.Close();
    daemon.GetOutputThread().SetPeriodScale(1.0);
    m_mode = OFF;
}

Packet SyncWiring::position(Type type, const std::string& name) {
    Packet p;
    p.type = type;
    p.name = name;
    Sequence* seq = m_daemon ? m_daemon->GetSequence() : nullptr;
    int step = seq ? seq->seqStepTime.load() : 0;
    int frame = std::max(0, m_lastFrame.load());
    p.frame = (uint32_t)frame;
    p.stepMs = (uint16_t)std::max(0, step);
    p.elapsedMs = (uint32_t)((int64_t)frame * step);
    return p;
}

void SyncWiring::onEngineEvent(MultiSync::Event event, const std::string& name) {
    if (event == MultiSync::BLANK) {
        Packet p;
        p.type = Type::BLANK;
        m_channel.Send(p);
        return;
    }
    if (event == MultiSync::START) {
        m_lastFrame = 0;
        std::lock_guard<std::mutex> l(m_lock);
        m_lastPositionSlot = -1;
    }
    Packet p = position(event == MultiSync::OPEN    ? Type::OPEN
                        : event == MultiSync::START ? Type::START
                                                    : Type::STOP,
                        name);
    if (event != MultiSync::STOP) {
        p.frame = 0;
        p.elapsedMs = 0;
    }
    m_channel.Send(p);
}

void SyncWiring::FrameDone() {
    if (m_mode == OFF || !m_daemon) {
        return;
    }
    Sequence* seq = m_daemon->GetSequence();
    bool running = seq && seq->IsSequenceRunning();
    int frame = running ? seq->GetLoadedFrameNumber() : -1;
    if (frame >= 0) {
        m_frameZeroUs = GetTime() - (int64_t)frame * seq->seqStepTime * 1000;
    }
    m_lastFrame = frame;
    if (m_mode != LEADER || frame < 0) {
        return;
    }
    // Every frame in the show's first second, then every half second.
    int step = seq->seqStepTime;
    int64_t at = (int64_t)frame * step;
    int64_t slot = at < 1000 ? -1 - frame : at / 500;
    {
        std::lock_guard<std::mutex> l(m_lock);
        if (slot == m_lastPositionSlot) {
            return;
        }
        m_lastPositionSlot = slot;
    }
    m_channel.Send(position(Type::POSITION, seq->GetSequenceName()));
}

void SyncWiring::onPacket(const Packet& p, uint32_t from, int64_t arrivedUs) {
    std::lock_guard<std::mutex> l(m_lock);
    Board& b = m_boards[p.sender];
    b.address = from;
    b.lastSeenMs = GetTimeMS();
    if (p.type == Type::PRESENCE) {
        b.name = p.host;
        b.version = p.version;
        b.mode = p.mode;
        b.sequence = p.name;
        b.offsetUs = p.offsetUs;
        return;
    }
    if (p.type == Type::POSITION || p.type == Type::START || p.type == Type::OPEN) {
        b.sequence = p.name;
        b.mode = protocols::sync::Mode::LEADER;
    }
    if (m_mode == FOLLOWER) {
        follow(p, arrivedUs);
    }
}

void SyncWiring::follow(const Packet& p, int64_t arrivedUs) {
    m_leaderHeardMs = GetTimeMS();
    if (p.type == Type::PLUGIN) {
        PluginManager::INSTANCE.multiSyncData(p.data.data(), (int)p.data.size());
        return;
    }
    Sequence* seq = m_daemon->GetSequence();
    bool playing = seq && seq->IsSequenceRunning() && seq->GetSequenceName() == p.name;
    if (p.type != Type::POSITION || !playing || m_lastFrame < 0 || m_seekPending) {
        if (p.type == Type::POSITION && !m_seekPending && !playing) {
            m_seekPending = true; // not playing it (started late, or lost): start where the leader is
        } else if (p.type == Type::POSITION) {
            return;
        }
        m_actions.push_back({p.type, p.name, p.frame, p.stepMs, arrivedUs});
        return;
    }
    int64_t own = arrivedUs - m_frameZeroUs.load();
    int64_t target = (int64_t)p.frame * p.stepMs * 1000 + (int64_t)m_offsetMs * 1000;
    int64_t offset = own - target;
    m_offsetNowUs = offset;
    if (std::llabs(offset) > SEEK_BEYOND_US) {
        m_seekPending = true;
        m_integral = 0;
        m_actions.push_back({Type::POSITION, p.name, p.frame, p.stepMs, arrivedUs});
        return;
    }
    double dt = m_lastUpdateUs ? std::min(1.0, (arrivedUs - m_lastUpdateUs) / 1e6) : 0.0;
    m_lastUpdateUs = arrivedUs;
    double ms = offset / 1000.0;
    m_integral = std::max(-MAX_SLEW, std::min(MAX_SLEW, m_integral + KI * ms * dt));
    m_scale = 1.0 + std::max(-MAX_SLEW, std::min(MAX_SLEW, KP * ms + m_integral));
    m_daemon->GetOutputThread().SetPeriodScale(m_scale);
}

void SyncWiring::loop() {
    int64_t now = GetTimeMS();
    if (now - m_lastPresenceMs >= PRESENCE_MS) {
        m_lastPresenceMs = now;
        sendPresence();
    }
    if (m_mode != FOLLOWER) {
        return;
    }
    std::deque<Action> actions;
    {
        std::lock_guard<std::mutex> l(m_lock);
        actions.swap(m_actions);
    }
    for (const Action& a : actions) {
        act(a);
    }
    Sequence* seq = m_daemon->GetSequence();
    std::lock_guard<std::mutex> l(m_lock);
    if (!m_keepPlaying && seq && seq->IsSequenceRunning() && m_leaderHeardMs &&
        now - m_leaderHeardMs > LEADER_LOST_MS) {
        LogWarn(LOGCH_PLAYER, "Sync: no word from the leader for %lld s; stopping\n",
                (long long)(LEADER_LOST_MS / 1000));
        m_leaderHeardMs = 0;
        m_daemon->StopPlaying();
    }
}

void SyncWiring::act(const Action& a) {
    Sequence* seq = m_daemon->GetSequence();
    std::string error;
    auto lacks = [&](const std::string& name) {
        std::string dir = getTavoMediaDir("sequences");
        if (FileExists(dir + "/" + name)) {
            return false;
        }
        std::lock_guard<std::mutex> l(m_lock);
        if (m_missing != name) {
            m_missing = name;
            std::string w = "Sync: the leader plays " + name + ", which is not in this board's " + dir;
            LogWarn(LOGCH_PLAYER, "%s\n", w.c_str());
            WarningHolder::AddWarningTimeout(w, 60);
        }
        return true;
    };
    switch (a.type) {
    case Type::OPEN:
        if (lacks(a.name)) {
            m_daemon->StopPlaying();
        }
        return;
    case Type::START:
    case Type::POSITION: {
        if (lacks(a.name)) {
            m_daemon->StopPlaying();
            std::lock_guard<std::mutex> l(m_lock);
            m_seekPending = false;
            return;
        }
        // Where the leader is now: its frame when the packet came, and the time since.
        int step = a.stepMs ? a.stepMs : 25;
        int64_t sinceMs = (GetTime() - a.arrivedUs) / 1000 + m_offsetMs;
        int frame = std::max<int64_t>(0, (int64_t)a.frame + (a.type == Type::START ? 0 : sinceMs / step));
        bool playing = seq && seq->IsSequenceRunning() && seq->GetSequenceName() == a.name;
        if (!playing) {
            // Opened at the leader's frame: its first frame goes out at once, so an
            // open at the whole second before it would show that older frame first.
            Player::INSTANCE.SetStatus(PLAYER_STATUS_IDLE);
            if (!m_daemon->StartSequence(a.name, -1, error, false, frame)) {
                LogWarn(LOGCH_PLAYER, "Sync: %s\n", error.c_str());
            }
        } else if (frame > 0) {
            seq->SeekSequenceFile(frame);
        }
        std::lock_guard<std::mutex> l(m_lock);
        m_seeks += a.type == Type::POSITION;
        m_seekPending = false;
        m_integral = 0;
        m_lastUpdateUs = 0;
        return;
    }
    case Type::STOP:
    case Type::BLANK:
        m_daemon->StopPlaying();
        m_daemon->GetOutputThread().SetPeriodScale(1.0);
        return;
    default:
        return;
    }
}

void SyncWiring::sendPresence() {
    Packet p;
    p.type = Type::PRESENCE;
    p.mode = m_mode == LEADER ? protocols::sync::Mode::LEADER : protocols::sync::Mode::FOLLOWER;
    p.host = m_board.substr(0, 255);
    p.version = getTavoVersion();
    Sequence* seq = m_daemon->GetSequence();
    p.name = seq && seq->IsSequenceRunning() ? seq->GetSequenceName().substr(0, 255) : "";
    {
        std::lock_guard<std::mutex> l(m_lock);
        p.offsetUs = (int32_t)std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, m_offsetNowUs));
    }
    m_channel.Send(p);
}

Json::Value SyncWiring::Status() {
    Json::Value s(Json::objectValue);
    static const char* modes[] = {"off", "leader", "follower"};
    s["mode"] = modes[m_mode.load()];
    if (m_mode == OFF) {
        return s;
    }
    s["packetsSent"] = (Json::UInt64)m_channel.Sent();
    s["packetsReceived"] = (Json::UInt64)m_channel.Received();
    s["sendErrors"] = (Json::UInt64)m_channel.Refused();
    std::lock_guard<std::mutex> l(m_lock);
    int64_t now = GetTimeMS();
    Json::Value boards(Json::arrayValue);
    for (auto& e : m_boards) {
        const Board& b = e.second;
        Json::Value j(Json::objectValue);
        j["name"] = b.name;
        j["address"] = addressText(b.address);
        j["mode"] = modeName(b.mode);
        j["lastSeenMs"] = (Json::Int64)(now - b.lastSeenMs);
        j["sequence"] = b.sequence;
        if (b.mode == protocols::sync::Mode::FOLLOWER) {
            j["offsetMs"] = b.offsetUs / 1000.0;
        }
        boards.append(j);
    }
    s["boards"] = boards;
    if (m_mode == FOLLOWER) {
        s["offsetMs"] = m_offsetNowUs / 1000.0;
        s["slewPercent"] = (m_scale - 1.0) * 100.0;
        s["seeks"] = (Json::Int64)m_seeks;
        s["syncOffsetMs"] = m_offsetMs;
    }
    return s;
}

void SyncWiring::AddStatus(Json::Value& status) {
    status["sync"] = Status();
}
