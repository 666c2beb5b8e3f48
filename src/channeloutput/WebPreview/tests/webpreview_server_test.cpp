// The web preview output's server over real sockets on 127.0.0.1.
#include "WebPreviewOutput.h"

#include "host/core/Common.h"
#include "LogCapture.h"
#include "WebPreviewTestSupport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <regex>
#include <sys/resource.h>

using namespace webpreview_test;

namespace {

const unsigned START = 6; // the output does not start at channel 0, so offsets are exercised

// `port` 0: any free port, which the output then reports; below 0: no "port" key.
Json::Value config(int port, int width = 4, int height = 2) {
    Json::Value c;
    c["type"] = "WebPreview";
    if (port >= 0) {
        c["port"] = port;
    }
    c["layout"]["type"] = "matrix";
    c["layout"]["width"] = width;
    c["layout"]["height"] = height;
    return c;
}

class WebPreviewServer : public ::testing::Test {
protected:
    void SetUp() override {
        m_output.reset(new WebPreviewOutput(START, 24));
        ASSERT_EQ(m_output->Init(config(0)), 1) << m_log.text();
        m_port = m_output->GetPort();
        ASSERT_GT(m_port, 0);
        m_channels.assign(1024, 0);
    }
    void TearDown() override {
        m_output.reset();
        for (int fd : m_clients) {
            close(fd);
        }
    }

    int connectClient(int rcvbuf = 0) {
        const size_t before = m_output->GetConnectionCount();
        int fd = connectLoopback(m_port, rcvbuf);
        EXPECT_GE(fd, 0);
        m_clients.push_back(fd);
        EXPECT_TRUE(waitFor([&] { return m_output->GetConnectionCount() == before + 1; }, 3000));
        std::string header;
        readSome(fd, header, 2000, "\r\n\r\n");
        EXPECT_NE(header.find("\r\n\r\n"), std::string::npos);
        m_pending[fd] = header.substr(header.find("\r\n\r\n") + 4);
        return fd;
    }

    // Layout pixel (x, y) of the 4x2 matrix.
    void setPixel(int x, int y, unsigned char r, unsigned char g, unsigned char b) {
        unsigned char* p = &m_channels[START + 3 * (y * 4 + x)];
        p[0] = r;
        p[1] = g;
        p[2] = b;
    }

    void frame() {
        m_output->PrepData(m_channels.data());
        EXPECT_EQ(m_output->SendData(m_channels.data() + START), 24);
    }

    // The next event on `fd`, or "" when none came within the time.
    std::string nextEvent(int fd, int timeoutMs = 2000) {
        std::string& buf = m_pending[fd];
        const int64_t end = nowMs() + timeoutMs;
        for (;;) {
            std::string text;
            bool bad = false;
            if (takeChunk(buf, text, bad)) {
                return text;
            }
            EXPECT_FALSE(bad) << "malformed chunk: " << buf.substr(0, 40);
            if (bad || nowMs() >= end) {
                return "";
            }
            readSome(fd, buf, (int)std::max<int64_t>(1, std::min<int64_t>(50, end - nowMs())));
        }
    }

    LogCapture m_log;
    int m_port = 0;
    std::unique_ptr<WebPreviewOutput> m_output;
    std::vector<unsigned char> m_channels;
    std::vector<int> m_clients;
    std::map<int, std::string> m_pending;
};

} // namespace

TEST_F(WebPreviewServer, AnswersEveryConnectionWithTheEventStreamHeader) {
    int fd = connectLoopback(m_port);
    ASSERT_GE(fd, 0);
    m_clients.push_back(fd);
    std::string header;
    readSome(fd, header, 2000, "\r\n\r\n");
    ASSERT_NE(header.find("\r\n\r\n"), std::string::npos) << header;
    header.resize(header.find("\r\n\r\n") + 2);

    std::vector<std::string> lines;
    for (size_t at = 0; at < header.size();) {
        size_t eol = header.find("\r\n", at);
        ASSERT_NE(eol, std::string::npos);
        lines.push_back(header.substr(at, eol - at));
        at = eol + 2;
    }
    ASSERT_EQ(lines.size(), 10u) << header;
    EXPECT_EQ(lines[0], "HTTP/1.1 200 OK");
    EXPECT_EQ(lines[1], "Content-Type: text/event-stream;charset=UTF-8");
    EXPECT_EQ(lines[2], "Transfer-Encoding: chunked");
    EXPECT_EQ(lines[3], "Connection: close");
    EXPECT_TRUE(std::regex_match(lines[4], std::regex("Date: [A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} "
                                                      "[0-9]{2}:[0-9]{2}:[0-9]{2} [A-Za-z0-9+-]+ [0-9]{4}")))
        << lines[4];
    EXPECT_EQ(lines[5], "Server: tavod");
    EXPECT_EQ(lines[6], "X-Powered-By: Tavo/" + getTavoVersion());
    EXPECT_EQ(lines[7], "Cache-Control: no-cache, private");
    EXPECT_EQ(lines[8], "Access-Control-Allow-Origin: *");
    EXPECT_EQ(lines[9], "Access-Control-Allow-Credentials: true");
}

TEST_F(WebPreviewServer, ARequestIsReadAndDroppedAndTheStreamGoesOn) {
    int fd = connectClient();
    const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n";
    ASSERT_EQ(send(fd, request.data(), request.size(), 0), (ssize_t)request.size());
    EXPECT_TRUE(waitFor([&] { return m_log.contains("Data read from socket"); }, 3000));

    setPixel(1, 0, 255, 0, 0);
    frame();
    const std::string event = nextEvent(fd);
    EXPECT_EQ(eventData(event), "/00:0101") << "x 1, y 0 is sent as Y0 - y = 1";
    EXPECT_EQ(event, m_output->GetSSEData());
}

TEST_F(WebPreviewServer, OneChunkPerChangedFrameAndNoneWhenNothingChanged) {
    int fd = connectClient();
    setPixel(0, 0, 0, 255, 0);
    frame();
    const std::string first = nextEvent(fd);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(eventData(first), "0/0:0001");
    EXPECT_EQ(first.substr(first.find("\r\n")), "\r\nevent: message\r\ndata: 0/0:0001\r\n\r\n");

    frame(); // the same picture
    EXPECT_TRUE(m_output->GetSSEData().empty());
    EXPECT_EQ(nextEvent(fd, 300), "") << "an unchanged frame sends nothing";

    setPixel(3, 1, 0, 0, 255);
    frame();
    const std::string second = nextEvent(fd);
    EXPECT_EQ(eventData(second), "00/:0300");
    EXPECT_EQ(eventId(second), eventId(first) + 2) << "the unchanged frame still used an event number";
    EXPECT_EQ(nextEvent(fd, 200), "") << "exactly one chunk per changed frame";
}

TEST_F(WebPreviewServer, WithoutBrowsersNothingIsPreparedAndTheEventNumberWaits) {
    setPixel(0, 0, 255, 255, 255);
    frame();
    EXPECT_TRUE(m_output->GetSSEData().empty());

    int fd = connectClient();
    frame();
    const long long before = eventId(nextEvent(fd));
    ASSERT_GE(before, 0);
    close(fd);
    m_clients.clear();
    ASSERT_TRUE(waitFor([&] { return m_output->GetConnectionCount() == 0; }, 3000));

    for (int i = 0; i < 3; i++) {
        setPixel(1, 1, (unsigned char)(i * 80), 0, 0);
        frame();
        EXPECT_TRUE(m_output->GetSSEData().empty());
    }
    fd = connectClient();
    frame();
    EXPECT_EQ(eventId(nextEvent(fd)), before + 1);
}

TEST_F(WebPreviewServer, ANewBrowserGetsEveryLitPixelAndTheOthersTheChangesOfThatFrame) {
    int a = connectClient();
    setPixel(0, 0, 255, 0, 0);
    setPixel(2, 1, 255, 0, 0);
    setPixel(3, 0, 0, 0, 255);
    frame();
    EXPECT_EQ(eventData(nextEvent(a)), "/00:0001;0200|00/:0301");
    frame();

    int b = connectClient();
    setPixel(2, 1, 0, 0, 0); // goes dark in the frame the newcomer joins
    frame();
    EXPECT_EQ(eventData(nextEvent(b)), "/00:0001|00/:0301") << "black pixels are left out";
    EXPECT_EQ(eventData(nextEvent(a)), "000:0200") << "the browser already watching sees it go dark";
    setPixel(1, 0, 0, 255, 0);
    frame();
    EXPECT_EQ(eventData(nextEvent(a)), "0/0:0101");
    EXPECT_EQ(eventData(nextEvent(b)), "0/0:0101");
}

TEST_F(WebPreviewServer, ABrowserJoiningDuringAFrameStillGetsTheWholePicture) {
    int a = connectClient();
    setPixel(0, 0, 255, 0, 0);
    setPixel(2, 1, 255, 0, 0);
    setPixel(3, 0, 0, 0, 255);
    frame();
    const std::string full = "/00:0001;0200|00/:0301";
    EXPECT_EQ(eventData(nextEvent(a)), full);

    // The connection thread is held after accepting the newcomer, before it joins.
    std::mutex lock;
    std::condition_variable cv;
    bool held = false, release = false;
    m_output->SetAcceptedHook([&] {
        std::unique_lock<std::mutex> l(lock);
        held = true;
        cv.notify_all();
        cv.wait_for(l, std::chrono::seconds(10), [&] { return release; });
    });
    int b = connectLoopback(m_port);
    ASSERT_GE(b, 0);
    m_clients.push_back(b);
    {
        std::unique_lock<std::mutex> l(lock);
        ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(5), [&] { return held; }));
    }
    // A frame comes in between: it must not use up the newcomer's full picture.
    frame();
    nextEvent(a, 300);
    {
        std::lock_guard<std::mutex> l(lock);
        release = true;
    }
    cv.notify_all();
    ASSERT_TRUE(waitFor([&] { return m_output->GetConnectionCount() == 2; }, 3000));
    m_output->SetAcceptedHook(nullptr);
    std::string header;
    readSome(b, header, 2000, "\r\n\r\n");
    ASSERT_NE(header.find("\r\n\r\n"), std::string::npos);
    m_pending[b] = header.substr(header.find("\r\n\r\n") + 4);

    frame(); // nothing changed since the last frame
    EXPECT_EQ(eventData(nextEvent(b)), full) << "the newcomer gets every lit pixel";
}

TEST_F(WebPreviewServer, ABrowserJoiningBetweenPrepareAndSendStartsWithTheWholePicture) {
    int a = connectClient();
    setPixel(0, 0, 255, 0, 0);
    setPixel(1, 0, 255, 0, 0);
    frame();
    EXPECT_EQ(eventData(nextEvent(a)), "/00:0001;0101");

    // This frame's change (one pixel off) was prepared before the newcomer came: it
    // would leave (1, 0) lit on a page that has not seen it lit.
    setPixel(1, 0, 0, 0, 0);
    m_output->PrepData(m_channels.data());
    int b = connectClient();
    EXPECT_EQ(m_output->SendData(m_channels.data() + START), 24);
    EXPECT_EQ(eventData(nextEvent(a)), "000:0101");

    frame();
    EXPECT_EQ(eventData(nextEvent(b)), "/00:0001") << "the newcomer's first event is the whole picture";
    setPixel(3, 1, 0, 0, 255);
    frame();
    EXPECT_EQ(eventData(nextEvent(b)), "00/:0300") << "and changes follow it";
    EXPECT_EQ(eventData(nextEvent(a)), "00/:0300") << "nothing else came to the browser already watching";
}

TEST_F(WebPreviewServer, ABrowserThatLeavesIsRemovedAndItsSocketClosed) {
    int a = connectClient();
    int b = connectClient();
    close(a);
    m_clients.erase(m_clients.begin());
    EXPECT_TRUE(waitFor([&] { return m_output->GetConnectionCount() == 1; }, 2500)) << m_log.text();
    EXPECT_TRUE(m_log.contains("Closing socket"));

    setPixel(1, 1, 0, 255, 255);
    frame();
    EXPECT_EQ(eventData(nextEvent(b)), "0//:0100");
}

TEST_F(WebPreviewServer, WritingToABrowserThatHasGoneDoesNotRaiseSigpipe) {
    // The default action of SIGPIPE ends the process, as it would end the daemon.
    struct sigaction old, dfl;
    memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, &old);

    for (int round = 0; round < 5; round++) {
        int fd = connectClient();
        struct linger lg = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
        close(fd); // a reset: the next writes fail with EPIPE or ECONNRESET
        m_clients.pop_back();
        for (int i = 0; i < 20; i++) {
            setPixel(i % 4, 0, (unsigned char)(round * 40 + i * 8), 0, 0);
            frame();
        }
        EXPECT_TRUE(waitFor([&] { return m_output->GetConnectionCount() == 0; }, 2500));
    }

    // The same through the write itself, without a thread that could remove the socket first.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, (struct sockaddr*)&a, sizeof(a)), 0);
    socklen_t len = sizeof(a);
    getsockname(listener, (struct sockaddr*)&a, &len);
    listen(listener, 1);
    int client = connectLoopback(ntohs(a.sin_port));
    int server = accept(listener, nullptr, nullptr);
    close(client); // an orderly close: the first write is answered with a reset, the next fails with EPIPE
    WebPreviewOutput idle(0, 3);
    bool stillOpen = true;
    for (int i = 0; i < 5 && stillOpen; i++) {
        stillOpen = idle.WriteSSEPacket(server, "id: 1\r\nevent: message\r\ndata: /00:0000\r\n\r\n");
        usleep(50000);
    }
    EXPECT_FALSE(stillOpen) << "a write to a reset connection reports the connection lost";
    close(server);
    close(listener);
    sigaction(SIGPIPE, &old, nullptr);
}

TEST_F(WebPreviewServer, AConnectionBeyondWhatSelectCanWatchIsRefusedCleanly) {
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < FD_SETSIZE + 64) {
        GTEST_SKIP() << "the descriptor limit (" << rl.rlim_max << ") is too low to reach " << FD_SETSIZE;
    }
    struct rlimit raised = rl;
    raised.rlim_cur = FD_SETSIZE + 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

    // The client socket first, then every free descriptor below FD_SETSIZE taken,
    // so that the server's accept returns one above it.
    int client = socket(AF_INET, SOCK_STREAM, 0);
    std::vector<int> fillers;
    for (;;) {
        int fd = open("/dev/null", O_RDONLY);
        ASSERT_GE(fd, 0);
        if (fd >= FD_SETSIZE) {
            close(fd);
            break;
        }
        fillers.push_back(fd);
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons((uint16_t)m_port);
    ASSERT_EQ(connect(client, (struct sockaddr*)&addr, sizeof(addr)), 0);

    std::string got;
    const bool open = readSome(client, got, 3000);
    EXPECT_FALSE(open) << "the refused connection is closed";
    EXPECT_EQ(got, "") << "and gets no stream";
    EXPECT_TRUE(m_log.contains("Refusing preview connection")) << m_log.text();
    EXPECT_EQ(m_output->GetConnectionCount(), 0u);
    close(client);

    for (int fd : fillers) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &rl);
    int fd = connectClient();
    setPixel(0, 1, 255, 255, 255);
    frame();
    EXPECT_EQ(eventData(nextEvent(fd)), "///:0000") << "the server still serves";
}

TEST(WebPreviewServerSetup, ListensOn32328WithoutAPort) {
    LogCapture log;
    WebPreviewOutput out(0, 24);
    ASSERT_EQ(out.Init(config(-1)), 1) << log.text();
    EXPECT_EQ(out.GetPort(), 32328);
    // Another server on 32328 with SO_REUSEPORT may share the port; try a few times for ours.
    std::vector<int> fds;
    bool ours = false;
    for (int i = 0; i < 20 && !ours; i++) {
        int fd = connectLoopback(32328);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
        ours = waitFor([&] { return out.GetConnectionCount() > 0; }, 300);
    }
    EXPECT_TRUE(ours);
    for (int fd : fds) {
        close(fd);
    }
}

TEST(WebPreviewServerSetup, TwoOutputsShareOnePort) {
    LogCapture log;
    WebPreviewOutput first(0, 24), second(24, 24);
    ASSERT_EQ(first.Init(config(0)), 1) << log.text();
    const int port = first.GetPort();
    ASSERT_EQ(second.Init(config(port)), 1) << log.text();

    // The kernel spreads connections between the two listeners.
    std::vector<int> fds;
    for (int i = 0; i < 40 && (first.GetConnectionCount() == 0 || second.GetConnectionCount() == 0); i++) {
        int fd = connectLoopback(port);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
        const size_t total = fds.size();
        waitFor([&] { return first.GetConnectionCount() + second.GetConnectionCount() == total; }, 2000);
    }
    EXPECT_GT(first.GetConnectionCount(), 0u);
    EXPECT_GT(second.GetConnectionCount(), 0u);
    EXPECT_EQ(first.GetConnectionCount() + second.GetConnectionCount(), fds.size());
    for (int fd : fds) {
        close(fd);
    }
}

TEST(WebPreviewServerSetup, InitFailsWithAMessage) {
    {
        LogCapture log;
        WebPreviewOutput out(0, 12); // a 4x2 matrix needs 24 channels
        EXPECT_EQ(out.Init(config(0)), 0);
        EXPECT_TRUE(log.contains("needs 24 channels but the output has only 12")) << log.text();
    }
    {
        LogCapture log;
        WebPreviewOutput out(0, 24);
        Json::Value c = config(-1);
        c["port"] = "many";
        EXPECT_EQ(out.Init(c), 0);
        EXPECT_TRUE(log.contains("\"port\"")) << log.text();
    }
    {
        // A listener without SO_REUSEPORT keeps the port to itself.
        LogCapture log;
        int blocker = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t len = sizeof(a);
        ASSERT_EQ(bind(blocker, (struct sockaddr*)&a, sizeof(a)), 0);
        ASSERT_EQ(listen(blocker, 1), 0);
        ASSERT_EQ(getsockname(blocker, (struct sockaddr*)&a, &len), 0);
        const int port = ntohs(a.sin_port);
        WebPreviewOutput out(0, 24);
        EXPECT_EQ(out.Init(config(port)), 0);
        EXPECT_TRUE(log.contains("Could not bind socket")) << log.text();
        close(blocker);
    }
}
