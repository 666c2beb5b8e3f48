// Event loop over epoll. Each registration has its own id, carried in the epoll
// event, so a descriptor removed (or closed and reused) during a round is never
// dispatched to a callback that no longer belongs to it.
#include "host/core/EPollManager.h"

#include "host/core/Log.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include "host/core/MonotonicCondition.h"
#include <cstring>
#include <memory>

EPollManager EPollManager::INSTANCE;

namespace {
const uint64_t WAKE_ID = 0;
}

struct EPollManager::Task {
    std::function<void()> fn;
    std::mutex lock;
    MonotonicCondition done;
    enum { PENDING, RUNNING, FINISHED, DROPPED } state = PENDING; // guarded by lock
};

EPollManager::EPollManager() {
    m_epollFd = epoll_create1(EPOLL_CLOEXEC);
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_epollFd >= 0 && m_wakeFd >= 0) {
        struct epoll_event ev;
        memset(&ev, 0, sizeof(ev));
        ev.events = EPOLLIN;
        ev.data.u64 = WAKE_ID;
        epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_wakeFd, &ev);
    }
}

EPollManager::~EPollManager() {
    if (m_wakeFd >= 0) {
        close(m_wakeFd);
    }
    if (m_epollFd >= 0) {
        close(m_epollFd);
    }
}

bool EPollManager::addFileDescriptor(int fd, const Callback& callback) {
    if (fd < 0 || !callback || m_epollFd < 0) {
        return false;
    }
    std::lock_guard<std::mutex> l(m_lock);
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = EPOLLIN | EPOLLPRI;
    auto existing = m_idByFd.find(fd);
    int op = EPOLL_CTL_ADD;
    if (existing != m_idByFd.end()) {
        m_registrations.erase(existing->second);
        op = EPOLL_CTL_MOD;
    }
    uint64_t id = m_nextId++;
    ev.data.u64 = id;
    if (epoll_ctl(m_epollFd, op, fd, &ev) != 0) {
        LogErr(LOGCH_GENERAL, "Cannot watch file descriptor %d: %s\n", fd, strerror(errno));
        m_idByFd.erase(fd);
        return false;
    }
    m_registrations[id] = Registration{fd, callback};
    m_idByFd[fd] = id;
    return true;
}

void EPollManager::removeFileDescriptor(int fd) {
    std::lock_guard<std::mutex> l(m_lock);
    auto it = m_idByFd.find(fd);
    if (it == m_idByFd.end()) {
        return;
    }
    m_registrations.erase(it->second);
    m_idByFd.erase(it);
    // Fails harmlessly when the descriptor was already closed (epoll dropped it then).
    epoll_ctl(m_epollFd, EPOLL_CTL_DEL, fd, nullptr);
}

bool EPollManager::hasFileDescriptor(int fd) {
    std::lock_guard<std::mutex> l(m_lock);
    return m_idByFd.count(fd) != 0;
}

void EPollManager::drainWakeup() {
    uint64_t count;
    while (read(m_wakeFd, &count, sizeof(count)) > 0) {
    }
}

int EPollManager::waitForEvents(int timeoutMS) {
    {
        std::lock_guard<std::mutex> l(m_lock);
        m_loopAttached = true;
        m_loopThread = std::this_thread::get_id();
    }
    int ran = 0;
    struct epoll_event events[32];
    int n = m_epollFd < 0 ? -1 : epoll_wait(m_epollFd, events, 32, timeoutMS);
    for (int i = 0; i < n; i++) {
        uint64_t id = events[i].data.u64;
        if (id == WAKE_ID) {
            drainWakeup();
            continue;
        }
        Registration reg;
        {
            std::lock_guard<std::mutex> l(m_lock);
            auto it = m_registrations.find(id);
            if (it == m_registrations.end()) {
                continue; // removed by an earlier callback of this round
            }
            reg = it->second;
        }
        ran++;
        if (reg.callback(reg.fd)) {
            std::lock_guard<std::mutex> l(m_lock);
            auto it = m_idByFd.find(reg.fd);
            if (it != m_idByFd.end() && it->second == id) {
                m_registrations.erase(id);
                m_idByFd.erase(it);
                epoll_ctl(m_epollFd, EPOLL_CTL_DEL, reg.fd, nullptr);
            }
        }
    }

    std::vector<std::shared_ptr<Task>> tasks;
    {
        std::lock_guard<std::mutex> l(m_lock);
        tasks.swap(m_tasks);
    }
    for (auto& t : tasks) {
        {
            std::lock_guard<std::mutex> tl(t->lock);
            if (t->state != Task::PENDING) {
                continue;
            }
            t->state = Task::RUNNING;
        }
        t->fn();
        ran++;
        {
            std::lock_guard<std::mutex> tl(t->lock);
            t->state = Task::FINISHED;
        }
        t->done.notify_all();
    }
    return ran;
}

void EPollManager::detachLoop() {
    std::vector<std::shared_ptr<Task>> tasks;
    {
        std::lock_guard<std::mutex> l(m_lock);
        m_loopAttached = false;
        tasks.swap(m_tasks);
    }
    // Whoever waits for these runs them itself.
    for (auto& t : tasks) {
        std::lock_guard<std::mutex> tl(t->lock);
        if (t->state == Task::PENDING) {
            t->state = Task::DROPPED;
        }
        t->done.notify_all();
    }
}

bool EPollManager::isLoopThread() {
    std::lock_guard<std::mutex> l(m_lock);
    return m_loopAttached && m_loopThread == std::this_thread::get_id();
}

bool EPollManager::runOnLoop(const std::function<void()>& task, int timeoutMS) {
    auto t = std::make_shared<Task>();
    t->fn = task;
    {
        std::lock_guard<std::mutex> l(m_lock);
        if (m_loopAttached && m_loopThread != std::this_thread::get_id()) {
            m_tasks.push_back(t);
        } else {
            t.reset();
        }
    }
    if (!t) {
        task();
        return true;
    }
    uint64_t one = 1;
    if (write(m_wakeFd, &one, sizeof(one)) < 0 && errno != EAGAIN) {
        LogWarn(LOGCH_GENERAL, "Cannot wake the event loop: %s\n", strerror(errno));
    }
    std::unique_lock<std::mutex> tl(t->lock);
    t->done.wait_for(tl, std::chrono::milliseconds(timeoutMS),
                     [&] { return t->state == Task::FINISHED || t->state == Task::DROPPED; });
    if (t->state == Task::FINISHED) {
        return true;
    }
    if (t->state == Task::RUNNING) {
        // Started in time: let it finish, the caller relies on its result.
        t->done.wait(tl, [&] { return t->state == Task::FINISHED; });
        return true;
    }
    if (t->state == Task::DROPPED) {
        // The loop detached before reaching it: no loop any more, so run it here.
        tl.unlock();
        task();
        return true;
    }
    t->state = Task::DROPPED;
    return false;
}
