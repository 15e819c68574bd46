// Writes production records to the station's database on a thread of its
// own, so the logic thread only hands a record over (a lock and a move):
// never a disk write. Records are written within half a second of being
// handed over (a crash loses at most the last second); a database that
// cannot be written (a full disk, a locked or read-only file) is reported
// once, the records wait in memory and are written when it works again,
// and the writer's end writes everything still waiting.
#pragma once

#include "records/record.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kvx {

class RecordWriter {
public:
    // onProblem gets the message of a failure (once, until the database
    // works again) and onRecovered is told when it does; both are called on
    // the writer's thread.
    RecordWriter(std::string path, std::function<void(const std::string&)> onProblem,
                 std::function<void()> onRecovered = {});
    ~RecordWriter();
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    void add(ProductionRecord r);
    // Makes one more attempt and waits up to timeoutMs until every record
    // handed over is written; false when some are still waiting (the
    // database is failing: then it returns after that attempt).
    bool flush(int timeoutMs);
    size_t waiting() const;
    // Records not written because memory held kMaxWaiting already.
    uint64_t dropped() const;
    const std::string& path() const { return path_; }

    static constexpr size_t kMaxWaiting = 1'000'000;

private:
    void run();
    std::string path_;
    std::function<void(const std::string&)> onProblem_;
    std::function<void()> onRecovered_;
    mutable std::mutex mutex_;
    std::condition_variable wake_, written_;
    std::deque<ProductionRecord> queue_;
    size_t inFlight_ = 0;
    uint64_t dropped_ = 0;
    uint64_t attempts_ = 0;
    bool failing_ = false, retryNow_ = false, stop_ = false;
    std::thread thread_;
};

}  // namespace kvx
