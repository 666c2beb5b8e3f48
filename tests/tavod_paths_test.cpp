// Names that reach tavod from outside (over HTTP, as a GPIO input's action, from a
// preset, as the GPIO command's pin) never open a file outside the media folder and
// never reach a shell.
#include "TavodTestSupport.h"
#include "host/core/Common.h"
#include "host/core/JsonUtils.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <set>

using namespace tavodtest;

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

class TavodPaths : public ::testing::Test {
protected:
    void SetUp() override {
        // A good sequence outside the media folder: were it opened, it would play.
        TestSequenceOptions o;
        o.frames = 400;
        ASSERT_TRUE(writeTestSequence(m_outside.file("secret.lcsf"), o));
        ASSERT_TRUE(m_media.writeSequence("show.lcsf", 64, 400, 25));
        mkdir(m_media.file("sim").c_str(), 0755);
        m_media.writeConfig("pins.json",
                            "{\"provider\": \"simulated\", \"simulatedDir\": \"" + m_media.file("sim") +
                                "\", \"pins\": [{\"name\": \"IN1\", \"gpio\": 1}, {\"name\": \"IN2\", "
                                "\"gpio\": 2}, {\"name\": \"OUT1\"}]}");
        // The way up from the sequences folder to the outside file.
        m_up = "../../" + m_outside.path().substr(1) + "/secret.lcsf";
    }
    void TearDown() override {
        if (m_tavod) {
            m_tavod->sendSignal(SIGTERM);
            EXPECT_TRUE(m_tavod->wait());
        }
    }
    // False (startWithHttp says why) when tavod did not come up: ASSERT_TRUE it.
    [[nodiscard]] bool start() {
        m_tavod = startWithHttp(m_media, {"--log-level", "debug", "run"}, m_port);
        return m_tavod != nullptr;
    }
    HttpTestResponse startSequence(const std::string& name) {
        Json::Value c;
        c["command"] = "Start Sequence";
        c["args"].append(name);
        return httpRequest(m_port, "POST", "/api/command", SaveJsonToString(c, ""),
                           "Content-Type: application/json\r\n");
    }
    std::string playing() {
        Json::Value v;
        LoadJsonFromString(httpGet(m_port, "/api/status").body, v);
        return v["status"].asString() == "playing" ? v["sequence"].asString() : "";
    }
    std::string log() { return readFileBytes(m_media.file("logs/tavod.log")); }
    bool sendEvent(const std::string& pin) {
        int fd = open(m_media.file("sim/" + pin + ".events").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        struct gpioevent_data ev;
        memset(&ev, 0, sizeof(ev));
        ev.id = GPIOEVENT_EVENT_RISING_EDGE;
        bool ok = write(fd, &ev, sizeof(ev)) == (ssize_t)sizeof(ev);
        close(fd);
        return ok;
    }

    TempDir m_outside;
    MediaDir m_media;
    std::string m_up;
    uint16_t m_port = 0;
    std::unique_ptr<Tavod> m_tavod;
};

} // namespace

TEST_F(TavodPaths, AStartSequenceRequestOpensNothingOutsideTheSequencesFolder) {
    ASSERT_EQ(symlink(m_outside.file("secret.lcsf").c_str(), m_media.sequencePath("link.lcsf").c_str()), 0);
    ASSERT_TRUE(start());
    struct Case {
        std::string name;
        std::string why;
    };
    for (const Case& c : {Case{m_up, "\"..\""}, Case{m_outside.file("secret.lcsf"), "absolute"},
                          Case{"link.lcsf", "symbolic link"}, Case{"../config/pins.json", "\"..\""},
                          Case{std::string("show.lcsf\n"), "control character"}}) {
        HttpTestResponse r = startSequence(c.name);
        EXPECT_EQ(r.status, 400) << c.name;
        EXPECT_NE(r.body.find("is not a sequence name"), std::string::npos) << r.body;
        EXPECT_NE(r.body.find(c.why), std::string::npos) << r.body;
        if (c.name == "link.lcsf") {
            EXPECT_EQ(r.body.find(m_outside.path()), std::string::npos)
                << "where a link leads is not told: " << r.body;
        }
        EXPECT_EQ(playing(), "") << c.name;
    }
    // The one inside plays.
    EXPECT_EQ(startSequence("show.lcsf").status, 200);
    EXPECT_EQ(playing(), "show.lcsf");
}

TEST_F(TavodPaths, ShellCharactersInANameRunNothing) {
    ASSERT_TRUE(start());
    const std::string marker = m_outside.file("ran");
    for (const std::string& name : {"$(touch " + marker + ")", "`touch " + marker + "`", "x;touch " + marker,
                                    "x|touch " + marker, "x&&touch " + marker}) {
        HttpTestResponse r = startSequence(name);
        EXPECT_EQ(r.status, 400) << name << ": " << r.body;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(FileExists(marker));
    EXPECT_EQ(playing(), "");
}

TEST_F(TavodPaths, AGpioInputsActionOpensNothingOutside) {
    m_media.writeConfig("gpio.json",
                        "[{\"enabled\": true, \"pin\": \"IN1\", \"debounceTime\": 10, \"rising\": "
                        "{\"command\": \"Start Sequence\", \"args\": [\"" +
                            m_up +
                            "\"]}}, {\"enabled\": true, \"pin\": \"IN2\", \"debounceTime\": "
                            "10, \"rising\": {\"command\": \"Start Sequence\", \"args\": "
                            "[\"show.lcsf\"]}}]");
    ASSERT_TRUE(start());
    // An edge within an input's debounce time of its set-up is decided later by the
    // pin's level, which a simulated edge does not change: send after that time.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(sendEvent("IN1"));
    ASSERT_TRUE(waitFor([&] { return log().find("GPIO IN1 triggered") != std::string::npos; })) << log();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(playing(), "");
    EXPECT_NE(log().find("is not a sequence name"), std::string::npos) << log();
    // The other input's action plays its sequence: the wiring works, the name did not.
    ASSERT_TRUE(sendEvent("IN2"));
    EXPECT_TRUE(waitFor([&] { return playing() == "show.lcsf"; })) << log();
}

TEST_F(TavodPaths, APresetOpensNothingOutside) {
    ASSERT_EQ(symlink(m_outside.file("secret.lcsf").c_str(), m_media.sequencePath("link.lcsf").c_str()), 0);
    m_media.writeConfig("commandPresets.json",
                        "{\"presets\": {\"SEQUENCE_STARTED\": [{\"command\": \"Start Sequence\", \"args\": "
                        "[\"link.lcsf\"]}, {\"command\": \"Start Sequence\", \"args\": [\"" +
                            m_up + "\"]}]}}");
    ASSERT_TRUE(start());
    EXPECT_EQ(startSequence("show.lcsf").status, 200);
    ASSERT_TRUE(waitFor([&] {
        std::string l = log();
        return l.find("Command preset \"SEQUENCE_STARTED\"") != std::string::npos &&
               l.find("symbolic link") != std::string::npos && l.find("\"..\"") != std::string::npos;
    })) << log();
    EXPECT_EQ(playing(), "show.lcsf") << "the preset's names opened nothing";
}

TEST_F(TavodPaths, TheGpioCommandsPinIsOnlyAName) {
    ASSERT_TRUE(start());
    std::set<std::string> before;
    auto listSim = [&] {
        std::set<std::string> names;
        if (DIR* d = opendir(m_media.file("sim").c_str())) {
            while (struct dirent* e = readdir(d)) {
                names.insert(e->d_name);
            }
            closedir(d);
        }
        return names;
    };
    before = listSim();
    for (const std::string& pin : {std::string("../../x"), m_outside.file("pin"), std::string("OUT1/../IN1"),
                                   std::string("$(touch ") + m_outside.file("ran") + ")"}) {
        Json::Value c;
        c["command"] = "GPIO";
        c["args"].append(pin);
        c["args"].append("On");
        HttpTestResponse r = httpRequest(m_port, "POST", "/api/command", SaveJsonToString(c, ""),
                                         "Content-Type: application/json\r\n");
        EXPECT_EQ(r.status, 400);
        EXPECT_EQ(r.body, "No Pin Named " + pin);
    }
    EXPECT_EQ(listSim(), before) << "no file was made for a pin that does not exist";
    EXPECT_FALSE(FileExists(m_outside.file("pin.value")));
    EXPECT_FALSE(FileExists(m_outside.file("ran")));
}
