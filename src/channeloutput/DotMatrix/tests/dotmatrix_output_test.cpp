// The dot-matrix output at the SPI seam: the driver set-up and the eight row
// transfers of a frame with the chip-select around each, the pixel rules, and
// the configurations it refuses.
#include "DotMatrixFrame.h"
#include "DotMatrixOutput.h"

#include "LogCapture.h"
#include "SimulatedBusTest.h"
#include "TempDir.h"
#include "host/core/Settings.h"
#include "host/core/Warnings.h"
#include "host/hw/BusSimulation.h"
#include "host/output/ChannelBuffer.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using Texts = std::vector<std::string>;

Json::Value config(const Json::Value& panels, const Json::Value& channelsPerPixel) {
    Json::Value c(Json::objectValue);
    c["type"] = "DotMatrix";
    if (!panels.isNull()) {
        c["panels"] = panels;
    }
    if (!channelsPerPixel.isNull()) {
        c["channelsPerPixel"] = channelsPerPixel;
    }
    return c;
}

// One transfer framed by the chip-select.
Texts selected(const std::string& bytes) {
    return {"pin 0:8 = 0", "spi 0.0: " + bytes, "pin 0:8 = 1"};
}

Texts concat(std::initializer_list<Texts> parts) {
    Texts all;
    for (const Texts& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

class DotMatrixTest : public SimulatedBusTest {
protected:
    std::unique_ptr<DotMatrixOutput> started(int panels, int channelsPerPixel, unsigned count) {
        std::unique_ptr<DotMatrixOutput> out(new DotMatrixOutput(0, count));
        EXPECT_NE(0, out->Init(config(panels, channelsPerPixel))) << log.text();
        BusSimulation::INSTANCE.ClearEvents();
        return out;
    }

    LogCapture log{LOG_EXCESS};
};

} // namespace

TEST_F(DotMatrixTest, InitSetsEveryChipUpThroughTheChipSelect) {
    DotMatrixOutput out(0, 128);
    ASSERT_NE(0, out.Init(config(2, 1))) << log.text();
    EXPECT_EQ(concat({{"pin 0:8 gpio out"},
                      selected("09 00 09 00"),
                      selected("0a 00 0a 00"),
                      selected("0b 07 0b 07"),
                      selected("0c 01 0c 01"),
                      selected("0f 00 0f 00")}),
              events());
    EXPECT_EQ(1000000, BusSimulation::INSTANCE.SPISpeed(0, 0));
    EXPECT_TRUE(log.contains("DotMatrixOutput::Init(JSON)"));
}

TEST_F(DotMatrixTest, OnePanelRowZeroIsItsRegisterAndTheLitPixels) {
    auto out = started(1, 1, 64);
    uint8_t ch[64] = {0};
    ch[0] = 1;
    ch[7] = 255;
    EXPECT_EQ(64, out->SendData(ch));
    EXPECT_EQ(concat({selected("01 81"), selected("02 00"), selected("03 00"), selected("04 00"),
                      selected("05 00"), selected("06 00"), selected("07 00"), selected("08 00")}),
              events());
}

TEST_F(DotMatrixTest, TwoPanelsGoLastPanelFirst) {
    auto out = started(2, 1, 128);
    uint8_t ch[128] = {0};
    // Row 2 is channels 32-47: panel 1's leftmost pixel and panel 2's rightmost.
    ch[32] = 1;
    ch[47] = 1;
    out->SendData(ch);
    Texts t = events();
    ASSERT_EQ(24u, t.size());
    EXPECT_EQ("spi 0.0: 03 01 03 80", t[2 * 3 + 1]);
    EXPECT_EQ("spi 0.0: 01 00 01 00", t[1]);
}

TEST_F(DotMatrixTest, WithThreeChannelsAPixelIsLitByAnyOfThem) {
    auto out = started(1, 3, 192);
    uint8_t ch[192] = {0};
    ch[2] = 5;  // pixel 0: (0, 0, 5)
    ch[3] = 0;  // pixel 1: (0, 0, 0)
    ch[6] = 9;  // pixel 2: (9, 0, 0)
    ch[23] = 1; // pixel 7: (0, 0, 1)
    out->SendData(ch);
    EXPECT_EQ("spi 0.0: 01 a1", events()[1]);
}

TEST(DotMatrixFrame, APixelOfFewerThanThreeChannelsReadsOnlyItsOwn) {
    // Channels before the frame are not the pixel's: "the last three" of a
    // two-channel pixel must not reach back into them.
    uint8_t buffer[4 + 128] = {0xFF, 0xFF, 0xFF, 0xFF};
    uint8_t* frame = buffer + 4;
    EXPECT_FALSE(DotMatrixPixelLit(frame, 2));
    uint8_t out[2];
    DotMatrixRow(frame, 1, 2, 0, out);
    EXPECT_EQ(0x01, out[0]);
    EXPECT_EQ(0x00, out[1]);
    frame[0] = 3;
    EXPECT_TRUE(DotMatrixPixelLit(frame, 2));
    // With four, the first channel is not one of the last three.
    uint8_t rgbw[4] = {9, 0, 0, 0};
    EXPECT_FALSE(DotMatrixPixelLit(rgbw, 4));
    rgbw[3] = 1;
    EXPECT_TRUE(DotMatrixPixelLit(rgbw, 4));
}

TEST(DotMatrixFrame, SetupAndCommands) {
    std::vector<uint8_t> expected = {0x0C, 0x01, 0x0C, 0x01, 0x0C, 0x01};
    EXPECT_EQ(expected, DotMatrixCommand(3, DOTMATRIX_SHUTDOWN, 0x01));
    EXPECT_EQ(5u, DotMatrixSetupWrites().size());
    EXPECT_EQ(64u * 4 * 3, DotMatrixFrameChannels(4, 3));
    EXPECT_EQ(0u, DotMatrixFrameChannels(0, 3));
}

TEST_F(DotMatrixTest, PanelsAndChannelsPerPixelMustBeOneOrMore) {
    struct Case {
        Json::Value panels;
        Json::Value perPixel;
        const char* message;
    } cases[] = {
        {0, 1, "\"panels\" must be the number of chained panels, 1 or more, not 0"},
        {-2, 1, "\"panels\" must be the number of chained panels, 1 or more, not -2"},
        {Json::Value(), 1, "\"panels\" must be the number of chained panels, 1 or more, not missing"},
        {Json::Value(Json::arrayValue), 1, "DotMatrix: \"panels\" must be a whole number, not a list"},
        {1, 0, "\"channelsPerPixel\" must be the number of channels of each pixel, 1 or more, not 0"},
        {1, Json::Value(),
         "\"channelsPerPixel\" must be the number of channels of each pixel, 1 or more, not "
         "missing"},
        {1, 1.5, "DotMatrix: \"channelsPerPixel\" must be a whole number, not a number"},
        {1, "three", "DotMatrix: \"channelsPerPixel\" must be a whole number, not a text"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        DotMatrixOutput out(0, 300);
        EXPECT_EQ(0, out.Init(config(c.panels, c.perPixel)));
        EXPECT_TRUE(log.contains(c.message)) << log.text();
        EXPECT_TRUE(events().empty()) << "nothing is sent for a refused configuration";
        uint8_t ch[300] = {0};
        EXPECT_EQ(0, out.SendData(ch));
        EXPECT_TRUE(events().empty());
    }
}

TEST_F(DotMatrixTest, CountsGivenAsTextsAreTaken) {
    // Older configuration pages store numbers as texts.
    DotMatrixOutput out(0, 192);
    ASSERT_NE(0, out.Init(config("1", "3"))) << log.text();
    EXPECT_EQ(16u, events().size()) << "the set-up went out";
}

TEST_F(DotMatrixTest, AFrameLargerThanTheOutputIsRefused) {
    DotMatrixOutput out(0, 300);
    EXPECT_EQ(0, out.Init(config(2, 3)));
    EXPECT_TRUE(
        log.contains("2 panels of 64 pixels with 3 channels each read 384 channels, but the output has "
                     "300; set \"channelCount\" to 384"))
        << log.text();

    DotMatrixOutput atTheEnd(TAVO_MAX_CHANNELS - 32, 64);
    EXPECT_EQ(0, atTheEnd.Init(config(1, 1)));
    EXPECT_TRUE(log.contains("reach past the last channel 8388608")) << log.text();
    EXPECT_TRUE(events().empty());

    DotMatrixOutput huge(0, 300);
    EXPECT_EQ(0, huge.Init(config(5000, 1)));
    EXPECT_TRUE(log.contains("\"panels\" 5000 is more than the 2048")) << log.text();
}

TEST_F(DotMatrixTest, WithoutAChipSelectLineTheSPIDevicesOwnIsUsed) {
    BusSimulation::INSTANCE.SetPinAbsent(0, 8, true);
    DotMatrixOutput out(0, 64);
    ASSERT_NE(0, out.Init(config(1, 1)));
    EXPECT_TRUE(log.contains("the chip-select GPIO 8 (line 8 of chip 0) cannot be driven")) << log.text();
    BusSimulation::INSTANCE.ClearEvents();
    uint8_t ch[64] = {0};
    out.SendData(ch);
    Texts t = events();
    ASSERT_EQ(8u, t.size());
    EXPECT_EQ("spi 0.0: 08 00", t[7]);
}

TEST_F(DotMatrixTest, WithoutTheSPIDeviceInitFailsWithItsMessageAndAWarning) {
    BusSimulation::INSTANCE.Disable();
    TempDir dir;
    setSetting("SPIDevice", dir.path() + "/spidev{port}.{cs}");
    DotMatrixOutput out(0, 64);
    EXPECT_EQ(0, out.Init(config(1, 1)));
    setSetting("SPIDevice", "");
    EXPECT_TRUE(log.contains("SPIUtils setup failed")) << log.text();
    ASSERT_EQ(1u, WarningHolder::GetWarnings().size());
    EXPECT_EQ("DotMatrix output: cannot open " + dir.path() +
                  "/spidev0.0: cannot open: No such file or directory",
              WarningHolder::GetWarnings()[0]);
    uint8_t ch[64] = {0};
    EXPECT_EQ(0, out.SendData(ch));
}

TEST_F(DotMatrixTest, ItReadsItsOwnSliceAndSaysSo) {
    DotMatrixOutput out(100, 64);
    std::vector<std::pair<int, int>> ranges;
    out.GetRequiredChannelRanges([&](int a, int b) { ranges.emplace_back(a, b); });
    EXPECT_EQ((std::vector<std::pair<int, int>>{{100, 163}}), ranges);
    out.DumpConfig();
    EXPECT_TRUE(log.contains("DotMatrixOutput::DumpConfig()"));
}
