// The host's MQTT client: one connection to a broker over libmosquitto, kept up in
// the background, that outputs and the daemon publish through.
//
// Nothing here waits for the broker: Start returns at once, the connection is made
// (and made again, with a growing delay, whenever it fails or drops) on the client's
// own thread "Tavo-MQTT", and PublishRaw only hands a message over. Messages handed
// over but not yet delivered are bounded: past the bound they are dropped and
// counted, so a broker that stops reading cannot make the client grow without end.
#pragma once

#include "host/core/MonotonicCondition.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

struct mosquitto;
struct mosquitto_message;

struct MosquittoSettings {
    std::string host; // empty: MQTT is off
    int port = 1883;
    std::string clientId;
    std::string username; // empty: connect without credentials
    std::string password;
    std::string caFile; // set: TLS, the broker's certificate checked against this CA
    std::string prefix; // tavod's own topics live under it: PREFIX/status, ...
    int keepAliveSeconds = 30;
    // Messages handed over and not yet delivered (acknowledged by the broker, or
    // written out for QoS 0) beyond which PublishRaw drops: about a second of 120
    // outputs changing every frame at 40 frames per second, a megabyte or two.
    size_t maxQueued = 5000;
    // The first delay before connecting again, doubled after each failure up to the maximum.
    int reconnectDelayMS = 500;
    int reconnectDelayMaxMS = 10000;
    // A connection that is not accepted within this time is given up and tried again.
    int connectTimeoutMS = 10000;

    // From the host settings "MQTTHost", "MQTTPort", "MQTTClientId", "MQTTUsername",
    // "MQTTPassword", "MQTTCaFile" and "MQTTPrefix". False with `error` set when a
    // value cannot be used; an empty host is not an error (MQTT is off).
    static bool FromHostSettings(MosquittoSettings& settings, std::string& error);
    // The host's name, for the default client id and prefix.
    static std::string DefaultHostName();
};

class MosquittoClient {
public:
    // Runs on the client's thread with the topic and payload of a received message.
    using MessageCallback = std::function<void(const std::string& topic, const std::string& payload)>;

    enum class State {
        Stopped,     // not started, or stopped
        Connecting,  // an attempt is under way
        Connected,   // the broker accepted us
        Unreachable, // the last attempt failed or the connection dropped; trying again
        Refused,     // the broker refused the connection (credentials); trying again
    };

    explicit MosquittoClient(const MosquittoSettings& settings);
    ~MosquittoClient();
    MosquittoClient(const MosquittoClient&) = delete;
    MosquittoClient& operator=(const MosquittoClient&) = delete;

    // Prepares libmosquitto (TLS files are read here) and starts the client's thread,
    // which connects in the background. False with `error` set when the settings
    // cannot be used; nothing then runs.
    bool Start(std::string& error);
    // Says "offline" on the status topic and lets queued messages go (for up to
    // `flushMS`) while connected, disconnects and ends the thread. Safe to call twice.
    void Stop(int flushMS = 2000);

    bool IsConnected() const { return m_state.load() == State::Connected; }
    State GetState() const { return m_state.load(); }
    static const char* StateName(State state);

    // Hands a message over for publishing. False (and counted) when it cannot be:
    // no connection, the queue is full, or libmosquitto refuses it (a topic with
    // wildcards, a bad QoS). Any thread; never waits for the network.
    bool PublishRaw(const std::string& topic, const std::string& message, bool retain, int qos);
    // PublishRaw to PREFIX/subTopic, for tavod's own topics. These few messages
    // may use a small reserve beyond the queue's bound, so that a queue filled by
    // outputs does not silence the daemon's status.
    bool Publish(const std::string& subTopic, const std::string& message, bool retain = true, int qos = 1);

    // Subscribes to `topic` (with QoS 1) now and after every reconnection; `callback`
    // runs on the client's thread for each message on it. Before or after Start.
    void AddCallback(const std::string& topic, MessageCallback callback);

    const MosquittoSettings& GetSettings() const { return m_settings; }
    const std::string& GetTopicPrefix() const { return m_settings.prefix; }
    // The retained availability topic: "online" while connected, "offline" after
    // Stop or, through the broker's last will, when the connection dies.
    std::string GetStatusTopic() const { return m_settings.prefix + "/status"; }
    // How many times a connection was accepted: changes on every (re)connection.
    uint64_t GetConnectionCount() const { return m_connections.load(); }
    // Messages handed over and not yet delivered.
    size_t GetQueuedCount();

    struct Stats {
        uint64_t published = 0; // handed to libmosquitto
        uint64_t delivered = 0; // acknowledged by the broker (QoS 0: written out)
        uint64_t dropped = 0;   // refused because the queue was full
        uint64_t failed = 0;    // refused for no connection or by libmosquitto
        uint64_t lost = 0;      // QoS 0 messages a dropped connection took with it
        uint64_t received = 0;  // messages on subscribed topics
        size_t queued = 0;
    };
    Stats GetStats();
    // State, broker, counters and the last problem, for /api/status.
    void GetStatus(Json::Value& status);
    // The last reason the connection failed or dropped; empty once connected.
    std::string GetLastError();

    // True when `topic` may be published to (not empty, no wildcards, valid UTF-8).
    static bool IsValidPublishTopic(const std::string& topic);

private:
    static void onConnect(struct mosquitto*, void* self, int rc);
    static void onDisconnect(struct mosquitto*, void* self, int rc);
    static void onPublish(struct mosquitto*, void* self, int mid);
    static void onMessage(struct mosquitto*, void* self, const struct mosquitto_message* msg);
    static void onLog(struct mosquitto*, void* self, int level, const char* text);

    void run();
    // One attempt: connect and serve the connection until it ends. The reason it
    // ended (empty when stopping).
    std::string connectAndServe();
    void connectionFailed(const std::string& reason, bool refused, bool wasConnected);
    void setWarning(const std::string& text);
    bool publish(const std::string& topic, const std::string& message, bool retain, int qos, size_t bound);
    std::string describe(int rc, int savedErrno);
    bool stopping() const { return m_stop.load(); }

    const MosquittoSettings m_settings;
    struct mosquitto* m_mosq = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stop{false};
    std::atomic<State> m_state{State::Stopped};
    std::atomic<uint64_t> m_connections{0};
    std::atomic<uint64_t> m_received{0};

    std::mutex m_waitLock; // with m_wake: the delay between attempts, cut short by Stop
    MonotonicCondition m_wake;

    std::mutex m_queueLock;       // guards every member down to m_queueChanged
    size_t m_queued = 0;          // slots taken: pending messages plus publishes under way
    std::map<int, int> m_pending; // message id -> QoS, handed over, not yet delivered
    std::set<int> m_early;        // ids delivered before their publisher recorded them
    uint64_t m_published = 0;
    uint64_t m_delivered = 0;
    uint64_t m_dropped = 0;
    uint64_t m_failed = 0;
    uint64_t m_lost = 0;
    MonotonicCondition m_queueChanged;

    std::mutex m_infoLock;          // guards the members down to m_callbacks
    std::string m_lastError;        // why the last attempt failed; empty while connected
    std::string m_warning;          // the user warning we raised, to remove it
    std::string m_libraryMessage;   // libmosquitto's last error message (TLS details)
    bool m_connectAnswered = false; // the broker answered this attempt (accepted or refused)
    bool m_refused = false;         // ... and refused it
    std::string m_refusal;
    std::vector<std::pair<std::string, MessageCallback>> m_callbacks;

    std::atomic<bool> m_dropLogged{false}; // one log line per run of dropped messages
};

// The host's client, owned by whoever set MQTT up (tavod); null when MQTT is not set up.
extern MosquittoClient* mqtt;
