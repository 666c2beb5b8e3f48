// The HubPanel output on the in-memory driver: the canvas read back equals the
// channel data mapped through the layout and the gamma table, the driver gets the
// configured options, canvases are swapped, overlay models named and removed, and
// impossible configurations are refused before anything is allocated.
#include "host/core/Settings.h"
#include "host/core/Warnings.h"
#include "host/output/ChannelBuffer.h"
#include "host/output/PanelMatrix.h"
#include "host/output/PixelOverlay.h"
#include "HubPanelOutput.h"
#include "HubPanelTestSupport.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

using namespace hubpaneltest;

namespace {

const unsigned START = 30; // 0-based

bool hasWarning(const std::string& text) {
    auto w = WarningHolder::GetWarnings();
    return std::find(w.begin(), w.end(), text) != w.end();
}

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};

std::ostream& operator<<(std::ostream& os, const Rgb& c) {
    return os << "(" << (int)c.r << ", " << (int)c.g << ", " << (int)c.b << ")";
}

class HubPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef RGB_MATRIX_STANDIN
        GTEST_SKIP() << "built against the real panel driver: its canvases cannot be read back";
#endif
        WarningHolder::ClearWarnings();
        PixelOverlayManager::INSTANCE.removeAllModels();
        PixelOverlayManager::INSTANCE.autoCreateModels = true;
        buffer.assign(TAVO_CHANNEL_BUFFER_SIZE, 0);
        // Every channel different from its neighbours, so a wrong offset shows.
        for (size_t i = 0; i < 200000; i++) {
            buffer[i] = (uint8_t)(i * 7 + i / 251);
        }
    }
    void TearDown() override {
        PixelOverlayManager::INSTANCE.removeAllModels();
    }

    std::unique_ptr<HubPanelOutput> start(const std::string& text, unsigned startChannel = START) {
        std::unique_ptr<HubPanelOutput> o(new HubPanelOutput(startChannel, 0));
        if (!o->Init(parse(text))) {
            ADD_FAILURE() << "Init failed:\n" << log.text();
            return nullptr;
        }
        return o;
    }
    void frame(HubPanelOutput& o) {
        o.PrepData(buffer.data());
        o.SendData(buffer.data() + o.GetStartChannel());
    }
    Rgb shown(HubPanelOutput& o, int x, int y) {
        Rgb c{0, 0, 0};
        EXPECT_TRUE(o.GetDriver()->ShownCanvas()->GetPixel(x, y, &c.r, &c.g, &c.b)) << x << ", " << y;
        return c;
    }
    // The picture's pixel (x, y) of an output starting at `start`, `width` pixels wide.
    Rgb picture(unsigned start, int width, int x, int y) {
        size_t c = start + ((size_t)y * width + x) * 3;
        return Rgb{buffer[c], buffer[c + 1], buffer[c + 2]};
    }

    FakeBoard board;
    std::vector<uint8_t> buffer;
    LogCapture log{LOG_DEBUG};
};

} // namespace

// ---------------------------------------------------------------- the canvas

TEST_F(HubPanelTest, TwoPanelsOnOutputZeroLieOnTheCanvasNearestTheBoardLast) {
    // Position 0 shows at the left of the picture, position 1 right of it.
    auto o = start(config(panel(0, 0, "N", 0, 0) + ", " + panel(0, 1, "N", 32, 0), "\"gamma\": \"1.0\""));
    ASSERT_TRUE(o);
    EXPECT_EQ(64u * 16 * 3, o->GetChannelCount());
    EXPECT_EQ(64, o->GetDriver()->width());
    EXPECT_EQ(16, o->GetDriver()->height());
    frame(*o);
    for (int y = 0; y < 16; y++) {
        for (int x = 0; x < 64; x++) {
            // Canvas x0 of position 0 is 32, of position 1 is 0.
            int chain = x >= 32 ? 0 : 1;
            int pictureX = (chain == 0 ? 0 : 32) + x % 32;
            ASSERT_EQ(picture(START, 64, pictureX, y), shown(*o, x, y)) << "canvas " << x << ", " << y;
        }
    }
}

TEST_F(HubPanelTest, OutputsStackDownTheCanvasAndPanelsKeepTheirTurnAndColourOrder) {
    // Output 1 carries one panel hung upside down below the first, wired GRB.
    auto o =
        start(config(panel(0, 0, "N", 0, 0) + ", " + panel(1, 0, "U", 0, 16, "GRB"), "\"gamma\": \"1.0\""));
    ASSERT_TRUE(o);
    EXPECT_EQ(2, o->GetOutputs());
    EXPECT_EQ(32, o->GetDriver()->width());
    EXPECT_EQ(32, o->GetDriver()->height());
    EXPECT_EQ(2, o->GetDriver()->GivenOptions().parallel);
    frame(*o);
    for (int y = 0; y < 16; y++) {
        for (int x = 0; x < 32; x++) {
            ASSERT_EQ(picture(START, 32, x, y), shown(*o, x, y));
            // The upside-down panel's first pixel shows at the bottom right of its place,
            // and its first byte is green.
            Rgb p = picture(START, 32, 31 - x, 16 + 15 - y);
            ASSERT_EQ((Rgb{p.g, p.r, p.b}), shown(*o, x, 16 + y)) << x << ", " << y;
        }
    }
}

TEST_F(HubPanelTest, EveryByteGoesThroughTheGammaTable) {
    auto o = start(config(panel(0, 0, "N", 0, 0)));
    ASSERT_TRUE(o);
    // The default is 2.2: 255 x (128 / 255)^2.2 = 55.98.
    EXPECT_EQ(56, o->GetGammaCurve()[128]);
    for (int i = 0; i < 32 * 16 * 3; i++) {
        buffer[START + i] = (uint8_t)(i % 256);
    }
    frame(*o);
    const uint8_t* table = o->GetGammaCurve();
    for (int y = 0; y < 16; y++) {
        for (int x = 0; x < 32; x++) {
            int c = (y * 32 + x) * 3;
            Rgb want{table[c % 256], table[(c + 1) % 256], table[(c + 2) % 256]};
            ASSERT_EQ(want, shown(*o, x, y));
        }
    }
}

TEST_F(HubPanelTest, GammaOutsideItsRangeIsTheDefault) {
    auto table = [&](const std::string& gamma) {
        std::unique_ptr<HubPanelOutput> o(new HubPanelOutput(0, 0));
        EXPECT_NE(0, o->Init(parse(config(panel(0, 0, "N", 0, 0), "\"gamma\": " + gamma))));
        std::vector<uint8_t> t(o->GetGammaCurve(), o->GetGammaCurve() + 256);
        o->Close();
        return t;
    };
    std::vector<uint8_t> standard = table("\"2.2\"");
    EXPECT_EQ(56, standard[128]);
    EXPECT_EQ(standard, table("\"0.005\""));
    EXPECT_EQ(standard, table("\"60\""));
    EXPECT_EQ(standard, table("\"not a number\""));
    EXPECT_EQ(standard, table("2.2")) << "a number is read as well as a text";
    std::vector<uint8_t> identity = table("\"1.0\"");
    for (int i = 0; i < 256; i++) {
        ASSERT_EQ(i, identity[i]);
    }
    std::vector<uint8_t> edge = table("\"0.01\"");
    EXPECT_NE(standard, edge) << "0.01 itself is in range";
}

TEST_F(HubPanelTest, SubMatricesAreCopiedIntoThePictureFirst) {
    // A 4 x 2 block kept at channel 5001 shows at (10, 3).
    auto o = start(config(panel(0, 0, "N", 0, 0),
                          "\"gamma\": \"1.0\", \"subMatrices\": [{\"enabled\": 1, \"startChannel\": 5001, "
                          "\"width\": 4, \"height\": 2, \"xOffset\": 10, \"yOffset\": 3}]"));
    ASSERT_TRUE(o);
    std::vector<uint8_t> block(buffer.begin() + 5000, buffer.begin() + 5000 + 24);
    frame(*o);
    for (int y = 0; y < 2; y++) {
        for (int x = 0; x < 4; x++) {
            const uint8_t* b = &block[(y * 4 + x) * 3];
            ASSERT_EQ((Rgb{b[0], b[1], b[2]}), shown(*o, 10 + x, 3 + y));
        }
    }
    EXPECT_EQ(picture(START, 32, 9, 3), shown(*o, 9, 3)) << "beside the block the picture is as it was";
    // The block's channels are read from the file too, or it would show black.
    std::vector<std::pair<int, int>> ranges;
    o->GetRequiredChannelRanges([&](int a, int b) { ranges.emplace_back(a, b); });
    EXPECT_EQ((std::vector<std::pair<int, int>>{{(int)START, (int)(START + 32 * 16 * 3 - 1)}, {5000, 5023}}),
              ranges);
}

TEST_F(HubPanelTest, TestPatternsDrawThroughThePanelMaps) {
    auto o = start(config(panel(0, 0, "N", 0, 0) + ", " + panel(0, 1, "R", 16, 0, "BGR"), "", 16, 16));
    ASSERT_TRUE(o);
    EXPECT_TRUE(o->SupportsTesting());
    o->OverlayTestData(buffer.data(), 0, 0.0f, LEDPanel::TEST_RED, Json::Value());
    for (unsigned c = 0; c < o->GetChannelCount(); c += 3) {
        ASSERT_EQ(255, buffer[START + c]);
        ASSERT_EQ(0, buffer[START + c + 1]);
    }
    EXPECT_NE(0, buffer[START + o->GetChannelCount()]) << "nothing past the slice is drawn";
    frame(*o);
    // The picture is red on both panels; the BGR panel (position 1, first on the
    // canvas) is sent its bytes blue first.
    EXPECT_EQ((Rgb{255, 0, 0}), shown(*o, 20, 5));
    EXPECT_EQ((Rgb{0, 0, 255}), shown(*o, 3, 7));
}

// ---------------------------------------------------------------- driver options

TEST_F(HubPanelTest, TheDriverGetsTheLayoutAndTheConfiguredOptions) {
    auto o =
        start(config(panel(0, 0, "N", 0, 0) + ", " + panel(0, 2, "N", 64, 0) + ", " + panel(2, 0, "N", 0, 32),
                     "\"brightness\": 60, \"wiringPinout\": \"adafruit-hat\", \"cpuPWM\": true, "
                     "\"panelRowAddressType\": 2, \"panelType\": 1, \"gpioSlowdown\": 3",
                     32, 16));
    ASSERT_TRUE(o);
    const rgb_matrix::RGBMatrix::Options& opt = o->GetDriver()->GivenOptions();
    EXPECT_EQ(16, opt.rows);
    EXPECT_EQ(32, opt.cols);
    EXPECT_EQ(3, opt.chain_length);
    EXPECT_EQ(3, opt.parallel);
    EXPECT_EQ(60, opt.brightness);
    EXPECT_EQ(8, opt.pwm_bits);
    EXPECT_STREQ("adafruit-hat", opt.hardware_mapping);
    EXPECT_TRUE(opt.disable_hardware_pulsing);
    EXPECT_EQ(2, opt.row_address_type);
    EXPECT_STREQ("FM6126A", opt.panel_type);
    EXPECT_EQ(0, opt.multiplexing);
    const rgb_matrix::RuntimeOptions& rt = o->GetDriver()->GivenRuntimeOptions();
    EXPECT_EQ(3, rt.gpio_slowdown);
    EXPECT_EQ(0, rt.daemon);
    EXPECT_EQ(0, rt.drop_privileges);
    EXPECT_TRUE(rt.do_gpio_init);
    EXPECT_TRUE(log.contains("Disabling use of Hardware PWM for OE pin"));
    EXPECT_TRUE(
        log.contains("  chain: 3    parallel: 3   rows: 16     cols: 32    brightness: 60   colordepth: 8"))
        << log.text();
    // The canvas holds every chain as long as the longest.
    EXPECT_EQ(96, o->GetDriver()->width());
    EXPECT_EQ(48, o->GetDriver()->height());
}

TEST_F(HubPanelTest, DriverDefaultsStandWhereNothingIsConfigured) {
    auto o = start(config(panel(0, 0, "N", 0, 0), "\"wiringPinout\": \"\", \"panelType\": 3"));
    ASSERT_TRUE(o);
    const rgb_matrix::RGBMatrix::Options& opt = o->GetDriver()->GivenOptions();
    rgb_matrix::RGBMatrix::Options defaults;
    EXPECT_STREQ(defaults.hardware_mapping, opt.hardware_mapping);
    EXPECT_EQ(nullptr, opt.panel_type);
    EXPECT_EQ(100, opt.brightness);
    EXPECT_FALSE(opt.disable_hardware_pulsing);
    EXPECT_EQ(defaults.row_address_type, opt.row_address_type);
    EXPECT_EQ(defaults.multiplexing, opt.multiplexing);
    EXPECT_EQ(1, o->GetDriver()->GivenRuntimeOptions().gpio_slowdown);
}

TEST_F(HubPanelTest, ColourDepthOutsideSixToElevenIsEleven) {
    auto bits = [&](const std::string& depth) {
        auto o = start(config(panel(0, 0, "N", 0, 0), "\"panelColorDepth\": " + depth));
        return o ? o->GetDriver()->GivenOptions().pwm_bits : -1;
    };
    EXPECT_EQ(11, bits("5"));
    EXPECT_EQ(11, bits("12"));
    EXPECT_EQ(6, bits("6"));
    EXPECT_EQ(11, bits("11"));
    EXPECT_EQ(9, bits("9"));
    EXPECT_EQ(11, bits("0"));
}

TEST_F(HubPanelTest, InterleaveIsMultiplexingUnlessTheScanIsPlain) {
    auto mux = [&](const std::string& more) {
        auto o = start(config(panel(0, 0, "N", 0, 0), more));
        return o ? o->GetDriver()->GivenOptions().multiplexing : -1;
    };
    EXPECT_EQ(4, mux("\"panelInterleave\": \"4\""));
    EXPECT_EQ(4, mux("\"panelInterleave\": \"4\", \"panelScan\": 4"));
    EXPECT_EQ(0, mux("\"panelInterleave\": \"4\", \"panelScan\": 8")) << "16 rows scanned 1:8 is plain";
    EXPECT_EQ(0, mux("\"panelInterleave\": \"4\", \"panelScan\": 0"));
    EXPECT_EQ(0, mux("\"panelScan\": 4")) << "the scan alone changes nothing";
    EXPECT_EQ(0, mux("\"panelInterleave\": \"\"")) << "an empty field means the driver's choice";
    HubPanelOutput o(0, 0);
    EXPECT_EQ(0, o.Init(parse(config(panel(0, 0, "N", 0, 0), "\"panelInterleave\": \"four\""))));
    EXPECT_TRUE(log.contains("HubPanel: \"panelInterleave\" must be a whole number, not a text"))
        << log.text();
}

TEST_F(HubPanelTest, PanelTypesByNumber) {
    auto type = [&](int n) {
        auto o = start(config(panel(0, 0, "N", 0, 0), "\"panelType\": " + std::to_string(n)));
        const char* t = o ? o->GetDriver()->GivenOptions().panel_type : "failed";
        return std::string(t ? t : "(none)");
    };
    EXPECT_EQ("FM6126A", type(1));
    EXPECT_EQ("FM6127", type(2));
    EXPECT_EQ("(none)", type(0));
    EXPECT_EQ("(none)", type(7));
}

TEST_F(HubPanelTest, OptionsTheDriverRefusesFailInitWithTheMessagesAndAWarning) {
    HubPanelOutput o(START, 0);
    EXPECT_EQ(0, o.Init(parse(config(panel(0, 0, "N", 0, 0), "\"brightness\": 0"))));
    EXPECT_EQ(nullptr, o.GetDriver());
    EXPECT_TRUE(
        log.contains("HubPanel: the panel driver refuses these options: brightness 0 is outside 1 to 100"))
        << log.text();
    EXPECT_TRUE(log.contains("Unable to create HubPanel instance"));
    EXPECT_TRUE(hasWarning("Unable to create HubPanel instance from options"));
    // The last error is what tavod shows as the reason.
    std::vector<LogLine> lines = log.lines();
    auto lastError =
        std::find_if(lines.rbegin(), lines.rend(), [](const LogLine& l) { return l.level == LOG_ERR; });
    ASSERT_NE(lines.rend(), lastError);
    EXPECT_EQ("Unable to create HubPanel instance", lastError->text);
    EXPECT_EQ(0, rgb_matrix::RGBMatrix::LiveMatrices());
    // Frames and Close after a failed Init do nothing.
    frame(o);
    EXPECT_NE(0, o.Close());
    EXPECT_NE(0, o.Close());
}

// ---------------------------------------------------------------- canvases

TEST_F(HubPanelTest, SwapOnVSyncHandsBackTheShownCanvasToDrawNext) {
    auto o = start(config(panel(0, 0, "N", 0, 0), "\"gamma\": \"1.0\""));
    ASSERT_TRUE(o);
    rgb_matrix::RGBMatrix* d = o->GetDriver();
    rgb_matrix::FrameCanvas* a = o->GetCanvas();
    const rgb_matrix::FrameCanvas* b = d->ShownCanvas();
    ASSERT_NE(nullptr, a);
    ASSERT_NE(a, b) << "Init shows the second canvas at once and draws into the first";
    EXPECT_EQ(1u, d->SwapCount());

    std::vector<uint8_t> before = b->pixels();
    o->PrepData(buffer.data());
    EXPECT_EQ(before, d->ShownCanvas()->pixels()) << "drawing leaves the shown canvas alone";
    o->SendData(buffer.data() + START);
    EXPECT_EQ(a, d->ShownCanvas());
    EXPECT_EQ(b, o->GetCanvas());
    EXPECT_EQ(2u, d->SwapCount());
    EXPECT_EQ(picture(START, 32, 5, 5), shown(*o, 5, 5));

    buffer[START] = 1;
    buffer[START + 1] = 2;
    buffer[START + 2] = 3;
    frame(*o);
    EXPECT_EQ(b, d->ShownCanvas());
    EXPECT_EQ(a, o->GetCanvas());
    EXPECT_EQ((Rgb{1, 2, 3}), shown(*o, 0, 0));
    EXPECT_EQ(32u * 16 * 3, (unsigned)o->SendData(buffer.data() + START));
}

TEST_F(HubPanelTest, TheShownCanvasCanBeWrittenAsAnImage) {
    auto o = start(config(panel(0, 0, "N", 0, 0), "\"gamma\": \"1.0\"", 4, 2));
    ASSERT_TRUE(o);
    frame(*o);
    TempDir dir;
    std::string error;
    ASSERT_TRUE(o->GetDriver()->ShownCanvas()->WritePPM(dir.file("shown.ppm"), &error)) << error;
    std::string bytes = readFileBytes(dir.file("shown.ppm"));
    std::string header = "P6\n4 2\n255\n";
    ASSERT_EQ(header.size() + 4 * 2 * 3, bytes.size());
    EXPECT_EQ(header, bytes.substr(0, header.size()));
    EXPECT_EQ(std::string(buffer.begin() + START, buffer.begin() + START + 24), bytes.substr(header.size()));
    EXPECT_FALSE(o->GetDriver()->ShownCanvas()->WritePPM(dir.file("no/such/folder.ppm"), &error));
    EXPECT_NE(std::string::npos, error.find("No such file or directory")) << error;
}

TEST_F(HubPanelTest, CloseFreesTheDriverAndIsHarmlessTwice) {
    auto o = start(config(panel(0, 0, "N", 0, 0)));
    ASSERT_TRUE(o);
    EXPECT_EQ(1, rgb_matrix::RGBMatrix::LiveMatrices());
    EXPECT_NE(0, o->Close());
    EXPECT_EQ(0, rgb_matrix::RGBMatrix::LiveMatrices());
    EXPECT_EQ(nullptr, o->GetCanvas());
    EXPECT_NE(0, o->Close());
    frame(*o); // nothing to draw into: nothing happens
    // Started again, it works as new.
    ASSERT_NE(0, o->Init(parse(config(panel(0, 0, "N", 0, 0)))));
    EXPECT_EQ(1, rgb_matrix::RGBMatrix::LiveMatrices());
    o.reset();
    EXPECT_EQ(0, rgb_matrix::RGBMatrix::LiveMatrices());
}

// ---------------------------------------------------------------- overlay models

TEST_F(HubPanelTest, TheWholePictureIsAnOverlayModelNamedAfterTheFirstFreeName) {
    auto a = start(config(panel(0, 0, "N", 0, 0) + ", " + panel(0, 1, "N", 32, 0)));
    ASSERT_TRUE(a);
    EXPECT_EQ("LED Panels", a->GetOverlayModelName());
    PixelOverlayModel* m = PixelOverlayManager::INSTANCE.getModel("LED Panels");
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(START, m->getStartChannel());
    EXPECT_EQ(64u * 16 * 3, m->getChannelCount());
    EXPECT_EQ(64, m->getWidth());
    EXPECT_EQ(16, m->getHeight());
    EXPECT_TRUE(m->isAutoCreated());

    auto b = start(config(panel(0, 0, "N", 0, 0)), 10000);
    ASSERT_TRUE(b);
    EXPECT_EQ("LED Panels-1", b->GetOverlayModelName());
    auto c = start(config(panel(0, 0, "N", 0, 0), "\"LEDPanelMatrixName\": \"Wall\""), 20000);
    ASSERT_TRUE(c);
    EXPECT_EQ("Wall", c->GetOverlayModelName());
    auto d =
        start(config(panel(0, 0, "N", 0, 0), "\"LEDPanelMatrixName\": \"Wall\", \"description\": \"Stage\""),
              30000);
    ASSERT_TRUE(d);
    EXPECT_EQ("Stage", d->GetOverlayModelName()) << "a description wins over the matrix name";

    a->Close();
    EXPECT_EQ(nullptr, PixelOverlayManager::INSTANCE.getModel("LED Panels"));
    EXPECT_NE(nullptr, PixelOverlayManager::INSTANCE.getModel("LED Panels-1"));
    // The next Init takes the first free name again.
    ASSERT_NE(0, a->Init(parse(config(panel(0, 0, "N", 0, 0)))));
    EXPECT_EQ("LED Panels", a->GetOverlayModelName());
}

TEST_F(HubPanelTest, AnEmptyDescriptionNamesTheModelWithTheEmptyTextAndCloseRemovesIt) {
    auto o = start(config(panel(0, 0, "N", 0, 0), "\"description\": \"\", \"LEDPanelMatrixName\": \"Wall\""));
    ASSERT_TRUE(o);
    EXPECT_EQ("", o->GetOverlayModelName());
    EXPECT_TRUE(o->HasOverlayModel());
    EXPECT_NE(nullptr, PixelOverlayManager::INSTANCE.getModel(""));
    o->Close();
    EXPECT_EQ(nullptr, PixelOverlayManager::INSTANCE.getModel("")) << "a model named \"\" is removed too";
    ASSERT_NE(0, o->Init(parse(config(panel(0, 0, "N", 0, 0), "\"description\": \"\""))));
    EXPECT_EQ("", o->GetOverlayModelName()) << "not \"-1\": the first one is gone";
}

TEST_F(HubPanelTest, NoModelWhileAutomaticModelsAreOff) {
    PixelOverlayManager::INSTANCE.autoCreateModels = false;
    auto o = start(config(panel(0, 0, "N", 0, 0)));
    PixelOverlayManager::INSTANCE.autoCreateModels = true;
    ASSERT_TRUE(o);
    EXPECT_FALSE(o->HasOverlayModel());
    EXPECT_TRUE(PixelOverlayManager::INSTANCE.getModelNames().empty());
}

// ---------------------------------------------------------------- refusals

TEST_F(HubPanelTest, AbsurdCanvasSizesAreRefusedBeforeAnythingIsAllocated) {
    HubPanelOutput big(0, 0);
    EXPECT_EQ(0, big.Init(parse("{\"panelWidth\": 100000, \"panelHeight\": 100000}")));
    EXPECT_TRUE(log.contains("is more than the 64 MiB a panel output may take")) << log.text();
    EXPECT_EQ(nullptr, big.GetDriver());

    HubPanelOutput longChain(0, 0);
    EXPECT_EQ(0,
              longChain.Init(parse(config(panel(0, 0, "N", 0, 0) + ", " + panel(0, 5000000, "N", 32, 0)))));
    EXPECT_TRUE(log.contains("a canvas of 160000032 x 16 pixels")) << log.text();

    HubPanelOutput manyOutputs(0, 0);
    EXPECT_EQ(0,
              manyOutputs.Init(parse(config(panel(0, 0, "N", 0, 0) + ", " + panel(2000000, 0, "N", 0, 16)))));
    EXPECT_EQ(0, rgb_matrix::RGBMatrix::LiveMatrices());
    EXPECT_FALSE(hasWarning("Unable to create HubPanel instance from options"));
}

TEST_F(HubPanelTest, APictureReachingPastTheChannelBufferIsRefused) {
    HubPanelOutput o(TAVO_MAX_CHANNELS - 100, 0);
    EXPECT_EQ(0, o.Init(parse(config(panel(0, 0, "N", 0, 0)))));
    EXPECT_TRUE(log.contains("past the last channel 8388608")) << log.text();
}

TEST_F(HubPanelTest, WrongTypedKeysAndBadPanelsAreNamed) {
    struct Case {
        std::string config;
        std::string message;
    } cases[] = {
        {config(panel(0, 0, "N", 0, 0), "\"brightness\": \"bright\""),
         "HubPanel: \"brightness\" must be a whole number, not a text"},
        {"{\"panels\": \"all of them\"}", "HubPanel: \"panels\" must be a list of panels, not a text"},
        {config("{\"outputNumber\": 0, \"xOffset\": [1]}"),
         "HubPanel panel 0: \"xOffset\" must be a whole number, not a list"},
        {config(panel(0, 0, "N", 0, 0) + ", " + panel(0, 1, "X", 32, 0)),
         "HubPanel panel 1 (output 0, position 1): orientation 'X' is none of N"},
        {config(panel(0, 0, "N", 0, 0), "\"cpuPWM\": \"yes\""), "HubPanel: \"cpuPWM\" must be true or false"},
        {config(panel(0, 0, "N", 0, 0), "\"description\": 7"), "HubPanel: \"description\" must be a text"},
        {config(panel(0, 0, "N", 0, 0), "\"gamma\": [2]"),
         "HubPanel: \"gamma\" must be a number, not a list"},
        {config(panel(0, 0, "N", 0, 0), "\"subMatrices\": [{\"enabled\": 1, \"width\": 40, \"height\": 1}]"),
         "HubPanel sub-matrix 0 (from channel 1): 40x1 at (0, 0) does not lie inside the 32x16 picture"},
        {"{\"panelWidth\": -4}", "HubPanel: the panel size -4x16 is not a size"},
    };
    for (const Case& c : cases) {
        log.clear();
        HubPanelOutput o(0, 0);
        EXPECT_EQ(0, o.Init(parse(c.config))) << c.config;
        EXPECT_TRUE(log.contains(c.message)) << c.config << "\n" << log.text();
        EXPECT_EQ(nullptr, o.GetDriver());
    }
}

TEST_F(HubPanelTest, WithoutPanelsNothingIsDrawnAndNoChannelIsAskedFor) {
    auto o = start("{\"panelWidth\": 16, \"panelHeight\": 8}");
    ASSERT_TRUE(o);
    EXPECT_TRUE(log.contains("HubPanel: no \"panels\" are configured; nothing is drawn"));
    EXPECT_EQ(0u, o->GetChannelCount());
    int ranges = 0;
    o->GetRequiredChannelRanges([&](int, int) { ranges++; });
    EXPECT_EQ(0, ranges);
    frame(*o);
    EXPECT_EQ(16, o->GetDriver()->width());
}

TEST_F(HubPanelTest, RangesAndDumpConfig) {
    auto o = start(config(panel(0, 0, "N", 0, 0) + ", " + panel(0, 1, "N", 32, 0)));
    ASSERT_TRUE(o);
    std::vector<std::pair<int, int>> ranges;
    o->GetRequiredChannelRanges([&](int a, int b) { ranges.emplace_back(a, b); });
    ASSERT_EQ(1u, ranges.size());
    EXPECT_EQ((int)START, ranges[0].first);
    EXPECT_EQ((int)(START + 64 * 16 * 3 - 1), ranges[0].second);
    EXPECT_EQ("Pi Panels", o->GetOutputType());
    log.clear();
    o->DumpConfig();
    EXPECT_TRUE(log.contains("HubPanelOutput::DumpConfig()"));
    EXPECT_TRUE(log.contains("    panels : 2"));
    EXPECT_TRUE(log.contains("    width  : 64"));
    EXPECT_TRUE(log.contains("    height : 16"));
    Json::Value status;
    o->GetStatus(status);
    EXPECT_EQ("stand-in: no panels driven", status["driver"].asString());
    EXPECT_EQ(64, status["width"].asInt());
    EXPECT_EQ(2, status["panels"].asInt());
}
