// The plain event loop: a thread-safe queue of posted functions and timers
// on the clock seam, run on the calling thread. Used by the command line
// front end and the tests.
//
// The timers follow the clock the loop is given (the system's steady clock
// when none): with a SteppedClock a test moves time forward and the loop
// fires every tick that falls due on the way (skipAhead). The time limits of
// runFor and runUntil are real time: they bound how long the caller waits.
#pragma once

#include "shell/seams.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

namespace kvx {

class PlainEventLoop : public EventLoop {
public:
    explicit PlainEventLoop(Clock* clock = nullptr);
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
    // Moves `clock` (the loop's own) forward by ms, firing each timer tick in
    // its turn and handling what is posted between them.
    void skipAhead(SteppedClock& clock, int64_t ms);
    // Posted functions handled so far (a sign of life from the threads).
    uint64_t handled() const { return handled_.load(); }

private:
    using RealClock = std::chrono::steady_clock;
    struct Timer {
        int64_t due;  // on clock_, ms
        int64_t interval;
        bool singleShot;
        std::function<void()> fn;
    };
    bool runOne(RealClock::time_point until);

    Clock& clock_;
    std::atomic<uint64_t> handled_{0};
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;
    // Since when the loop has run posted functions without a break (a wait
    // or a timer): after 4 ms of them, a due timer has its turn (as the
    // window's loop gives it), so that a steady stream of arrivals does
    // not hold the timers back.
    RealClock::time_point busySince_;
    bool quit_ = false;
    // Timers are touched only on the logic thread.
    std::map<TimerId, Timer> timers_;
    TimerId nextId_ = 1;
};

}  // namespace kvx
