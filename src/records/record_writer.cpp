#include "records/record_writer.h"

#include "records/record_store.h"

#include <chrono>
#include <memory>
#include <vector>

namespace kvx {

RecordWriter::RecordWriter(std::string path, std::function<void(const std::string&)> onProblem,
                           std::function<void()> onRecovered)
    : path_(std::move(path)), onProblem_(std::move(onProblem)), onRecovered_(std::move(onRecovered)) {
    thread_ = std::thread([this] { run(); });
}

RecordWriter::~RecordWriter() {
    flush(5000);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void RecordWriter::add(ProductionRecord r) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() >= kMaxWaiting) {
            ++dropped_;
            return;
        }
        queue_.push_back(std::move(r));
    }
    wake_.notify_one();
}

bool RecordWriter::flush(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    // One more attempt now, even while the database is failing; a database
    // that still fails ends the wait at once rather than at the timeout.
    const uint64_t from = attempts_;
    retryNow_ = true;
    wake_.notify_one();
    written_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return inFlight_ == 0 && (queue_.empty() || (failing_ && attempts_ > from));
    });
    return queue_.empty() && inFlight_ == 0;
}

size_t RecordWriter::waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size() + inFlight_;
}

uint64_t RecordWriter::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

void RecordWriter::run() {
    std::unique_ptr<RecordStore> store;
    std::vector<ProductionRecord> batch;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // A failing database is tried again every second, or at once when
        // someone waits for it (flush).
        wake_.wait_for(lock, std::chrono::milliseconds(failing_ ? 1000 : 200),
                       [this] { return stop_ || retryNow_ || (!failing_ && !queue_.empty()); });
        const bool urgent = retryNow_ || stop_;
        retryNow_ = false;
        if (queue_.empty()) {
            if (stop_) return;
            continue;
        }
        if (!failing_ && !urgent) {
            // Records are gathered for a moment, so a busy line writes a few
            // transactions a second, not one per chip.
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            lock.lock();
        }
        // The queue is swapped out (constant time) so add() never waits
        // while the records are moved into the batch.
        std::deque<ProductionRecord> taken;
        taken.swap(queue_);
        inFlight_ = taken.size();
        lock.unlock();
        batch.assign(std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end()));
        taken.clear();
        std::string problem;
        try {
            if (!store) store = std::make_unique<RecordStore>(path_);
            store->insert(batch);
            batch.clear();
        } catch (const std::exception& e) {
            problem = e.what();
            store.reset();  // opened again next time: the file may have been mended or moved
        }
        lock.lock();
        if (!batch.empty()) {
            // Back to the front, in order, ahead of what came meanwhile.
            queue_.insert(queue_.begin(), std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
            batch.clear();
        }
        const bool wasFailing = failing_;
        failing_ = !problem.empty();
        inFlight_ = 0;
        ++attempts_;
        lock.unlock();
        if (failing_ && !wasFailing && onProblem_) onProblem_(problem);
        if (!failing_ && wasFailing && onRecovered_) onRecovered_();
        lock.lock();
        written_.notify_all();
        if (stop_ && (failing_ || queue_.empty())) return;
    }
}

}  // namespace kvx
