// The timed channel-output thread.
#include "OutputThread.h"

#include "host/core/Common.h"
#include "host/core/Log.h"
#include "RealTime.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

#include <pthread.h>
#include <sched.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t BUCKET_US = 50;
constexpr size_t BUCKETS = 4001; // 0 to 200 ms, then everything later

int64_t toUs(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

} // namespace

OutputThread::OutputThread(FrameFunction frame)
    : m_frame(std::move(frame)), m_histogram(BUCKETS, 0), m_workHistogram(BUCKETS, 0) {}

OutputThread::~OutputThread() {
    Stop();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void OutputThread::SetPeriodScale(double scale) {
    if (!std::isfinite(scale)) {
        scale = 1.0;
    }
    m_periodScale = std::min(1.1, std::max(0.9, scale));
}

int64_t OutputThread::PeriodFromRate(float rate) {
    if (!(rate > 0.0f) || !std::isfinite(rate)) {
        return 50000;
    }
    double us = 1000000.0 / (double)rate;
    // Rates come from whole-millisecond step times; rounding to 1 us undoes the float.
    us = std::min(std::max(us, 1000.0), 10000000.0);
    return (int64_t)std::llround(us);
}

void OutputThread::Start() {
    std::lock_guard<std::mutex> l(m_lock);
    if (m_running && !m_stop) {
        return;
    }
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id()) {
            return; // stopping itself; it cannot restart on its own thread
        }
        m_thread.join();
    }
    m_stop = false;
    m_running = true;
    m_thread = std::thread(&OutputThread::Run, this);
}

void OutputThread::Stop() {
    {
        std::lock_guard<std::mutex> l(m_lock);
        if (!m_running) {
            return;
        }
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.get_id() == std::this_thread::get_id()) {
        return; // the loop ends after this frame; whoever starts or destroys us joins
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    std::lock_guard<std::mutex> l(m_lock);
    m_running = false;
}

bool OutputThread::IsRunning() {
    std::lock_guard<std::mutex> l(m_lock);
    return m_running && !m_stop;
}

void OutputThread::ForceOutputNow() {
    {
        std::lock_guard<std::mutex> l(m_lock);
        m_force = true;
    }
    m_wake.notify_all();
}

void OutputThread::SkipNextRead() {
    std::lock_guard<std::mutex> l(m_lock);
    m_skipRead = true;
}

bool OutputThread::WaitForForcedFrame(int timeoutMs) {
    std::unique_lock<std::mutex> l(m_lock);
    return m_forcedSent.wait_for(l, std::chrono::milliseconds(timeoutMs),
                                 [this] { return !m_force || !m_running; });
}

namespace {

// The value at percentile `pct` of a histogram of BUCKET_US buckets: the upper edge of
// its bucket, so the figure is never better than the truth; `max` for the open bucket.
int64_t histogramPercentile(const std::vector<uint32_t>& h, double pct, int64_t max) {
    long long total = 0;
    for (uint32_t c : h) {
        total += c;
    }
    if (total == 0) {
        return 0;
    }
    long long rank = (long long)std::ceil(pct / 100.0 * (double)total);
    long long seen = 0;
    for (size_t i = 0; i < h.size(); i++) {
        seen += h[i];
        if (seen >= rank) {
            return i + 1 == h.size() ? max : (int64_t)(i + 1) * BUCKET_US;
        }
    }
    return max;
}

} // namespace

OutputThread::Stats OutputThread::GetStats() {
    std::lock_guard<std::mutex> l(m_lock);
    Stats s = m_stats;
    s.p50LatenessUs = histogramPercentile(m_histogram, 50, s.maxLatenessUs);
    s.p99LatenessUs = histogramPercentile(m_histogram, 99, s.maxLatenessUs);
    s.p99WorkUs = histogramPercentile(m_workHistogram, 99, s.maxWorkUs);
    return s;
}

void OutputThread::ResetStats() {
    std::lock_guard<std::mutex> l(m_lock);
    int64_t period = m_stats.periodUs;
    m_stats = Stats();
    m_stats.periodUs = period;
    std::fill(m_histogram.begin(), m_histogram.end(), 0);
    std::fill(m_workHistogram.begin(), m_workHistogram.end(), 0);
}

void OutputThread::Record(int64_t latenessUs, int64_t workUs, int64_t periodUs) {
    if (latenessUs < 0) {
        latenessUs = 0;
    }
    m_stats.lastWorkUs = workUs;
    m_stats.maxWorkUs = std::max(m_stats.maxWorkUs, workUs);
    m_workHistogram[std::min((size_t)(std::max<int64_t>(workUs, 0) / BUCKET_US), BUCKETS - 1)]++;
    m_stats.lastLatenessUs = latenessUs;
    m_stats.maxLatenessUs = std::max(m_stats.maxLatenessUs, latenessUs);
    if (latenessUs * 2 > periodUs) {
        m_stats.lateFrames++;
    }
    size_t bucket = std::min((size_t)(latenessUs / BUCKET_US), BUCKETS - 1);
    m_histogram[bucket]++;
}

void OutputThread::RunFrame(bool skipRead) {
    try {
        m_frame(skipRead);
    } catch (const std::exception& e) {
        // Only a failed lock can throw here; one lost frame is better than a dead show.
        LogErr(LOGCH_CHANNELOUT, "Channel output frame failed: %s\n", e.what());
    }
}

void OutputThread::Run() {
    SetThreadName("Tavo-ChanOut");
    if (m_cpu >= 0) {
        tavod::PinThreadToCpu(m_cpu);
    }
    if (m_realTimePriority > 0) {
        m_realTimeGranted = tavod::MakeThreadRealTime(m_realTimePriority, m_realTimeRequired);
    }

    // Frame k of the schedule is due at anchor + k * period: computed from the
    // anchor every time, so rounding never accumulates into drift.
    auto currentPeriod = [this] {
        return (int64_t)std::llround(PeriodFromRate(GetChannelOutputRefreshRate()) * m_periodScale.load());
    };
    int64_t period = currentPeriod();
    Clock::time_point anchor = Clock::now();
    int64_t k = 0;

    std::unique_lock<std::mutex> l(m_lock);
    m_stats.periodUs = period;
    while (true) {
        Clock::time_point due = anchor + std::chrono::microseconds(k * period);
        m_wake.wait_until(l, due, [this] { return m_stop || m_force; });
        if (m_stop && !m_force) {
            break;
        }
        l.unlock();

        bool forced;
        Clock::time_point start;
        {
            std::lock_guard<std::recursive_mutex> frameLock(m_frameLock);
            bool skip;
            {
                // Taken after the frame lock: an open that set these while holding it is
                // served by this very frame, whichever wake-up brought us here.
                std::lock_guard<std::mutex> s(m_lock);
                forced = m_force;
                skip = m_skipRead;
                m_force = false;
                m_skipRead = false;
            }
            start = Clock::now();
            RunFrame(skip);
        }
        int64_t workUs = toUs(Clock::now() - start);
        if (m_frameDone) {
            m_frameDone();
        }

        l.lock();
        m_stats.framesSent++;
        if (forced) {
            // A forced frame is on time by definition and starts a new schedule.
            Record(0, workUs, period);
            anchor = start;
            k = 1;
            m_forcedSent.notify_all();
        } else {
            Record(toUs(start - due), workUs, period);
            k++;
        }

        int64_t newPeriod = currentPeriod();
        if (newPeriod != period) {
            anchor += std::chrono::microseconds(k * period);
            k = 0;
            period = newPeriod;
            m_stats.periodUs = period;
        }
        Clock::time_point next = anchor + std::chrono::microseconds(k * period);
        int64_t behind = toUs(Clock::now() - next);
        if (behind > MAX_CATCH_UP_US) {
            m_stats.reanchors++;
            anchor = Clock::now();
            k = 0;
            // Not under m_lock: a log sink may ask for our statistics.
            l.unlock();
            LogWarn(LOGCH_CHANNELOUT,
                    "Channel output fell %lld ms behind its schedule; starting a new schedule\n",
                    (long long)(behind / 1000));
            l.lock();
        }
        if (m_stop && !m_force) {
            break;
        }
    }
    m_running = false;
    m_forcedSent.notify_all();
}
