// tavod --check-config: every problem of every configuration file, each with its
// file, entry and key, and the exit status; and the same checks at start-up.
#include "TavodTestSupport.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace tavodtest;

namespace {

// A media folder where every file is right: outputs, settings, simulated pins, a
// GPIO input on one of them, presets that start a sequence that is there, models.
void writeGoodFolder(MediaDir& media) {
    ASSERT_TRUE(media.writeSequence("show.lcsf", 30, 20, 25));
    media.writeOutputs(customUdp(1, 30, 7000, "{data}"));
    media.writeConfig("settings.json",
                      "{\"LogLevel\": \"info,sequence=debug\", \"LogLevel.gpio\": \"warning\", "
                      "\"outputThreadPriority\": 20, \"blankBetweenSequences\": 1}");
    media.writeConfig("pins.json",
                      "{\"provider\": \"simulated\", \"pins\": [{\"name\": \"P1-11\", \"gpio\": 17}, "
                      "{\"name\": \"P1-13\", \"gpio\": 27}]}");
    media.writeConfig("gpio.json",
                      "[{\"pin\": \"P1-11\", \"enabled\": true, \"debounceTime\": 50, "
                      "\"rising\": {\"command\": \"Start Sequence\", \"args\": [\"show.lcsf\"]}}, "
                      "{\"pin\": \"nowhere\", \"enabled\": false}]");
    media.writeConfig(
        "commandPresets.json",
        "{\"presets\": {\"OPEN\": [{\"command\": \"Start Sequence\", \"args\": [\"show.lcsf\"]}], "
        "\"NAMED_LATER\": [{\"command\": \"Start Sequence\", \"args\": [\"%SEQUENCE_NAME%\"]}]}}");
    media.writeConfig("model-overlays.json",
                      "{\"models\": [{\"Name\": \"Tree\", \"StartChannel\": 1, \"ChannelCount\": 30}]}");
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> r;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) {
        r.push_back(l);
    }
    return r;
}

std::unique_ptr<Tavod> runCheck(const MediaDir& media, std::vector<std::string> more = {}) {
    std::vector<std::string> a = {"--media-dir", media.path(), "--plugin-dir", TAVO_PLUGIN_DIR,
                                  "--check-config"};
    a.insert(a.end(), more.begin(), more.end());
    std::unique_ptr<Tavod> t(new Tavod(media.path(), a));
    EXPECT_TRUE(t->wait());
    return t;
}

TEST(TavodCheckConfig, AGoodFolderPasses) {
    MediaDir media;
    writeGoodFolder(media);
    std::unique_ptr<Tavod> t = runCheck(media);
    EXPECT_EQ(t->exitCode(), 0) << t->out() << t->err();
    EXPECT_EQ(t->out().find("No problems: 7 file(s) checked in " + media.path()), 0) << t->out();
    EXPECT_EQ(t->err(), "") << "the problems, if any, are the list on standard output";
}

TEST(TavodCheckConfig, FiveMistakesInFiveFilesAreAllListed) {
    MediaDir media;
    writeGoodFolder(media);
    // 1. settings.json: a log level that does not exist.
    media.writeConfig("settings.json", "{\"LogLevel.sequence\": \"chatty\"}");
    // 2. channeloutputs.json: channels counted from 0, and 3. a key of the wrong type.
    media.writeOutputs(customUdp(0, 30, 7000, "{data}") +
                       ", {\"type\": \"CustomUDP\", \"startChannel\": 31, \"channelCount\": \"ten\"}");
    // 4. gpio.json: a debounce time in words, and 5. a pin the board does not have.
    media.writeConfig("gpio.json",
                      "[{\"pin\": \"P1-11\", \"enabled\": true, \"debounceTime\": \"short\", "
                      "\"rising\": {\"command\": \"Start Sequence\", \"args\": [\"show.lcsf\"]}}, "
                      "{\"pin\": \"P9-99\", \"enabled\": true, "
                      "\"falling\": {\"command\": \"Start Sequence\", \"args\": [\"show.lcsf\"]}}]");
    // 6. pins.json: a pin without a usable number.
    media.writeConfig("pins.json",
                      "{\"provider\": \"simulated\", \"pins\": [{\"name\": \"P1-11\", \"gpio\": 17}, "
                      "{\"name\": \"P1-13\", \"gpio\": \"27\"}]}");
    // 7. commandPresets.json: a preset that starts a sequence that is not there.
    media.writeConfig(
        "commandPresets.json",
        "{\"presets\": {\"OPEN\": [{\"command\": \"Start Sequence\", \"args\": [\"finale.lcsf\"]}]}}");
    // 8. model-overlays.json: a model past the last channel.
    media.writeConfig(
        "model-overlays.json",
        "{\"models\": [{\"Name\": \"Roof\", \"StartChannel\": 8388600, \"ChannelCount\": 30}]}");

    std::unique_ptr<Tavod> t = runCheck(media);
    EXPECT_EQ(t->exitCode(), 1) << t->out();
    std::string config = media.path() + "/config/";
    std::vector<std::string> want = {
        config + "settings.json: \"LogLevel.sequence\": 'chatty' is not a log level",
        config + "channeloutputs.json: channelOutputs[0] (type \"CustomUDP\"): \"startChannel\" is 0, but "
                 "channels "
                 "are counted from 1",
        config +
            "channeloutputs.json: channelOutputs[1] (type \"CustomUDP\"): \"channelCount\" must be a whole "
            "number, not the text \"ten\"",
        config + "pins.json: pin P1-13: \"gpio\" must be a number from 0; skipped",
        config + "gpio.json: entry 0 (pin P1-11): \"debounceTime\" must be a whole number of milliseconds",
        config + "gpio.json: entry 1 (pin P9-99): \"pin\" \"P9-99\" is not a pin of this board (pins: P1-11)",
        config + "commandPresets.json: preset \"OPEN\" [0]: there is no sequence " + media.path() +
            "/sequences/finale.lcsf",
        config + "model-overlays.json: models[0] (Roof): Pixel overlay model Roof: channels 8388600 to "
                 "8388629 lie "
                 "outside 1 to 8388608",
    };
    std::vector<std::string> got = lines(t->out());
    ASSERT_EQ(got.size(), want.size() + 1) << t->out();
    for (size_t i = 0; i < want.size(); i++) {
        EXPECT_EQ(got[i].compare(0, want[i].size(), want[i]), 0)
            << "want: " << want[i] << "\ngot:  " << got[i];
    }
    EXPECT_EQ(got.back(), "8 problem(s) in " + media.path());
}

TEST(TavodCheckConfig, BridgeMistakesAreListedAndStopTheStart) {
    MediaDir media;
    writeGoodFolder(media);
    media.writeConfig("bridge.json", "{\"timeoutMs\": \"long\", \"e131\": {\"universes\": [{\"universe\": 1, "
                                     "\"count\": 0}]}, \"ddp\": {\"startChannel\": 0}}");
    std::unique_ptr<Tavod> t = runCheck(media);
    EXPECT_EQ(t->exitCode(), 1) << t->out();
    std::string file = media.path() + "/config/bridge.json: ";
    std::vector<std::string> want = {
        file + "\"timeoutMs\" must be a whole number from 1 to 3600000",
        file + "\"e131\" universe entry 1: \"count\" must be a whole number from 1 to 63999",
        file + "\"ddp\" \"startChannel\" must be a whole number from 1 to 8388608",
    };
    std::vector<std::string> got = lines(t->out());
    ASSERT_EQ(got.size(), want.size() + 1) << t->out();
    for (size_t i = 0; i < want.size(); i++) {
        EXPECT_EQ(got[i].compare(0, want[i].size(), want[i]), 0)
            << "want: " << want[i] << "\ngot:  " << got[i];
    }
    // Start-up reads it the same way, and does not start with it.
    Tavod run(media.path(), tavodArgs(media, {"run"}));
    ASSERT_TRUE(run.wait());
    EXPECT_EQ(1, run.exitCode());
    EXPECT_NE(std::string::npos, run.err().find(want[1])) << run.err();
}

TEST(TavodCheckConfig, FilesThatAreNotJsonAndSequencesThatCannotPlay) {
    MediaDir media;
    writeGoodFolder(media);
    media.writeConfig("gpio.json", "[{\"pin\": ");
    media.writeConfig("model-overlays.json", "{\"models\": 3}");
    writeFileBytes(media.sequencePath("notes.txt"), "not a sequence");
    TestSequenceOptions zeroStep;
    zeroStep.stepTime = 0;
    ASSERT_TRUE(writeTestSequence(media.sequencePath("still.lcsf"), zeroStep));
    media.writeConfig("commandPresets.json",
                      "{\"presets\": {\"A\": [{\"command\": \"Start Sequence\", \"args\": [\"notes.txt\"]}], "
                      "\"B\": [{\"command\": \"Start Sequence\", \"args\": [\"still.lcsf\"]}, "
                      "{\"command\": \"Start Sequence\"}, {\"args\": [1]}]}}");
    std::unique_ptr<Tavod> t = runCheck(media);
    EXPECT_EQ(t->exitCode(), 1);
    std::string out = t->out();
    std::string config = media.path() + "/config/";
    EXPECT_NE(out.find(config + "gpio.json: not valid JSON: "), std::string::npos) << out;
    EXPECT_NE(out.find(config + "model-overlays.json: expected an object such as {\"models\""),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(config + "commandPresets.json: preset \"A\" [0]: " + media.sequencePath("notes.txt") +
                       " cannot be played: "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(config + "commandPresets.json: preset \"B\" [0]: " + media.sequencePath("still.lcsf") +
                       " cannot be played: its step time is 0 ms"),
              std::string::npos)
        << out;
    EXPECT_NE(
        out.find(config + "commandPresets.json: preset \"B\" [1]: \"args\" must start with the sequence"),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("holds an entry without a \"command\""), std::string::npos) << out;
}

TEST(TavodCheckConfig, SetOverridesAreCheckedToo) {
    MediaDir media;
    writeGoodFolder(media);
    std::unique_ptr<Tavod> t = runCheck(media, {"--set", "outputThreadPriority=120"});
    EXPECT_EQ(t->exitCode(), 1);
    EXPECT_NE(t->out().find("settings.json: \"outputThreadPriority\" is \"120\"; use 0 (off) or a real-time "
                            "priority from 1 to 99"),
              std::string::npos)
        << t->out();
}

TEST(TavodCheckConfig, AMissingMediaFolderFails) {
    TempDir dir;
    std::unique_ptr<Tavod> t(
        new Tavod(dir.path(), {"--media-dir", dir.path() + "/nothing", "--check-config"}));
    ASSERT_TRUE(t->wait());
    EXPECT_EQ(t->exitCode(), 1);
    EXPECT_EQ(t->out(), dir.path() + "/nothing: the media folder does not exist\n");
}

TEST(TavodCheckConfig, EachOutputChecksItsOwnKeysAndTyposAreNamed) {
    MediaDir media;
    writeGoodFolder(media);
    const std::string linkCard = "{\"type\": \"LinkCard\", \"startChannel\": 1, \"channelCount\": 1536, "
                                 "\"interface\": \"nosuchif0\", \"cfgVersion\": 2, ";
    const std::string panel = "\"panels\": [{\"outputNumber\": 0, \"panelNumber\": 0, \"orientation\": ";
    media.writeConfig(
        "channeloutputs.json",
        "{\"channelOutput\": [], \"channelOutputs\": [" +
            // A card whose interface is not there is no problem of the file: the check opens nothing.
            linkCard + panel + "\"N\"}]}, " + linkCard + "\"brightness\": 50.5, " + panel + "\"N\"}]}, " +
            linkCard + panel + "\"n\"}]}, " +
            "{\"type\": \"CustomUDP\", \"startChannel\": 1, \"channelCount\": 3, \"adress\": \"127.0.0.1\", "
            "\"port\": 7000, \"token\": \"{data}\"}, " +
            customUdp(1, 3, 70000, "{data}") + "]}");
    std::unique_ptr<Tavod> t = runCheck(media);
    EXPECT_EQ(t->exitCode(), 1) << t->out() << t->err();
    std::string out = t->out();
    std::string file = media.path() + "/config/channeloutputs.json: ";
    for (const std::string& want :
         {file + "unknown key \"channelOutput\"; did you mean \"channelOutputs\"?",
          file + "channelOutputs[1] (type \"LinkCard\"): LinkCard output: \"brightness\" must be a whole "
                 "number, not",
          file + "channelOutputs[2] (type \"LinkCard\"): LinkCard panel 0",
          file + "channelOutputs[3] (type \"CustomUDP\"): CustomUDP: unknown key \"adress\"; did you mean "
                 "\"address\"?",
          file + "channelOutputs[3] (type \"CustomUDP\"): CustomUDP: unknown key \"token\"; did you mean "
                 "\"tokens\"?",
          file + "channelOutputs[4] (type \"CustomUDP\"): CustomUDP output to 127.0.0.1: \"port\" 70000 is "
                 "not a UDP port"}) {
        EXPECT_NE(out.find(want), std::string::npos) << "missing: " << want << "\nin:\n" << out;
    }
    EXPECT_EQ(out.find("channelOutputs[0]"), std::string::npos) << out;
    EXPECT_EQ(out.find("nosuchif0"), std::string::npos) << "the check must not open the interface\n" << out;
}

TEST(TavodCheckConfig, StartUpWarnsOfWhatLoadingAloneWouldPassOver) {
    MediaDir media;
    writeGoodFolder(media);
    media.writeConfig(
        "commandPresets.json",
        "{\"presets\": {\"OPEN\": [{\"command\": \"Start Sequence\", \"args\": [\"finale.lcsf\"]}]}}");
    media.writeConfig("settings.json", "{\"LogLevel.gpio\": \"chatty\"}");
    uint16_t port = 0;
    std::unique_ptr<Tavod> t = startWithHttp(media, {"run"}, port);
    ASSERT_TRUE(t);
    std::string warnings = httpGet(port, "/api/warnings").body;
    EXPECT_NE(warnings.find("commandPresets.json: preset \\\"OPEN\\\" [0]: there is no sequence "),
              std::string::npos)
        << warnings;
    EXPECT_NE(warnings.find("settings.json: \\\"LogLevel.gpio\\\": 'chatty' is not a log level"),
              std::string::npos)
        << warnings;
    EXPECT_NE(t->err().find("2 configuration problem(s), see above; 'tavod --check-config' lists every one"),
              std::string::npos)
        << t->err();
    t->sendSignal(SIGTERM);
    EXPECT_TRUE(t->wait(10000));
    EXPECT_EQ(t->exitCode(), 0) << "such problems are told, and the show goes on";
}

} // namespace
