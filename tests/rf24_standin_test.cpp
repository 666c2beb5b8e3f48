// The RF24 stand-in driver against a simulated nRF24L01+ at the SPI seam: the
// bytes of each call, the CE pulses of a packet, detection on a bus without a
// radio, and packets that are not sent.
#include <RF24/RF24.h>

#include "host/core/Settings.h"
#include "host/hw/BusSimulation.h"
#include "host/hw/SimulatedNRF24L01.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <memory>

#ifdef TAVO_RF24_STANDIN

namespace {

using Texts = std::vector<std::string>;
using Chip = SimulatedNRF24L01;

// A bus whose data line is pulled high with nothing on it: every byte reads 0xFF.
class AllOnes : public SimulatedSPIChip {
public:
    void transfer(const uint8_t*, uint8_t* rx, size_t length) override {
        for (size_t i = 0; i < length; i++) {
            rx[i] = 0xFF;
        }
    }
};

class RF24StandInTest : public ::testing::Test {
protected:
    void SetUp() override {
        BusSimulation::INSTANCE.Reset();
        BusSimulation::INSTANCE.Enable();
        chip = std::make_shared<Chip>();
        BusSimulation::INSTANCE.AttachSPIChip(0, 1, chip);
    }
    void TearDown() override {
        BusSimulation::INSTANCE.Disable();
        BusSimulation::INSTANCE.Reset();
    }
    // The events since the last call.
    Texts events() {
        Texts t = BusSimulation::INSTANCE.EventTexts();
        BusSimulation::INSTANCE.ClearEvents();
        return t;
    }

    std::shared_ptr<Chip> chip;
    LogCapture log{LOG_INFO};
};

} // namespace

TEST_F(RF24StandInTest, BeginMakesCEAnOutputAndResetsTheChip) {
    RF24 radio(22, 7, 32);
    EXPECT_TRUE(BusSimulation::INSTANCE.Events().empty()) << "nothing before begin()";
    ASSERT_TRUE(radio.begin());
    EXPECT_EQ((Texts{"pin 0:22 gpio out", "pin 0:22 = 0", "spi 0.1: 20 0c", "spi 0.1: 3c 00",
                     "spi 0.1: 3d 00", "spi 0.1: 27 70", "spi 0.1: e2", "spi 0.1: e1"}),
              events());
    // 250 MHz / 32.
    EXPECT_EQ(7812500, BusSimulation::INSTANCE.SPISpeed(0, 1));
    EXPECT_EQ(0x0C, chip->Register(Chip::CONFIG));
}

TEST_F(RF24StandInTest, TheChipSelectIsThePortsHardwareSelect) {
    RF24 onCE0(22, 8, 32);
    RF24 byNumber(22, 0, 1000);
    onCE0.begin();
    byNumber.begin();
    for (const BusEvent& e : BusSimulation::INSTANCE.Events()) {
        if (e.type == BusEventType::SPITransfer) {
            EXPECT_EQ(0, e.device) << e.text();
        }
    }
    EXPECT_EQ(250000, BusSimulation::INSTANCE.SPISpeed(0, 0));
}

TEST_F(RF24StandInTest, DataRatesAreTheTwoRateBits) {
    RF24 radio(22, 7, 32);
    radio.begin();
    events();
    EXPECT_TRUE(radio.setDataRate(RF24_250KBPS));
    // Read, write with RF_DR_LOW, read back.
    EXPECT_EQ((Texts{"spi 0.1: 06 ff", "spi 0.1: 26 26", "spi 0.1: 06 ff"}), events());
    EXPECT_EQ(RF24_250KBPS, radio.getDataRate());
    EXPECT_TRUE(radio.setDataRate(RF24_2MBPS));
    EXPECT_EQ(0x0E, chip->Register(Chip::RF_SETUP));
    EXPECT_EQ(RF24_2MBPS, radio.getDataRate());
    EXPECT_TRUE(radio.setDataRate(RF24_1MBPS));
    EXPECT_EQ(0x06, chip->Register(Chip::RF_SETUP));
    EXPECT_EQ(RF24_1MBPS, radio.getDataRate());
}

TEST_F(RF24StandInTest, ABusWithoutARadioFailsTheDataRateReadBack) {
    BusSimulation::INSTANCE.AttachSPIChip(0, 1, nullptr);
    RF24 nothing(22, 7, 32);
    nothing.begin();
    EXPECT_FALSE(nothing.setDataRate(RF24_250KBPS));
    EXPECT_NE(RF24_250KBPS, nothing.getDataRate());

    BusSimulation::INSTANCE.AttachSPIChip(0, 1, std::make_shared<AllOnes>());
    RF24 pulledUp(22, 7, 32);
    pulledUp.begin();
    EXPECT_FALSE(pulledUp.setDataRate(RF24_250KBPS));
    EXPECT_NE(RF24_250KBPS, pulledUp.getDataRate());
}

TEST_F(RF24StandInTest, SettingsLandInTheirRegisters) {
    RF24 radio(22, 7, 32);
    radio.begin();
    radio.setRetries(3, 20); // the count is 4 bits: 15 at most
    EXPECT_EQ(0x3F, chip->Register(Chip::SETUP_RETR));
    radio.setPayloadSize(40);
    EXPECT_EQ(32, chip->Register(Chip::RX_PW_P0 + 5));
    radio.setAutoAck(true);
    EXPECT_EQ(0x3F, chip->Register(Chip::EN_AA));
    radio.setAutoAck(false);
    EXPECT_EQ(0x00, chip->Register(Chip::EN_AA));
    radio.setChannel(200);
    EXPECT_EQ(125, chip->Register(Chip::RF_CH));
    radio.setCRCLength(RF24_CRC_8);
    EXPECT_EQ(0x08, chip->Register(Chip::CONFIG));
    radio.setCRCLength(RF24_CRC_DISABLED);
    EXPECT_EQ(0x00, chip->Register(Chip::CONFIG));
    radio.openWritingPipe(0xF0F0F0F0E1ULL);
    EXPECT_EQ(0xF0F0F0F0E1ULL, chip->Address(Chip::TX_ADDR));
    EXPECT_EQ(0xF0F0F0F0E1ULL, chip->Address(Chip::RX_ADDR_P0));
    radio.openReadingPipe(1, 0xF0F0F0F0D2ULL);
    EXPECT_EQ(0xF0F0F0F0D2ULL, chip->Address(Chip::RX_ADDR_P1));
    radio.openReadingPipe(3, 0xF0F0F0F0A7ULL);
    EXPECT_EQ(0xA7, chip->Register(0x0D));
    EXPECT_EQ(0x0B, chip->Register(Chip::EN_RXADDR));
    radio.setPALevel(RF24_PA_LOW, false);
    EXPECT_EQ(0x02, chip->Register(Chip::RF_SETUP) & 0x07);
    radio.powerUp();
    EXPECT_EQ(0x02, chip->Register(Chip::CONFIG) & 0x02);
}

TEST_F(RF24StandInTest, APacketIsOnePayloadAndOneCEPulse) {
    RF24 radio(22, 7, 32);
    radio.begin();
    radio.setAutoAck(false);
    radio.setPayloadSize(4);
    radio.powerUp();
    events();
    uint8_t data[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_TRUE(radio.write(data, 2)); // padded to the payload size
    EXPECT_EQ(
        (Texts{"spi 0.1: a0 01 02 00 00", "pin 0:22 = 1", "spi 0.1: ff", "pin 0:22 = 0", "spi 0.1: 27 70"}),
        events());
    EXPECT_TRUE(radio.write(data, 6)); // cut to it
    ASSERT_EQ(2u, chip->Sent().size());
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4}), chip->Sent()[1].payload);
    EXPECT_EQ(2, chip->CERisingEdges());
    EXPECT_FALSE(chip->CE());
    EXPECT_EQ(0, chip->Register(Chip::STATUS) & 0x70) << "the flags are cleared after each packet";
}

TEST_F(RF24StandInTest, APacketNobodyAcknowledgesFailsOnceInTheLog) {
    RF24 radio(22, 7, 32);
    radio.begin();
    radio.setAutoAck(true);
    radio.powerUp();
    uint8_t data[32] = {7};
    for (int i = 0; i < 3; i++) {
        EXPECT_FALSE(radio.write(data, 32));
    }
    EXPECT_LE(chip->TxFifoSize(), 1u) << "failed payloads are flushed, not piled up";
    EXPECT_EQ(1, log.count("a packet was not sent (no acknowledgement after the retries")) << log.text();
    radio.setAutoAck(false);
    // Handed over without waiting, this one is seen sent by the next write.
    EXPECT_FALSE(radio.write(data, 32));
    EXPECT_TRUE(radio.write(data, 32));
    EXPECT_TRUE(log.contains("packets are sent again"));
}

TEST_F(RF24StandInTest, AChipThatNeverReportsTimesOut) {
    RF24 radio(22, 7, 32);
    radio.begin();
    radio.setAutoAck(false);
    // Powered down, the chip keeps the payload and never sends.
    uint8_t data[32] = {7};
    EXPECT_FALSE(radio.write(data, 32));
    EXPECT_EQ(1, log.count("the chip did not report it sent")) << log.text();
    EXPECT_TRUE(chip->Sent().empty());
}

TEST_F(RF24StandInTest, WithoutItsCEPinBeginFails) {
    BusSimulation::INSTANCE.SetPinAbsent(0, 22, true);
    RF24 radio(22, 7, 32);
    EXPECT_FALSE(radio.begin());
    EXPECT_TRUE(log.contains("there is no GPIO line 22 on chip 0 for the radio's CE pin")) << log.text();
}

TEST_F(RF24StandInTest, WithoutItsSPIDeviceBeginFails) {
    BusSimulation::INSTANCE.Disable();
    setSetting("SPIDevice", "/nonexistent-tavo-test/spidev{port}.{cs}");
    RF24 radio(22, 7, 32);
    EXPECT_FALSE(radio.begin());
    EXPECT_NE(RF24_250KBPS, radio.getDataRate());
    uint8_t data[32] = {0};
    EXPECT_FALSE(radio.write(data, 32));
    EXPECT_TRUE(log.contains("/nonexistent-tavo-test/spidev0.1: cannot open")) << log.text();
    setSetting("SPIDevice", "");
}

#else

TEST(RF24StandInTest, BuiltAgainstTheInstalledRF24Library) {
    GTEST_SKIP() << "the RF24 library is installed: the stand-in is not built";
}

#endif
