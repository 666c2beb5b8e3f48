// The output thread of threaded outputs.
#include "host/output/ThreadedChannelOutput.h"

#include "host/core/Common.h"
#include "host/core/Log.h"

#include <cstring>

ThreadedChannelOutput::ThreadedChannelOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount) {}

ThreadedChannelOutput::~ThreadedChannelOutput() {
    // A subclass that forgot Close still must not leave a thread behind. Its part
    // of the object is gone: no frame may reach its RawSendData now.
    StopThread(false);
}

void ThreadedChannelOutput::StopThread(bool sendPending) {
    {
        std::lock_guard<std::mutex> l(m_lock);
        m_stop = true;
        m_haveFrame = m_haveFrame && sendPending;
    }
    m_signal.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

int ThreadedChannelOutput::Init(Json::Value config) {
    StopThread(); // a second Init without Close
    m_frame.assign(m_channelCount, 0);
    m_sending.assign(m_channelCount, 0);
    m_stop = false;
    m_haveFrame = false;
    m_thread = std::thread(&ThreadedChannelOutput::OutputThread, this);
    return ChannelOutput::Init(config);
}

int ThreadedChannelOutput::Close() {
    StopThread();
    return ChannelOutput::Close();
}

int ThreadedChannelOutput::SendData(unsigned char* channelData) {
    {
        std::lock_guard<std::mutex> l(m_lock);
        if (!m_frame.empty()) {
            memcpy(m_frame.data(), channelData, m_frame.size());
        }
        m_haveFrame = true;
    }
    m_signal.notify_one();
    return (int)m_channelCount;
}

void ThreadedChannelOutput::WaitTimedOut() {}

void ThreadedChannelOutput::OutputThread() {
    SetThreadName("Tavo-Output");
    std::unique_lock<std::mutex> l(m_lock);
    // A frame handed over just before Close (the closing blank) still goes out.
    while (!m_stop || m_haveFrame) {
        if (!m_haveFrame) {
            if (!m_signal.wait_for(l, std::chrono::seconds(1), [this] { return m_stop || m_haveFrame; })) {
                l.unlock();
                WaitTimedOut();
                l.lock();
            }
            continue;
        }
        m_haveFrame = false;
        if (m_useDoubleBuffer) {
            m_sending.swap(m_frame);
            l.unlock();
            RawSendData(m_sending.data());
            l.lock();
            // Keep the handed-over frame complete: the next SendData copies a whole frame anyway.
        } else {
            RawSendData(m_frame.data());
        }
        m_framesSent++;
    }
}
