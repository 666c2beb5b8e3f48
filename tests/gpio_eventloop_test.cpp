// The host's event loop that carries GPIO line events: dispatch, removal during a
// round, and tasks handed over from other threads (HTTP commands).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "host/core/EPollManager.h"

namespace {

struct Pipe {
    int fds[2];
    Pipe() { EXPECT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0); }
    ~Pipe() {
        close(fds[0]);
        close(fds[1]);
    }
    int r() const { return fds[0]; }
    void poke() { EXPECT_EQ(write(fds[1], "x", 1), 1); }
    void drain() {
        char buf[64];
        while (read(fds[0], buf, sizeof(buf)) > 0) {
        }
    }
};

class EventLoopTest : public ::testing::Test {
protected:
    void TearDown() override { EPollManager::INSTANCE.detachLoop(); }
    EPollManager& loop = EPollManager::INSTANCE;
};

} // namespace

TEST_F(EventLoopTest, ReadableDescriptorRunsItsCallbackUntilRemoved) {
    Pipe p;
    int calls = 0;
    int seenFd = -1;
    ASSERT_TRUE(loop.addFileDescriptor(p.r(), [&](int fd) {
        calls++;
        seenFd = fd;
        char c;
        EXPECT_EQ(read(fd, &c, 1), 1);
        return false;
    }));
    EXPECT_EQ(loop.waitForEvents(0), 0);
    p.poke();
    EXPECT_EQ(loop.waitForEvents(1000), 1);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seenFd, p.r());
    loop.removeFileDescriptor(p.r());
    EXPECT_FALSE(loop.hasFileDescriptor(p.r()));
    p.poke();
    EXPECT_EQ(loop.waitForEvents(20), 0);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(loop.addFileDescriptor(-1, [](int) { return false; }));
    EXPECT_FALSE(loop.addFileDescriptor(p.r(), nullptr));
}

TEST_F(EventLoopTest, TrueFromTheCallbackUnregisters) {
    Pipe p;
    int calls = 0;
    loop.addFileDescriptor(p.r(), [&](int) {
        calls++;
        return true;
    });
    p.poke();
    EXPECT_EQ(loop.waitForEvents(1000), 1);
    EXPECT_FALSE(loop.hasFileDescriptor(p.r()));
    EXPECT_EQ(loop.waitForEvents(20), 0);
    EXPECT_EQ(calls, 1);
}

TEST_F(EventLoopTest, DescriptorRemovedByAnotherCallbackOfTheSameRoundIsNotCalled) {
    Pipe a, b;
    int aCalls = 0, bCalls = 0;
    // Whichever runs first removes the other, so exactly one runs.
    loop.addFileDescriptor(a.r(), [&](int) {
        aCalls++;
        loop.removeFileDescriptor(b.r());
        a.drain();
        return false;
    });
    loop.addFileDescriptor(b.r(), [&](int) {
        bCalls++;
        loop.removeFileDescriptor(a.r());
        b.drain();
        return false;
    });
    a.poke();
    b.poke();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(loop.waitForEvents(1000), 1);
    EXPECT_EQ(aCalls + bCalls, 1);
    loop.removeFileDescriptor(a.r());
    loop.removeFileDescriptor(b.r());
}

TEST_F(EventLoopTest, TasksRunOnTheLoopThread) {
    // No loop yet: the caller runs the task itself.
    std::thread::id ranOn;
    EXPECT_TRUE(loop.runOnLoop([&] { ranOn = std::this_thread::get_id(); }));
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    loop.waitForEvents(0); // this thread is now the loop
    EXPECT_TRUE(loop.isLoopThread());
    std::atomic<bool> stop(false);
    std::atomic<bool> result(false);
    std::thread other([&] {
        result = loop.runOnLoop([&] { ranOn = std::this_thread::get_id(); }, 5000);
        stop = true;
    });
    while (!stop) {
        loop.waitForEvents(50);
    }
    other.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(EventLoopTest, TaskNotTakenInTimeIsDroppedAndNeverRuns) {
    loop.waitForEvents(0);
    std::atomic<int> runs(0);
    bool result = true;
    std::thread other([&] { result = loop.runOnLoop([&] { runs++; }, 50); });
    other.join();
    EXPECT_FALSE(result);
    loop.waitForEvents(0);
    EXPECT_EQ(runs, 0);
}

TEST_F(EventLoopTest, DetachHandsWaitingTasksBackToTheirCallers) {
    loop.waitForEvents(0);
    std::atomic<int> runs(0);
    std::atomic<bool> result(false);
    std::thread::id ranOn;
    std::thread other([&] {
        result = loop.runOnLoop(
            [&] {
                runs++;
                ranOn = std::this_thread::get_id();
            },
            5000);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    loop.detachLoop();
    std::thread::id otherId = other.get_id();
    other.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(ranOn, otherId);
    EXPECT_FALSE(loop.isLoopThread());
}
