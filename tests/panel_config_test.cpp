// The configuration readers panel outputs share: keys read without exceptions
// (wrong types named, numbers from texts), the panel layout keys into a
// PanelMatrix and a Matrix, and the gamma key and table.
#include "host/core/JsonUtils.h"
#include "host/output/ChannelBuffer.h"
#include "host/output/PanelConfig.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

Json::Value parse(const std::string& text) {
    Json::Value v;
    std::string error;
    EXPECT_TRUE(LoadJsonFromString(text, v, &error)) << error;
    return v;
}

} // namespace

// ---------------------------------------------------------------- keys

TEST(JsonKeys, PresentKeysOfTheRightTypeAreRead) {
    Json::Value c =
        parse("{\"i\": 7, \"r\": 3.0, \"t\": \"12\", \"s\": \"x\", \"b\": true, \"n\": 1, \"d\": 2.5}");
    bool ok = true;
    EXPECT_EQ(7, JsonKeyInt(c, "i", 0, "Test", ok));
    EXPECT_EQ(3, JsonKeyInt(c, "r", 0, "Test", ok)) << "an integral real is a whole number";
    EXPECT_EQ(12, JsonKeyInt(c, "t", 0, "Test", ok)) << "older pages stored numbers as texts";
    EXPECT_EQ("x", JsonKeyString(c, "s", "", "Test", ok));
    EXPECT_TRUE(JsonKeyBool(c, "b", false, "Test", ok));
    EXPECT_TRUE(JsonKeyBool(c, "n", false, "Test", ok));
    EXPECT_DOUBLE_EQ(2.5, JsonKeyNumber(c, "d", 0, "Test", ok));
    EXPECT_DOUBLE_EQ(12.0, JsonKeyNumber(c, "t", 0, "Test", ok));
    EXPECT_TRUE(ok);
}

TEST(JsonKeys, AbsentKeysAndNonObjectsGiveTheDefaultQuietly) {
    LogCapture log(LOG_DEBUG);
    bool ok = true;
    EXPECT_EQ(5, JsonKeyInt(parse("{}"), "i", 5, "Test", ok));
    EXPECT_EQ(5, JsonKeyInt(parse("[1, 2]"), "i", 5, "Test", ok));
    EXPECT_EQ("d", JsonKeyString(Json::Value(), "s", "d", "Test", ok));
    EXPECT_TRUE(JsonKeyBool(parse("\"text\""), "b", true, "Test", ok));
    EXPECT_DOUBLE_EQ(1.5, JsonKeyNumber(parse("{\"g\": \"not a number\"}"), "g", 1.5, "Test", ok));
    EXPECT_TRUE(ok);
    EXPECT_TRUE(log.lines().empty()) << log.text();
}

TEST(JsonKeys, WrongTypesAreNamedAndGiveTheDefault) {
    LogCapture log(LOG_DEBUG);
    Json::Value c = parse(
        "{\"l\": [1], \"o\": {}, \"t\": \"12x\", \"d\": 2.5, \"big\": 3000000000, \"s\": 4, \"b\": \"yes\"}");
    bool ok = true;
    EXPECT_EQ(9, JsonKeyInt(c, "l", 9, "Thing", ok));
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.contains("Thing: \"l\" must be a whole number, not a list")) << log.text();
    ok = true;
    EXPECT_EQ(9, JsonKeyInt(c, "t", 9, "Thing", ok));
    EXPECT_FALSE(ok);
    ok = true;
    EXPECT_EQ(9, JsonKeyInt(c, "d", 9, "Thing", ok));
    EXPECT_FALSE(ok) << "2.5 is no whole number";
    ok = true;
    EXPECT_EQ(9, JsonKeyInt(c, "big", 9, "Thing", ok));
    EXPECT_FALSE(ok) << "too large for an int";
    ok = true;
    EXPECT_EQ("d", JsonKeyString(c, "s", "d", "Thing", ok));
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.contains("Thing: \"s\" must be a text, not a number"));
    ok = true;
    EXPECT_FALSE(JsonKeyBool(c, "b", false, "Thing", ok));
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.contains("Thing: \"b\" must be true or false, not a text"));
    ok = true;
    EXPECT_DOUBLE_EQ(1.0, JsonKeyNumber(c, "o", 1.0, "Thing", ok));
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.contains("Thing: \"o\" must be a number, not an object"));
    for (const LogLine& l : log.lines()) {
        EXPECT_EQ(LOG_ERR, l.level);
    }
}

// ---------------------------------------------------------------- layout

TEST(PanelLayoutConfig, SizesDefaultToThirtyTwoBySixteen) {
    PanelLayout l;
    ASSERT_TRUE(ReadPanelLayout(parse("{\"panelWidth\": 0}"), 0, "Test", l));
    EXPECT_EQ(32, l.panelWidth);
    EXPECT_EQ(16, l.panelHeight);
    EXPECT_EQ(1, l.outputs);
    EXPECT_EQ(1, l.longestChain);
    EXPECT_EQ(0, l.panelMatrix->PanelCount());
    EXPECT_EQ(0, l.panelMatrix->Width());
    ASSERT_NE(nullptr, l.matrix);
}

TEST(PanelLayoutConfig, PanelsGoIntoThePanelMatrixWithTheirDefaults) {
    LogCapture log(LOG_DEBUG);
    PanelLayout l;
    ASSERT_TRUE(
        ReadPanelLayout(parse("{\"panelWidth\": 4, \"panelHeight\": 2, \"colorOrder\": \"GRB\", \"panels\": ["
                              "{\"outputNumber\": 0, \"panelNumber\": 0, \"orientation\": \"\"},"
                              "{\"outputNumber\": 2, \"panelNumber\": 3, \"orientation\": \"Upside\", "
                              "\"xOffset\": 4, \"colorOrder\": \"bgr\"}]}"),
                        100, "Test", l));
    ASSERT_EQ(2, l.panelMatrix->PanelCount());
    const LEDPanel& a = l.panelMatrix->GetPanel(0);
    EXPECT_EQ('N', a.orientation) << "an empty orientation is N";
    EXPECT_EQ(kColorOrderGRB, a.colorOrder) << "a panel without its own takes the output's";
    const LEDPanel& b = l.panelMatrix->GetPanel(1);
    EXPECT_EQ('U', b.orientation) << "only the first letter counts";
    EXPECT_EQ(kColorOrderBGR, b.colorOrder);
    EXPECT_EQ(2, b.output);
    EXPECT_EQ(3, b.chain);
    EXPECT_EQ(3, l.outputs);
    EXPECT_EQ(4, l.longestChain);
    EXPECT_EQ(8, l.panelMatrix->Width());
    EXPECT_EQ(kColorOrderGRB, l.colorOrder);
    EXPECT_FALSE(log.contains("error")) << log.text();
}

TEST(PanelLayoutConfig, AnUnknownColourOrderIsWarnedOfAndIsRgb) {
    LogCapture log(LOG_DEBUG);
    PanelLayout l;
    ASSERT_TRUE(ReadPanelLayout(parse("{\"colorOrder\": \"RBX\", \"panels\": [{\"colorOrder\": \"XYZ\"}]}"),
                                0, "Test", l));
    EXPECT_EQ(kColorOrderRGB, l.colorOrder);
    EXPECT_EQ(kColorOrderRGB, l.panelMatrix->GetPanel(0).colorOrder);
    EXPECT_TRUE(log.contains("Test: \"colorOrder\" \"RBX\" is none of RGB")) << log.text();
    EXPECT_TRUE(log.contains("Test panel 0: \"colorOrder\" \"XYZ\" is none of RGB")) << log.text();
}

TEST(PanelLayoutConfig, RefusalsNameThePanelOrSubMatrix) {
    struct Case {
        const char* config;
        const char* message;
    } cases[] = {
        {"{\"panels\": {}}", "Test: \"panels\" must be a list of panels, not an object"},
        {"{\"panels\": [1]}", "Test panel 0: must be an object, not a number"},
        {"{\"panels\": [{}, {\"outputNumber\": -1}]}",
         "Test panel 1 (output -1, position 0): output and panel numbers"},
        {"{\"panels\": [{\"orientation\": \"x\"}]}", "Test panel 0 (output 0, position 0): orientation 'x'"},
        {"{\"panels\": [{\"orientation\": 3}]}",
         "Test panel 0: \"orientation\" must be a text, not a number"},
        {"{\"panelHeight\": -1}", "Test: the panel size 32x-1 is not a size"},
        {"{\"invertedData\": \"yes\"}", "Test: \"invertedData\" must be a whole number, not a text"},
        {"{\"subMatrices\": 5}", "Test: \"subMatrices\" must be a list, not a number"},
        {"{\"panels\": [{}], \"subMatrices\": [{\"enabled\": 1, \"startChannel\": 0, \"width\": 1, "
         "\"height\": 1}]}",
         "Test sub-matrix 0 (from channel 0): its channels from 0 reach past the channel buffer"},
        {"{\"panels\": [{}], \"subMatrices\": [[]]}", "Test sub-matrix 0: must be an object, not a list"},
    };
    for (const Case& c : cases) {
        LogCapture log(LOG_DEBUG);
        PanelLayout l;
        EXPECT_FALSE(ReadPanelLayout(parse(c.config), 0, "Test", l)) << c.config;
        EXPECT_TRUE(log.contains(c.message)) << c.config << "\n" << log.text();
    }
}

TEST(PanelLayoutConfig, APictureReachingPastTheChannelBufferIsRefused) {
    LogCapture log(LOG_DEBUG);
    PanelLayout fits;
    // 32 x 16 x 3 = 1536 channels: the last start that fits.
    EXPECT_TRUE(ReadPanelLayout(parse("{\"panels\": [{}]}"), TAVO_MAX_CHANNELS - 1536, "Test", fits));
    PanelLayout past;
    EXPECT_FALSE(ReadPanelLayout(parse("{\"panels\": [{}]}"), TAVO_MAX_CHANNELS - 1535, "Test", past));
    EXPECT_TRUE(
        log.contains("Test: the 32x16 picture needs channels 8387074 to 8388609, past the last channel "
                     "8388608"))
        << log.text();
}

// ---------------------------------------------------------------- gamma

TEST(PanelGamma, TheKeyIsReadInItsRangeElseTheDefault) {
    bool ok = true;
    EXPECT_FLOAT_EQ(1.8f, ReadPanelGamma(parse("{\"gamma\": \"1.8\"}"), 2.2f, "Test", ok));
    EXPECT_FLOAT_EQ(1.8f, ReadPanelGamma(parse("{\"gamma\": 1.8}"), 2.2f, "Test", ok));
    EXPECT_FLOAT_EQ(2.2f, ReadPanelGamma(parse("{}"), 2.2f, "Test", ok));
    EXPECT_FLOAT_EQ(2.2f, ReadPanelGamma(parse("{\"gamma\": \"0.005\"}"), 2.2f, "Test", ok));
    EXPECT_FLOAT_EQ(2.2f, ReadPanelGamma(parse("{\"gamma\": \"60\"}"), 2.2f, "Test", ok));
    EXPECT_FLOAT_EQ(2.2f, ReadPanelGamma(parse("{\"gamma\": \"\"}"), 2.2f, "Test", ok));
    EXPECT_FLOAT_EQ(1.0f, ReadPanelGamma(parse("{\"gamma\": \"nan\"}"), 1.0f, "Test", ok));
    EXPECT_FLOAT_EQ(0.01f, ReadPanelGamma(parse("{\"gamma\": \"0.01\"}"), 2.2f, "Test", ok));
    EXPECT_FLOAT_EQ(50.0f, ReadPanelGamma(parse("{\"gamma\": \"50\"}"), 2.2f, "Test", ok));
    EXPECT_TRUE(ok);
    LogCapture log(LOG_DEBUG);
    EXPECT_FLOAT_EQ(2.2f, ReadPanelGamma(parse("{\"gamma\": [2]}"), 2.2f, "Test", ok));
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.contains("Test: \"gamma\" must be a number, not a list"));
}

TEST(PanelGamma, TheTable) {
    uint8_t t[256];
    BuildPanelGammaTable(1.0f, t);
    for (int i = 0; i < 256; i++) {
        ASSERT_EQ(i, t[i]);
    }
    BuildPanelGammaTable(2.2f, t);
    EXPECT_EQ(0, t[0]);
    EXPECT_EQ(56, t[128]); // 255 x (128 / 255)^2.2 = 55.98
    EXPECT_EQ(255, t[255]);
    EXPECT_EQ(1, t[20]); // 0.94
    EXPECT_EQ(1, t[21]); // 1.05
    EXPECT_EQ(0, t[14]); // 0.43
    BuildPanelGammaTable(0.5f, t);
    EXPECT_EQ(181, t[128]); // 255 x sqrt(128 / 255) = 180.67
}
