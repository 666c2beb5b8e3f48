// The port expander output at the I2C seam: the register writes of Init and of
// each frame, the addresses it takes and refuses, and a missing bus or device.
#include "PortExpanderOutput.h"
#include "PortExpanderPorts.h"

#include "LogCapture.h"
#include "SimulatedBusTest.h"
#include "TempDir.h"
#include "host/core/Settings.h"
#include "host/core/Warnings.h"
#include "host/hw/BusSimulation.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using Texts = std::vector<std::string>;

Json::Value withID(const Json::Value& id) {
    Json::Value c(Json::objectValue);
    c["type"] = "PortExpander";
    c["deviceID"] = id;
    return c;
}

class PortExpanderTest : public SimulatedBusTest {
protected:
    std::unique_ptr<PortExpanderOutput> started(unsigned count, const Json::Value& id = 32) {
        std::unique_ptr<PortExpanderOutput> out(new PortExpanderOutput(10, count));
        EXPECT_NE(0, out->Init(withID(id))) << log.text();
        BusSimulation::INSTANCE.ClearEvents();
        return out;
    }

    LogCapture log{LOG_EXCESS};
};

} // namespace

TEST_F(PortExpanderTest, InitMakesAllSixteenPinsOutputs) {
    PortExpanderOutput out(0, 16);
    ASSERT_NE(0, out.Init(withID(32)));
    EXPECT_EQ((Texts{"i2c 1@0x20: 0a=20", "i2c 1@0x20: 00=00", "i2c 1@0x20: 01=00"}), events());
    EXPECT_TRUE(log.contains("PortExpanderOutput::Init(JSON)"));
    EXPECT_EQ("PortExpanderOutput", out.GetOutputType());
}

TEST_F(PortExpanderTest, AFrameWritesPortAThenPortB) {
    auto out = started(10);
    uint8_t ch[10] = {255, 0, 0, 0, 0, 0, 0, 1, 0, 7};
    EXPECT_EQ(10, out->SendData(ch));
    EXPECT_EQ((Texts{"i2c 1@0x20: 12=81", "i2c 1@0x20: 13=02"}), events());
    EXPECT_TRUE(log.contains("Byte1: 0b10000001, Byte2: 0b00000010")) << log.text();
    EXPECT_TRUE(log.contains("PortExpanderOutput::SendData("));
}

TEST_F(PortExpanderTest, FourChannelsAllOnDrivePortALowNibble) {
    auto out = started(4);
    uint8_t ch[4] = {1, 2, 3, 4};
    out->SendData(ch);
    EXPECT_EQ((Texts{"i2c 1@0x20: 12=0f", "i2c 1@0x20: 13=00"}), events());
}

TEST_F(PortExpanderTest, ChannelsFromSixteenOnChangeNothing) {
    auto out = started(20);
    uint8_t ch[20] = {0};
    ch[15] = 9;
    out->SendData(ch);
    Texts without = events();
    for (int i = 16; i < 20; i++) {
        ch[i] = 255;
    }
    out->SendData(ch);
    EXPECT_EQ(without, events());
    EXPECT_EQ((Texts{"i2c 1@0x20: 12=00", "i2c 1@0x20: 13=80"}), without);
}

TEST_F(PortExpanderTest, NoChannelsWriteZeros) {
    auto out = started(0);
    uint8_t ch[1] = {255};
    EXPECT_EQ(0, out->SendData(ch));
    EXPECT_EQ((Texts{"i2c 1@0x20: 12=00", "i2c 1@0x20: 13=00"}), events());
    EXPECT_TRUE(log.contains("Byte1: 0b00000000, Byte2: 0b00000000"));
}

TEST_F(PortExpanderTest, AnAddressGivenAsDecimalTextIsTaken) {
    auto out = started(8, "36");
    uint8_t ch[8] = {1};
    out->SendData(ch);
    EXPECT_EQ((Texts{"i2c 1@0x24: 12=01", "i2c 1@0x24: 13=00"}), events());
    out->DumpConfig();
    EXPECT_TRUE(log.contains("    deviceID: 24")) << log.text();
}

TEST_F(PortExpanderTest, AddressesOutsideTheDevicesRangeAreRefused) {
    struct Case {
        Json::Value id;
        const char* message;
    } cases[] = {
        {40, "Invalid PortExpander Address: 28"},
        {31, "Invalid PortExpander Address: 1F"},
        {Json::Value(), "Invalid PortExpander Address: 0"},
        {"40", "Invalid PortExpander Address: 28"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        PortExpanderOutput out(0, 16);
        EXPECT_EQ(0, out.Init(withID(c.id)));
        EXPECT_TRUE(log.contains(c.message)) << log.text();
        EXPECT_TRUE(events().empty()) << "nothing is written to a refused address";
    }
}

TEST_F(PortExpanderTest, TextsThatAreNotDecimalNumbersAreRefusedAsTheyStand) {
    // Read as a number they would be 0 or 36, and the message would not say why.
    for (const char* text : {"36abc", "0x24", " 36", "", "thirty-six", "-36"}) {
        SCOPED_TRACE(text);
        PortExpanderOutput out(0, 16);
        EXPECT_EQ(0, out.Init(withID(text)));
        EXPECT_TRUE(log.contains(std::string("Invalid PortExpander Address: ") + text)) << log.text();
        EXPECT_TRUE(events().empty());
    }
    PortExpanderOutput out(0, 16);
    EXPECT_EQ(0, out.Init(withID(Json::Value(Json::arrayValue))));
    EXPECT_TRUE(log.contains("Invalid PortExpander Address: a list")) << log.text();
}

TEST_F(PortExpanderTest, ADeviceThatDoesNotAnswerFailsInit) {
    BusSimulation::INSTANCE.SetI2CDeviceAbsent(1, 0x21, true);
    PortExpanderOutput out(0, 16);
    EXPECT_EQ(0, out.Init(withID(33)));
    EXPECT_TRUE(log.contains("no device answers at simulated I2C bus 1 device 0x21")) << log.text();
    EXPECT_EQ(1u, WarningHolder::GetWarnings().size());
}

TEST_F(PortExpanderTest, ADeviceThatGoesAwayIsLoggedOnceNotEveryFrame) {
    auto out = started(16);
    BusSimulation::INSTANCE.SetI2CDeviceAbsent(1, 0x20, true);
    uint8_t ch[16] = {1};
    for (int i = 0; i < 40; i++) {
        EXPECT_EQ(16, out->SendData(ch));
    }
    EXPECT_EQ(1, log.count("failed: No such device or address")) << log.text();
}

TEST_F(PortExpanderTest, WithoutTheI2CBusInitFailsWithItsMessageAndAWarning) {
    BusSimulation::INSTANCE.Disable();
    TempDir dir;
    setSetting("I2CDevice", dir.path() + "/i2c-{bus}");
    PortExpanderOutput out(0, 16);
    EXPECT_EQ(0, out.Init(withID(32)));
    setSetting("I2CDevice", "");
    EXPECT_TRUE(log.contains("Error opening I2C device for PortExpander output")) << log.text();
    ASSERT_EQ(1u, WarningHolder::GetWarnings().size());
    EXPECT_EQ("PortExpander output: cannot open " + dir.path() +
                  "/i2c-1 device 0x20: cannot open: No such file or "
                  "directory",
              WarningHolder::GetWarnings()[0]);
    uint8_t ch[16] = {1};
    EXPECT_EQ(0, out.SendData(ch));
    EXPECT_NE(0, out.Close());
}

TEST(PortExpanderPorts, BitsOfBothPorts) {
    uint8_t ch[16] = {1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
    PortExpanderPorts p = PortExpanderPortsFor(ch, 16);
    EXPECT_EQ(0x05, p.a);
    EXPECT_EQ(0x80, p.b);
    EXPECT_EQ("Byte1: 0b00000101, Byte2: 0b10000000", PortExpanderBitsText(p));
    p = PortExpanderPortsFor(ch, 2);
    EXPECT_EQ(0x01, p.a);
    EXPECT_EQ(0x00, p.b);
}

TEST(PortExpanderPorts, AddressesAsNumbersOrDecimalTexts) {
    int a = -1;
    std::string shown;
    EXPECT_TRUE(PortExpanderParseAddress(39, a, shown));
    EXPECT_EQ(39, a);
    EXPECT_EQ("27", shown);
    EXPECT_TRUE(PortExpanderParseAddress("0039", a, shown));
    EXPECT_EQ(39, a);
    EXPECT_EQ("27", shown);
    EXPECT_FALSE(PortExpanderParseAddress("39 ", a, shown));
    EXPECT_EQ("39 ", shown);
    EXPECT_FALSE(PortExpanderParseAddress(32.5, a, shown));
    EXPECT_FALSE(PortExpanderParseAddress(true, a, shown));
}
