// The channel outputs the playback engine feeds: the list of configured outputs,
// the per-frame prepare and send calls, and the controls of the output thread.
//
// Outputs are borrowed: whoever creates an output (the daemon, from its plug-ins;
// a test) keeps it and removes it before deleting it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

class ChannelOutput;

using ChannelRanges = std::vector<std::pair<uint32_t, uint32_t>>; // (first channel, count)

// The thread that calls the engine once per frame period. The daemon installs its
// timed thread; tests install their own or none. Calls come from any thread.
class ChannelOutputThread {
public:
    virtual ~ChannelOutputThread() {}
    virtual void Start() = 0; // no effect when already running
    virtual void Stop() = 0;
    virtual bool IsRunning() = 0;
    // Send the next frame as soon as possible instead of at its time. Must not
    // wait for the thread: the engine calls it with its own lock held.
    virtual void ForceOutputNow() = 0;
};

class ChannelOutputManager {
public:
    static ChannelOutputManager INSTANCE;

    void AddOutput(ChannelOutput* output);
    void RemoveOutput(ChannelOutput* output);
    void RemoveAllOutputs();
    std::vector<ChannelOutput*> GetOutputs();

    // Ranges every output reads. Precise: each run of used channels on its own
    // (overlapping and touching ranges merged); otherwise one range from the
    // lowest to the highest used channel. Sorted by first channel.
    ChannelRanges GetOutputRanges(bool precise);

    void PrepareData(unsigned char* channelData);
    void SendData(unsigned char* channelData);
    // A show starts, or has ended and its blank went out: every output's
    // StartingOutput or StoppingOutput (streams that end with a show say so).
    void StartingOutput();
    void StoppingOutput();

    // Borrowed; null removes it. The previous thread is stopped first.
    void SetOutputThread(ChannelOutputThread* thread);
    ChannelOutputThread* GetOutputThread();

    std::atomic<bool> outputEnabled{true};
    std::atomic<float> refreshRate{20.0f};
    std::atomic<int> frameNumber{0};
    std::atomic<long long> framesSent{0};

private:
    void computeRanges(); // with m_lock held

    std::mutex m_lock; // guards m_outputs, m_preciseRanges, m_wideRanges, m_thread
    std::vector<ChannelOutput*> m_outputs;
    ChannelRanges m_preciseRanges;
    ChannelRanges m_wideRanges;
    ChannelOutputThread* m_thread = nullptr;
};

// The host functions the engine calls; each forwards to ChannelOutputManager::INSTANCE.
ChannelRanges GetOutputRanges(bool precise);
void PrepareChannelData(unsigned char* channelData);
void SendChannelData(unsigned char* channelData);

void SetChannelOutputRefreshRate(float rate);
float GetChannelOutputRefreshRate();
void SetChannelOutputFrameNumber(int frameNumber);
void ResetChannelOutputFrameNumber();
int GetChannelOutputFrameNumber();

void StartChannelOutputThread();
void StopChannelOutputThread();
int ChannelOutputThreadIsRunning();
// Outputs send only while enabled.
int ChannelOutputThreadIsEnabled();
void EnableChannelOutput();
void DisableChannelOutput();
void ForceChannelOutputNow();
