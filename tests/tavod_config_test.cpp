// tavod facing bad input: configuration files, sequences, outputs that cannot start,
// and command lines. Each gets one clear message and the documented outcome.
#include "Lateness.h"
#include "TavodTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace tavodtest;

namespace {

class TavodConfigTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(media.writeSequence("show.lcsf", 600, 20, 25)); }

    // Runs tavod to its end and returns it; the test looks at the exit status and messages.
    std::unique_ptr<Tavod> run(const std::vector<std::string>& args) {
        std::unique_ptr<Tavod> t(new Tavod(media.path(), tavodArgs(media, args)));
        EXPECT_TRUE(t->wait(20000)) << "tavod did not end";
        return t;
    }
    std::unique_ptr<Tavod> play() { return run({"play", "show.lcsf"}); }

    MediaDir media;
    TimedUdpReceiver rx;
};

// A configuration the user must fix refuses to start: status 1, the file, the
// output and the key named, and nothing played.
TEST_F(TavodConfigTest, ChannelOutputsThatAreWrongStopTheStart) {
    struct Case {
        const char* what;
        std::string json;
        std::string message;
    } cases[] = {
        {"not JSON", "{\"channelOutputs\": [ {\"type\": ", "channeloutputs.json: not valid JSON"},
        {"not an object", "[1, 2]", "channeloutputs.json: expected an object"},
        {"list of the wrong type", "{\"channelOutputs\": 5}", "\"channelOutputs\" must be a list of outputs"},
        {"startChannel 0", "{\"channelOutputs\": [" + customUdp(0, 10, rx.port(), "{data}") + "]}",
         "channeloutputs.json: channelOutputs[0] (type \"CustomUDP\"): \"startChannel\" is 0, but channels "
         "are "
         "counted from 1"},
        {"past the channel buffer",
         "{\"channelOutputs\": [" + customUdp(8388000, 1000, rx.port(), "{data}") + "]}",
         "channelOutputs[0] (type \"CustomUDP\"): \"channelCount\" 1000 from \"startChannel\" 8388000 "
         "reaches "
         "channel 8388999, past the last channel 8388608"},
        {"startChannel as text",
         "{\"channelOutputs\": [{\"type\": \"CustomUDP\", \"startChannel\": \"1\", \"channelCount\": 3}]}",
         "\"startChannel\" must be a whole number, not the text \"1\""},
        {"channelCount as an object",
         "{\"channelOutputs\": [{\"type\": \"CustomUDP\", \"startChannel\": 1, \"channelCount\": {}}]}",
         "\"channelCount\" must be a whole number, not an object"},
        {"enabled as text",
         "{\"channelOutputs\": [{\"type\": \"CustomUDP\", \"enabled\": \"yes\", \"startChannel\": 1, "
         "\"channelCount\": 3}]}",
         "\"enabled\" must be 0 or 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        media.writeConfig("channeloutputs.json", c.json);
        auto t = play();
        EXPECT_EQ(t->exitCode(), 1) << t->err();
        EXPECT_NE(t->err().find(c.message), std::string::npos) << t->err();
        EXPECT_NE(t->err().find("nothing was played"), std::string::npos) << t->err();
        EXPECT_EQ(t->err().find("Playing show.lcsf"), std::string::npos);
        Datagram d;
        EXPECT_FALSE(rx.receive(d, 10));
    }
}

TEST_F(TavodConfigTest, AnUnknownTypeListsTheAvailableTypes) {
    media.writeOutputs("{\"type\": \"Lasers\", \"startChannel\": 1, \"channelCount\": 3}");
    auto t = play();
    EXPECT_EQ(t->exitCode(), 1);
    const std::string lead = "(type \"Lasers\"): unknown output type; available types: ";
    size_t at = t->err().find(lead);
    ASSERT_NE(at, std::string::npos) << t->err();
    // Every plug-in built, in order of name: the list grows with each plug-in folder.
    std::string list = t->err().substr(at + lead.size());
    list = list.substr(0, list.find('\n'));
    std::vector<std::string> types;
    for (size_t pos = 0; pos <= list.size();) {
        size_t comma = list.find(", ", pos);
        types.push_back(list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        if (comma == std::string::npos) {
            break;
        }
        pos = comma + 2;
    }
    EXPECT_TRUE(std::is_sorted(types.begin(), types.end())) << list;
    EXPECT_NE(std::find(types.begin(), types.end(), "CustomUDP"), types.end()) << list;
    EXPECT_NE(std::find(types.begin(), types.end(), "WebPreview"), types.end()) << list;
}

TEST_F(TavodConfigTest, SettingsThatDoNotParseStopTheStart) {
    media.writeOutputs(customUdp(1, 600, rx.port(), "{data}"));
    for (const char* bad : {"{\"blankBetweenSequences\": ", "[\"a\"]", "{\"x\": {\"nested\": 1}}"}) {
        SCOPED_TRACE(bad);
        media.writeConfig("settings.json", bad);
        auto t = play();
        EXPECT_EQ(t->exitCode(), 1);
        EXPECT_NE(t->err().find("settings.json"), std::string::npos) << t->err();
        EXPECT_EQ(t->err().find("Playing"), std::string::npos);
    }
}

TEST_F(TavodConfigTest, OverlayModelsThatAreWrongStopTheStart) {
    media.writeOutputs(customUdp(1, 600, rx.port(), "{data}"));
    struct Case {
        const char* json;
        const char* message;
    } cases[] = {
        {"{\"models\": [", "model-overlays.json: "},
        {"[{\"Name\": \"Preview\"}]", "model-overlays.json must hold {\"models\": [...]}"},
        {"{\"models\": [{\"Name\": \"Preview\", \"Type\": \"Memory\", \"Width\": \"160\", \"Height\": 90}]}",
         "Pixel overlay model Preview: \"Width\" must be a whole number"},
        {"{\"models\": [{\"Name\": \"Roof\", \"ChannelCount\": 30}, {\"Name\": \"Roof\", \"ChannelCount\": "
         "30}]}",
         "Pixel overlay model Roof exists already"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        media.writeConfig("model-overlays.json", c.json);
        auto t = play();
        EXPECT_EQ(t->exitCode(), 1) << t->err();
        EXPECT_NE(t->err().find(c.message), std::string::npos) << t->err();
        EXPECT_EQ(t->err().find("Playing"), std::string::npos) << t->err();
        Datagram d;
        EXPECT_FALSE(rx.receive(d, 100)) << "nothing is sent";
    }
}

// A screen that is not there is the world's problem, not the file's.
TEST_F(TavodConfigTest, AnOverlayModelWhoseScreenIsMissingIsLeftOut) {
    media.writeOutputs(customUdp(1, 600, rx.port(), "{data}"));
    media.writeConfig("model-overlays.json",
                      "{\"models\": [{\"Name\": \"Screen\", \"Type\": \"FB\", \"Device\": \"fb-tavo-none\"}, "
                      "{\"Name\": \"Preview\", \"Type\": \"Memory\", \"Width\": 16, \"Height\": 9}]}");
    auto t = play();
    EXPECT_EQ(t->exitCode(), 0) << t->err();
    EXPECT_NE(t->err().find("Overlay model Screen of " + media.path() +
                            "/config/model-overlays.json is left out: cannot open /dev/fb-tavo-none: No such "
                            "file or directory; the show goes on without it"),
              std::string::npos)
        << t->err();
    EXPECT_NE(t->err().find("1 overlay model(s) from"), std::string::npos) << t->err();
    int frames = 0;
    Datagram d;
    while (rx.receive(d, 200)) {
        frames++;
    }
    EXPECT_EQ(frames, 21); // 20 frames and the blank
}

TEST_F(TavodConfigTest, WithoutConfigurationTheShowPlaysToNothing) {
    auto t = play();
    EXPECT_EQ(t->exitCode(), 0) << t->err();
    EXPECT_NE(t->err().find("No outputs are active"), std::string::npos) << t->err();
}

// Root trying a board's media folder by hand leaves nothing its service user cannot write.
TEST_F(TavodConfigTest, RunAsRootTheLogBelongsToTheMediaFolderOwner) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run tavod on a folder another user owns";
    }
    const uid_t user = 65534;
    ASSERT_EQ(chown(media.path().c_str(), user, user), 0) << strerror(errno);
    auto t = play();
    EXPECT_EQ(t->exitCode(), 0) << t->err();
    for (const std::string& made : {media.file("logs"), media.file("logs/tavod.log")}) {
        struct stat st;
        ASSERT_EQ(stat(made.c_str(), &st), 0) << made;
        EXPECT_EQ(st.st_uid, user) << made;
        EXPECT_EQ(st.st_gid, user) << made;
    }
}

// Problems of the world rather than of the file leave one output out; the show goes on.
TEST_F(TavodConfigTest, AnUnresolvableHostWarnsAndTheOtherOutputsPlay) {
    media.writeOutputs(customUdp(1, 300, 7000, "{data}", "no-such-host.invalid") + ", " +
                       customUdp(301, 300, rx.port(), "{data}"));
    auto t = play();
    EXPECT_EQ(t->exitCode(), 0) << t->err();
    const std::string warning =
        "warning: Could not resolve host name no-such-host.invalid - disabling output";
    const size_t first = t->err().find(warning);
    EXPECT_NE(first, std::string::npos) << t->err();
    EXPECT_EQ(t->err().find(warning, first + 1), std::string::npos) << "logged twice:\n" << t->err();
    int frames = 0;
    Datagram d;
    while (rx.receive(d, 200)) {
        ASSERT_EQ(d.bytes.size(), 300u);
        frames++;
    }
    EXPECT_EQ(frames, 21); // 20 frames and the blank
}

TEST_F(TavodConfigTest, AnOutputThatFailsToInitialiseIsLeftOut) {
    // The preview's port is taken, so its Init fails.
    int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof(a);
    ASSERT_EQ(bind(blocker, (struct sockaddr*)&a, sizeof(a)), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    ASSERT_EQ(getsockname(blocker, (struct sockaddr*)&a, &len), 0);
    int taken = ntohs(a.sin_port);

    media.writeOutputs("{\"type\": \"WebPreview\", \"startChannel\": 1, \"channelCount\": 300, \"port\": " +
                       std::to_string(taken) +
                       ", \"layout\": {\"type\": \"matrix\", \"width\": 10, \"height\": 10}}, " +
                       customUdp(301, 300, rx.port(), "{data}"));
    auto t = play();
    close(blocker);
    EXPECT_EQ(t->exitCode(), 0) << t->err();
    EXPECT_NE(
        t->err().find("Output 0 (type WebPreview, channels 1 to 300) is left out: Could not bind socket"),
        std::string::npos)
        << t->err();
    EXPECT_NE(t->err().find("the show goes on without it"), std::string::npos);
    int frames = 0;
    Datagram d;
    while (rx.receive(d, 200)) {
        frames++;
    }
    EXPECT_EQ(frames, 21);
}

TEST_F(TavodConfigTest, OutputKeysOfTheWrongTypeDisableThatOutputWithAMessage) {
    media.writeOutputs("{\"type\": \"CustomUDP\", \"startChannel\": 1, \"channelCount\": 300, \"address\": "
                       "\"127.0.0.1\", \"port\": \"7000\", \"tokens\": \"{data}\"}, "
                       "{\"type\": \"CustomUDP\", \"startChannel\": 1, \"channelCount\": 300, \"address\": "
                       "[\"127.0.0.1\"], \"port\": 7000, \"tokens\": \"{data}\"}, " +
                       customUdp(301, 300, rx.port(), "{data}"));
    auto t = play();
    EXPECT_EQ(t->exitCode(), 0) << t->err();
    EXPECT_NE(t->err().find("\"port\" must be a number"), std::string::npos) << t->err();
    EXPECT_NE(t->err().find("\"address\" must be a text"), std::string::npos) << t->err();
    int frames = 0;
    Datagram d;
    while (rx.receive(d, 200)) {
        frames++;
    }
    EXPECT_EQ(frames, 21);
}

// Sequences that cannot be played: status 1 and a line that says why.
TEST_F(TavodConfigTest, SequencesThatCannotPlay) {
    media.writeOutputs(customUdp(1, 600, rx.port(), "{data}"));

    auto missing = run({"play", "nope.lcsf"});
    EXPECT_EQ(missing->exitCode(), 1);
    EXPECT_NE(missing->err().find("there is no sequence " + media.sequencePath("nope.lcsf") +
                                  " (sequences there: show.lcsf)"),
              std::string::npos)
        << missing->err();

    // Step time 0 (byte 18 of the header): the engine refuses it, and the daemon says why.
    std::string bytes = readFileBytes(media.sequencePath("show.lcsf"));
    ASSERT_GT(bytes.size(), 19u);
    bytes[18] = 0;
    writeFileBytes(media.sequencePath("still.lcsf"), bytes);
    auto still = run({"play", "still.lcsf"});
    EXPECT_EQ(still->exitCode(), 1);
    EXPECT_NE(still->err().find("cannot play still.lcsf: Sequence file"), std::string::npos) << still->err();
    EXPECT_NE(still->err().find("has a step time of 0 ms; it needs at least 1 ms per frame"),
              std::string::npos)
        << still->err();

    writeFileBytes(media.sequencePath("junk.lcsf"), std::string(300, 'x'));
    auto junk = run({"play", "junk.lcsf"});
    EXPECT_EQ(junk->exitCode(), 1);
    EXPECT_NE(junk->err().find("cannot play junk.lcsf"), std::string::npos) << junk->err();

    auto escape = run({"play", "../config/channeloutputs.json"});
    EXPECT_EQ(escape->exitCode(), 1);
    EXPECT_NE(escape->err().find("is not a sequence name"), std::string::npos) << escape->err();

    auto past = run({"play", "show.lcsf", "--start-second", "5"});
    EXPECT_EQ(past->exitCode(), 1);
    EXPECT_NE(past->err().find("cannot play show.lcsf: Start second 5 is past the end of " +
                               media.sequencePath("show.lcsf") + " (0.5 s long)"),
              std::string::npos)
        << past->err();

    Datagram d;
    while (rx.receive(d, 50)) {
        // Only blank frames may have gone out: nothing of a sequence played.
        EXPECT_TRUE(std::all_of(d.bytes.begin(), d.bytes.end(), [](uint8_t b) { return b == 0; }));
    }
}

TEST_F(TavodConfigTest, BadCommandLinesAreUsageErrors) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"play"}, "play needs a SEQUENCE"},
        {{"play", "a", "b"}, "one too many"},
        {{"play", "show.lcsf", "--repeat", "0"}, "--repeat wants a number of passes"},
        {{"play", "show.lcsf", "--loop", "--repeat", "2"}, "--loop and --repeat cannot be used together"},
        {{"play", "show.lcsf", "--start-second", "-1"}, "--start-second wants whole seconds"},
        {{"play", "show.lcsf", "--fast"}, "unknown option of play: --fast"},
        {{"--http-port", "70000", "play", "show.lcsf"}, "--http-port wants a TCP port"},
        {{"--log-level", "loud", "play", "show.lcsf"}, "--log-level wants [CHANNEL=]LEVEL"},
        {{"--log-level", "lights=debug", "play", "show.lcsf"}, "--log-level wants [CHANNEL=]LEVEL"},
        {{"--set", "novalue", "play", "show.lcsf"}, "--set wants NAME=VALUE"},
        {{"dance"}, "unknown command 'dance'"},
        {{"--media-dir"}, "--media-dir needs a value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        auto t = run(c.args);
        EXPECT_EQ(t->exitCode(), 2);
        EXPECT_NE(t->err().find(c.message), std::string::npos) << t->err();
    }
    auto help = run({"--help"});
    EXPECT_EQ(help->exitCode(), 0);
    EXPECT_NE(help->out().find("usage: tavod"), std::string::npos);
    auto version = run({"--version"});
    EXPECT_EQ(version->exitCode(), 0);
    EXPECT_EQ(version->out().compare(0, 6, "tavod "), 0);
    // The types a configuration may use, from the plug-in folder (tavodArgs names the build's).
    auto list = run({"--list-outputs"});
    EXPECT_EQ(list->exitCode(), 0) << list->err();
    EXPECT_NE(list->out().find("CustomUDP\n"), std::string::npos) << list->out();
    EXPECT_EQ(list->err(), "") << "a command that lists something prints the list alone";
    auto none = run({"--plugin-dir", media.path(), "--list-outputs"});
    EXPECT_EQ(none->exitCode(), 1);
    EXPECT_NE(none->err().find("no output plug-ins in " + media.path()), std::string::npos) << none->err();
}

TEST_F(TavodConfigTest, AMissingMediaFolderIsNamed) {
    Tavod t(media.path(),
            {"--media-dir", media.path() + "/nowhere", "--http-port", "0", "play", "show.lcsf"});
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.exitCode(), 1);
    EXPECT_NE(t.err().find("Media folder " + media.path() + "/nowhere does not exist"), std::string::npos)
        << t.err();
}

TEST_F(TavodConfigTest, SettingsAndLogLevelsFromTheCommandLine) {
    media.writeOutputs(customUdp(1, 600, rx.port(), "{data}"));
    media.writeConfig("settings.json", "{\"LogLevel\": \"warning\"}");
    // The settings file quiets the log; --log-level wins over it for one channel.
    auto t = run({"--log-level", "sequence=debug", "play", "show.lcsf"});
    EXPECT_EQ(t->exitCode(), 0);
    EXPECT_NE(t->err().find("[sequence] debug: OpenSequenceFile(show.lcsf, 0, -1)"), std::string::npos)
        << t->err();
    EXPECT_EQ(t->err().find("[player] info: Playing"), std::string::npos) << t->err();
    // The log file in the media folder has the same lines.
    std::string log = readFileBytes(media.path() + "/logs/tavod.log");
    EXPECT_NE(log.find("OpenSequenceFile(show.lcsf, 0, -1)"), std::string::npos);
}

// The processors each thread of `pid` may run on, by thread name (threads of one
// name merged).
std::map<std::string, std::set<int>> threadCpus(pid_t pid) {
    std::map<std::string, std::set<int>> cpus;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    while (struct dirent* e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] == '.') {
            continue;
        }
        std::string name, line;
        std::ifstream(dir + "/" + e->d_name + "/comm") >> name;
        std::ifstream status(dir + "/" + e->d_name + "/status");
        while (std::getline(status, line)) {
            if (line.compare(0, 19, "Cpus_allowed_list:\t") != 0) {
                continue;
            }
            // "0-1,3": ranges and single processors.
            std::string list = line.substr(19) + ",";
            for (size_t at = 0, comma; (comma = list.find(',', at)) != std::string::npos; at = comma + 1) {
                const std::string part = list.substr(at, comma - at);
                const size_t dash = part.find('-');
                const int first = atoi(part.c_str());
                const int last = dash == std::string::npos ? first : atoi(part.c_str() + dash + 1);
                for (int c = first; c <= last; c++) {
                    cpus[name].insert(c);
                }
            }
        }
    }
    if (d) {
        closedir(d);
    }
    return cpus;
}

// The processors this test may use, as tavod inherits them.
std::set<int> allowedCpus() {
    const std::vector<int> cpus = UsableCpus();
    return std::set<int>(cpus.begin(), cpus.end());
}

TEST_F(TavodConfigTest, AProcessorKeptForTheOutputThreadRunsItAlone) {
    const std::set<int> allowed = allowedCpus();
    if (allowed.size() < 2) {
        GTEST_SKIP() << "this machine lets the test use only one processor";
    }
    const int kept = *allowed.rbegin();
    media.writeOutputs(customUdp(1, 600, rx.port(), "{data}"));
    uint16_t port = 0;
    auto t = startWithHttp(media, {"--set", "outputThreadCpu=" + std::to_string(kept), "run"}, port);
    ASSERT_TRUE(t);
    ASSERT_EQ(httpRequest(port, "POST", "/api/command",
                          "{\"command\": \"Start Sequence\", \"args\": [\"show.lcsf\"]}")
                  .status,
              200);
    Datagram d;
    ASSERT_TRUE(rx.receive(d, 5000)) << t->err(); // playing: the read-ahead threads exist too
    const auto cpus = threadCpus(t->pid());
    ASSERT_TRUE(cpus.count("Tavo-ChanOut")) << "no output thread";
    EXPECT_EQ(cpus.at("Tavo-ChanOut"), std::set<int>({kept}));
    EXPECT_TRUE(cpus.count("Tavo-ReadFrames")) << "the show's reader is checked too";
    for (const auto& thread : cpus) {
        if (thread.first != "Tavo-ChanOut") {
            EXPECT_EQ(thread.second.count(kept), 0u) << thread.first << " may run on the kept processor";
        }
    }
}

TEST_F(TavodConfigTest, AProcessorTavodMayNotUseIsAWarningAndNothingIsKept) {
    uint16_t port = 0;
    auto t = startWithHttp(media, {"--set", "outputThreadCpu=1023", "run"}, port);
    ASSERT_TRUE(t);
    EXPECT_NE(httpGet(port, "/api/warnings")
                  .body.find("Setting outputThreadCpu 1023 ignored: tavod may not run on it"),
              std::string::npos);
    for (const auto& thread : threadCpus(t->pid())) {
        EXPECT_EQ(thread.second, allowedCpus()) << thread.first;
    }
}

} // namespace
