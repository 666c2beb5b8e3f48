// The WindowPanel output under a real Xvfb: the window's size, title and pixels,
// read back from another client with XGetImage, are the picture scaled up and
// gamma corrected; the display named by DISPLAY (":0" without it) is used; a
// missing X server or an impossible window fails Init with a message.
#include "host/core/Warnings.h"
#include "host/output/ChannelBuffer.h"
#include "LogCapture.h"
#include "WindowPanelTestSupport.h"
#include "XvfbServer.h"

#include <gtest/gtest.h>

#include <X11/Xutil.h>

#include <cstdlib>
#include <memory>
#include <vector>

using namespace windowpaneltest;

namespace {

const unsigned START = 30;

// Sets DISPLAY (or unsets it, for null) while it lives.
class ScopedDisplay {
public:
    explicit ScopedDisplay(const char* value) {
        const char* old = getenv("DISPLAY");
        m_had = old != nullptr;
        if (m_had) {
            m_old = old;
        }
        if (value) {
            setenv("DISPLAY", value, 1);
        } else {
            unsetenv("DISPLAY");
        }
    }
    ~ScopedDisplay() {
        if (m_had) {
            setenv("DISPLAY", m_old.c_str(), 1);
        } else {
            unsetenv("DISPLAY");
        }
    }

private:
    bool m_had = false;
    std::string m_old;
};

class WindowPanelXTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server.ok()) {
            GTEST_SKIP() << "no X server for the test: " << server.reason();
        }
        display.reset(new ScopedDisplay(server.display().c_str()));
        probe.reset(new XProbe(server.display()));
        ASSERT_NE(nullptr, probe->get());
        buffer.assign(TAVO_CHANNEL_BUFFER_SIZE, 0);
        for (size_t i = 0; i < 100000; i++) {
            buffer[i] = (uint8_t)(i * 13 + i / 256);
        }
    }
    void TearDown() override {
        probe.reset();
        display.reset();
    }

    std::unique_ptr<WindowPanelOutput> start(const std::string& text) {
        std::unique_ptr<WindowPanelOutput> o(new WindowPanelOutput(START, 0));
        if (!o->Init(parse(text))) {
            ADD_FAILURE() << "Init failed:\n" << log.text();
            return nullptr;
        }
        return o;
    }
    // A frame as tavod hands it: the whole buffer to PrepData, the slice to SendData.
    bool frame(WindowPanelOutput& o) {
        long long drawn = o.FramesDrawn();
        o.PrepData(buffer.data());
        o.SendData(buffer.data() + START);
        return waitDrawn(o, drawn);
    }
    // What the window must show: picture pixel (x / scale, y / scale) through the table.
    std::vector<uint32_t> expected(const WindowPanelOutput& o, int pictureWidth, int scale) {
        std::vector<uint32_t> want;
        const uint8_t* g = o.GetGammaCurve();
        for (int y = 0; y < o.GetScaleHeight(); y++) {
            for (int x = 0; x < o.GetScaleWidth(); x++) {
                size_t c = START + ((size_t)(y / scale) * pictureWidth + x / scale) * 3;
                want.push_back((uint32_t)g[buffer[c]] << 16 | (uint32_t)g[buffer[c + 1]] << 8 |
                               g[buffer[c + 2]]);
            }
        }
        return want;
    }
    // The first pixel where the window differs, for the failure message.
    static std::string firstDifference(const std::vector<uint32_t>& want, const std::vector<uint32_t>& got,
                                       int width) {
        if (want.size() != got.size()) {
            return "sizes " + std::to_string(want.size()) + " and " + std::to_string(got.size());
        }
        for (size_t i = 0; i < want.size(); i++) {
            if (want[i] != got[i]) {
                char text[120];
                snprintf(text, sizeof(text), "pixel (%d, %d): want %06x, got %06x", (int)(i % width),
                         (int)(i / width), want[i], got[i]);
                return text;
            }
        }
        return "";
    }

    XvfbServer server;
    std::unique_ptr<ScopedDisplay> display;
    std::unique_ptr<XProbe> probe;
    std::vector<uint8_t> buffer;
    LogCapture log{LOG_DEBUG};
};

} // namespace

TEST_F(WindowPanelXTest, OnePanelAtTheDefaultScaleIsA320By160WindowOfGammaCorrectedBlocks) {
    auto o = start(config(panel(0, 0, "N", 0, 0)));
    ASSERT_TRUE(o);
    EXPECT_EQ(32u * 16 * 3, o->GetChannelCount());
    EXPECT_EQ(320, o->GetScaleWidth());
    EXPECT_EQ(160, o->GetScaleHeight());
    EXPECT_EQ(56, o->GetGammaCurve()[128]) << "gamma 2.2 by default";

    XWindowAttributes a;
    ASSERT_NE(0, XGetWindowAttributes(probe->get(), o->GetWindow(), &a));
    EXPECT_EQ(320, a.width);
    EXPECT_EQ(160, a.height);
    EXPECT_EQ(5, a.border_width);
    EXPECT_EQ(100, a.x);
    EXPECT_EQ(100, a.y);
    EXPECT_EQ(24, a.depth);
    EXPECT_EQ(IsViewable, a.map_state);
    char* name = nullptr;
    ASSERT_NE(0, XFetchName(probe->get(), o->GetWindow(), &name));
    EXPECT_STREQ("WindowPanel", name);
    XFree(name);

    ASSERT_TRUE(frame(*o)) << log.text();
    std::vector<uint32_t> want = expected(*o, 32, 10);
    std::vector<uint32_t> got = probe->pixels(o->GetWindow(), 320, 160);
    EXPECT_EQ("", firstDifference(want, got, 320));

    // The next frame replaces the picture.
    for (size_t i = START; i < START + 1536; i++) {
        buffer[i] = (uint8_t)(255 - buffer[i]);
    }
    ASSERT_TRUE(frame(*o));
    EXPECT_EQ("", firstDifference(expected(*o, 32, 10), probe->pixels(o->GetWindow(), 320, 160), 320));
    EXPECT_NE(0, o->Close());
}

TEST_F(WindowPanelXTest, ScaleOneShowsOneScreenPixelPerPanelPixel) {
    auto o = start(config(panel(0, 0, "N", 0, 0), "\"scale\": 1, \"gamma\": \"1.0\""));
    ASSERT_TRUE(o);
    EXPECT_EQ(32, o->GetScaleWidth());
    EXPECT_EQ(16, o->GetScaleHeight());
    ASSERT_TRUE(frame(*o));
    std::vector<uint32_t> got = probe->pixels(o->GetWindow(), 32, 16);
    ASSERT_EQ(512u, got.size());
    // With gamma 1.0 the window holds the channel bytes themselves.
    EXPECT_EQ((uint32_t)buffer[START] << 16 | (uint32_t)buffer[START + 1] << 8 | buffer[START + 2], got[0]);
    EXPECT_EQ("", firstDifference(expected(*o, 32, 1), got, 32));
    o->Close();
}

TEST_F(WindowPanelXTest, AWallOfTurnedPanelsShowsThePictureAsTheSequenceHoldsIt) {
    // Two outputs: a normal panel over one hung upside down, and a chain beside them.
    auto o = start(config(panel(0, 0, "N", 0, 0) + ", " + panel(0, 1, "N", 16, 0) + ", " +
                              panel(1, 0, "U", 0, 8) + ", " + panel(1, 1, "U", 16, 8),
                          "\"scale\": 3", 16, 8));
    ASSERT_TRUE(o);
    EXPECT_EQ(32u * 16 * 3, o->GetChannelCount());
    ASSERT_TRUE(frame(*o));
    EXPECT_EQ("", firstDifference(expected(*o, 32, 3), probe->pixels(o->GetWindow(), 96, 48), 96));
    o->Close();
}

TEST_F(WindowPanelXTest, SubMatricesAreLaidInBeforeTheFrameIsHandedOver) {
    auto o = start(
        config(panel(0, 0, "N", 0, 0),
               "\"scale\": 2, \"subMatrices\": [{\"enabled\": 1, \"startChannel\": 70001, \"width\": 3, "
               "\"height\": 2, \"xOffset\": 5, \"yOffset\": 4}]"));
    ASSERT_TRUE(o);
    std::vector<uint8_t> block(buffer.begin() + 70000, buffer.begin() + 70000 + 18);
    ASSERT_TRUE(frame(*o));
    // The buffer now holds the block in the picture, and the window shows that.
    EXPECT_EQ(block[0], buffer[START + (4 * 32 + 5) * 3]);
    EXPECT_EQ("", firstDifference(expected(*o, 32, 2), probe->pixels(o->GetWindow(), 64, 32), 64));
    // The block's channels are read from the file too, or it would show black.
    std::vector<std::pair<int, int>> ranges;
    o->GetRequiredChannelRanges([&](int a, int b) { ranges.emplace_back(a, b); });
    EXPECT_EQ(
        (std::vector<std::pair<int, int>>{{(int)START, (int)(START + 32 * 16 * 3 - 1)}, {70000, 70017}}),
        ranges);
    o->Close();
}

TEST_F(WindowPanelXTest, TheTitleNamesTheWindowAndItsIcon) {
    auto o = start(config(panel(0, 0, "N", 0, 0), "\"title\": \"Stage left\", \"scale\": 1"));
    ASSERT_TRUE(o);
    char* name = nullptr;
    ASSERT_NE(0, XFetchName(probe->get(), o->GetWindow(), &name));
    EXPECT_STREQ("Stage left", name);
    XFree(name);
    char* icon = nullptr;
    ASSERT_NE(0, XGetIconName(probe->get(), o->GetWindow(), &icon));
    EXPECT_STREQ("Stage left", icon);
    XFree(icon);
    o->Close();
}

TEST_F(WindowPanelXTest, CloseTakesTheWindowAwayAndIsHarmlessTwice) {
    auto o = start(config(panel(0, 0, "N", 0, 0), "\"scale\": 1"));
    ASSERT_TRUE(o);
    Window w = o->GetWindow();
    ASSERT_TRUE(frame(*o));
    EXPECT_NE(0, o->Close());
    EXPECT_EQ(nullptr, o->GetDisplay());
    EXPECT_NE(0, o->Close());
    // The window is gone from the server.
    XSync(probe->get(), False);
    Window root, parent;
    Window* children = nullptr;
    unsigned int n = 0;
    ASSERT_NE(0, XQueryTree(probe->get(), DefaultRootWindow(probe->get()), &root, &parent, &children, &n));
    for (unsigned i = 0; i < n; i++) {
        EXPECT_NE(w, children[i]);
    }
    if (children) {
        XFree(children);
    }
    // Frames after Close go nowhere, and a new Init opens a new window.
    o->SendData(buffer.data() + START);
    ASSERT_NE(0, o->Init(parse(config(panel(0, 0, "N", 0, 0), "\"scale\": 1"))));
    ASSERT_TRUE(frame(*o));
    o.reset(); // without Close: the thread and the window still go
}

TEST_F(WindowPanelXTest, StatusAndDumpConfig) {
    auto o = start(config(panel(0, 0, "N", 0, 0), "\"scale\": 2"));
    ASSERT_TRUE(o);
    ASSERT_TRUE(frame(*o));
    Json::Value s;
    o->GetStatus(s);
    EXPECT_EQ(server.display(), s["display"].asString());
    EXPECT_EQ(64, s["width"].asInt());
    EXPECT_EQ(32, s["height"].asInt());
    EXPECT_TRUE(s["connected"].asBool());
    EXPECT_GE(s["framesDrawn"].asInt64(), 1);
    EXPECT_EQ("WindowPanel", o->GetOutputType());
    log.clear();
    o->DumpConfig();
    for (const char* line : {"WindowPanelOutput::DumpConfig()", "    Panels        : 1",
                             "    Width         : 32", "    Height        : 16", "    Scale         : 2",
                             "    Scaled Width  : 64", "    Scaled Height : 32"}) {
        EXPECT_TRUE(log.contains(line)) << line << "\n" << log.text();
    }
    std::vector<std::pair<int, int>> ranges;
    o->GetRequiredChannelRanges([&](int a, int b) { ranges.emplace_back(a, b); });
    ASSERT_EQ(1u, ranges.size());
    EXPECT_EQ((int)START, ranges[0].first);
    EXPECT_EQ((int)(START + 1536 - 1), ranges[0].second);
    o->Close();
}

TEST(WindowPanelDisplay, WithoutDisplayTheOutputConnectsToColonZero) {
    // Our own server on :0 when it is free; when another holds :0, the output
    // connects to that one or fails naming it: either way it asked for ":0".
    XvfbServer zero("640x480x24", 0);
    ScopedDisplay unset(nullptr);
    LogCapture log(LOG_DEBUG);
    WindowPanelOutput o(0, 0);
    int ok = o.Init(parse(config(panel(0, 0, "N", 0, 0), "\"scale\": 1")));
    EXPECT_EQ(":0", o.GetDisplayName());
    if (zero.ok()) {
        ASSERT_NE(0, ok) << log.text();
    }
    if (ok) {
        EXPECT_STREQ(":0", DisplayString(o.GetDisplay()));
    } else {
        EXPECT_TRUE(log.contains("Unable to connect to X Server: :0")) << log.text();
    }
    o.Close();
}

TEST(WindowPanelDisplay, NoXServerFailsInitWithTheMessage) {
    ScopedDisplay none("tavo-test-no-such-display");
    LogCapture log(LOG_DEBUG);
    WindowPanelOutput o(0, 0);
    EXPECT_EQ(0, o.Init(parse(config(panel(0, 0, "N", 0, 0)))));
    EXPECT_TRUE(log.contains("Unable to connect to X Server: tavo-test-no-such-display")) << log.text();
    EXPECT_EQ(nullptr, o.GetDisplay());
    std::vector<uint8_t> buffer(TAVO_CHANNEL_BUFFER_SIZE, 0);
    o.PrepData(buffer.data());
    o.SendData(buffer.data());
    EXPECT_NE(0, o.Close());
}

TEST(WindowPanelDisplay, AServerOfAnotherDepthIsRefusedWithoutEndingTheProcess) {
    XvfbServer shallow("640x480x16");
    if (!shallow.ok()) {
        GTEST_SKIP() << shallow.reason();
    }
    ScopedDisplay d(shallow.display().c_str());
    LogCapture log(LOG_DEBUG);
    WindowPanelOutput o(0, 0);
    EXPECT_EQ(0, o.Init(parse(config(panel(0, 0, "N", 0, 0)))));
    EXPECT_TRUE(log.contains("shows 16 bits per pixel; the preview needs 24")) << log.text();
    EXPECT_EQ(nullptr, o.GetDisplay());
    o.Close();
}

TEST(WindowPanelConfig, ImpossibleWindowsAreRefusedBeforeAnyConnection) {
    ScopedDisplay none("tavo-test-no-such-display");
    struct Case {
        std::string config;
        std::string message;
    } cases[] = {
        {config(panel(0, 0, "N", 0, 0), "\"scale\": 100000"), "makes a 3200000x1600000 window"},
        {config(panel(0, 0, "N", 0, 0), "\"scale\": 0"), "\"scale\" 0 must be 1 or more"},
        {config(panel(0, 0, "N", 0, 0), "\"scale\": -3"), "\"scale\" -3 must be 1 or more"},
        // 1024 x 1024 at scale 10: 400 MiB of image.
        {config(panel(0, 0, "N", 0, 0), "\"scale\": 10", 1024, 1024), "lower \"scale\""},
        // 1100 across at scale 30 is 33000: wider than an X window can be.
        {config(panel(0, 0, "N", 0, 0), "\"scale\": 30", 1100, 1), "makes a 33000x30 window"},
        {"{\"panelWidth\": 8, \"panelHeight\": 8}", "WindowPanel: no \"panels\" are configured"},
        {config(panel(0, 0, "N", 0, 0), "\"scale\": \"big\""),
         "WindowPanel: \"scale\" must be a whole number"},
        {config(panel(0, 0, "N", 0, 0), "\"title\": 5"),
         "WindowPanel: \"title\" must be a text, not a number"},
        {config("{\"panelNumber\": \"x\"}"), "WindowPanel panel 0: \"panelNumber\" must be a whole number"},
    };
    for (const Case& c : cases) {
        LogCapture log(LOG_DEBUG);
        WindowPanelOutput o(0, 0);
        EXPECT_EQ(0, o.Init(parse(c.config))) << c.config;
        EXPECT_TRUE(log.contains(c.message)) << c.config << "\n" << log.text();
        EXPECT_FALSE(log.contains("Unable to connect")) << "refused before connecting: " << c.config;
    }
}
