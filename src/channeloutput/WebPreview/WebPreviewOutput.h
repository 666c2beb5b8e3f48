// The web preview output: a small HTTP server of its own that streams the layout's
// changed pixels to browsers as server-sent events.
#pragma once

#include "PixelChangeEncoder.h"
#include "RequestWatch.h"
#include "host/output/ScreenPreviewBaseOutput.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class WebPreviewOutput;
void RunSelectThread(WebPreviewOutput* output);
void RunConnectionThread(WebPreviewOutput* output);

class WebPreviewOutput : public ScreenPreviewBaseOutput {
public:
    static constexpr int DEFAULT_PORT = 32328;
    // A browser further behind than this, or behind for longer, is dropped; its
    // EventSource reconnects and starts again from a full picture.
    static constexpr size_t MAX_BACKLOG_BYTES = 2u * 1024 * 1024;
    static constexpr int64_t MAX_BEHIND_US = 5 * 1000000;
    // Browsers served at once, and from one address; more are answered 503 and closed.
    static constexpr int DEFAULT_MAX_CONNECTIONS = 64;
    static constexpr int DEFAULT_MAX_PER_ADDRESS = 16;
    // At most one line a while about refused and dropped connections, so that a
    // flood of them does not flood the log too.
    static constexpr int64_t LIMIT_LOG_INTERVAL_US = 10 * 1000000;
    // A refused socket is kept this long at most for its client to read the 503 and
    // close, and no more than MAX_CLOSING of them at once (the oldest goes first).
    static constexpr int64_t REFUSED_LINGER_US = 2 * 1000000;
    static constexpr size_t MAX_CLOSING = 256;

    WebPreviewOutput(unsigned int startChannel, unsigned int channelCount);
    ~WebPreviewOutput() override;

    int Init(Json::Value config) override;
    bool CheckConfig(const Json::Value& config) override;
    int Close() override;
    void PrepData(unsigned char* channelData) override;
    int SendData(unsigned char* channelData) override;
    // The preview's size, its event-stream "port" and the "previewPage" that shows it.
    void GetStatus(Json::Value& status) override;

    // Writes `text` as one HTTP chunk. False when the connection was dropped.
    // Caller holds m_connectionLock.
    bool WriteSSEPacket(int fd, const std::string& text);
    void SelectThread();
    void ConnectionThread();

    // Test seam: called on the connection thread for each accepted browser, before
    // it joins the connections. An empty function removes it.
    void SetAcceptedHook(std::function<void()> hook);

    // The port browsers connect to; with "port" 0, the one the system chose.
    int GetPort() const { return m_port; }
    size_t GetConnectionCount();
    // Connections refused at the limits; and those dropped for what they sent (or did
    // not send in time) or for falling behind.
    uint64_t GetRefusedCount();
    // Connections whose request has not ended yet.
    size_t GetUnfinishedRequestCount();
    uint64_t GetDroppedCount();
    const std::string& GetSSEData() const { return m_sseData; }

private:
    struct ConnectionState {
        std::string pending;     // bytes of the stream not yet taken by the socket
        int64_t behindSince = 0; // GetTime() when pending last became non-empty
        bool dropped = false;    // shut down; the select thread closes and removes it
        bool started = false;    // has been sent a whole picture, so may be sent changes
        uint32_t address = 0;    // the browser's IPv4 address, network order
        int64_t openedUs = 0;    // GetTime() when it was accepted
        RequestWatch request;    // what it sent
    };

    // One frame's event handed from the output thread to the select thread.
    struct QueuedEvent {
        std::string chunk;     // the frame's changes; empty when it changed nothing visible
        bool full = false;     // a newcomer may start here, with fullChunk
        std::string fullChunk; // every lit pixel of the frame, for newcomers; empty when all are black
    };

    std::string BuildResponseHeader() const;
    // Select thread: writes the events queued by SendData to every browser.
    void SendQueuedEvents();
    // All three: caller holds m_connectionLock.
    bool WriteChunk(int fd, const std::string& chunk);
    void FlushPending(int fd, ConnectionState& state, int64_t now);
    // Any thread: the select thread looks at the queue and the connections now, not at
    // its next pass (a second away at most).
    void WakeSelectThread();
    void DropConnection(int fd, ConnectionState& state, const char* why, bool logIt = true);
    void DropForLimit(int fd, ConnectionState& state, RequestWatch::Verdict why);
    // A browser that does not keep up; counted with the drops for limits.
    void DropBehind(int fd, ConnectionState& state, const char* why);
    void RemoveConnection(size_t index);
    // Caller holds m_connectionLock. Empty when `address` may connect, else why not;
    // when the port is full, the oldest connection whose request is not complete is
    // dropped to make room.
    std::string RefusalReason(uint32_t address);
    void Refuse(int fd, const std::string& why);
    // Connection thread: reads refused sockets until their clients close (or their
    // time is up), then closes them; `all` closes every one.
    void DrainClosing(bool all);
    // Caller holds m_connectionLock.
    void LogLimit(const std::string& what);

    int m_port = DEFAULT_PORT;
    int m_bufferSize = 0;
    int m_socket = -1;
    int m_wakeFd = -1;      // eventfd the select thread also waits on
    std::string m_sseData;  // the frame's changes, for the browsers already watching
    std::string m_fullData; // output thread only: the frame's whole picture, for newcomers
    bool m_sseFull = false; // output thread only: m_fullData was made for this frame
    std::atomic<bool> m_running{true};
    std::atomic<bool> m_connectionsChanged{true};
    std::unique_ptr<std::thread> m_connectionThread;
    std::unique_ptr<std::thread> m_selectThread;
    std::mutex m_connectionLock;
    std::vector<int> m_connections;                    // guarded by m_connectionLock
    std::map<int, ConnectionState> m_connectionStates; // guarded by m_connectionLock
    std::atomic<bool> m_hasConnections{false};         // m_connections is not empty
    std::mutex m_outboxLock;
    std::vector<QueuedEvent> m_outbox; // guarded by m_outboxLock
    size_t m_outboxBytes = 0;          // guarded by m_outboxLock
    bool m_outboxOverflowed = false;   // guarded by m_outboxLock
    int64_t m_requestTimeoutUs = RequestWatch::HEAD_TIMEOUT_US;
    int m_maxConnections = DEFAULT_MAX_CONNECTIONS;
    int m_maxPerAddress = DEFAULT_MAX_PER_ADDRESS;
    uint64_t m_refused = 0;        // guarded by m_connectionLock
    uint64_t m_droppedByLimit = 0; // guarded by m_connectionLock
    int64_t m_lastLimitLogUs = 0;  // guarded by m_connectionLock
    uint64_t m_limitsUnlogged = 0; // guarded by m_connectionLock
    // Refused sockets and when they are closed at the latest; connection thread only.
    std::vector<std::pair<int, int64_t>> m_closing;

    // Set by the connection thread when a browser joins; the output thread then
    // makes the next frame's whole picture too, beside its changes.
    std::atomic<bool> m_resetPreview{false};
    std::mutex m_hookLock; // guards m_acceptedHook
    std::function<void()> m_acceptedHook;
    PixelChangeEncoder m_encoder; // output thread only
    // Output thread only: the colours a newcomer has been sent (none) before its first picture.
    std::vector<unsigned char> m_newcomerPreview;
    std::string m_changeData; // output thread only: scratch for the event's data
};
