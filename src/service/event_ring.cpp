#include "service/event_ring.h"

namespace kvx {

uint64_t EventRing::push(std::string json) {
    uint64_t id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        id = next_++;
        events_.emplace_back(id, std::move(json));
        while (events_.size() > capacity_) events_.pop_front();
    }
    cv_.notify_all();
    return id;
}

EventRing::Batch EventRing::after(uint64_t after, std::chrono::milliseconds wait, size_t maxEvents) const {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, wait, [&] { return closed_ || next_ - 1 > after; });
    Batch b;
    b.closed = closed_;
    if (events_.empty()) return b;
    b.gap = events_.front().first > after + 1;
    // The numbers run without a hole, so the first one wanted is found by
    // its distance from the oldest kept.
    const uint64_t first = std::max(after + 1, events_.front().first);
    for (size_t i = static_cast<size_t>(first - events_.front().first); i < events_.size() && b.events.size() < maxEvents; ++i)
        b.events.push_back(events_[i]);
    return b;
}

uint64_t EventRing::lastId() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return next_ - 1;
}

void EventRing::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    cv_.notify_all();
}

}  // namespace kvx
