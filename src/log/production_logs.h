// The production logs written during off-line production: each save holds
// the information log's lines since the previous save (the first: since the
// start or since the log was last cleared), so the files together hold every
// line once. Files are written on a worker thread from the log's journal;
// the logic thread only notes where the last save ended.
#pragma once

#include "log/log_files.h"
#include "shell/seams.h"
#include "shell/views.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kvx {

class ProductionLogs {
public:
    ProductionLogs(InfoLog& log, EventLoop& loop);
    ~ProductionLogs();  // waits for the file being written
    ProductionLogs(const ProductionLogs&) = delete;
    ProductionLogs& operator=(const ProductionLogs&) = delete;

    // Saves the lines since the previous save into the program folder, named
    // by t. While a save is being written the next ones wait their turn,
    // each with the lines up to the moment it was asked for.
    void save(const std::string& programFolder, const LocalTime& t);
    // Writes what is asked and waits until it is written (at shut-down).
    void finish();

    // A save failed (its lines go into the next one): called on the loop,
    // once until a save works again, with the message.
    std::function<void(const std::string& error)> onFailed;
    int written() const { return written_; }
    int failed() const { return failed_; }

private:
    struct Job {
        std::string folder;
        LocalTime time;
        LogText text;
        uint64_t fromBytes = 0;
        size_t fromLines = 0;
        unsigned generation = 0;
    };
    struct Asked {
        std::string folder;
        LocalTime time;
        uint64_t endBytes = 0;  // the journal's end when asked
        size_t endLines = 0;
    };
    void start(const Asked& a);
    void done(const Job& job, const std::string& error);
    void run();
    void takeResults();  // the worker's answers, on the logic thread

    InfoLog& log_;
    EventLoop& loop_;
    // Where the previous save ended in the journal.
    uint64_t savedBytes_ = 0;
    size_t savedLines_ = 0;
    unsigned generation_ = 0;  // counts the log's clears
    bool busy_ = false;        // a job is with the worker
    std::deque<Asked> waiting_;  // asked while busy
    bool failing_ = false;
    int written_ = 0, failed_ = 0;
    std::shared_ptr<ProductionLogs*> self_;  // cleared first when destroyed

    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Job> jobs_;
    std::deque<std::pair<Job, std::string>> results_;  // written jobs and their errors
    bool stop_ = false;
    bool working_ = false;
};

}  // namespace kvx
