// tavod end to end: started as `tavod run` with simulated pins, driven from outside
// through the pins' files and FIFOs and over its HTTP API on 127.0.0.1.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/gpio.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "TavodTestSupport.h"
#include "host/core/Common.h"
#include "HttpTestClient.h"
#include "host/core/JsonUtils.h"
#include "TempDir.h"
#include "TestSequences.h"

namespace {

bool waitFor(const std::function<bool()>& condition, int timeoutMS = 5000) {
    for (int waited = 0; waited < timeoutMS; waited += 20) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

class TavodGPIOTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* d : {"config", "sequences", "logs", "plugins", "sim"}) {
            mkdir(m_media.file(d).c_str(), 0777);
        }
        TestSequenceOptions seq;
        seq.frames = 400; // 10 s at 25 ms: still playing while the test looks
        ASSERT_TRUE(writeTestSequence(m_media.file("sequences/show.lcsf"), seq));
    }
    void TearDown() override { stop(); }

    void writePins(const std::string& pinsArray) {
        writeFileBytes(m_media.file("config/pins.json"),
                       "{\"provider\": \"simulated\", \"simulatedDir\": \"" + m_media.file("sim") +
                           "\", \"pins\": " + pinsArray + "}");
    }

    void start() {
        LoopbackListener listener;
        ASSERT_TRUE(listener.ok());
        m_port = listener.port();
        m_tavod.reset(
            new tavodtest::Tavod(m_media.path(),
                                 {"--media-dir", m_media.path(), "--plugin-dir", m_media.file("plugins"),
                                  "--quiet", "--log-level", "debug", "run"},
                                 -1, listener.release()));
        ASSERT_TRUE(waitFor([&] { return httpGet(m_port, "/api/status").status == 200; }, 15000))
            << "tavod did not answer; its log:\n"
            << readFileBytes(m_media.file("logs/tavod.log"));
    }
    // SIGTERM, then the exit status (-1 when it did not end in time).
    int stop() {
        if (!m_tavod) {
            return -1;
        }
        m_tavod->sendSignal(SIGTERM);
        bool ended = m_tavod->wait(10000);
        int code = ended ? m_tavod->exitCode() : -1;
        m_tavod.reset(); // kills it when it did not end
        return code;
    }

    Json::Value status() {
        Json::Value v;
        LoadJsonFromString(httpGet(m_port, "/api/status").body, v);
        return v;
    }
    int openEvents(const std::string& pin) {
        return open(m_media.file("sim/" + pin + ".events").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    }
    bool sendEvent(const std::string& pin, bool rising) {
        int fd = openEvents(pin);
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
    std::string simValue(const std::string& pin) {
        return readFileBytes(m_media.file("sim/" + pin + ".value"));
    }
    HttpTestResponse command(const std::string& body) {
        return httpRequest(m_port, "POST", "/api/command", body, "Content-Type: application/json\r\n");
    }

    TempDir m_media;
    uint16_t m_port = 0;
    std::unique_ptr<tavodtest::Tavod> m_tavod;
};

} // namespace

TEST_F(TavodGPIOTest, RisingEdgeStartsASequenceWhileIdle) {
    writePins(
        R"([{"name": "IN1", "gpio": 1}, {"name": "POLL1", "gpio": 2, "edges": false}, {"name": "OUT1"}])");
    writeFileBytes(m_media.file("config/gpio.json"), R"([
        {"enabled": true, "pin": "IN1", "debounceTime": 10,
         "rising": {"command": "Start Sequence", "args": ["show.lcsf"]}},
        {"enabled": true, "pin": "POLL1", "debounceTime": 10,
         "rising": {"command": "GPIO", "args": ["OUT1", "Opposite"]}}])");
    start();
    EXPECT_EQ(status()["status"].asString(), "idle");

    // A falling edge has no command: the daemon stays idle.
    ASSERT_TRUE(sendEvent("IN1", false));
    ASSERT_TRUE(sendEvent("IN1", true));
    ASSERT_TRUE(waitFor([&] { return status()["status"].asString() == "playing"; }))
        << readFileBytes(m_media.file("logs/tavod.log"));
    EXPECT_EQ(status()["sequence"].asString(), "show.lcsf");

    // A polled pin runs its command from the main loop's checks.
    writeFileBytes(m_media.file("sim/POLL1.value"), "1");
    ASSERT_TRUE(waitFor([&] { return simValue("OUT1") == "1\n"; }));
    std::string log = readFileBytes(m_media.file("logs/tavod.log"));
    EXPECT_NE(log.find("GPIO IN1 triggered.  Value:  1"), std::string::npos) << log;
    EXPECT_NE(log.find("GPIO POLL1 triggered.  Value:  1"), std::string::npos) << log;
    EXPECT_NE(log.find("2 GPIO Input(s) enabled"), std::string::npos) << log;

    EXPECT_EQ(stop(), 0);
    // Cleanup gave the line back: nothing reads its event file any more.
    EXPECT_LT(openEvents("IN1"), 0);
}

TEST_F(TavodGPIOTest, AnInputWithOneCommandRunsItOnEveryPress) {
    writePins(R"([{"name": "BUTTON", "gpio": 1}, {"name": "LAMP"}])");
    // Pulled up: a press is a falling edge, the release a rising one that runs nothing.
    writeFileBytes(m_media.file("sim/BUTTON.value"), "1");
    writeFileBytes(m_media.file("config/gpio.json"), R"([
        {"enabled": true, "pin": "BUTTON", "mode": "gpio_pu", "debounceTime": 0, "rising": "",
         "falling": {"command": "GPIO", "args": ["LAMP", "Opposite"]}}])");
    start();
    for (int press = 1; press <= 4; press++) {
        SCOPED_TRACE(press);
        ASSERT_TRUE(sendEvent("BUTTON", false));
        std::string lit = press % 2 ? "1\n" : "0\n";
        ASSERT_TRUE(waitFor([&] { return simValue("LAMP") == lit; }))
            << readFileBytes(m_media.file("logs/tavod.log"));
        ASSERT_TRUE(sendEvent("BUTTON", true));
    }
    EXPECT_EQ(stop(), 0);
}

TEST_F(TavodGPIOTest, PinListAndCommandsOverHttp) {
    writePins(R"([{"name": "IN1", "gpio": 1}, {"name": "OUT1", "gpio": 3}])");
    start();

    HttpTestResponse r = httpGet(m_port, "/gpio?list=true");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("content-type"), "application/json");
    EXPECT_EQ(r.body, R"(["IN1","OUT1"])");
    r = httpGet(m_port, "/gpio?list=TRUE");
    Json::Value all;
    ASSERT_TRUE(LoadJsonFromString(r.body, all)) << r.body;
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1]["pin"].asString(), "OUT1");
    EXPECT_EQ(all[1]["gpio"].asInt(), 3);
    r = httpGet(m_port, "/gpio/extra");
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, "Not Found");
    EXPECT_EQ(httpGet(m_port, "/other").status, 404);
    EXPECT_EQ(httpGet(m_port, "/api/options/GPIOLIST").body, R"(["IN1","OUT1"])");

    r = command(R"({"command": "GPIO", "args": ["OUT1", "On"]})");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "OK");
    EXPECT_EQ(r.header("content-type"), "text/plain");
    EXPECT_EQ(simValue("OUT1"), "1\n");
    EXPECT_EQ(command(R"({"command": "GPIO", "args": ["OUT1", "Opposite"]})").status, 200);
    EXPECT_EQ(simValue("OUT1"), "0\n");

    r = command(R"({"command": "GPIO", "args": ["X", "On"]})");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, "No Pin Named X");
    r = command(R"({"command": "GPIO", "args": ["OUT1"]})");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, "Invalid number of arguments. GPIO needs two arguments.");
    EXPECT_EQ(command("not json").status, 400);
    EXPECT_EQ(command(R"({"command": "No Such Command"})").status, 400);
    r = command(R"({"command": "Start Sequence", "args": ["missing.lcsf"]})");
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(r.body.find("missing.lcsf"), std::string::npos);
    EXPECT_EQ(status()["status"].asString(), "idle");

    r = command(R"({"command": "Start Sequence", "args": ["show.lcsf"]})");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(status()["status"].asString(), "playing");

    r = httpGet(m_port, "/api/command");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("\"Start Sequence\""), std::string::npos);
    EXPECT_EQ(httpRequest(m_port, "DELETE", "/api/command").status, 405);
    EXPECT_EQ(stop(), 0);
}

TEST_F(TavodGPIOTest, DeeplyNestedJsonIsReportedAndTheDaemonGoesOn) {
    const std::string deep = std::string(1200, '[') + std::string(1200, ']');
    writePins(R"([{"name": "IN1", "gpio": 1}, {"name": "OUT1"}])");
    writeFileBytes(m_media.file("config/gpio.json"), deep);
    writeFileBytes(m_media.file("config/commandPresets.json"), "{\"presets\": " + deep + "}");
    start();
    std::string log = readFileBytes(m_media.file("logs/tavod.log"));
    EXPECT_NE(log.find("Cannot parse " + m_media.file("config/gpio.json")), std::string::npos) << log;
    EXPECT_NE(log.find("0 GPIO Input(s) enabled"), std::string::npos) << log;

    // Commands over HTTP: such a body is a bad request, and the daemon goes on.
    EXPECT_EQ(command(deep).status, 400);
    EXPECT_EQ(command("{\"command\": \"GPIO\", \"args\": " + deep + "}").status, 400);
    EXPECT_EQ(command(std::string(3000, '[')).status, 400);
    // The first preset a command triggers loads the presets file: reported, not fatal.
    EXPECT_EQ(command(R"({"command": "Start Sequence", "args": ["show.lcsf"]})").status, 200);
    EXPECT_TRUE(waitFor([&] {
        return readFileBytes(m_media.file("logs/tavod.log")).find("Could not read command presets from") !=
               std::string::npos;
    }));
    EXPECT_EQ(command(R"({"command": "GPIO", "args": ["OUT1", "On"]})").status, 200);
    EXPECT_EQ(simValue("OUT1"), "1\n");
    EXPECT_EQ(status()["status"].asString(), "playing");
    EXPECT_EQ(stop(), 0);
}

TEST_F(TavodGPIOTest, ADeeplyNestedPinsFileLeavesNoPinsAndTheDaemonGoesOn) {
    writeFileBytes(m_media.file("config/pins.json"), std::string(1200, '[') + std::string(1200, ']'));
    start();
    std::string log = readFileBytes(m_media.file("logs/tavod.log"));
    EXPECT_NE(log.find("Cannot read " + m_media.file("config/pins.json")), std::string::npos) << log;
    EXPECT_EQ(httpGet(m_port, "/gpio").body, "[]");
    EXPECT_EQ(stop(), 0);
}

TEST_F(TavodGPIOTest, NoPinsListsNothingAndHasNoGpioCommand) {
    writePins("[]");
    start();
    EXPECT_EQ(httpGet(m_port, "/gpio").body, "[]");
    EXPECT_EQ(httpGet(m_port, "/gpio?list=true").body, "[]");
    HttpTestResponse r = command(R"({"command": "GPIO", "args": ["OUT1", "On"]})");
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(r.body.find("Unknown command"), std::string::npos) << r.body;
    EXPECT_EQ(stop(), 0);
}
