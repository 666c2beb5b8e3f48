// tavod end to end: a generated sequence played to CustomUDP outputs on loopback,
// frame by frame and on time; stopping by signal; surviving a closed standard error.
#include "JsonText.h"
#include "TavodTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tavodtest;

namespace {

constexpr uint32_t CHANNELS = 1500;
constexpr uint32_t FRAMES = 200;
constexpr uint32_t STEP_MS = 25;

// Output A: channels 1..1000, "AB {s2} {data} 0x7E". Output B: channels 1001..1500, "#55 {P2} {data}".
std::vector<uint8_t> expectedA(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> d = {'A', 'B', 0x03, 0xE8};
    d.insert(d.end(), data.begin(), data.end());
    d.push_back(0x7E);
    return d;
}

std::vector<uint8_t> expectedB(const std::vector<uint8_t>& data) {
    // 500 channels: 166 pixels, 0xA6 0x00 little-endian.
    std::vector<uint8_t> d = {0x55, 0xA6, 0x00};
    d.insert(d.end(), data.begin(), data.end());
    return d;
}

std::vector<uint8_t> frameSlice(uint32_t frame, uint32_t first, uint32_t count) {
    std::vector<uint8_t> v(count);
    for (uint32_t c = 0; c < count; c++) {
        v[c] = testChannelValue(frame, first + c);
    }
    return v;
}

// Which frame of the test sequence a datagram of output A carries; -1 for the blank
// frame, -2 for anything else.
int frameOfA(const std::vector<uint8_t>& bytes) {
    if (bytes.size() != 1005) {
        return -2;
    }
    std::vector<uint8_t> data(bytes.begin() + 4, bytes.end() - 1);
    if (std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0; })) {
        return -1;
    }
    // Channel 0 of frame f holds 13 f mod 256: odd, so f mod 256 follows from it.
    for (uint32_t f = 0; f < 256 && f < FRAMES; f++) {
        if (testChannelValue(f, 0) == data[0]) {
            return bytes == expectedA(frameSlice(f, 0, 1000)) ? (int)f : -2;
        }
    }
    return -2;
}

class TavodPlayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(media.writeSequence("show.lcsf", CHANNELS, FRAMES, STEP_MS));
        media.writeOutputs(customUdp(1, 1000, rxA.port(), "AB {s2} {data} 0x7E") + ", " +
                           customUdp(1001, 500, rxB.port(), "#55 {P2} {data}"));
    }

    // Everything output A receives until `pred` says stop, or the time-out.
    std::vector<Datagram> collect(TimedUdpReceiver& rx, int timeoutMs,
                                  const std::function<bool(const std::vector<Datagram>&)>& done) {
        std::vector<Datagram> got;
        int64_t end = nowUs() + (int64_t)timeoutMs * 1000;
        while (nowUs() < end && !done(got)) {
            Datagram d;
            if (rx.receive(d, 100)) {
                got.push_back(std::move(d));
            }
        }
        return got;
    }

    MediaDir media;
    TimedUdpReceiver rxA;
    TimedUdpReceiver rxB;
};

TEST_F(TavodPlayTest, EveryFrameArrivesInOrderOnTimeThenABlankFrame) {
    int64_t start = nowUs();
    Tavod tavod(media.path(), tavodArgs(media, {"play", "show.lcsf"}));
    auto blankSeen = [](const std::vector<Datagram>& g) {
        return !g.empty() && frameOfA(g.back().bytes) == -1;
    };
    std::vector<Datagram> a = collect(rxA, 20000, blankSeen);
    std::vector<Datagram> b = collect(rxB, 2000, [](const std::vector<Datagram>& g) {
        return !g.empty() && g.back().bytes.size() == 503 && g.back().bytes[3] == 0 &&
               std::all_of(g.back().bytes.begin() + 3, g.back().bytes.end(),
                           [](uint8_t v) { return v == 0; });
    });
    ASSERT_TRUE(tavod.wait(10000)) << tavod.err();
    int64_t elapsedMs = (nowUs() - start) / 1000;
    EXPECT_EQ(tavod.exitCode(), 0) << tavod.err();

    // Output A: frames 0..199 exactly, in order, then the blank.
    ASSERT_EQ(a.size(), FRAMES + 1) << tavod.err();
    for (uint32_t f = 0; f < FRAMES; f++) {
        ASSERT_EQ(frameOfA(a[f].bytes), (int)f) << "datagram " << f;
    }
    EXPECT_EQ(frameOfA(a[FRAMES].bytes), -1);

    // Output B reads its own slice, from channel 1001 (index 1000).
    ASSERT_EQ(b.size(), FRAMES + 1);
    for (uint32_t f = 0; f < FRAMES; f++) {
        ASSERT_EQ(b[f].bytes, expectedB(frameSlice(f, 1000, 500))) << "datagram " << f;
    }

    // On time: frames a step apart (the median, so that a busy machine's hiccup does
    // not count), and the show not played faster than its length.
    std::vector<double> gaps;
    for (uint32_t f = 1; f < FRAMES; f++) {
        gaps.push_back((a[f].timeUs - a[f - 1].timeUs) / 1000.0);
    }
    EXPECT_NEAR(median(gaps), STEP_MS, 3.0);
    double span = (a[FRAMES - 1].timeUs - a[0].timeUs) / 1000.0;
    EXPECT_GT(span, (FRAMES - 1) * STEP_MS * 0.95);
    EXPECT_LT(span, (FRAMES - 1) * STEP_MS * 1.25);
    EXPECT_LT(elapsedMs, 15000);
    EXPECT_EQ(tavod.err().find("still running at exit"), std::string::npos) << tavod.err();
}

TEST_F(TavodPlayTest, RepeatPlaysTheSequenceThatManyTimes) {
    ASSERT_TRUE(media.writeSequence("short.lcsf", CHANNELS, 20, STEP_MS));
    Tavod tavod(media.path(), tavodArgs(media, {"play", "short.lcsf", "--repeat", "3"}));
    std::vector<Datagram> a = collect(rxA, 15000, [](const std::vector<Datagram>& g) {
        return !g.empty() && frameOfA(g.back().bytes) == -1;
    });
    ASSERT_TRUE(tavod.wait(10000));
    EXPECT_EQ(tavod.exitCode(), 0) << tavod.err();
    std::vector<int> frames;
    for (const Datagram& d : a) {
        frames.push_back(frameOfA(d.bytes));
    }
    // Three passes of 0..19 without a blank between them, then the blank.
    std::vector<int> want;
    for (int pass = 0; pass < 3; pass++) {
        for (int f = 0; f < 20; f++) {
            want.push_back(f);
        }
    }
    want.push_back(-1);
    EXPECT_EQ(frames, want);
    // Said once for the show, not again at every pass.
    const std::string playing = "Playing short.lcsf";
    const size_t first = tavod.err().find(playing);
    EXPECT_NE(first, std::string::npos) << tavod.err();
    EXPECT_EQ(tavod.err().find(playing, first + 1), std::string::npos) << tavod.err();
}

TEST_F(TavodPlayTest, StartSecondSkipsTheFirstFrames) {
    // 2 s at 25 ms: frame 80 comes first.
    Tavod tavod(media.path(), tavodArgs(media, {"play", "show.lcsf", "--start-second", "2"}));
    std::vector<Datagram> a = collect(rxA, 15000, [](const std::vector<Datagram>& g) {
        return !g.empty() && frameOfA(g.back().bytes) == -1;
    });
    ASSERT_TRUE(tavod.wait(10000));
    EXPECT_EQ(tavod.exitCode(), 0) << tavod.err();
    ASSERT_EQ(a.size(), FRAMES - 80 + 1);
    EXPECT_EQ(frameOfA(a.front().bytes), 80);
    EXPECT_EQ(frameOfA(a[a.size() - 2].bytes), (int)FRAMES - 1);
}

TEST_F(TavodPlayTest, AShowPastFourGiBPlaysItsLastFramesFromTheirOwnOffsets) {
    // 2^20 channels in 4200 frames of 25 ms: 4.4 GB of version 1 data, whose last
    // second lies past 4 GiB. Only that second is written; the rest are holes, so
    // the file costs a few blocks of disk. An offset cut to 32 bits reads a hole.
    const uint32_t channels = 1u << 20, frames = 4200, first = 4160;
    const std::string path = media.sequencePath("huge.lcsf");
    uint64_t dataOffset = 0;
    {
        std::unique_ptr<LCSFFile> w(LCSFFile::createLCSFFile(path, 1, LCSFFile::CompressionType::none));
        ASSERT_NE(nullptr, w);
        w->m_seqChannelCount = channels;
        w->m_seqNumFrames = frames;
        w->m_seqStepTime = STEP_MS;
        w->writeHeader();
        w->finalize();
        ASSERT_FALSE(w->hasWriteError());
        dataOffset = w->m_seqChanDataOffset;
    }
    int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << strerror(errno);
    for (uint32_t f = first; f < frames; f++) {
        std::vector<uint8_t> slice = frameSlice(f, 0, 1000);
        ASSERT_EQ((ssize_t)slice.size(),
                  pwrite(fd, slice.data(), slice.size(), (off_t)(dataOffset + (uint64_t)f * channels)));
    }
    ASSERT_EQ(0, ftruncate(fd, (off_t)(dataOffset + (uint64_t)frames * channels))) << strerror(errno);
    struct stat st;
    ASSERT_EQ(0, fstat(fd, &st));
    close(fd);
    ASSERT_GT((uint64_t)st.st_size, 1ull << 32);
    if ((uint64_t)st.st_blocks * 512 > (64u << 20)) {
        GTEST_SKIP() << "the temporary folder " << media.path() << " cannot hold sparse files";
    }

    Tavod tavod(media.path(), tavodArgs(media, {"play", "huge.lcsf", "--start-second", "104"}));
    std::vector<Datagram> a = collect(rxA, 30000, [](const std::vector<Datagram>& g) {
        return !g.empty() && frameOfA(g.back().bytes) == -1;
    });
    ASSERT_TRUE(tavod.wait(10000));
    EXPECT_EQ(tavod.exitCode(), 0) << tavod.err();
    ASSERT_EQ(a.size(), frames - first + 1) << tavod.err();
    for (uint32_t i = 0; i + 1 < a.size(); i++) {
        ASSERT_EQ(a[i].bytes, expectedA(frameSlice(first + i, 0, 1000))) << "frame " << first + i;
    }
}

class TavodStopTest : public TavodPlayTest, public ::testing::WithParamInterface<int> {};

TEST_P(TavodStopTest, ASignalMidShowBlanksClosesAndExitsZero) {
    int sig = GetParam();
    Tavod tavod(media.path(), tavodArgs(media, {"play", "show.lcsf", "--loop"}));
    std::vector<Datagram> a =
        collect(rxA, 10000, [](const std::vector<Datagram>& g) { return g.size() >= 30; });
    ASSERT_GE(a.size(), 30u) << tavod.err();
    tavod.sendSignal(sig);
    std::vector<Datagram> rest = collect(rxA, 5000, [](const std::vector<Datagram>& g) {
        return !g.empty() && frameOfA(g.back().bytes) == -1;
    });
    ASSERT_TRUE(tavod.wait(10000)) << "tavod did not end after the signal";
    EXPECT_EQ(tavod.exitCode(), 0) << tavod.err();
    a.insert(a.end(), rest.begin(), rest.end());

    // Frames in order up to the stop, then one blank frame, and nothing after it.
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(frameOfA(a.back().bytes), -1);
    for (size_t i = 0; i + 1 < a.size(); i++) {
        ASSERT_EQ(frameOfA(a[i].bytes), (int)i) << "datagram " << i;
    }
    Datagram extra;
    EXPECT_FALSE(rxA.receive(extra, 300));
    EXPECT_NE(tavod.err().find("Stopping on request"), std::string::npos) << tavod.err();
    EXPECT_EQ(tavod.err().find("still running at exit"), std::string::npos) << tavod.err();
}

INSTANTIATE_TEST_SUITE_P(Signals, TavodStopTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& i) {
                             return std::string(i.param == SIGINT ? "SIGINT" : "SIGTERM");
                         });

TEST_F(TavodPlayTest, AClosedStandardErrorDoesNotEndTheShow) {
    // The reading end is gone before tavod writes its first log line: every write
    // to standard error fails with EPIPE, which must not raise SIGPIPE.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    ASSERT_TRUE(media.writeSequence("short.lcsf", CHANNELS, 40, STEP_MS));
    Tavod tavod(media.path(), tavodArgs(media, {"play", "short.lcsf"}), fds[1]);
    close(fds[1]);
    std::vector<Datagram> a = collect(rxA, 10000, [](const std::vector<Datagram>& g) {
        return !g.empty() && frameOfA(g.back().bytes) == -1;
    });
    ASSERT_TRUE(tavod.wait(10000));
    EXPECT_EQ(tavod.exitCode(), 0) << "1000 + n means signal n; SIGPIPE is 13";
    EXPECT_EQ(a.size(), 41u);
}

TEST_F(TavodPlayTest, CompressedSequencesPlayTheSameFrames) {
    ASSERT_TRUE(media.writeSequence("zstd.lcsf", CHANNELS, 60, STEP_MS, LCSFFile::CompressionType::zstd));
    ASSERT_TRUE(media.writeSequence("zlib.lcsf", CHANNELS, 60, STEP_MS, LCSFFile::CompressionType::zlib));
    for (const char* name : {"zstd.lcsf", "zlib.lcsf"}) {
        Tavod tavod(media.path(), tavodArgs(media, {"play", name}));
        std::vector<Datagram> a = collect(rxA, 10000, [](const std::vector<Datagram>& g) {
            return !g.empty() && frameOfA(g.back().bytes) == -1;
        });
        ASSERT_TRUE(tavod.wait(10000));
        EXPECT_EQ(tavod.exitCode(), 0) << tavod.err();
        ASSERT_EQ(a.size(), 61u) << name;
        for (uint32_t f = 0; f < 60; f++) {
            ASSERT_EQ(frameOfA(a[f].bytes), (int)f) << name << " datagram " << f;
        }
        Datagram d;
        while (rxB.receive(d, 200)) {
        }
    }
}

TEST_F(TavodPlayTest, ADamagedFileEndsWithAFailureThatNamesIt) {
    // Ten frames are one block: damaged, nothing of the file can be read.
    ASSERT_TRUE(media.writeSequence("broken.lcsf", CHANNELS, 10, STEP_MS, LCSFFile::CompressionType::zstd));
    ASSERT_TRUE(damageBlock(media.sequencePath("broken.lcsf"), 0));
    {
        Tavod tavod(media.path(), tavodArgs(media, {"play", "broken.lcsf"}));
        ASSERT_TRUE(tavod.wait(10000)) << "tavod play of a damaged file must end\n" << tavod.err();
        EXPECT_EQ(tavod.exitCode(), 1) << tavod.err();
        EXPECT_NE(tavod.err().find("No frame of " + media.sequencePath("broken.lcsf") + " could be read"),
                  std::string::npos)
            << tavod.err();
        EXPECT_NE(tavod.err().find("cannot play broken.lcsf"), std::string::npos) << tavod.err();
        Datagram d;
        while (rxA.receive(d, 200)) {
            EXPECT_EQ(frameOfA(d.bytes), -1) << "only blank frames go out";
        }
        while (rxB.receive(d, 50)) {
        }
    }

    // Sixty frames, the first block damaged: the rest plays, and the exit says the file is damaged.
    ASSERT_TRUE(media.writeSequence("hurt.lcsf", CHANNELS, 60, STEP_MS, LCSFFile::CompressionType::zstd));
    ASSERT_TRUE(damageBlock(media.sequencePath("hurt.lcsf"), 0));
    Tavod tavod(media.path(), tavodArgs(media, {"play", "hurt.lcsf"}));
    // Until the blank frame of the end, after the frames that could be read.
    std::vector<Datagram> a = collect(rxA, 10000, [](const std::vector<Datagram>& g) {
        return g.size() > 1 && frameOfA(g.back().bytes) == -1 && frameOfA(g[g.size() - 2].bytes) >= 0;
    });
    ASSERT_TRUE(tavod.wait(10000)) << tavod.err();
    EXPECT_EQ(tavod.exitCode(), 1) << tavod.err();
    EXPECT_NE(tavod.err().find("Frame 0 of " + media.sequencePath("hurt.lcsf") + " cannot be read"),
              std::string::npos)
        << tavod.err();
    EXPECT_NE(tavod.err().find("hurt.lcsf is damaged"), std::string::npos) << tavod.err();
    std::vector<int> played;
    for (const Datagram& d : a) {
        int f = frameOfA(d.bytes);
        ASSERT_NE(f, -2) << "a frame the file does not hold";
        if (f >= 0) {
            played.push_back(f);
        }
    }
    ASSERT_FALSE(played.empty());
    EXPECT_GE(played.front(), 10) << "frames of the damaged block are not sent";
    EXPECT_TRUE(std::is_sorted(played.begin(), played.end()));
}

TEST_F(TavodPlayTest, EachFrameOfADamagedBlockStillCostsItsPeriod) {
    // 6600 channels make blocks of ten frames: block 2 holds frames 20 to 29.
    ASSERT_TRUE(media.writeSequence("hurt.lcsf", 6600, 80, STEP_MS, LCSFFile::CompressionType::zstd));
    ASSERT_TRUE(damageBlock(media.sequencePath("hurt.lcsf"), 2));
    uint16_t port = 0;
    std::unique_ptr<Tavod> tavod = startWithHttp(media, {"run"}, port);
    ASSERT_TRUE(tavod);
    HttpTestResponse r =
        httpRequest(port, "POST", "/api/playback", R"({"action": "play", "sequence": "hurt.lcsf"})");
    ASSERT_EQ(r.status, 200) << r.body;
    // Every period takes one frame number, shown or not (late, unreadable): the
    // periods run less the frame on show stay the same after the damaged block. The
    // smallest of each side, as a status may count the frame on show's period or not.
    int before = INT_MAX, after = INT_MAX;
    for (int polls = 0; polls < 2000; polls++) {
        Json::Value s = parseJson(httpGet(port, "/api/status").body);
        if (s["status"].asString() != "playing") {
            break;
        }
        int frame = s["frame"].asInt();
        int lead = s["framesSent"].asInt() - frame;
        if (frame >= 0 && frame < 20) {
            before = std::min(before, lead);
        } else if (frame >= 30) {
            after = std::min(after, lead);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_NE(before, INT_MAX) << tavod->err();
    ASSERT_NE(after, INT_MAX) << tavod->err();
    EXPECT_GE(after, before - 1) << "the frames after the damaged block came " << (before - after)
                                 << " period(s) early";
}

TEST(TavodStopPreset, StoppingAShowWhoseStopPresetStartsItAgainNeverHangsTheDaemon) {
    // The show lasts two frames of 1 ms and starts itself again whenever it stops: at
    // its end on the output thread, and at each stop asked over HTTP on the main loop.
    // Frames that short keep the output thread in a frame, and in a restart, often.
    MediaDir media;
    TimedUdpReceiver rx;
    ASSERT_TRUE(media.writeSequence("short.lcsf", CHANNELS, 2, 1));
    media.writeOutputs(customUdp(1, 1000, rx.port(), "AB {s2} {data} 0x7E"));
    media.writeConfig("commandPresets.json", R"({"presets": {"SEQUENCE_STOPPED": [
        {"command": "Start Sequence", "args": ["short.lcsf"]}]}})");
    uint16_t port = 0;
    std::unique_ptr<Tavod> tavod = startWithHttp(media, {"run"}, port);
    ASSERT_TRUE(tavod);
    const std::string start = R"({"command": "Start Sequence", "args": ["short.lcsf"]})";
    ASSERT_EQ(httpRequest(port, "POST", "/api/command", start).status, 200) << tavod->err();
    for (int i = 0; i < 500; i++) {
        HttpTestResponse r = httpRequest(port, "POST", "/api/playback", R"({"action": "stop"})");
        ASSERT_EQ(r.status, 200) << "stop " << i << " was not served: " << r.body << "\n" << tavod->err();
    }
    // Still answering, and still playing: frames keep coming.
    HttpTestResponse status = httpGet(port, "/api/status");
    ASSERT_EQ(status.status, 200) << tavod->err();
    Datagram d;
    while (rx.receive(d, 0)) {
    }
    int frames = 0;
    for (int i = 0; i < 100 && frames < 10; i++) {
        if (rx.receive(d, 100) && frameOfA(d.bytes) >= 0) {
            frames++;
        }
    }
    EXPECT_EQ(frames, 10) << tavod->err();
    EXPECT_EQ(httpRequest(port, "POST", "/api/playback", R"({"action": "stop"})").status, 200);
    tavod->sendSignal(SIGTERM);
    EXPECT_TRUE(tavod->wait(10000)) << tavod->err();
}

} // namespace
