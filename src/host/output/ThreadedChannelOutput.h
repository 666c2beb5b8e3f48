// An output whose device traffic runs on a thread of its own: SendData hands the
// frame over and returns, RawSendData sends it on the output's thread.
#pragma once

#include "host/core/MonotonicCondition.h"

#include "host/output/ChannelOutput.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

class ThreadedChannelOutput : public ChannelOutput {
public:
    ThreadedChannelOutput(unsigned int startChannel, unsigned int channelCount);
    ~ThreadedChannelOutput() override;

    int Init(Json::Value config) override;
    // Sends a frame still waiting (the closing blank), then stops the thread.
    int Close() override;
    int SendData(unsigned char* channelData) override;

    // Runs on the output's thread with the output's own copy of the frame.
    virtual int RawSendData(unsigned char* channelData) = 0;
    // Called on the output's thread when no frame arrived for a second.
    virtual void WaitTimedOut();

    long long FramesSent() const { return m_framesSent.load(); }

protected:
    // Sends a frame still waiting (unless told not to), then ends the thread;
    // harmless when none runs.
    void StopThread(bool sendPending = true);

    // When 1, the frame is copied into a second buffer so that the thread may take
    // its time sending one frame while the next is handed over.
    int m_useDoubleBuffer = 0;

private:
    void OutputThread();

    std::thread m_thread;
    std::mutex m_lock; // guards m_frame, m_haveFrame, m_stop
    MonotonicCondition m_signal;
    std::vector<unsigned char> m_frame; // latest frame handed over
    std::vector<unsigned char> m_sending;
    bool m_haveFrame = false;
    bool m_stop = false;
    std::atomic<long long> m_framesSent{0};
};
