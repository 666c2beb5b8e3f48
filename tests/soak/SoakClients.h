// The soak harness's load: HTTP API clients, web preview browsers (readers, stallers
// and ones that vanish), and slow clients that trickle a request a byte a second.
// Each runs on threads of its own and counts what became of every request or
// connection; nothing here judges the figures.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace soak {

int64_t nowUs();

// Connects to 127.0.0.1:port from `from` (a 127.x.y.z address); non-blocking when
// asked. -1 on failure.
int connectFrom(const std::string& from, uint16_t port, bool nonBlocking);

// One HTTP exchange on a connection that may be kept: what came back.
struct HttpResult {
    int status = 0; // 0: no answer (reset, closed, or nothing within the time)
    std::string body;
    bool closed = false; // the server closed after it (or instead of it)
};

// A blocking HTTP/1.1 client on one connection, kept alive when asked.
class HttpClient {
public:
    HttpClient(uint16_t port, std::string from, bool keepAlive);
    ~HttpClient();
    HttpResult request(const std::string& method, const std::string& target, const std::string& body = "",
                       const std::string& contentType = "");

private:
    bool connectNow();
    uint16_t m_port;
    std::string m_from;
    bool m_keepAlive;
    int m_fd = -1;
    std::string m_pending; // bytes read past the last answer
};

// What the API clients saw.
struct ApiCounts {
    std::atomic<uint64_t> sent{0};
    std::atomic<uint64_t> unanswered{0};
    std::mutex lock; // guards statuses and latencies
    std::map<int, uint64_t> statuses;
    std::vector<int64_t> latenciesUs;
};

// `clients` threads send `requests` requests in all to the API, a mix of every
// resource (and of unknown paths and methods), half of the threads on kept-alive
// connections. Returns when all are sent.
void RunApiLoad(uint16_t port, int clients, int requests, ApiCounts& counts);

// What the preview browsers saw.
struct PreviewCounts {
    std::atomic<uint64_t> attempts{0};
    std::atomic<uint64_t> connectFailed{0};
    std::atomic<uint64_t> served{0};          // got the stream's 200
    std::atomic<uint64_t> refused{0};         // got a 503
    std::atomic<uint64_t> noAnswer{0};        // closed, reset or silent before its answer
    std::atomic<uint64_t> noAnswerSilent{0};  // of those: nothing within ANSWER_WAIT_US
    std::atomic<int64_t> slowestAnswerUs{0};  // from the connection to its answer's head
    std::atomic<uint64_t> droppedByServer{0}; // served, then closed by the server
    std::atomic<uint64_t> bytes{0};
};

// Opens `connections` browser connections to the preview port over `seconds`, up to
// `concurrent` at a time from `addresses` addresses (127.0.3.x): half read the
// stream, a quarter send their request and never read, a quarter read a little and
// vanish (half of them with a reset).
void RunPreviewLoad(uint16_t port, int connections, int concurrent, int addresses, double seconds,
                    PreviewCounts& counts);

// What the slow clients saw.
struct SlowCounts {
    std::atomic<uint64_t> opened{0};
    std::atomic<uint64_t> cutByServer{0};
    std::atomic<uint64_t> answered{0}; // a status came back (431, 503, ...)
    std::atomic<uint64_t> bytesSent{0};
};

// Holds `connections` half-open connections to each port of `ports` until `stop`,
// from `addressesPerPort` addresses each (127.0.1.x for the first port, 127.0.2.x
// for the next); each sends one byte of a request head a second and is opened again
// a second after the server cuts it.
void RunSlowClients(const std::vector<uint16_t>& ports, int connections, int addressesPerPort,
                    const std::atomic<bool>& stop, SlowCounts& counts);

} // namespace soak
