#include "log/production_logs.h"

namespace kvx {

ProductionLogs::ProductionLogs(InfoLog& log, EventLoop& loop)
    : log_(log), loop_(loop), self_(std::make_shared<ProductionLogs*>(this)) {
    log_.onCleared.push_back([this] {
        ++generation_;
        savedBytes_ = 0;
        savedLines_ = 0;
        waiting_.clear();  // their lines were cleared with the log
    });
}

ProductionLogs::~ProductionLogs() {
    *self_ = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void ProductionLogs::save(const std::string& programFolder, const LocalTime& t) {
    LogJournal& journal = log_.journal();
    Asked a{programFolder, t, journal.bytes(), log_.size()};
    // One file at a time, so that a failed save's lines can go into the
    // next one without any line being saved twice.
    if (busy_) waiting_.push_back(std::move(a));
    else start(a);
}

void ProductionLogs::start(const Asked& a) {
    LogJournal& journal = log_.journal();
    journal.flush();  // what cannot be written yet is taken from memory
    Job job;
    job.folder = a.folder;
    job.time = a.time;
    job.fromBytes = savedBytes_;
    job.fromLines = savedLines_;
    job.generation = generation_;
    job.text = journal.text(savedBytes_, a.endBytes, a.endLines - savedLines_);
    savedBytes_ = a.endBytes;
    savedLines_ = a.endLines;
    busy_ = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
        if (!worker_.joinable()) worker_ = std::thread([this] { run(); });
    }
    cv_.notify_all();
}

void ProductionLogs::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
        if (jobs_.empty()) return;  // stopping with nothing left to write
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        working_ = true;
        lock.unlock();
        std::string error;
        saveProductionLog(job.folder, job.text, job.time, error);
        job.text = LogText();  // lets go of a cleared log's file
        lock.lock();
        results_.emplace_back(std::move(job), std::move(error));
        working_ = false;
        cv_.notify_all();
        lock.unlock();
        std::weak_ptr<ProductionLogs*> self = self_;
        loop_.post([self] {
            if (auto p = self.lock(); p && *p) (*p)->takeResults();
        });
        lock.lock();
    }
}

void ProductionLogs::takeResults() {
    std::deque<std::pair<Job, std::string>> results;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        results.swap(results_);
    }
    for (auto& [job, error] : results) done(job, error);
}

void ProductionLogs::done(const Job& job, const std::string& error) {
    busy_ = false;
    if (error.empty()) {
        ++written_;
        failing_ = false;
    } else {
        ++failed_;
        // The lines go into the next save (unless the log was cleared since).
        if (job.generation == generation_) {
            savedBytes_ = job.fromBytes;
            savedLines_ = job.fromLines;
        }
        if (!failing_ && onFailed) onFailed(error);
        failing_ = true;
    }
    if (!waiting_.empty()) {
        Asked a = std::move(waiting_.front());
        waiting_.pop_front();
        start(a);
    }
}

void ProductionLogs::finish() {
    // The loop may not run again: the answers are taken here.
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            cv_.wait(lock, [this] { return jobs_.empty() && !working_; });
        }
        takeResults();
        if (!busy_) return;
    }
}

}  // namespace kvx
