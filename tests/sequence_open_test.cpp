// Playback engine: construction, settings, opening (paths, fallback, bad files),
// the per-frame action tables, starting and closing.
#include "LogCapture.h"
#include "SequenceFixture.h"

#include <cstring>

using SequenceOpen = SequenceFixture;

TEST_F(SequenceOpen, BufferIsZeroedWithItsTrailingMark) {
    EXPECT_EQ(seq->seqData[0], 0);
    EXPECT_EQ(seq->seqData[TAVO_MAX_CHANNELS - 1], 0);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(seq->seqData[TAVO_MAX_CHANNELS + i], 0);
    }
    EXPECT_EQ(seq->seqData[TAVO_MAX_CHANNELS + 4], 0xFF);
}

TEST_F(SequenceOpen, SettingsAreReadAtStartAndFollowed) {
    seq.reset();
    setSetting("blankBetweenSequences", "1");
    setSetting("bridgeDataPriority", "Prioritize Sequence");
    seq = std::make_unique<Sequence>();
    EXPECT_EQ(seq->blankBetweenSequences, 1);
    EXPECT_TRUE(seq->prioritizeSequence);
    EXPECT_FALSE(seq->warnWhenPlaying);

    setSetting("blankBetweenSequences", "0");
    EXPECT_EQ(seq->blankBetweenSequences, 0);
    setSetting("bridgeDataPriority", "Something Else");
    EXPECT_FALSE(seq->prioritizeSequence);
    EXPECT_FALSE(seq->warnWhenPlaying);
    setSetting("bridgeDataPriority", "Warn If Sequence Running");
    EXPECT_TRUE(seq->prioritizeSequence);
    EXPECT_TRUE(seq->warnWhenPlaying);

    // A destroyed engine no longer hears the settings.
    seq.reset();
    setSetting("blankBetweenSequences", "1");
    setSetting("bridgeDataPriority", "Prioritize Sequence");
}

TEST_F(SequenceOpen, OpenLoadsTheFirstFrameAndTimes) {
    makeSequence("a.lcsf", 1000, 50);
    LogCapture log;
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    EXPECT_EQ(seq->seqStarting, 1);
    EXPECT_FALSE(seq->IsSequenceRunning());
    EXPECT_EQ(seq->seqMSDuration, 50000);
    EXPECT_EQ(seq->seqMSRemaining, 50000);
    EXPECT_FLOAT_EQ(seq->seqRefreshRate, 20.0f);
    EXPECT_FLOAT_EQ(GetChannelOutputRefreshRate(), 20.0f);
    EXPECT_EQ(seq->GetLoadedFrameNumber(), 0);
    std::vector<uint8_t> slice(seq->seqData, seq->seqData + OUT_CHANNELS);
    EXPECT_EQ(frameOf(slice), 0);
    EXPECT_TRUE(log.contains("OpenSequenceFile(a.lcsf, 0, -1)"));
    EXPECT_TRUE(log.contains("seqMSDuration         : 50000"));
    // The reader fills its queue before the start, up to 40 frames.
    EXPECT_TRUE(waitFor([this] { return seq->CachedFrameCount() == 40; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(seq->CachedFrameCount(), 40u);
    EXPECT_EQ(seq->lastFrameRead, 40);
}

TEST_F(SequenceOpen, OpeningTheSameUnstartedFileChangesNothing) {
    makeSequence("a.lcsf", 100);
    std::atomic<int> opens{0};
    seq->setFileOpener([&opens](const std::string& p) {
        opens++;
        return LCSFFile::openLCSFFile(p);
    });
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    LCSFFile* first = seq->seqFile;
    EXPECT_EQ(seq->OpenSequenceFile("a.lcsf", 5, -1), 1);
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(seq->seqFile.load(), first);
    EXPECT_EQ(seq->GetLoadedFrameNumber(), 0);
}

TEST_F(SequenceOpen, OpeningTheRunningFileClosesAndReopensIt) {
    makeSequence("a.lcsf", 100);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->StartSequence();
    EXPECT_TRUE(seq->IsSequenceRunning("a.lcsf"));
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    EXPECT_FALSE(seq->IsSequenceRunning());
    EXPECT_EQ(seq->seqStarting, 1);
    seq->StartSequence();
    EXPECT_EQ(RecordingCommand::runs(),
              (std::vector<std::string>{"started a.lcsf", "stopped a.lcsf", "started a.lcsf"}));
}

TEST_F(SequenceOpen, OpeningAnotherFileWhileRunningClosesTheFirst) {
    makeSequence("a.lcsf", 100);
    makeSequence("b.lcsf", 100);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->StartSequence();
    waitQueued();
    step();
    ASSERT_EQ(seq->OpenSequenceFile("b.lcsf", 0, -1), 1);
    EXPECT_EQ(seq->GetSequenceName(), "b.lcsf");
    EXPECT_EQ(RecordingCommand::count("stopped a.lcsf"), 1);
    EXPECT_EQ(seq->GetLoadedFrameNumber(), 0);
    EXPECT_FALSE(seq->IsSequenceRunning("a.lcsf"));
}

TEST_F(SequenceOpen, StartSecondAndStartFrameChooseTheFirstFrame) {
    makeSequence("a.lcsf", 200, 25);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, 2), 1);
    // 2 s at 25 ms: the reader continues after frame 79.
    EXPECT_EQ(seq->GetLoadedFrameNumber(), 80);
    seq->CloseSequenceFile();

    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, 0), 1);
    EXPECT_EQ(seq->GetLoadedFrameNumber(), 0);
    seq->CloseSequenceFile();

    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 30, -1), 1);
    EXPECT_EQ(seq->GetLoadedFrameNumber(), 30);
    EXPECT_EQ(GetChannelOutputFrameNumber(), 30);
}

TEST_F(SequenceOpen, AStartPastTheEndOrAnEmptyFileOpensNothing) {
    makeSequence("short.lcsf", 10, 50); // 0.5 s
    makeSequence("empty.lcsf", 0, 50);
    struct Case {
        const char* name;
        int startFrame, startSecond;
        const char* message;
    } cases[] = {
        {"short.lcsf", 0, 5, "Start second 5 is past the end of "},
        {"short.lcsf", 0, 1, "Start second 1 is past the end of "},
        {"short.lcsf", 10, -1, "Start frame 10 is past the end of "},
        {"empty.lcsf", 0, -1, " holds no frames"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.startFrame) + " " +
                     std::to_string(c.startSecond));
        LogCapture log;
        RecordingCommand::clearRuns();
        EXPECT_EQ(seq->OpenSequenceFile(c.name, c.startFrame, c.startSecond), 0);
        EXPECT_EQ(seq->seqFile.load(), nullptr);
        EXPECT_EQ(seq->seqStarting, 0);
        EXPECT_EQ(seq->GetSequenceName(), "");
        EXPECT_TRUE(log.contains(c.message)) << log.text();
        EXPECT_TRUE(log.contains(dir.file("sequences/") + c.name)) << "the message names the file";
        EXPECT_TRUE(RecordingCommand::runs().empty()) << "nothing was opened, so nothing stopped";
    }
    // The last frame is still a place to start.
    EXPECT_EQ(seq->OpenSequenceFile("short.lcsf", 9, -1), 1);
    EXPECT_NE(seq->seqFile.load(), nullptr);
    EXPECT_EQ(seq->seqStarting, 1);
}

TEST_F(SequenceOpen, MissingFileFailsWithAWarning) {
    LogCapture log;
    EXPECT_EQ(seq->OpenSequenceFile("nope.lcsf", 0, -1), 0);
    EXPECT_EQ(seq->seqStarting, 0);
    EXPECT_EQ(seq->seqFile.load(), nullptr);
    EXPECT_EQ(seq->GetSequenceName(), "") << "a failed open forgets the name";
    std::string path = dir.file("sequences/nope.lcsf");
    EXPECT_TRUE(log.contains("Sequence file " + path + " does not exist"));
    auto w = WarningHolder::GetWarnings();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0], "Sequence file " + path + " does not exist\n");

    EXPECT_EQ(seq->OpenSequenceFile("", 0, -1), 0);
    EXPECT_TRUE(log.contains("Empty Sequence Filename!"));
}

TEST_F(SequenceOpen, RemoteModePlaysTheFallbackForAMissingFile) {
    setTavomode(TAVO_MODE_REMOTE);
    makeSequence("fallback.lcsf", 50);
    LogCapture log;
    ASSERT_EQ(seq->OpenSequenceFile("nope.lcsf", 0, -1), 1);
    EXPECT_EQ(seq->GetSequenceName(), "fallback.lcsf");
    EXPECT_TRUE(log.contains("Playing Fallback Sequence file " + dir.file("sequences/fallback.lcsf")));
    EXPECT_TRUE(WarningHolder::GetWarnings().empty());
    seq->StartSequence("nope.lcsf", 0);
    EXPECT_TRUE(seq->IsSequenceRunning("fallback.lcsf"));
}

TEST_F(SequenceOpen, RemoteModeWithoutFallbackWarnsAboutTheFirstPath) {
    setTavomode(TAVO_MODE_REMOTE);
    LogCapture log;
    EXPECT_EQ(seq->OpenSequenceFile("nope.lcsf", 0, -1), 0);
    EXPECT_TRUE(
        log.contains("Fallback Sequence file " + dir.file("sequences/fallback.lcsf") + " does not exist"));
    auto w = WarningHolder::GetWarnings();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0], "Sequence file " + dir.file("sequences/nope.lcsf") + " does not exist\n");
}

TEST_F(SequenceOpen, RemoteModePrefersTheHostSpecificFile) {
    makeSequence("show.lcsf", 50);
    TestSequenceOptions o;
    o.channels = 128;
    o.frames = 50;
    o.stepTime = 40;
    ASSERT_TRUE(writeTestSequence(dir.file("sequences/show-stage2.lcsf"), o));
    setSetting("HostName", "stage2");
    ASSERT_EQ(seq->OpenSequenceFile("show.lcsf", 0, -1), 1);
    EXPECT_EQ(seq->seqStepTime, 50) << "outside run mode 8 the host name is not looked at";
    seq->CloseSequenceFile();
    setTavomode(TAVO_MODE_REMOTE);
    ASSERT_EQ(seq->OpenSequenceFile("show.lcsf", 0, -1), 1);
    EXPECT_EQ(seq->seqStepTime, 40);
    EXPECT_EQ(seq->GetSequenceName(), "show.lcsf");
}

TEST_F(SequenceOpen, UnreadableFileFails) {
    writeFileBytes(dir.file("sequences/bad.lcsf"), "not a sequence file at all");
    LogCapture log;
    EXPECT_EQ(seq->OpenSequenceFile("bad.lcsf", 0, -1), 0);
    EXPECT_TRUE(log.contains("Error opening sequence file: " + dir.file("sequences/bad.lcsf") +
                             ". LCSFFile::openLCSFFile returned NULL"));
    EXPECT_EQ(seq->seqStarting, 0);
    EXPECT_EQ(seq->seqFile.load(), nullptr);
}

TEST_F(SequenceOpen, StepTimeZeroIsRefused) {
    makeSequence("zero.lcsf", 10, 0);
    LogCapture log;
    EXPECT_EQ(seq->OpenSequenceFile("zero.lcsf", 0, 3), 0);
    EXPECT_TRUE(log.contains("has a step time of 0 ms")) << log.text();
    EXPECT_EQ(seq->seqFile.load(), nullptr);
    EXPECT_EQ(seq->seqStarting, 0);
    EXPECT_FALSE(seq->IsSequenceRunning());
}

TEST_F(SequenceOpen, OverlongPathIsRefusedNotCut) {
    std::string deep;
    while (dir.file("sequences/" + deep).size() < 2000) {
        deep += "d/";
    }
    deep.pop_back();
    std::string base = dir.file("sequences/" + deep);
    ASSERT_EQ(system(("mkdir -p " + base).c_str()), 0);
    std::string name = deep + "/" + std::string(100, 'x');
    std::string full = dir.file("sequences/" + name);
    // The part that fits the buffer names a real file: cutting would open it.
    std::string cut = full.substr(0, TAVO_SEQUENCE_PATH_MAX - 1);
    writeFileBytes(cut, "not a sequence");
    ASSERT_TRUE(FileExists(cut));
    LogCapture log;
    EXPECT_EQ(seq->OpenSequenceFile(name, 0, -1), 0);
    EXPECT_TRUE(log.contains("longer than 2047")) << log.text();
    EXPECT_FALSE(log.contains("Error opening sequence file"));
    EXPECT_EQ(seq->seqStarting, 0);
    EXPECT_EQ(seq->seqFile.load(), nullptr);
}

TEST_F(SequenceOpen, ActionTablesComeFromTheHeaders) {
    makeSequence(
        "a.lcsf", 100, 50,
        {actionHeader('C', {{"x", {{10, 20}}}, {"z", {{10, 30}, {40, 41}}}}, "note"),
         actionHeader('E', {{"y", {{5, 5}}}}),
         LCSFFile::VariableHeader('F', 'C', {2, 1, 0, 0, 0, 0, 'q', 0, 1, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}),
         LCSFFile::VariableHeader('s', 'p', {'t', 0})});
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    std::lock_guard<std::mutex> l(seq->frameCacheLock);
    using V = std::vector<std::string>;
    EXPECT_EQ(seq->commandPresets[10], (V{"x", "z"}));
    EXPECT_EQ(seq->commandPresets[20], (V{"x_END"}));
    EXPECT_EQ(seq->commandPresets[30], (V{"z_END"}));
    EXPECT_EQ(seq->commandPresets[40], (V{"z"}));
    EXPECT_EQ(seq->commandPresets[41], (V{"z_END"}));
    EXPECT_EQ(seq->commandPresets.size(), 5u) << "the format-2 header is skipped";
    EXPECT_EQ(seq->effectsOn[5], (V{"y"}));
    EXPECT_EQ(seq->effectsOff[5], (V{"y"}));
}

TEST_F(SequenceOpen, ActionHeadersThatRunPastTheirDataAreCut) {
    auto fc = actionHeader('C', {{"a", {{1, 2}}}, {"b", {{3, 4}}}});
    // Claim 5 entries where 2 exist.
    fc.data[1] = 5;
    // An entry whose pair count claims far more than the data holds.
    auto fe = actionHeader('E', {{"e1", {{7, 8}}}, {"e2", {{9, 10}}}});
    size_t e2 = std::string(fe.data.begin(), fe.data.end()).find("e2");
    fe.data[e2 + 3] = 0xFF;
    fe.data[e2 + 4] = 0xFF;
    fe.data[e2 + 5] = 0xFF;
    fe.data[e2 + 6] = 0x7F;
    // A text without its terminating zero, and a header too short for its count.
    LCSFFile::VariableHeader noNul('F', 'C', {1, 1, 0, 0, 0, 'a', 'b'});
    LCSFFile::VariableHeader tiny('F', 'E', {1, 1});
    // A name that runs to the end of the data.
    LCSFFile::VariableHeader openName('F', 'C', {1, 1, 0, 0, 0, 0, 'n', 'a', 'm'});
    // A negative count means no entries.
    auto neg = actionHeader('C', {{"neg", {{50, 51}}}});
    neg.data[1] = 0xFF, neg.data[2] = 0xFF, neg.data[3] = 0xFF, neg.data[4] = 0xFF;
    makeSequence("a.lcsf", 100, 50, {fc, fe, noNul, tiny, openName, neg});
    LogCapture log;
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    std::lock_guard<std::mutex> l(seq->frameCacheLock);
    using V = std::vector<std::string>;
    EXPECT_EQ(seq->commandPresets.size(), 4u);
    EXPECT_EQ(seq->commandPresets[1], (V{"a"}));
    EXPECT_EQ(seq->commandPresets[2], (V{"a_END"}));
    EXPECT_EQ(seq->commandPresets[4], (V{"b_END"}));
    EXPECT_EQ(seq->effectsOn.size(), 1u);
    EXPECT_EQ(seq->effectsOn[7], (V{"e1"}));
    EXPECT_EQ(seq->effectsOff[8], (V{"e1"}));
    EXPECT_EQ(log.count("ignoring the rest of it"), 3) << log.text();
    EXPECT_TRUE(log.contains("its text runs past its 7 bytes"));
    EXPECT_TRUE(log.contains("holds 2 bytes, too few"));
}

TEST_F(SequenceOpen, StartWithNothingOpenTriggersNothing) {
    ManualOutputThread& thread = outThread;
    ChannelOutputManager::INSTANCE.SetOutputThread(&thread);
    seq->StartSequence();
    EXPECT_TRUE(RecordingCommand::runs().empty()) << "nothing plays, so nothing has started";
    EXPECT_EQ(thread.starts, 0);
    EXPECT_FALSE(seq->IsSequenceRunning());
}

TEST_F(SequenceOpen, StartStartsTheOutputThreadAndSyncs) {
    makeSequence("a.lcsf", 100, 25);
    ManualOutputThread& thread = outThread;
    ChannelOutputManager::INSTANCE.SetOutputThread(&thread);
    multiSync->sendSyncPackets = true;
    LogCapture log;
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    EXPECT_EQ(thread.starts, 1) << "open starts the thread so the first frame is shown";
    SetChannelOutputFrameNumber(77);
    SetChannelOutputRefreshRate(5);
    seq->StartSequence();
    EXPECT_EQ(thread.starts, 2);
    EXPECT_EQ(GetChannelOutputFrameNumber(), 0);
    EXPECT_FLOAT_EQ(GetChannelOutputRefreshRate(), 40.0f);
    EXPECT_TRUE(seq->IsSequenceRunning("a.lcsf"));
    seq->CloseSequenceFile();
    multiSync->sendSyncPackets = false;
    EXPECT_TRUE(log.contains("sequence open packet for a.lcsf"));
    EXPECT_TRUE(log.contains("sequence start packet for a.lcsf"));
    EXPECT_TRUE(log.contains("sequence stop packet for a.lcsf"));
    EXPECT_TRUE(log.contains("blanking packet"));
    // The output thread runs: close asks it for the blank frame instead of sending one.
    EXPECT_EQ(thread.forces, 1);
    EXPECT_EQ(out.frameCount(), 0u);
}

TEST_F(SequenceOpen, StartByNameOpensStartsAndSeeks) {
    makeSequence("a.lcsf", 200);
    seq->StartSequence("a.lcsf", 60);
    EXPECT_TRUE(seq->IsSequenceRunning("a.lcsf"));
    waitQueued();
    step();
    // Closing what was not open blanks first, as every close does.
    EXPECT_EQ(sentFrames(), (std::vector<int>{-1, 60}));
    // A name that cannot be opened starts nothing and says nothing started.
    seq->StartSequence("missing.lcsf", 0);
    EXPECT_FALSE(seq->IsSequenceRunning());
    EXPECT_EQ(RecordingCommand::runs(), (std::vector<std::string>{"started a.lcsf", "stopped a.lcsf"}));
}

TEST_F(SequenceOpen, AStartThatFailedCanBeRetriedUnderTheSameName) {
    std::atomic<int> opens{0};
    seq->setFileOpener([&opens](const std::string& p) {
        opens++;
        return LCSFFile::openLCSFFile(p);
    });
    seq->StartSequence("late.lcsf", 0);
    EXPECT_FALSE(seq->IsSequenceRunning());
    EXPECT_EQ(seq->GetSequenceName(), "");
    // The file arrives (copied in by the user), and the same start is tried again.
    makeSequence("late.lcsf", 50);
    seq->StartSequence("late.lcsf", 0);
    EXPECT_EQ(opens, 1) << "the second start opens the file";
    EXPECT_TRUE(seq->IsSequenceRunning("late.lcsf"));
    EXPECT_EQ(RecordingCommand::runs(), (std::vector<std::string>{"started late.lcsf"}));

    // The same after a file the codec refuses.
    seq->CloseSequenceFile();
    RecordingCommand::clearRuns();
    writeFileBytes(dir.file("sequences/bad.lcsf"), "not a sequence file at all");
    seq->StartSequence("bad.lcsf", 0);
    EXPECT_FALSE(seq->IsSequenceRunning());
    EXPECT_TRUE(RecordingCommand::runs().empty());
    makeSequence("bad.lcsf", 50);
    seq->StartSequence("bad.lcsf", 0);
    EXPECT_TRUE(seq->IsSequenceRunning("bad.lcsf"));
    EXPECT_EQ(RecordingCommand::runs(), (std::vector<std::string>{"started bad.lcsf"}));
}

TEST_F(SequenceOpen, CloseIfOpenMatchesTheName) {
    makeSequence("a.lcsf", 100);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->StartSequence();
    seq->CloseIfOpen("b.lcsf");
    EXPECT_TRUE(seq->IsSequenceRunning());
    seq->CloseIfOpen("a.lcsf");
    EXPECT_FALSE(seq->IsSequenceRunning());
    EXPECT_EQ(seq->GetSequenceName(), "");
    EXPECT_TRUE(seq->doneRead);
    EXPECT_EQ(seq->lastFrameRead, -1);
    EXPECT_EQ(seq->CachedFrameCount(), 0u);
    EXPECT_EQ(seq->PlayedFrameCount(), 0u);
}

TEST_F(SequenceOpen, AStoppedPresetMayOpenTheNextSequence) {
    makeSequence("a.lcsf", 100);
    makeSequence("b.lcsf", 100);
    // The preset's command opens another sequence on the closing thread.
    class OpenCommand : public Command {
    public:
        explicit OpenCommand(Sequence* s) : Command("Open"), s(s) {}
        std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
            return std::make_unique<Result>(s->OpenSequenceFile(a.at(0), 0, -1) ? "OK" : "failed");
        }
        Sequence* s;
    };
    CommandManager::INSTANCE.addCommand(new OpenCommand(seq.get()));
    writePresets(R"({"presets": {"SEQUENCE_STOPPED": [{"command": "Open", "args": ["b.lcsf"]}]}})");
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->StartSequence();
    seq->CloseSequenceFile();
    EXPECT_EQ(seq->GetSequenceName(), "b.lcsf");
    EXPECT_EQ(seq->seqStarting, 1);
    EXPECT_NE(seq->seqFile.load(), nullptr);
    EXPECT_EQ(seq->GetLoadedFrameNumber(), 0);
}
