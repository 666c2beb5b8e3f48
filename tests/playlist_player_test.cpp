// The playlist player's order of play: sections, passes, pauses, commands, nested
// playlists, random order and every way of stopping or skipping, against a host
// that records what it is asked and whose sequences end when the test says.
#include "TempDir.h"
#include "host/player/PlaylistPlayer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>

namespace {

class RecordingHost : public PlaylistHost {
public:
    bool StartSequence(const std::string& name, int startSecond, std::string& error, bool) override {
        if (name == "missing.lcsf") {
            error = "there is no sequence missing.lcsf";
            return false;
        }
        events.push_back(name + (startSecond ? "@" + std::to_string(startSecond) : ""));
        running = true;
        return true;
    }
    bool SequenceRunning() override { return running; }
    void StopSequence(bool blank) override {
        if (running || blank) {
            events.push_back(blank ? "blank" : "cut");
        }
        running = false;
    }
    void RunCommand(const Json::Value& command) override {
        events.push_back("command " + command["command"].asString());
        if (onCommand) {
            onCommand(command);
        }
    }
    void SetPlaying(bool p) override { playing = p; }
    int64_t NowMS() override { return nowMS; }

    // Taken and cleared.
    std::vector<std::string> take() {
        std::vector<std::string> e;
        e.swap(events);
        return e;
    }

    std::vector<std::string> events;
    bool running = false;
    bool playing = false;
    int64_t nowMS = 1000;
    std::function<void(const Json::Value&)> onCommand;
};

class PlaylistPlayerTest : public ::testing::Test {
protected:
    void write(const std::string& name, const std::string& json) {
        std::ofstream(dir.path() + "/" + name + ".json") << json;
    }
    Playlist load(const std::string& name) {
        Playlist p;
        std::vector<std::string> problems;
        EXPECT_TRUE(LoadPlaylist(dir.path(), name, p, problems)) << (problems.empty() ? "" : problems[0]);
        return p;
    }
    // The sequence playing comes to its end, and the main loop turns.
    void end() {
        host.running = false;
        player.Tick();
    }

    TempDir dir;
    RecordingHost host;
    PlaylistPlayer player{host};
};

TEST_F(PlaylistPlayerTest, LeadInOnceTheMainSectionEachPassThenTheLeadOut) {
    write("inner", "{\"mainPlaylist\": [{\"type\": \"sequence\", \"sequence\": \"c.lcsf\"}]}");
    write("evening",
          "{\"repeat\": 2, \"leadIn\": [{\"type\": \"sequence\", \"sequence\": \"a.lcsf\"}],"
          " \"mainPlaylist\": [{\"type\": \"sequence\", \"sequence\": \"b.lcsf\", \"startSecond\": 3},"
          "   {\"type\": \"pause\", \"seconds\": 1.5}, {\"type\": \"command\", \"command\": \"GPIO\","
          "   \"args\": [\"P1-11\", 1]}, {\"type\": \"sequence\", \"sequence\": \"missing.lcsf\"},"
          "   {\"type\": \"playlist\", \"playlist\": \"inner\"}],"
          " \"leadOut\": [{\"type\": \"sequence\", \"sequence\": \"d.lcsf\"}]}");
    Playlist p = load("evening");
    ASSERT_EQ(p.main.size(), 5u) << "the nested playlist is played in place";
    EXPECT_EQ(p.main[2].command["args"][1].asString(), "1");

    player.Start(p);
    EXPECT_TRUE(host.playing) << "one sequence follows another without a blank";
    EXPECT_EQ(host.take(), (std::vector<std::string>{"a.lcsf"}));
    EXPECT_EQ(player.Status()["section"].asString(), "leadIn");
    for (int pass = 1; pass <= 2; pass++) {
        end();
        EXPECT_EQ(host.take(), (std::vector<std::string>{"b.lcsf@3"})) << pass;
        end();
        // The pause: nothing until its time has passed.
        player.Tick();
        host.nowMS += 1499;
        player.Tick();
        EXPECT_TRUE(host.take().empty());
        Json::Value s = player.Status();
        EXPECT_EQ(s["description"].asString(), "pause 1.5 s");
        EXPECT_EQ(s["pass"].asInt(), pass);
        EXPECT_EQ(s["pauseLeftMs"].asInt(), 1);
        host.nowMS += 1;
        player.Tick();
        // The command runs, the sequence that cannot play is passed over, the inner one plays.
        EXPECT_EQ(host.take(), (std::vector<std::string>{"command GPIO", "c.lcsf"})) << pass;
        EXPECT_EQ(player.Status()["entry"].asInt(), 5);
    }
    end();
    EXPECT_EQ(host.take(), (std::vector<std::string>{"d.lcsf"}));
    EXPECT_EQ(player.Status()["section"].asString(), "leadOut");
    end();
    EXPECT_EQ(host.take(), (std::vector<std::string>{"blank"}));
    EXPECT_FALSE(player.Active());
    EXPECT_FALSE(host.playing);
}

TEST_F(PlaylistPlayerTest, NextPreviousAndTheThreeWaysOfStopping) {
    write("show", "{\"repeat\": true, \"leadIn\": [{\"type\": \"sequence\", \"sequence\": \"in.lcsf\"}],"
                  " \"mainPlaylist\": [{\"type\": \"sequence\", \"sequence\": \"1.lcsf\"},"
                  "   {\"type\": \"sequence\", \"sequence\": \"2.lcsf\"}, {\"type\": \"sequence\", "
                  "\"sequence\": \"3.lcsf\"}],"
                  " \"leadOut\": [{\"type\": \"sequence\", \"sequence\": \"out.lcsf\"}]}");
    const Playlist p = load("show");

    player.Start(p);
    end();
    player.Next();
    player.Next();
    player.Previous();
    EXPECT_EQ(host.take(), (std::vector<std::string>{"in.lcsf", "1.lcsf", "cut", "2.lcsf", "cut", "3.lcsf",
                                                     "cut", "2.lcsf"}));
    // Gracefully: the entry playing ends, then the lead-out, whatever pass it is.
    player.StopGracefully();
    player.Tick();
    EXPECT_TRUE(host.take().empty()) << "the entry playing is not cut";
    EXPECT_EQ(player.Status()["stopping"].asString(), "graceful");
    end();
    end();
    EXPECT_EQ(host.take(), (std::vector<std::string>{"out.lcsf", "blank"}));
    EXPECT_FALSE(player.Active());

    // After the loop: the pass is finished first.
    player.Start(p);
    end();
    end();
    player.StopAfterLoop();
    end();
    end();
    end();
    EXPECT_EQ(host.take(),
              (std::vector<std::string>{"in.lcsf", "1.lcsf", "2.lcsf", "3.lcsf", "out.lcsf", "blank"}));

    // Now: at once, dark, no lead-out; a repeat given at the start overrides the file's.
    player.Start(p, 1);
    end();
    EXPECT_EQ(player.Status()["passes"].asInt(), 1);
    player.StopNow();
    EXPECT_EQ(host.take(), (std::vector<std::string>{"in.lcsf", "1.lcsf", "blank"}));
    EXPECT_FALSE(player.Active());
    EXPECT_FALSE(host.playing);
}

TEST_F(PlaylistPlayerTest, RandomOrderPlaysEachEntryOncePerPassAndCommandsAloneDoNotSpin) {
    std::string main;
    for (int i = 0; i < 6; i++) {
        main += std::string(i ? ", " : "") + "{\"type\": \"sequence\", \"sequence\": \"" + std::to_string(i) +
                ".lcsf\"}";
    }
    write("shuffled", "{\"repeat\": 3, \"random\": true, \"mainPlaylist\": [" + main + "]}");
    player.Start(load("shuffled"));
    std::vector<std::string> all;
    while (player.Active()) {
        for (const std::string& e : host.take()) {
            all.push_back(e);
        }
        end();
    }
    ASSERT_EQ(all.size(), 18u + 0u) << "three passes of six";
    for (int pass = 0; pass < 3; pass++) {
        std::set<std::string> seen(all.begin() + pass * 6, all.begin() + pass * 6 + 6);
        EXPECT_EQ(seen.size(), 6u) << "pass " << pass << " plays each entry once";
    }

    // A main section of commands only, repeated until stopped: run once, then the lead-out.
    write("commands", "{\"repeat\": true, \"mainPlaylist\": [{\"type\": \"command\", \"command\": \"A\"}],"
                      " \"leadOut\": [{\"type\": \"command\", \"command\": \"B\"}]}");
    host.take();
    player.Start(load("commands"));
    EXPECT_EQ(host.take(), (std::vector<std::string>{"command A", "command B", "blank"}));
    EXPECT_FALSE(player.Active());

    // A command that starts another playlist replaces this one mid-entry.
    write("next", "{\"mainPlaylist\": [{\"type\": \"sequence\", \"sequence\": \"n.lcsf\"}]}");
    write("chain", "{\"mainPlaylist\": [{\"type\": \"command\", \"command\": \"Start Playlist\"},"
                   " {\"type\": \"sequence\", \"sequence\": \"never.lcsf\"}]}");
    const Playlist next = load("next");
    host.onCommand = [&](const Json::Value&) { player.Start(next); };
    player.Start(load("chain"));
    EXPECT_EQ(host.take(), (std::vector<std::string>{"command Start Playlist", "n.lcsf"}));
    EXPECT_EQ(player.PlaylistName(), "next");
}

TEST_F(PlaylistPlayerTest, ProblemsOfAFileAreAllNamed) {
    write("a", "{\"mainPlaylist\": [{\"type\": \"playlist\", \"playlist\": \"b\"}, {\"type\": \"dance\"},"
               " {\"type\": \"pause\", \"seconds\": -1}, {\"type\": \"sequence\"}], \"repeat\": 0}");
    write("b", "{\"leadOut\": [{\"type\": \"playlist\", \"playlist\": \"a\"}]}");
    Playlist p;
    std::vector<std::string> problems;
    EXPECT_FALSE(LoadPlaylist(dir.path(), "a", p, problems));
    const std::string a = dir.path() + "/a.json: ";
    const std::string b = dir.path() + "/b.json: ";
    std::vector<std::string> want = {
        a + "\"repeat\" must be true, false or a number of passes from 1",
        b + "leadOut entry 1: \"playlist\" \"a\" includes itself (a -> b -> a)",
        a + "mainPlaylist entry 1: \"playlist\" \"b\" cannot be played (above)",
        a + "mainPlaylist entry 2: \"type\" \"dance\" is not \"sequence\", \"pause\", \"command\" or "
            "\"playlist\"",
        a + "mainPlaylist entry 3: \"seconds\" must be a number of seconds above 0, at most 86400",
        a + "mainPlaylist entry 4: \"sequence\" must name a file of sequences/"};
    EXPECT_EQ(problems, want);
    problems.clear();
    EXPECT_FALSE(LoadPlaylist(dir.path(), "../etc/passwd", p, problems));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("there is no such playlist (playlists: a, b)"), std::string::npos)
        << problems[0];
}

} // namespace
