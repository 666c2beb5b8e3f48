// Helpers for the tests that run the real tavod: a media folder, the daemon as a
// child process, a UDP receiver on 127.0.0.1 and a small HTTP client.
#pragma once

#include "HttpTestClient.h"
#include "LoopbackListener.h"
#include "TempDir.h"
#include "TestSequences.h"
#include "UdpReceiver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace tavodtest {

inline int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A media folder with config/ and sequences/.
class MediaDir {
public:
    MediaDir() {
        mkdir((m_dir.path() + "/config").c_str(), 0755);
        mkdir((m_dir.path() + "/sequences").c_str(), 0755);
    }
    const std::string& path() const { return m_dir.path(); }
    std::string file(const std::string& name) const { return m_dir.file(name); }
    void writeConfig(const std::string& name, const std::string& text) {
        writeFileBytes(m_dir.path() + "/config/" + name, text);
    }
    void writeOutputs(const std::string& outputsJsonList) {
        writeConfig("channeloutputs.json", "{\"channelOutputs\": [" + outputsJsonList + "]}");
    }
    bool writeSequence(const std::string& name, uint32_t channels, uint32_t frames, uint32_t stepTime,
                       LCSFFile::CompressionType compression = LCSFFile::CompressionType::none) {
        TestSequenceOptions o;
        o.channels = channels;
        o.frames = frames;
        o.stepTime = stepTime;
        o.compression = compression;
        return writeTestSequence(m_dir.path() + "/sequences/" + name, o);
    }
    std::string sequencePath(const std::string& name) const { return m_dir.path() + "/sequences/" + name; }

private:
    TempDir m_dir;
};

// A CustomUDP output entry for channeloutputs.json.
inline std::string customUdp(int startChannel, int channelCount, int port, const std::string& tokens,
                             const std::string& address = "127.0.0.1") {
    return "{\"type\": \"CustomUDP\", \"enabled\": 1, \"startChannel\": " + std::to_string(startChannel) +
           ", \"channelCount\": " + std::to_string(channelCount) + ", \"address\": \"" + address +
           "\", \"port\": " + std::to_string(port) + ", \"tokens\": \"" + tokens + "\"}";
}

// tavod as a child process; standard output and error go to files of `dir`. With
// `httpListenFd` (taken over and closed here), tavod serves its HTTP API on that
// socket, handed over the way a service manager does (LISTEN_FDS). `program` runs
// another tavod than the build's (an installed one).
class Tavod {
public:
    Tavod(const std::string& dir, const std::vector<std::string>& args, int stderrFd = -1,
          int httpListenFd = -1, const std::string& program = "") {
        m_out = dir + "/tavod.stdout";
        m_err = dir + "/tavod.stderr";
        std::vector<std::string> argv = {program.empty() ? std::string(TAVO_BIN_DIR) + "/tavod" : program};
        argv.insert(argv.end(), args.begin(), args.end());
        // Everything the child needs is made before the fork: after it, only
        // async-signal-safe calls.
        std::vector<char*> cargs;
        for (std::string& a : argv) {
            cargs.push_back(&a[0]);
        }
        cargs.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e; e++) {
            if (strncmp(*e, "LISTEN_", 7) != 0) {
                env.push_back(*e);
            }
        }
        char pidVar[32] = "LISTEN_PID=";
        if (httpListenFd >= 0) {
            env.push_back("LISTEN_FDS=1");
            env.push_back("LISTEN_FDNAMES=http");
        }
        std::vector<char*> cenv;
        for (std::string& e : env) {
            cenv.push_back(&e[0]);
        }
        if (httpListenFd >= 0) {
            cenv.push_back(pidVar);
        }
        cenv.push_back(nullptr);
        int out = open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int err =
            stderrFd >= 0 ? stderrFd : open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            dup2(devnull, STDIN_FILENO);
            if (httpListenFd >= 0) {
                // The first handed-over socket is descriptor 3, and it must survive exec.
                if (httpListenFd == 3) {
                    fcntl(3, F_SETFD, 0);
                } else {
                    dup2(httpListenFd, 3);
                }
                formatPid(pidVar + strlen(pidVar), getpid());
            }
            // What the daemon does about signals it must do itself.
            ::signal(SIGPIPE, SIG_DFL);
            ::signal(SIGINT, SIG_DFL);
            ::signal(SIGTERM, SIG_DFL);
            execve(cargs[0], cargs.data(), cenv.data());
            _exit(127);
        }
        close(out);
        if (stderrFd < 0) {
            close(err);
        }
        close(devnull);
        if (httpListenFd >= 0) {
            close(httpListenFd);
        }
    }
    ~Tavod() {
        if (m_pid > 0 && !m_exited) {
            kill(m_pid, SIGKILL);
            int st;
            waitpid(m_pid, &st, 0);
        }
    }
    pid_t pid() const { return m_pid; }
    // Never with no child: kill(-1) would signal every process we may signal.
    void sendSignal(int sig) {
        if (m_pid > 0) {
            kill(m_pid, sig);
        }
    }

    // Waits for the exit; false on time-out (the process keeps running).
    bool wait(int timeoutMs = 20000) {
        int64_t end = nowUs() + (int64_t)timeoutMs * 1000;
        while (!m_exited) {
            int st = 0;
            pid_t r = waitpid(m_pid, &st, WNOHANG);
            if (r == m_pid) {
                m_exited = true;
                m_status = st;
                break;
            }
            if (nowUs() > end) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    bool running() {
        if (m_exited) {
            return false;
        }
        int st = 0;
        if (waitpid(m_pid, &st, WNOHANG) == m_pid) {
            m_exited = true;
            m_status = st;
        }
        return !m_exited;
    }
    // The exit status, or 1000 + the signal that ended it.
    int exitCode() const {
        if (WIFEXITED(m_status)) {
            return WEXITSTATUS(m_status);
        }
        return WIFSIGNALED(m_status) ? 1000 + WTERMSIG(m_status) : -1;
    }
    std::string err() const { return readFileBytes(m_err); }
    std::string out() const { return readFileBytes(m_out); }

private:
    // Decimal digits of `pid` into `out`, zero-terminated; async-signal-safe.
    static void formatPid(char* out, pid_t pid) {
        char digits[16];
        int n = 0;
        do {
            digits[n++] = (char)('0' + pid % 10);
            pid /= 10;
        } while (pid > 0 && n < 15);
        while (n > 0) {
            *out++ = digits[--n];
        }
        *out = 0;
    }

    pid_t m_pid = -1;
    bool m_exited = false;
    int m_status = 0;
    std::string m_out;
    std::string m_err;
};

// The common options of a test run: the temp media folder, the build's plug-ins, no
// HTTP port of its own (a test that wants the API hands a socket: startWithHttp).
// Debian's libfaketime for this build's architecture, to preload into tavod (with
// FAKETIME set) so that its clocks are shifted or run at another rate; "" when the
// faketime package is not installed.
inline std::string fakeTimeLibrary() {
    const std::string path = std::string("/usr/lib/") + TAVO_MULTIARCH + "/faketime/libfaketime.so.1";
    return access(path.c_str(), R_OK) == 0 ? path : "";
}

inline std::vector<std::string> tavodArgs(const MediaDir& media, std::vector<std::string> more) {
    std::vector<std::string> a = {"--media-dir", media.path(), "--plugin-dir", TAVO_PLUGIN_DIR,
                                  "--http-port", "0",          "--quiet"};
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

// Starts tavod with its HTTP API on a socket of the test's and waits until the API
// answers; null (with a test failure naming tavod's messages) when it does not.
inline std::unique_ptr<Tavod> startWithHttp(const MediaDir& media, const std::vector<std::string>& more,
                                            uint16_t& port, int timeoutMs = 15000,
                                            const std::string& program = "") {
    LoopbackListener listener;
    if (!listener.ok()) {
        ADD_FAILURE() << "no loopback socket: " << strerror(errno);
        return nullptr;
    }
    port = listener.port();
    std::unique_ptr<Tavod> t(
        new Tavod(media.path(), tavodArgs(media, more), -1, listener.release(), program));
    int64_t end = nowUs() + (int64_t)timeoutMs * 1000;
    while (t->running() && httpGet(port, "/api/status").status != 200) {
        if (nowUs() > end) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (httpGet(port, "/api/status").status != 200) {
        ADD_FAILURE() << "tavod's HTTP API did not come up; its messages:\n" << t->err();
        return nullptr;
    }
    return t;
}

struct Datagram {
    std::vector<uint8_t> bytes;
    int64_t timeUs;
};

// Receives datagrams on 127.0.0.1 with their arrival times; a large buffer, so a
// burst of outputs is not dropped by the kernel.
class TimedUdpReceiver : public ::UdpReceiver {
public:
    TimedUdpReceiver() : ::UdpReceiver("127.0.0.1", 8 * 1024 * 1024) {}
    bool receive(Datagram& d, int timeoutMs) {
        bool ok = ::UdpReceiver::receive(d.bytes, timeoutMs);
        d.timeUs = nowUs();
        return ok;
    }
};

inline double median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace tavodtest
