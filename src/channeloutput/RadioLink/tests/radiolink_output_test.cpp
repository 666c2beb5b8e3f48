// The radio output with a simulated nRF24L01+ at the SPI seam: the register
// writes of its set-up, the packets of a frame as the chip sends them, the
// configurations it refuses, and a bus without a radio.
#include "RadioLinkOutput.h"
#include "RadioPacket.h"

#include "LogCapture.h"
#include "SimulatedBusTest.h"
#include "TempDir.h"
#include "host/core/Settings.h"
#include "host/core/Warnings.h"
#include "host/hw/BusSimulation.h"
#include "host/hw/SimulatedNRF24L01.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

using Texts = std::vector<std::string>;
using Chip = SimulatedNRF24L01;

Json::Value config(const Json::Value& speed, const Json::Value& channel) {
    Json::Value c(Json::objectValue);
    c["type"] = "RadioLink";
    if (!speed.isNull()) {
        c["speed"] = speed;
    }
    if (!channel.isNull()) {
        c["channel"] = channel;
    }
    return c;
}

std::vector<uint8_t> frameOf(uint32_t count) {
    std::vector<uint8_t> f(count);
    for (uint32_t i = 0; i < count; i++) {
        f[i] = (uint8_t)(i + 1);
    }
    return f;
}

class RadioLinkTest : public SimulatedBusTest {
protected:
    void SetUp() override {
        SimulatedBusTest::SetUp();
        chip = std::make_shared<Chip>();
        BusSimulation::INSTANCE.AttachSPIChip(0, 1, chip);
    }

    std::shared_ptr<Chip> chip;
    LogCapture log{LOG_INFO};
};

} // namespace

#ifdef TAVO_RF24_STANDIN

TEST_F(RadioLinkTest, SetUpWritesTheChipsRegistersInOrder) {
    RadioLinkOutput out(0, 64);
    ASSERT_NE(0, out.Init(config(2, 76))) << log.text();
    Texts expected = {
        // begin(): CE an output and low, CRC 16 powered down, static payloads,
        // flags and FIFOs cleared.
        "pin 0:22 gpio out", "pin 0:22 = 0", "spi 0.1: 20 0c", "spi 0.1: 3c 00", "spi 0.1: 3d 00",
        "spi 0.1: 27 70", "spi 0.1: e2", "spi 0.1: e1",
        // Detection: 250 kbit/s written and read back.
        "spi 0.1: 06 ff", "spi 0.1: 26 26", "spi 0.1: 06 ff", "spi 0.1: 06 ff",
        // The data rate (2 Mbit/s), no retries, payload 32 on every pipe, no auto-ack, channel 76.
        "spi 0.1: 06 ff", "spi 0.1: 26 0e", "spi 0.1: 06 ff", "spi 0.1: 24 00", "spi 0.1: 31 20",
        "spi 0.1: 32 20", "spi 0.1: 33 20", "spi 0.1: 34 20", "spi 0.1: 35 20", "spi 0.1: 36 20",
        "spi 0.1: 21 00", "spi 0.1: 25 4c",
        // CRC 16.
        "spi 0.1: 00 ff", "spi 0.1: 20 0c",
        // Writing pipe (pipe 0 receives on it too), reading pipe 1, lowest byte first.
        "spi 0.1: 2a e1 f0 f0 f0 f0", "spi 0.1: 30 e1 f0 f0 f0 f0", "spi 0.1: 31 20",
        "spi 0.1: 2b d2 f0 f0 f0 f0", "spi 0.1: 32 20", "spi 0.1: 02 ff", "spi 0.1: 22 03",
        // Highest power, TX FIFO flushed, powered up.
        "spi 0.1: 06 ff", "spi 0.1: 26 0f", "spi 0.1: e1", "spi 0.1: 00 ff", "spi 0.1: 20 0e"};
    EXPECT_EQ(expected, events());
    EXPECT_EQ(0x0E, chip->Register(Chip::CONFIG));
    EXPECT_EQ(76, chip->Register(Chip::RF_CH));
    EXPECT_EQ(0x00, chip->Register(Chip::EN_AA));
    EXPECT_EQ(0xF0F0F0F0E1ULL, chip->Address(Chip::TX_ADDR));
}

TEST_F(RadioLinkTest, SixtyFourChannelsAreThreePackets) {
    RadioLinkOutput out(0, 64);
    ASSERT_NE(0, out.Init(config(Json::Value(), 76)));
    events();
    std::vector<uint8_t> frame = frameOf(64);
    EXPECT_EQ(64, out.SendData(frame.data()));
    std::vector<Chip::Packet> sent = chip->Sent();
    ASSERT_EQ(3u, sent.size());
    for (uint32_t k = 0; k < 3; k++) {
        SCOPED_TRACE(k);
        ASSERT_EQ(32u, sent[k].payload.size());
        uint32_t size = k < 2 ? 30 : 4;
        for (uint32_t i = 0; i < 30; i++) {
            EXPECT_EQ(i < size ? frame[k * 30 + i] : 0, sent[k].payload[i]) << "byte " << i;
        }
        EXPECT_EQ(k, sent[k].payload[30]);
        EXPECT_EQ(0, sent[k].payload[31]);
        EXPECT_EQ(76, sent[k].channel);
        EXPECT_EQ(0x20, sent[k].rfSetup & 0x28) << "250 kbit/s when \"speed\" is missing";
        EXPECT_TRUE(sent[k].crc16);
        EXPECT_EQ(0xF0F0F0F0E1ULL, sent[k].address);
    }
    EXPECT_EQ(3, chip->CERisingEdges()) << "one CE pulse a packet";
    // Each packet: the payload, CE high until the chip reports it sent, CE low, flags cleared.
    Texts t = events();
    ASSERT_EQ(15u, t.size());
    EXPECT_EQ(
        "spi 0.1: a0 3d 3e 3f 40 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
        "00 02 00",
        t[10]);
    EXPECT_EQ((Texts{"pin 0:22 = 1", "spi 0.1: ff", "pin 0:22 = 0", "spi 0.1: 27 70"}),
              Texts(t.begin() + 11, t.end()));
}

TEST_F(RadioLinkTest, ThreeHundredChannelsArePacketsZeroToNine) {
    RadioLinkOutput out(0, 300);
    ASSERT_NE(0, out.Init(config(1, 10)));
    std::vector<uint8_t> frame = frameOf(300);
    out.SendData(frame.data());
    std::vector<Chip::Packet> sent = chip->Sent();
    ASSERT_EQ(10u, sent.size());
    for (uint32_t k = 0; k < 10; k++) {
        EXPECT_EQ(k, sent[k].payload[30]);
        EXPECT_EQ(frame[k * 30], sent[k].payload[0]);
    }
    EXPECT_EQ(0x00, sent[0].rfSetup & 0x28) << "1 Mbit/s";
}

TEST_F(RadioLinkTest, EachPacketIsLoggedAtDebugLevel) {
    LogCapture debug(LOG_DEBUG);
    RadioLinkOutput out(0, 64);
    ASSERT_NE(0, out.Init(config(2, 76)));
    EXPECT_TRUE(debug.contains("RF_CH      = 76 (2476 MHz)")) << "printDetails at debug level";
    std::vector<uint8_t> frame = frameOf(64);
    out.SendData(frame.data());
    EXPECT_TRUE(debug.contains("Shipping off packet 0 (offset: 0/64, size: 30)")) << debug.text();
    EXPECT_TRUE(debug.contains("Shipping off packet 2 (offset: 60/64, size: 4)"));
    out.DumpConfig();
    EXPECT_TRUE(debug.contains("    speed   : 2MBPS"));
    EXPECT_TRUE(debug.contains("    channel : 76"));
}

TEST_F(RadioLinkTest, ARestrictedChannelIsWarnedAboutAndUsed) {
    RadioLinkOutput out(0, 30);
    ASSERT_NE(0, out.Init(config(2, 90)));
    bool warned = false;
    for (const LogLine& l : log.lines()) {
        warned |= l.level == LOG_WARN && l.text == "FCC RESTRICTED FREQUENCY RANGE OF 2490MHz";
    }
    EXPECT_TRUE(warned) << log.text();
    std::vector<uint8_t> frame = frameOf(30);
    out.SendData(frame.data());
    ASSERT_EQ(1u, chip->Sent().size());
    EXPECT_EQ(90, chip->Sent()[0].channel);
}

TEST_F(RadioLinkTest, BadSpeedsAndChannelsAreRefusedBeforeTheRadioIsTouched) {
    struct Case {
        Json::Value speed;
        Json::Value channel;
        const char* message;
    } cases[] = {
        {3, 10, "Invalid speed '3' from config"},
        {"fast", 10, "Invalid speed 'fast' from config"},
        {Json::Value(Json::arrayValue), 10, "Invalid speed '[]' from config"},
        {2, 126, "Invalid channel '126'"},
        {2, -1, "Invalid channel '-1'"},
        {2, Json::Value(), "Invalid channel '-1'"},
        {2, Json::Value(Json::objectValue), "RadioLink: \"channel\" must be a whole number, not an object"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        RadioLinkOutput out(0, 64);
        EXPECT_EQ(0, out.Init(config(c.speed, c.channel)));
        EXPECT_TRUE(log.contains(c.message)) << log.text();
        EXPECT_TRUE(events().empty());
        std::vector<uint8_t> frame = frameOf(64);
        EXPECT_EQ(0, out.SendData(frame.data()));
    }
}

TEST_F(RadioLinkTest, SpeedsAsTextAreTaken) {
    RadioLinkOutput out(0, 30);
    ASSERT_NE(0, out.Init(config("2", 10)));
    EXPECT_EQ(0x08, chip->Register(Chip::RF_SETUP) & 0x28);
}

TEST_F(RadioLinkTest, MoreChannelsThanPacketNumbersAreRefused) {
    RadioLinkOutput fits(0, 7680);
    EXPECT_NE(0, fits.Init(config(2, 10)));
    RadioLinkOutput tooMany(0, 7681);
    EXPECT_EQ(0, tooMany.Init(config(2, 10)));
    EXPECT_TRUE(log.contains("7681 channels would take 257 packets, but the packet number has 8 bits"))
        << log.text();
}

TEST_F(RadioLinkTest, ABusWithoutARadioFailsDetection) {
    BusSimulation::INSTANCE.AttachSPIChip(0, 1, nullptr);
    RadioLinkOutput out(0, 64);
    EXPECT_EQ(0, out.Init(config(2, 76)));
    EXPECT_TRUE(log.contains("Failed to detect nRF Radio by setting speed to 250k!")) << log.text();
    EXPECT_EQ((std::vector<std::string>{
                  "RadioLink output: no nRF24L01 radio answers on the SPI bus (check the wiring)"}),
              WarningHolder::GetWarnings());
    std::vector<uint8_t> frame = frameOf(64);
    EXPECT_EQ(0, out.SendData(frame.data()));
    EXPECT_NE(0, out.Close());
}

TEST_F(RadioLinkTest, ARadioWithoutItsCEPinIsNotStarted) {
    BusSimulation::INSTANCE.SetPinAbsent(0, 22, true);
    RadioLinkOutput out(0, 64);
    EXPECT_EQ(0, out.Init(config(2, 76)));
    EXPECT_TRUE(log.contains("the radio answers but could not be started")) << log.text();
    EXPECT_EQ(0, chip->Register(Chip::CONFIG) & 0x02) << "detection only: never powered up";
}

TEST_F(RadioLinkTest, WithoutTheSPIDeviceInitFailsWithItsMessage) {
    BusSimulation::INSTANCE.Disable();
    TempDir dir;
    setSetting("SPIDevice", dir.path() + "/spidev{port}.{cs}");
    RadioLinkOutput out(0, 64);
    EXPECT_EQ(0, out.Init(config(2, 76)));
    setSetting("SPIDevice", "");
    EXPECT_TRUE(
        log.contains("SPI device " + dir.path() + "/spidev0.1: cannot open: No such file or directory"))
        << log.text();
    EXPECT_TRUE(log.contains("Failed to detect nRF Radio by setting speed to 250k!"));
    EXPECT_EQ(1u, WarningHolder::GetWarnings().size());
}

TEST_F(RadioLinkTest, ARadioThatStopsAnsweringCostsOneWaitAndAWarning) {
    RadioLinkOutput out(0, 300);
    ASSERT_NE(0, out.Init(config(2, 10)));
    std::vector<uint8_t> frame = frameOf(300);
    ASSERT_EQ(300, out.SendData(frame.data()));
    ASSERT_EQ(10u, chip->Sent().size());
    EXPECT_TRUE(WarningHolder::GetWarnings().empty());

    // Silent: every byte on the bus reads 0, no packet is ever reported sent.
    BusSimulation::INSTANCE.AttachSPIChip(0, 1, nullptr);
    events();
    // The driver waits by reading STATUS (NOP) until the chip reports the packet sent.
    auto statusPolls = [&] {
        Texts t = events();
        return std::count(t.begin(), t.end(), "spi 0.1: ff");
    };
    EXPECT_EQ(300, out.SendData(frame.data()));
    EXPECT_GE(statusPolls(), 1) << "the packet that timed out was waited for";
    for (int f = 1; f <= 3; f++) {
        EXPECT_EQ(300, out.SendData(frame.data()));
        EXPECT_EQ(0, statusPolls()) << "frame " << f << " waited for a silent radio";
    }
    EXPECT_EQ(1, log.count("a packet was not sent")) << log.text();
    EXPECT_EQ((std::vector<std::string>{
                  "RadioLink output: the radio does not report packets sent (check its power and wiring)"}),
              WarningHolder::GetWarnings());

    // Answering again, it sends every packet and the warning goes.
    BusSimulation::INSTANCE.AttachSPIChip(0, 1, chip);
    out.SendData(frame.data());
    size_t before = chip->Sent().size();
    EXPECT_EQ(300, out.SendData(frame.data()));
    EXPECT_EQ(before + 10, chip->Sent().size());
    EXPECT_TRUE(log.contains("packets are sent again")) << log.text();
    EXPECT_TRUE(WarningHolder::GetWarnings().empty());
}

TEST_F(RadioLinkTest, CloseReleasesTheRadioAndFramesStop) {
    LogCapture debug(LOG_DEBUG);
    RadioLinkOutput out(0, 30);
    ASSERT_NE(0, out.Init(config(2, 10)));
    EXPECT_NE(0, out.Close());
    EXPECT_TRUE(debug.contains("RadioLinkOutput::Close")) << debug.text();
    std::vector<uint8_t> frame = frameOf(30);
    EXPECT_EQ(0, out.SendData(frame.data()));
    EXPECT_TRUE(chip->Sent().empty());
}

#endif

TEST(RadioPacket, TheLastPacketIsZeroFilled) {
    std::vector<uint8_t> frame = frameOf(64);
    uint8_t p[RADIO_PACKET_SIZE];
    EXPECT_EQ(4u, RadioBuildPacket(frame.data(), 64, 2, p));
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(61 + i, p[i]);
    }
    for (int i = 4; i < 30; i++) {
        EXPECT_EQ(0, p[i]);
    }
    EXPECT_EQ(2, p[30]);
    EXPECT_EQ(0, p[31]);
    EXPECT_EQ(0u, RadioBuildPacket(frame.data(), 64, 3, p));
    EXPECT_EQ(3u, RadioPacketCount(64));
    EXPECT_EQ(10u, RadioPacketCount(300));
    EXPECT_EQ(0u, RadioPacketCount(0));
}

TEST(RadioPacket, PacketNumbersAreTheLowByte) {
    std::vector<uint8_t> frame(RADIO_MAX_CHANNELS, 1);
    uint8_t p[RADIO_PACKET_SIZE];
    EXPECT_EQ(30u, RadioBuildPacket(frame.data(), RADIO_MAX_CHANNELS, 255, p));
    EXPECT_EQ(255, p[30]);
}
