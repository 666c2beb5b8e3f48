// Playback engine: frames reaching the outputs, the end of a sequence and its
// blanking, late frames, seeks, pause and single steps, per-frame presets and
// effects, the layering order and idle blanking.
#include "LogCapture.h"
#include "SequenceFixture.h"

#include <algorithm>
#include <condition_variable>
#include <set>
#include <thread>

using SequencePlayback = SequenceFixture;

TEST_F(SequencePlayback, AWholeSequenceReachesTheOutputsInOrder) {
    const int frames = 60;
    makeSequence("a.lcsf", frames, 50, {}, LCSFFile::CompressionType::zstd);
    RecordingOutput second(120, 20); // channels 128-139 are past the file's 128 channels
    ChannelOutputManager::INSTANCE.AddOutput(&second);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    // Opened, not started: the output thread shows the first frame.
    step();
    step();
    seq->StartSequence();
    for (int i = 1; i < frames; i++) {
        waitQueued();
        step(i * 50);
        EXPECT_EQ(seq->seqMSElapsed, i * 50);
    }
    EXPECT_TRUE(seq->IsSequenceRunning());
    waitFor([this] { return (bool)seq->doneRead; });
    step();
    EXPECT_FALSE(seq->IsSequenceRunning());
    EXPECT_EQ(seq->seqMSRemaining, 0);
    EXPECT_EQ(seq->seqMSElapsed, frames * 50);

    std::vector<int> expected{0, 0};
    for (int i = 1; i < frames; i++) {
        expected.push_back(i);
    }
    // The close sends one blank frame itself; the rest of the period sends another.
    expected.push_back(-1);
    expected.push_back(-1);
    EXPECT_EQ(sentFrames(), expected);
    // The second output sees channels 120-127 of each frame, then zeros.
    auto f = second.frames();
    ASSERT_EQ(f.size(), expected.size());
    for (int i = 1; i < frames; i++) {
        for (uint32_t c = 0; c < 20; c++) {
            uint8_t want = 120 + c < 128 ? testChannelValue(i, 120 + c) : 0;
            ASSERT_EQ(f[i + 1][c], want) << "frame " << i << " channel " << 120 + c;
        }
    }
    for (uint8_t b : f.back()) {
        EXPECT_EQ(b, 0);
    }
    EXPECT_EQ(RecordingCommand::runs(), (std::vector<std::string>{"started a.lcsf", "stopped a.lcsf"}));
    EXPECT_EQ(out.prepCount(), (int)expected.size());
    ChannelOutputManager::INSTANCE.RemoveOutput(&second);
}

struct BlankCase {
    const char* name;
    int runMode;
    int playerStatus;
    bool effect;
    int blankBetween;
    bool blanks;
};

class SequenceCloseBlanking : public SequenceFixture, public ::testing::WithParamInterface<BlankCase> {};

TEST_P(SequenceCloseBlanking, CloseBlanksByTheRules) {
    const BlankCase& c = GetParam();
    makeSequence("a.lcsf", 100);
    writeEffectFile(dir.file("effects/glow.eseq"), 100, 10, 5, [](uint32_t, uint32_t) { return 9; });
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->StartSequence();
    waitQueued();
    step();
    setTavomode(c.runMode);
    Player::INSTANCE.SetStatus(c.playerStatus);
    setSetting("blankBetweenSequences", std::to_string(c.blankBetween));
    if (c.effect) {
        ASSERT_GT(StartEffect("glow", 0, 1, false), 0);
    }
    out.clear();
    seq->CloseSequenceFile();
    if (c.blanks) {
        EXPECT_EQ(sentFrames(), (std::vector<int>{-1}));
        EXPECT_EQ(seq->GetLoadedFrameNumber(), -1);
    } else {
        EXPECT_EQ(out.frameCount(), 0u);
        std::vector<uint8_t> slice(seq->seqData, seq->seqData + OUT_CHANNELS);
        EXPECT_EQ(frameOf(slice), 1) << "the last frame stays in the buffer";
    }
    EXPECT_EQ(RecordingCommand::count("stopped a.lcsf"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SequenceCloseBlanking,
    ::testing::Values(
        BlankCase{"Plain", TAVO_MODE_PLAYER, PLAYER_STATUS_IDLE, false, 0, true},
        BlankCase{"RemoteMode", TAVO_MODE_REMOTE, PLAYER_STATUS_IDLE, false, 0, false},
        BlankCase{"RemoteModeBlankBetween", TAVO_MODE_REMOTE, PLAYER_STATUS_IDLE, false, 1, true},
        BlankCase{"EffectRunning", TAVO_MODE_PLAYER, PLAYER_STATUS_IDLE, true, 0, false},
        BlankCase{"EffectRunningBlankBetween", TAVO_MODE_PLAYER, PLAYER_STATUS_IDLE, true, 1, true},
        BlankCase{"PlaylistPlaying", TAVO_MODE_PLAYER, PLAYER_STATUS_PLAYING, false, 0, false},
        BlankCase{"PlaylistPlayingBlankBetween", TAVO_MODE_PLAYER, PLAYER_STATUS_PLAYING, false, 1, true},
        BlankCase{"PlaylistStopping", TAVO_MODE_PLAYER, PLAYER_STATUS_STOPPING_GRACEFULLY, false, 0, true}),
    [](const ::testing::TestParamInfo<BlankCase>& i) { return std::string(i.param.name); });

TEST_F(SequencePlayback, AnEffectStartedByTheStopPresetKeepsTheLastFrameUp) {
    // The stop preset starts an effect: with an effect running, a close does not blank.
    class EffectCommand : public Command {
    public:
        EffectCommand() : Command("Effect") {}
        std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
            return std::make_unique<Result>(StartEffect(a.at(0), 0, 1, false) > 0 ? "OK" : "failed");
        }
    };
    CommandManager::INSTANCE.addCommand(new EffectCommand());
    writePresets(R"({"presets": {"SEQUENCE_STOPPED": [{"command": "Effect", "args": ["glow"]}]}})");
    writeEffectFile(dir.file("effects/glow.eseq"), 100, 10, 5, [](uint32_t, uint32_t) { return 9; });
    makeSequence("a.lcsf", 100);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->StartSequence();
    waitQueued();
    step();
    int shown = seq->GetLoadedFrameNumber();
    ASSERT_GE(shown, 0);
    out.clear();
    seq->CloseSequenceFile();
    EXPECT_TRUE(IsEffectRunning("glow"));
    EXPECT_EQ(out.frameCount(), 0u) << "no blank frame while the effect runs";
    std::vector<uint8_t> slice(seq->seqData, seq->seqData + OUT_CHANNELS);
    EXPECT_EQ(frameOf(slice), shown) << "the last frame stays in the buffer";
}

namespace {

// What a show played to its end with a slow reader sent, its closing blank frames
// left out: every frame holds a test frame, and frames never go back.
struct LatePlay {
    std::vector<int> sent;
    int repeats = 0; // periods that sent the frame before again
    int skipped = 0; // frame numbers never sent, up to the last frame of the file
    std::set<int> shown;
};

LatePlay latePlay(std::vector<int> sent, int frames) {
    LatePlay r;
    EXPECT_FALSE(sent.empty());
    while (!sent.empty() && sent.back() == -1) {
        sent.pop_back();
    }
    for (size_t i = 0; i < sent.size(); i++) {
        EXPECT_GE(sent[i], 0) << "every frame sent holds that frame's data, at " << i;
        r.shown.insert(sent[i]);
        if (i == 0) {
            continue;
        }
        EXPECT_GE(sent[i], sent[i - 1]) << "frames never go back, at " << i;
        if (sent[i] == sent[i - 1]) {
            r.repeats++;
        } else if (sent[i] > sent[i - 1]) {
            r.skipped += sent[i] - sent[i - 1] - 1;
        }
    }
    // Frames skipped at the end (the position pushed past the last frame) count too.
    if (!sent.empty()) {
        r.skipped += frames - 1 - sent.back();
    }
    r.sent = std::move(sent);
    return r;
}

} // namespace

TEST_F(SequencePlayback, ASlowReaderRepeatsTheLastFrameAndSkipsOnePerLatePeriod) {
    const int frames = 40, stepMS = 50;
    makeSequence("slow.lcsf", frames, stepMS);
    // Frames 10-19 take three periods each to fetch; the others come at once.
    seq->setFileOpener([](const std::string& p) -> LCSFFile* {
        LCSFFile* f = LCSFFile::openLCSFFile(p);
        return f ? new SlowLCSFFile(f, [](uint32_t n) { return n >= 10 && n < 20 ? 3 * 50 : 0; }) : nullptr;
    });
    ASSERT_EQ(seq->OpenSequenceFile("slow.lcsf", 0, -1), 1);
    ASSERT_TRUE(waitFor([this] { return seq->lastFrameRead >= 9; }));
    seq->StartSequence();
    playOnSchedule(stepMS, 200);
    ASSERT_FALSE(seq->IsSequenceRunning()) << "the sequence ends by itself";

    LatePlay play = latePlay(sentFrames(), frames);
    ASSERT_GE(play.sent.size(), 9u);
    // Frame 0 was loaded by the open; the start goes on with frame 1.
    for (int i = 0; i < 9; i++) {
        EXPECT_EQ(play.sent[i], i + 1) << "frames read ahead play in order";
    }
    EXPECT_GT(play.repeats, 0);
    EXPECT_EQ(play.skipped, play.repeats) << "one frame number skipped per late period";
    EXPECT_EQ(RecordingCommand::count("stopped slow.lcsf"), 1);
}

TEST_F(SequencePlayback, AReaderAlwaysSlowerThanAStepStillShowsFrames) {
    const int frames = 60, stepMS = 20;
    makeSequence("slow.lcsf", frames, stepMS);
    // After frame 0, every fetch takes one and a half periods: a slow card.
    seq->setFileOpener([](const std::string& p) -> LCSFFile* {
        LCSFFile* f = LCSFFile::openLCSFFile(p);
        return f ? new SlowLCSFFile(f, [](uint32_t n) { return n > 0 ? 30 : 0; }) : nullptr;
    });
    ASSERT_EQ(seq->OpenSequenceFile("slow.lcsf", 0, -1), 1);
    seq->StartSequence();
    int periods = playOnSchedule(stepMS, 1000);
    ASSERT_FALSE(seq->IsSequenceRunning()) << "the sequence ends by itself";

    LatePlay play = latePlay(sentFrames(), frames);
    // Two frames of three can come in time; a show stuck on one frame shows one.
    EXPECT_GE(play.shown.size(), 12u) << "the show went on showing frames";
    // A period takes a frame number, shown or skipped (not yet at the start, while
    // frame 1 is on its way): the show keeps its length instead of running slow.
    EXPECT_LT(periods, frames + frames / 4) << "frames are skipped to keep time";
}

TEST_F(SequencePlayback, AFrameFetchedFromThePreviousFileIsNotQueuedForTheNext) {
    // a.eseq holds 0xAA on every channel; b.lcsf the usual test frames.
    writeEffectFile(dir.file("sequences/a.eseq"), 1, OUT_CHANNELS, 50,
                    [](uint32_t, uint32_t) { return 0xAA; });
    makeSequence("b.lcsf", 50);

    // Frame 0 of a.eseq is fetched only when the test says so; the file says when it is deleted.
    struct Gate {
        std::mutex lock;
        std::condition_variable cv;
        bool fetching = false, open = false;
    } gate;
    std::atomic<bool> aDeleted{false};
    class WatchedFile : public SlowLCSFFile {
    public:
        WatchedFile(LCSFFile* inner, std::function<int(uint32_t)> d, std::atomic<bool>& deleted)
            : SlowLCSFFile(inner, std::move(d)), m_deleted(deleted) {}
        ~WatchedFile() override { m_deleted = true; }

    private:
        std::atomic<bool>& m_deleted;
    };
    seq->setFileOpener([&](const std::string& p) -> LCSFFile* {
        LCSFFile* f = LCSFFile::openLCSFFile(p);
        if (!f || p.find("a.eseq") == std::string::npos) {
            return f;
        }
        auto delay = [&gate](uint32_t n) {
            if (n == 0) {
                std::unique_lock<std::mutex> l(gate.lock);
                gate.fetching = true;
                gate.cv.notify_all();
                gate.cv.wait_for(l, std::chrono::seconds(10), [&gate] { return gate.open; });
            }
            return 0;
        };
        return new WatchedFile(f, delay, aDeleted);
    });
    // The reader logs a slow fetch between fetching and queuing: there it waits
    // until a.eseq has been replaced, as a reader that is slow to be scheduled would.
    LogCapture log(LOG_DEBUG);
    int sink = TavoLogger::INSTANCE.addSink([&aDeleted](const LogLine& l) {
        if (l.text.find("Problem reading frame 0:") != std::string::npos) {
            waitFor([&aDeleted] { return (bool)aDeleted; });
        }
    });

    ASSERT_EQ(seq->OpenSequenceFile("a.eseq", 0, -1), 1);
    {
        std::unique_lock<std::mutex> l(gate.lock);
        ASSERT_TRUE(gate.cv.wait_for(l, std::chrono::seconds(5), [&gate] { return gate.fetching; }));
    }
    int opened = -1;
    std::thread other([this, &opened] { opened = seq->OpenSequenceFile("b.lcsf", 0, -1); });
    EXPECT_TRUE(waitFor([&log] { return log.contains("OpenSequenceFile(b.lcsf, 0, -1)"); }));
    {
        std::lock_guard<std::mutex> l(gate.lock);
        gate.open = true;
    }
    gate.cv.notify_all();
    other.join();
    TavoLogger::INSTANCE.removeSink(sink);
    ASSERT_EQ(opened, 1);
    EXPECT_TRUE(aDeleted);

    std::vector<uint8_t> slice(seq->seqData, seq->seqData + OUT_CHANNELS);
    EXPECT_NE(frameOf(slice), -2) << "the buffer holds a frame of the previous file";
    seq->StartSequence();
    for (int i = 0; i < 5; i++) {
        waitQueued();
        step();
    }
    std::vector<int> sent = sentFrames();
    ASSERT_EQ(sent.size(), 5u);
    for (size_t i = 0; i < sent.size(); i++) {
        EXPECT_GE(sent[i], 0) << "period " << i << " sent a frame that is not b.lcsf's";
        EXPECT_LE(sent[i], 5);
    }
    EXPECT_EQ(sent.back() - sent.front(), 4) << "b.lcsf plays frame after frame";
}

TEST_F(SequencePlayback, ADamagedFirstBlockIsSkippedAndTheRestPlays) {
    const int frames = 60, stepMS = 20;
    // Block 0 holds frames 0-9.
    std::string path = makeSequence("a.lcsf", frames, stepMS, {}, LCSFFile::CompressionType::zstd);
    ASSERT_TRUE(damageBlock(path, 0));
    LogCapture log(LOG_WARN);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    // On a busy machine the reader may be past the damaged block before the open
    // takes its frame: then the open holds frame 10, which a player sends first.
    std::vector<int> played;
    if (seq->GetLoadedFrameNumber() >= 0) {
        played.push_back(seq->GetLoadedFrameNumber());
    }
    seq->StartSequence();
    // Each period once the reader has a frame (or is done), so none is late.
    for (int periods = 0; seq->IsSequenceRunning() && periods < 100; periods++) {
        ASSERT_TRUE(waitFor([this] { return seq->CachedFrameCount() > 0 || seq->doneRead; }))
            << "the show is stuck on the damaged block";
        step();
    }
    ASSERT_FALSE(seq->IsSequenceRunning());
    for (int f : sentFrames()) {
        ASSERT_NE(f, -2) << "a frame was sent that the file does not hold";
        if (f >= 0) {
            played.push_back(f);
        }
    }
    std::vector<int> good;
    for (int f = 10; f < frames; f++) {
        good.push_back(f);
    }
    EXPECT_EQ(played, good) << "the frames of the damaged block are skipped, the others play";
    EXPECT_TRUE(log.contains("Frame 0 of " + path + " cannot be read")) << log.text();
    EXPECT_GT(seq->unreadableFrames, 0);
    EXPECT_FALSE(seq->nothingReadable);
    EXPECT_EQ(RecordingCommand::count("stopped a.lcsf"), 1);
}

TEST_F(SequencePlayback, EachFrameOfADamagedBlockStillCostsItsPeriod) {
    const int frames = 60, stepMS = 20;
    // 6600 channels make blocks of ten frames: block 2 holds frames 20 to 29.
    TestSequenceOptions o;
    o.channels = 6600;
    o.frames = frames;
    o.stepTime = stepMS;
    o.compression = LCSFFile::CompressionType::zstd;
    std::string path = dir.file("sequences/a.lcsf");
    ASSERT_TRUE(writeTestSequence(path, o));
    ASSERT_TRUE(damageBlock(path, 2));
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    ASSERT_EQ(seq->GetLoadedFrameNumber(), 0);
    seq->StartSequence();
    // Each period once the reader has something for it, so that none is late.
    for (int periods = 0; seq->IsSequenceRunning() && periods < 100; periods++) {
        ASSERT_TRUE(waitFor([this] { return seq->CachedFrameCount() > 0 || seq->doneRead; }))
            << "the show is stuck on the damaged block";
        step();
    }
    ASSERT_FALSE(seq->IsSequenceRunning());
    // Period p sends frame p + 1 (the open loaded frame 0); the periods of the frames
    // that cannot be read send the frame before them again, and nothing comes early.
    std::vector<int> sent = sentFrames();
    for (int p = 0; p < frames - 1 && p < (int)sent.size(); p++) {
        int want = p + 1 >= 20 && p + 1 < 30 ? 19 : p + 1;
        ASSERT_EQ(sent[p], want) << "period " << p;
    }
    EXPECT_GE(sent.size(), (size_t)frames - 1);
    EXPECT_EQ(seq->unreadableFrames, 10);
}

TEST_F(SequencePlayback, AFileWithoutAReadableFrameEndsWithAMessage) {
    const int stepMS = 20;
    // Ten frames: one block, damaged.
    std::string path = makeSequence("a.lcsf", 10, stepMS, {}, LCSFFile::CompressionType::zstd);
    ASSERT_TRUE(damageBlock(path, 0));
    LogCapture log(LOG_WARN);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->StartSequence();
    for (int periods = 0; seq->IsSequenceRunning() && periods < 100; periods++) {
        ASSERT_TRUE(waitFor([this] { return seq->CachedFrameCount() > 0 || seq->doneRead; }))
            << "the show is stuck on the damaged block";
        step();
    }
    ASSERT_FALSE(seq->IsSequenceRunning());
    for (int f : sentFrames()) {
        EXPECT_EQ(f, -1) << "nothing but blank frames";
    }
    EXPECT_TRUE(log.contains("No frame of " + path + " could be read")) << log.text();
    EXPECT_TRUE(seq->nothingReadable);
    EXPECT_EQ(RecordingCommand::count("stopped a.lcsf"), 1);

    // The next open starts afresh.
    makeSequence("b.lcsf", 10, stepMS);
    ASSERT_EQ(seq->OpenSequenceFile("b.lcsf", 0, -1), 1);
    EXPECT_FALSE(seq->nothingReadable);
    EXPECT_EQ(seq->unreadableFrames, 0);
}

TEST_F(SequencePlayback, SeekOntoAQueuedFrameKeepsTheQueue) {
    makeSequence("a.lcsf", 200);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->StartSequence();
    for (int i = 0; i < 3; i++) {
        waitQueued();
        step();
    }
    ASSERT_TRUE(waitFor([this] { return seq->CachedFrameCount() >= 20; }));
    int fetched = seq->lastFrameRead;
    LogCapture log;
    seq->SeekSequenceFile(10);
    EXPECT_TRUE(log.contains("SeekSequenceFile(10)"));
    EXPECT_FALSE(log.contains("Seeking to"));
    EXPECT_EQ(seq->PlayedFrameCount(), 0u);
    EXPECT_GE(seq->lastFrameRead, fetched) << "the reader was not sent back";
    step();
    waitQueued();
    step();
    auto sent = sentFrames();
    EXPECT_EQ(std::vector<int>(sent.end() - 2, sent.end()), (std::vector<int>{10, 11}));
}

TEST_F(SequencePlayback, SeekPastOrBeforeTheQueueRestartsTheReader) {
    makeSequence("a.lcsf", 300);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->StartSequence();
    waitQueued();
    step();
    LogCapture log;
    seq->SeekSequenceFile(150);
    EXPECT_TRUE(log.contains("Seeking to 150."));
    waitQueued();
    step();
    waitQueued();
    step();
    for (int i = 0; i < 30; i++) {
        waitQueued();
        step();
    }
    EXPECT_EQ(sentFrames().back(), 181);
    // Backwards, before the oldest frame still kept.
    seq->SeekSequenceFile(5);
    EXPECT_EQ(seq->PlayedFrameCount(), 0u);
    waitQueued();
    step();
    EXPECT_EQ(sentFrames().back(), 5);
    EXPECT_EQ(GetChannelOutputFrameNumber(), 6) << "set to 5 when taken, counted on by the send";
    // A seek to the frame on show reuses it.
    seq->SeekSequenceFile(5);
    step();
    EXPECT_EQ(sentFrames().back(), 5);
    EXPECT_EQ(log.count("Seeking to"), 2);
}

TEST_F(SequencePlayback, SeekBackAfterTheLastFrameWasReadGoesOnPlaying) {
    const int frames = 60;
    makeSequence("a.lcsf", frames);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->StartSequence();
    // Take frames until the reader has fetched the last one and said it is done.
    for (int i = 0; i < 30 && !seq->doneRead; i++) {
        waitQueued();
        step();
    }
    ASSERT_TRUE(waitFor([this] { return (bool)seq->doneRead; }));
    seq->SeekSequenceFile(5);
    waitQueued();
    step();
    EXPECT_TRUE(seq->IsSequenceRunning()) << "a seek must not end the show";
    EXPECT_EQ(sentFrames().back(), 5);
    // From there it plays on to the end, frame by frame.
    for (int want = 6; want < frames; want++) {
        waitQueued();
        step();
        ASSERT_EQ(sentFrames().back(), want);
    }
    waitQueued();
    step();
    EXPECT_FALSE(seq->IsSequenceRunning());
}

TEST_F(SequencePlayback, StepBackThatFetchesAgainAfterTheLastFrameWasRead) {
    const int frames = 30;
    makeSequence("a.lcsf", frames, 250);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->StartSequence();
    ASSERT_TRUE(waitFor([this] { return (bool)seq->doneRead; }));
    // Seeking to the last frame leaves nothing played before it: a step back must fetch.
    seq->SeekSequenceFile(frames - 1);
    waitQueued();
    step();
    ASSERT_EQ(sentFrames().back(), frames - 1);
    seq->ToggleSequencePause();
    seq->SingleStepSequenceBack();
    waitQueued();
    step();
    EXPECT_TRUE(seq->IsSequenceRunning());
    EXPECT_EQ(sentFrames().back(), frames - 2);
}

TEST_F(SequencePlayback, ASeekBeforeTheFirstFrameGoesToTheFirstFrame) {
    makeSequence("a.lcsf", 100);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->StartSequence();
    for (int i = 0; i < 30; i++) {
        waitQueued();
        step();
    }
    ASSERT_EQ(sentFrames().back(), 30);
    seq->SeekSequenceFile(-5);
    for (int want = 0; want < 5; want++) {
        waitQueued();
        step();
        ASSERT_TRUE(seq->IsSequenceRunning()) << "a seek must not end the show";
        EXPECT_EQ(sentFrames().back(), want);
    }
}

TEST_F(SequencePlayback, SeekWithoutARunningSequenceIsIgnored) {
    makeSequence("a.lcsf", 100);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    LogCapture log;
    seq->SeekSequenceFile(50);
    EXPECT_TRUE(log.contains("No sequence is running"));
    EXPECT_EQ(seq->GetLoadedFrameNumber(), 0);
}

TEST_F(SequencePlayback, RepeatedEarlySeeksInRemoteModeWarnOnTheSeventh) {
    setTavomode(TAVO_MODE_REMOTE);
    makeSequence("a.lcsf", 400);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->StartSequence();
    const std::string warning = "Multiple Frame Skips During Playback - Likely Slow Network";
    auto hasWarning = [&warning] {
        for (auto& w : WarningHolder::GetWarnings()) {
            if (w == warning) {
                return true;
            }
        }
        return false;
    };
    // Alternating between 90 and 300 sends the reader back for every seek to 90.
    for (int i = 0; i < 6; i++) {
        seq->SeekSequenceFile(300);
        seq->SeekSequenceFile(90);
    }
    EXPECT_EQ(seq->frameSkipCount, 6);
    EXPECT_FALSE(hasWarning());
    // A seek that finds its frame queued does not count.
    ASSERT_TRUE(waitFor([this] { return seq->CachedFrameCount() >= 2; }));
    seq->SeekSequenceFile(91);
    EXPECT_EQ(seq->frameSkipCount, 6);
    seq->SeekSequenceFile(10);
    EXPECT_TRUE(hasWarning());
    // Opening again starts counting afresh.
    seq->CloseSequenceFile();
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    EXPECT_EQ(seq->frameSkipCount, 0);
}

TEST_F(SequencePlayback, PauseKeepsTheFrameAndStepsMoveOneFrame) {
    makeSequence("a.lcsf", 100);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->StartSequence();
    for (int i = 0; i < 5; i++) {
        waitQueued();
        step();
    }
    EXPECT_EQ(sentFrames().back(), 5);
    seq->ToggleSequencePause();
    EXPECT_EQ(seq->SequenceIsPaused(), 1);
    step();
    step();
    seq->ReadSequenceData(true); // forced, still paused
    step();
    EXPECT_EQ(sentFrames().back(), 5);
    EXPECT_EQ(seq->GetLoadedFrameNumber(), 5);

    seq->SingleStepSequence();
    step();
    EXPECT_EQ(sentFrames().back(), 6);
    step();
    EXPECT_EQ(sentFrames().back(), 6);

    seq->SingleStepSequenceBack();
    step();
    EXPECT_EQ(sentFrames().back(), 5);
    seq->SingleStepSequenceBack();
    step();
    EXPECT_EQ(sentFrames().back(), 4);
    step();
    EXPECT_EQ(sentFrames().back(), 4);
    seq->SingleStepSequence();
    step();
    EXPECT_EQ(sentFrames().back(), 5);

    seq->ToggleSequencePause();
    EXPECT_EQ(seq->SequenceIsPaused(), 0);
    waitQueued();
    step();
    EXPECT_EQ(sentFrames().back(), 6);
}

TEST_F(SequencePlayback, StepBackPastTheKeptFramesFetchesAgain) {
    // A long step time: a step back that refetches waits for the reader up to it.
    makeSequence("a.lcsf", 100, 250);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->StartSequence();
    for (int i = 0; i < 30; i++) {
        waitQueued();
        step();
    }
    ASSERT_EQ(sentFrames().back(), 30);
    seq->ToggleSequencePause();
    // 21 played frames are kept (10 to 30); stepping back below them fetches anew.
    for (int want = 29; want >= 5; want--) {
        seq->SingleStepSequenceBack();
        waitQueued();
        step();
        ASSERT_EQ(sentFrames().back(), want);
    }
}

TEST_F(SequencePlayback, PresetsAndEffectsFireOnTheirFrames) {
    writePresets(R"({"presets": {
        "p": [{"command": "Record", "args": ["p in %SEQUENCE_NAME%"]}],
        "p_END": [{"command": "Record", "args": ["p end"]}]}})");
    writeEffectFile(dir.file("effects/fx.eseq"), 41, 8, 1000,
                    [](uint32_t, uint32_t i) { return (uint8_t)(200 + i); });
    makeSequence("a.lcsf", 100, 50,
                 {actionHeader('C', {{"p", {{2, 4}}}}), actionHeader('E', {{"fx", {{3, 6}}}})});
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->StartSequence();
    RecordingCommand::clearRuns();
    auto stepTo = [this](int frame) {
        while (sentFrames().empty() || seq->GetLoadedFrameNumber() < frame) {
            waitQueued();
            step();
        }
    };
    stepTo(2);
    EXPECT_EQ(RecordingCommand::runs(), (std::vector<std::string>{"p in a.lcsf"}));
    // A frame shown again while paused does not fire its actions again.
    seq->ToggleSequencePause();
    step();
    EXPECT_EQ(RecordingCommand::count("p in a.lcsf"), 1);
    seq->ToggleSequencePause();

    stepTo(3);
    EXPECT_TRUE(IsEffectRunning("fx"));
    step(); // frame 4
    EXPECT_EQ(RecordingCommand::count("p end"), 1);
    // The effect is laid over its channels (41-48, 1-based) from the next processing on.
    auto last = out.lastFrame();
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(last[40 + i], 200 + i);
    }
    EXPECT_EQ(last[39], testChannelValue(4, 39));

    StopEffect("fx");
    seq->ToggleSequencePause();
    seq->SingleStepSequenceBack();
    step(); // frame 3 again: the effect starts again
    EXPECT_EQ(seq->GetLoadedFrameNumber(), 3);
    EXPECT_TRUE(IsEffectRunning("fx"));

    // After blanking no frame is shown and nothing fires.
    StopEffect("fx");
    RecordingCommand::clearRuns();
    seq->BlankSequenceData(false);
    step();
    EXPECT_FALSE(IsEffectRunning("fx"));
    EXPECT_TRUE(RecordingCommand::runs().empty());
    EXPECT_EQ(frameOf(out.lastFrame()), -1) << "processing does not bring the old frame back";

    seq->ToggleSequencePause();
    ASSERT_GT(StartEffect("fx", 0, 1, false), 0);
    stepTo(6);
    EXPECT_FALSE(IsEffectRunning("fx")) << "stopped by its end frame";
}

TEST_F(SequencePlayback, AFramesActionsFireOnceWhenItIsFirstSent) {
    writePresets(R"({"presets": {
        "p0": [{"command": "Record", "args": ["p0"]}],
        "p3": [{"command": "Record", "args": ["p3"]}]}})");
    const int stepMS = 50;
    makeSequence("a.lcsf", 100, stepMS, {actionHeader('C', {{"p0", {{0, 90}}}, {"p3", {{3, 90}}}})});
    // Frame 4 comes late, when the test lets it: frame 3 is repeated meanwhile.
    std::atomic<bool> frame4{false};
    seq->setFileOpener([&frame4](const std::string& p) -> LCSFFile* {
        LCSFFile* f = LCSFFile::openLCSFFile(p);
        return f ? new SlowLCSFFile(f,
                                    [&frame4](uint32_t n) {
                                        if (n == 4) {
                                            waitFor([&frame4] { return (bool)frame4; },
                                                    std::chrono::seconds(10));
                                        }
                                        return 0;
                                    })
                 : nullptr;
    });
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    // Opened, not started: the output thread shows frame 0 (loaded by the open)
    // every period.
    for (int i = 0; i < 10; i++) {
        step();
    }
    EXPECT_LE(RecordingCommand::count("p0"), 1);

    seq->StartSequence();
    for (int i = 0; i < 10 && seq->GetLoadedFrameNumber() < 3; i++) {
        waitQueued();
        step();
    }
    ASSERT_EQ(seq->GetLoadedFrameNumber(), 3);
    EXPECT_EQ(RecordingCommand::runs(), (std::vector<std::string>{"p0", "p3"}))
        << "frame 0's preset fired when the frame was first sent, not on every period";
    // Paused: the frame stays on show, its preset does not run again.
    seq->ToggleSequencePause();
    for (int i = 0; i < 5; i++) {
        step();
    }
    seq->ToggleSequencePause();
    // Late: the outputs repeat frame 3.
    for (int i = 0; i < 4; i++) {
        step();
        ASSERT_EQ(seq->GetLoadedFrameNumber(), 3);
    }
    EXPECT_EQ(RecordingCommand::count("p3"), 1) << "a repeated frame does not fire again";
    frame4 = true;
    waitQueued();
    step();
    ASSERT_GT(seq->GetLoadedFrameNumber(), 3);

    // Taken anew (a step back), a frame fires again.
    seq->ToggleSequencePause();
    for (int i = 0; i < 5 && seq->GetLoadedFrameNumber() != 3; i++) {
        seq->SingleStepSequenceBack();
        waitQueued();
        step();
    }
    ASSERT_EQ(seq->GetLoadedFrameNumber(), 3);
    EXPECT_EQ(RecordingCommand::count("p3"), 2);
}

struct EffectFileCase {
    const char* name;
    LCSFFile::CompressionType compression;
    std::vector<std::pair<uint32_t, uint32_t>> sparseRanges;
};

void PrintTo(const EffectFileCase& c, std::ostream* os) {
    *os << c.name;
}

class SequenceEffectPlacement : public SequenceFixture,
                                public ::testing::WithParamInterface<EffectFileCase> {};

TEST_P(SequenceEffectPlacement, AnEffectGivenAStartChannelIsPlacedThere) {
    const EffectFileCase& c = GetParam();
    TestSequenceOptions o;
    o.channels = 16;
    o.frames = 5;
    o.stepTime = 50;
    o.compression = c.compression;
    o.sparseRanges = c.sparseRanges;
    ASSERT_TRUE(writeTestSequence(dir.file("effects/fx.lcsf"), o));
    // The effect's channels, in the order they are placed from the start channel.
    std::vector<uint32_t> own;
    if (c.sparseRanges.empty()) {
        for (uint32_t i = 0; i < o.channels; i++) {
            own.push_back(i);
        }
    } else {
        for (auto& r : c.sparseRanges) {
            for (uint32_t i = 0; i < r.second; i++) {
                own.push_back(r.first + i);
            }
        }
    }
    const uint32_t start = 201; // 1-based
    ASSERT_GT(StartEffect("fx.lcsf", (int)start, 1, false), 0);
    std::vector<uint8_t> buffer(TAVO_CHANNEL_BUFFER_SIZE, 0);
    OverlayEffects(buffer.data());
    StopEffect("fx.lcsf");

    int frame = -1;
    for (uint32_t f = 0; f < o.frames && frame < 0; f++) {
        bool all = true;
        for (size_t i = 0; i < own.size(); i++) {
            all &= buffer[start - 1 + i] == testChannelValue(f, own[i]);
        }
        frame = all ? (int)f : -1;
    }
    EXPECT_GE(frame, 0) << "the effect's channels are at channel " << start;
    for (uint32_t ch = 0; ch < 32; ch++) {
        EXPECT_EQ(buffer[ch], 0) << "nothing at the effect's own channel " << ch;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Compressions, SequenceEffectPlacement,
    ::testing::Values(EffectFileCase{"None", LCSFFile::CompressionType::none, {}},
                      EffectFileCase{"Zstd", LCSFFile::CompressionType::zstd, {}},
                      EffectFileCase{"Zlib", LCSFFile::CompressionType::zlib, {}},
                      EffectFileCase{"NoneSparse", LCSFFile::CompressionType::none, {{4, 4}, {10, 4}}},
                      EffectFileCase{"ZstdSparse", LCSFFile::CompressionType::zstd, {{4, 4}, {10, 4}}}),
    [](const ::testing::TestParamInfo<EffectFileCase>& i) { return std::string(i.param.name); });

TEST_F(SequencePlayback, LayersAreLaidInOrder) {
    // Every layer writes its own value over channel 5 and notes what it found there.
    struct Hooks : TavoPlugins::Plugin, TavoPlugins::ChannelDataPlugin {
        Hooks() : Plugin("hooks") {}
        void modifySequenceData(int ms, unsigned char* d) override {
            seen.push_back(d[5]);
            d[5] = 3;
            lastMs = ms;
        }
        void modifyChannelData(int, unsigned char* d) override {
            seen.push_back(d[5]);
            d[5] = 8;
        }
        std::vector<int> seen;
        int lastMs = -1;
    } hooks;
    PluginManager::INSTANCE.addPlugin(&hooks);
    writeEffectFile(dir.file("effects/e.eseq"), 6, 1, 100, [](uint32_t, uint32_t) { return 4; });
    ASSERT_GT(StartEffect("e", 0, 1, false), 0);
    std::vector<int> videoSaw;
    SDLOutput::SetVideoOverlay([this, &videoSaw](unsigned int) {
        videoSaw.push_back(seq->seqData[5]);
        seq->seqData[5] = 5;
    });
    PixelOverlayManager::INSTANCE.addAutoOverlayModel("m", 5, 1, 1, "H", "TL", 1, 1);
    PixelOverlayModel* m = PixelOverlayManager::INSTANCE.getModel("m");
    ASSERT_NE(m, nullptr);
    m->getOverlayBuffer()[0] = 6;
    m->setState(PixelOverlayModel::Enabled);
    Json::Value test;
    test["enabled"] = 1;
    test["channelSet"] = "6-6"; // 1-based: channel 5
    test["color"].append(7);
    ASSERT_TRUE(ChannelTester::INSTANCE.SetupTest(test));
    unsigned char two = 2;
    seq->SetBridgeData(&two, 5, 1, GetTimeMS() + 60000);

    makeSequence("a.lcsf", 10);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->ProcessSequenceData(1234);
    seq->SendSequenceData();
    // bridge 2 over the frame, sequence hook 3, effect 4, video 5, model 6, test 7, channel hook 8
    EXPECT_EQ(hooks.seen, (std::vector<int>{2, 7}));
    EXPECT_EQ(videoSaw, (std::vector<int>{4}));
    EXPECT_EQ(hooks.lastMs, 1234);
    EXPECT_EQ(out.lastFrame()[5], 8);

    // A second processing starts again from the frame: the removed model is gone.
    PluginManager::INSTANCE.removePlugin(&hooks);
    ChannelTester::INSTANCE.StopTest();
    SDLOutput::SetVideoOverlay(nullptr);
    StopEffect("e");
    PixelOverlayManager::INSTANCE.removeAutoOverlayModel("m");
    EXPECT_FALSE(PixelOverlayManager::INSTANCE.hasActiveOverlays());
    seq->ProcessSequenceData(0);
    seq->SendSequenceData();
    EXPECT_EQ(out.lastFrame()[5], 2) << "bridge data over clean frame data";
    EXPECT_EQ(out.lastFrame()[6], testChannelValue(0, 6));
}

TEST_F(SequencePlayback, SendBlankingDataSendsItselfOrAsksTheThread) {
    makeSequence("a.lcsf", 10);
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->SendBlankingData();
    EXPECT_EQ(sentFrames(), (std::vector<int>{-1}));
    ChannelOutputManager::INSTANCE.SetOutputThread(&outThread);
    outThread.running = true;
    seq->SendBlankingData();
    EXPECT_EQ(out.frameCount(), 1u);
    EXPECT_EQ(outThread.forces, 1);
    // Running but not enabled: the engine sends (which sends nothing while disabled).
    DisableChannelOutput();
    seq->SendBlankingData();
    EXPECT_EQ(outThread.forces, 1);
    EXPECT_EQ(out.frameCount(), 1u);
    EnableChannelOutput();
}

TEST_F(SequencePlayback, IdleCallsBlankByRunMode) {
    makeSequence("a.lcsf", 10);
    auto loadAndClose = [this] {
        ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
        seq->StartSequence();
        seq->CloseSequenceFile(); // does not blank in the cases below
        ASSERT_EQ(seq->seqData[1], testChannelValue(0, 1));
    };
    auto shown = [this] { return seq->seqData[1] != 0; };

    // Remote mode: six idle calls keep the frame, the seventh blanks.
    setTavomode(TAVO_MODE_REMOTE);
    loadAndClose();
    for (int i = 0; i < 6; i++) {
        seq->ReadSequenceData(false);
        ASSERT_TRUE(shown()) << "idle call " << i + 1;
    }
    seq->ReadSequenceData(false);
    EXPECT_FALSE(shown());

    // Player mode with a playlist playing: idle calls keep the frame.
    setTavomode(TAVO_MODE_PLAYER);
    Player::INSTANCE.SetStatus(PLAYER_STATUS_PLAYING);
    loadAndClose();
    for (int i = 0; i < 10; i++) {
        seq->ReadSequenceData(false);
    }
    EXPECT_TRUE(shown());
    // ...and blank at once when it stops.
    Player::INSTANCE.SetStatus(PLAYER_STATUS_IDLE);
    seq->ReadSequenceData(false);
    EXPECT_FALSE(shown());

    // Bridge mode never blanks by itself; blankBetweenSequences always does.
    setTavomode(TAVO_MODE_BRIDGE);
    Player::INSTANCE.SetStatus(PLAYER_STATUS_PLAYING);
    loadAndClose();
    seq->ReadSequenceData(false);
    EXPECT_TRUE(shown());
    setSetting("blankBetweenSequences", "1");
    seq->ReadSequenceData(false);
    EXPECT_FALSE(shown());
}

TEST_F(SequencePlayback, ControlsFromOtherThreadsWhilePlaying) {
    // The output thread runs the periods while another thread seeks, pauses,
    // steps, bridges and reopens: nothing crashes and data races show under TSan.
    makeSequence("a.lcsf", 400, 5, {}, LCSFFile::CompressionType::zstd);
    makeSequence("b.lcsf", 400, 5, {actionHeader('C', {{"p", {{1, 3}}}})});
    ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
    seq->StartSequence();
    std::atomic<bool> stop{false};
    std::thread output([this, &stop] {
        while (!stop) {
            step(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    unsigned char data[32] = {1, 2, 3};
    for (int round = 0; round < 30; round++) {
        seq->SeekSequenceFile((round * 37) % 400);
        seq->ToggleSequencePause();
        seq->SingleStepSequence();
        seq->SingleStepSequenceBack();
        seq->SetBridgeData(data, round * 10, 32, GetTimeMS() + 5);
        seq->ToggleSequencePause();
        setSetting("bridgeDataPriority", round % 2 ? "Prioritize Sequence" : "Ignore");
        if (round % 10 == 9) {
            seq->StartSequence(round % 20 == 9 ? "b.lcsf" : "a.lcsf", 0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    seq->CloseSequenceFile();
    stop = true;
    output.join();
    EXPECT_FALSE(seq->IsSequenceRunning());
    EXPECT_GT(out.frameCount(), 20u);
}
