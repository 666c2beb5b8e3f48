// The daemon's timed output thread on its own: absolute schedule, forced frames,
// stopping, skipped reads and lateness counting, with a frame function that records.
#include "host/output/OutputManager.h"
#include "OutputThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Recorder {
    std::mutex lock;
    std::vector<Clock::time_point> times;
    std::vector<bool> skips;
    std::chrono::microseconds work{0};

    OutputThread::FrameFunction function() {
        return [this](bool skip) {
            {
                std::lock_guard<std::mutex> l(lock);
                times.push_back(Clock::now());
                skips.push_back(skip);
            }
            if (work.count()) {
                std::this_thread::sleep_for(work);
            }
        };
    }
    size_t count() {
        std::lock_guard<std::mutex> l(lock);
        return times.size();
    }
    bool waitFor(size_t n, int timeoutMs) {
        auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (count() < n && Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return count() >= n;
    }
};

class OutputThreadTest : public ::testing::Test {
protected:
    void SetUp() override { savedRate = GetChannelOutputRefreshRate(); }
    void TearDown() override { SetChannelOutputRefreshRate(savedRate); }
    float savedRate = 20.0f;
};

TEST_F(OutputThreadTest, WorkInsideAFrameDoesNotDelayTheNextOnes) {
    // 100 frames/s and 4 ms of work each: a thread that slept a period after its work
    // would need 1.4 s for 100 frames; on the schedule they take 1 s.
    SetChannelOutputRefreshRate(100.0f);
    Recorder r;
    r.work = std::chrono::microseconds(4000);
    OutputThread t(r.function());
    t.SetRealTime(false);
    t.Start();
    ASSERT_TRUE(r.waitFor(101, 5000));
    t.Stop();
    double spanMs = std::chrono::duration<double, std::milli>(r.times[100] - r.times[0]).count();
    EXPECT_GT(spanMs, 980.0);
    EXPECT_LT(spanMs, 1200.0);
    OutputThread::Stats s = t.GetStats();
    EXPECT_EQ(s.periodUs, 10000);
    EXPECT_GE(s.framesSent, 101);
}

TEST_F(OutputThreadTest, AForcedFrameGoesOutAtOnceAndStartsANewSchedule) {
    SetChannelOutputRefreshRate(1.0f); // one frame a second
    Recorder r;
    OutputThread t(r.function());
    t.SetRealTime(false);
    t.Start();
    ASSERT_TRUE(r.waitFor(1, 2000)); // the first frame is due at once
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto forcedAt = Clock::now();
    t.ForceOutputNow();
    ASSERT_TRUE(r.waitFor(2, 500)) << "the forced frame waited for its period";
    double waitedMs = std::chrono::duration<double, std::milli>(r.times[1] - forcedAt).count();
    EXPECT_LT(waitedMs, 400.0);
    EXPECT_TRUE(t.WaitForForcedFrame(100));
    t.Stop();
}

TEST_F(OutputThreadTest, StopSendsAForcedFrameStillPending) {
    // The engine's close asks for a blank frame, and the daemon stops the thread
    // right after: the blank must still go out.
    SetChannelOutputRefreshRate(1.0f);
    for (int round = 0; round < 20; round++) {
        Recorder r;
        OutputThread t(r.function());
        t.SetRealTime(false);
        t.Start();
        ASSERT_TRUE(r.waitFor(1, 2000));
        t.ForceOutputNow();
        t.Stop();
        EXPECT_EQ(r.count(), 2u) << "round " << round;
        EXPECT_FALSE(t.IsRunning());
    }
}

TEST_F(OutputThreadTest, SkipNextReadAppliesToOneFrame) {
    SetChannelOutputRefreshRate(200.0f);
    Recorder r;
    OutputThread t(r.function());
    t.SetRealTime(false);
    {
        // As the daemon does around an open: no frame runs until the lock is released,
        // and the forced frame is the one that skips the read.
        std::lock_guard<std::recursive_mutex> frames(t.FrameLock());
        t.Start();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(r.count(), 0u);
        t.SkipNextRead();
        t.ForceOutputNow();
    }
    ASSERT_TRUE(r.waitFor(5, 2000));
    t.Stop();
    std::lock_guard<std::mutex> l(r.lock);
    EXPECT_TRUE(r.skips[0]);
    for (size_t i = 1; i < r.skips.size(); i++) {
        EXPECT_FALSE(r.skips[i]) << i;
    }
}

TEST_F(OutputThreadTest, SlowFramesAreCountedLate) {
    SetChannelOutputRefreshRate(100.0f);
    Recorder r;
    OutputThread t(r.function());
    t.SetRealTime(false);
    t.Start();
    ASSERT_TRUE(r.waitFor(5, 2000));
    {
        // Three periods of work in one frame: the next frame starts 20 ms late or more.
        std::lock_guard<std::mutex> l(r.lock);
        r.work = std::chrono::microseconds(30000);
    }
    size_t before = r.count();
    ASSERT_TRUE(r.waitFor(before + 1, 2000));
    {
        std::lock_guard<std::mutex> l(r.lock);
        r.work = std::chrono::microseconds(0);
    }
    ASSERT_TRUE(r.waitFor(before + 10, 2000));
    t.Stop();
    OutputThread::Stats s = t.GetStats();
    EXPECT_GE(s.lateFrames, 1);
    EXPECT_GE(s.maxLatenessUs, 15000);
    EXPECT_GE(s.p99LatenessUs, s.p50LatenessUs);
    t.ResetStats();
    EXPECT_EQ(t.GetStats().lateFrames, 0);
}

TEST_F(OutputThreadTest, ARateChangeTakesEffectOnTheNextFrame) {
    SetChannelOutputRefreshRate(1.0f);
    Recorder r;
    OutputThread t(r.function());
    t.SetRealTime(false);
    t.Start();
    ASSERT_TRUE(r.waitFor(1, 2000));
    SetChannelOutputRefreshRate(100.0f);
    // One more frame at the old rate, then 10 ms apart: 20 frames well within 3 s.
    ASSERT_TRUE(r.waitFor(22, 3000));
    t.Stop();
    EXPECT_EQ(t.GetStats().periodUs, 10000);
}

TEST(OutputThreadPeriod, FromRefreshRate) {
    EXPECT_EQ(OutputThread::PeriodFromRate(40.0f), 25000);
    EXPECT_EQ(OutputThread::PeriodFromRate(1000.0f / 33.0f), 33000);
    EXPECT_EQ(OutputThread::PeriodFromRate(20.0f), 50000);
    // Nonsense rates fall back to 20 frames/s instead of dividing by zero.
    EXPECT_EQ(OutputThread::PeriodFromRate(0.0f), 50000);
    EXPECT_EQ(OutputThread::PeriodFromRate(-5.0f), 50000);
    EXPECT_EQ(OutputThread::PeriodFromRate(1.0f / 0.0f), 50000);
}

TEST(OutputThreadLifecycle, StartAndStopAreIdempotentAndRestartable) {
    Recorder r;
    OutputThread t(r.function());
    t.SetRealTime(false);
    t.Stop(); // never started
    t.Start();
    t.Start();
    EXPECT_TRUE(t.IsRunning());
    ASSERT_TRUE(r.waitFor(1, 2000));
    t.Stop();
    t.Stop();
    EXPECT_FALSE(t.IsRunning());
    size_t n = r.count();
    t.Start();
    ASSERT_TRUE(r.waitFor(n + 1, 2000));
    // Destroyed while running: the destructor stops and joins.
}

} // namespace
