// The plain event loop: a thread-safe queue of posted functions and a
// deadline heap of timers, run on the calling thread. Used by the command
// line front end and the tests.
#pragma once

#include "shell/seams.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

namespace kvx {

class PlainEventLoop : public EventLoop {
public:
    void post(std::function<void()> fn) override;
    TimerId startTimer(int intervalMs, bool singleShot, std::function<void()> fn) override;
    void stopTimer(TimerId id) override;
    void sleepMs(int ms) override;

    // Runs until quit() is called.
    void run();
    // Runs for the given time, then returns.
    void runFor(int ms);
    // Runs until pred() is true (checked after every event) or the time is up;
    // returns pred().
    bool runUntil(const std::function<bool()>& pred, int timeoutMs);
    // Handles what is due now without waiting; returns the number handled.
    int processPending();
    void quit();

private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        Clock::time_point due;
        std::chrono::milliseconds interval;
        bool singleShot;
        std::function<void()> fn;
    };
    bool runOne(Clock::time_point until);

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;
    bool quit_ = false;
    // Timers are touched only on the logic thread.
    std::map<TimerId, Timer> timers_;
    TimerId nextId_ = 1;
};

}  // namespace kvx
