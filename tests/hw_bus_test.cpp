// The host's bus access: SPI, I2C and the GPIO register block on device files
// (missing ones, and files that are not devices, as on a machine without the bus),
// the same classes under the bus simulation, and output pins by chip and line.
#include "host/core/JsonUtils.h"
#include "host/core/Settings.h"
#include "host/hw/BusSimulation.h"
#include "host/hw/GPIORegisters.h"
#include "host/hw/I2CUtils.h"
#include "host/hw/Pins.h"
#include "host/hw/SPIUtils.h"
#include "host/hw/SimulatedNRF24L01.h"
#include "LogCapture.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

class BusTest : public ::testing::Test {
protected:
    void SetUp() override {
        BusSimulation::INSTANCE.Disable();
        BusSimulation::INSTANCE.Reset();
        for (const char* s : {"SPIDevice", "I2CDevice", "GPIOMemDevice", "BusSimulation"}) {
            setSetting(s, "");
        }
    }
    void TearDown() override {
        BusSimulation::INSTANCE.Disable();
        BusSimulation::INSTANCE.Reset();
        for (const char* s : {"SPIDevice", "I2CDevice", "GPIOMemDevice", "BusSimulation"}) {
            setSetting(s, "");
        }
        PinCapabilities::ClearPins();
    }
    void makeFile(const std::string& path, off_t size) {
        std::ofstream(path, std::ios::binary).close();
        ASSERT_EQ(0, truncate(path.c_str(), size));
    }

    TempDir dir;
    LogCapture log{LOG_DEBUG};
};

// A chip that answers every byte with its position in the transfer plus 0x40.
class CountingChip : public SimulatedSPIChip {
public:
    void transfer(const uint8_t*, uint8_t* rx, size_t length) override {
        for (size_t i = 0; i < length; i++) {
            rx[i] = (uint8_t)(0x40 + i);
        }
    }
    void pinChanged(int chip, int line, bool value) override {
        changes.push_back(std::to_string(chip) + ":" + std::to_string(line) + "=" + (value ? "1" : "0"));
    }
    std::vector<std::string> changes;
};

} // namespace

// ---------------------------------------------------------------- device files

TEST_F(BusTest, SPIOnAMissingDeviceHasNoDescriptorAndNamesThePath) {
    setSetting("SPIDevice", dir.path() + "/spidev{port}.{cs}");
    SPIUtils spi(0, 1000000, 1);
    EXPECT_EQ(-1, spi.getFD());
    EXPECT_EQ(dir.path() + "/spidev0.1", spi.getDevice());
    EXPECT_NE(std::string::npos, spi.getError().find("No such file or directory")) << spi.getError();
    EXPECT_TRUE(
        log.contains("SPI device " + dir.path() + "/spidev0.1: cannot open: No such file or directory"))
        << log.text();
    uint8_t b[2] = {1, 2};
    EXPECT_EQ(-1, spi.xfer(b, nullptr, 2));
}

TEST_F(BusTest, SPIOnAFileThatIsNoSPIDeviceIsRefused) {
    makeFile(dir.file("spidev0.0"), 16);
    setSetting("SPIDevice", dir.path() + "/spidev{port}.{cs}");
    SPIUtils spi(0, 1000000);
    EXPECT_EQ(-1, spi.getFD());
    EXPECT_TRUE(log.contains("cannot set SPI mode 0 (is it an SPI device?)")) << log.text();
}

TEST_F(BusTest, BusDevicesDefaultToTheBoardsDeviceFiles) {
    SPIUtils spi(0, 1000000);
    I2CUtils i2c(1, 0x20);
    GPIORegisters regs;
    bool mapped = regs.map();
    EXPECT_EQ("/dev/spidev0.0", spi.getDevice());
    EXPECT_EQ("/dev/i2c-1 device 0x20", i2c.getDevice());
    EXPECT_EQ("/dev/gpiomem", regs.getDevice());
    if (access("/dev/spidev0.0", F_OK) != 0) {
        EXPECT_EQ(-1, spi.getFD());
    }
    if (access("/dev/i2c-1", F_OK) != 0) {
        EXPECT_EQ(-1, i2c.getFD());
    }
    if (access("/dev/gpiomem", F_OK) != 0) {
        EXPECT_FALSE(mapped);
        EXPECT_TRUE(
            log.contains("Cannot open /dev/gpiomem for the GPIO registers: No such file or directory"))
            << log.text();
    }
}

TEST_F(BusTest, I2COnAMissingBusOrAFileOrABadAddressIsRefused) {
    setSetting("I2CDevice", dir.path() + "/i2c-{bus}");
    {
        I2CUtils i2c(1, 0x20);
        EXPECT_EQ(-1, i2c.getFD());
        EXPECT_EQ(-1, i2c.writeByteData(0x12, 1));
        EXPECT_TRUE(
            log.contains("I2C " + dir.path() + "/i2c-1 device 0x20: cannot open: No such file or directory"))
            << log.text();
    }
    makeFile(dir.file("i2c-1"), 16);
    {
        I2CUtils i2c(1, 0x20);
        EXPECT_EQ(-1, i2c.getFD());
        EXPECT_TRUE(log.contains("cannot address the device (is it an I2C bus?)")) << log.text();
    }
    {
        I2CUtils i2c(1, 0x80);
        EXPECT_EQ(-1, i2c.getFD());
        EXPECT_TRUE(log.contains("address 0x80 is not a 7-bit device address")) << log.text();
    }
}

TEST_F(BusTest, GPIORegistersMapAFileAtTheBlockOffset) {
    // A file as large as the device's window behaves like it: writes land at 0x200000.
    std::string file = dir.file("gpiomem");
    makeFile(file, GPIORegisters::BLOCK_OFFSET + GPIORegisters::BLOCK_SIZE);
    setSetting("GPIOMemDevice", file);
    {
        GPIORegisters regs;
        ASSERT_TRUE(regs.map()) << log.text();
        EXPECT_FALSE(regs.isRecording());
        regs.write(GPIORegisters::FSEL0 + 4, 0xFFFFFFFF); // GPIO 10-19, all alternate function 7
        regs.setOutput(17);                               // bits 21-23 of that word become 001
        regs.setOutput(4);                                // bits 12-14 of the first word
        regs.write(GPIORegisters::SET0, 0x00400100);
        regs.write(GPIORegisters::BLOCK_SIZE, 1); // outside the block: ignored
        EXPECT_EQ(0xFF3FFFFFu, regs.read(4));
        EXPECT_TRUE(log.contains("Opened " + file + ", mem_fd = ")) << log.text();
    }
    std::string bytes = readFileBytes(file);
    ASSERT_EQ((size_t)(GPIORegisters::BLOCK_OFFSET + GPIORegisters::BLOCK_SIZE), bytes.size());
    auto word = [&](uint32_t offset) {
        uint32_t v;
        memcpy(&v, bytes.data() + GPIORegisters::BLOCK_OFFSET + offset, 4);
        return v;
    };
    EXPECT_EQ(1u << 12, word(0));
    EXPECT_EQ(0xFF3FFFFFu, word(4));
    EXPECT_EQ(0x00400100u, word(GPIORegisters::SET0));
}

TEST_F(BusTest, GPIORegistersRefuseAMissingOrTooSmallFile) {
    setSetting("GPIOMemDevice", dir.file("nothing"));
    GPIORegisters regs;
    EXPECT_FALSE(regs.map());
    EXPECT_EQ(nullptr, regs.getBlock());
    EXPECT_NE(std::string::npos, regs.getError().find("No such file or directory"));
    regs.write(GPIORegisters::SET0, 1); // unmapped: nothing happens
    EXPECT_EQ(0u, regs.read(GPIORegisters::SET0));

    // Mapping it would work, and the first write would end the process (SIGBUS).
    makeFile(dir.file("short"), 4096);
    setSetting("GPIOMemDevice", dir.file("short"));
    EXPECT_FALSE(regs.map());
    EXPECT_TRUE(log.contains("too small for the register block")) << log.text();
}

// ---------------------------------------------------------------- simulation

TEST_F(BusTest, SimulatedSPIKeepsEveryTransferAndAnswersFromItsChip) {
    BusSimulation::INSTANCE.Enable();
    auto chip = std::make_shared<CountingChip>();
    BusSimulation::INSTANCE.AttachSPIChip(0, 1, chip);
    SPIUtils withChip(0, 4000000, 1);
    SPIUtils without(0, 1000000);
    ASSERT_GE(withChip.getFD(), 0);
    EXPECT_TRUE(withChip.isSimulated());
    EXPECT_EQ(4000000, BusSimulation::INSTANCE.SPISpeed(0, 1));

    uint8_t tx[3] = {0x01, 0x81, 0xFF};
    uint8_t rx[3] = {0, 0, 0};
    EXPECT_EQ(3, withChip.xfer(tx, rx, 3));
    EXPECT_EQ(0x40, rx[0]);
    EXPECT_EQ(0x42, rx[2]);
    rx[0] = 9;
    EXPECT_EQ(2, without.xfer(tx, rx, 2));
    EXPECT_EQ(0, rx[0]) << "a bus with no chip reads 0";
    EXPECT_EQ(1, without.xfer(tx, nullptr, 1));
    EXPECT_EQ(-1, without.xfer(tx, nullptr, 0));
    EXPECT_EQ((Texts{"spi 0.1: 01 81 ff", "spi 0.0: 01 81", "spi 0.0: 01"}),
              BusSimulation::INSTANCE.EventTexts());
}

TEST_F(BusTest, TheSimulationRefusesWhatTheKernelWould) {
    BusSimulation::INSTANCE.Enable();
    // No clock, a mode past 3, words the controller does not have.
    SPIUtils noClock(0, 0);
    EXPECT_EQ(-1, noClock.getFD());
    EXPECT_TRUE(log.contains("SPI device simulated SPI 0.0: SPI speed 0 Hz is not a clock rate"))
        << log.text();
    EXPECT_EQ(0, BusSimulation::INSTANCE.SPISpeed(0, 0)) << "the port was not opened";
    errno = 0;
    EXPECT_EQ(-1, BusSimulation::INSTANCE.SPIOpened(0, 0, 1000000, 4, 8));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(-1, BusSimulation::INSTANCE.SPIOpened(0, 0, 1000000, 0, 16));
    EXPECT_EQ(0, BusSimulation::INSTANCE.SPIOpened(0, 0, 1000000, 3, 8));

    // spidev's buffer: 4096 bytes in one transfer, not one more.
    SPIUtils spi(0, 1000000);
    ASSERT_GE(spi.getFD(), 0);
    BusSimulation::INSTANCE.ClearEvents();
    std::vector<uint8_t> tx(BusSimulation::SPI_MAX_TRANSFER + 1, 0x55);
    EXPECT_EQ(-1, spi.xfer(tx.data(), nullptr, (int)tx.size()));
    EXPECT_TRUE(log.contains("a transfer of 4097 bytes failed: Message too long")) << log.text();
    EXPECT_TRUE(BusSimulation::INSTANCE.Events().empty()) << "nothing was sent";
    EXPECT_EQ(4096, spi.xfer(tx.data(), nullptr, 4096));

    // I2C: 7-bit addresses from 0x03 to 0x77 only.
    for (int address : {0x02, 0x78, 0x80}) {
        I2CUtils i2c(1, address);
        EXPECT_EQ(-1, i2c.getFD()) << address;
        EXPECT_EQ(-1, i2c.writeByteData(0, 1));
    }
    EXPECT_TRUE(
        log.contains("I2C simulated I2C bus 1 device 0x78: address 0x78 is not a 7-bit device address"))
        << log.text();
    EXPECT_TRUE(BusSimulation::INSTANCE.Events().size() == 1u) << "only the 4096-byte transfer";
    I2CUtils ok(1, 0x77);
    EXPECT_EQ(0, ok.writeByteData(0, 1));
}

TEST_F(BusTest, SimulatedI2CKeepsWritesAndFailsForAnAbsentDeviceLoggedOnce) {
    BusSimulation::INSTANCE.Enable();
    I2CUtils i2c(1, 0x24);
    ASSERT_GE(i2c.getFD(), 0);
    EXPECT_EQ(0, i2c.writeByteData(0x0A, 0x20));
    EXPECT_EQ(0x20, BusSimulation::INSTANCE.I2CRegister(1, 0x24, 0x0A));
    EXPECT_EQ(-1, BusSimulation::INSTANCE.I2CRegister(1, 0x24, 0x12));

    BusSimulation::INSTANCE.SetI2CDeviceAbsent(1, 0x24, true);
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(-1, i2c.writeByteData(0x12, (uint8_t)i));
    }
    EXPECT_EQ(1, log.count("writing register 0x12 failed: No such device or address")) << log.text();
    BusSimulation::INSTANCE.SetI2CDeviceAbsent(1, 0x24, false);
    EXPECT_EQ(0, i2c.writeByteData(0x13, 7));
    EXPECT_TRUE(log.contains("writes work again"));
    EXPECT_EQ((Texts{"i2c 1@0x24: 0a=20", "i2c 1@0x24: 13=07"}), BusSimulation::INSTANCE.EventTexts());
}

TEST_F(BusTest, SimulatedRegistersAreMemoryAndRecordedOnlyWhenAsked) {
    BusSimulation::INSTANCE.Enable();
    GPIORegisters plain;
    ASSERT_TRUE(plain.map());
    EXPECT_FALSE(plain.isRecording());
    plain.write(GPIORegisters::SET0, 5);
    EXPECT_EQ(5u, BusSimulation::INSTANCE.RegisterBlock()[GPIORegisters::SET0 / 4]);
    EXPECT_TRUE(BusSimulation::INSTANCE.RegisterWrites().empty());

    BusSimulation::INSTANCE.RecordRegisterWrites(true);
    GPIORegisters recorded;
    ASSERT_TRUE(recorded.map());
    EXPECT_TRUE(recorded.isRecording());
    recorded.setOutput(18); // GPIO 18: bits 24-26 of the second word
    recorded.write(GPIORegisters::CLR0, 0x10);
    std::vector<RegisterWrite> expected = {{0x04, 0}, {0x04, 1u << 24}, {0x28, 0x10}};
    EXPECT_EQ(expected, BusSimulation::INSTANCE.RegisterWrites());
}

TEST_F(BusTest, TheHostSettingSwitchesTheSimulationOn) {
    EXPECT_FALSE(BusSimulation::INSTANCE.Active());
    setSetting("BusSimulation", "0");
    EXPECT_FALSE(BusSimulation::INSTANCE.Active());
    setSetting("BusSimulation", "1");
    EXPECT_TRUE(BusSimulation::INSTANCE.Active());
    SPIUtils plain(0, 1000000);
    EXPECT_TRUE(plain.isSimulated());
    EXPECT_EQ(nullptr, BusSimulation::INSTANCE.GetSPIChip(0, 0));

    setSetting("BusSimulation", "nrf24l01");
    SPIUtils radio(0, 1000000, 1);
    EXPECT_NE(nullptr,
              std::dynamic_pointer_cast<SimulatedNRF24L01>(BusSimulation::INSTANCE.GetSPIChip(0, 1)));
}

TEST_F(BusTest, OnlyTheLastHundredThousandEventsAreKept) {
    BusSimulation::INSTANCE.Enable();
    I2CUtils i2c(1, 0x20);
    for (int i = 0; i < 100005; i++) {
        i2c.writeByteData((uint8_t)i, 0);
    }
    EXPECT_EQ(5u, BusSimulation::INSTANCE.DroppedEvents());
    std::vector<BusEvent> events = BusSimulation::INSTANCE.Events();
    ASSERT_EQ(100000u, events.size());
    EXPECT_EQ("i2c 1@0x20: 05=00", events.front().text());
}

// ---------------------------------------------------------------- pins by chip and line

TEST_F(BusTest, SimulatedOutputPinsKeepTheirChangesInOrderWithTransfers) {
    BusSimulation::INSTANCE.Enable();
    auto chip = std::make_shared<CountingChip>();
    BusSimulation::INSTANCE.AttachSPIChip(0, 0, chip);
    const PinCapabilities* cs = PinCapabilities::getPinByGPIO(0, 8).ptr();
    ASSERT_NE(nullptr, cs);
    EXPECT_EQ(cs, PinCapabilities::getPinByGPIO(0, 8).ptr()) << "one pin per line";
    SPIUtils spi(0, 1000000);
    cs->setValue(true);
    EXPECT_TRUE(cs->configPin("gpio", true, ""));
    EXPECT_EQ(0, cs->getValue()) << "requesting an output drives it low";
    cs->setValue(false);
    uint8_t b[2] = {0x0C, 0x01};
    spi.xfer(b, nullptr, 2);
    cs->setValue(true);
    EXPECT_EQ(1, cs->getValue());
    EXPECT_EQ(1, BusSimulation::INSTANCE.PinValue(0, 8));
    EXPECT_EQ((Texts{"pin 0:8 = 1", "pin 0:8 gpio out", "pin 0:8 = 0", "spi 0.0: 0c 01", "pin 0:8 = 1"}),
              BusSimulation::INSTANCE.EventTexts());
    EXPECT_EQ((std::vector<std::string>{"0:8=1", "0:8=0", "0:8=0", "0:8=1"}), chip->changes);

    BusSimulation::INSTANCE.SetPinAbsent(0, 22, true);
    EXPECT_EQ(nullptr, PinCapabilities::getPinByGPIO(0, 22).ptr());
}

TEST_F(BusTest, BoardPinsAreFoundByChipAndLine) {
    Json::Value config;
    LoadJsonFromString(R"({"provider": "gpiod", "pins": [
        {"name": "CS", "chip": "gpiochip0", "line": 8, "gpio": 8},
        {"name": "B", "chip": "/dev/gpiochip1", "line": 3},
        {"name": "C", "chip": "2", "line": 4},
        {"name": "L", "chip": "pinctrl-bcm2835", "line": 5}]})",
                       config);
    ASSERT_TRUE(PinCapabilities::ConfigurePins(config, dir.path()));
    EXPECT_EQ("CS", PinCapabilities::getPinByGPIO(0, 8).name);
    EXPECT_EQ("B", PinCapabilities::getPinByGPIO(1, 3).name);
    EXPECT_EQ("C", PinCapabilities::getPinByGPIO(2, 4).name);
    EXPECT_EQ(nullptr, PinCapabilities::getPinByGPIO(0, 5).ptr()) << "a chip named by label has no number";
    EXPECT_EQ(nullptr, PinCapabilities::getPinByGPIO(0, 9).ptr());
    EXPECT_EQ("CS", PinCapabilities::getPinByGPIO(8).name) << "the number lookup is unchanged";
    // There is no such chip here: the pin says so instead of driving anything.
    if (access("/dev/gpiochip0", F_OK) != 0) {
        EXPECT_FALSE(PinCapabilities::getPinByGPIO(0, 8).configPin("gpio", true, ""));
        EXPECT_TRUE(log.contains("Cannot open GPIO chip gpiochip0 for CS")) << log.text();
    }
}

TEST_F(BusTest, FileSimulatedPinsAreFoundByTheirChipAndLine) {
    Json::Value config;
    LoadJsonFromString(R"({"provider": "simulated", "simulatedDir": "sim", "pins": [
        {"name": "Select", "line": 8}, {"name": "Enable", "chip": 1, "line": 22}, {"name": "Plain", "gpio": 3}]})",
                       config);
    ASSERT_TRUE(PinCapabilities::ConfigurePins(config, dir.path()));
    const PinCapabilities* select = PinCapabilities::getPinByGPIO(0, 8).ptr();
    ASSERT_NE(nullptr, select);
    EXPECT_EQ("Select", select->name);
    EXPECT_EQ("Enable", PinCapabilities::getPinByGPIO(1, 22).name);
    EXPECT_EQ(nullptr, PinCapabilities::getPinByGPIO(0, 3).ptr());
    EXPECT_TRUE(select->configPin("gpio", true, ""));
    select->setValue(true);
    EXPECT_EQ("1\n", readFileBytes(dir.file("sim/Select.value")));
    EXPECT_EQ("gpio out \n", readFileBytes(dir.file("sim/Select.config")));
}

TEST_F(BusTest, PinsHandedOutOutliveConfiguringThePinsAgain) {
    Json::Value config;
    LoadJsonFromString(R"({"provider": "simulated", "simulatedDir": "sim", "pins": [
        {"name": "Relay", "line": 17}, {"name": "Select", "line": 8}]})",
                       config);
    ASSERT_TRUE(PinCapabilities::ConfigurePins(config, dir.path()));
    const PinCapabilities* select = PinCapabilities::getPinByGPIO(0, 8).ptr();
    const PinCapabilities* relay = PinCapabilities::getPinByName("Relay").ptr();
    ASSERT_NE(nullptr, select);
    // Loaded again from the same entries: the very same pins.
    ASSERT_TRUE(PinCapabilities::ConfigurePins(config, dir.path()));
    EXPECT_EQ(select, PinCapabilities::getPinByGPIO(0, 8).ptr());
    EXPECT_EQ(relay, PinCapabilities::getPinByName("Relay").ptr());

    // A pin the new configuration drops or changes is no longer found, but whoever
    // holds it still drives its own line, not another pin.
    config["pins"].resize(1);
    config["pins"][0]["gpio"] = 5;
    ASSERT_TRUE(PinCapabilities::ConfigurePins(config, dir.path()));
    EXPECT_EQ(nullptr, PinCapabilities::getPinByGPIO(0, 8).ptr());
    const PinCapabilities* newRelay = PinCapabilities::getPinByName("Relay").ptr();
    ASSERT_NE(nullptr, newRelay);
    EXPECT_NE(relay, newRelay) << "made from a changed entry";
    EXPECT_EQ("Select", select->name);
    select->setValue(true);
    relay->setValue(false);
    EXPECT_EQ("1\n", readFileBytes(dir.file("sim/Select.trace")));
    EXPECT_EQ("0\n", readFileBytes(dir.file("sim/Relay.trace")));
}
