// GPIO commands from the threads that run them in tavod, at once: the presets of
// the frames the output thread sends, an input's action on the event loop, and
// commands on the web server's thread (as when no loop runs). Also built under
// ThreadSanitizer as the test "gpio_tsan".
#include "host/core/EPollManager.h"
#include "LogCapture.h"
#include "host/hw/Pins.h"
#include "SequenceFixture.h"
#include "gpio.h"

#include <fcntl.h>
#include <linux/gpio.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <thread>

namespace {

class GPIOThreads : public SequenceFixture {
protected:
    void SetUp() override {
        SequenceFixture::SetUp();
        mkdir(dir.file("sim").c_str(), 0755);
        Json::Value pins;
        pins["provider"] = "simulated";
        pins["simulatedDir"] = dir.file("sim");
        pins["pins"].append(Json::Value(Json::objectValue));
        pins["pins"][0]["name"] = "BTN";
        pins["pins"].append(Json::Value(Json::objectValue));
        pins["pins"][1]["name"] = "LAMP";
        ASSERT_TRUE(PinCapabilities::ConfigurePins(pins, dir.path()));
        writeFileBytes(dir.file("config/gpio.json"), R"([{"enabled": true, "pin": "BTN", "debounceTime": 0,
            "rising": {"command": "GPIO", "args": ["LAMP", "Opposite"]},
            "falling": {"command": "GPIO", "args": ["LAMP", "Opposite"]}}])");
        std::map<int, std::function<bool(int)>> none;
        GPIOManager::INSTANCE.Initialize(none);
        ASSERT_TRUE(CommandManager::INSTANCE.hasCommand("GPIO"));
    }
    void TearDown() override {
        GPIOManager::INSTANCE.Cleanup();
        EPollManager::INSTANCE.detachLoop();
        CommandManager::INSTANCE.removeCommand("GPIO");
        PinCapabilities::ClearPins();
        SequenceFixture::TearDown();
    }

    // Writes one kernel line event into the pin's event FIFO, as the kernel would.
    bool sendEvent(const std::string& pin, bool rising) {
        int fd = open(dir.file("sim/" + pin + ".events").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        struct gpioevent_data ev;
        memset(&ev, 0, sizeof(ev));
        ev.id = rising ? GPIOEVENT_EVENT_RISING_EDGE : GPIOEVENT_EVENT_FALLING_EDGE;
        bool ok = write(fd, &ev, sizeof(ev)) == (ssize_t)sizeof(ev);
        close(fd);
        return ok;
    }

    std::vector<std::string> trace(const std::string& pin) {
        std::vector<std::string> lines;
        std::istringstream in(readFileBytes(dir.file("sim/" + pin + ".trace")));
        for (std::string l; std::getline(in, l);) {
            lines.push_back(l);
        }
        return lines;
    }
};

} // namespace

TEST_F(GPIOThreads, APerFramePresetAnInputAndHttpCommandsDriveOnePin) {
    // Every frame fires "t" or "t_END"; both toggle the lamp and are counted.
    writePresets(R"({"presets": {
        "t": [{"command": "GPIO", "args": ["LAMP", "Opposite"]}, {"command": "Record", "args": ["t"]}],
        "t_END": [{"command": "GPIO", "args": ["LAMP", "Opposite"]}, {"command": "Record", "args": ["t"]}]}})");
    const int frames = 120;
    std::vector<std::pair<int, int>> pairs;
    for (int f = 0; f + 1 < frames; f += 2) {
        pairs.emplace_back(f, f + 1);
    }
    makeSequence("a.lcsf", frames, 5, {actionHeader('C', {{"t", pairs}})});
    LogCapture log(LOG_DEBUG);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->StartSequence();

    std::thread output([this] {
        while (seq->IsSequenceRunning()) {
            step();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    const int httpRuns = 40;
    std::thread http([] {
        for (int i = 0; i < httpRuns; i++) {
            CommandManager::INSTANCE.run("GPIO", {"LAMP", "Opposite"});
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    // This thread is the event loop: the button goes up and down while the show plays.
    bool up = true;
    for (int i = 0; i < 300 && (seq->IsSequenceRunning() || i < 40); i++) {
        ASSERT_TRUE(sendEvent("BTN", up));
        up = !up;
        EPollManager::INSTANCE.waitForEvents(20);
        GPIOManager::INSTANCE.CheckGPIOInputs();
    }
    output.join();
    http.join();
    ASSERT_FALSE(seq->IsSequenceRunning());

    int presets = RecordingCommand::count("t");
    int inputs = log.count("GPIO BTN triggered.");
    EXPECT_GT(presets, 0);
    EXPECT_GT(inputs, 0);
    // The output request drove the lamp to 0; then every run toggled it exactly once.
    std::vector<std::string> t = trace("LAMP");
    ASSERT_EQ(t.size(), (size_t)(1 + presets + inputs + httpRuns));
    for (size_t i = 0; i < t.size(); i++) {
        ASSERT_EQ(t[i], i % 2 ? "1" : "0") << "value " << i << ": a toggle was lost or doubled";
    }
}
