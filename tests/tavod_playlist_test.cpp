// Unattended shows through the real daemon: a schedule window starts a playlist by
// the wall clock (tavod run under Debian's faketime, which shifts every clock the
// daemon reads), a playlist started and stopped by command and over HTTP, and
// --check-config on playlists and the schedule. A CustomUDP output on channels 1-2
// shows which sequence played when: each holds its id in channel 1 and the frame
// number in channel 2.
#include "JsonText.h"
#include "TavodTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using namespace tavodtest;

namespace {

constexpr int FRAMES = 8;
enum SequenceId { INTRO = 1, SONG = 2, OUTRO = 3 };

// One datagram: the sequence's id (0 for a blank frame) and its frame number.
struct Shown {
    int id;
    int frame;
    int64_t timeUs;
};

class TavodPlaylistTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The schedule reads local time: the same zone whatever the machine's.
        const char* tz = getenv("TZ");
        m_oldTz = tz ? tz : "";
        m_hadTz = tz != nullptr;
        setenv("TZ", "UTC", 1);
        writeSequence("intro.lcsf", INTRO);
        writeSequence("song.lcsf", SONG);
        writeSequence("outro.lcsf", OUTRO);
        media.writeOutputs(customUdp(1, 2, rx.port(), "{data}"));
        writePlaylist("evening", "{\"leadIn\": [{\"type\": \"sequence\", \"sequence\": \"intro.lcsf\"}], "
                                 "\"mainPlaylist\": [{\"type\": \"sequence\", \"sequence\": \"song.lcsf\"}], "
                                 "\"leadOut\": [{\"type\": \"sequence\", \"sequence\": \"outro.lcsf\"}]}");
    }
    void TearDown() override {
        if (m_hadTz) {
            setenv("TZ", m_oldTz.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
    }

    void writeSequence(const std::string& name, int id) {
        const std::string raw = media.path() + "/" + name + ".raw";
        std::ofstream out(raw, std::ios::binary);
        for (int f = 0; f < FRAMES; f++) {
            out.put(static_cast<char>(id)).put(static_cast<char>(f));
        }
        out.close();
        Tavod lcsf(media.path(),
                   {"create", media.sequencePath(name), "--channels", "2", "--frames", std::to_string(FRAMES),
                    "--step", "25", "--from-raw", raw},
                   -1, -1, std::string(TAVO_BIN_DIR) + "/lcsf");
        ASSERT_TRUE(lcsf.wait());
        ASSERT_EQ(lcsf.exitCode(), 0) << lcsf.err();
    }
    void writePlaylist(const std::string& name, const std::string& json) {
        ASSERT_EQ(mkdir((media.path() + "/playlists").c_str(), 0755) == 0 || errno == EEXIST, true);
        std::ofstream(media.path() + "/playlists/" + name + ".json") << json;
    }
    void writeSchedule(const std::string& start, const std::string& end) {
        media.writeConfig("schedule.json", "{\"schedule\": [{\"enabled\": true, \"playlist\": \"evening\", "
                                           "\"days\": \"everyday\", \"startTime\": \"" +
                                               start + "\", \"endTime\": \"" + end +
                                               "\", \"repeat\": true, \"stopType\": \"graceful\"}]}");
    }

    // tavod run with its clock starting at `wallClock` (UTC) and its API on `port`:
    // faketime's library preloaded as the faketime command does, so that tavod is
    // the process that takes the API's socket.
    std::unique_ptr<Tavod> runAt(const std::string& wallClock, uint16_t& port) {
        LoopbackListener listener;
        EXPECT_TRUE(listener.ok());
        port = listener.port();
        setenv("LD_PRELOAD", fakeTimeLibrary().c_str(), 1);
        setenv("FAKETIME", ("@" + wallClock).c_str(), 1);
        auto t = std::make_unique<Tavod>(media.path(), tavodArgs(media, {"run"}), -1, listener.release());
        unsetenv("LD_PRELOAD");
        unsetenv("FAKETIME");
        return t;
    }

    // What the output shows until `done` says stop or 30 s pass.
    std::vector<Shown> watch(const std::function<bool(const std::vector<Shown>&)>& done) {
        std::vector<Shown> got;
        int64_t end = nowUs() + 30000000;
        while (nowUs() < end && !done(got)) {
            Datagram d;
            if (rx.receive(d, 100) && d.bytes.size() == 2) {
                got.push_back({d.bytes[0], d.bytes[1], d.timeUs});
            }
        }
        return got;
    }

    // The ids in the order they were shown, each run of one id once (blanks as 0).
    static std::vector<int> runs(const std::vector<Shown>& shown) {
        std::vector<int> r;
        for (const Shown& s : shown) {
            if (r.empty() || r.back() != s.id) {
                r.push_back(s.id);
            }
        }
        return r;
    }

    static bool faketimeMissing() { return fakeTimeLibrary().empty(); }

    MediaDir media;
    TimedUdpReceiver rx;
    std::string m_oldTz;
    bool m_hadTz = false;
};

TEST_F(TavodPlaylistTest, AWindowPlaysTheLeadInOnceLoopsTheMainSectionThenTheLeadOut) {
    if (faketimeMissing()) {
        GTEST_SKIP() << "libfaketime is not installed (Debian package faketime, a test dependency)";
    }
    writeSchedule("17:00:00", "17:00:03");
    const int64_t started = nowUs();
    uint16_t port = 0;
    auto t = runAt("2026-12-10 16:59:58", port);
    // Until the lead-out has played and the outputs went dark.
    std::vector<Shown> shown = watch([](const std::vector<Shown>& got) {
        bool outro = false;
        for (const Shown& s : got) {
            outro = outro || s.id == OUTRO;
            if (outro && s.id == 0) {
                return true;
            }
        }
        return false;
    });
    std::vector<Shown> show;
    for (const Shown& s : shown) {
        if (s.id != 0 || !show.empty()) {
            show.push_back(s);
        }
    }
    ASSERT_FALSE(show.empty()) << "nothing played; tavod said:\n" << t->err();
    EXPECT_EQ(runs(show), (std::vector<int>{INTRO, SONG, OUTRO, 0})) << t->err();
    EXPECT_EQ(show.front().frame, 0) << "the playlist starts from its beginning";
    // Two seconds of the faked clock pass before the window opens; the window lasts three.
    EXPECT_GE(show.front().timeUs - started, 1000000) << "it started before the window";
    int songStarts = 0;
    int64_t firstOutroUs = 0;
    for (const Shown& s : show) {
        songStarts += s.id == SONG && s.frame == 0;
        if (s.id == OUTRO && !firstOutroUs) {
            firstOutroUs = s.timeUs;
        }
    }
    EXPECT_GE(songStarts, 3) << "the main section loops while the window lasts";
    // The faked clock starts with tavod, after `started`: the window ends 5 s later.
    EXPECT_GE(firstOutroUs - started, 4000000) << "the lead-out came before the window's end";
    // Idle after it, with the next day's start announced.
    Json::Value status = parseJson(httpGet(port, "/api/status").body);
    EXPECT_EQ(status["playlist"]["playlist"].asString(), "") << status.toStyledString();
    EXPECT_EQ(status["schedule"]["nextStart"].asString(), "2026-12-11 17:00:00") << status.toStyledString();
    EXPECT_EQ(status["status"].asString(), "idle");
    t->sendSignal(SIGTERM);
    EXPECT_TRUE(t->wait());
}

TEST_F(TavodPlaylistTest, StartedInsideAWindowTheShowStartsAtOnceFromTheBeginning) {
    if (faketimeMissing()) {
        GTEST_SKIP() << "libfaketime is not installed (Debian package faketime, a test dependency)";
    }
    writeSchedule("16:00", "18:00");
    uint16_t port = 0;
    auto t = runAt("2026-12-10 17:00:01", port);
    std::vector<Shown> shown =
        watch([](const std::vector<Shown>& got) { return got.size() > 0 && got.back().id == SONG; });
    std::vector<int> order = runs(shown);
    if (!order.empty() && order.front() == 0) {
        order.erase(order.begin());
    }
    EXPECT_EQ(order, (std::vector<int>{INTRO, SONG})) << t->err();
    Json::Value status = parseJson(httpGet(port, "/api/status").body);
    EXPECT_TRUE(status["playlist"]["scheduled"].asBool()) << status.toStyledString();
    EXPECT_EQ(status["playlist"]["section"].asString(), "mainPlaylist") << status.toStyledString();
    t->sendSignal(SIGTERM);
    EXPECT_TRUE(t->wait());
}

// SIGHUP reads the schedule again: a window that holds the time now starts at once.
TEST_F(TavodPlaylistTest, SighupReadsTheScheduleAgain) {
    uint16_t port = 0;
    auto t = startWithHttp(media, {"run"}, port);
    ASSERT_NE(t, nullptr);
    writeSchedule("00:00", "24:00");
    t->sendSignal(SIGHUP);
    std::vector<Shown> shown =
        watch([](const std::vector<Shown>& got) { return !got.empty() && got.back().id == INTRO; });
    ASSERT_FALSE(shown.empty()) << t->err();
    EXPECT_EQ(shown.back().id, INTRO) << t->err();
    // A schedule that does not read is refused, and the one in use kept.
    media.writeConfig("schedule.json",
                      "{\"schedule\": [{\"playlist\": \"evening\", \"startTime\": \"nine\"}]}");
    t->sendSignal(SIGHUP);
    int64_t end = nowUs() + 10000000;
    while (nowUs() < end && t->err().find("Schedule not reloaded") == std::string::npos) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_NE(t->err().find("Schedule not reloaded: the one in use is kept"), std::string::npos) << t->err();
    EXPECT_EQ(parseJson(httpGet(port, "/api/status").body)["schedule"]["entries"].asInt(), 1);
    t->sendSignal(SIGTERM);
    EXPECT_TRUE(t->wait());
}

// Started by a command, stopped gracefully over HTTP: the song playing ends, the
// lead-out plays, and the outputs go dark; a sequence started by hand replaces it.
TEST_F(TavodPlaylistTest, CommandsStartAndStopAPlaylistByHand) {
    uint16_t port = 0;
    auto t = startWithHttp(media, {"run"}, port);
    ASSERT_NE(t, nullptr);
    HttpTestResponse r = httpRequest(port, "POST", "/api/command",
                                     "{\"command\": \"Start Playlist\", \"args\": [\"evening\", \"true\"]}");
    ASSERT_EQ(r.status, 200) << r.body;
    std::vector<Shown> shown = watch([](const std::vector<Shown>& got) {
        int starts = 0;
        for (const Shown& s : got) {
            starts += s.id == SONG && s.frame == 0;
        }
        return starts >= 2;
    });
    Json::Value playing = parseJson(httpGet(port, "/api/status").body);
    EXPECT_EQ(playing["playlist"]["playlist"].asString(), "evening") << playing.toStyledString();
    EXPECT_EQ(playing["playlist"]["passes"].asInt(), 0) << "\"true\": until stopped";
    r = httpRequest(port, "POST", "/api/playback", "{\"action\": \"stopGracefully\"}");
    ASSERT_EQ(r.status, 200) << r.body;
    std::vector<Shown> rest = watch([](const std::vector<Shown>& got) {
        return !got.empty() && got.back().id == 0 && runs(got).size() > 1;
    });
    std::vector<int> order = runs(rest);
    ASSERT_FALSE(order.empty());
    if (order.front() == SONG) {
        order.erase(order.begin());
    }
    EXPECT_EQ(order, (std::vector<int>{OUTRO, 0})) << t->err();
    int outroFrames = 0;
    for (const Shown& s : rest) {
        outroFrames += s.id == OUTRO;
    }
    EXPECT_EQ(outroFrames, FRAMES) << "the whole lead-out, once";

    // A sequence started by hand while a playlist plays takes its place.
    ASSERT_EQ(
        httpRequest(port, "POST", "/api/playback", "{\"action\": \"playlist\", \"playlist\": \"evening\"}")
            .status,
        200);
    ASSERT_EQ(
        httpRequest(port, "POST", "/api/playback", "{\"action\": \"play\", \"sequence\": \"outro.lcsf\"}")
            .status,
        200);
    Json::Value byHand = parseJson(httpGet(port, "/api/status").body);
    EXPECT_EQ(byHand["playlist"]["playlist"].asString(), "") << byHand.toStyledString();
    EXPECT_EQ(httpRequest(port, "POST", "/api/playback", "{\"action\": \"playlist\", \"playlist\": \"nope\"}")
                  .status,
              400);
    t->sendSignal(SIGTERM);
    EXPECT_TRUE(t->wait());
}

TEST_F(TavodPlaylistTest, CheckConfigNamesEveryProblemOfPlaylistsAndTheSchedule) {
    writePlaylist("loop",
                  "{\"mainPlaylist\": [{\"type\": \"playlist\", \"playlist\": \"loop\"}, "
                  "{\"type\": \"sequence\", \"sequence\": \"missing.lcsf\"}, {\"type\": \"pause\"}]}");
    media.writeConfig(
        "schedule.json",
        "{\"schedule\": [{\"playlist\": \"evening\", \"startTime\": \"25:00\", \"endTime\": \"22:00\"}, "
        "{\"playlist\": \"gone\", \"startTime\": \"17:00\", \"endTime\": \"22:00\"}]}");
    Tavod t(media.path(), {"--media-dir", media.path(), "--plugin-dir", TAVO_PLUGIN_DIR, "--check-config"});
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.exitCode(), 1);
    const std::string loop = media.path() + "/playlists/loop.json: mainPlaylist entry ";
    for (const std::string& want :
         {loop + "1: \"playlist\" \"loop\" includes itself (loop -> loop)",
          loop + "2: there is no sequence " + media.sequencePath("missing.lcsf"), loop + "3: \"seconds\"",
          media.path() + "/config/schedule.json: entry 1: \"startTime\"",
          "\"playlist\": there is no " + media.path() + "/playlists/gone.json"}) {
        EXPECT_NE(t.out().find(want), std::string::npos) << want << "\nin:\n" << t.out();
    }
    // tavod run will not start on a schedule it cannot read.
    Tavod run(media.path(), tavodArgs(media, {"run"}));
    ASSERT_TRUE(run.wait());
    EXPECT_EQ(run.exitCode(), 1);
    EXPECT_NE(run.err().find("entry 1: \"startTime\""), std::string::npos) << run.err();
}

} // namespace
