// The web preview output: a small HTTP server of its own that streams the layout's
// changed pixels to browsers as server-sent events.
#pragma once

#include "PixelChangeEncoder.h"
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
    // Longest time one frame may wait for one browser whose socket is full; what is
    // left over waits in that connection's backlog, sent without further waiting.
    static constexpr int64_t FRAME_WRITE_BUDGET_US = 4000;
    // A browser further behind than this, or behind for longer, is dropped; its
    // EventSource reconnects and starts again from a full picture.
    static constexpr size_t MAX_BACKLOG_BYTES = 2u * 1024 * 1024;
    static constexpr int64_t MAX_BEHIND_US = 5 * 1000000;

    WebPreviewOutput(unsigned int startChannel, unsigned int channelCount);
    ~WebPreviewOutput() override;

    int Init(Json::Value config) override;
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
    const std::string& GetSSEData() const { return m_sseData; }

private:
    struct ConnectionState {
        std::string pending;     // bytes of the stream not yet taken by the socket
        int64_t behindSince = 0; // GetTime() when pending last became non-empty
        bool dropped = false;    // shut down; the select thread closes and removes it
    };

    std::string BuildResponseHeader() const;
    // All three: caller holds m_connectionLock.
    bool WriteChunk(int fd, const std::string& chunk);
    void FlushPending(int fd, ConnectionState& state, int64_t now);
    void DropConnection(int fd, ConnectionState& state, const char* why);
    void RemoveConnection(size_t index);

    int m_port = DEFAULT_PORT;
    int m_bufferSize = 0;
    int m_socket = -1;
    std::string m_sseData;
    std::atomic<bool> m_running{true};
    std::atomic<bool> m_connectionsChanged{true};
    std::unique_ptr<std::thread> m_connectionThread;
    std::unique_ptr<std::thread> m_selectThread;
    std::mutex m_connectionLock;
    std::vector<int> m_connections;                    // guarded by m_connectionLock
    std::map<int, ConnectionState> m_connectionStates; // guarded by m_connectionLock

    // Set by the connection thread; the output thread zeroes the preview buffer
    // itself before its next comparison, so a reset never tears one.
    std::atomic<bool> m_resetPreview{false};
    std::mutex m_hookLock; // guards m_acceptedHook
    std::function<void()> m_acceptedHook;
    PixelChangeEncoder m_encoder; // output thread only
    std::string m_changeData;     // output thread only: scratch for the event's data
};
