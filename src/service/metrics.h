// The station's counts for a Prometheus scrape (text format 0.0.4): chips
// good and bad per channel and chip, runs by outcome, how long runs took,
// and the units connected. Counted and written on the logic thread.
#pragma once

#include "engine/events.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>

namespace kvx {

class StationMetrics {
public:
    // Counts what the event says of a chip: an automatic run's or a
    // programming's end on a channel, or an off-line chip.
    void onEvent(const EngineEvent& e);
    // A run of the station's ended: "ok", "failed" or "interrupted".
    void runEnded(const std::string& outcome, double seconds);
    // Where the production records stand: waiting in memory for the
    // station's database, dropped for want of memory, the problems told and
    // not yet over (of the database or the server), and the forwarder's.
    struct Records {
        uint64_t waiting = 0, dropped = 0;
        int problems = 0;
        bool forwarding = false;  // a server is configured
        uint64_t forwarded = 0;
    };
    // The scrape's text.
    std::string text(int unitsConnected, int channelsBusy, const Records& records) const;
    // The chips counted on the local date of `nowMs` (ms since the epoch):
    // that date ("YYYY-MM-DD"), good and bad.
    struct Day {
        std::string date;
        int64_t ok = 0, ng = 0;
    };
    Day today(int64_t nowMs) const;

    // The upper bounds of the run-duration histogram's buckets, in seconds.
    static constexpr std::array<double, 10> kBuckets{0.25, 0.5, 1, 2, 3, 5, 10, 30, 60, 300};

private:
    void countDay(int64_t timeMs, bool ok);
    std::map<std::tuple<int, std::string, bool>, int64_t> chips_;  // channel, chip, ok
    Day day_;  // the date of the last chip counted, and its chips
    std::map<std::string, int64_t> runs_{{"ok", 0}, {"failed", 0}, {"interrupted", 0}};
    std::array<int64_t, kBuckets.size()> bucketCounts_{};
    double durationSum_ = 0;
    int64_t durationCount_ = 0;
};

}  // namespace kvx
