// libFuzzer harness for the HTTP API: the whole daemon runs in the fuzzer's process
// (a media folder with simulated pins, a sequence, no outputs) and serves its API on
// a socket handed over as a service manager would. Each input becomes one request
// (method, path with query, header lines, body), sent over that socket through the
// HTTP server's own request handling to whichever resource the path names. Every
// request must be answered with a status line.
#include "FuzzDaemon.h"
#include "HttpApi.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string g_media;
std::string g_socketPath;
Daemon* g_daemon = nullptr;
std::thread* g_loop = nullptr;
std::atomic<bool> g_stopLoop{false};

// Registered after the daemon started, so it runs before the singletons it uses
// (the GPIO manager, the pins) are destroyed: the loop must not outlive them.
void stopDaemon() {
    g_stopLoop = true;
    if (g_loop && g_loop->joinable()) {
        g_loop->join();
    }
    delete g_loop;
    g_loop = nullptr;
    if (g_daemon) {
        g_daemon->Shutdown();
        delete g_daemon;
        g_daemon = nullptr;
    }
}

// A listening UNIX socket handed over the way a service manager does, named "http".
// Inherited sockets start at descriptor 3; where the fuzzer's process already has
// that one open, the descriptors before ours are listed under another name.
bool handOverSocket() {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un a;
    memset(&a, 0, sizeof(a));
    a.sun_family = AF_UNIX;
    if (fd < 0 || g_socketPath.size() >= sizeof(a.sun_path)) {
        return false;
    }
    memcpy(a.sun_path, g_socketPath.c_str(), g_socketPath.size());
    if (bind(fd, (struct sockaddr*)&a, sizeof(a)) != 0 || listen(fd, 64) != 0) {
        return false;
    }
    int target = 3;
    while (target != fd && fcntl(target, F_GETFD) != -1) {
        target++;
    }
    if (target != fd) {
        dup2(fd, target);
        close(fd);
    }
    std::string names;
    for (int i = 3; i < target; i++) {
        names += "taken:";
    }
    setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
    setenv("LISTEN_FDS", std::to_string(target - 2).c_str(), 1);
    setenv("LISTEN_FDNAMES", (names + "http").c_str(), 1);
    return true;
}

// Sends `request` and reads the whole answer (the request asks to close); `hung`
// when the server neither answered nor closed for 20 s. libFuzzer's time-out alarm
// interrupts system calls every few seconds: an interrupted call is no answer, so it
// is made again with the time that is left.
std::string roundTrip(const std::string& request, bool& hung) {
    hung = false;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un a;
    memset(&a, 0, sizeof(a));
    a.sun_family = AF_UNIX;
    memcpy(a.sun_path, g_socketPath.c_str(), g_socketPath.size());
    int connected = -1;
    if (fd >= 0) {
        do {
            connected = connect(fd, (struct sockaddr*)&a, sizeof(a));
        } while (connected != 0 && errno == EINTR);
    }
    if (connected != 0) {
        fprintf(stderr, "http_api_fuzz: cannot connect: %s\n", strerror(errno));
        abort();
    }
    using Clock = std::chrono::steady_clock;
    const auto quiet = std::chrono::seconds(20);
    auto deadline = Clock::now() + quiet;
    std::string answer;
    size_t sent = 0;
    char buf[16384];
    bool open = true;
    while (open) {
        const int left =
            (int)std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            hung = true;
            break;
        }
        struct pollfd p = {fd, (short)(POLLIN | (sent < request.size() ? POLLOUT : 0)), 0};
        const int ready = poll(&p, 1, left);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            fprintf(stderr, "http_api_fuzz: poll failed: %s\n", strerror(errno));
            abort();
        }
        if (ready == 0) {
            continue; // the deadline decides
        }
        if ((p.revents & POLLOUT) && sent < request.size()) {
            ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += (size_t)n;
                deadline = Clock::now() + quiet;
            } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            } else {
                sent = request.size(); // refused the rest: read what it says
            }
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (n <= 0) {
                open = false;
            } else {
                answer.append(buf, (size_t)n);
                deadline = Clock::now() + quiet;
            }
        }
    }
    close(fd);
    return answer;
}

// Bytes of the input taken one piece after another.
struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t byte() { return at < size ? data[at++] : 0; }
    // Up to the next NUL (or the end).
    std::string text() {
        std::string s;
        while (at < size && data[at] != 0) {
            s += (char)data[at++];
        }
        at++;
        return s;
    }
    std::string rest() { return at < size ? std::string((const char*)data + at, size - at) : std::string(); }
};

// Line breaks would end the request line or a header early: the request's framing
// is the harness's, its content the input's.
std::string oneLine(std::string s) {
    for (char& c : s) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    return s;
}

bool isToken(const std::string& s) {
    if (s.empty()) {
        return false;
    }
    for (unsigned char c : s) {
        if (c <= 0x20 || c >= 0x7f || strchr("()<>@,;:\\\"/[]?={}", c)) {
            return false;
        }
    }
    return true;
}

// What HTTP allows: a token method, a target of visible ASCII, header lines of a
// token name and a value without control characters. Only such a request must be
// answered with a status; libmicrohttpd may just close on others.
bool wellFormed(const std::string& method, const std::string& path, const std::vector<std::string>& headers) {
    if (!isToken(method) || path.empty() || path[0] != '/') {
        return false;
    }
    for (unsigned char c : path) {
        if (c <= 0x20 || c >= 0x7f) {
            return false;
        }
    }
    for (const std::string& h : headers) {
        const size_t colon = h.find(':');
        if (colon == std::string::npos || !isToken(h.substr(0, colon))) {
            return false;
        }
        for (size_t i = colon + 1; i < h.size(); i++) {
            const unsigned char c = (unsigned char)h[i];
            if ((c < 0x20 && c != '\t') || c == 0x7f) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    QuietStdout();
    g_media = MakeFuzzMediaFolder("http");
    WriteFuzzFile(g_media + "/config/pins.json",
                  R"({"provider": "simulated", "simulatedDir": "sim", "pins": [
                   {"name": "IN1", "gpio": 1}, {"name": "OUT1", "gpio": 2}, {"name": "OUT2"}]})");
    WriteFuzzFile(
        g_media + "/config/gpio.json",
        R"([{"enabled": true, "pin": "IN1", "rising": {"command": "GPIO", "args": ["OUT1", "On"]}}])");
    WriteFuzzFile(g_media + "/config/channeloutputs.json", R"({"channelOutputs": []})");
    WriteFuzzSequence(g_media + "/sequences/show.lcsf", 40, 64);
    g_socketPath = g_media + "/http.sock";
    if (!handOverSocket()) {
        abort();
    }
    g_daemon = StartFuzzDaemon(g_media, "http_api_fuzz");
    if (!g_daemon->GetHttpApi() || !g_daemon->GetHttpApi()->IsRunning()) {
        fprintf(stderr, "http_api_fuzz: the daemon's API is not running\n");
        abort();
    }
    // The daemon's main loop, where commands run.
    g_loop = new std::thread([] { g_daemon->RunLoop([] { return g_stopLoop.load(); }); });
    atexit(stopDaemon);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* METHODS[] = {"GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH", "TRACE"};
    static const char* PATHS[] = {"/api/status",
                                  "/api/settings",
                                  "/api/settings/",
                                  "/api/warnings",
                                  "/api/overlays/models",
                                  "/api/command",
                                  "/gpio",
                                  "/api/options/GPIOLIST",
                                  "/",
                                  "/index.html",
                                  "",
                                  "/api/"};
    static const char* TYPES[] = {"", "application/json", "application/x-www-form-urlencoded", "text/plain"};
    Input in{data, size};
    const uint8_t m = in.byte();
    const std::string method = m < 0xF0 ? METHODS[m % 8] : oneLine(in.text());
    const std::string path = PATHS[in.byte() % 12] + oneLine(in.text());
    const char* type = TYPES[in.byte() % 4];
    std::string headers;
    std::vector<std::string> headerLines;
    for (const std::string& line : {in.text(), in.text()}) {
        std::string h = oneLine(line);
        // A line starting with white space continues the one before it (the
        // "Connection: close" the harness relies on, say).
        h.erase(0, h.find_first_not_of(" \t"));
        // The framing stays the harness's: no second length, coding or connection header.
        std::string lower;
        for (char c : h) {
            lower += (char)tolower((unsigned char)c);
        }
        if (h.empty() || lower.find("content-length") != std::string::npos ||
            lower.find("transfer-encoding") != std::string::npos ||
            lower.find("connection") != std::string::npos) {
            continue;
        }
        headers += h + "\r\n";
        headerLines.push_back(h);
    }
    const std::string body = in.rest();
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: tavo\r\nConnection: close\r\n";
    if (*type) {
        request += std::string("Content-Type: ") + type + "\r\n";
    }
    request += headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;

    bool hung = false;
    const std::string answer = roundTrip(request, hung);
    const bool statusLine = answer.size() >= 12 && answer.compare(0, 9, "HTTP/1.1 ") == 0 &&
                            answer[9] >= '1' && answer[9] <= '5' && isdigit((unsigned char)answer[10]) &&
                            isdigit((unsigned char)answer[11]);
    if (hung || (!statusLine && wellFormed(method, path, headerLines))) {
        fprintf(stderr, "http_api_fuzz: %s for a request of %zu bytes:\n%s\n-- got %zu bytes: %.200s\n",
                hung ? "no answer in 20 s" : "no status line", request.size(), request.c_str(), answer.size(),
                answer.c_str());
        abort();
    }
    // A setting changed over HTTP may have raised the log levels.
    QuietLogs();
    return 0;
}
