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
    wake_.notify_one();
    return written_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return queue_.empty() && inFlight_ == 0; });
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
    bool failing = false;
    std::vector<ProductionRecord> batch;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // Records are gathered for up to 200 ms, so a busy line writes a few
        // transactions a second, not one per chip; a failing database is
        // tried again every second.
        wake_.wait_for(lock, std::chrono::milliseconds(failing ? 1000 : 200),
                       [this] { return stop_ || (!queue_.empty() && inFlight_ == 0); });
        if (queue_.empty()) {
            if (stop_) return;
            continue;
        }
        if (!failing && !stop_) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            lock.lock();
        }
        batch.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
        queue_.clear();
        inFlight_ = batch.size();
        lock.unlock();
        std::string problem;
        try {
            if (!store) store = std::make_unique<RecordStore>(path_);
            store->insert(batch);
            batch.clear();
        } catch (const std::exception& e) {
            problem = e.what();
            store.reset();  // opened again next time: the file may have been mended or moved
        }
        if (problem.empty() && failing) {
            failing = false;
            if (onRecovered_) onRecovered_();
        } else if (!problem.empty() && !failing) {
            failing = true;
            if (onProblem_) onProblem_(problem);
        }
        lock.lock();
        if (!batch.empty()) {
            // Back to the front, in order, ahead of what came meanwhile.
            queue_.insert(queue_.begin(), std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
            batch.clear();
        }
        inFlight_ = 0;
        written_.notify_all();
        if (stop_ && failing) return;  // the end: nothing more can be done
    }
}

}  // namespace kvx
