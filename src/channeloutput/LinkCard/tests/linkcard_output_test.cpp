// The LinkCard output in one process: configuration and its refusals, gamma and
// brightness, link and speed checks read from a simulated sysfs folder, the
// message lists built in Init, the overlay model, and sending with bounded
// retries through a stand-in for sendmmsg and a clock of the test's. The socket is
// a real raw socket on the loopback interface (the tests run as root).
#include "JsonText.h"
#include "host/core/Log.h"
#include "host/core/Settings.h"
#include "host/core/Warnings.h"
#include "host/output/ChannelBuffer.h"
#include "host/output/PanelMatrix.h"
#include "host/output/PixelOverlay.h"
#include "LinkCardOutput.h"
#include "LogCapture.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

// What the stand-in for sendmmsg does, call after call: a count of messages to
// take (-1: all of them), or a negative errno to fail with. When the script is
// empty it repeats its last step.
std::deque<int> g_script;
int g_lastStep = -1;
int g_calls = 0;
std::vector<unsigned int> g_asked;

int scriptedSend(int, struct mmsghdr*, unsigned int count, int flags) {
    EXPECT_EQ(MSG_DONTWAIT, flags);
    g_calls++;
    g_asked.push_back(count);
    int step = g_lastStep;
    if (!g_script.empty()) {
        step = g_script.front();
        g_script.pop_front();
        g_lastStep = step;
    }
    if (step == -1) {
        return (int)count;
    }
    if (step < -1) {
        errno = -step;
        return -1;
    }
    return std::min((int)count, step);
}

void script(std::initializer_list<int> steps) {
    g_script.assign(steps.begin(), steps.end());
    g_lastStep = -1;
    g_calls = 0;
    g_asked.clear();
}

// The outputs' clock: a millisecond passes at each reading, however fast or slow
// the machine runs, so a retry budget means a number of tries.
int64_t g_now = 0;
int64_t testClock() {
    return ++g_now;
}

// A link too slow for the wall: one of a frame's lists never gets through, the
// other always does. The display frame is the list of one.
int rowsStuckSend(int, struct mmsghdr*, unsigned int count, int) {
    if (count == 1) {
        return 1;
    }
    errno = EAGAIN;
    return -1;
}
int displayStuckSend(int, struct mmsghdr*, unsigned int count, int) {
    if (count != 1) {
        return (int)count;
    }
    errno = EAGAIN;
    return -1;
}

bool hasWarning(const std::string& text) {
    auto w = WarningHolder::GetWarnings();
    return std::find(w.begin(), w.end(), text) != w.end();
}

const char* const W1 = "ColorLight: Configured interface lo does not have link";
const char* const W2 = "ColorLight: Configured interface lo is not 1000Mbps Capable";

class LinkCardOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir((sys.path() + "/lo").c_str(), 0755);
        link("up", "1000");
        setSetting("LinkCardSysfsRoot", sys.path());
        setSetting("ColorlightFirmwareVersion", "0");
        setSetting("ColorlightLinkDownDisable", "0");
        WarningHolder::ClearWarnings();
        PixelOverlayManager::INSTANCE.removeAllModels();
        PixelOverlayManager::INSTANCE.autoCreateModels = true;
        script({});
    }
    void TearDown() override {
        setSetting("LinkCardSysfsRoot", "");
        WarningHolder::ClearWarnings();
        PixelOverlayManager::INSTANCE.removeAllModels();
        PixelOverlayManager::INSTANCE.autoCreateModels = true;
    }
    // The simulated sysfs files of "lo"; an empty text removes the file.
    void link(const std::string& operstate, const std::string& speed) {
        for (auto f : {std::make_pair("operstate", operstate), std::make_pair("speed", speed)}) {
            std::string path = sys.path() + "/lo/" + f.first;
            if (f.second.empty()) {
                unlink(path.c_str());
            } else {
                writeFileBytes(path, f.second + "\n");
            }
        }
    }
    // A configuration on the loopback interface with the firmware known (no discovery).
    Json::Value config(const std::string& extra = "") {
        return parseJson("{\"type\": \"LinkCard\", \"interface\": \"lo\", \"firmwareVersion\": 12" +
                         (extra.empty() ? "" : ", " + extra) + "}");
    }
    std::unique_ptr<LinkCardOutput> make(unsigned start = 0) {
        std::unique_ptr<LinkCardOutput> o(new LinkCardOutput(start, 999));
        o->SetSendFunction(scriptedSend);
        o->SetClock(testClock);
        return o;
    }

    TempDir sys;
    LogCapture log{LOG_DEBUG};
};

// Panels `step` pixels apart in the picture.
std::string chain(int outputs, int panels, int step = 1000) {
    std::string s = "\"cfgVersion\": 2, \"panels\": [";
    for (int o = 0; o < outputs; o++) {
        for (int p = 0; p < panels; p++) {
            if (o || p) {
                s += ", ";
            }
            s += "{\"outputNumber\": " + std::to_string(o) + ", \"panelNumber\": " + std::to_string(p) +
                 ", \"orientation\": \"N\", \"xOffset\": " + std::to_string(p * step) +
                 ", \"yOffset\": " + std::to_string(o * step) + "}";
        }
    }
    return s + "]";
}

} // namespace

// ---------------------------------------------------------------- configuration

TEST_F(LinkCardOutputTest, DefaultsWithoutPanels) {
    auto o = make(30);
    ASSERT_NE(0, o->Init(config())) << log.text();
    EXPECT_EQ("ColorLight Panels", o->GetOutputType());
    EXPECT_EQ(16, o->GetRows());        // one output of 16-pixel-high panels
    EXPECT_EQ(32 * 3, o->GetRowSize()); // a chain of one 32-pixel panel
    EXPECT_EQ(0u, o->GetChannelCount()) << "no panels: no picture";
    EXPECT_EQ(255, o->GetBrightnessByte());
    EXPECT_EQ(17u, o->GetDataMessages().size());
    EXPECT_EQ(1u, o->GetDisplayMessages().size());
    EXPECT_TRUE(o->IsLegacyLayout());
    EXPECT_TRUE(o->SupportsTesting());
    EXPECT_TRUE(log.contains("LinkCardOutput::LinkCardOutput(30, 999)"));
    EXPECT_TRUE(log.contains("LinkCardOutput::Init(JSON)"));
}

TEST_F(LinkCardOutputTest, PanelSizeZeroMeansDefaultAndPanelsSetTheChannelCount) {
    auto o = make(30);
    ASSERT_NE(0, o->Init(config("\"panelWidth\": 0, \"panelHeight\": 0, " + chain(1, 2))));
    EXPECT_EQ(16, o->GetRows());
    EXPECT_EQ(32 * 2 * 3, o->GetRowSize());
    // Two panels 1000 pixels apart: the picture holds both.
    EXPECT_EQ(1032u * 16 * 3, o->GetChannelCount());
    std::vector<std::pair<int, int>> ranges;
    o->GetRequiredChannelRanges([&](int a, int b) { ranges.emplace_back(a, b); });
    ASSERT_EQ(1u, ranges.size());
    EXPECT_EQ(30, ranges[0].first);
    EXPECT_EQ(30 + 1032 * 16 * 3 - 1, ranges[0].second);
}

TEST_F(LinkCardOutputTest, NumbersGivenAsTextsAreRead) {
    auto o = make();
    ASSERT_NE(0, o->Init(config("\"panelWidth\": \"64\", \"panelHeight\": \"32\""))) << log.text();
    EXPECT_EQ(32, o->GetRows());
    EXPECT_EQ(64 * 3, o->GetRowSize());
}

TEST_F(LinkCardOutputTest, CfgVersionTwoIsNotLegacy) {
    auto o = make();
    ASSERT_NE(0, o->Init(config("\"cfgVersion\": 2")));
    EXPECT_FALSE(o->IsLegacyLayout());
    auto l = make();
    ASSERT_NE(0, l->Init(config("\"cfgVersion\": 1")));
    EXPECT_TRUE(l->IsLegacyLayout());
}

TEST_F(LinkCardOutputTest, GammaTable) {
    auto o = make();
    ASSERT_NE(0, o->Init(config("\"gamma\": \"2.2\"")));
    EXPECT_EQ(56, o->GetGammaTable()[128]);
    for (const char* g : {"\"0.005\"", "\"60\"", "\"dim\""}) {
        auto i = make();
        ASSERT_NE(0, i->Init(config(std::string("\"gamma\": ") + g)));
        for (int v = 0; v < 256; v++) {
            ASSERT_EQ(v, i->GetGammaTable()[v]) << g;
        }
    }
    auto n = make();
    ASSERT_NE(0, n->Init(config("\"gamma\": 2.2"))) << "a number is taken as well";
    EXPECT_EQ(56, n->GetGammaTable()[128]);
}

TEST_F(LinkCardOutputTest, BrightnessByte) {
    const std::pair<const char*, int> cases[] = {{"", 255},
                                                 {"\"brightness\": 0", 255},
                                                 {"\"brightness\": 100", 255},
                                                 {"\"brightness\": 50", 127},
                                                 {"\"brightness\": 1", 2}};
    for (auto& c : cases) {
        auto o = make();
        ASSERT_NE(0, o->Init(config(c.first)));
        EXPECT_EQ(c.second, o->GetBrightnessByte()) << c.first;
    }
}

TEST_F(LinkCardOutputTest, BrightnessAbove100IsCutTo100NotWrapped) {
    // 101 & 0xFF x 2.55 would be a byte of 2: a dark wall.
    for (const char* b : {"101", "356", "-5"}) {
        log.clear();
        auto o = make();
        ASSERT_NE(0, o->Init(config(std::string("\"brightness\": ") + b)));
        EXPECT_EQ(255, o->GetBrightnessByte()) << b;
        EXPECT_TRUE(
            log.contains("\"brightness\" " + std::string(b) + " is a percentage from 0 to 100; using 100%"))
            << log.text();
    }
}

TEST_F(LinkCardOutputTest, RefusesAnInterfaceNameTheKernelCannotHave) {
    auto o = make();
    EXPECT_EQ(0, o->Init(config("\"interface\": \"abcdefghijklmnop\"")));
    EXPECT_TRUE(log.contains("\"interface\" \"abcdefghijklmnop\" is longer than the 15 characters"))
        << log.text();
    auto p = make();
    EXPECT_EQ(0, p->Init(config("\"interface\": \"../../etc\"")));
    EXPECT_TRUE(log.contains("is not an interface name")) << log.text();
}

TEST_F(LinkCardOutputTest, UnknownInterfaceFailsAtTheIndexLookUp) {
    mkdir((sys.path() + "/nosuch0").c_str(), 0755);
    writeFileBytes(sys.path() + "/nosuch0/operstate", "up\n");
    auto o = make();
    EXPECT_EQ(0, o->Init(config("\"interface\": \"nosuch0\"")));
    EXPECT_TRUE(log.contains("Error getting index of nosuch0 interface: No such device")) << log.text();
}

TEST_F(LinkCardOutputTest, RefusesPanelsThatCannotBeLaidOutNamingThem) {
    auto o = make();
    EXPECT_EQ(0, o->Init(config("\"cfgVersion\": 2, \"panels\": [{\"outputNumber\": 0, \"panelNumber\": 0}, "
                                "{\"outputNumber\": 0, \"panelNumber\": 1, \"xOffset\": -32}]")));
    EXPECT_TRUE(log.contains("LinkCard panel 1 (output 0, panel number 1): offsets count from 0"))
        << log.text();
    auto p = make();
    EXPECT_EQ(0, p->Init(config(
                     "\"panels\": [{\"outputNumber\": 0, \"panelNumber\": 0, \"orientation\": \"X\"}]")));
    EXPECT_TRUE(log.contains("LinkCard panel 0 (output 0, panel number 0): orientation 'X'")) << log.text();
    auto q = make();
    EXPECT_EQ(0, q->Init(config("\"panels\": [7]")));
    EXPECT_TRUE(log.contains("LinkCard panel 0: must be an object, not a number")) << log.text();
}

TEST_F(LinkCardOutputTest, RefusesRowsAndPixelNumbersPastTheSixteenBitFields) {
    // 4097 outputs of 16 rows: receiver row 65552 cannot be numbered.
    auto o = make();
    EXPECT_EQ(0, o->Init(config("\"panels\": [{\"outputNumber\": 4096, \"panelNumber\": 0}]")));
    EXPECT_TRUE(log.contains("make 65552 receiver rows, more than the 65536")) << log.text();
    // Chains of 2049 panels of 32 pixels: row pixel 65568 cannot be numbered.
    auto p = make();
    EXPECT_EQ(0, p->Init(config("\"panels\": [{\"outputNumber\": 0, \"panelNumber\": 2048}]")));
    EXPECT_TRUE(log.contains("rows of 65568 pixels, more than the 65536")) << log.text();
    // The largest that fit are accepted.
    auto q = make();
    EXPECT_NE(0, q->Init(config("\"panels\": [{\"outputNumber\": 0, \"panelNumber\": 2047}]"))) << log.text();
}

TEST_F(LinkCardOutputTest, RefusesAPicturePastTheChannelBuffer) {
    auto o = make(TAVO_MAX_CHANNELS - 100);
    EXPECT_EQ(0, o->Init(config("\"panels\": [{\"outputNumber\": 0, \"panelNumber\": 0}]")));
    EXPECT_TRUE(log.contains("reaches past channel 8388608")) << log.text();
}

TEST_F(LinkCardOutputTest, RefusesSubMatricesOutsideThePictureNamingThem) {
    auto o = make();
    EXPECT_EQ(0, o->Init(config("\"panels\": [{\"outputNumber\": 0, \"panelNumber\": 0}], \"subMatrices\": ["
                                "{\"enabled\": 1, \"startChannel\": 2000, \"width\": 4, \"height\": 4, "
                                "\"xOffset\": 0, \"yOffset\": 0}, "
                                "{\"enabled\": 1, \"startChannel\": 2000, \"width\": 4, \"height\": 4, "
                                "\"xOffset\": 30, \"yOffset\": 0}]")));
    EXPECT_TRUE(log.contains(
        "LinkCard sub-matrix 1 (from channel 2000): 4x4 at (30, 0) does not lie inside the 32x16"))
        << log.text();
    auto p = make();
    EXPECT_EQ(0,
              p->Init(config("\"panels\": [{\"outputNumber\": 0, \"panelNumber\": 0}], \"subMatrices\": ["
                             "{\"enabled\": 1, \"startChannel\": 8388600, \"width\": 4, \"height\": 4}]")));
    EXPECT_TRUE(log.contains("reach past the channel buffer")) << log.text();
}

TEST_F(LinkCardOutputTest, SubMatricesAreCopiedBeforeTheFrameIsRead) {
    auto o = make(0);
    ASSERT_NE(0, o->Init(config(
                     "\"panelWidth\": 2, \"panelHeight\": 1, \"panels\": [{\"outputNumber\": 0, "
                     "\"panelNumber\": 0, \"orientation\": \"U\"}], \"subMatrices\": [{\"enabled\": 1, "
                     "\"startChannel\": 101, \"width\": 1, \"height\": 1, \"xOffset\": 1, \"yOffset\": 0}]")))
        << log.text();
    std::vector<uint8_t> buffer(TAVO_CHANNEL_BUFFER_SIZE, 0);
    buffer[100] = 7;
    buffer[101] = 8;
    buffer[102] = 9;
    o->PrepData(buffer.data());
    // Legacy 'U' is a normal panel: pixel 1 of the picture is the block's.
    EXPECT_EQ(std::vector<uint8_t>({0, 0, 0, 7, 8, 9}),
              std::vector<uint8_t>(o->GetOutputBuffer(), o->GetOutputBuffer() + 6));
}

TEST_F(LinkCardOutputTest, WrongTypedKeysAreReportedAndRefused) {
    for (const char* bad : {"\"panelWidth\": [1]", "\"panels\": {}", "\"gamma\": [2]", "\"interface\": 5",
                            "\"linkCheck\": \"yes\"", "\"colorOrder\": 3", "\"subMatrices\": 1",
                            "\"panels\": [{\"outputNumber\": \"one\"}]", "\"brightness\": \"full\""}) {
        log.clear();
        auto o = make();
        EXPECT_EQ(0, o->Init(config(bad))) << bad;
        bool error = false;
        for (auto& l : log.lines()) {
            error |= l.level == LOG_ERR && l.text.find("LinkCard") != std::string::npos;
        }
        EXPECT_TRUE(error) << bad << "\n" << log.text();
    }
    auto o = make();
    EXPECT_EQ(0, o->Init(Json::Value(Json::arrayValue)));
}

TEST_F(LinkCardOutputTest, UnknownColourOrderIsReportedAndRgbUsed) {
    auto o = make();
    EXPECT_NE(0, o->Init(config("\"colorOrder\": \"RGBW\"")));
    EXPECT_TRUE(log.contains("\"colorOrder\" \"RGBW\" is none of RGB")) << log.text();
}

// ---------------------------------------------------------------- link and speed

TEST_F(LinkCardOutputTest, OnlyTheWordUpPassesTheLinkCheck) {
    for (const char* state : {"down", "unknown", "UP", "", "missing"}) {
        WarningHolder::ClearWarnings();
        log.clear();
        if (std::string(state) == "missing") {
            link("", "1000");
        } else if (std::string(state).empty()) {
            writeFileBytes(sys.path() + "/lo/operstate", "");
        } else {
            link(state, "1000");
        }
        auto o = make();
        EXPECT_NE(0, o->Init(config())) << state << ": without the link check Init goes on";
        EXPECT_TRUE(hasWarning(W1)) << state;
        EXPECT_TRUE(log.contains("Error ColorLight: Configured interface lo does not have link")) << state;

        auto strict = make();
        EXPECT_EQ(0, strict->Init(config("\"linkCheck\": true"))) << state;
    }
    link("up", "1000");
    auto o = make();
    EXPECT_NE(0, o->Init(config("\"linkCheck\": true")));
    EXPECT_FALSE(hasWarning(W1)) << "a link that is up withdraws the warning";
}

TEST_F(LinkCardOutputTest, SpeedsBelowGigabitFailTheSpeedCheck) {
    link("up", "100");
    auto o = make();
    EXPECT_NE(0, o->Init(config()));
    EXPECT_TRUE(hasWarning(W2));
    EXPECT_TRUE(log.contains("Error ColorLight: Configured interface lo is not 1000Mbps Capable"))
        << log.text();
    auto strict = make();
    EXPECT_EQ(0, strict->Init(config("\"linkCheck\": true")));

    for (const char* speed : {"1000", "10000", "-1", "", "fast"}) {
        link("up", speed);
        auto ok = make();
        EXPECT_NE(0, ok->Init(config("\"linkCheck\": true"))) << speed;
        EXPECT_FALSE(hasWarning(W2)) << speed;
    }
}

TEST_F(LinkCardOutputTest, LinkCheckKeyOverridesTheSetting) {
    link("down", "1000");
    setSetting("ColorlightLinkDownDisable", "1");
    auto strict = make();
    EXPECT_EQ(0, strict->Init(config()));
    EXPECT_TRUE(strict->GetLinkDownDisable());
    auto lenient = make();
    EXPECT_NE(0, lenient->Init(config("\"linkCheck\": false")));
    EXPECT_FALSE(lenient->GetLinkDownDisable());
    setSetting("ColorlightLinkDownDisable", "2");
    auto two = make();
    EXPECT_NE(0, two->Init(config())) << "only 1 turns the check on";
}

TEST_F(LinkCardOutputTest, FirmwareVersionFromSettingOrKeySkipsDiscovery) {
    setSetting("ColorlightFirmwareVersion", "13");
    auto o = make();
    ASSERT_NE(0, o->Init(parseJson("{\"interface\": \"lo\"}")));
    EXPECT_EQ(13, o->GetFirmwareVersion());
    auto k = make();
    ASSERT_NE(0, k->Init(parseJson("{\"interface\": \"lo\", \"firmwareVersion\": 11}")));
    EXPECT_EQ(11, k->GetFirmwareVersion());
    EXPECT_FALSE(log.contains("Searching for ColorLight receivers")) << log.text();
}

// ---------------------------------------------------------------- message lists

TEST_F(LinkCardOutputTest, OnePacketPerRowAt384) {
    auto o = make();
    ASSERT_NE(0, o->Init(config("\"panelWidth\": 32, \"panelHeight\": 16, " + chain(2, 4, 32))));
    ASSERT_EQ(384, o->GetRowSize());
    const auto& m = o->GetDataMessages();
    ASSERT_EQ(32u + 1, m.size());
    EXPECT_EQ(2u, m[0].msg_hdr.msg_iovlen);
    EXPECT_EQ(13u, m[0].msg_hdr.msg_iov[0].iov_len);
    EXPECT_EQ(64u, m[0].msg_hdr.msg_iov[1].iov_len);
    for (size_t j = 1; j < m.size(); j++) {
        ASSERT_EQ(2u, m[j].msg_hdr.msg_iovlen);
        const uint8_t* h = (const uint8_t*)m[j].msg_hdr.msg_iov[0].iov_base;
        EXPECT_EQ(21u, m[j].msg_hdr.msg_iov[0].iov_len);
        EXPECT_EQ(384u, m[j].msg_hdr.msg_iov[1].iov_len);
        EXPECT_EQ(o->GetOutputBuffer() + (j - 1) * 384, m[j].msg_hdr.msg_iov[1].iov_base);
        EXPECT_EQ((int)(j - 1), (h[13] << 8) | h[14]);
        EXPECT_EQ(0, (h[15] << 8) | h[16]);
        EXPECT_EQ(128, (h[17] << 8) | h[18]);
        EXPECT_EQ(nullptr, m[j].msg_hdr.msg_name);
        EXPECT_EQ(nullptr, m[j].msg_hdr.msg_control);
    }
}

TEST_F(LinkCardOutputTest, Firmware13SendsBrightnessAndDisplayTwiceFromOneBuffer) {
    auto o = make();
    ASSERT_NE(0, o->Init(config("\"firmwareVersion\": 13, " + chain(1, 1))));
    const auto& d = o->GetDataMessages();
    ASSERT_EQ(16u + 2, d.size());
    EXPECT_EQ(d[0].msg_hdr.msg_iov[0].iov_base, d[1].msg_hdr.msg_iov[0].iov_base);
    EXPECT_EQ(d[0].msg_hdr.msg_iov[1].iov_base, d[1].msg_hdr.msg_iov[1].iov_base);
    const auto& s = o->GetDisplayMessages();
    ASSERT_EQ(2u, s.size());
    EXPECT_EQ(s[0].msg_hdr.msg_iov[0].iov_base, s[1].msg_hdr.msg_iov[0].iov_base);
    EXPECT_EQ(112u, s[1].msg_hdr.msg_iov[0].iov_len);
}

// ---------------------------------------------------------------- sending

TEST_F(LinkCardOutputTest, FullBufferIsRetriedUntilTheFrameIsOut) {
    auto o = make();
    ASSERT_NE(0, o->Init(config(chain(1, 1))));
    std::vector<uint8_t> buffer(TAVO_CHANNEL_BUFFER_SIZE, 0);
    // 17 messages: 5 go, then the buffer is full twice, then the rest goes.
    script({5, -ENOBUFS, -EAGAIN, -1});
    o->PrepData(buffer.data());
    EXPECT_EQ(4, g_calls);
    EXPECT_EQ(std::vector<unsigned>({17, 12, 12, 12}), g_asked);
    EXPECT_FALSE(log.contains("sendmmsg() failed")) << log.text();
    EXPECT_EQ(0u, o->GetDroppedFrames());
}

TEST_F(LinkCardOutputTest, AFrameThatCannotGoOutIn22MsIsDroppedWithOneLine) {
    auto o = make();
    ASSERT_NE(0, o->Init(config(chain(1, 1))));
    std::vector<uint8_t> buffer(TAVO_CHANNEL_BUFFER_SIZE, 0);
    const std::string repeated = "Repeated frames taking more than 20ms to send to ColorLight";
    // The output's own lines (the user warning it raises is logged once more, on "general").
    auto warned = [&] {
        int n = 0;
        for (auto& l : log.lines()) {
            n += l.level == LOG_WARN && l.channel == "channelout" && l.text == repeated;
        }
        return n;
    };
    for (int frame = 1; frame <= 4; frame++) {
        script({3, -EAGAIN});
        o->PrepData(buffer.data());
        EXPECT_GE(g_calls, 2) << "the rest of a partly sent frame is tried again";
        EXPECT_EQ(frame, log.count("sendmmsg() failed for ColorLight output (Socket: "));
        EXPECT_TRUE(log.contains("output count: 3/17")) << log.text();
        EXPECT_EQ(frame == 4, hasWarning(repeated)) << frame;
    }
    EXPECT_EQ(1, warned());
    // A frame that goes out whole starts the count again.
    script({-1});
    o->PrepData(buffer.data());
    for (int frame = 1; frame <= 3; frame++) {
        script({-EAGAIN});
        o->PrepData(buffer.data());
    }
    EXPECT_EQ(1, warned());
    script({-EAGAIN});
    o->PrepData(buffer.data());
    EXPECT_EQ(2, warned());
}

TEST_F(LinkCardOutputTest, LinkGoneGivesUpAtOnceAndIsCounted) {
    auto o = make();
    ASSERT_NE(0, o->Init(config(chain(1, 1))));
    std::vector<uint8_t> buffer(TAVO_CHANNEL_BUFFER_SIZE, 0);
    for (int e : {ENETDOWN, ENXIO, ENODEV}) {
        script({-e});
        o->PrepData(buffer.data());
        EXPECT_EQ(1, g_calls) << strerror(e) << ": no retry";
        o->SendData(buffer.data());
        EXPECT_EQ(2, g_calls) << "the display frame is tried once";
    }
    EXPECT_EQ(3u, o->GetDroppedFrames());
    EXPECT_TRUE(hasWarning(W1));
    EXPECT_EQ(1, log.count("LinkCard: interface lo is down or gone")) << "logged once, not per frame";
    EXPECT_FALSE(log.contains("sendmmsg() failed")) << log.text();
    Json::Value status;
    o->GetStatus(status);
    EXPECT_TRUE(status["linkDown"].asBool());
    EXPECT_EQ(3u, status["droppedFrames"].asUInt());

    script({-1});
    o->PrepData(buffer.data());
    EXPECT_FALSE(hasWarning(W1));
    EXPECT_TRUE(log.contains("LinkCard: interface lo is back; 3 frames were dropped")) << log.text();
}

TEST_F(LinkCardOutputTest, AFrameIsSlowWhenEitherOfItsListsGaveUp) {
    const std::string repeated = "Repeated frames taking more than 20ms to send to ColorLight";
    for (auto send : {rowsStuckSend, displayStuckSend}) {
        SCOPED_TRACE(send == rowsStuckSend ? "rows stuck" : "display frame stuck");
        WarningHolder::ClearWarnings();
        log.clear();
        auto o = make();
        ASSERT_NE(0, o->Init(config(chain(1, 1))));
        o->SetSendFunction(send);
        std::vector<uint8_t> buffer(TAVO_CHANNEL_BUFFER_SIZE, 0);
        for (int frame = 1; frame <= 4; frame++) {
            o->PrepData(buffer.data());
            o->SendData(buffer.data());
            EXPECT_EQ(frame, log.count("sendmmsg() failed for ColorLight output")) << log.text();
            EXPECT_EQ(frame == 4, hasWarning(repeated)) << "frame " << frame << "\n" << log.text();
        }
    }
}

TEST_F(LinkCardOutputTest, WithoutLinkAFullBufferIsNotRetried) {
    link("lowerlayerdown", "1000");
    auto o = make();
    ASSERT_NE(0, o->Init(config(chain(1, 1))));
    std::vector<uint8_t> buffer(TAVO_CHANNEL_BUFFER_SIZE, 0);
    script({3, -ENOBUFS});
    o->PrepData(buffer.data());
    EXPECT_EQ(1, g_calls) << "the rest is given up at once, not retried for 22 ms";
    EXPECT_FALSE(log.contains("sendmmsg() failed")) << log.text();
    EXPECT_EQ(1u, o->GetDroppedFrames());
    Json::Value status;
    o->GetStatus(status);
    EXPECT_TRUE(status["linkDown"].asBool());
}

TEST_F(LinkCardOutputTest, OtherErrorsAreNotRetried) {
    auto o = make();
    ASSERT_NE(0, o->Init(config(chain(1, 1))));
    std::vector<uint8_t> buffer(TAVO_CHANNEL_BUFFER_SIZE, 0);
    script({-EMSGSIZE});
    o->PrepData(buffer.data());
    EXPECT_EQ(1, g_calls);
    EXPECT_TRUE(log.contains("sendmmsg() failed for ColorLight output")) << log.text();
    EXPECT_TRUE(log.contains("Message too long, errorcount: 0")) << log.text();
}

TEST_F(LinkCardOutputTest, SendDataSendsTheDisplayFramesAndReturnsTheChannelCount) {
    LogCapture frames(LOG_EXCESS);
    auto o = make();
    ASSERT_NE(0, o->Init(config(chain(1, 1))));
    std::vector<uint8_t> buffer(TAVO_CHANNEL_BUFFER_SIZE, 0);
    script({-1});
    EXPECT_EQ((int)o->GetChannelCount(), o->SendData(buffer.data()));
    EXPECT_EQ(std::vector<unsigned>({1}), g_asked);
    EXPECT_TRUE(frames.contains("LinkCardOutput::SendData(")) << frames.text();
}

// ---------------------------------------------------------------- overlay, tests, dump, close

TEST_F(LinkCardOutputTest, OverlayModelNamesAreMadeUnique) {
    auto a = make(0);
    auto b = make(3000);
    ASSERT_NE(0, a->Init(config(chain(1, 1))));
    ASSERT_NE(0, b->Init(config(chain(1, 1))));
    EXPECT_EQ("LED Panels", a->GetOverlayModelName());
    EXPECT_EQ("LED Panels-1", b->GetOverlayModelName());
    PixelOverlayModel* m = PixelOverlayManager::INSTANCE.getModel("LED Panels-1");
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(3000u, m->getStartChannel());
    EXPECT_EQ(32, m->getWidth());
    EXPECT_EQ(16, m->getHeight());

    auto named = make(6000);
    ASSERT_NE(0, named->Init(config("\"LEDPanelMatrixName\": \"Wall\", " + chain(1, 1))));
    EXPECT_EQ("Wall", named->GetOverlayModelName());
    auto described = make(9000);
    ASSERT_NE(0, described->Init(
                     config("\"LEDPanelMatrixName\": \"Wall\", \"description\": \"Stage\", " + chain(1, 1))));
    EXPECT_EQ("Stage", described->GetOverlayModelName());

    a->Close();
    EXPECT_EQ(nullptr, PixelOverlayManager::INSTANCE.getModel("LED Panels"));
    EXPECT_EQ("", a->GetOverlayModelName());
    EXPECT_NE(nullptr, PixelOverlayManager::INSTANCE.getModel("LED Panels-1"));
}

TEST_F(LinkCardOutputTest, AModelNamedByAnEmptyDescriptionIsRemovedByClose) {
    auto o = make();
    ASSERT_NE(0, o->Init(config("\"description\": \"\", " + chain(1, 1))));
    EXPECT_NE(nullptr, PixelOverlayManager::INSTANCE.getModel(""));
    o->Close();
    EXPECT_EQ(nullptr, PixelOverlayManager::INSTANCE.getModel(""));
}

TEST_F(LinkCardOutputTest, NoModelWhileTheSwitchIsOff) {
    PixelOverlayManager::INSTANCE.autoCreateModels = false;
    auto o = make();
    ASSERT_NE(0, o->Init(config(chain(1, 1))));
    EXPECT_EQ("", o->GetOverlayModelName());
    EXPECT_EQ(0u, PixelOverlayManager::INSTANCE.getModelList().size());
}

TEST_F(LinkCardOutputTest, TestPatternsAreDrawnOnEveryPanelFromTheStartChannel) {
    auto o = make(300);
    ASSERT_NE(0, o->Init(config("\"panelWidth\": 4, \"panelHeight\": 2, " + chain(2, 2))));
    std::vector<uint8_t> buffer(TAVO_CHANNEL_BUFFER_SIZE, 0);
    o->OverlayTestData(buffer.data(), 0, 0.0f, LEDPanel::TEST_RED, Json::Value());
    // Panels at x 0 and 1000, y 0 and 1000: each 4 x 2 block red, the rest untouched.
    int width = 1004;
    auto px = [&](int x, int y) { return buffer.data() + 300 + ((size_t)y * width + x) * 3; };
    EXPECT_EQ(255, px(0, 0)[0]);
    EXPECT_EQ(0, px(0, 0)[1]);
    EXPECT_EQ(255, px(1003, 1001)[0]);
    EXPECT_EQ(255, px(3, 1000)[0]);
    EXPECT_EQ(0, px(4, 0)[0]);
    EXPECT_EQ(0, buffer[299]);
}

TEST_F(LinkCardOutputTest, DumpConfigLinesInOrder) {
    auto o = make();
    ASSERT_NE(
        0, o->Init(config("\"panelWidth\": 64, \"panelHeight\": 32, \"invertedData\": 1, " + chain(2, 3))));
    log.clear();
    o->DumpConfig();
    std::vector<std::string> lines;
    for (auto& l : log.lines()) {
        lines.push_back(l.text);
    }
    ASSERT_GE(lines.size(), 10u) << log.text();
    EXPECT_EQ("LinkCardOutput::DumpConfig()", lines[0]);
    EXPECT_EQ("    Width          : 2064", lines[1]);
    EXPECT_EQ("    Height         : 1032", lines[2]);
    EXPECT_EQ("    Rows           : 64", lines[3]);
    EXPECT_EQ("    Row Size       : 576", lines[4]);
    EXPECT_EQ(0u, lines[5].find("    m_fd           : "));
    EXPECT_EQ("    Outputs        : 2", lines[6]);
    EXPECT_EQ("    Longest Chain  : 3", lines[7]);
    EXPECT_EQ("    Inverted Data  : 1", lines[8]);
    EXPECT_EQ("    Interface      : lo", lines[9]);
    EXPECT_TRUE(log.contains("ChannelOutput::DumpConfig()"));
}

TEST_F(LinkCardOutputTest, CloseAndDestructorLogTheirNames) {
    auto o = make();
    ASSERT_NE(0, o->Init(config()));
    EXPECT_NE(0, o->Close());
    o.reset();
    EXPECT_TRUE(log.contains("LinkCardOutput::Close()"));
    EXPECT_TRUE(log.contains("LinkCardOutput::~LinkCardOutput()"));
}
