// A condition variable for std::mutex whose timed waits are pthread_cond_timedwait
// on CLOCK_MONOTONIC, the clock std::chrono::steady_clock reads.
//
// std::condition_variable waits on steady_clock with pthread_cond_clockwait, which
// tools that shift or scale a program's clocks (Debian's faketime, used to test the
// schedule and the sync of many boards) do not see: such a wait then compares the
// shifted clock with the real one and sleeps for a day, or not at all. Those tools
// do see pthread_cond_timedwait, so timed waits that pace the show use this.
#pragma once

#include <cerrno>
#include <chrono>
#include <mutex>

#include <pthread.h>
#include <time.h>

class MonotonicCondition {
public:
    using Clock = std::chrono::steady_clock;

    MonotonicCondition() {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&m_cond, &attr);
        pthread_condattr_destroy(&attr);
    }
    ~MonotonicCondition() { pthread_cond_destroy(&m_cond); }
    MonotonicCondition(const MonotonicCondition&) = delete;
    MonotonicCondition& operator=(const MonotonicCondition&) = delete;

    void notify_one() { pthread_cond_signal(&m_cond); }
    void notify_all() { pthread_cond_broadcast(&m_cond); }

    void wait(std::unique_lock<std::mutex>& lock) {
        pthread_cond_wait(&m_cond, lock.mutex()->native_handle());
    }
    template <class Predicate> void wait(std::unique_lock<std::mutex>& lock, Predicate done) {
        while (!done()) {
            wait(lock);
        }
    }

    // False when `due` came first.
    bool wait_until(std::unique_lock<std::mutex>& lock, Clock::time_point due) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
        struct timespec ts;
        ts.tv_sec = static_cast<time_t>(ns / 1000000000);
        ts.tv_nsec = static_cast<long>(ns % 1000000000);
        if (ts.tv_nsec < 0) {
            ts.tv_sec--;
            ts.tv_nsec += 1000000000;
        }
        return pthread_cond_timedwait(&m_cond, lock.mutex()->native_handle(), &ts) != ETIMEDOUT;
    }
    // What `done` says at the end: false when `due` came first.
    template <class Predicate>
    bool wait_until(std::unique_lock<std::mutex>& lock, Clock::time_point due, Predicate done) {
        while (!done()) {
            if (!wait_until(lock, due)) {
                return done();
            }
        }
        return true;
    }
    // False when `timeout` passed first.
    template <class Rep, class Period>
    bool wait_for(std::unique_lock<std::mutex>& lock, const std::chrono::duration<Rep, Period>& timeout) {
        return wait_until(lock, Clock::now() + timeout);
    }
    template <class Rep, class Period, class Predicate>
    bool wait_for(std::unique_lock<std::mutex>& lock, const std::chrono::duration<Rep, Period>& timeout,
                  Predicate done) {
        return wait_until(lock, Clock::now() + timeout, std::move(done));
    }

private:
    pthread_cond_t m_cond;
};
