// The control page in a real headless Chromium, served by a running tavod: the test
// clicks its buttons and reads what it shows, through the browser's DevTools
// protocol on a pipe (--remote-debugging-pipe: JSON messages ending in a zero byte).
#include "JsonText.h"
#include "TavodTestSupport.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <memory>

using namespace tavodtest;

namespace {

const char* CHROMIUM = "/usr/bin/chromium";

std::string toJson(const Json::Value& v) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    return Json::writeString(w, v);
}

// Headless Chromium driven over its DevTools pipe: one page, JavaScript evaluated in it.
class Browser {
public:
    Browser(const std::string& profile, int width, int height) : m_width(width), m_height(height) {
        int toBrowser[2], fromBrowser[2];
        if (pipe2(toBrowser, O_CLOEXEC) != 0 || pipe2(fromBrowser, O_CLOEXEC) != 0) {
            return;
        }
        std::vector<std::string> argv = {CHROMIUM,
                                         "--headless",
                                         "--no-sandbox",
                                         "--disable-gpu",
                                         "--disable-quic",
                                         "--no-first-run",
                                         "--disable-background-networking",
                                         "--disable-component-update",
                                         "--disable-sync",
                                         "--remote-debugging-pipe",
                                         "--user-data-dir=" + profile,
                                         "--window-size=" + std::to_string(width) + "," +
                                             std::to_string(height),
                                         "about:blank"};
        std::vector<char*> cargs;
        for (std::string& a : argv) {
            cargs.push_back(&a[0]);
        }
        cargs.push_back(nullptr);
        int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        m_pid = fork();
        if (m_pid == 0) {
            // The browser reads commands on descriptor 3 and writes answers on 4.
            int in = dup(toBrowser[0]), out = dup(fromBrowser[1]);
            dup2(in, 3);
            dup2(out, 4);
            dup2(devnull, STDIN_FILENO);
            dup2(devnull, STDOUT_FILENO);
            dup2(devnull, STDERR_FILENO);
            execv(cargs[0], cargs.data());
            _exit(127);
        }
        close(devnull);
        close(toBrowser[0]);
        close(fromBrowser[1]);
        m_to = toBrowser[1];
        m_from = fromBrowser[0];
    }
    ~Browser() {
        if (m_to >= 0) {
            Json::Value close(Json::objectValue);
            send("Browser.close", close, "");
            ::close(m_to);
        }
        if (m_pid > 0) {
            int64_t end = nowUs() + 5000000;
            int st;
            while (waitpid(m_pid, &st, WNOHANG) == 0) {
                if (nowUs() > end) {
                    kill(m_pid, SIGKILL);
                    waitpid(m_pid, &st, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        if (m_from >= 0) {
            ::close(m_from);
        }
    }

    // Opens `url` in a new page and attaches to it; false when the browser does not answer.
    bool open(const std::string& url) {
        Json::Value p(Json::objectValue);
        p["url"] = url;
        Json::Value r = call("Target.createTarget", p, "");
        if (!r.isMember("targetId")) {
            return false;
        }
        Json::Value a(Json::objectValue);
        a["targetId"] = r["targetId"];
        a["flatten"] = true;
        r = call("Target.attachToTarget", a, "");
        m_session = r["sessionId"].asString();
        if (m_session.empty()) {
            return false;
        }
        // A phone: its width, its pixel density, its viewport rules.
        Json::Value m(Json::objectValue);
        m["width"] = m_width;
        m["height"] = m_height;
        m["deviceScaleFactor"] = 2.6;
        m["mobile"] = true;
        call("Emulation.setDeviceMetricsOverride", m, m_session);
        Json::Value reload(Json::objectValue);
        call("Page.reload", reload, m_session);
        return true;
    }

    // The value of a JavaScript expression in the page (promises awaited).
    Json::Value eval(const std::string& expression) {
        Json::Value p(Json::objectValue);
        p["expression"] = expression;
        p["returnByValue"] = true;
        p["awaitPromise"] = true;
        Json::Value r = call("Runtime.evaluate", p, m_session);
        if (r.isMember("exceptionDetails")) {
            ADD_FAILURE() << "the page threw on " << expression << ": " << toJson(r["exceptionDetails"]);
        }
        return r["result"]["value"];
    }
    // Waits until `expression` is true in the page.
    bool waitFor(const std::string& expression, int timeoutMs = 10000) {
        int64_t end = nowUs() + (int64_t)timeoutMs * 1000;
        while (nowUs() < end) {
            if (eval("!!(" + expression + ")").asBool()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    std::string text(const std::string& selector) {
        return eval("(document.querySelector(" + toJson(Json::Value(selector)) +
                    ") || {textContent: '<missing>'}).textContent")
            .asString();
    }
    void click(const std::string& selector) {
        ASSERT_TRUE(eval("(function () { var e = document.querySelector(" + toJson(Json::Value(selector)) +
                         "); if (!e || e.disabled) return false; e.click(); return true; })()")
                        .asBool())
            << "no button to click: " << selector;
    }

private:
    bool send(const std::string& method, const Json::Value& params, const std::string& session) {
        Json::Value m(Json::objectValue);
        m["id"] = ++m_nextId;
        m["method"] = method;
        m["params"] = params;
        if (!session.empty()) {
            m["sessionId"] = session;
        }
        std::string bytes = toJson(m);
        bytes.push_back('\0');
        return write(m_to, bytes.data(), bytes.size()) == (ssize_t)bytes.size();
    }
    // Sends a command and reads messages (events are passed over) until its answer.
    Json::Value call(const std::string& method, const Json::Value& params, const std::string& session) {
        if (m_to < 0 || !send(method, params, session)) {
            return Json::Value();
        }
        int id = m_nextId;
        int64_t end = nowUs() + 20000000;
        while (nowUs() < end) {
            size_t zero = m_buffer.find('\0');
            if (zero != std::string::npos) {
                Json::Value msg = parseJson(m_buffer.substr(0, zero));
                m_buffer.erase(0, zero + 1);
                if (msg["id"].asInt() == id) {
                    if (msg.isMember("error")) {
                        ADD_FAILURE() << method << ": " << toJson(msg["error"]);
                    }
                    return msg["result"];
                }
                continue;
            }
            struct pollfd p = {m_from, POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) {
                continue;
            }
            char buf[65536];
            ssize_t n = read(m_from, buf, sizeof(buf));
            if (n <= 0) {
                break;
            }
            m_buffer.append(buf, (size_t)n);
        }
        ADD_FAILURE() << "the browser did not answer " << method;
        return Json::Value();
    }

    int m_width;
    int m_height;
    pid_t m_pid = -1;
    int m_to = -1;
    int m_from = -1;
    int m_nextId = 0;
    std::string m_session;
    std::string m_buffer;
};

class ControlPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(CHROMIUM, X_OK) != 0) {
            GTEST_SKIP() << CHROMIUM << " is not installed (Debian package chromium, a test dependency)";
        }
        // 400 frames of 25 ms: ten seconds to watch the progress grow.
        ASSERT_TRUE(media.writeSequence("show.lcsf", 30, 400, 25));
        ASSERT_TRUE(media.writeSequence("intro.lcsf", 60, 80, 50));
        // A receiver, an output left out for a reason, and a preview.
        media.writeOutputs(
            customUdp(1, 30, rx.port(), "{data}") + ", " + customUdp(31, 3, 70000, "{data}") +
            ", {\"type\": \"WebPreview\", \"startChannel\": 1, \"channelCount\": 30, \"port\": 0, "
            "\"layout\": {\"type\": \"matrix\", \"width\": 10, \"height\": 1}}");
        // A playlist, and a schedule entry that is shown but never starts.
        ASSERT_EQ(mkdir((media.path() + "/playlists").c_str(), 0755), 0);
        writeFileBytes(
            media.path() + "/playlists/evening.json",
            "{\"repeat\": true, \"mainPlaylist\": [{\"type\": \"sequence\", \"sequence\": \"show.lcsf\"}]}");
        media.writeConfig("schedule.json", "{\"schedule\": [{\"enabled\": false, \"playlist\": \"evening\", "
                                           "\"days\": [\"fri\", \"sat\"], \"startTime\": \"17:00\", "
                                           "\"endTime\": \"22:30\"}]}");
        tavod = startWithHttp(media, {"run"}, port);
        ASSERT_TRUE(tavod);
    }
    void TearDown() override {
        if (tavod) {
            tavod->sendSignal(SIGTERM);
            EXPECT_TRUE(tavod->wait(10000));
            EXPECT_EQ(tavod->exitCode(), 0) << tavod->err();
        }
    }

    MediaDir media;
    TimedUdpReceiver rx;
    TempDir profile;
    uint16_t port = 0;
    std::unique_ptr<Tavod> tavod;
};

TEST_F(ControlPageTest, PlaysAListedSequenceShowsItsProgressAndStopsIt) {
    // A phone's screen.
    Browser b(profile.path(), 412, 915);
    ASSERT_TRUE(b.open("http://127.0.0.1:" + std::to_string(port) + "/"));
    ASSERT_TRUE(b.waitFor("document.querySelectorAll('#sequences tr[data-name]').length === 2"))
        << b.eval("document.body.innerText").asString();
    // The list comes from the files' headers.
    EXPECT_EQ(b.eval("Array.from(document.querySelectorAll('#sequences tr[data-name=\"intro.lcsf\"] td'))"
                     ".map(function (td) { return td.textContent; }).join('|')")
                  .asString(),
              "intro.lcsf|80|60|50 ms|0:04|Play");
    // Nothing wider than the phone: no sideways scrolling.
    EXPECT_EQ(b.eval("window.innerWidth").asInt(), 412);
    EXPECT_LE(b.eval("document.documentElement.scrollWidth").asInt(), 412)
        << b.eval("window.innerWidth + ' ' + Array.from(document.querySelectorAll('body *')).filter(function "
                  "(e) {"
                  " return e.getBoundingClientRect().right > window.innerWidth; }).map(function (e) {"
                  " return e.tagName + '#' + e.id + '.' + e.className; }).join(' ')")
               .asString();

    b.click("button.play[data-name=\"show.lcsf\"]");
    ASSERT_TRUE(b.waitFor("document.getElementById('now').textContent === 'show.lcsf'"))
        << b.text("#message");
    Datagram d;
    EXPECT_TRUE(rx.receive(d, 5000)) << "the show reaches the outputs";
    ASSERT_TRUE(b.waitFor("parseFloat(document.getElementById('progress').getAttribute('data-percent')) > 5"))
        << b.text("#elapsed");
    EXPECT_EQ(b.text("#total"), "0:10");
    EXPECT_EQ(b.text("#state"), "playing");

    b.click("#pause");
    ASSERT_TRUE(b.waitFor("document.getElementById('state').textContent === 'paused'"));
    EXPECT_EQ(b.text("#pause"), "Resume");
    b.click("#pause");
    ASSERT_TRUE(b.waitFor("document.getElementById('state').textContent === 'playing'"));

    b.click("#stop");
    ASSERT_TRUE(b.waitFor("document.getElementById('now').textContent === 'nothing plays'"));
    EXPECT_EQ(b.text("#state"), "idle");
    EXPECT_EQ(parseJson(httpGet(port, "/api/status").body)["status"].asString(), "idle");
}

TEST_F(ControlPageTest, StartsAListedPlaylistShowsWhereItIsAndStopsIt) {
    Browser b(profile.path(), 412, 915);
    ASSERT_TRUE(b.open("http://127.0.0.1:" + std::to_string(port) + "/"));
    ASSERT_TRUE(b.waitFor("document.querySelectorAll('#playlists tr[data-name]').length === 1"))
        << b.eval("document.body.innerText").asString();
    EXPECT_EQ(b.eval("Array.from(document.querySelectorAll('#schedule td')).map(function (td) {"
                     " return td.textContent; }).join('|')")
                  .asString(),
              "evening|fri sat|17:00:00|22:30:00|graceful");
    b.click("#playlists button.start-playlist");
    ASSERT_TRUE(
        b.waitFor("document.getElementById('playlist-now').textContent.indexOf('evening: mainPlaylist "
                  "1/1 (show.lcsf), pass 1, until stopped') === 0"))
        << b.text("#playlist-now") << b.text("#message");
    EXPECT_EQ(b.text("#now"), "show.lcsf");
    Datagram d;
    EXPECT_TRUE(rx.receive(d, 5000)) << "the playlist reaches the outputs";
    b.click("#pl-now");
    ASSERT_TRUE(b.waitFor("document.getElementById('playlist-now').textContent === 'no playlist plays'"));
    EXPECT_EQ(parseJson(httpGet(port, "/api/status").body)["status"].asString(), "idle");
}

TEST_F(ControlPageTest, LoopsWhenAsked) {
    Browser b(profile.path(), 412, 915);
    ASSERT_TRUE(b.open("http://127.0.0.1:" + std::to_string(port) + "/"));
    ASSERT_TRUE(b.waitFor("document.querySelectorAll('#sequences tr[data-name]').length === 2"));
    b.click("#loop");
    b.click("button.play[data-name=\"intro.lcsf\"]");
    ASSERT_TRUE(b.waitFor("document.getElementById('state').textContent === 'playing, looping'"))
        << b.text("#state");
    // The 4-second sequence starts again.
    Json::Value s;
    int64_t end = nowUs() + 12000000;
    while (nowUs() < end) {
        s = parseJson(httpGet(port, "/api/status").body);
        if (s["pass"].asInt() >= 2) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_GE(s["pass"].asInt(), 2) << s.toStyledString();
    EXPECT_EQ(s["status"].asString(), "playing");
    b.click("#stop");
    ASSERT_TRUE(b.waitFor("document.getElementById('state').textContent === 'idle'"));
}

TEST_F(ControlPageTest, RunsATestPatternAndShowsTheOutputs) {
    Browser b(profile.path(), 412, 915);
    ASSERT_TRUE(b.open("http://127.0.0.1:" + std::to_string(port) + "/"));
    ASSERT_TRUE(b.waitFor("document.querySelector('#outputs li.failed') !== null"));
    // The output left out, with its reason.
    EXPECT_EQ(b.text("#outputs li.failed .what"), "#1 CustomUDP, channels 31 to 33: left out");
    EXPECT_NE(b.text("#outputs li.failed .reason").find("\"port\" 70000 is not a UDP port"),
              std::string::npos);
    // The running ones, the preview linked to its own page.
    EXPECT_EQ(b.eval("document.querySelectorAll('#outputs li:not(.failed)').length").asInt(), 2);
    std::string href = b.eval("document.querySelector('#outputs a.preview').getAttribute('href')").asString();
    EXPECT_EQ(href.compare(0, 14, "/preview?port="), 0) << href;
    EXPECT_EQ(httpGet(port, href).status, 200) << "the preview page is served where the link goes";
    ASSERT_TRUE(b.waitFor("document.getElementById('warnings').textContent.indexOf('is left out') >= 0"));

    // A red test over the first three channels.
    b.eval("document.getElementById('test-mode').value = 'color';"
           "document.getElementById('test-channels').value = '1-3';"
           "document.getElementById('test-color').value = '#0a141e'; true");
    b.click("#test-start");
    ASSERT_TRUE(b.waitFor(
        "document.getElementById('test-status').textContent.indexOf('running: color on 1-3') === 0"))
        << b.text("#test-status") << " / " << b.text("#message");
    int64_t end = nowUs() + 3000000;
    Datagram d;
    bool seen = false;
    std::vector<uint8_t> want(30, 0);
    want[0] = 10;
    want[1] = 20;
    want[2] = 30;
    while (!seen && nowUs() < end && rx.receive(d, 500)) {
        seen = d.bytes == want;
    }
    EXPECT_TRUE(seen) << "the test colour reaches the receiver";
    b.click("#test-stop");
    ASSERT_TRUE(b.waitFor("document.getElementById('test-status').textContent === 'off'"));

    // A log level changed from the page.
    b.eval("var s = document.getElementById('log-sequence'); s.value = 'debug';"
           "s.dispatchEvent(new Event('change')); true");
    end = nowUs() + 5000000;
    std::string level;
    while (nowUs() < end && level != "debug") {
        level = parseJson(httpGet(port, "/api/settings/LogLevel.sequence").body)["value"].asString();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(level, "debug");
}

} // namespace
