// Many boards playing one show ("syncMode"): a leader sends what its engine opens,
// starts, stops and blanks, its position (every frame for the first second of a
// show, then every half second) and its presence; followers play the same
// sequence from their own media folder and keep their position on the leader's.
//
// A follower measures, at each position packet's arrival, its own show time (its
// last frame's time plus the time since that frame went out) against the leader's
// frame time plus "syncOffsetMs". Beyond 1 s it seeks; below, it slews its output
// thread's period (a PI controller, at most 3 %) so that the offset goes to zero
// and a clock that runs fast or slow is made up for. A follower that hears no
// leader for 10 s stops ("syncKeepPlaying": plays on); one that lacks the
// sequence warns and blanks.
#pragma once

#include "host/player/MultiSync.h"
#include "host/sync/SyncChannel.h"

#include <httpserver.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include <json/json.h>

class Daemon;
class HttpApi;

class SyncWiring {
public:
    // After the outputs and the HTTP API are made, on the main thread; false when
    // the settings are wrong (logged).
    bool Start(Daemon& daemon);
    // At shutdown, before the sequence closes; safe to call twice.
    void Stop(Daemon& daemon);
    // "sync" of /api/status and the body of GET /api/sync; any thread.
    void AddStatus(Json::Value& status);
    Json::Value Status();
    // After every frame, on the output thread.
    void FrameDone();

private:
    enum Mode { OFF, LEADER, FOLLOWER };
    struct Board {
        std::string name, version, sequence;
        uint32_t address = 0;
        protocols::sync::Mode mode = protocols::sync::Mode::OFF;
        int64_t lastSeenMs = 0;
        int32_t offsetUs = 0;
    };
    // What the follower does on the main loop.
    struct Action {
        protocols::sync::Type type;
        std::string name;
        uint32_t frame;
        uint16_t stepMs;
        int64_t arrivedUs;
    };

    void onEngineEvent(MultiSync::Event event, const std::string& name);
    void onPacket(const protocols::sync::Packet& p, uint32_t from, int64_t arrivedUs);
    void follow(const protocols::sync::Packet& p, int64_t arrivedUs); // sync thread, m_lock held
    void loop();                                                      // main loop
    void act(const Action& a);                                        // main loop
    void sendPresence();
    protocols::sync::Packet position(protocols::sync::Type type, const std::string& name);

    class Resource : public httpserver::http_resource {
    public:
        explicit Resource(SyncWiring& wiring);
        std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request&) override;

    private:
        SyncWiring& m_wiring;
    };

    Daemon* m_daemon = nullptr;
    HttpApi* m_http = nullptr;
    Resource m_resource{*this};
    std::atomic<Mode> m_mode{OFF};
    int m_offsetMs = 0;
    bool m_keepPlaying = false;
    tavosync::Channel m_channel;
    int m_hookId = -1;
    std::string m_board;

    std::mutex m_lock; // guards everything below
    std::map<uint32_t, Board> m_boards;
    std::deque<Action> m_actions;
    int64_t m_lastPresenceMs = 0;
    int64_t m_leaderHeardMs = 0;
    // Follower: the measured offset (us, positive: ahead of the leader), the period
    // scale it set, the controller's integral, and the time of its last update.
    int64_t m_offsetNowUs = 0;
    double m_scale = 1.0;
    double m_integral = 0.0;
    int64_t m_lastUpdateUs = 0;
    bool m_seekPending = false;
    long long m_seeks = 0;
    std::string m_missing; // the sequence the leader plays that this board lacks

    // Written after each frame on the output thread, read by the others: the last
    // frame, and when frame 0 would have gone out had every frame taken its step
    // (the last frame's time less its show time). One value for both, so that a
    // reader never pairs a frame with the next frame's time.
    std::atomic<int> m_lastFrame{-1};
    std::atomic<int64_t> m_frameZeroUs{0};
    // Leader: the last half-second slot a position went out for.
    int64_t m_lastPositionSlot = -1;
};
