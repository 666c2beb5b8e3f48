// The daemon's channel-output thread: once per frame period, on an absolute
// schedule of the steady clock, it has the engine take, process and send a frame.
#pragma once

#include "host/core/MonotonicCondition.h"
#include "host/output/OutputManager.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class OutputThread : public ChannelOutputThread {
public:
    // What one frame does. `skipRead`: send the frame now in the buffer without
    // taking the next one (the first frame of a sequence, loaded by its open).
    using FrameFunction = std::function<void(bool skipRead)>;

    struct Stats {
        long long framesSent = 0;
        long long lateFrames = 0; // started more than half a period after their time
        long long reanchors = 0;  // the schedule restarted after falling far behind
        int64_t lastLatenessUs = 0;
        int64_t maxLatenessUs = 0;
        int64_t p50LatenessUs = 0; // from a histogram of 50 us buckets
        int64_t p99LatenessUs = 0;
        int64_t periodUs = 0;
        int64_t lastWorkUs = 0; // how long the last frame took, from its start to its send
        int64_t maxWorkUs = 0;
        int64_t p99WorkUs = 0;
    };

    // Falling further behind than this restarts the schedule instead of sending the
    // missed frames back to back.
    static constexpr int64_t MAX_CATCH_UP_US = 1000000;

    // `frame` runs once per period on the thread (the daemon hands in its engine's
    // read, process and send).
    explicit OutputThread(FrameFunction frame);
    ~OutputThread() override;
    OutputThread(const OutputThread&) = delete;
    OutputThread& operator=(const OutputThread&) = delete;

    void Start() override;
    // Sends a forced frame that is still pending, then ends the thread and waits for it.
    void Stop() override;
    bool IsRunning() override;
    void ForceOutputNow() override;

    // Held around an open and start of a sequence, so that no frame is taken
    // between them: frames run with this lock held.
    std::recursive_mutex& FrameLock() { return m_frameLock; }
    // The next frame sends the buffer as it is instead of taking a new frame.
    void SkipNextRead();
    // Waits until no forced frame is pending; false on time-out.
    bool WaitForForcedFrame(int timeoutMs);

    Stats GetStats();
    void ResetStats();

    // Frame period from a refresh rate in frames per second, in microseconds.
    static int64_t PeriodFromRate(float rate);

    // Real-time scheduling of the thread (SCHED_FIFO at `priority`, 0: none), set
    // before Start. `required`: a refusal is a warning the user sees, not a hint at
    // debug level.
    void SetRealTime(int priority, bool required) {
        m_realTimePriority = priority;
        m_realTimeRequired = required;
    }
    // The one processor the thread runs on (-1: any), set before Start.
    void SetCpu(int cpu) { m_cpu = cpu; }
    // The quiet try at priority 10 (on by default), or none.
    void SetRealTime(bool enabled) { SetRealTime(enabled ? 10 : 0, false); }
    // Whether the thread got the real-time priority it asked for.
    bool RealTimeGranted() const { return m_realTimeGranted; }
    // Runs after every frame, on the thread, outside every lock of ours (the service
    // watchdog); set before Start.
    void SetFrameDoneHook(std::function<void()> hook) { m_frameDone = std::move(hook); }
    // Stretches (above 1) or shortens the frame period, from the next frame on:
    // a follower of another board slews its show onto the leader's this way.
    // Kept within 0.9 to 1.1.
    void SetPeriodScale(double scale);
    double GetPeriodScale() const { return m_periodScale.load(); }

private:
    void Run();
    void RunFrame(bool skipRead);
    void Record(int64_t latenessUs, int64_t workUs, int64_t periodUs); // m_lock held

    FrameFunction m_frame;
    std::function<void()> m_frameDone;
    int m_realTimePriority = 10;
    bool m_realTimeRequired = false;
    int m_cpu = -1;
    std::atomic<bool> m_realTimeGranted{false};
    std::atomic<double> m_periodScale{1.0};

    // Held while a frame runs. Recursive: a command run by the engine inside an open
    // may start another sequence.
    std::recursive_mutex m_frameLock;
    std::mutex m_lock; // guards every member below
    MonotonicCondition m_wake;
    MonotonicCondition m_forcedSent;
    std::thread m_thread;
    bool m_running = false;
    bool m_stop = false;
    bool m_force = false;
    bool m_skipRead = false;
    Stats m_stats;
    std::vector<uint32_t> m_histogram;     // lateness in 50 us buckets, last one open-ended
    std::vector<uint32_t> m_workHistogram; // frame work time, the same buckets
};
