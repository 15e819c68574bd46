// The event loop seam on Qt: posted functions and timers run on the GUI
// thread. While a modal prompt is open (hold() .. release()), nothing posted
// and no timer tick reaches the core: posted functions wait in order and a
// periodic timer keeps at most one pending tick, so Qt's nested loop cannot
// re-enter the reply dispatch or the watchdog. Posted functions run in turns
// of a few milliseconds, so that a flood of them (serial data faster than the
// program takes it in) never keeps the timers and the window waiting.
#pragma once

#include "shell/seams.h"

#include <QObject>
#include <QTimer>

#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace kvx {

class QtEventLoop : public QObject, public EventLoop {
    Q_OBJECT
public:
    QtEventLoop();
    ~QtEventLoop() override;
    void post(std::function<void()> fn) override;
    TimerId startTimer(int intervalMs, bool singleShot, std::function<void()> fn) override;
    void stopTimer(TimerId id) override;
    void sleepMs(int ms) override;

    void hold();
    void release();
    bool holding() const { return holdDepth_ > 0; }
    size_t heldCount() const { return held_.size(); }

private:
    void runPosted();
    void deliver(std::function<void()> fn);
    void tick(TimerId id);
    void drain();
    struct TimerEntry {
        std::unique_ptr<QTimer> timer;
        std::function<void()> fn;
        bool pending = false;  // a tick arrived while holding
    };
    std::mutex postMutex_;
    std::deque<std::function<void()>> posted_;  // from any thread, in order
    bool postScheduled_ = false;                 // a runPosted() is queued or running
    int holdDepth_ = 0;
    bool drainScheduled_ = false;  // a drain of held_ is queued
    std::deque<std::function<void()>> held_;
    std::map<TimerId, TimerEntry> timers_;
    TimerId nextId_ = 1;
};

// Holds the loop for the lifetime of the guard.
class LoopHold {
public:
    explicit LoopHold(QtEventLoop& l) : l_(l) { l_.hold(); }
    ~LoopHold() { l_.release(); }
    LoopHold(const LoopHold&) = delete;
    LoopHold& operator=(const LoopHold&) = delete;

private:
    QtEventLoop& l_;
};

}  // namespace kvx
