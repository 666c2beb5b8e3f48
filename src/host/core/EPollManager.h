// The host's event loop: file descriptors whose callbacks run on the thread that
// calls waitForEvents (tavod's main loop), and tasks other threads hand to that thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class EPollManager {
public:
    static EPollManager INSTANCE;

    // The callback gets the descriptor; returning true unregisters it.
    using Callback = std::function<bool(int)>;

    EPollManager();
    ~EPollManager();
    EPollManager(const EPollManager&) = delete;
    EPollManager& operator=(const EPollManager&) = delete;

    // Calls `callback(fd)` on the loop whenever `fd` is readable (or hung up). A
    // descriptor registered again replaces its callback. False when epoll refuses it.
    bool addFileDescriptor(int fd, const Callback& callback);
    // After this returns on the loop thread, no callback for `fd` runs any more,
    // even one whose readiness was already collected in the same round.
    void removeFileDescriptor(int fd);
    bool hasFileDescriptor(int fd);

    // Waits up to `timeoutMS` (-1: for ever) for readiness, runs the callbacks and
    // the tasks that were handed over, and returns how many it ran. The calling
    // thread becomes the loop thread until detachLoop().
    int waitForEvents(int timeoutMS);
    // Called by the loop's owner when it stops calling waitForEvents: tasks are then
    // run at once by their callers.
    void detachLoop();
    bool isLoopThread();

    // Runs `task` on the loop thread and waits for it; at once when called on the
    // loop thread or when no loop runs. False when the loop did not start the task
    // within `timeoutMS`: the task is then dropped and never runs.
    bool runOnLoop(const std::function<void()>& task, int timeoutMS = 5000);

private:
    struct Registration {
        int fd;
        Callback callback;
    };
    struct Task;

    void drainWakeup();

    int m_epollFd = -1;
    int m_wakeFd = -1; // eventfd that interrupts epoll_wait when a task is handed over
    std::mutex m_lock; // guards every member below
    uint64_t m_nextId = 1;
    std::map<uint64_t, Registration> m_registrations; // by id, which the epoll events carry
    std::map<int, uint64_t> m_idByFd;
    std::vector<std::shared_ptr<Task>> m_tasks;
    bool m_loopAttached = false;
    std::thread::id m_loopThread;
};
