#include "service/event_ring.h"

#include <algorithm>

namespace kvx {

EventRing::EventRing(size_t capacity, int wakeEveryMs)
    : capacity_(capacity), wakeEveryMs_(std::max(1, wakeEveryMs)), waker_([this] { wakeReaders(); }) {}

EventRing::~EventRing() {
    close();
    {
        std::lock_guard<std::mutex> lock(wakerMutex_);
        stopWaker_ = true;
    }
    wakerCv_.notify_one();
    waker_.join();
}

uint64_t EventRing::push(std::string json) {
    auto text = std::make_shared<const std::string>(std::move(json));
    std::lock_guard<std::mutex> lock(incomingMutex_);
    incoming_.emplace_back(++assigned_, std::move(text));
    return assigned_;
}

// The events reach the ring from here, a few milliseconds after they came,
// and the readers are woken: the events of those milliseconds go out
// together.
void EventRing::wakeReaders() {
    std::vector<Event> moving;
    std::unique_lock<std::mutex> lock(wakerMutex_);
    for (bool last = false; !last;) {
        last = stopWaker_;
        if (!last) wakerCv_.wait_for(lock, std::chrono::milliseconds(wakeEveryMs_));
        if (takeIncoming(moving)) cv_.notify_all();
    }
}

bool EventRing::takeIncoming(std::vector<Event>& moving) {
    {
        std::lock_guard<std::mutex> in(incomingMutex_);
        moving.swap(incoming_);
    }
    if (moving.empty()) return false;
    {
        std::lock_guard<std::mutex> ring(mutex_);
        for (Event& e : moving) events_.push_back(std::move(e));
        next_ = events_.back().first + 1;
        while (events_.size() > capacity_) events_.pop_front();
    }
    moving.clear();
    return true;
}

EventRing::Batch EventRing::after(uint64_t after, std::chrono::milliseconds wait, size_t maxEvents) const {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, wait, [&] { return closed_ || next_ - 1 > after; });
    Batch b;
    b.closed = closed_;
    if (events_.empty()) return b;
    b.gap = events_.front().first > after + 1;
    // The numbers run without a hole, so the first one wanted is found by
    // its distance from the oldest kept. The texts are shared, not copied.
    const uint64_t first = std::max(after + 1, events_.front().first);
    for (size_t i = static_cast<size_t>(first - events_.front().first); i < events_.size() && b.events.size() < maxEvents; ++i)
        b.events.push_back(events_[i]);
    return b;
}

uint64_t EventRing::lastId() const {
    std::lock_guard<std::mutex> lock(incomingMutex_);
    return assigned_;
}

void EventRing::close() {
    // What was pushed before goes out before the streams end.
    {
        std::lock_guard<std::mutex> waker(wakerMutex_);
        std::vector<Event> moving;
        takeIncoming(moving);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    cv_.notify_all();
}

}  // namespace kvx
