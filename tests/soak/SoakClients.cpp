// The soak harness's clients: HTTP API load, preview browsers, slow clients.
#include "SoakClients.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>

namespace soak {

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int connectFrom(const std::string& from, uint16_t port, bool nonBlocking) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) {
        return -1;
    }
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    if (inet_pton(AF_INET, from.c_str(), &a.sin_addr) != 1 ||
        bind(fd, (struct sockaddr*)&a, sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr*)&a, sizeof(a)) != 0 && !(nonBlocking && errno == EINPROGRESS)) {
        close(fd);
        return -1;
    }
    return fd;
}

namespace {

// Waits for `fd` to be readable or writable; false after `timeoutMs`.
bool waitFd(int fd, short events, int timeoutMs) {
    struct pollfd p = {fd, events, 0};
    int r;
    do {
        r = poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

// Closes with a reset rather than an orderly close: a browser that vanished.
void resetClose(int fd) {
    struct linger lg = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    close(fd);
}

} // namespace

HttpClient::HttpClient(uint16_t port, std::string from, bool keepAlive)
    : m_port(port), m_from(std::move(from)), m_keepAlive(keepAlive) {}

HttpClient::~HttpClient() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

bool HttpClient::connectNow() {
    m_pending.clear();
    m_fd = connectFrom(m_from, m_port, false);
    if (m_fd < 0) {
        return false;
    }
    int on = 1;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    return true;
}

HttpResult HttpClient::request(const std::string& method, const std::string& target, const std::string& body,
                               const std::string& contentType) {
    std::string req = method + " " + target + " HTTP/1.1\r\nHost: soak\r\n";
    req += m_keepAlive ? "" : "Connection: close\r\n";
    if (!contentType.empty()) {
        req += "Content-Type: " + contentType + "\r\n";
    }
    if (!body.empty() || method == "POST" || method == "PUT") {
        req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    req += "\r\n" + body;

    // A kept connection the server closed between two requests is opened again once,
    // as every HTTP client does; a fresh one that gets nothing is an unanswered request.
    for (int attempt = 0; attempt < 2; attempt++) {
        const bool reused = m_fd >= 0;
        if (m_fd < 0 && !connectNow()) {
            return HttpResult();
        }
        HttpResult r;
        std::string in = std::move(m_pending);
        m_pending.clear();
        bool sendFailed = false;
        for (size_t sent = 0; sent < req.size();) {
            ssize_t n = send(m_fd, req.data() + sent, req.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                sendFailed = true;
                break;
            }
            sent += (size_t)n;
        }
        // The head, then the body by its length.
        size_t headEnd = std::string::npos;
        size_t want = 0;
        bool gotSome = !in.empty();
        bool closed = false;
        char buf[16384];
        while (!closed) {
            if (headEnd == std::string::npos) {
                headEnd = in.find("\r\n\r\n");
                if (headEnd != std::string::npos) {
                    const std::string head = in.substr(0, headEnd);
                    r.status = in.compare(0, 9, "HTTP/1.1 ") == 0 ? atoi(in.c_str() + 9) : -1;
                    std::string lower = head;
                    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
                    size_t cl = lower.find("\r\ncontent-length:");
                    want = cl == std::string::npos ? 0 : (size_t)atol(head.c_str() + cl + 17);
                    if (method == "HEAD") {
                        want = 0;
                    }
                    if (lower.find("\r\nconnection: close") != std::string::npos) {
                        r.closed = true;
                    }
                }
            }
            if (headEnd != std::string::npos && in.size() >= headEnd + 4 + want) {
                break;
            }
            if (!waitFd(m_fd, POLLIN, 15000)) {
                break;
            }
            ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
            if (n <= 0) {
                closed = true;
                break;
            }
            gotSome = true;
            in.append(buf, (size_t)n);
        }
        if (headEnd != std::string::npos && in.size() >= headEnd + 4 + want && r.status > 0) {
            r.body = in.substr(headEnd + 4, want);
            m_pending = in.substr(headEnd + 4 + want);
            if (!m_keepAlive || r.closed || closed) {
                close(m_fd);
                m_fd = -1;
                r.closed = true;
            }
            return r;
        }
        close(m_fd);
        m_fd = -1;
        if (!(reused && !gotSome && (closed || sendFailed))) {
            return HttpResult();
        }
    }
    return HttpResult();
}

void RunApiLoad(uint16_t port, int clients, int requests, ApiCounts& counts) {
    std::atomic<int> next{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; c++) {
        threads.emplace_back([&, c] {
            HttpClient client(port, "127.0.0.1", c % 2 == 0);
            std::vector<std::pair<int, int64_t>> seen; // status, latency
            for (int i = next++; i < requests; i = next++) {
                HttpResult r;
                const int64_t began = nowUs();
                switch (i % 16) {
                case 3:
                    r = client.request("GET", "/api/settings");
                    break;
                case 4:
                    r = client.request("GET", "/api/settings/soakValue");
                    break;
                case 5:
                    r = client.request("PUT", "/api/settings/soakValue", "v" + std::to_string(i),
                                       "text/plain");
                    break;
                case 6:
                    r = client.request("GET", "/api/warnings");
                    break;
                case 7:
                    r = client.request("GET", "/api/overlays/models");
                    break;
                case 8:
                    r = client.request("GET", "/gpio");
                    break;
                case 9:
                    r = client.request("GET", "/gpio?list=true");
                    break;
                case 10:
                    r = client.request("GET", "/api/options/GPIOLIST");
                    break;
                case 11:
                    r = client.request("POST", "/api/command",
                                       R"({"command": "GPIO", "args": ["OUT1", "Opposite"]})",
                                       "application/json");
                    break;
                case 12:
                    r = client.request("POST", "/api/command", "not json", "application/json");
                    break;
                case 13:
                    r = client.request("GET", "/no/such/path?x=1");
                    break;
                case 14:
                    r = client.request("DELETE", "/api/status");
                    break;
                case 15:
                    r = client.request("GET", "/");
                    break;
                default:
                    r = client.request("GET", "/api/status");
                    break;
                }
                counts.sent++;
                if (r.status <= 0) {
                    counts.unanswered++;
                }
                seen.emplace_back(r.status, nowUs() - began);
            }
            std::lock_guard<std::mutex> l(counts.lock);
            for (auto& s : seen) {
                counts.statuses[s.first]++;
                counts.latenciesUs.push_back(s.second);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
}

namespace {

// A server that accepts a crowd more slowly than it arrives leaves connections in the
// kernel's queue; their clients' retries come 1, 3 and 7 s later.
const int64_t ANSWER_WAIT_US = 20000000;

const char* BROWSER_REQUEST = "GET / HTTP/1.1\r\nHost: soak\r\nAccept: text/event-stream\r\n\r\n";

struct Browser {
    enum Kind { READER, STALLER, VANISHER };
    int fd = -1;
    Kind kind = READER;
    int64_t endUs = 0;
    int64_t openedUs = 0;
    bool connected = false;
    bool sent = false;
    bool headDone = false;
    bool served = false;
    std::string head;
};

} // namespace

void RunPreviewLoad(uint16_t port, int connections, int concurrent, int addresses, double seconds,
                    PreviewCounts& counts) {
    std::mt19937 rng(12345);
    std::vector<Browser> open;
    const int64_t began = nowUs();
    const int64_t spacing = (int64_t)(seconds * 1e6 / std::max(1, connections));
    int attempts = 0;
    char buf[65536];
    while (attempts < connections || !open.empty()) {
        const int64_t now = nowUs();
        // Open the next one when it is due and there is room.
        if (attempts < connections && now >= began + attempts * spacing && (int)open.size() < concurrent) {
            Browser b;
            const int pick = attempts % 4;
            b.kind = pick < 2 ? Browser::READER : pick == 2 ? Browser::STALLER : Browser::VANISHER;
            const std::string from = "127.0.3." + std::to_string(1 + attempts % addresses);
            attempts++;
            counts.attempts++;
            b.fd = connectFrom(from, port, true);
            if (b.fd < 0) {
                counts.connectFailed++;
            } else {
                const int64_t life = b.kind == Browser::READER    ? 5000000 + (int64_t)(rng() % 10000000)
                                     : b.kind == Browser::STALLER ? 20000000
                                                                  : 500000 + (int64_t)(rng() % 2500000);
                // Nobody outstays the load.
                b.endUs = std::min(now + life, began + (int64_t)(seconds * 1e6));
                b.openedUs = now;
                open.push_back(b);
            }
        }
        std::vector<struct pollfd> fds;
        for (Browser& b : open) {
            short ev = POLLRDHUP;
            if (!b.connected || !b.sent) {
                ev |= POLLOUT;
            }
            if (!b.headDone || b.kind != Browser::STALLER) {
                ev |= POLLIN;
            }
            fds.push_back({b.fd, ev, 0});
        }
        poll(fds.data(), fds.size(), 20);
        const int64_t t = nowUs();
        for (size_t i = 0; i < open.size(); i++) {
            Browser& b = open[i];
            bool done = false;
            const short re = fds[i].revents;
            if (!b.connected && (re & (POLLOUT | POLLERR | POLLHUP))) {
                int err = 0;
                socklen_t len = sizeof(err);
                getsockopt(b.fd, SOL_SOCKET, SO_ERROR, &err, &len);
                if (err != 0) {
                    counts.connectFailed++;
                    done = true;
                } else {
                    b.connected = true;
                }
            }
            if (!done && b.connected && !b.sent) {
                send(b.fd, BROWSER_REQUEST, strlen(BROWSER_REQUEST), MSG_NOSIGNAL);
                b.sent = true;
            }
            if (!done && b.connected && (re & POLLIN) && (!b.headDone || b.kind != Browser::STALLER)) {
                ssize_t n = recv(b.fd, buf, b.headDone ? sizeof(buf) : 1, 0);
                if (n > 0) {
                    counts.bytes += (uint64_t)n;
                    if (!b.headDone) {
                        b.head.append(buf, (size_t)n);
                        if (b.head.find("\r\n\r\n") != std::string::npos || b.head.size() > 4096) {
                            b.headDone = true;
                            const int64_t took = t - b.openedUs;
                            for (int64_t was = counts.slowestAnswerUs.load();
                                 took > was && !counts.slowestAnswerUs.compare_exchange_weak(was, took);) {
                            }
                            const int status =
                                b.head.compare(0, 9, "HTTP/1.1 ") == 0 ? atoi(b.head.c_str() + 9) : 0;
                            if (status == 200) {
                                b.served = true;
                                counts.served++;
                            } else if (status == 503) {
                                counts.refused++;
                            } else {
                                counts.noAnswer++;
                            }
                        }
                    }
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    if (!b.headDone) {
                        counts.noAnswer++;
                    } else if (b.served) {
                        counts.droppedByServer++;
                    }
                    done = true;
                }
            } else if (!done && b.connected && b.headDone && (re & (POLLRDHUP | POLLHUP | POLLERR))) {
                // A staller learns of the end without reading.
                if (b.served) {
                    counts.droppedByServer++;
                }
                done = true;
            }
            // Whatever its kind, a browser waits for its answer (up to ANSWER_WAIT_US)
            // before it goes: one opened just before the end is not an unanswered one.
            if (!done && t >= b.endUs && (b.headDone || t - b.openedUs >= ANSWER_WAIT_US)) {
                if (!b.headDone) {
                    counts.noAnswer++;
                    counts.noAnswerSilent++;
                }
                done = true;
                if (b.kind == Browser::VANISHER && (rng() & 1)) {
                    resetClose(b.fd);
                    b.fd = -1;
                }
            }
            if (done) {
                if (b.fd >= 0) {
                    close(b.fd);
                }
                open[i] = open.back();
                fds[i] = fds.back();
                open.pop_back();
                fds.pop_back();
                i--;
            }
        }
    }
}

namespace {

struct SlowClient {
    int fd = -1;
    uint16_t port = 0;
    std::string from;
    size_t sent = 0;
    int64_t nextUs = 0; // the next byte, or the next connection
};

// A request head that never ends.
char slowByte(size_t i) {
    static const std::string head = "GET /api/status HTTP/1.1\r\nHost: soak\r\nX-Slow: ";
    return i < head.size() ? head[i] : 'a' + (char)(i % 26);
}

} // namespace

void RunSlowClients(const std::vector<uint16_t>& ports, int connections, int addressesPerPort,
                    const std::atomic<bool>& stop, SlowCounts& counts) {
    std::vector<SlowClient> clients;
    for (size_t p = 0; p < ports.size(); p++) {
        for (int i = 0; i < connections; i++) {
            SlowClient c;
            c.port = ports[p];
            c.from = "127.0." + std::to_string(1 + p) + "." + std::to_string(1 + i % addressesPerPort);
            // Spread over the first second.
            c.nextUs = nowUs() + (int64_t)i * 1000000 / std::max(1, connections);
            clients.push_back(c);
        }
    }
    char buf[65536];
    while (!stop) {
        std::vector<struct pollfd> fds;
        std::vector<size_t> which;
        const int64_t now = nowUs();
        for (size_t i = 0; i < clients.size(); i++) {
            SlowClient& c = clients[i];
            if (c.fd < 0 && now >= c.nextUs) {
                c.fd = connectFrom(c.from, c.port, true);
                c.sent = 0;
                c.nextUs = now + 1000000;
                if (c.fd >= 0) {
                    counts.opened++;
                } else {
                    c.nextUs = now + 1000000;
                }
            } else if (c.fd >= 0 && now >= c.nextUs) {
                const char b = slowByte(c.sent);
                if (send(c.fd, &b, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) {
                    c.sent++;
                    counts.bytesSent++;
                }
                c.nextUs = now + 1000000;
            }
            if (c.fd >= 0) {
                fds.push_back({c.fd, POLLIN | POLLRDHUP, 0});
                which.push_back(i);
            }
        }
        poll(fds.data(), fds.size(), 50);
        for (size_t k = 0; k < fds.size(); k++) {
            if (!(fds[k].revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR))) {
                continue;
            }
            SlowClient& c = clients[which[k]];
            ssize_t n = recv(c.fd, buf, sizeof(buf), MSG_DONTWAIT);
            if (n > 0) {
                // The preview answers at once; what it streams is read and dropped.
                if (std::string(buf, (size_t)std::min<ssize_t>(n, 12)).compare(0, 9, "HTTP/1.1 ") == 0) {
                    counts.answered++;
                }
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            counts.cutByServer++;
            close(c.fd);
            c.fd = -1;
            c.nextUs = nowUs() + 1000000;
        }
    }
    for (SlowClient& c : clients) {
        if (c.fd >= 0) {
            close(c.fd);
        }
    }
}

} // namespace soak
