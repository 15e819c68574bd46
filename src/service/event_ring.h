// The station's recent events for its event stream: the last N JSON events,
// each with a number one higher than the one before, so that a client that
// lost its connection asks for what came after the last one it saw. Filled
// on the logic thread, read by the server's threads: the one structure they
// share, behind its own lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kvx {

class EventRing {
public:
    explicit EventRing(size_t capacity) : capacity_(capacity) {}

    // Keeps `json` as the next event; gives its number (from 1).
    uint64_t push(std::string json);

    struct Batch {
        std::vector<std::pair<uint64_t, std::string>> events;  // number, JSON
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
    size_t capacity_;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::deque<std::pair<uint64_t, std::string>> events_;
    uint64_t next_ = 1;
    bool closed_ = false;
};

}  // namespace kvx
