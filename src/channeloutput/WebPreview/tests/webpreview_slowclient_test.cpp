// Browsers that stop reading or fall behind must not hold the show for the others.
#include "WebPreviewOutput.h"

#include "LogCapture.h"
#include "WebPreviewTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

using namespace webpreview_test;

namespace {

const int WIDTH = 200, HEIGHT = 100; // 20,000 pixels: events of about 100 KB when all change
const int FRAME_MS = 25;

Json::Value config(int port) {
    Json::Value c;
    c["type"] = "WebPreview";
    c["port"] = port;
    c["layout"]["type"] = "matrix";
    c["layout"]["width"] = WIDTH;
    c["layout"]["height"] = HEIGHT;
    return c;
}

// Every pixel's colour moves one 6-bit step a frame, with many colours at once.
void paint(std::vector<unsigned char>& channels, int frame) {
    for (int y = 0; y < HEIGHT; y++) {
        for (int x = 0; x < WIDTH; x++) {
            unsigned char* p = &channels[3 * (y * WIDTH + x)];
            p[0] = (unsigned char)(((frame + x) * 4) & 255);
            p[1] = (unsigned char)((y * 8) & 255);
            p[2] = (unsigned char)((x / 8) * 4);
        }
    }
}

// Reads one connection on a thread, like a browser, and notes when each event came.
class Reader {
public:
    // After `pauseAtEvent` events, stops reading until `resume` says so (4 s at most).
    explicit Reader(int fd, int pauseAtEvent = -1, std::function<bool()> resume = nullptr)
        : m_fd(fd), m_pauseAtEvent(pauseAtEvent), m_resume(std::move(resume)), m_thread([this] { run(); }) {}
    ~Reader() {
        m_stop = true;
        m_thread.join();
        close(m_fd);
    }
    std::vector<std::pair<long long, int64_t>> events() {
        std::lock_guard<std::mutex> l(m_lock);
        return m_events;
    }
    bool bad() const { return m_bad; }
    std::string firstData() {
        std::lock_guard<std::mutex> l(m_lock);
        return m_firstData;
    }

private:
    void run() {
        std::string buf;
        readSome(m_fd, buf, 3000, "\r\n\r\n");
        const size_t end = buf.find("\r\n\r\n");
        if (end == std::string::npos) {
            m_bad = true;
            return;
        }
        buf.erase(0, end + 4);
        int count = 0;
        while (!m_stop) {
            std::string text;
            bool bad = false;
            while (takeChunk(buf, text, bad)) {
                std::lock_guard<std::mutex> l(m_lock);
                m_events.emplace_back(eventId(text), nowMs());
                if (m_firstData.empty()) {
                    m_firstData = eventData(text);
                }
                if (++count == m_pauseAtEvent) {
                    waitFor(m_resume, 4000);
                }
            }
            if (bad) {
                m_bad = true;
                return;
            }
            if (!readSome(m_fd, buf, 20)) {
                return;
            }
        }
    }

    int m_fd;
    int m_pauseAtEvent;
    std::function<bool()> m_resume;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_bad{false};
    std::mutex m_lock;
    std::vector<std::pair<long long, int64_t>> m_events; // guarded by m_lock: id, arrival (ms)
    std::string m_firstData;                             // guarded by m_lock
    std::thread m_thread;
};

struct Show {
    std::vector<std::pair<long long, int64_t>> sent; // id, time SendData began (ms)
    int64_t longestSendMs = 0;
};

// Plays `frames` frames on the output at FRAME_MS on an absolute schedule.
Show play(WebPreviewOutput& out, int frames, int firstFrame = 0) {
    Show show;
    std::vector<unsigned char> channels(3 * WIDTH * HEIGHT, 0);
    int64_t next = nowMs();
    for (int f = firstFrame; f < firstFrame + frames; f++) {
        paint(channels, f);
        out.PrepData(channels.data());
        const long long id = eventId(out.GetSSEData());
        const int64_t start = nowMs();
        out.SendData(channels.data());
        show.longestSendMs = std::max(show.longestSendMs, nowMs() - start);
        if (id >= 0) {
            show.sent.emplace_back(id, start);
        }
        next += FRAME_MS;
        const int64_t wait = next - nowMs();
        if (wait > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(wait));
        }
    }
    return show;
}

// Every sent event arrived, in order, each at most `maxLateMs` after its SendData began.
void expectEveryEvent(const Show& show, const std::vector<std::pair<long long, int64_t>>& got,
                      int64_t maxLateMs) {
    ASSERT_EQ(got.size(), show.sent.size());
    int64_t latest = 0;
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(got[i].first, show.sent[i].first) << "event " << i;
        latest = std::max(latest, got[i].second - show.sent[i].second);
    }
    EXPECT_LE(latest, maxLateMs) << "the latest event came " << latest << " ms after it was sent";
}

} // namespace

// The bounds on time below are far above what a frame may take (a few ms) and far
// below "blocked for good": they catch a write that waits for the stuck browser,
// not a busy machine. How fast frames go is measured by webpreview_bench.
constexpr int64_t BLOCKED_MS = 2000;

TEST(WebPreviewSlowBrowser, AStuckBrowserIsDroppedWhileTheOtherGetsEveryFrame) {
    alarm(120); // without a bound on writes, SendData would block here for good
    LogCapture log(LOG_DEBUG);
    WebPreviewOutput out(0, 3 * WIDTH * HEIGHT);
    ASSERT_EQ(out.Init(config(0)), 1) << log.text();
    const int port = out.GetPort();

    // The stuck browser never reads; a small receive buffer fills sooner.
    const int stuck = connectLoopback(port, 4096);
    ASSERT_GE(stuck, 0);
    ASSERT_TRUE(waitFor([&] { return out.GetConnectionCount() == 1; }, 3000));
    std::unique_ptr<Reader> reader(new Reader(connectLoopback(port)));
    ASSERT_TRUE(waitFor([&] { return out.GetConnectionCount() == 2; }, 3000));

    const Show show = play(out, 160);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(reader->bad());
    expectEveryEvent(show, reader->events(), BLOCKED_MS);
    EXPECT_LE(show.longestSendMs, BLOCKED_MS) << "one frame waited for the stuck browser";
    EXPECT_TRUE(log.contains("Dropping preview connection")) << "the stuck browser is still served";
    EXPECT_TRUE(waitFor([&] { return out.GetConnectionCount() == 1; }, 2500));
    EXPECT_EQ(out.GetDroppedCount(), 1u);
    close(stuck);
    alarm(0);
}

TEST(WebPreviewSlowBrowser, ABrowserThatPausesCatchesUpWithAnIntactStream) {
    alarm(120);
    LogCapture log(LOG_DEBUG);
    WebPreviewOutput out(0, 3 * WIDTH * HEIGHT);
    ASSERT_EQ(out.Init(config(0)), 1) << log.text();
    const int port = out.GetPort();

    std::unique_ptr<Reader> steady(new Reader(connectLoopback(port)));
    ASSERT_TRUE(waitFor([&] { return out.GetConnectionCount() == 1; }, 3000));
    // Stops reading after its fifth event until the server has had to keep bytes back for it.
    std::unique_ptr<Reader> pausing(
        new Reader(connectLoopback(port, 8192), 5, [&] { return log.contains("fell behind"); }));
    ASSERT_TRUE(waitFor([&] { return out.GetConnectionCount() == 2; }, 3000));

    const Show show = play(out, 120);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // the select thread sends the rest
    EXPECT_TRUE(log.contains("fell behind")) << "the pause did not fill the socket; the test proves nothing";
    EXPECT_FALSE(log.contains("Dropping preview connection")) << log.text().substr(0, 2000);
    EXPECT_FALSE(pausing->bad()) << "the stream was cut mid-chunk";
    EXPECT_FALSE(steady->bad());
    expectEveryEvent(show, steady->events(), BLOCKED_MS);

    const auto late = pausing->events();
    ASSERT_EQ(late.size(), show.sent.size());
    for (size_t i = 0; i < late.size(); i++) {
        EXPECT_EQ(late[i].first, show.sent[i].first);
    }
    EXPECT_EQ(out.GetConnectionCount(), 2u);
    alarm(0);
}

namespace {

// Holds the thread that receives SIGUSR2 in its handler until released: a server
// thread that gets no processor time, without a hook in the server for it.
std::atomic<bool> g_held{false};
std::atomic<bool> g_release{false};
void holdThread(int) {
    g_held = true;
    while (!g_release) {
    }
}

pid_t threadNamed(const std::string& name) {
    DIR* d = opendir("/proc/self/task");
    pid_t found = -1;
    while (struct dirent* e = d ? readdir(d) : nullptr) {
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string n;
        if (e->d_name[0] != '.' && (comm >> n) && n == name) {
            found = (pid_t)atoi(e->d_name);
        }
    }
    if (d) {
        closedir(d);
    }
    return found;
}

} // namespace

TEST(WebPreviewSlowBrowser, AStarvedServerThreadDropsEveryBrowserAndTheShowNeverWaits) {
    alarm(120);
    LogCapture log(LOG_DEBUG);
    WebPreviewOutput out(0, 3 * WIDTH * HEIGHT);
    ASSERT_EQ(out.Init(config(0)), 1) << log.text();
    std::unique_ptr<Reader> reader(new Reader(connectLoopback(out.GetPort())));
    ASSERT_TRUE(waitFor([&] { return out.GetConnectionCount() == 1; }, 3000));
    play(out, 4);
    ASSERT_TRUE(waitFor([&] { return reader->events().size() == 4; }, 3000));

    const pid_t select = threadNamed("Tavo-HTTPVD-Sel");
    ASSERT_GT(select, 0);
    struct sigaction hold, old;
    memset(&hold, 0, sizeof(hold));
    hold.sa_handler = holdThread;
    sigaction(SIGUSR2, &hold, &old);
    g_held = false;
    g_release = false;
    ASSERT_EQ(syscall(SYS_tgkill, getpid(), select, SIGUSR2), 0);
    ASSERT_TRUE(waitFor([] { return g_held.load(); }, 3000));
    // About 100 KB an event: 30 of them are more than the 2 MiB that may wait.
    const Show show = play(out, 30, 4);
    EXPECT_LE(show.longestSendMs, BLOCKED_MS) << "a frame waited for the server's thread";
    g_release = true;

    EXPECT_TRUE(waitFor([&] { return log.contains("fell more than 2 MiB behind"); }, 3000)) << log.text();
    EXPECT_TRUE(waitFor([&] { return out.GetConnectionCount() == 0; }, 3000));
    EXPECT_LT(reader->events().size(), 34u) << "the browser was not dropped";
    sigaction(SIGUSR2, &old, nullptr);

    // The next browser starts again from a whole picture.
    std::unique_ptr<Reader> next(new Reader(connectLoopback(out.GetPort())));
    ASSERT_TRUE(waitFor([&] { return out.GetConnectionCount() == 1; }, 3000));
    play(out, 2, 34);
    EXPECT_TRUE(waitFor([&] { return next->events().size() == 2; }, 3000));
    EXPECT_FALSE(next->bad());
    alarm(0);
}
