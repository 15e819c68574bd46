#include "shell/plain_loop.h"

#include <thread>

namespace kvx {

void PlainEventLoop::post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(fn));
    }
    cv_.notify_one();
}

EventLoop::TimerId PlainEventLoop::startTimer(int intervalMs, bool singleShot, std::function<void()> fn) {
    TimerId id = nextId_++;
    auto iv = std::chrono::milliseconds(intervalMs < 1 ? 1 : intervalMs);
    timers_[id] = Timer{Clock::now() + iv, iv, singleShot, std::move(fn)};
    return id;
}

void PlainEventLoop::stopTimer(TimerId id) { timers_.erase(id); }

void PlainEventLoop::sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Runs one posted function or one due timer, waiting at most until `until`.
// Returns false when nothing ran before that time.
bool PlainEventLoop::runOne(Clock::time_point until) {
    std::function<void()> fn;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (quit_) return false;
            if (!queue_.empty()) {
                fn = std::move(queue_.front());
                queue_.pop_front();
                break;
            }
            auto now = Clock::now();
            // Earliest timer.
            TimerId dueId = 0;
            Clock::time_point dueAt = Clock::time_point::max();
            for (auto& [id, t] : timers_) {
                if (t.due < dueAt) {
                    dueAt = t.due;
                    dueId = id;
                }
            }
            if (dueId && dueAt <= now) {
                auto& t = timers_[dueId];
                fn = t.fn;
                if (t.singleShot) {
                    timers_.erase(dueId);
                } else {
                    t.due += t.interval;
                    if (t.due < now) t.due = now + t.interval;  // no burst after a stall
                }
                break;
            }
            auto wakeAt = std::min(dueAt, until);
            if (now >= until) return false;
            cv_.wait_until(lock, wakeAt);
        }
    }
    fn();
    return true;
}

void PlainEventLoop::run() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = false;
    }
    while (runOne(Clock::time_point::max())) {
    }
}

void PlainEventLoop::runFor(int ms) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = false;
    }
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
        if (!runOne(until)) break;
    }
}

bool PlainEventLoop::runUntil(const std::function<bool()>& pred, int timeoutMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = false;
    }
    auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (!runOne(until)) return pred();
    }
    return true;
}

int PlainEventLoop::processPending() {
    int n = 0;
    while (runOne(Clock::now())) ++n;
    return n;
}

void PlainEventLoop::quit() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    cv_.notify_all();
}

}  // namespace kvx
