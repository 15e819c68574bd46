#include "ui/qt_event_loop.h"

#include <QMetaObject>
#include <QThread>

#include <chrono>

namespace kvx {

QtEventLoop::QtEventLoop() = default;
QtEventLoop::~QtEventLoop() = default;

void QtEventLoop::post(std::function<void()> fn) {
    // Thread-safe: the queued call runs on this object's (the GUI) thread.
    bool schedule = false;
    {
        std::lock_guard<std::mutex> lock(postMutex_);
        posted_.push_back(std::move(fn));
        schedule = !postScheduled_;
        postScheduled_ = true;
    }
    if (schedule) QMetaObject::invokeMethod(this, [this] { runPosted(); }, Qt::QueuedConnection);
}

void QtEventLoop::runPosted() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(4);
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> lock(postMutex_);
            if (posted_.empty()) {
                postScheduled_ = false;
                return;
            }
            fn = std::move(posted_.front());
            posted_.pop_front();
        }
        deliver(std::move(fn));
        if (std::chrono::steady_clock::now() >= until) break;
    }
    // The rest in the next turn, after the timers and the window's events.
    QMetaObject::invokeMethod(this, [this] { runPosted(); }, Qt::QueuedConnection);
}

void QtEventLoop::deliver(std::function<void()> fn) {
    // While held, and until what was held has run, arrivals wait their turn.
    if (holdDepth_ > 0 || drainScheduled_) {
        held_.push_back(std::move(fn));
        return;
    }
    fn();
}

EventLoop::TimerId QtEventLoop::startTimer(int intervalMs, bool singleShot, std::function<void()> fn) {
    TimerId id = nextId_++;
    auto& e = timers_[id];
    e.fn = std::move(fn);
    e.timer = std::make_unique<QTimer>();
    e.timer->setSingleShot(singleShot);
    e.timer->setTimerType(Qt::PreciseTimer);
    e.timer->setInterval(intervalMs);
    QObject::connect(e.timer.get(), &QTimer::timeout, this, [this, id] { tick(id); });
    e.timer->start();
    return id;
}

void QtEventLoop::tick(TimerId id) {
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    if (holdDepth_ > 0 || drainScheduled_) {
        it->second.pending = true;
        return;
    }
    auto fn = it->second.fn;  // the handler may stop this timer
    if (it->second.timer->isSingleShot()) timers_.erase(it);
    fn();
}

void QtEventLoop::stopTimer(TimerId id) { timers_.erase(id); }

void QtEventLoop::sleepMs(int ms) { QThread::msleep(static_cast<unsigned long>(ms)); }

void QtEventLoop::hold() { ++holdDepth_; }

void QtEventLoop::release() {
    if (holdDepth_ == 0 || --holdDepth_ > 0) return;
    // What arrived while held runs from the event loop, after the code that
    // opened the prompt has finished with its answer (a channel's Abort ends
    // that channel before the next channel's prompt can open).
    if (drainScheduled_) return;
    drainScheduled_ = true;
    QMetaObject::invokeMethod(this, [this] { drain(); }, Qt::QueuedConnection);
}

void QtEventLoop::drain() {
    drainScheduled_ = false;
    if (holdDepth_ > 0) return;  // held again meanwhile: the next release drains
    // In order; a prompt opened by one of them holds the loop again and the
    // rest wait for its release.
    while (holdDepth_ == 0 && !held_.empty()) {
        auto fn = std::move(held_.front());
        held_.pop_front();
        fn();
    }
    if (holdDepth_ > 0) return;
    // Then one tick per timer that fell due while held.
    std::vector<TimerId> due;
    for (auto& [id, e] : timers_)
        if (e.pending) due.push_back(id);
    for (TimerId id : due) {
        auto it = timers_.find(id);
        if (it == timers_.end() || holdDepth_ > 0) continue;
        it->second.pending = false;
        tick(id);
    }
}

}  // namespace kvx
