// The host's MQTT client over libmosquitto.
//
// The client runs its own loop (mosquitto_loop on "Tavo-MQTT") rather than
// libmosquitto's mosquitto_loop_forever: that one gives up for good on a name that
// does not resolve or a failed TLS handshake, which on a board that boots before
// its network or its broker would leave MQTT dead until a restart.
#include "host/mqtt/MosquittoClient.h"

#include "host/core/Common.h"
#include "host/core/Log.h"
#include "host/core/Settings.h"
#include "host/core/Warnings.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

MosquittoClient* mqtt = nullptr;

namespace {

// Room beyond the bound for tavod's own topics (status, command results).
const size_t OWN_TOPICS_RESERVE = 64;
// How long one mosquitto_loop round may wait for the socket: the longest a stop
// or a connection time-out goes unnoticed.
const int LOOP_WAIT_MS = 500;

std::once_flag libraryInit;

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) {
        return "";
    }
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// The refusal codes of a CONNACK (MQTT 3.1.1), as a user reads them.
std::string refusalText(int rc) {
    switch (rc) {
    case 1:
        return "it does not speak MQTT 3.1.1";
    case 2:
        return "it rejected the client id";
    case 3:
        return "the broker is unavailable";
    case 4:
        return "bad user name or password";
    case 5:
        return "not authorised";
    default:
        return "refusal code " + std::to_string(rc);
    }
}

} // namespace

std::string MosquittoSettings::DefaultHostName() {
    std::string name = getSetting("HostName");
    if (name.empty()) {
        char buf[256] = {0};
        if (gethostname(buf, sizeof(buf) - 1) == 0) {
            name = buf;
        }
    }
    // Only what is safe in a client id and a topic level.
    std::string safe;
    for (char c : name) {
        if (isalnum((unsigned char)c) || c == '-' || c == '_' || c == '.') {
            safe += c;
        }
    }
    return safe.empty() ? "tavo" : safe;
}

bool MosquittoSettings::FromHostSettings(MosquittoSettings& s, std::string& error) {
    s = MosquittoSettings();
    s.host = trim(getSetting("MQTTHost"));
    if (s.host.empty()) {
        return true;
    }
    std::string port = trim(getSetting("MQTTPort", "1883"));
    char* end = nullptr;
    errno = 0;
    long p = port.empty() ? 1883 : strtol(port.c_str(), &end, 10);
    if (!port.empty() && (errno != 0 || *end != 0 || p < 1 || p > 65535)) {
        error = "MQTTPort \"" + port + "\" is not a TCP port (1 to 65535)";
        return false;
    }
    s.port = (int)p;
    s.clientId = trim(getSetting("MQTTClientId"));
    if (s.clientId.empty()) {
        s.clientId = "tavod-" + DefaultHostName();
    }
    s.username = getSetting("MQTTUsername");
    s.password = getSetting("MQTTPassword");
    s.caFile = trim(getSetting("MQTTCaFile"));
    if (!s.caFile.empty() && access(s.caFile.c_str(), R_OK) != 0) {
        error = "MQTTCaFile " + s.caFile + " cannot be read: " + strerror(errno);
        return false;
    }
    s.prefix = trim(getSetting("MQTTPrefix"));
    if (s.prefix.empty()) {
        s.prefix = "tavo/" + DefaultHostName();
    }
    while (!s.prefix.empty() && s.prefix.back() == '/') {
        s.prefix.pop_back();
    }
    if (s.prefix.empty() || !MosquittoClient::IsValidPublishTopic(s.prefix + "/status")) {
        error = "MQTTPrefix \"" + getSetting("MQTTPrefix") +
                "\" cannot start a topic (no '+' or '#', not empty); for example tavo/stage";
        return false;
    }
    return true;
}

MosquittoClient::MosquittoClient(const MosquittoSettings& settings) : m_settings(settings) {}

MosquittoClient::~MosquittoClient() {
    Stop();
    if (m_mosq) {
        mosquitto_destroy(m_mosq);
        m_mosq = nullptr;
    }
}

const char* MosquittoClient::StateName(State state) {
    switch (state) {
    case State::Stopped:
        return "stopped";
    case State::Connecting:
        return "connecting";
    case State::Connected:
        return "connected";
    case State::Unreachable:
        return "unreachable";
    case State::Refused:
        return "refused";
    }
    return "unknown";
}

bool MosquittoClient::IsValidPublishTopic(const std::string& topic) {
    return !topic.empty() && mosquitto_pub_topic_check(topic.c_str()) == MOSQ_ERR_SUCCESS &&
           mosquitto_validate_utf8(topic.c_str(), (int)topic.size()) == MOSQ_ERR_SUCCESS;
}

bool MosquittoClient::Start(std::string& error) {
    if (m_running) {
        return true;
    }
    if (m_settings.host.empty()) {
        error = "no broker is set (MQTTHost)";
        return false;
    }
    std::call_once(libraryInit, [] { mosquitto_lib_init(); });
    if (!m_mosq) {
        m_mosq = mosquitto_new(m_settings.clientId.c_str(), true, this);
        if (!m_mosq) {
            error = std::string("libmosquitto cannot make a client: ") + strerror(errno);
            return false;
        }
    }
    // Publishing happens on other threads: libmosquitto must lock, and leave the
    // socket to our loop (it wakes the loop through its own socket pair).
    mosquitto_threaded_set(m_mosq, true);
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // Enough QoS 1 messages on the wire for many outputs changing every frame.
    mosquitto_max_inflight_messages_set(m_mosq, 100);
    mosquitto_connect_callback_set(m_mosq, &MosquittoClient::onConnect);
    mosquitto_disconnect_callback_set(m_mosq, &MosquittoClient::onDisconnect);
    mosquitto_publish_callback_set(m_mosq, &MosquittoClient::onPublish);
    mosquitto_message_callback_set(m_mosq, &MosquittoClient::onMessage);
    mosquitto_log_callback_set(m_mosq, &MosquittoClient::onLog);

    int rc =
        mosquitto_username_pw_set(m_mosq, m_settings.username.empty() ? nullptr : m_settings.username.c_str(),
                                  m_settings.password.empty() ? nullptr : m_settings.password.c_str());
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("the user name cannot be used: ") + mosquitto_strerror(rc);
        return false;
    }
    std::string status = GetStatusTopic();
    rc = mosquitto_will_set(m_mosq, status.c_str(), 7, "offline", 1, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = "the status topic " + status + " cannot be used: " + mosquitto_strerror(rc);
        return false;
    }
    if (!m_settings.caFile.empty()) {
        rc = mosquitto_tls_set(m_mosq, m_settings.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "MQTTCaFile " + m_settings.caFile + " cannot be used: " + mosquitto_strerror(rc);
            return false;
        }
    }
    LogInfo(LOGCH_GENERAL, "MQTT: connecting to %s:%d%s as %s in the background\n", m_settings.host.c_str(),
            m_settings.port, m_settings.caFile.empty() ? "" : " with TLS", m_settings.clientId.c_str());
    m_stop = false;
    m_running = true;
    m_state = State::Connecting;
    m_thread = std::thread(&MosquittoClient::run, this);
    return true;
}

void MosquittoClient::Stop(int flushMS) {
    if (!m_running.exchange(false)) {
        return;
    }
    bool wasConnected = IsConnected();
    if (wasConnected) {
        publish(GetStatusTopic(), "offline", true, 1, m_settings.maxQueued + OWN_TOPICS_RESERVE);
        std::unique_lock<std::mutex> l(m_queueLock);
        m_queueChanged.wait_for(l, std::chrono::milliseconds(flushMS),
                                [this] { return m_queued == 0 || !IsConnected(); });
    }
    {
        std::lock_guard<std::mutex> l(m_waitLock);
        m_stop = true;
    }
    m_wake.notify_all();
    // Sends DISCONNECT (no last will then) and wakes the loop.
    mosquitto_disconnect(m_mosq);
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_state = State::Stopped;
    setWarning("");
    if (wasConnected) {
        LogInfo(LOGCH_GENERAL, "MQTT: disconnected from %s:%d\n", m_settings.host.c_str(), m_settings.port);
    } else {
        LogInfo(LOGCH_GENERAL, "MQTT: stopped; it was not connected to %s:%d\n", m_settings.host.c_str(),
                m_settings.port);
    }
}

void MosquittoClient::run() {
    SetThreadName("Tavo-MQTT");
    int delay = m_settings.reconnectDelayMS;
    while (!stopping()) {
        uint64_t before = m_connections.load();
        std::string reason = connectAndServe();
        if (stopping()) {
            break;
        }
        bool refused;
        {
            std::lock_guard<std::mutex> l(m_infoLock);
            refused = m_refused;
        }
        bool wasConnected = m_connections.load() != before;
        if (wasConnected) {
            delay = m_settings.reconnectDelayMS; // it worked a moment ago: try again soon
        }
        connectionFailed(reason, refused, wasConnected);
        std::unique_lock<std::mutex> l(m_waitLock);
        m_wake.wait_for(l, std::chrono::milliseconds(delay), [this] { return stopping(); });
        delay = std::min(delay * 2, std::max(m_settings.reconnectDelayMS, m_settings.reconnectDelayMaxMS));
    }
}

std::string MosquittoClient::connectAndServe() {
    {
        std::lock_guard<std::mutex> l(m_infoLock);
        m_connectAnswered = false;
        m_refused = false;
        m_refusal.clear();
        m_libraryMessage.clear();
    }
    if (m_state.load() != State::Refused && m_state.load() != State::Unreachable) {
        m_state = State::Connecting;
    }
    errno = 0;
    int rc = mosquitto_connect_async(m_mosq, m_settings.host.c_str(), m_settings.port,
                                     m_settings.keepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        return describe(rc, errno);
    }
    int64_t deadline = GetTimeMS() + m_settings.connectTimeoutMS;
    while (!stopping()) {
        errno = 0;
        rc = mosquitto_loop(m_mosq, LOOP_WAIT_MS, 1);
        int savedErrno = errno;
        if (stopping()) {
            break;
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            return describe(rc, savedErrno);
        }
        if (!IsConnected() && GetTimeMS() > deadline) {
            bool answered;
            {
                std::lock_guard<std::mutex> l(m_infoLock);
                answered = m_connectAnswered;
            }
            if (!answered) {
                char text[64];
                snprintf(text, sizeof(text), "no answer within %.1f s", m_settings.connectTimeoutMS / 1000.0);
                return text;
            }
        }
    }
    return "";
}

std::string MosquittoClient::describe(int rc, int savedErrno) {
    std::string library;
    {
        std::lock_guard<std::mutex> l(m_infoLock);
        if (m_refused) {
            return m_refusal;
        }
        library = m_libraryMessage;
    }
    switch (rc) {
    case MOSQ_ERR_ERRNO:
        return savedErrno ? strerror(savedErrno) : "the connection failed";
    case MOSQ_ERR_EAI:
        return "the host name " + m_settings.host + " cannot be resolved";
    case MOSQ_ERR_TLS:
        return "the TLS handshake failed (check MQTTCaFile and that the broker's certificate names " +
               m_settings.host + ")" + (library.empty() ? "" : ": " + library);
    case MOSQ_ERR_CONN_LOST:
        return "the connection was lost";
    case MOSQ_ERR_NO_CONN:
        return "the connection was closed";
    case MOSQ_ERR_KEEPALIVE:
        return "the broker stopped answering";
    case MOSQ_ERR_PROTOCOL:
        return "the broker broke the MQTT protocol";
    default:
        return mosquitto_strerror(rc);
    }
}

void MosquittoClient::connectionFailed(const std::string& reason, bool refused, bool wasConnected) {
    std::string where = m_settings.host + ":" + std::to_string(m_settings.port);
    std::string warning;
    std::string hint;
    if (refused) {
        hint = reason.find("client id") != std::string::npos ? "check MQTTClientId"
                                                             : "check MQTTUsername and MQTTPassword";
        warning = "MQTT broker " + where + " refused the connection (" + reason + "): " + hint;
    } else {
        warning = "MQTT broker " + where + " cannot be reached: " + reason;
    }
    bool sameAsBefore;
    {
        std::lock_guard<std::mutex> l(m_infoLock);
        m_lastError = reason;
        sameAsBefore = warning == m_warning;
    }
    if (sameAsBefore) {
        LogDebug(LOGCH_GENERAL, "MQTT: %s:%d still %s: %s\n", m_settings.host.c_str(), m_settings.port,
                 refused ? "refuses" : "unreachable", reason.c_str());
    } else if (refused) {
        LogErr(LOGCH_GENERAL,
               "MQTT broker %s refused the connection: %s; %s (trying again in the background)\n",
               where.c_str(), reason.c_str(), hint.c_str());
    } else if (wasConnected) {
        LogWarn(LOGCH_GENERAL, "MQTT connection to %s dropped: %s; connecting again in the background\n",
                where.c_str(), reason.c_str());
    } else {
        LogWarn(LOGCH_GENERAL, "MQTT broker %s cannot be reached: %s; trying again in the background\n",
                where.c_str(), reason.c_str());
    }
    setWarning(warning);
    // Last: whoever sees the client refused or unreachable finds the reason and the warning.
    m_state = refused ? State::Refused : State::Unreachable;
}

void MosquittoClient::setWarning(const std::string& text) {
    std::string old;
    {
        std::lock_guard<std::mutex> l(m_infoLock);
        if (text == m_warning) {
            return;
        }
        old = m_warning;
        m_warning = text;
    }
    if (!old.empty()) {
        WarningHolder::RemoveWarning(old);
    }
    if (!text.empty()) {
        WarningHolder::AddWarning(text);
    }
}

void MosquittoClient::onConnect(struct mosquitto*, void* self, int rc) {
    MosquittoClient* c = static_cast<MosquittoClient*>(self);
    if (rc != 0) {
        std::lock_guard<std::mutex> l(c->m_infoLock);
        c->m_connectAnswered = true;
        c->m_refused = true;
        c->m_refusal = refusalText(rc);
        return;
    }
    std::vector<std::string> topics;
    {
        std::lock_guard<std::mutex> l(c->m_infoLock);
        c->m_connectAnswered = true;
        c->m_lastError.clear();
        for (auto& cb : c->m_callbacks) {
            topics.push_back(cb.first);
        }
    }
    {
        // libmosquitto threw away the QoS 0 messages of the old connection when it
        // connected again (QoS 1 ones it sends again): they will never be reported.
        std::lock_guard<std::mutex> l(c->m_queueLock);
        for (auto it = c->m_pending.begin(); it != c->m_pending.end();) {
            if (it->second == 0) {
                it = c->m_pending.erase(it);
                c->m_queued--;
                c->m_lost++;
            } else {
                ++it;
            }
        }
        c->m_early.clear();
    }
    c->m_queueChanged.notify_all();
    uint64_t n = ++c->m_connections;
    c->setWarning("");
    LogInfo(LOGCH_GENERAL, "MQTT: connected to %s:%d%s\n", c->m_settings.host.c_str(), c->m_settings.port,
            n > 1 ? " again" : "");
    // Last: whoever sees the client connected finds the warning gone and the line logged.
    c->m_state = State::Connected;
    for (const std::string& t : topics) {
        mosquitto_subscribe(c->m_mosq, nullptr, t.c_str(), 1);
    }
    c->publish(c->GetStatusTopic(), "online", true, 1, c->m_settings.maxQueued + OWN_TOPICS_RESERVE);
}

void MosquittoClient::onDisconnect(struct mosquitto*, void* self, int) {
    MosquittoClient* c = static_cast<MosquittoClient*>(self);
    // At once, so outputs stop handing over frames; the loop says why.
    State expected = State::Connected;
    c->m_state.compare_exchange_strong(expected, State::Unreachable);
    c->m_queueChanged.notify_all();
}

void MosquittoClient::onPublish(struct mosquitto*, void* self, int mid) {
    MosquittoClient* c = static_cast<MosquittoClient*>(self);
    {
        std::lock_guard<std::mutex> l(c->m_queueLock);
        auto it = c->m_pending.find(mid);
        if (it != c->m_pending.end()) {
            c->m_pending.erase(it);
            c->m_queued--;
            c->m_delivered++;
        } else {
            // Its publisher has not recorded the id yet.
            c->m_early.insert(mid);
        }
        if (c->m_queued <= c->m_settings.maxQueued / 2) {
            c->m_dropLogged = false;
        }
    }
    c->m_queueChanged.notify_all();
}

void MosquittoClient::onMessage(struct mosquitto*, void* self, const struct mosquitto_message* msg) {
    MosquittoClient* c = static_cast<MosquittoClient*>(self);
    if (!msg || !msg->topic) {
        return;
    }
    c->m_received++;
    std::string payload;
    if (msg->payload && msg->payloadlen > 0) {
        payload.assign(static_cast<const char*>(msg->payload), (size_t)msg->payloadlen);
    }
    std::vector<MessageCallback> matching;
    {
        std::lock_guard<std::mutex> l(c->m_infoLock);
        for (auto& cb : c->m_callbacks) {
            bool match = false;
            if (mosquitto_topic_matches_sub(cb.first.c_str(), msg->topic, &match) == MOSQ_ERR_SUCCESS &&
                match) {
                matching.push_back(cb.second);
            }
        }
    }
    for (auto& cb : matching) {
        cb(msg->topic, payload);
    }
}

void MosquittoClient::onLog(struct mosquitto*, void* self, int level, const char* text) {
    MosquittoClient* c = static_cast<MosquittoClient*>(self);
    if (!text) {
        return;
    }
    if (level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) {
        std::lock_guard<std::mutex> l(c->m_infoLock);
        c->m_libraryMessage = text;
    }
    LogExcess(LOGCH_GENERAL, "libmosquitto: %s\n", text);
}

void MosquittoClient::AddCallback(const std::string& topic, MessageCallback callback) {
    {
        std::lock_guard<std::mutex> l(m_infoLock);
        m_callbacks.emplace_back(topic, std::move(callback));
    }
    if (IsConnected()) {
        mosquitto_subscribe(m_mosq, nullptr, topic.c_str(), 1);
    }
}

bool MosquittoClient::PublishRaw(const std::string& topic, const std::string& message, bool retain, int qos) {
    if (!m_running) {
        std::lock_guard<std::mutex> l(m_queueLock);
        m_failed++;
        return false;
    }
    return publish(topic, message, retain, qos, m_settings.maxQueued);
}

bool MosquittoClient::Publish(const std::string& subTopic, const std::string& message, bool retain, int qos) {
    if (!m_running) {
        std::lock_guard<std::mutex> l(m_queueLock);
        m_failed++;
        return false;
    }
    return publish(m_settings.prefix + "/" + subTopic, message, retain, qos,
                   m_settings.maxQueued + OWN_TOPICS_RESERVE);
}

bool MosquittoClient::publish(const std::string& topic, const std::string& message, bool retain, int qos,
                              size_t bound) {
    if (!m_mosq || !IsConnected()) {
        std::lock_guard<std::mutex> l(m_queueLock);
        m_failed++;
        return false;
    }
    {
        std::lock_guard<std::mutex> l(m_queueLock);
        if (m_queued >= bound) {
            m_dropped++;
            if (!m_dropLogged.exchange(true)) {
                LogWarn(
                    LOGCH_GENERAL,
                    "MQTT: %zu messages are waiting for the broker %s:%d, the most kept; dropping messages "
                    "until it catches up\n",
                    m_queued, m_settings.host.c_str(), m_settings.port);
            }
            return false;
        }
        m_queued++;
    }
    int mid = 0;
    int rc = mosquitto_publish(m_mosq, &mid, topic.c_str(), (int)message.size(), message.data(), qos, retain);
    // A QoS 1 or 2 message refused for want of a connection stays in libmosquitto,
    // which sends it once connected again: it is queued all the same.
    bool kept = rc == MOSQ_ERR_SUCCESS || (rc == MOSQ_ERR_NO_CONN && qos > 0);
    {
        std::lock_guard<std::mutex> l(m_queueLock);
        if (!kept) {
            m_queued--;
            m_failed++;
        } else {
            m_published++;
            if (m_early.erase(mid)) {
                m_queued--;
                m_delivered++;
            } else {
                m_pending[mid] = qos;
            }
        }
    }
    if (!kept) {
        m_queueChanged.notify_all();
        if (rc != MOSQ_ERR_NO_CONN) {
            LogWarn(LOGCH_GENERAL, "MQTT: cannot publish to %s: %s\n", topic.c_str(), mosquitto_strerror(rc));
        }
    }
    return kept;
}

size_t MosquittoClient::GetQueuedCount() {
    std::lock_guard<std::mutex> l(m_queueLock);
    return m_queued;
}

MosquittoClient::Stats MosquittoClient::GetStats() {
    Stats s;
    std::lock_guard<std::mutex> l(m_queueLock);
    s.published = m_published;
    s.delivered = m_delivered;
    s.dropped = m_dropped;
    s.failed = m_failed;
    s.lost = m_lost;
    s.queued = m_queued;
    s.received = m_received.load();
    return s;
}

std::string MosquittoClient::GetLastError() {
    std::lock_guard<std::mutex> l(m_infoLock);
    return m_lastError;
}

void MosquittoClient::GetStatus(Json::Value& status) {
    Stats s = GetStats();
    status["state"] = StateName(GetState());
    status["connected"] = IsConnected();
    status["host"] = m_settings.host;
    status["port"] = m_settings.port;
    status["tls"] = !m_settings.caFile.empty();
    status["clientId"] = m_settings.clientId;
    status["prefix"] = m_settings.prefix;
    status["connections"] = (Json::UInt64)GetConnectionCount();
    status["published"] = (Json::UInt64)s.published;
    status["delivered"] = (Json::UInt64)s.delivered;
    status["queued"] = (Json::UInt64)s.queued;
    status["maxQueued"] = (Json::UInt64)m_settings.maxQueued;
    status["dropped"] = (Json::UInt64)s.dropped;
    status["failed"] = (Json::UInt64)s.failed;
    status["lost"] = (Json::UInt64)s.lost;
    status["received"] = (Json::UInt64)s.received;
    status["lastError"] = GetLastError();
}
