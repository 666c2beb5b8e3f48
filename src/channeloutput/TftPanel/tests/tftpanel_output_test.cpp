// The TFT output at the GPIO register seam: every register write of the
// initialisation and of frames, read back as the controller would see them on the
// bus (the byte on the data lines and the D/C line when WR rises), and a board
// without the register device, which leaves the output out and the process running.
#include "TftBus.h"
#include "TftPanelOutput.h"

#include "LogCapture.h"
#include "TempDir.h"
#include "host/core/Settings.h"
#include "host/core/Warnings.h"
#include "host/hw/BusSimulation.h"
#include "host/output/ChannelBuffer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

namespace {

// One byte as the controller latches it.
struct BusByte {
    bool data; // D/C high
    uint8_t value;
    bool operator==(const BusByte& o) const { return data == o.data && value == o.value; }
};

std::ostream& operator<<(std::ostream& os, const BusByte& b) {
    char buf[16];
    snprintf(buf, sizeof(buf), "%s 0x%02x", b.data ? "data" : "cmd", b.value);
    return os << buf;
}

// Follows the pin levels through the set and clear registers and latches a byte
// on each rising edge of WR, as the panel's controller does.
std::vector<BusByte> decode(const std::vector<RegisterWrite>& writes) {
    std::vector<BusByte> bytes;
    uint32_t levels = 0;
    for (const RegisterWrite& w : writes) {
        uint32_t before = levels;
        if (w.offset == TFT_SET_REGISTER) {
            levels |= w.value;
        } else if (w.offset == TFT_CLEAR_REGISTER) {
            levels &= ~w.value;
        } else {
            continue;
        }
        if (!(before & TFT_WR_MASK) && (levels & TFT_WR_MASK)) {
            uint8_t v = 0;
            for (int bit = 0; bit < 8; bit++) {
                if (levels & (1u << TFT_DATA_GPIOS[bit])) {
                    v |= (uint8_t)(1 << bit);
                }
            }
            bytes.push_back(BusByte{(levels & TFT_DC_MASK) != 0, v});
        }
    }
    return bytes;
}

// The controller set-up, written out from the panel's data sheet values.
std::vector<BusByte> expectedInit(uint8_t pixelFormat) {
    std::vector<std::vector<uint8_t>> steps = {
        {0x11},
        {0x36, 0x88},
        {0xE0, 0x00, 0x04, 0x0E, 0x08, 0x17, 0x0A, 0x40, 0x79, 0x4D, 0x07, 0x0E, 0x0A, 0x1A, 0x1D, 0x0F},
        {0xE1, 0x00, 0x1B, 0x1F, 0x02, 0x10, 0x05, 0x32, 0x34, 0x43, 0x02, 0x0A, 0x09, 0x33, 0x37, 0x0F},
        {0xB1, 0x00},
        {0xB0, 0x00},
        {0x3A, pixelFormat},
        {0x2A, 0x00, 0x00, 0x01, 0x3F},
        {0x2B, 0x00, 0x00, 0x01, 0xDF},
        {0x29},
        {0x2A, 0x00, 0x00, 0x01, 0x3F},
        {0x2B, 0x00, 0x00, 0x01, 0xDF},
    };
    std::vector<BusByte> bytes;
    for (const auto& s : steps) {
        for (size_t i = 0; i < s.size(); i++) {
            bytes.push_back(BusByte{i > 0, s[i]});
        }
    }
    return bytes;
}

Json::Value config(const Json::Value& bpp = Json::Value()) {
    Json::Value c(Json::objectValue);
    c["type"] = "TftPanel";
    if (!bpp.isNull()) {
        c["bpp"] = bpp;
    }
    return c;
}

// A register sink that keeps the writes, for the core alone.
struct Recorder {
    std::vector<RegisterWrite> writes;
    void set(uint32_t m) { writes.push_back({TFT_SET_REGISTER, m}); }
    void clear(uint32_t m) { writes.push_back({TFT_CLEAR_REGISTER, m}); }
};

class TftPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        BusSimulation::INSTANCE.Reset();
        BusSimulation::INSTANCE.Enable();
        BusSimulation::INSTANCE.RecordRegisterWrites(true);
        WarningHolder::ClearWarnings();
    }
    void TearDown() override {
        BusSimulation::INSTANCE.Disable();
        BusSimulation::INSTANCE.Reset();
        WarningHolder::ClearWarnings();
        setSetting("GPIOMemDevice", "");
    }
    std::vector<RegisterWrite> takeWrites() {
        std::vector<RegisterWrite> w = BusSimulation::INSTANCE.RegisterWrites();
        BusSimulation::INSTANCE.ClearRegisterWrites();
        return w;
    }
    // Hands one frame to the output thread and waits until it is on the bus.
    std::vector<RegisterWrite> sendFrame(TftPanelOutput& out, std::vector<uint8_t>& frame) {
        long long before = out.FramesSent();
        out.SendData(frame.data());
        for (int i = 0; i < 1000 && out.FramesSent() == before; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(before + 1, out.FramesSent()) << "the frame was not sent within 10 s";
        return takeWrites();
    }

    LogCapture log{LOG_DEBUG};
};

} // namespace

TEST(TftBus, TheByte0x81SetsGPIO22AndGPIO8) {
    uint32_t values[256];
    TftBuildDataValues(values);
    EXPECT_EQ(0x00400100u, values[0x81]);
    EXPECT_EQ(0u, values[0]);
    EXPECT_EQ(0x03C00F00u, values[0xFF]) << "every data line, not WR";
    Recorder r;
    TftWriteByte(r, values, 0x81);
    std::vector<RegisterWrite> expected = {{0x28, 0x03C20F00}, {0x1C, 0x00400100}, {0x1C, 0x00020000}};
    EXPECT_EQ(expected, r.writes);
}

TEST(TftBus, SixteenBitPixelsAreRGB565HighByteFirst) {
    uint32_t values[256];
    TftBuildDataValues(values);
    Recorder r;
    r.set(TFT_DC_MASK);
    uint8_t magenta[3] = {0xFF, 0x00, 0xFF};
    TftWritePixel(r, values, magenta, true);
    std::vector<BusByte> expected = {{true, 0xF8}, {true, 0x1F}};
    EXPECT_EQ(expected, decode(r.writes));
}

TEST_F(TftPanelTest, InitMakesThePinsOutputsThenSendsTheControllerSetUp) {
    TftPanelOutput out(0, 460800);
    ASSERT_NE(0, out.Init(config())) << log.text();
    std::vector<RegisterWrite> w = takeWrites();
    ASSERT_GT(w.size(), 25u);

    // Each pin: its three function bits cleared, then 001, in the wiring's order.
    const int order[12] = {4, 17, 18, 22, 23, 24, 10, 25, 9, 11, 8, 7};
    for (int i = 0; i < 12; i++) {
        SCOPED_TRACE(order[i]);
        uint32_t reg = (uint32_t)(order[i] / 10) * 4;
        uint32_t bits = 7u << ((order[i] % 10) * 3);
        EXPECT_EQ(reg, w[2 * i].offset);
        EXPECT_EQ(0u, w[2 * i].value & bits);
        EXPECT_EQ(reg, w[2 * i + 1].offset);
        EXPECT_EQ(1u << ((order[i] % 10) * 3), w[2 * i + 1].value & bits);
    }
    volatile uint32_t* regs = BusSimulation::INSTANCE.RegisterBlock();
    EXPECT_EQ(0x09201000u, regs[0]); // GPIO 4, 7, 8, 9
    EXPECT_EQ(0x01200009u, regs[1]); // GPIO 10, 11, 17, 18
    EXPECT_EQ(0x00009240u, regs[2]); // GPIO 22 to 25
    // GPIO 4 low, then the first command: D/C low and the byte.
    EXPECT_EQ((RegisterWrite{0x28, 0x10}), w[24]);
    // 0x11 is data bits 0 and 4: GPIO 22 and 25.
    std::vector<RegisterWrite> firstCommand = {
        {0x28, 0x00040000}, {0x28, 0x03C20F00}, {0x1C, 0x02400000}, {0x1C, 0x00020000}};
    EXPECT_EQ(firstCommand, std::vector<RegisterWrite>(w.begin() + 25, w.begin() + 29));

    EXPECT_EQ(expectedInit(0x66), decode(w));
    EXPECT_TRUE(log.contains("Initialization complete"));
    EXPECT_TRUE(log.contains("Using the simulated GPIO registers (recorded)"));
    EXPECT_EQ(1, out.Close());
}

TEST_F(TftPanelTest, SixteenBitModeAsksForPixelFormat0x55AndEighteenKeepsTwentyFour) {
    {
        TftPanelOutput out(0, 460800);
        ASSERT_NE(0, out.Init(config(16)));
        EXPECT_EQ(expectedInit(0x55), decode(takeWrites()));
        out.Close();
    }
    takeWrites();
    TftPanelOutput out(0, 460800);
    ASSERT_NE(0, out.Init(config(18)));
    EXPECT_EQ(expectedInit(0x66), decode(takeWrites()));
    std::vector<uint8_t> frame(460800, 0);
    frame[0] = 0xFF;
    frame[2] = 0xFF;
    std::vector<BusByte> bus = decode(sendFrame(out, frame));
    ASSERT_EQ(2u + 460800u, bus.size()) << "three bytes a pixel, as in 24-bit mode";
    EXPECT_EQ((BusByte{true, 0xFF}), bus[1]);
    EXPECT_EQ((BusByte{true, 0x00}), bus[2]);
    EXPECT_EQ((BusByte{true, 0xFF}), bus[3]);
    out.Close();
}

TEST_F(TftPanelTest, ATwentyFourBitFrameIsMemoryWriteThenEveryChannel) {
    TftPanelOutput out(0, 460800);
    ASSERT_NE(0, out.Init(config(24)));
    takeWrites();
    std::vector<uint8_t> frame(460800);
    for (size_t i = 0; i < frame.size(); i++) {
        frame[i] = (uint8_t)(i * 7 + 1);
    }
    std::vector<RegisterWrite> w = sendFrame(out, frame);
    // A command and the D/C switch around 3 writes a byte.
    ASSERT_EQ(4u + 1u + 460800u * 3 + 4u, w.size());
    EXPECT_EQ((RegisterWrite{0x1C, TFT_DC_MASK}), w[4]);
    std::vector<BusByte> bus = decode(w);
    ASSERT_EQ(460802u, bus.size());
    EXPECT_EQ((BusByte{false, 0x2C}), bus.front());
    EXPECT_EQ((BusByte{false, 0x00}), bus.back());
    for (size_t i = 0; i < frame.size(); i++) {
        if (!(bus[i + 1] == BusByte{true, frame[i]})) {
            FAIL() << "byte " << i << " is " << bus[i + 1];
        }
    }
    out.Close();
}

TEST_F(TftPanelTest, ASixteenBitFrameIsTwoBytesAPixel) {
    TftPanelOutput out(0, 460800);
    ASSERT_NE(0, out.Init(config(16)));
    takeWrites();
    std::vector<uint8_t> frame(460800, 0);
    frame[0] = 0xFF; // (0xFF, 0x00, 0xFF)
    frame[2] = 0xFF;
    frame[3] = 0x08; // (0x08, 0x04, 0x08): one step of each component
    frame[4] = 0x04;
    frame[5] = 0x08;
    std::vector<BusByte> bus = decode(sendFrame(out, frame));
    ASSERT_EQ(2u + 307200u, bus.size());
    EXPECT_EQ((BusByte{true, 0xF8}), bus[1]);
    EXPECT_EQ((BusByte{true, 0x1F}), bus[2]);
    EXPECT_EQ((BusByte{true, 0x08}), bus[3]);
    EXPECT_EQ((BusByte{true, 0x21}), bus[4]);
    EXPECT_EQ((BusByte{true, 0x00}), bus[5]);
    out.Close();
}

TEST_F(TftPanelTest, FewerChannelsThanAPanelShowThoseAndBlackBeyond) {
    // The output thread's copy of a frame holds the output's channels only: the
    // output must not read a whole panel's worth from it.
    TftPanelOutput out(0, 301);
    ASSERT_NE(0, out.Init(config()));
    takeWrites();
    std::vector<uint8_t> frame(301, 0x55);
    std::vector<BusByte> bus = decode(sendFrame(out, frame));
    ASSERT_EQ(460802u, bus.size());
    EXPECT_EQ((BusByte{true, 0x55}), bus[1]);
    EXPECT_EQ((BusByte{true, 0x55}), bus[301]);
    EXPECT_EQ((BusByte{true, 0x00}), bus[302]);
    EXPECT_EQ((BusByte{true, 0x00}), bus[460800]);
    out.Close();
}

TEST_F(TftPanelTest, TheRequiredRangeIsAPanelOrTheOutputsChannels) {
    TftPanelOutput whole(100, 460800);
    TftPanelOutput part(100, 300);
    std::vector<std::pair<int, int>> r;
    whole.GetRequiredChannelRanges([&](int a, int b) { r.emplace_back(a, b); });
    part.GetRequiredChannelRanges([&](int a, int b) { r.emplace_back(a, b); });
    EXPECT_EQ((std::vector<std::pair<int, int>>{{100, 460899}, {100, 399}}), r);
}

TEST_F(TftPanelTest, ChannelsPastTheBufferAndAWrongBppAreRefused) {
    TftPanelOutput late(TAVO_MAX_CHANNELS - 1000, 460800);
    EXPECT_EQ(0, late.Init(config()));
    EXPECT_TRUE(log.contains("reach past the last channel 8388608")) << log.text();
    TftPanelOutput typed(0, 460800);
    EXPECT_EQ(0, typed.Init(config(Json::Value(Json::arrayValue))));
    EXPECT_TRUE(log.contains("TftPanel: \"bpp\" must be a whole number, not a list")) << log.text();
    EXPECT_TRUE(takeWrites().empty()) << "nothing touches the bus";
}

TEST_F(TftPanelTest, CloseDrivesGPIO4LowAndStopsSending) {
    TftPanelOutput out(0, 300);
    ASSERT_NE(0, out.Init(config()));
    takeWrites();
    EXPECT_EQ(1, out.Close());
    EXPECT_EQ((std::vector<RegisterWrite>{{0x28, 0x10}}), takeWrites());
    EXPECT_TRUE(log.contains("TftPanel_Cleanup()"));
    uint8_t frame[300] = {0};
    EXPECT_EQ(0, out.RawSendData(frame)) << "not initialised any more";
    EXPECT_TRUE(takeWrites().empty());
}

TEST_F(TftPanelTest, WithoutTheRegisterDeviceInitFailsAndTheProcessGoesOn) {
    BusSimulation::INSTANCE.Disable();
    TempDir dir;
    setSetting("GPIOMemDevice", dir.file("gpiomem"));
    TftPanelOutput out(0, 460800);
    EXPECT_EQ(0, out.Init(config()));
    EXPECT_TRUE(log.contains("Cannot open " + dir.file("gpiomem") +
                             " for the GPIO registers: No such file or directory"))
        << log.text();
    ASSERT_EQ(1u, WarningHolder::GetWarnings().size());
    EXPECT_EQ("TftPanel output: cannot use the GPIO registers (" + dir.file("gpiomem") +
                  ": No such file or directory); the panel stays dark",
              WarningHolder::GetWarnings()[0]);
    std::vector<uint8_t> frame(460800, 1);
    EXPECT_EQ(0, out.RawSendData(frame.data()));
    EXPECT_EQ(1, out.Close());
}

TEST_F(TftPanelTest, ADeviceThatCannotBeMappedFailsInitToo) {
    BusSimulation::INSTANCE.Disable();
    setSetting("GPIOMemDevice", "/dev/null"); // opens, but has no memory to map
    TftPanelOutput out(0, 460800);
    EXPECT_EQ(0, out.Init(config()));
    EXPECT_TRUE(log.contains("mmap error -1: /dev/null")) << log.text();
    EXPECT_EQ(1u, WarningHolder::GetWarnings().size());
}

TEST_F(TftPanelTest, DumpConfigShowsThePanel) {
    TftPanelOutput out(0, 460800);
    out.DumpConfig();
    EXPECT_TRUE(log.contains("    Columns: 320"));
    EXPECT_TRUE(log.contains("    Rows   : 480"));
    EXPECT_TRUE(log.contains("    Pixels : 153600"));
}
