// The MQTT output's message text without a broker: the placeholders and their order,
// the hue/saturation/intensity/value conversion, channel types and colours.
#include "BrokerOutput.h"
#include "ColorMessage.h"
#include "host/core/Common.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string fill(const std::string& tmpl, int r, int g, int b, int w = 0) {
    std::string t = tmpl;
    ReplaceValues(t, (unsigned char)r, (unsigned char)g, (unsigned char)b, (unsigned char)w);
    return t;
}

// Every conversion placeholder, comma-separated: H, S, SI, SV, I, V.
const char* HSIV = "%H%,%S%,%SI%,%SV%,%I%,%V%";

} // namespace

TEST(ReplaceValues, DecimalChannelValues) {
    EXPECT_EQ(fill("%R%,%G%,%B%", 255, 128, 0), "255,128,0");
    EXPECT_EQ(fill("%W%", 0, 0, 0, 7), "7");
    EXPECT_EQ(fill("{\"r\":%R%,\"g\":%G%,\"b\":%B%}", 1, 10, 100), "{\"r\":1,\"g\":10,\"b\":100}");
}

TEST(ReplaceValues, PercentIsRoundedDown) {
    EXPECT_EQ(fill("%RS%,%GS%,%BS%", 255, 128, 0), "100,50,0");
    // 254 * 100 / 255 = 99.6, 3 * 100 / 255 = 1.2
    EXPECT_EQ(fill("%RS%,%GS%,%BS%,%WS%", 254, 3, 2, 128), "99,1,0,50");
}

TEST(ReplaceValues, SwitchIsOnOnlyAtFull) {
    EXPECT_EQ(fill("%SW%", 255, 0, 0), "ON");
    EXPECT_EQ(fill("%SW%", 254, 254, 254), "OFF");
    EXPECT_EQ(fill("%SW%", 0, 0, 255), "ON");
    EXPECT_EQ(fill("%SW%", 0, 0, 0, 255), "ON");
    EXPECT_EQ(fill("%SW%", 0, 0, 0, 0), "OFF");
}

TEST(ReplaceValues, PrimaryColours) {
    EXPECT_EQ(fill("%H%,%SV%,%V%,%I%", 255, 0, 0), "0,100,100,33");
    EXPECT_EQ(fill("%H%", 0, 0, 255), "240");
    EXPECT_EQ(fill("%H%", 0, 255, 0), "120");
    EXPECT_EQ(fill(HSIV, 255, 0, 0), "0,100,100,100,33,100");
}

TEST(ReplaceValues, BlackGivesZeroForEveryConversion) {
    EXPECT_EQ(fill(HSIV, 0, 0, 0), "0,0,0,0,0,0");
}

TEST(ReplaceValues, GreyHasNoHueOrSaturation) {
    // 128/255 = 0.502: intensity and value 50.
    EXPECT_EQ(fill(HSIV, 128, 128, 128), "0,0,0,0,50,50");
}

TEST(ReplaceValues, MixedColourTruncates) {
    // (1, 0.502, 0.251): hue 20.1, HSI saturation 0.570, HSV saturation 0.749,
    // intensity 0.584, value 1.
    EXPECT_EQ(fill(HSIV, 255, 128, 64), "20,57,57,74,58,100");
}

TEST(ReplaceValues, HueSectors) {
    EXPECT_EQ(fill("%H%", 255, 0, 128), "329"); // red largest, negative before the wrap: -30.1 + 360
    EXPECT_EQ(fill("%H%", 0, 255, 128), "150"); // green largest: 2.502 * 60
    EXPECT_EQ(fill("%H%", 128, 0, 255), "270"); // blue largest: 4.502 * 60
    EXPECT_EQ(fill("%H%", 255, 255, 0), "60");  // red and green tie: red's sector
    EXPECT_EQ(fill("%H%", 0, 255, 255), "180"); // green and blue tie: green's sector
    EXPECT_EQ(fill("%H%", 200, 100, 0), "30");
}

TEST(ReplaceValues, WhiteDoesNotEnterTheConversion) {
    EXPECT_EQ(fill(HSIV, 0, 0, 0, 255), "0,0,0,0,0,0");
    EXPECT_EQ(fill("%R%,%G%,%B%,%W%,%WS%", 0, 0, 0, 128), "0,0,0,128,50");
}

TEST(ReplaceValues, EveryOccurrenceIsReplaced) {
    EXPECT_EQ(fill("%R%%R% %G%-%G%", 12, 34, 0), "1212 34-34");
}

TEST(ReplaceValues, LongerPlaceholdersAreNotEatenByShorterOnes) {
    // "%S%" must not take the start of "%SW%", "%SI%" or "%SV%"; "%W%" not the end of "%SW%".
    EXPECT_EQ(fill("%SW% %SI% %SV% %S% %W% %WS%", 255, 0, 0, 0), "ON 100 100 100 0 0");
}

TEST(ReplaceValues, UnknownTextStaysAsItIs) {
    EXPECT_EQ(fill("%X% 100% %r% %", 1, 2, 3), "%X% 100% %r% %");
    EXPECT_EQ(fill("", 1, 2, 3), "");
}

TEST(ReplaceValues, AlsoReachableAsTheOutputsOwn) {
    std::string a = "%H%/%RS%";
    BrokerOutput::ReplaceValues(a, 0, 0, 255, 0);
    EXPECT_EQ(a, "240/0");
    float h, sHSI, sHSV, i, v;
    BrokerOutput::RGBtoHSIV(0, 0, 1, h, sHSI, sHSV, i, v);
    EXPECT_FLOAT_EQ(h, 240);
}

TEST(RGBtoHSIV, Red) {
    float h, sHSI, sHSV, i, v;
    RGBtoHSIV(1, 0, 0, h, sHSI, sHSV, i, v);
    EXPECT_FLOAT_EQ(h, 0);
    EXPECT_FLOAT_EQ(sHSI, 1);
    EXPECT_FLOAT_EQ(sHSV, 1);
    EXPECT_FLOAT_EQ(i, 1.0f / 3);
    EXPECT_FLOAT_EQ(v, 1);
}

TEST(RGBtoHSIV, Black) {
    float h = 9, sHSI = 9, sHSV = 9, i = 9, v = 9;
    RGBtoHSIV(0, 0, 0, h, sHSI, sHSV, i, v);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(sHSI, 0);
    EXPECT_EQ(sHSV, 0);
    EXPECT_EQ(i, 0);
    EXPECT_EQ(v, 0);
}

TEST(RGBtoHSIV, MagentaWrapsToPositiveHue) {
    float h, sHSI, sHSV, i, v;
    RGBtoHSIV(1, 0, 1, h, sHSI, sHSV, i, v);
    EXPECT_FLOAT_EQ(h, 300);
    EXPECT_FLOAT_EQ(sHSV, 1);
    EXPECT_FLOAT_EQ(i, 2.0f / 3);
    EXPECT_FLOAT_EQ(sHSI, 1);
}

TEST(RGBtoHSIV, PastelHasPartialSaturations) {
    float h, sHSI, sHSV, i, v;
    RGBtoHSIV(1, 0.5f, 0.5f, h, sHSI, sHSV, i, v);
    EXPECT_FLOAT_EQ(h, 0);
    EXPECT_FLOAT_EQ(v, 1);
    EXPECT_FLOAT_EQ(sHSV, 0.5f);
    EXPECT_FLOAT_EQ(i, 2.0f / 3);
    EXPECT_NEAR(sHSI, 0.25f, 1e-6); // 1 - 0.5 / (2/3)
}

TEST(BrokerChannelType, ExactCaseSensitiveNames) {
    EXPECT_EQ(BrokerChannelTypeFromText("RGBW", BROKER_RGB), BROKER_RGBW);
    EXPECT_EQ(BrokerChannelTypeFromText("RGB", BROKER_SINGLE), BROKER_RGB);
    EXPECT_EQ(BrokerChannelTypeFromText("Single", BROKER_RGBW), BROKER_SINGLE);
}

TEST(BrokerChannelType, OtherTextKeepsThePreviousType) {
    EXPECT_EQ(BrokerChannelTypeFromText("rgb", BROKER_RGBW), BROKER_RGBW);
    EXPECT_EQ(BrokerChannelTypeFromText("rgb", BROKER_SINGLE), BROKER_SINGLE);
    EXPECT_EQ(BrokerChannelTypeFromText("single", BROKER_RGB), BROKER_RGB);
    EXPECT_EQ(BrokerChannelTypeFromText("", BROKER_RGBW), BROKER_RGBW);
    EXPECT_EQ(BrokerChannelTypeFromText("RGB ", BROKER_RGBW), BROKER_RGBW);
}

TEST(TakeBrokerColor, ReadsOnlyItsChannels) {
    const unsigned char data[] = {10, 20, 30, 40, 50};
    BrokerColor rgb = TakeBrokerColor(data, BROKER_RGB);
    EXPECT_EQ(rgb.r, 10);
    EXPECT_EQ(rgb.g, 20);
    EXPECT_EQ(rgb.b, 30);
    EXPECT_EQ(rgb.w, 0);
    BrokerColor rgbw = TakeBrokerColor(data, BROKER_RGBW);
    EXPECT_EQ(rgbw.w, 40);
    EXPECT_EQ(rgbw.b, 30);
    BrokerColor single = TakeBrokerColor(data, BROKER_SINGLE);
    EXPECT_EQ(single.r, 0);
    EXPECT_EQ(single.g, 0);
    EXPECT_EQ(single.b, 0);
    EXPECT_EQ(single.w, 10);
}

TEST(TakeBrokerColor, ColoursCompareByAllFourValues) {
    BrokerColor a, b;
    EXPECT_TRUE(a == b); // both black: the first black frame is "unchanged"
    b.w = 1;
    EXPECT_TRUE(a != b);
}

TEST(ReplaceAll, ReplacesEveryOccurrenceLeftToRight) {
    std::string t = "a-b-a-b";
    replaceAll(t, "a", "xy");
    EXPECT_EQ(t, "xy-b-xy-b");
}

TEST(ReplaceAll, ReplacementContainingTheNeedleIsNotSearchedAgain) {
    std::string t = "aXa";
    replaceAll(t, "a", "aa");
    EXPECT_EQ(t, "aaXaa");
}

TEST(ReplaceAll, EmptyNeedleChangesNothing) {
    std::string t = "abc";
    replaceAll(t, "", "z");
    EXPECT_EQ(t, "abc");
}

TEST(ReplaceAll, ReplacingWithNothingRemoves) {
    std::string t = "%R%%R%x";
    replaceAll(t, "%R%", "");
    EXPECT_EQ(t, "x");
}
