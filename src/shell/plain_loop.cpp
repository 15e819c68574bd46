#include "shell/plain_loop.h"

#include <thread>

namespace kvx {

namespace {
Clock& steadyClock() {
    static SystemClock clock;
    return clock;
}
}  // namespace

PlainEventLoop::PlainEventLoop(Clock* clock) : clock_(clock ? *clock : steadyClock()), busySince_(RealClock::now()) {}

void PlainEventLoop::post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(fn));
    }
    cv_.notify_one();
}

EventLoop::TimerId PlainEventLoop::startTimer(int intervalMs, bool singleShot, std::function<void()> fn) {
    TimerId id = nextId_++;
    const int64_t iv = intervalMs < 1 ? 1 : intervalMs;
    timers_[id] = Timer{clock_.monotonicMs() + iv, iv, singleShot, std::move(fn)};
    return id;
}

void PlainEventLoop::stopTimer(TimerId id) { timers_.erase(id); }

void PlainEventLoop::sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Runs one posted function or one due timer, waiting at most until `until`
// (real time). Returns false when nothing ran before that time.
bool PlainEventLoop::runOne(RealClock::time_point until) {
    std::function<void()> fn;
    bool posted = false;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (quit_) return false;
            const int64_t now = clock_.monotonicMs();
            // Earliest timer.
            TimerId dueId = 0;
            int64_t dueAt = INT64_MAX;
            for (auto& [id, t] : timers_) {
                if (t.due < dueAt) {
                    dueAt = t.due;
                    dueId = id;
                }
            }
            const bool timerDue = dueId && dueAt <= now;
            if (!queue_.empty() && !(timerDue && RealClock::now() - busySince_ >= std::chrono::milliseconds(4))) {
                fn = std::move(queue_.front());
                queue_.pop_front();
                posted = true;
                break;
            }
            if (timerDue) {
                auto& t = timers_[dueId];
                fn = t.fn;
                if (t.singleShot) {
                    timers_.erase(dueId);
                } else {
                    t.due += t.interval;
                    if (t.due < now) t.due = now + t.interval;  // no burst after a stall
                }
                busySince_ = RealClock::now();
                break;
            }
            const auto realNow = RealClock::now();
            if (realNow >= until) return false;
            // The clock runs at the steady clock's pace (a stepped clock
            // besides jumps, which happen on this thread), so the wait for
            // the next tick is its distance in real time.
            auto wakeAt = until;
            if (dueId) wakeAt = std::min(wakeAt, realNow + std::chrono::milliseconds(dueAt - now));
            cv_.wait_until(lock, wakeAt);
            busySince_ = RealClock::now();  // what came meanwhile is new
        }
    }
    fn();
    if (posted) ++handled_;
    return true;
}

void PlainEventLoop::run() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = false;
    }
    while (runOne(RealClock::time_point::max())) {
    }
}

void PlainEventLoop::runFor(int ms) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = false;
    }
    auto until = RealClock::now() + std::chrono::milliseconds(ms);
    while (RealClock::now() < until) {
        if (!runOne(until)) break;
    }
}

bool PlainEventLoop::runUntil(const std::function<bool()>& pred, int timeoutMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = false;
    }
    auto until = RealClock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (!runOne(until)) return pred();
    }
    return true;
}

int PlainEventLoop::processPending() {
    int n = 0;
    while (runOne(RealClock::now())) ++n;
    return n;
}

void PlainEventLoop::skipAhead(SteppedClock& clock, int64_t ms) {
    const int64_t target = clock.monotonicMs() + ms;
    for (;;) {
        processPending();
        int64_t next = INT64_MAX;
        for (auto& [id, t] : timers_) next = std::min(next, t.due);
        const int64_t now = clock.monotonicMs();
        if (next > target) {
            if (target > now) clock.advance(target - now);
            processPending();
            return;
        }
        if (next > now) clock.advance(next - now);
    }
}

void PlainEventLoop::quit() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    cv_.notify_all();
}

}  // namespace kvx
