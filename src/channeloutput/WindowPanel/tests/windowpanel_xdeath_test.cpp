// Losing the X server mid-show: the server killed, or the window closed (the
// server drops the client). Xlib would end the process; the output instead stops
// drawing, says so once and raises a warning, and its frames and Close stay harmless.
#include "host/core/Warnings.h"
#include "host/output/ChannelBuffer.h"
#include "LogCapture.h"
#include "WindowPanelTestSupport.h"
#include "XvfbServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <vector>

using namespace windowpaneltest;

namespace {

bool hasWarning(const std::string& text) {
    auto w = WarningHolder::GetWarnings();
    return std::find(w.begin(), w.end(), text) != w.end();
}

class WindowPanelDeathTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server.ok()) {
            GTEST_SKIP() << "no X server for the test: " << server.reason();
        }
        // As tavod does: a write to a broken connection must not raise SIGPIPE.
        signal(SIGPIPE, SIG_IGN);
        setenv("DISPLAY", server.display().c_str(), 1);
        WarningHolder::ClearWarnings();
        buffer.assign(TAVO_CHANNEL_BUFFER_SIZE, 9);
        warning = "WindowPanel: lost the X server " + server.display() + "; the preview window stopped";
    }

    void sendFrames(WindowPanelOutput& o, int n) {
        for (int i = 0; i < n; i++) {
            o.PrepData(buffer.data());
            o.SendData(buffer.data());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    // Frames go on until the output has noticed the loss; bounded generously.
    bool untilLost(WindowPanelOutput& o) {
        int64_t end = GetTimeMS() + 10000;
        while (!o.ConnectionLost() && GetTimeMS() < end) {
            sendFrames(o, 1);
        }
        // One more frame lets the output thread report what it found.
        sendFrames(o, 3);
        return o.ConnectionLost();
    }

    XvfbServer server;
    std::vector<uint8_t> buffer;
    std::string warning;
    LogCapture log{LOG_INFO};
};

} // namespace

TEST_F(WindowPanelDeathTest, AKilledServerStopsThePreviewWithAWarning) {
    WindowPanelOutput o(0, 0);
    ASSERT_NE(0, o.Init(parse(config(panel(0, 0, "N", 0, 0), "\"scale\": 4")))) << log.text();
    o.SendData(buffer.data());
    ASSERT_TRUE(waitDrawn(o, 0));

    server.kill();
    ASSERT_TRUE(untilLost(o)) << log.text();
    long long drawn = o.FramesDrawn();
    sendFrames(o, 20);
    EXPECT_EQ(drawn, o.FramesDrawn()) << "nothing is drawn once the server is gone";
    EXPECT_TRUE(hasWarning(warning));
    EXPECT_EQ(1, log.count("the connection to the X server " + server.display() + " broke")) << log.text();
    Json::Value s;
    o.GetStatus(s);
    EXPECT_FALSE(s["connected"].asBool());
    EXPECT_NE(0, o.Close());
    EXPECT_EQ(nullptr, o.GetDisplay());
    EXPECT_NE(0, o.Close());
}

TEST_F(WindowPanelDeathTest, AWindowClosedFromTheServerSideIsTheSame) {
    WindowPanelOutput o(0, 0);
    ASSERT_NE(0, o.Init(parse(config(panel(0, 0, "N", 0, 0), "\"scale\": 2")))) << log.text();
    o.SendData(buffer.data());
    ASSERT_TRUE(waitDrawn(o, 0));
    {
        // What a window manager does to a window that does not answer its close.
        XProbe probe(server.display());
        ASSERT_NE(nullptr, probe.get());
        XKillClient(probe.get(), o.GetWindow());
        XSync(probe.get(), False);
    }
    ASSERT_TRUE(untilLost(o)) << log.text();
    EXPECT_TRUE(hasWarning(warning));
    EXPECT_EQ(1, log.count("broke (the server ended, or the window was closed)")) << log.text();
    o.Close();

    // The server is still there: the next Init opens a window again and withdraws the warning.
    ASSERT_NE(0, o.Init(parse(config(panel(0, 0, "N", 0, 0), "\"scale\": 2")))) << log.text();
    EXPECT_FALSE(hasWarning(warning));
    long long drawn = o.FramesDrawn();
    o.SendData(buffer.data());
    EXPECT_TRUE(waitDrawn(o, drawn));
    o.Close();
}

TEST_F(WindowPanelDeathTest, AServerKilledBetweenFramesIsFoundByClose) {
    WindowPanelOutput o(0, 0);
    ASSERT_NE(0, o.Init(parse(config(panel(0, 0, "N", 0, 0), "\"scale\": 1")))) << log.text();
    o.SendData(buffer.data());
    ASSERT_TRUE(waitDrawn(o, 0));
    server.kill();
    // No frame meets the broken connection: Close does, and lives.
    EXPECT_NE(0, o.Close());
    EXPECT_EQ(nullptr, o.GetDisplay());
}
