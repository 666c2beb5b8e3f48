// The LinkCard output on a real veth pair: the frames captured byte for byte on
// the cards' end (in a network namespace of the test's), and the pictures the
// simulated receiver card reassembles from them, for every orientation, colour
// order, inversion and gamma, across outputs and chains; and through tavod, a
// sub-matrix taken from channels outside the picture.
#include "EngineTestSupport.h"
#include "JsonText.h"
#include "host/core/Common.h"
#include "host/core/Settings.h"
#include "host/core/Warnings.h"
#include "host/output/ChannelBuffer.h"
#include "host/output/PixelOverlay.h"
#include "LinkCardOutput.h"
#include "LinkCardSim.h"
#include "LogCapture.h"
#include "TavodTestSupport.h"
#include "VethPair.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

using namespace linkcard;

namespace {

struct Panel {
    int output, chain;
    char orientation;
    int x, y;
    std::string order;
};

std::string panelsJson(const std::vector<Panel>& panels) {
    std::string s = "[";
    for (size_t i = 0; i < panels.size(); i++) {
        const Panel& p = panels[i];
        s += std::string(i ? ", " : "") + "{\"outputNumber\": " + std::to_string(p.output) +
             ", \"panelNumber\": " + std::to_string(p.chain) + ", \"orientation\": \"" + p.orientation +
             "\", \"xOffset\": " + std::to_string(p.x) + ", \"yOffset\": " + std::to_string(p.y) +
             ", \"colorOrder\": \"" + p.order + "\"}";
    }
    return s + "]";
}

// A header as the cards expect it, written out here byte by byte.
std::vector<uint8_t> rowHeader(int row, int firstPixel, int pixels) {
    return {0x11,
            0x22,
            0x33,
            0x44,
            0x55,
            0x66,
            0x22,
            0x22,
            0x33,
            0x44,
            0x55,
            0x66,
            0x55,
            (uint8_t)(row >> 8),
            (uint8_t)row,
            (uint8_t)(firstPixel >> 8),
            (uint8_t)firstPixel,
            (uint8_t)(pixels >> 8),
            (uint8_t)pixels,
            0x08,
            0x88};
}

class LinkCardVethTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!veth.ok()) {
            GTEST_SKIP() << "no veth pair: " << veth.reason();
        }
        setSetting("LinkCardSysfsRoot", "");
        setSetting("ColorlightFirmwareVersion", "0");
        setSetting("ColorlightLinkDownDisable", "0");
        WarningHolder::ClearWarnings();
        PixelOverlayManager::INSTANCE.removeAllModels();
        std::string error;
        bool opened = false;
        ASSERT_TRUE(veth.InCardNamespace([&] { opened = sim.Open(veth.card, error); }));
        ASSERT_TRUE(opened) << error;
        sim.SetKeepFrames(true);
    }
    void TearDown() override { PixelOverlayManager::INSTANCE.removeAllModels(); }

    std::unique_ptr<LinkCardOutput> start(const std::string& keys, unsigned startChannel = 0) {
        std::unique_ptr<LinkCardOutput> o(new LinkCardOutput(startChannel, 0));
        Json::Value c = parseJson("{\"interface\": \"" + veth.host + "\", " + keys + "}");
        if (!c.isMember("firmwareVersion")) {
            c["firmwareVersion"] = 12;
        }
        EXPECT_NE(0, o->Init(c)) << log.text();
        return o;
    }
    // One frame through the output; waits until the card saw its display frames.
    void frame(LinkCardOutput& o, std::vector<uint8_t>& buffer) {
        int want = sim.displayFrames + (int)o.GetDisplayMessages().size();
        o.PrepData(buffer.data());
        o.SendData(buffer.data() + o.GetStartChannel());
        int64_t end = GetTimeMS() + 5000;
        while (sim.displayFrames < want && GetTimeMS() < end) {
            sim.Poll(100);
        }
        ASSERT_EQ(want, sim.displayFrames) << "the card did not see the whole frame";
    }
    // The data frames of the last frame sent, without brightness and display frames.
    std::vector<std::vector<uint8_t>> rows() const {
        std::vector<std::vector<uint8_t>> r;
        for (auto& f : sim.frames) {
            if (f[12] == TYPE_ROW) {
                r.push_back(f);
            }
        }
        return r;
    }

    VethPair veth;
    ReceiverCardSim sim;
    LogCapture log{LOG_INFO};
};

std::vector<uint8_t> channels(uint8_t seed) {
    std::vector<uint8_t> b(TAVO_CHANNEL_BUFFER_SIZE, 0);
    for (size_t i = 0; i < 4 * 1024 * 1024; i++) {
        b[i] = (uint8_t)(i * 7 + seed + (i >> 8));
    }
    return b;
}

} // namespace

TEST_F(LinkCardVethTest, OnePacketPerRowAt384BytesExactlyAsSent) {
    auto o = start("\"panelWidth\": 32, \"panelHeight\": 2, \"cfgVersion\": 2, \"panels\": " +
                   panelsJson({{0, 0, 'N', 0, 0, "RGB"},
                               {0, 1, 'N', 32, 0, "RGB"},
                               {0, 2, 'N', 64, 0, "RGB"},
                               {0, 3, 'N', 96, 0, "RGB"}}));
    ASSERT_EQ(384, o->GetRowSize());
    std::vector<uint8_t> b = channels(1);
    frame(*o, b);
    ASSERT_EQ(4u, sim.frames.size()); // brightness, 2 rows, display
    std::vector<uint8_t> brightness = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x22, 0x22, 0x33,
                                       0x44, 0x55, 0x66, 0x0A, 255,  255,  255,  0xFF};
    brightness.resize(77, 0);
    EXPECT_EQ(brightness, sim.frames[0]);
    for (int row = 0; row < 2; row++) {
        std::vector<uint8_t> expected = rowHeader(row, 0, 128);
        // Version 2: panelNumber 0 is last in the row. Panel p shows picture
        // columns 32p..32p+31, so chain position q holds picture panel 3 - q.
        for (int q = 0; q < 4; q++) {
            int p = 3 - q;
            for (int x = 0; x < 32; x++) {
                for (int c = 0; c < 3; c++) {
                    expected.push_back(b[(row * 128 + p * 32 + x) * 3 + c]);
                }
            }
        }
        EXPECT_EQ(expected, sim.frames[1 + row]) << "row " << row;
    }
    std::vector<uint8_t> display(112, 0);
    std::copy(brightness.begin(), brightness.begin() + 12, display.begin());
    display[12] = 0x01;
    display[13] = 0x07;
    display[35] = display[38] = display[39] = display[40] = 255;
    display[36] = 0x05;
    EXPECT_EQ(display, sim.frames[3]);
}

TEST_F(LinkCardVethTest, RowOf1494BytesGoesInTwoPackets) {
    auto o = start("\"panelWidth\": 83, \"panelHeight\": 1, \"panels\": " +
                   panelsJson({{0, 5, 'N', 0, 0, "RGB"}}));
    ASSERT_EQ(1494, o->GetRowSize());
    std::vector<uint8_t> b = channels(2);
    frame(*o, b);
    auto r = rows();
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ(rowHeader(0, 0, 497), std::vector<uint8_t>(r[0].begin(), r[0].begin() + 21));
    EXPECT_EQ(21u + 1491, r[0].size());
    EXPECT_EQ(rowHeader(0, 497, 1), std::vector<uint8_t>(r[1].begin(), r[1].begin() + 21));
    EXPECT_EQ(21u + 3, r[1].size());
    // Legacy order: panelNumber 5 is the sixth position, its last pixel ends the
    // row; a legacy 'N' is upside down, so that pixel is the picture's first.
    EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + 3),
              std::vector<uint8_t>(r[1].begin() + 21, r[1].end()));
}

TEST_F(LinkCardVethTest, RowOf3072BytesGoesInThreePackets) {
    auto o = start("\"panelWidth\": 64, \"panelHeight\": 1, \"panels\": " +
                   panelsJson({{0, 15, 'N', 0, 0, "RGB"}}));
    ASSERT_EQ(3072, o->GetRowSize());
    std::vector<uint8_t> b = channels(3);
    frame(*o, b);
    auto r = rows();
    ASSERT_EQ(3u, r.size());
    EXPECT_EQ(rowHeader(0, 0, 497), std::vector<uint8_t>(r[0].begin(), r[0].begin() + 21));
    EXPECT_EQ(rowHeader(0, 497, 497), std::vector<uint8_t>(r[1].begin(), r[1].begin() + 21));
    EXPECT_EQ(rowHeader(0, 994, 30), std::vector<uint8_t>(r[2].begin(), r[2].begin() + 21));
    EXPECT_EQ(21u + 90, r[2].size());
}

TEST_F(LinkCardVethTest, RowsFrom256CarryTheHighByte) {
    std::vector<Panel> panels;
    for (int out = 0; out < 17; out++) {
        panels.push_back({out, 0, 'N', 0, out * 16, "RGB"});
    }
    auto o = start("\"panelWidth\": 4, \"panelHeight\": 16, \"panels\": " + panelsJson(panels));
    ASSERT_EQ(272, o->GetRows());
    std::vector<uint8_t> b = channels(4);
    frame(*o, b);
    auto r = rows();
    ASSERT_EQ(272u, r.size());
    for (int row = 0; row < 272; row++) {
        EXPECT_EQ(rowHeader(row, 0, 4), std::vector<uint8_t>(r[row].begin(), r[row].begin() + 21)) << row;
    }
    EXPECT_EQ(1, r[256][13]);
    EXPECT_EQ(0, r[256][14]);
    EXPECT_EQ(15, r[271][14]);
}

TEST_F(LinkCardVethTest, Firmware12SendsEachFrameOnceAnd13Twice) {
    for (int version : {12, 13}) {
        sim.frames.clear();
        auto o = start("\"firmwareVersion\": " + std::to_string(version) +
                       ", \"brightness\": 50, \"panelWidth\": 2, "
                       "\"panelHeight\": 1, \"panels\": " +
                       panelsJson({{0, 0, 'N', 0, 0, "RGB"}}));
        std::vector<uint8_t> b = channels(5);
        frame(*o, b);
        int copies = version > 12 ? 2 : 1;
        ASSERT_EQ((size_t)(2 * copies + 1), sim.frames.size()) << version;
        for (int i = 0; i < copies; i++) {
            EXPECT_EQ(TYPE_BRIGHTNESS, sim.frames[i][12]) << version;
            EXPECT_EQ(77u, sim.frames[i].size());
            EXPECT_EQ(127, sim.frames[i][13]);
            EXPECT_EQ(TYPE_DISPLAY, sim.frames[copies + 1 + i][12]) << version;
            EXPECT_EQ(127, sim.frames[copies + 1 + i][35]);
        }
        EXPECT_EQ(TYPE_ROW, sim.frames[copies][12]);
    }
}

TEST_F(LinkCardVethTest, LegacyAndVersion2ChainOrders) {
    // Panel 0 red, panel 1 blue, side by side in the picture.
    std::vector<uint8_t> b(TAVO_CHANNEL_BUFFER_SIZE, 0);
    for (int x = 0; x < 2; x++) {
        b[x * 3] = 200; // picture columns 0-1: panel 0
    }
    for (int x = 2; x < 4; x++) {
        b[x * 3 + 2] = 100;
    }
    std::string panels = panelsJson({{0, 0, 'N', 0, 0, "RGB"}, {0, 1, 'N', 2, 0, "RGB"}});
    // Version 2 letters pass unchanged; legacy 'U' is a normal panel.
    std::string legacyPanels = panelsJson({{0, 0, 'U', 0, 0, "RGB"}, {0, 1, 'U', 2, 0, "RGB"}});
    auto v2 = start("\"cfgVersion\": 2, \"panelWidth\": 2, \"panelHeight\": 1, \"panels\": " + panels);
    frame(*v2, b);
    std::vector<uint8_t> row = rows().back();
    EXPECT_EQ(std::vector<uint8_t>({0, 0, 100, 0, 0, 100, 200, 0, 0, 200, 0, 0}),
              std::vector<uint8_t>(row.begin() + 21, row.end()))
        << "version 2: panel 0 at the end of the row";
    sim.frames.clear();
    auto legacy = start("\"panelWidth\": 2, \"panelHeight\": 1, \"panels\": " + legacyPanels);
    frame(*legacy, b);
    row = rows().back();
    EXPECT_EQ(std::vector<uint8_t>({200, 0, 0, 200, 0, 0, 0, 0, 100, 0, 0, 100}),
              std::vector<uint8_t>(row.begin() + 21, row.end()))
        << "legacy: panel 0 at the start";
}

TEST_F(LinkCardVethTest, AShortChainSendsZerosWherePanelsAreMissing) {
    auto o =
        start("\"cfgVersion\": 2, \"panelWidth\": 2, \"panelHeight\": 1, \"panels\": " +
              panelsJson({{0, 0, 'N', 0, 0, "RGB"}, {0, 1, 'N', 2, 0, "RGB"}, {1, 0, 'N', 0, 1, "RGB"}}));
    std::vector<uint8_t> b(TAVO_CHANNEL_BUFFER_SIZE, 9);
    frame(*o, b);
    auto r = rows();
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ(std::vector<uint8_t>(12, 9), std::vector<uint8_t>(r[0].begin() + 21, r[0].end()));
    // Output 1 has only panel 0, last in the row: the first position is empty.
    EXPECT_EQ(std::vector<uint8_t>({0, 0, 0, 0, 0, 0, 9, 9, 9, 9, 9, 9}),
              std::vector<uint8_t>(r[1].begin() + 21, r[1].end()));
}

// ---------------------------------------------------------------- reassembled pictures

namespace {

// Where panel pixel (x, y) shows in the picture, for a panel of w x h: the
// orientation letters as users read them, written out here on their own.
void shown(char o, int w, int h, int x, int y, int& px, int& py) {
    switch (o) {
    case 'U':
        px = w - 1 - x;
        py = h - 1 - y;
        break;
    case 'R': // a quarter clockwise: its first row runs down the right column
        px = h - 1 - y;
        py = x;
        break;
    case 'L': // a quarter anticlockwise: its first row runs up the left column
        px = y;
        py = w - 1 - x;
        break;
    default:
        px = x;
        py = y;
    }
}

// The rows a card must show: receiver row o x h + y, chain position q at q x w.
std::vector<uint8_t> expectedPicture(const std::vector<Panel>& panels, int w, int h, int outputs, int chain,
                                     int width, int height, bool inverted, const uint8_t* gamma,
                                     const uint8_t* s) {
    int rowSize = w * chain * 3;
    std::vector<uint8_t> pic((size_t)outputs * h * rowSize, 0);
    for (const Panel& p : panels) {
        int q = chain - 1 - p.chain;
        for (int y = 0; y < h; y++) {
            for (int x = 0; x < w; x++) {
                int px, py;
                shown(p.orientation, w, h, x, y, px, py);
                int X = p.x + px;
                int Y = p.y + py;
                if (inverted) {
                    Y = height - 1 - Y;
                }
                for (int k = 0; k < 3; k++) {
                    char c = p.order[k];
                    int ch = c == 'R' ? 0 : c == 'G' ? 1 : 2;
                    uint8_t v = s[((size_t)Y * width + X) * 3 + ch];
                    pic[(size_t)(p.output * h + y) * rowSize + (q * w + x) * 3 + k] = gamma[v];
                }
            }
        }
    }
    return pic;
}

} // namespace

TEST_F(LinkCardVethTest, ReassembledPictureFollowsTheLayout) {
    // Two outputs of two 8 x 4 panels: every letter, four colour orders.
    const std::vector<Panel> panels = {{0, 0, 'N', 0, 0, "RGB"},
                                       {0, 1, 'U', 8, 0, "GRB"},
                                       {1, 0, 'L', 0, 4, "BGR"},
                                       {1, 1, 'R', 4, 4, "BRG"}};
    uint8_t identity[256];
    uint8_t gamma22[256];
    for (int i = 0; i < 256; i++) {
        identity[i] = (uint8_t)i;
        float q = (float)i / 255.0f;
        gamma22[i] = (uint8_t)std::lround(std::min(255.0, std::pow((double)q, (double)2.2f) * 255.0));
    }
    sim.SetKeepFrames(false);
    for (bool inverted : {false, true}) {
        for (bool gamma : {false, true}) {
            SCOPED_TRACE(std::string(inverted ? "inverted" : "upright") + (gamma ? ", gamma 2.2" : ""));
            auto o = start("\"cfgVersion\": 2, \"panelWidth\": 8, \"panelHeight\": 4, \"invertedData\": " +
                               std::to_string(inverted) + (gamma ? ", \"gamma\": \"2.2\"" : "") +
                               ", \"panels\": " + panelsJson(panels),
                           600);
            ASSERT_EQ(16u * 12 * 3, o->GetChannelCount());
            for (uint8_t seed : {11, 99}) {
                std::vector<uint8_t> b = channels(seed);
                frame(*o, b);
                ASSERT_FALSE(sim.pictures.empty());
                EXPECT_EQ(expectedPicture(panels, 8, 4, 2, 2, 16, 12, inverted, gamma ? gamma22 : identity,
                                          b.data() + 600),
                          sim.pictures.back());
            }
            o->Close();
        }
    }
}

TEST_F(LinkCardVethTest, TavodShowsASubMatrixFromChannelsOutsideThePicture) {
    // A 4 x 2 panel from channel 1; a 2 x 1 block kept at channel 1001 shows at (1, 1).
    // The count in the file is 0: the picture sets it.
    tavodtest::MediaDir media;
    ASSERT_TRUE(media.writeSequence("show.lcsf", 2000, 4000, 25));
    media.writeOutputs(
        "{\"type\": \"LinkCard\", \"enabled\": 1, \"startChannel\": 1, \"channelCount\": 0, "
        "\"interface\": \"" +
        veth.host +
        "\", \"firmwareVersion\": 12, \"cfgVersion\": 2, \"panelWidth\": 4, \"panelHeight\": "
        "2, \"panels\": [{\"outputNumber\": 0, \"panelNumber\": 0, \"orientation\": \"N\"}], "
        "\"subMatrices\": [{\"enabled\": 1, \"startChannel\": 1001, \"width\": 2, \"height\": 1, "
        "\"xOffset\": 1, \"yOffset\": 1}]}");
    uint16_t port = 0;
    std::unique_ptr<tavodtest::Tavod> tavod =
        tavodtest::startWithHttp(media, {"play", "show.lcsf", "--loop"}, port);
    ASSERT_TRUE(tavod);
    sim.SetKeepFrames(false);
    ASSERT_TRUE(waitFor(
        [&] {
            sim.Poll(20);
            return sim.pictureCount >= 5;
        },
        std::chrono::seconds(10)))
        << tavod->err();
    // The picture is frame f of the file: its first channel tells which.
    const std::vector<uint8_t> shown = sim.pictures.back();
    ASSERT_EQ(24u, shown.size());
    uint32_t f = 0;
    while (f < 256 && testChannelValue(f, 0) != shown[0]) {
        f++;
    }
    std::vector<uint8_t> expected(24);
    for (uint32_t c = 0; c < 24; c++) {
        expected[c] = testChannelValue(f, c);
    }
    for (uint32_t i = 0; i < 6; i++) {
        expected[(1 * 4 + 1) * 3 + i] = testChannelValue(f, 1000 + i);
    }
    EXPECT_EQ(expected, shown);

    // The output's own count, in the log and the status.
    EXPECT_NE(std::string::npos, tavod->err().find("Output 0: LinkCard, channels 1 to 24")) << tavod->err();
    Json::Value status = parseJson(httpGet(port, "/api/status").body);
    ASSERT_EQ(1u, status["outputs"].size()) << status.toStyledString();
    EXPECT_EQ(24, status["outputs"][0]["channelCount"].asInt());
    tavod->sendSignal(SIGTERM);
    EXPECT_TRUE(tavod->wait(10000));
}
