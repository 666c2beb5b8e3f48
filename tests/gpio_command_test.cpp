// The "GPIO" command run through the command manager, against simulated pins whose
// value and configuration files show what the command did.
#include "GpioTestSupport.h"

#include "gpio_command.h"

namespace {

class GPIOCommandTest : public GPIOTestBase {
protected:
    void SetUp() override {
        GPIOTestBase::SetUp();
        usePins({"O1", "O2", "O3", "O4", "O5", "O6"});
        std::map<int, std::function<bool(int)>> none;
        GPIOManager::INSTANCE.Initialize(none);
        ASSERT_TRUE(CommandManager::INSTANCE.hasCommand("GPIO"));
    }
    std::unique_ptr<Command::Result> gpio(const std::vector<std::string>& args) {
        return CommandManager::INSTANCE.run("GPIO", args);
    }
    std::string value(const std::string& pin) { return readFileBytes(simFile(pin + ".value")); }
};

} // namespace

TEST_F(GPIOCommandTest, DescriptionNamesBothArguments) {
    TavoGPIOCommand c;
    Json::Value d = c.getDescription();
    EXPECT_EQ(d["name"].asString(), "GPIO");
    ASSERT_EQ(d["args"].size(), 2u);
    EXPECT_EQ(d["args"][0]["name"].asString(), "pin");
    EXPECT_EQ(d["args"][0]["type"].asString(), "string");
    EXPECT_EQ(d["args"][0]["description"].asString(), "Pin");
    EXPECT_EQ(d["args"][0]["contentListUrl"].asString(), "api/options/GPIOLIST");
    EXPECT_EQ(d["args"][1]["name"].asString(), "on");
    EXPECT_EQ(d["args"][1]["description"].asString(), "Action");
    std::vector<std::string> values;
    for (const auto& v : d["args"][1]["contentList"]) {
        values.push_back(v.asString());
    }
    EXPECT_EQ(values, std::vector<std::string>({"On", "Off", "Opposite"}));
    EXPECT_FALSE(c.hidden());
}

TEST_F(GPIOCommandTest, WrongArgumentCountConfiguresNothing) {
    for (auto args : {std::vector<std::string>{"O1"}, std::vector<std::string>{"O1", "On", "x"},
                      std::vector<std::string>{}}) {
        auto r = gpio(args);
        EXPECT_TRUE(r->isError());
        EXPECT_EQ(r->get(), "Invalid number of arguments. GPIO needs two arguments.");
        EXPECT_EQ(r->contentType(), "text/plain");
    }
    EXPECT_FALSE(FileExists(simFile("O1.config")));
    EXPECT_FALSE(FileExists(simFile("O1.value")));
}

TEST_F(GPIOCommandTest, UnknownPinIsNamed) {
    auto r = gpio({"X", "On"});
    EXPECT_TRUE(r->isError());
    EXPECT_EQ(r->get(), "No Pin Named X");
    EXPECT_EQ(r->contentType(), "text/plain");
}

TEST_F(GPIOCommandTest, EveryActionOfTheTable) {
    for (const char* on : {"On", "on", "true", "True", "1"}) {
        writeFileBytes(simFile("O1.value"), "0");
        auto r = gpio({"O1", on});
        EXPECT_FALSE(r->isError()) << on;
        EXPECT_EQ(r->get(), "OK");
        EXPECT_EQ(r->contentType(), "text/plain");
        EXPECT_EQ(value("O1"), "1\n") << on;
        EXPECT_EQ(pinConfig("O1"), "gpio out \n");
    }
    for (const char* off : {"Off", "off", "false", "False", "0"}) {
        writeFileBytes(simFile("O1.value"), "1");
        auto r = gpio({"O1", off});
        EXPECT_FALSE(r->isError()) << off;
        EXPECT_EQ(value("O1"), "0\n") << off;
    }
    writeFileBytes(simFile("O2.value"), "1");
    EXPECT_FALSE(gpio({"O2", "opposite"})->isError());
    EXPECT_EQ(value("O2"), "1\n"); // a fresh pin's first toggle switches on, whatever it read
}

TEST_F(GPIOCommandTest, InvalidActionStillConfiguresTheOutput) {
    for (const char* bad : {"ON", "yes", ""}) {
        auto r = gpio({"O3", bad});
        EXPECT_TRUE(r->isError());
        EXPECT_EQ(r->get(), std::string("Invalid Action") + bad);
    }
    EXPECT_EQ(pinConfig("O3"), "gpio out \n");
    // Configured, not set: the line holds what the output request drove it to.
    EXPECT_EQ(readFileBytes(simFile("O3.trace")), "0\n");
}

TEST_F(GPIOCommandTest, AnOutputNeverDropsBetweenCommands) {
    // Every value the line takes, as a relay on it would see them.
    for (const char* action : {"On", "On", "Opposite", "Opposite", "On", "Off", "Off", "1"}) {
        ASSERT_FALSE(gpio({"O1", action})->isError()) << action;
    }
    EXPECT_EQ(readFileBytes(simFile("O1.trace")), "0\n1\n1\n0\n1\n1\n0\n0\n1\n")
        << "the output request drives 0 once; after that only the commands' values";
}

TEST_F(GPIOCommandTest, OppositeTogglesWhatTheCommandLastSet) {
    std::vector<std::string> seen;
    for (int i = 0; i < 3; i++) {
        ASSERT_FALSE(gpio({"O4", "Opposite"})->isError());
        seen.push_back(value("O4"));
    }
    EXPECT_EQ(seen, std::vector<std::string>({"1\n", "0\n", "1\n"}));

    ASSERT_FALSE(gpio({"O5", "On"})->isError());
    ASSERT_FALSE(gpio({"O5", "Opposite"})->isError());
    EXPECT_EQ(value("O5"), "0\n");
    // A value set from elsewhere does not change what the command remembers.
    writeFileBytes(simFile("O5.value"), "1");
    ASSERT_FALSE(gpio({"O5", "Opposite"})->isError());
    EXPECT_EQ(value("O5"), "1\n");
}

TEST_F(GPIOCommandTest, InputEdgeCanDriveAnOutput) {
    writeGpioJson(R"([{"enabled": true, "pin": "O1", "debounceTime": 0,
        "rising": {"command": "GPIO", "args": ["O6", "Opposite"]}}])");
    setupInputs();
    ASSERT_TRUE(sendEvent("O1", true));
    ASSERT_EQ(dispatch(), 1);
    EXPECT_EQ(value("O6"), "1\n");
}
