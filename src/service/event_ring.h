// The station's recent events for its event stream: the last N JSON events,
// each with a number one higher than the one before, so that a client that
// lost its connection asks for what came after the last one it saw. Filled
// on the logic thread, read by the server's threads: the one structure they
// share, behind its own lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kvx {

class EventRing {
public:
    // wakeEveryMs: how often the readers waiting for events are woken when
    // some came (the writer itself wakes nobody, below).
    explicit EventRing(size_t capacity, int wakeEveryMs = 5);
    ~EventRing();
    EventRing(const EventRing&) = delete;
    EventRing& operator=(const EventRing&) = delete;

    // Keeps `json` as the next event; gives its number (from 1). Called on
    // the logic thread: it hands the event to the waker, below, and shares
    // no lock with the readers (which run at the lowest priority and may
    // be held off a core holding it) and wakes none of them. With a hundred
    // readers, a wake of every one of them from here held the logic thread
    // up for good.
    uint64_t push(std::string json);

    using Event = std::pair<uint64_t, std::shared_ptr<const std::string>>;  // number, JSON
    struct Batch {
        std::vector<Event> events;
        bool closed = false;  // the stream ends: the station stops
        bool gap = false;     // events after `after` have left the ring already
    };
    // The events after number `after` (at most maxEvents), waiting up to
    // `wait` for one when there is none yet.
    Batch after(uint64_t after, std::chrono::milliseconds wait, size_t maxEvents = 500) const;
    // The last event's number (0 before the first).
    uint64_t lastId() const;
    // Wakes every waiting reader and ends their streams.
    void close();

private:
    void wakeReaders();
    // Moves the events pushed so far into the ring; false when there were none.
    bool takeIncoming(std::vector<Event>& moving);

    size_t capacity_;
    int wakeEveryMs_;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::deque<Event> events_;
    uint64_t next_ = 1;
    bool closed_ = false;
    // The waker: every wakeEveryMs, it moves the events pushed since into
    // the ring and wakes the readers.
    mutable std::mutex incomingMutex_;
    std::vector<Event> incoming_;
    uint64_t assigned_ = 0;  // the last number given (under incomingMutex_)
    std::mutex wakerMutex_;
    std::condition_variable wakerCv_;
    bool stopWaker_ = false;
    std::thread waker_;
};

}  // namespace kvx
