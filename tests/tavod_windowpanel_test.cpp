// WindowPanel in the real tavod under a real Xvfb: the window shows up and is
// drawn; killing the X server mid-show does not end tavod: the preview stops with
// a warning, the other outputs keep every frame, and tavod stops cleanly later. A
// server that stops answering holds neither reloads nor the stop, and is used
// again once it answers.
#include "JsonText.h"
#include "TavodTestSupport.h"
#include "XvfbServer.h"
#include "host/core/Common.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

using namespace tavodtest;

namespace {

const char* const TITLE = "tavod test wall";

std::string windowPanel() {
    return std::string(
               "{\"type\": \"WindowPanel\", \"enabled\": 1, \"startChannel\": 1, \"channelCount\": 1536, ") +
           "\"panelWidth\": 32, \"panelHeight\": 16, \"scale\": 2, \"title\": \"" + TITLE +
           "\", \"panels\": [{\"outputNumber\": 0, \"panelNumber\": 0, \"orientation\": \"N\"}]}";
}

Json::Value windowStatus(uint16_t port) {
    Json::Value s = parseJson(httpGet(port, "/api/status").body);
    for (const Json::Value& o : s["outputs"]) {
        if (o["type"].asString() == "WindowPanel") {
            return o;
        }
    }
    return Json::Value();
}

// The top-level window of that title, or 0.
Window findWindow(Display* d, const char* title) {
    Window root, parent;
    Window* children = nullptr;
    unsigned int n = 0;
    Window found = 0;
    if (XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &n)) {
        for (unsigned i = 0; i < n && !found; i++) {
            char* name = nullptr;
            if (XFetchName(d, children[i], &name) && name) {
                if (std::string(name) == title) {
                    found = children[i];
                }
                XFree(name);
            }
        }
        if (children) {
            XFree(children);
        }
    }
    return found;
}

} // namespace

TEST(WindowPanelTavod, KillingTheXServerMidShowDoesNotEndTavod) {
    XvfbServer server;
    if (!server.ok()) {
        GTEST_SKIP() << "no X server for the test: " << server.reason();
    }
    setenv("DISPLAY", server.display().c_str(), 1);
    MediaDir media;
    ASSERT_TRUE(media.writeSequence("show.lcsf", 2000, 4000, 25));
    TimedUdpReceiver rx;
    media.writeOutputs(windowPanel() + ", " + customUdp(1601, 30, rx.port(), "{data}"));
    uint16_t port = 0;
    std::unique_ptr<Tavod> tavod = startWithHttp(media, {"play", "show.lcsf", "--loop"}, port);
    ASSERT_TRUE(tavod);
    Datagram d;
    ASSERT_TRUE(rx.receive(d, 3000)) << tavod->err();

    int64_t end = GetTimeMS() + 10000;
    while (windowStatus(port)["framesDrawn"].asInt64() < 5 && GetTimeMS() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Json::Value w = windowStatus(port);
    ASSERT_GE(w["framesDrawn"].asInt64(), 5) << w.toStyledString() << tavod->err();
    EXPECT_TRUE(w["connected"].asBool());
    {
        XProbe probe(server.display());
        ASSERT_NE(nullptr, probe.get());
        Window window = findWindow(probe.get(), TITLE);
        ASSERT_NE(0u, window) << "tavod's window is on the server";
        XWindowAttributes a;
        ASSERT_NE(0, XGetWindowAttributes(probe.get(), window, &a));
        EXPECT_EQ(64, a.width);
        EXPECT_EQ(32, a.height);
    } // the probe goes before its server does

    server.kill();
    // Every frame of the other output still goes out, and tavod stays.
    Json::Value before = parseJson(httpGet(port, "/api/status").body);
    int received = 0;
    end = GetTimeMS() + 2000;
    while (GetTimeMS() < end && rx.receive(d, 1000)) {
        received++;
    }
    ASSERT_TRUE(tavod->running()) << tavod->err();
    Json::Value after = parseJson(httpGet(port, "/api/status").body);
    int64_t sent = after["framesSent"].asInt64() - before["framesSent"].asInt64();
    EXPECT_GT(sent, 20);
    EXPECT_GE(received, sent - 2) << "frames of the UDP output were lost or held";

    end = GetTimeMS() + 10000;
    while (windowStatus(port)["connected"].asBool() && GetTimeMS() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_FALSE(windowStatus(port)["connected"].asBool());
    std::string warnings = httpGet(port, "/api/warnings").body;
    EXPECT_NE(std::string::npos, warnings.find("WindowPanel: lost the X server " + server.display()))
        << warnings;

    tavod->sendSignal(SIGTERM);
    ASSERT_TRUE(tavod->wait(10000)) << "tavod stops cleanly without its X server";
    EXPECT_EQ(0, tavod->exitCode()) << tavod->err();
    std::string err = tavod->err();
    size_t first = err.find("the connection to the X server");
    ASSERT_NE(std::string::npos, first) << err;
    EXPECT_EQ(std::string::npos, err.find("the connection to the X server", first + 1)) << "said once:\n"
                                                                                        << err;
    EXPECT_EQ(std::string::npos, err.find("X connection to")) << "Xlib's own exit message:\n" << err;
}

TEST(WindowPanelTavod, AServerThatStopsAnsweringIsLetGoTriedAgainAndNeverHoldsTavod) {
    XvfbServer server;
    if (!server.ok()) {
        GTEST_SKIP() << "no X server for the test: " << server.reason();
    }
    // A stopped server must go on before it can be ended, whatever the test meets.
    struct Resume {
        pid_t pid;
        ~Resume() { kill(pid, SIGCONT); }
    } resume{server.pid()};
    setenv("DISPLAY", server.display().c_str(), 1);
    MediaDir media;
    ASSERT_TRUE(media.writeSequence("show.lcsf", 2000, 400, 25));
    media.writeOutputs(windowPanel());
    uint16_t port = 0;
    std::unique_ptr<Tavod> tavod = startWithHttp(media, {"play", "show.lcsf", "--loop"}, port);
    ASSERT_TRUE(tavod);
    auto waitStatus = [&](const std::function<bool(const Json::Value&)>& done) {
        int64_t end = GetTimeMS() + 30000;
        while (!done(windowStatus(port)) && GetTimeMS() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return done(windowStatus(port));
    };
    ASSERT_TRUE(waitStatus([](const Json::Value& w) { return w["framesDrawn"].asInt64() >= 5; }))
        << tavod->err();

    // Stopped mid-show: the output lets the server go, and takes it again once it answers.
    ASSERT_EQ(0, kill(server.pid(), SIGSTOP));
    ASSERT_TRUE(waitStatus([](const Json::Value& w) { return !w["connected"].asBool(); }))
        << "the output still waits on the stopped server\n"
        << tavod->err();
    ASSERT_EQ(0, kill(server.pid(), SIGCONT));
    long long drawn = windowStatus(port)["framesDrawn"].asInt64();
    ASSERT_TRUE(waitStatus([&](const Json::Value& w) {
        return w["connected"].asBool() && w["framesDrawn"].asInt64() > drawn;
    })) << "the display is tried again and drawn on\n"
        << tavod->err();
    {
        XProbe probe(server.display());
        ASSERT_NE(nullptr, probe.get());
        EXPECT_NE(0u, findWindow(probe.get(), TITLE)) << "the window is back";
    }
    EXPECT_EQ(std::string::npos, httpGet(port, "/api/warnings").body.find("WindowPanel: lost the X server"));

    // Stopped again: a reload that replaces the output closes the old one and gives
    // up opening the new one, then tavod stops, all without the server.
    ASSERT_EQ(0, kill(server.pid(), SIGSTOP));
    std::string retitled = windowPanel();
    retitled.replace(retitled.find(TITLE), strlen(TITLE), "another title");
    media.writeOutputs(retitled);
    tavod->sendSignal(SIGHUP);
    int64_t end = GetTimeMS() + 60000;
    Json::Value s;
    while (GetTimeMS() < end) {
        s = parseJson(httpGet(port, "/api/status").body);
        if (s["failedOutputs"].size() == 1) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(1u, s["failedOutputs"].size()) << s.toStyledString() << tavod->err();
    EXPECT_NE(std::string::npos, s["failedOutputs"][0]["reason"].asString().find("did not answer"))
        << s["failedOutputs"][0]["reason"].asString();
    tavod->sendSignal(SIGTERM);
    ASSERT_TRUE(tavod->wait(60000)) << "tavod stops while its X server does not answer\n" << tavod->err();
    EXPECT_EQ(0, tavod->exitCode()) << tavod->err();
    EXPECT_EQ(std::string::npos, tavod->err().find("X connection to")) << tavod->err();
}

TEST(WindowPanelTavod, WithoutAnXServerTheOutputIsLeftOutAndTheShowGoesOn) {
    setenv("DISPLAY", "tavo-test-no-such-display", 1);
    MediaDir media;
    ASSERT_TRUE(media.writeSequence("show.lcsf", 2000, 400, 25));
    TimedUdpReceiver rx;
    media.writeOutputs(windowPanel() + ", " + customUdp(1601, 30, rx.port(), "{data}"));
    uint16_t port = 0;
    std::unique_ptr<Tavod> tavod = startWithHttp(media, {"play", "show.lcsf", "--loop"}, port);
    ASSERT_TRUE(tavod);
    Datagram d;
    for (int i = 0; i < 10; i++) {
        ASSERT_TRUE(rx.receive(d, 3000)) << tavod->err();
    }
    Json::Value s = parseJson(httpGet(port, "/api/status").body);
    ASSERT_EQ(1u, s["failedOutputs"].size()) << s.toStyledString();
    EXPECT_EQ("Unable to connect to X Server: tavo-test-no-such-display",
              s["failedOutputs"][0]["reason"].asString());
    tavod->sendSignal(SIGTERM);
    ASSERT_TRUE(tavod->wait(10000));
    EXPECT_EQ(0, tavod->exitCode()) << tavod->err();
}
