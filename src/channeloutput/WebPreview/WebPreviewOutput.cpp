// The web preview output's server: listening socket, connection and select threads,
// the event-stream response and chunked writing.
#include "WebPreviewOutput.h"

#include "host/core/ConfigKeys.h"
#include "host/core/Common.h"
#include "host/core/ListenSockets.h"
#include "host/core/Log.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

// Event number, one counter for every web preview output of the process.
static std::atomic<uint64_t> id{0};

WebPreviewOutput::WebPreviewOutput(unsigned int startChannel, unsigned int channelCount)
    : ScreenPreviewBaseOutput(startChannel, channelCount) {
    LogDebug(LOGCH_CHANNELOUT, "WebPreviewOutput::WebPreviewOutput(%u, %u)\n", startChannel, channelCount);
    m_bytesPerPixel = 3;
    m_bitsPerPixel = 24;
}

WebPreviewOutput::~WebPreviewOutput() {
    LogDebug(LOGCH_CHANNELOUT, "WebPreviewOutput::~WebPreviewOutput()\n");
    Close();
    m_running = false;
    WakeSelectThread();
    if (m_connectionThread) {
        m_connectionThread->join();
        m_connectionThread.reset();
    }
    if (m_selectThread) {
        m_selectThread->join();
        m_selectThread.reset();
    }
    for (size_t i = m_connections.size(); i > 0; i--) {
        close(m_connections[i - 1]);
    }
    m_connections.clear();
    m_hasConnections = false;
    m_connectionStates.clear();
    if (m_socket >= 0) {
        close(m_socket);
        m_socket = -1;
    }
    if (m_wakeFd >= 0) {
        close(m_wakeFd);
        m_wakeFd = -1;
    }
}

int WebPreviewOutput::Init(Json::Value config) {
    LogDebug(LOGCH_CHANNELOUT, "WebPreviewOutput::Init()\n");
    if (!CheckConfig(config)) {
        return 0;
    }
    if (m_socket >= 0 || m_connectionThread) {
        LogErr(LOGCH_CHANNELOUT, "WebPreviewOutput::Init called twice\n");
        return 0;
    }
    if (!ScreenPreviewBaseOutput::Init(config)) {
        return 0;
    }
    if (config.isMember("port")) {
        const Json::Value& p = config["port"];
        if (!p.isInt() || p.asInt() < 0 || p.asInt() > 65535) {
            LogErr(LOGCH_CHANNELOUT,
                   "Web preview \"port\" must be a TCP port from 1 to 65535, or 0 for any free one\n");
            return 0;
        }
        m_port = p.asInt();
    }
    for (auto limit : {std::make_pair("maxConnections", &m_maxConnections),
                       std::make_pair("maxConnectionsPerAddress", &m_maxPerAddress)}) {
        if (!config.isMember(limit.first)) {
            continue;
        }
        const Json::Value& v = config[limit.first];
        if (!v.isInt() || v.asInt() < 1 || v.asInt() > 1000) {
            LogErr(LOGCH_CHANNELOUT, "Web preview \"%s\" must be a whole number from 1 to 1000\n",
                   limit.first);
            return 0;
        }
        *limit.second = v.asInt();
    }
    if (config.isMember("requestTimeout")) {
        const Json::Value& v = config["requestTimeout"];
        if (!v.isInt() || v.asInt() < 1 || v.asInt() > 3600) {
            LogErr(LOGCH_CHANNELOUT, "Web preview \"requestTimeout\" must be whole seconds from 1 to 3600\n");
            return 0;
        }
        m_requestTimeoutUs = (int64_t)v.asInt() * 1000000;
    }

    m_previewWidth = -1;
    m_previewHeight = -1;
    if (!InitializePixelMap()) {
        LogErr(LOGCH_CHANNELOUT, "Error, unable to initialize pixel map\n");
        return 0;
    }
    m_bufferSize = m_previewWidth * m_previewHeight * 3;
    memset(m_previewBuffer, 0, (size_t)m_bufferSize);
    m_encoder.SetLayout(m_pixels, m_previewY0);
    if (m_previewY0 > 4095) {
        // A 4-character position carries 12 bits of height.
        LogWarn(LOGCH_CHANNELOUT,
                "Web preview layout is %d rows high: rows above 4096 of pixels left of x 4095 show wrapped\n",
                m_previewHeight);
    }

    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        LogErr(LOGCH_CHANNELOUT, "Could not create the preview server's wake-up descriptor: %s\n",
               strerror(errno));
        return 0;
    }
    m_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_socket < 0) {
        LogErr(LOGCH_CHANNELOUT, "Could not create socket: %s\n", strerror(errno));
        return 0;
    }
    fcntl(m_socket, F_SETFL, fcntl(m_socket, F_GETFL, 0) | O_NONBLOCK);

    int on = 1;
    if (setsockopt(m_socket, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)) < 0) {
        LogErr(LOGCH_CHANNELOUT, "Error turning on SO_REUSEPORT; %s\n", strerror(errno));
        return 0;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons((uint16_t)m_port);
    if (bind(m_socket, (struct sockaddr*)&addr, sizeof(addr)) < 0) {
        LogErr(LOGCH_CHANNELOUT, "Could not bind socket: %s\n", strerror(errno));
        return 0;
    }
    if (listen(m_socket, 5) < 0) {
        LogErr(LOGCH_CHANNELOUT, "Could not listen on socket: %s\n", strerror(errno));
        return 0;
    }
    if (m_port == 0) {
        m_port = GetSocketPort(m_socket);
        LogInfo(LOGCH_CHANNELOUT, "Web preview listening on port %d\n", m_port);
    }

    m_connectionThread.reset(new std::thread(RunConnectionThread, this));
    m_selectThread.reset(new std::thread(RunSelectThread, this));
    return 1;
}

void WebPreviewOutput::GetStatus(Json::Value& status) {
    ScreenPreviewBaseOutput::GetStatus(status);
    status["port"] = m_port;
    {
        std::lock_guard<std::mutex> lock(m_connectionLock);
        status["connections"] = (Json::UInt64)m_connections.size();
        status["refusedConnections"] = (Json::UInt64)m_refused;
        status["droppedConnections"] = (Json::UInt64)m_droppedByLimit;
    }
    // The daemon's page draws the stream of the port it is given.
    status["previewPage"] = "/preview?port=" + std::to_string(m_port);
}

int WebPreviewOutput::Close() {
    LogDebug(LOGCH_CHANNELOUT, "WebPreviewOutput::Close()\n");
    return ScreenPreviewBaseOutput::Close();
}

void WebPreviewOutput::SetAcceptedHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> l(m_hookLock);
    m_acceptedHook = std::move(hook);
}

size_t WebPreviewOutput::GetConnectionCount() {
    std::lock_guard<std::mutex> lock(m_connectionLock);
    size_t n = 0;
    for (int fd : m_connections) {
        n += m_connectionStates[fd].dropped ? 0 : 1;
    }
    return n;
}

size_t WebPreviewOutput::GetUnfinishedRequestCount() {
    std::lock_guard<std::mutex> lock(m_connectionLock);
    size_t n = 0;
    for (int fd : m_connections) {
        const ConnectionState& state = m_connectionStates[fd];
        n += !state.dropped && !state.request.HeadComplete() ? 1 : 0;
    }
    return n;
}

uint64_t WebPreviewOutput::GetRefusedCount() {
    std::lock_guard<std::mutex> lock(m_connectionLock);
    return m_refused;
}

uint64_t WebPreviewOutput::GetDroppedCount() {
    std::lock_guard<std::mutex> lock(m_connectionLock);
    return m_droppedByLimit;
}

void WebPreviewOutput::PrepData(unsigned char* channelData) {
    LogExcess(LOGCH_CHANNELOUT, "WebPreviewOutput::PrepData(%p)\n", channelData);
    m_sseFull = false;
    if (!m_hasConnections) {
        // Nobody to send to; an old event must not reach the next browser either.
        m_sseData.clear();
        return;
    }
    if (!m_previewBuffer || !channelData) {
        m_sseData.clear();
        return;
    }
    m_changeData.clear();
    const PixelChangeEncoder::Result r =
        m_encoder.EncodeChanges(channelData + m_startChannel, m_previewBuffer, m_changeData);
    const uint64_t eventId = id.fetch_add(1);
    if (r.colors) {
        BuildSSEEvent(eventId, m_changeData, m_sseData);
        LogExcess(LOGCH_CHANNELOUT, "PixelsChanged: %d, Colors: %d, Data Size: %d\n", r.pixelsChanged,
                  r.colors, (int)m_sseData.size());
    } else {
        m_sseData.clear();
    }
    m_fullData.clear();
    if (m_resetPreview.exchange(false)) {
        // A newcomer gets a picture of its own, compared with nothing sent: every lit
        // pixel. The browsers already watching go on with the changes above, so a
        // pixel that went dark in this frame goes dark for them too.
        m_newcomerPreview.assign((size_t)m_bufferSize, 0);
        m_encoder.Invalidate();
        m_changeData.clear();
        const PixelChangeEncoder::Result f =
            m_encoder.EncodeChanges(channelData + m_startChannel, m_newcomerPreview.data(), m_changeData);
        if (f.colors) {
            BuildSSEEvent(eventId, m_changeData, m_fullData);
        }
        // Both now hold this frame's colours; the encoder last wrote this one.
        memcpy(m_previewBuffer, m_newcomerPreview.data(), (size_t)m_bufferSize);
        m_sseFull = true;
    }
}

int WebPreviewOutput::SendData(unsigned char*) {
    if (m_sseData.empty() && !m_sseFull) {
        return (int)m_channelCount;
    }
    // The show's thread only hands the event over: writing it to every browser is the
    // select thread's work, so that browsers cost the other outputs no time.
    QueuedEvent event;
    event.full = m_sseFull;
    if (!m_sseData.empty()) {
        event.chunk = BuildChunk(m_sseData);
    }
    if (m_sseFull && !m_fullData.empty()) {
        event.fullChunk = BuildChunk(m_fullData);
    }
    const size_t bytes = event.chunk.size() + event.fullChunk.size();
    {
        std::lock_guard<std::mutex> l(m_outboxLock);
        if (m_outboxBytes + bytes > MAX_BACKLOG_BYTES) {
            // The select thread has not run for many frames: what waits is thrown
            // away, and with it every browser, which reconnects to a whole picture.
            m_outbox.clear();
            m_outboxBytes = 0;
            m_outboxOverflowed = true;
        } else {
            m_outboxBytes += bytes;
            m_outbox.push_back(std::move(event));
        }
    }
    WakeSelectThread();
    return (int)m_channelCount;
}

void WebPreviewOutput::SendQueuedEvents() {
    std::vector<QueuedEvent> events;
    bool overflowed;
    {
        std::lock_guard<std::mutex> l(m_outboxLock);
        events.swap(m_outbox);
        m_outboxBytes = 0;
        overflowed = m_outboxOverflowed;
        m_outboxOverflowed = false;
    }
    if (events.empty() && !overflowed) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_connectionLock);
    if (overflowed) {
        for (int fd : m_connections) {
            ConnectionState& state = m_connectionStates[fd];
            if (!state.dropped) {
                DropBehind(fd, state, "the preview server fell more than 2 MiB behind");
            }
        }
    }
    for (const QueuedEvent& event : events) {
        for (int fd : m_connections) {
            ConnectionState& state = m_connectionStates[fd];
            if (!state.started) {
                // A newcomer starts with a whole picture: an earlier change event
                // would leave pixels lit that the picture does not turn off.
                if (!event.full) {
                    continue;
                }
                state.started = true;
                if (!event.fullChunk.empty()) {
                    WriteChunk(fd, event.fullChunk);
                }
                continue;
            }
            if (!event.chunk.empty()) {
                WriteChunk(fd, event.chunk);
            }
        }
    }
}

bool WebPreviewOutput::WriteSSEPacket(int fd, const std::string& text) {
    return WriteChunk(fd, BuildChunk(text));
}

// Writes what the socket takes of `data` now, without waiting. Returns the bytes
// taken, or -1 when the connection is broken.
static ssize_t sendNow(int fd, const char* data, size_t len) {
    size_t sent = 0;
    while (sent < len) {
        // MSG_NOSIGNAL: a browser that has gone away must not raise SIGPIPE in the daemon.
        ssize_t n = send(fd, data + sent, len - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += (size_t)n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return -1;
        } else {
            break;
        }
    }
    return (ssize_t)sent;
}

bool WebPreviewOutput::WriteChunk(int fd, const std::string& chunk) {
    ConnectionState& state = m_connectionStates[fd];
    if (state.dropped) {
        return false;
    }
    const int64_t now = GetTime();
    if (!state.pending.empty()) {
        // Already behind: queue this frame after the rest and wait for nothing,
        // so that one slow browser costs the others no time.
        if (state.pending.size() + chunk.size() > MAX_BACKLOG_BYTES) {
            DropBehind(fd, state, "more than 2 MiB behind");
            return false;
        }
        state.pending += chunk;
        FlushPending(fd, state, now);
        return !state.dropped;
    }
    // Nobody waits for a browser: what its socket does not take now is sent when the
    // socket has room.
    const ssize_t sent = sendNow(fd, chunk.data(), chunk.size());
    if (sent < 0) {
        DropConnection(fd, state, strerror(errno));
        return false;
    }
    if ((size_t)sent < chunk.size()) {
        state.pending.assign(chunk, (size_t)sent, std::string::npos);
        state.behindSince = now;
        LogDebug(LOGCH_CHANNELOUT, "Preview connection on socket %d fell behind: %zu bytes wait\n", fd,
                 state.pending.size());
    }
    return true;
}

void WebPreviewOutput::WakeSelectThread() {
    const uint64_t one = 1;
    if (m_wakeFd >= 0 && write(m_wakeFd, &one, sizeof(one)) < 0 && errno != EAGAIN) {
        LogDebug(LOGCH_CHANNELOUT, "Could not wake the preview select thread: %s\n", strerror(errno));
    }
}

void WebPreviewOutput::FlushPending(int fd, ConnectionState& state, int64_t now) {
    const ssize_t sent = sendNow(fd, state.pending.data(), state.pending.size());
    if (sent < 0) {
        DropConnection(fd, state, strerror(errno));
        return;
    }
    state.pending.erase(0, (size_t)sent);
    if (!state.pending.empty() && now - state.behindSince > MAX_BEHIND_US) {
        DropBehind(fd, state, "behind for more than 5 seconds");
    }
}

void WebPreviewOutput::DropBehind(int fd, ConnectionState& state, const char* why) {
    m_droppedByLimit++;
    DropConnection(fd, state, why);
}

void WebPreviewOutput::DropConnection(int fd, ConnectionState& state, const char* why, bool logIt) {
    if (logIt) {
        LogInfo(LOGCH_CHANNELOUT, "Dropping preview connection on socket %d: %s\n", fd, why);
    }
    // The select thread sees the end of the stream, then closes and removes the socket.
    shutdown(fd, SHUT_RDWR);
    state.dropped = true;
    state.pending.clear();
    state.pending.shrink_to_fit();
}

std::string WebPreviewOutput::RefusalReason(uint32_t address) {
    // Connections already dropped are on their way out: they hold no place.
    int live = 0;
    int fromAddress = 0;
    int oldestUnfinished = -1;
    for (int fd : m_connections) {
        const ConnectionState& state = m_connectionStates[fd];
        if (state.dropped) {
            continue;
        }
        live++;
        fromAddress += state.address == address ? 1 : 0;
        if (!state.request.HeadComplete() &&
            (oldestUnfinished < 0 || state.openedUs < m_connectionStates[oldestUnfinished].openedUs)) {
            oldestUnfinished = fd;
        }
    }
    if (fromAddress >= m_maxPerAddress) {
        char text[INET_ADDRSTRLEN] = "?";
        struct in_addr a;
        a.s_addr = address;
        inet_ntop(AF_INET, &a, text, sizeof(text));
        return std::to_string(m_maxPerAddress) + " connections from " + text +
               " already (\"maxConnectionsPerAddress\")";
    }
    if (live >= m_maxConnections) {
        if (oldestUnfinished < 0) {
            return std::to_string(m_maxConnections) + " connections already (\"maxConnections\")";
        }
        // A full server whose places are held by requests that never end would turn
        // every browser away until their time is up: the oldest of them gives way.
        m_droppedByLimit++;
        DropConnection(oldestUnfinished, m_connectionStates[oldestUnfinished], "request not complete", false);
        LogLimit("dropped a connection whose request was not complete, to make room for another");
    }
    return "";
}

void WebPreviewOutput::Refuse(int fd, const std::string& why) {
    static const std::string body = "Too many preview connections; try again later\n";
    static const std::string response = "HTTP/1.1 503 Service Unavailable\r\n"
                                        "Content-Type: text/plain\r\n"
                                        "Content-Length: " +
                                        std::to_string(body.size()) +
                                        "\r\n"
                                        "Retry-After: 10\r\n"
                                        "Connection: close\r\n\r\n" +
                                        body;
    // Counted and told before the client can see the answer.
    m_refused++;
    LogLimit("refused a connection: " + why);
    // A fresh socket takes these few bytes at once. Closed at once, a request still
    // arriving would make the system answer with a reset, which may throw the 503
    // away before the client reads it: the socket is kept, read, until the client
    // closes too (or for REFUSED_LINGER_US).
    send(fd, response.data(), response.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    shutdown(fd, SHUT_WR);
    if (m_closing.size() >= MAX_CLOSING) {
        close(m_closing.front().first);
        m_closing.erase(m_closing.begin());
    }
    m_closing.emplace_back(fd, GetTime() + REFUSED_LINGER_US);
}

void WebPreviewOutput::LogLimit(const std::string& what) {
    const int64_t now = GetTime();
    if (m_lastLimitLogUs != 0 && now - m_lastLimitLogUs < LIMIT_LOG_INTERVAL_US) {
        m_limitsUnlogged++;
        LogDebug(LOGCH_CHANNELOUT, "Web preview on port %d %s\n", m_port, what.c_str());
        return;
    }
    if (m_limitsUnlogged > 0) {
        LogInfo(LOGCH_CHANNELOUT, "Web preview on port %d %s (and %llu more refused or dropped before)\n",
                m_port, what.c_str(), (unsigned long long)m_limitsUnlogged);
    } else {
        LogInfo(LOGCH_CHANNELOUT, "Web preview on port %d %s\n", m_port, what.c_str());
    }
    m_lastLimitLogUs = now;
    m_limitsUnlogged = 0;
}

void WebPreviewOutput::RemoveConnection(size_t index) {
    const int fd = m_connections[index];
    close(fd);
    m_connections.erase(m_connections.begin() + (long)index);
    m_hasConnections = !m_connections.empty();
    m_connectionStates.erase(fd);
    m_connectionsChanged = true;
}

std::string WebPreviewOutput::BuildResponseHeader() const {
    char date[128];
    time_t t = time(nullptr);
    struct tm tm;
    localtime_r(&t, &tm);
    strftime(date, sizeof(date), "%a %b %d %H:%M:%S %Z %Y", &tm);
    std::string r;
    r += "HTTP/1.1 200 OK\r\n";
    r += "Content-Type: text/event-stream;charset=UTF-8\r\n";
    r += "Transfer-Encoding: chunked\r\n";
    r += "Connection: close\r\n";
    r += std::string("Date: ") + date + "\r\n";
    r += "Server: tavod\r\n";
    r += "X-Powered-By: Tavo/" + getTavoVersion() + "\r\n";
    r += "Cache-Control: no-cache, private\r\n";
    r += "Access-Control-Allow-Origin: *\r\n";
    r += "Access-Control-Allow-Credentials: true\r\n";
    r += "\r\n";
    return r;
}

void RunConnectionThread(WebPreviewOutput* output) {
    LogDebug(LOGCH_CHANNELOUT, "Started ConnectionThread()\n");
    output->ConnectionThread();
}

void WebPreviewOutput::ConnectionThread() {
    SetThreadName("Tavo-HTTPVD-Con");
    while (m_running) {
        // Take every waiting browser, then wait for the next (at most 100 ms).
        for (;;) {
            struct sockaddr_in peer;
            memset(&peer, 0, sizeof(peer));
            socklen_t peerLength = sizeof(peer);
            int fd = accept4(m_socket, (struct sockaddr*)&peer, &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                break;
            }
            const uint32_t address = peer.sin_family == AF_INET ? peer.sin_addr.s_addr : 0;
            if (fd >= FD_SETSIZE) {
                // select() cannot watch it; putting it in an fd_set would write past the set.
                LogErr(LOGCH_CHANNELOUT,
                       "Refusing preview connection: socket %d is beyond the %d descriptors select() can "
                       "watch\n",
                       fd, FD_SETSIZE);
                close(fd);
                continue;
            }
            {
                std::lock_guard<std::mutex> lock(m_connectionLock);
                const std::string refusal = RefusalReason(address);
                if (!refusal.empty()) {
                    Refuse(fd, refusal);
                    continue;
                }
            }
            LogDebug(LOGCH_CHANNELOUT, "Accepted preview connection on socket %d\n", fd);
            // Events are small and frequent; do not let them wait for acknowledgements.
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
            const std::string header = BuildResponseHeader();
            std::function<void()> hook;
            {
                std::lock_guard<std::mutex> l(m_hookLock);
                hook = m_acceptedHook;
            }
            if (hook) {
                hook();
            }
            std::lock_guard<std::mutex> lock(m_connectionLock);
            m_connections.push_back(fd);
            m_hasConnections = true;
            // Before the header goes out: a browser that has it gets the next frame,
            // a whole picture (the newcomer waits, not started, for the next frame
            // that takes this flag).
            m_resetPreview = true;
            ConnectionState& state = m_connectionStates[fd];
            state = ConnectionState();
            state.address = address;
            state.openedUs = GetTime();
            state.request = RequestWatch(state.openedUs, m_requestTimeoutUs);
            const ssize_t sent = sendNow(fd, header.data(), header.size());
            if (sent < 0) {
                DropConnection(fd, state, strerror(errno));
            } else if ((size_t)sent < header.size()) {
                state.pending.assign(header, (size_t)sent, std::string::npos);
                state.behindSince = GetTime();
            }
            m_connectionsChanged = true;
        }
        DrainClosing(false);
        // The next browser is taken as soon as it comes: the listening queue holds
        // only five, and a crowd arriving together would overflow it in 100 ms.
        struct pollfd p = {m_socket, POLLIN, 0};
        poll(&p, 1, 100);
    }
    DrainClosing(true);
}

void WebPreviewOutput::DrainClosing(bool all) {
    const int64_t now = GetTime();
    char scratch[4096];
    for (size_t i = 0; i < m_closing.size();) {
        const int fd = m_closing[i].first;
        ssize_t n;
        while ((n = recv(fd, scratch, sizeof(scratch), MSG_DONTWAIT)) > 0) {
        }
        const bool ended = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
        if (all || ended || now >= m_closing[i].second) {
            close(fd);
            m_closing.erase(m_closing.begin() + (long)i);
        } else {
            i++;
        }
    }
}

void RunSelectThread(WebPreviewOutput* output) {
    LogDebug(LOGCH_CHANNELOUT, "Started SelectThread()\n");
    output->SelectThread();
}

void WebPreviewOutput::SelectThread() {
    SetThreadName("Tavo-HTTPVD-Sel");
    fd_set activeSet;
    FD_ZERO(&activeSet);
    char scratch[1024];
    while (m_running) {
        fd_set writeSet;
        FD_ZERO(&writeSet);
        int maxFd = -1;
        {
            std::lock_guard<std::mutex> lock(m_connectionLock);
            if (m_connectionsChanged) {
                LogDebug(LOGCH_CHANNELOUT, "Connection list changed, rebuilding active_fd-set\n");
                FD_ZERO(&activeSet);
                for (int fd : m_connections) {
                    FD_SET(fd, &activeSet);
                }
                m_connectionsChanged = false;
            }
            for (int fd : m_connections) {
                maxFd = std::max(maxFd, fd);
                const ConnectionState& state = m_connectionStates[fd];
                if (!state.dropped && !state.pending.empty()) {
                    // Between frames, let a browser that fell behind catch up.
                    FD_SET(fd, &writeSet);
                }
            }
        }
        fd_set readSet = activeSet;
        // Woken by each frame's event, and to leave.
        FD_SET(m_wakeFd, &readSet);
        maxFd = std::max(maxFd, m_wakeFd);
        struct timeval tv = {1, 0};
        const int ready = select(maxFd + 1, &readSet, &writeSet, nullptr, &tv);
        if (ready > 0 && FD_ISSET(m_wakeFd, &readSet)) {
            uint64_t count;
            while (read(m_wakeFd, &count, sizeof(count)) > 0) {
            }
        }
        SendQueuedEvents();
        if (ready == 0) {
            continue;
        }
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            LogErr(LOGCH_CHANNELOUT, "Main select() failed\n");
        }

        std::lock_guard<std::mutex> lock(m_connectionLock);
        for (size_t i = m_connections.size(); i > 0; i--) {
            const int fd = m_connections[i - 1];
            if (FD_ISSET(fd, &writeSet)) {
                ConnectionState& state = m_connectionStates[fd];
                if (!state.dropped && !state.pending.empty()) {
                    FlushPending(fd, state, GetTime());
                }
            }
            if (!FD_ISSET(fd, &readSet)) {
                continue;
            }
            const ssize_t n = recv(fd, scratch, sizeof(scratch), MSG_DONTWAIT);
            if (n > 0) {
                LogDebug(LOGCH_CHANNELOUT, "Data read from socket %d, connection %d \n", fd, (int)(i - 1));
                ConnectionState& state = m_connectionStates[fd];
                const RequestWatch::Verdict v = state.request.Received(scratch, (size_t)n);
                if (v != RequestWatch::Verdict::Fine && !state.dropped) {
                    DropForLimit(fd, state, v);
                }
            } else if (n == 0) {
                LogDebug(LOGCH_CHANNELOUT, "Closing socket %d, connection %d\n", fd, (int)(i - 1));
                RemoveConnection(i - 1);
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                LogErr(LOGCH_CHANNELOUT, "Read failed for socket %d, connection %d.  Closing connection.\n",
                       fd, (int)(i - 1));
                RemoveConnection(i - 1);
            }
        }
        // Connections that have not finished their request in time (checked at least
        // once a second: select wakes that often).
        const int64_t now = GetTime();
        for (int fd : m_connections) {
            ConnectionState& state = m_connectionStates[fd];
            if (!state.dropped) {
                const RequestWatch::Verdict v = state.request.Check(now);
                if (v != RequestWatch::Verdict::Fine) {
                    DropForLimit(fd, state, v);
                }
            }
        }
    }
}

void WebPreviewOutput::DropForLimit(int fd, ConnectionState& state, RequestWatch::Verdict why) {
    m_droppedByLimit++;
    DropConnection(fd, state, RequestWatch::Describe(why), false);
    LogLimit(std::string("dropped a connection: ") + RequestWatch::Describe(why));
}

bool WebPreviewOutput::CheckConfig(const Json::Value& config) {
    // The values are read, and checked, by Init; this names keys it does not know.
    static const std::vector<ConfigKey> keys = {
        {"port", ConfigKey::ANY},           {"layout", ConfigKey::ANY},
        {"maxConnections", ConfigKey::ANY}, {"maxConnectionsPerAddress", ConfigKey::ANY},
        {"requestTimeout", ConfigKey::ANY},
    };
    return CheckConfigKeys(config, keys, "WebPreview");
}
