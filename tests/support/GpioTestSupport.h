// Shared set-up of the GPIO tests: a media folder with simulated pins, a command that
// records its runs, and helpers that drive the pins the way a test outside would.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "host/player/CommandManager.h"
#include "host/core/Common.h"
#include "host/core/EPollManager.h"
#include "host/hw/Pins.h"
#include "TempDir.h"
#include "gpio.h"

// Records every run: its arguments, joined by ",".
class RecordCommand : public Command {
public:
    explicit RecordCommand(std::vector<std::string>* runs) : Command("Test Record"), m_runs(runs) {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        std::string joined;
        for (const auto& a : args) {
            joined += (joined.empty() ? "" : ",") + a;
        }
        m_runs->push_back(joined);
        return std::make_unique<Result>("recorded");
    }

private:
    std::vector<std::string>* m_runs;
};

class GPIOTestBase : public ::testing::Test {
protected:
    void SetUp() override {
        setTavoMediaDir(m_media.path());
        mkdir(m_media.file("config").c_str(), 0777);
        CommandManager::INSTANCE.addCommand(new RecordCommand(&m_runs));
    }
    void TearDown() override {
        GPIOManager::INSTANCE.Cleanup();
        CommandManager::INSTANCE.removeCommand("Test Record");
        CommandManager::INSTANCE.removeCommand("GPIO");
        PinCapabilities::ClearPins();
    }

    // Simulated pins: `edgePins` deliver line events, `polledPins` are polled.
    void usePins(const std::vector<std::string>& edgePins, const std::vector<std::string>& polledPins = {}) {
        Json::Value config;
        config["provider"] = "simulated";
        config["simulatedDir"] = "sim";
        config["pins"] = Json::Value(Json::arrayValue);
        int gpio = 1;
        for (const auto& n : edgePins) {
            Json::Value p;
            p["name"] = n;
            p["gpio"] = gpio++;
            config["pins"].append(p);
        }
        for (const auto& n : polledPins) {
            Json::Value p;
            p["name"] = n;
            p["gpio"] = gpio++;
            p["edges"] = false;
            config["pins"].append(p);
        }
        ASSERT_TRUE(PinCapabilities::ConfigurePins(config, m_media.path()));
    }
    void writeGpioJson(const std::string& text) { writeFileBytes(m_media.file("config/gpio.json"), text); }
    void setupInputs() {
        std::map<int, std::function<bool(int)>> none;
        GPIOManager::INSTANCE.SetupGPIOInput(none);
    }

    std::string simFile(const std::string& name) const { return m_media.file("sim/" + name); }
    void setValue(const std::string& pin, int value) {
        writeFileBytes(simFile(pin + ".value"), std::to_string(value));
    }
    std::string pinConfig(const std::string& pin) { return readFileBytes(simFile(pin + ".config")); }

    // Writes one kernel line event into the pin's event FIFO, as the kernel would.
    bool sendEvent(const std::string& pin, bool rising) {
        struct gpioevent_data ev;
        memset(&ev, 0, sizeof(ev));
        ev.timestamp = static_cast<uint64_t>(GetTime()) * 1000;
        ev.id = rising ? GPIOEVENT_EVENT_RISING_EDGE : GPIOEVENT_EVENT_FALLING_EDGE;
        return sendBytes(pin, &ev, sizeof(ev));
    }
    bool sendBytes(const std::string& pin, const void* data, size_t len) {
        int fd = open(simFile(pin + ".events").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        bool ok = write(fd, data, len) == static_cast<ssize_t>(len);
        close(fd);
        return ok;
    }
    // Runs the event loop until it has dispatched something (or a second passes).
    int dispatch() {
        for (int i = 0; i < 10; i++) {
            int n = EPollManager::INSTANCE.waitForEvents(100);
            if (n > 0) {
                return n;
            }
        }
        return 0;
    }

    GPIOManager::GPIOState* stateOf(const std::string& pin) {
        for (auto* s : GPIOManager::INSTANCE.getEventStates()) {
            if (s->pin->name == pin) {
                return s;
            }
        }
        for (auto* s : GPIOManager::INSTANCE.getPollStates()) {
            if (s->pin->name == pin) {
                return s;
            }
        }
        return nullptr;
    }
    const PinCapabilities* pin(const std::string& name) { return PinCapabilities::getPinByName(name).ptr(); }

    TempDir m_media;
    std::vector<std::string> m_runs;
};
