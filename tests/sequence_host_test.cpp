// Host services the playback engine calls: commands and presets, output ranges,
// host-specific files, overlay models and the channel tester.
#include "host/player/ChannelTester.h"
#include "host/player/CommandManager.h"
#include "host/core/Common.h"
#include "EngineTestSupport.h"
#include "LogCapture.h"
#include "host/output/OutputManager.h"
#include "host/output/PixelOverlay.h"
#include "host/player/RunMode.h"
#include "TempDir.h"

#include <gtest/gtest.h>
#include <cstring>

class HostCommands : public ::testing::Test {
protected:
    void SetUp() override {
        CommandManager::INSTANCE.removeAllCommands();
        CommandManager::INSTANCE.addCommand(new RecordingCommand());
        RecordingCommand::clearRuns();
    }
    void TearDown() override {
        CommandManager::INSTANCE.removeAllCommands();
        CommandManager::INSTANCE.loadPresets(dir.file("none.json"));
    }
    TempDir dir;
};

TEST_F(HostCommands, RunTakesACommandObject) {
    Json::Value c;
    c["command"] = "Record";
    c["args"].append("hello");
    c["args"].append(5);
    auto r = CommandManager::INSTANCE.run(c);
    EXPECT_FALSE(r->isError());
    EXPECT_EQ(r->get(), "OK");
    EXPECT_EQ(r->contentType(), "text/plain");
    EXPECT_EQ(RecordingCommand::runs(), (std::vector<std::string>{"hello"}));

    c["command"] = "Nope";
    r = CommandManager::INSTANCE.run(c);
    EXPECT_TRUE(r->isError());
    EXPECT_EQ(r->get(), "Unknown command: Nope");
    EXPECT_TRUE(CommandManager::INSTANCE.run(Json::Value("Record"))->isError());
    Json::Value badArgs;
    badArgs["command"] = "Record";
    badArgs["args"] = "x";
    EXPECT_TRUE(CommandManager::INSTANCE.run(badArgs)->isError());
    badArgs["args"] = Json::Value(Json::arrayValue);
    badArgs["args"].append(Json::Value(Json::objectValue));
    EXPECT_TRUE(CommandManager::INSTANCE.run(badArgs)->isError());
    EXPECT_EQ(RecordingCommand::runs().size(), 1u);
}

TEST_F(HostCommands, CommandsAreDescribedAndReplacedByName) {
    struct Hidden : Command {
        Hidden() : Command("Secret") {}
        bool hidden() override { return true; }
        std::unique_ptr<Result> run(const std::vector<std::string>&) override {
            return std::make_unique<ErrorResult>("no");
        }
    };
    CommandManager::INSTANCE.addCommand(new Hidden());
    Json::Value d = CommandManager::INSTANCE.getDescriptions();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0]["name"].asString(), "Record");
    EXPECT_EQ(d[0]["args"][0]["name"].asString(), "text");
    auto r = CommandManager::INSTANCE.run("Secret", {});
    EXPECT_TRUE(r->isError());
    EXPECT_EQ(r->get(), "no");
    CommandManager::INSTANCE.addCommand(new RecordingCommand("Secret"));
    EXPECT_FALSE(CommandManager::INSTANCE.run("Secret", {"x"})->isError());
    CommandManager::INSTANCE.removeCommand("Secret");
    EXPECT_FALSE(CommandManager::INSTANCE.hasCommand("Secret"));
}

TEST_F(HostCommands, PresetsRunTheirCommandsWithKeywords) {
    writeFileBytes(dir.file("presets.json"), R"({"presets": {
        "GO": [{"command": "Record", "args": ["%SEQUENCE_NAME% at %SEQUENCE_NAME%, %OTHER%"]},
               {"command": "Missing", "args": []},
               {"command": "Record", "args": ["second"]}],
        "BAD": "not a list",
        "MIXED": [{"command": "Record", "args": ["ok"]}, {"args": ["no command"]}]}})");
    LogCapture log;
    ASSERT_TRUE(CommandManager::INSTANCE.loadPresets(dir.file("presets.json")));
    CommandManager::INSTANCE.TriggerPreset("GO", {{"SEQUENCE_NAME", "a%b.lcsf"}});
    EXPECT_EQ(RecordingCommand::runs(),
              (std::vector<std::string>{"a%b.lcsf at a%b.lcsf, %OTHER%", "second"}));
    EXPECT_TRUE(log.contains("command \"Missing\" failed"));
    EXPECT_TRUE(log.contains("\"BAD\""));
    CommandManager::INSTANCE.TriggerPreset("MIXED");
    EXPECT_EQ(RecordingCommand::count("ok"), 1);
    CommandManager::INSTANCE.TriggerPreset("UNKNOWN", {});
    EXPECT_TRUE(log.contains("No command preset named \"UNKNOWN\""));

    writeFileBytes(dir.file("broken.json"), "{ not json");
    EXPECT_FALSE(CommandManager::INSTANCE.loadPresets(dir.file("broken.json")));
    EXPECT_FALSE(CommandManager::INSTANCE.hasPreset("GO"));
    EXPECT_TRUE(CommandManager::INSTANCE.loadPresets(dir.file("missing.json")));
}

TEST(HostOutputs, RangesMergeAndOutputsGetTheirSlice) {
    RecordingOutput a(0, 10), b(5, 10), c(15, 5), d(100, 1), empty(50, 0);
    auto& m = ChannelOutputManager::INSTANCE;
    m.RemoveAllOutputs();
    for (auto* o : {&d, &a, &b, &c, &empty}) {
        m.AddOutput(o);
    }
    m.AddOutput(&a); // once only
    EXPECT_EQ(GetOutputRanges(true), (ChannelRanges{{0, 20}, {100, 1}}));
    EXPECT_EQ(GetOutputRanges(false), (ChannelRanges{{0, 101}}));
    std::vector<uint8_t> buf(200);
    for (size_t i = 0; i < buf.size(); i++) {
        buf[i] = (uint8_t)i;
    }
    SetChannelOutputFrameNumber(41);
    PrepareChannelData(buf.data());
    SendChannelData(buf.data());
    EXPECT_EQ(b.lastFrame(), std::vector<uint8_t>({5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
    EXPECT_EQ(d.lastFrame(), std::vector<uint8_t>({100}));
    EXPECT_EQ(a.prepCount(), 1);
    EXPECT_EQ(GetChannelOutputFrameNumber(), 42);
    DisableChannelOutput();
    SendChannelData(buf.data());
    EXPECT_EQ(a.frameCount(), 1u);
    EnableChannelOutput();
    m.RemoveOutput(&d);
    EXPECT_EQ(GetOutputRanges(true), (ChannelRanges{{0, 20}}));
    m.RemoveAllOutputs();
    EXPECT_TRUE(GetOutputRanges(true).empty());

    // Without an installed thread the controls do nothing.
    StartChannelOutputThread();
    ForceChannelOutputNow();
    EXPECT_FALSE(ChannelOutputThreadIsRunning());
    ManualOutputThread t;
    m.SetOutputThread(&t);
    StartChannelOutputThread();
    EXPECT_TRUE(ChannelOutputThreadIsRunning());
    m.SetOutputThread(nullptr);
    EXPECT_FALSE(t.running) << "an uninstalled thread is stopped";
}

TEST(HostOutputs, AnOutputTypeIsItsClassNameUnlessTheOutputSaysOtherwise) {
    RecordingOutput plain(0, 3);
    EXPECT_EQ(plain.GetOutputType(), "RecordingOutput");
    Json::Value config;
    config["type"] = "SomethingElse";
    ASSERT_NE(plain.Init(config), 0);
    EXPECT_EQ(plain.GetOutputType(), "RecordingOutput") << "the configuration's \"type\" does not change it";

    class NamedOutput : public RecordingOutput {
    public:
        using RecordingOutput::RecordingOutput;
        std::string GetOutputType() const override { return "Named Panels"; }
    } named(0, 3);
    ASSERT_NE(named.Init(config), 0);
    EXPECT_EQ(named.GetOutputType(), "Named Panels");
}

TEST(HostFiles, HostSpecificFileFitsTheBufferOrIsLeftAlone) {
    TempDir dir;
    writeFileBytes(dir.file("show-h1.lcsf"), "x");
    writeFileBytes(dir.file("noext-h1"), "x");
    char path[512];
    snprintf(path, sizeof(path), "%s", dir.file("show.lcsf").c_str());
    EXPECT_FALSE(CheckForHostSpecificFile("", path, sizeof(path)));
    EXPECT_FALSE(CheckForHostSpecificFile("h2", path, sizeof(path)));
    EXPECT_TRUE(CheckForHostSpecificFile("h1", path, sizeof(path)));
    EXPECT_EQ(std::string(path), dir.file("show-h1.lcsf"));
    snprintf(path, sizeof(path), "%s", dir.file("noext").c_str());
    EXPECT_TRUE(CheckForHostSpecificFile("h1", path, sizeof(path)));
    EXPECT_EQ(std::string(path), dir.file("noext-h1"));
    // One byte short for the longer name: unchanged.
    std::string shortName = dir.file("show.lcsf");
    std::vector<char> tight(shortName.size() + 3); // "-h1" needs 3 more and the zero
    memcpy(tight.data(), shortName.c_str(), shortName.size() + 1);
    EXPECT_FALSE(CheckForHostSpecificFile("h1", tight.data(), tight.size()));
    EXPECT_EQ(std::string(tight.data()), shortName);
}

TEST(HostOverlays, ModelStatesLayTheirBuffers) {
    auto& m = PixelOverlayManager::INSTANCE;
    m.removeAllModels();
    Json::Value cfg;
    cfg["Name"] = "text";
    cfg["StartChannel"] = 11; // 1-based
    cfg["ChannelCount"] = 6;
    ASSERT_TRUE(m.addModel(cfg));
    EXPECT_FALSE(m.addModel(cfg)) << "a name is used once";
    cfg["Name"] = "huge";
    cfg["ChannelCount"] = 9000000;
    EXPECT_FALSE(m.addModel(cfg));
    PixelOverlayModel* t = m.getModel("text");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->getWidth(), 2);
    EXPECT_FALSE(m.hasActiveOverlays());
    const uint8_t src[6] = {0, 0, 7, 0, 0, 0};
    t->setData(src);
    std::vector<uint8_t> buf(32, 9);
    t->setState(PixelOverlayModel::Transparent);
    EXPECT_TRUE(m.hasActiveOverlays());
    m.doOverlays(buf.data());
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 10, buf.begin() + 16),
              (std::vector<uint8_t>{9, 9, 7, 9, 9, 9}));
    std::fill(buf.begin(), buf.end(), 9);
    t->setState(PixelOverlayModel::TransparentRGB);
    m.doOverlays(buf.data());
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 10, buf.begin() + 16),
              (std::vector<uint8_t>{0, 0, 7, 9, 9, 9}));
    t->setState(PixelOverlayModel::Enabled);
    t->setPixelValue(1, 0, 1, 2, 3);
    m.doOverlays(buf.data());
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 9, buf.begin() + 17),
              (std::vector<uint8_t>{9, 0, 0, 7, 1, 2, 3, 9}));
    m.removeAutoOverlayModel("text");
    EXPECT_NE(m.getModel("text"), nullptr) << "only automatic models go this way";
    m.removeAllModels();
}

TEST(HostTester, TestPatternCoversItsRanges) {
    auto& t = ChannelTester::INSTANCE;
    Json::Value cfg;
    cfg["enabled"] = 1;
    cfg["channelSet"] = "2-4,9-9";
    cfg["color"].append(10);
    cfg["color"].append(20);
    ASSERT_TRUE(t.SetupTest(cfg));
    EXPECT_TRUE(t.Testing());
    std::vector<uint8_t> buf(12, 0);
    t.OverlayTestData(buf.data());
    EXPECT_EQ(buf, (std::vector<uint8_t>{0, 10, 20, 10, 0, 0, 0, 0, 10, 0, 0, 0}));
    LogCapture log;
    for (const char* bad : {"0-4", "5-2", "1-x", "9000000", ""}) {
        cfg["channelSet"] = bad;
        EXPECT_FALSE(t.SetupTest(cfg)) << bad;
    }
    EXPECT_TRUE(t.Testing()) << "a bad set keeps the running test";
    cfg["enabled"] = 0;
    EXPECT_TRUE(t.SetupTest(cfg));
    EXPECT_FALSE(t.Testing());
}
