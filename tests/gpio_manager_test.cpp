// GPIOManager with simulated pins: the input file, edges through the event loop and
// the real line-event reader, debounce, polled pins, callbacks, Cleanup.
#include "GpioTestSupport.h"

#include "LogCapture.h"

#include <chrono>
#include <thread>

namespace {

class GPIOManagerTest : public GPIOTestBase {};

const char* TWO_EDGES = R"([{"enabled": true, "pin": "B1", "debounceTime": 0,
    "rising": {"command": "Test Record", "args": ["rise"]},
    "falling": {"command": "Test Record", "args": ["fall"]}}])";

} // namespace

TEST_F(GPIOManagerTest, MissingUnparsableOrEmptyFileConfiguresNothing) {
    usePins({"B1"});
    const std::string deep = std::string(1200, '[') + std::string(1200, ']');
    for (const char* content : {(const char*)nullptr, "{ not json", "[]", deep.c_str()}) {
        if (content) {
            writeGpioJson(content);
        }
        LogCapture log;
        setupInputs();
        EXPECT_TRUE(log.contains("SetupGPIOInput()")) << log.text();
        EXPECT_TRUE(log.contains("0 GPIO Input(s) enabled")) << log.text();
        EXPECT_TRUE(GPIOManager::INSTANCE.getEventStates().empty());
        EXPECT_TRUE(GPIOManager::INSTANCE.getPollStates().empty());
        EXPECT_FALSE(FileExists(simFile("B1.config"))) << "the pin was touched";
    }
}

TEST_F(GPIOManagerTest, OnlyEnabledEntriesOfKnownPinsWithACommandCount) {
    usePins({"B1", "B2", "B3", "B4", "B5"});
    writeGpioJson(R"([
        {"pin": "B1", "rising": {"command": "Test Record"}},
        {"enabled": false, "pin": "B2", "rising": {"command": "Test Record"}},
        {"enabled": true, "pin": "NoSuchPin", "rising": {"command": "Test Record"}},
        {"enabled": true, "pin": "B3"},
        {"enabled": true, "pin": "B4", "mode": "gpio_pu", "debounceTime": 50, "falling": {"command": "Test Record"}},
        {"enabled": true, "pin": "B5", "rising": {"command": "Test Record"}}
    ])");
    LogCapture log;
    setupInputs();
    EXPECT_TRUE(log.contains("2 GPIO Input(s) enabled")) << log.text();
    EXPECT_EQ(stateOf("B1"), nullptr);
    EXPECT_EQ(stateOf("B2"), nullptr);
    EXPECT_EQ(stateOf("B3"), nullptr);
    ASSERT_NE(stateOf("B4"), nullptr);
    ASSERT_NE(stateOf("B5"), nullptr);
    EXPECT_EQ(stateOf("B4")->debounceMicros, 50000u);
    EXPECT_EQ(stateOf("B5")->debounceMicros, 100000u);
    EXPECT_EQ(pinConfig("B4"), "gpio_pu in GPIO Input\n");
    EXPECT_EQ(pinConfig("B5"), "gpio in GPIO Input\n");
    EXPECT_FALSE(FileExists(simFile("B3.config")));
    // Edge-capable pins are watched through their event file.
    EXPECT_EQ(GPIOManager::INSTANCE.getEventStates().size(), 2u);
    EXPECT_GT(stateOf("B4")->eventFile, 0);
    EXPECT_TRUE(EPollManager::INSTANCE.hasFileDescriptor(stateOf("B4")->eventFile));
}

TEST_F(GPIOManagerTest, BadEntriesAreSkippedByNameAndTheRestConfigured) {
    usePins({"B1", "B2"});
    writeGpioJson(R"([
        "just text",
        {"enabled": "yes", "pin": "B1", "rising": {"command": "Test Record"}},
        {"enabled": true, "pin": 7, "rising": {"command": "Test Record"}},
        {"enabled": true, "pin": "B1", "debounceTime": "fast", "rising": {"command": "Test Record"}},
        {"enabled": true, "pin": "B1", "debounceTime": -5, "rising": {"command": "Test Record"}},
        {"enabled": true, "pin": "B1", "debounceTime": 5000000, "rising": {"command": "Test Record"}},
        {"enabled": true, "pin": "B1", "debounceTime": 18446744073709551615, "rising": {"command": "Test Record"}},
        {"enabled": true, "pin": "B1", "debounceTime": 1e19, "rising": {"command": "Test Record"}},
        {"enabled": true, "pin": "B1", "rising": "Test Record"},
        {"enabled": true, "pin": "B1", "rising": {"command": 3}},
        {"enabled": true, "pin": "B1", "mode": ["gpio"], "rising": {"command": "Test Record"}},
        {"enabled": true, "pin": "B2", "rising": {"command": "Test Record"}}
    ])");
    LogCapture log;
    setupInputs();
    EXPECT_TRUE(log.contains("1 GPIO Input(s) enabled")) << log.text();
    EXPECT_NE(stateOf("B2"), nullptr);
    EXPECT_EQ(stateOf("B1"), nullptr);
    EXPECT_TRUE(log.contains("gpio.json entry 0 is not an object")) << log.text();
    EXPECT_TRUE(log.contains("gpio.json entry 1: \"enabled\"")) << log.text();
    EXPECT_TRUE(log.contains("gpio.json entry 2 (pin ?): \"pin\"")) << log.text();
    for (int i : {3, 4, 5, 6, 7}) {
        EXPECT_TRUE(log.contains("gpio.json entry " + std::to_string(i) + " (pin B1): \"debounceTime\""))
            << log.text();
    }
    EXPECT_TRUE(log.contains("gpio.json entry 8 (pin B1): \"rising\" must be a command object"))
        << log.text();
    EXPECT_TRUE(log.contains("gpio.json entry 9 (pin B1): the \"command\" of \"rising\"")) << log.text();
    EXPECT_TRUE(log.contains("gpio.json entry 10 (pin B1): \"mode\"")) << log.text();
}

TEST_F(GPIOManagerTest, AnEmptyTextActionRunsNothingOnThatEdgeAndEveryPressRuns) {
    usePins({"B1", "B2", "B3"});
    writeGpioJson(R"([
        {"enabled": true, "pin": "B1", "debounceTime": 0,
         "rising": {"command": "Test Record", "args": ["B1 rise"]}, "falling": ""},
        {"enabled": true, "pin": "B2", "debounceTime": 0,
         "rising": "", "falling": {"command": "Test Record", "args": ["B2 fall"]}},
        {"enabled": true, "pin": "B3", "rising": "", "falling": ""}
    ])");
    setValue("B2", 1); // pulled up: a press is a falling edge
    LogCapture log;
    setupInputs();
    EXPECT_TRUE(log.contains("2 GPIO Input(s) enabled")) << log.text();
    EXPECT_FALSE(log.contains("skipped")) << log.text();
    ASSERT_NE(stateOf("B1"), nullptr);
    ASSERT_NE(stateOf("B2"), nullptr);
    EXPECT_EQ(stateOf("B3"), nullptr) << "no edge has a command";
    EXPECT_EQ(stateOf("B1")->fallingAction, Json::Value(""));
    EXPECT_EQ(stateOf("B2")->risingAction, Json::Value(""));

    // The edge without an action is followed all the same, so each press runs.
    for (int press = 0; press < 3; press++) {
        SCOPED_TRACE(press);
        ASSERT_TRUE(sendEvent("B1", true));
        ASSERT_EQ(dispatch(), 1);
        ASSERT_TRUE(sendEvent("B1", false));
        ASSERT_EQ(dispatch(), 1);
        ASSERT_TRUE(sendEvent("B2", false));
        ASSERT_EQ(dispatch(), 1);
        ASSERT_TRUE(sendEvent("B2", true));
        ASSERT_EQ(dispatch(), 1);
    }
    EXPECT_EQ(m_runs,
              std::vector<std::string>({"B1 rise", "B2 fall", "B1 rise", "B2 fall", "B1 rise", "B2 fall"}));
}

TEST_F(GPIOManagerTest, ASimulatedLineDeliversOnlyTheEdgesAskedFor) {
    usePins({"B1"});
    const PinCapabilities* b1 = pin("B1");
    ASSERT_NE(b1, nullptr);
    int fd = b1->requestEventFile(false, true);
    ASSERT_GT(fd, 0);
    ASSERT_TRUE(sendEvent("B1", true));
    ASSERT_TRUE(sendEvent("B1", false));
    ASSERT_TRUE(sendEvent("B1", true));
    ASSERT_TRUE(sendEvent("B1", false));
    // Read until two events came, or nothing more comes for a while.
    std::vector<uint32_t> ids;
    for (int waited = 0; ids.size() < 2 && waited < 5000; waited += 10) {
        struct gpioevent_data ev;
        if (read(fd, &ev, sizeof(ev)) == (ssize_t)sizeof(ev)) {
            ids.push_back(ev.id);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_EQ(ids, std::vector<uint32_t>({GPIOEVENT_EVENT_FALLING_EDGE, GPIOEVENT_EVENT_FALLING_EDGE}));
    b1->releaseGPIOD();
    EXPECT_FALSE(sendEvent("B1", true)) << "nothing reads the line any more";
}

TEST_F(GPIOManagerTest, TopLevelThatIsNotAnArrayIsReported) {
    usePins({"B1"});
    writeGpioJson(R"({"enabled": true, "pin": "B1", "rising": {"command": "Test Record"}})");
    LogCapture log;
    setupInputs();
    EXPECT_TRUE(log.contains("must hold an array of input objects")) << log.text();
    EXPECT_TRUE(log.contains("0 GPIO Input(s) enabled")) << log.text();
}

TEST_F(GPIOManagerTest, RisingAndFallingEdgesRunTheirCommands) {
    usePins({"B1"});
    writeGpioJson(TWO_EDGES);
    setupInputs();
    GPIOManager::GPIOState* s = stateOf("B1");
    ASSERT_NE(s, nullptr);
    ASSERT_GT(s->eventFile, 0);
    EXPECT_EQ(s->lastValue, 0);

    LogCapture log;
    ASSERT_TRUE(sendEvent("B1", true));
    ASSERT_EQ(dispatch(), 1);
    EXPECT_EQ(m_runs, std::vector<std::string>({"rise"}));
    EXPECT_EQ(s->lastValue, 1);
    EXPECT_EQ(s->pendingValue, 1);
    EXPECT_TRUE(log.contains("GPIO B1 triggered.  Value:  1")) << log.text();

    ASSERT_TRUE(sendEvent("B1", false));
    ASSERT_EQ(dispatch(), 1);
    EXPECT_EQ(m_runs, std::vector<std::string>({"rise", "fall"}));
    EXPECT_EQ(s->lastValue, 0);

    // A second falling edge repeats the value last acted on: nothing happens.
    int64_t before = s->lastTriggerTime;
    ASSERT_TRUE(sendEvent("B1", false));
    ASSERT_EQ(dispatch(), 1);
    EXPECT_EQ(m_runs.size(), 2u);
    EXPECT_EQ(s->lastTriggerTime, before);
    EXPECT_FALSE(GPIOManager::INSTANCE.debounceCheckPending());
}

TEST_F(GPIOManagerTest, EdgeInsideTheDebounceIntervalIsCheckedAgainLater) {
    usePins({"B1"});
    writeGpioJson(R"([{"enabled": true, "pin": "B1",
        "rising": {"command": "Test Record", "args": ["rise"]},
        "falling": {"command": "Test Record", "args": ["fall"]}}])");
    setupInputs();
    GPIOManager::GPIOState* s = stateOf("B1");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->debounceMicros, 100000u);

    // An edge 30 ms after the last action: held back.
    s->lastTriggerTime = GetTime() - 30000;
    setValue("B1", 1);
    ASSERT_TRUE(sendEvent("B1", true));
    ASSERT_EQ(dispatch(), 1);
    EXPECT_TRUE(m_runs.empty());
    EXPECT_EQ(s->lastValue, 0);
    EXPECT_EQ(s->pendingValue, 1);
    EXPECT_TRUE(GPIOManager::INSTANCE.debounceCheckPending());

    // Still inside the interval: the check stays pending.
    GPIOManager::INSTANCE.CheckGPIOInputs();
    EXPECT_TRUE(m_runs.empty());
    EXPECT_TRUE(GPIOManager::INSTANCE.debounceCheckPending());

    // After the interval, the pin still differs: acted on.
    s->lastTriggerTime = GetTime() - 150000;
    GPIOManager::INSTANCE.CheckGPIOInputs();
    EXPECT_EQ(m_runs, std::vector<std::string>({"rise"}));
    EXPECT_EQ(s->lastValue, 1);
    EXPECT_FALSE(GPIOManager::INSTANCE.debounceCheckPending());

    // A bounce that has settled back by the time of the check runs nothing.
    s->lastTriggerTime = GetTime() - 30000;
    ASSERT_TRUE(sendEvent("B1", false));
    ASSERT_EQ(dispatch(), 1);
    EXPECT_EQ(s->pendingValue, 0);
    s->lastTriggerTime = GetTime() - 150000;
    GPIOManager::INSTANCE.CheckGPIOInputs();
    EXPECT_EQ(m_runs.size(), 1u);
    EXPECT_EQ(s->lastValue, 1);
    EXPECT_FALSE(GPIOManager::INSTANCE.debounceCheckPending());
}

TEST_F(GPIOManagerTest, OledNavigationEdgesRunNothing) {
    usePins({"B1", "B2", "B3"});
    writeGpioJson(R"([
        {"enabled": true, "pin": "B1", "rising": {"command": "OLED Navigation"}},
        {"enabled": true, "pin": "B2", "rising": {"command": "OLED Navigation"}, "falling": {"command": "OLED Navigation"}},
        {"enabled": true, "pin": "B3", "debounceTime": 0, "rising": {"command": "OLED Navigation", "args": ["Up"]},
         "falling": {"command": "Test Record", "args": ["fall"]}}
    ])");
    LogCapture log;
    setupInputs();
    EXPECT_TRUE(log.contains("1 GPIO Input(s) enabled")) << log.text();
    EXPECT_EQ(stateOf("B1"), nullptr);
    EXPECT_EQ(stateOf("B2"), nullptr);
    GPIOManager::GPIOState* s = stateOf("B3");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->risingAction["command"].asString(), "");

    ASSERT_TRUE(sendEvent("B3", true));
    ASSERT_EQ(dispatch(), 1);
    EXPECT_TRUE(m_runs.empty());
    EXPECT_EQ(s->lastValue, 1);
    EXPECT_TRUE(log.contains("GPIO B3 triggered.  Value:  1")) << log.text();
    ASSERT_TRUE(sendEvent("B3", false));
    ASSERT_EQ(dispatch(), 1);
    EXPECT_EQ(m_runs, std::vector<std::string>({"fall"}));
}

TEST_F(GPIOManagerTest, PolledPinValueFiveCountsAsRising) {
    usePins({}, {"P1"});
    writeGpioJson(R"([{"enabled": true, "pin": "P1", "debounceTime": 0,
        "rising": {"command": "Test Record", "args": ["rise"]},
        "falling": {"command": "Test Record", "args": ["fall"]}}])");
    setupInputs();
    ASSERT_EQ(GPIOManager::INSTANCE.getPollStates().size(), 1u);
    GPIOManager::GPIOState* s = stateOf("P1");
    EXPECT_EQ(s->eventFile, -1);

    GPIOManager::INSTANCE.CheckGPIOInputs();
    EXPECT_TRUE(m_runs.empty());
    setValue("P1", 5);
    GPIOManager::INSTANCE.CheckGPIOInputs();
    EXPECT_EQ(m_runs, std::vector<std::string>({"rise"}));
    EXPECT_EQ(s->lastValue, 5);
    // 5 to 1 is a change of value, and still a rising action.
    setValue("P1", 1);
    GPIOManager::INSTANCE.CheckGPIOInputs();
    EXPECT_EQ(m_runs, std::vector<std::string>({"rise", "rise"}));
    setValue("P1", 0);
    GPIOManager::INSTANCE.CheckGPIOInputs();
    EXPECT_EQ(m_runs.back(), "fall");
}

TEST_F(GPIOManagerTest, PolledChangeInsideTheIntervalWaits) {
    usePins({}, {"P1"});
    writeGpioJson(
        R"([{"enabled": true, "pin": "P1", "rising": {"command": "Test Record", "args": ["rise"]}}])");
    setupInputs();
    GPIOManager::GPIOState* s = stateOf("P1");
    ASSERT_NE(s, nullptr);
    s->lastTriggerTime = GetTime();
    setValue("P1", 1);
    GPIOManager::INSTANCE.CheckGPIOInputs();
    EXPECT_TRUE(m_runs.empty());
    s->lastTriggerTime = GetTime() - 200000;
    GPIOManager::INSTANCE.CheckGPIOInputs();
    EXPECT_EQ(m_runs, std::vector<std::string>({"rise"}));
}

TEST_F(GPIOManagerTest, BrokenLineEventIsIgnored) {
    usePins({"B1"});
    writeGpioJson(TWO_EDGES);
    setupInputs();
    GPIOManager::GPIOState* s = stateOf("B1");
    ASSERT_NE(s, nullptr);
    // Half an event: the reader refuses it, and nothing is acted on.
    const char half[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(sendBytes("B1", half, sizeof(half)));
    ASSERT_EQ(dispatch(), 1);
    EXPECT_TRUE(m_runs.empty());
    EXPECT_EQ(s->lastValue, 0);
    EXPECT_EQ(s->pendingValue, 0);
    EXPECT_FALSE(GPIOManager::INSTANCE.debounceCheckPending());
    // The pin still works afterwards.
    ASSERT_TRUE(sendEvent("B1", true));
    ASSERT_EQ(dispatch(), 1);
    EXPECT_EQ(m_runs, std::vector<std::string>({"rise"}));
}

TEST_F(GPIOManagerTest, CallbacksReplaceCommandsAndCanBeRemoved) {
    usePins({"B1"}, {"P1"});
    std::vector<int> edgeValues, pollValues;
    GPIOManager::INSTANCE.AddGPIOCallback(pin("B1"), [&](int v) {
        edgeValues.push_back(v);
        return true;
    });
    GPIOManager::INSTANCE.AddGPIOCallback(pin("P1"), [&](int v) {
        pollValues.push_back(v);
        return false;
    });
    GPIOManager::GPIOState* e = stateOf("B1");
    GPIOManager::GPIOState* p = stateOf("P1");
    ASSERT_NE(e, nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(e->hasCallback);
    EXPECT_EQ(e->debounceMicros, 100000u);
    ASSERT_GT(e->eventFile, 0);
    EXPECT_EQ(p->eventFile, -1);

    e->lastTriggerTime = p->lastTriggerTime = GetTime() - 200000;
    ASSERT_TRUE(sendEvent("B1", true));
    ASSERT_EQ(dispatch(), 1);
    setValue("P1", 1);
    GPIOManager::INSTANCE.CheckGPIOInputs();
    EXPECT_EQ(edgeValues, std::vector<int>({1}));
    EXPECT_EQ(pollValues, std::vector<int>({1}));

    // A pin that is not watched: nothing changes.
    PinCapabilities stranger("X", 99);
    GPIOManager::INSTANCE.RemoveGPIOCallback(&stranger);
    EXPECT_EQ(GPIOManager::INSTANCE.getEventStates().size(), 1u);
    EXPECT_EQ(GPIOManager::INSTANCE.getPollStates().size(), 1u);

    int fd = e->eventFile;
    GPIOManager::INSTANCE.RemoveGPIOCallback(pin("B1"));
    EXPECT_TRUE(GPIOManager::INSTANCE.getEventStates().empty());
    EXPECT_FALSE(EPollManager::INSTANCE.hasFileDescriptor(fd));
    // The line is given back: its event file has no reader any more.
    EXPECT_FALSE(sendEvent("B1", false));
    GPIOManager::INSTANCE.RemoveGPIOCallback(pin("P1"));
    EXPECT_TRUE(GPIOManager::INSTANCE.getPollStates().empty());
    setValue("P1", 0);
    GPIOManager::INSTANCE.CheckGPIOInputs();
    EXPECT_EQ(pollValues.size(), 1u);
}

TEST_F(GPIOManagerTest, CallbackMayRemoveItsOwnPin) {
    usePins({}, {"P1", "P2"});
    int calls = 0;
    GPIOManager::INSTANCE.AddGPIOCallback(pin("P1"), [&](int) {
        calls++;
        GPIOManager::INSTANCE.RemoveGPIOCallback(pin("P1"));
        GPIOManager::INSTANCE.RemoveGPIOCallback(pin("P2"));
        return false;
    });
    GPIOManager::INSTANCE.AddGPIOCallback(pin("P2"), [&](int) {
        calls += 100;
        return false;
    });
    for (auto* s : GPIOManager::INSTANCE.getPollStates()) {
        s->lastTriggerTime = GetTime() - 200000;
    }
    setValue("P1", 1);
    setValue("P2", 1);
    GPIOManager::INSTANCE.CheckGPIOInputs();
    // P2 was removed by P1's callback before its turn came.
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(GPIOManager::INSTANCE.getPollStates().empty());
}

TEST_F(GPIOManagerTest, CleanupUnregistersAndReleasesEverything) {
    usePins({"B1"}, {"P1"});
    writeGpioJson(R"([{"enabled": true, "pin": "B1", "debounceTime": 0, "rising": {"command": "Test Record"}},
                      {"enabled": true, "pin": "P1", "debounceTime": 0, "rising": {"command": "Test Record"}}])");
    setupInputs();
    ASSERT_EQ(GPIOManager::INSTANCE.getEventStates().size(), 1u);
    ASSERT_EQ(GPIOManager::INSTANCE.getPollStates().size(), 1u);
    int fd = stateOf("B1")->eventFile;
    ASSERT_TRUE(EPollManager::INSTANCE.hasFileDescriptor(fd));
    // An event waiting when Cleanup runs must not reach the freed state.
    ASSERT_TRUE(sendEvent("B1", true));

    GPIOManager::INSTANCE.Cleanup();
    EXPECT_TRUE(GPIOManager::INSTANCE.getEventStates().empty());
    EXPECT_TRUE(GPIOManager::INSTANCE.getPollStates().empty());
    EXPECT_FALSE(EPollManager::INSTANCE.hasFileDescriptor(fd));
    EXPECT_EQ(EPollManager::INSTANCE.waitForEvents(50), 0);
    setValue("P1", 1);
    GPIOManager::INSTANCE.CheckGPIOInputs();
    EXPECT_TRUE(m_runs.empty());
    EXPECT_FALSE(sendEvent("B1", true));
    // Watching can start again afterwards.
    setupInputs();
    EXPECT_EQ(GPIOManager::INSTANCE.getEventStates().size(), 1u);
}

TEST_F(GPIOManagerTest, InitializeRegistersTheGpioCommandOnlyWithPins) {
    std::map<int, std::function<bool(int)>> none;
    PinCapabilities::ClearPins();
    GPIOManager::INSTANCE.Initialize(none);
    EXPECT_FALSE(CommandManager::INSTANCE.hasCommand("GPIO"));
    usePins({"B1"});
    GPIOManager::INSTANCE.Initialize(none);
    EXPECT_TRUE(CommandManager::INSTANCE.hasCommand("GPIO"));
}

// Every member given every kind of JSON value: entries are used or skipped, never a crash.
TEST_F(GPIOManagerTest, AnyMemberTypeIsHandled) {
    usePins({"B1"}, {"P1"});
    const std::vector<std::string> values = {"null",
                                             "true",
                                             "false",
                                             "0",
                                             "-1",
                                             "1.5",
                                             "4294967",
                                             "1e300",
                                             "18446744073709551615",
                                             "-9223372036854775808",
                                             "\"\"",
                                             "\"B1\"",
                                             "\"P1\"",
                                             "[]",
                                             "[1]",
                                             "{}",
                                             "{\"command\": []}",
                                             "{\"command\": \"Test Record\", \"args\": {}}"};
    const std::vector<std::string> keys = {"enabled", "pin", "mode", "debounceTime", "rising", "falling"};
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7fff;
    };
    for (int round = 0; round < 40; round++) {
        std::string file = "[";
        for (int e = 0; e < 8; e++) {
            file += e ? ",{" : "{";
            bool first = true;
            for (const auto& k : keys) {
                if (next() % 4 == 0) {
                    continue;
                }
                file += (first ? "\"" : ",\"") + k + "\": " + values[next() % values.size()];
                first = false;
            }
            file += "}";
        }
        file += "]";
        writeGpioJson(file);
        LogCapture log;
        setupInputs();
        EXPECT_TRUE(log.contains("GPIO Input(s) enabled")) << file;
        for (auto* s : GPIOManager::INSTANCE.getPollStates()) {
            s->lastTriggerTime = 0;
        }
        setValue("P1", round % 2);
        GPIOManager::INSTANCE.CheckGPIOInputs();
        GPIOManager::INSTANCE.Cleanup();
    }
}
