// The threaded output base: what is handed over before Close still goes out.
#include "host/output/ThreadedChannelOutput.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Holds its thread in the first frame until Close has begun, as a device that
// takes its time would.
class SlowFirstFrameOutput : public ThreadedChannelOutput {
public:
    SlowFirstFrameOutput() : ThreadedChannelOutput(0, 3) { m_useDoubleBuffer = 1; }

    int RawSendData(unsigned char* channelData) override {
        std::unique_lock<std::mutex> l(lock);
        sent.push_back(channelData[0]);
        if (sent.size() == 1) {
            inFirstFrame = true;
            changed.notify_all();
            changed.wait_for(l, std::chrono::seconds(20), [this] { return closing; });
            l.unlock();
            // Close asks the thread to stop meanwhile; the frame waiting must not be lost.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return 3;
    }
    int Close() override {
        {
            std::lock_guard<std::mutex> l(lock);
            closing = true;
        }
        changed.notify_all();
        return ThreadedChannelOutput::Close();
    }

    std::mutex lock;
    std::condition_variable changed;
    std::vector<unsigned char> sent; // the first channel of each frame sent
    bool inFirstFrame = false;
    bool closing = false;
};

} // namespace

TEST(ThreadedChannelOutput, TheFrameHandedOverJustBeforeCloseIsStillSent) {
    SlowFirstFrameOutput o;
    ASSERT_NE(0, o.Init(Json::Value(Json::objectValue)));
    unsigned char lit[3] = {200, 200, 200};
    unsigned char blank[3] = {0, 0, 0};
    o.SendData(lit);
    {
        std::unique_lock<std::mutex> l(o.lock);
        ASSERT_TRUE(o.changed.wait_for(l, std::chrono::seconds(20), [&] { return o.inFirstFrame; }));
    }
    o.SendData(blank); // the closing blank, while the thread still sends the frame before it
    o.Close();
    std::lock_guard<std::mutex> l(o.lock);
    EXPECT_EQ(o.sent, (std::vector<unsigned char>{200, 0}))
        << "the blank was not sent before the thread stopped";
}
