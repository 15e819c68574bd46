#include "records/record_writer.h"

#include "records/record_store.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <iterator>
#include <memory>
#include <vector>

namespace kvx {

namespace {

using Clock = std::chrono::steady_clock;

// Sets the file aside (`why`: the error that showed it unusable) and starts
// a new database in its place; `notice` says so. Throws RecordStoreError.
std::unique_ptr<RecordStore> replaceStore(const std::string& path, const std::string& why, std::string& notice) {
    const std::string aside = setAsideRecords(path, why);
    try {
        auto store = std::make_unique<RecordStore>(path);
        notice = why + "; it was set aside as " + aside + " and a new database started";
        return store;
    } catch (const RecordStoreError& e) {
        throw RecordStoreError(why + "; it was set aside as " + aside + ", but a new database could not be started: " +
                               e.what());
    }
}

// The station's database, opened (created or migrated when needed). A file
// that is no database or holds other tables is set aside and a new one
// started. Throws RecordStoreError.
std::unique_ptr<RecordStore> openStore(const std::string& path, std::string& notice) {
    try {
        return std::make_unique<RecordStore>(path);
    } catch (const RecordStoreError& e) {
        if (!e.corrupt()) throw;
        return replaceStore(path, e.what(), notice);
    }
}

}  // namespace

RecordWriter::RecordWriter(std::string path, std::function<void(const std::string&)> onProblem,
                           std::function<void()> onRecovered, std::function<void()> onDropped,
                           std::function<void(const std::string&)> onNotice)
    : path_(std::move(path)),
      onProblem_(std::move(onProblem)),
      onRecovered_(std::move(onRecovered)),
      onDropped_(std::move(onDropped)),
      onNotice_(std::move(onNotice)) {
    // Room for kRoomChunks * kChunk records, made now rather than in add().
    queue_.reserve(kMaxChunks);
    room_.resize(kRoomChunks);
    for (auto& chunk : room_) chunk.reserve(kChunk);
    // The first journal before the first add; the journals left behind are
    // read by the writer's thread (this one is locked: it takes no notice
    // of it).
    journal_ = createJournal(path_, journalProblem_);
    if (journal_.fd < 0) journalToTell_ = true;
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
    // Every record written: no journal is needed. Records still waiting
    // stay in theirs, for the next start to write.
    const bool allIn = queued_ == 0 && held_ == 0;
    for (JournalFile* j : {&journal_, &spare_}) {
        if (j->fd < 0) continue;
        ::close(j->fd);
        if (allIn || j == &spare_) ::unlink(j->path.c_str());
    }
    for (const Retired& r : retired_) {
        if (r.fd >= 0) ::close(r.fd);
        if (allIn) ::unlink(r.path.c_str());
    }
}

void RecordWriter::add(ProductionRecord r) {
    // Encoded before the lock is taken; under it, one write() of the line.
    const std::string line = journalLine(r);
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queued_ + held_ >= maxWaiting_) {
            ++dropped_;
            if (!dropping_) dropping_ = dropToTell_ = wake = true;
        } else {
            if (journal_.fd >= 0 && !journalBroken_) {
                const ssize_t n = ::write(journal_.fd, line.data(), line.size());
                if (n == static_cast<ssize_t>(line.size())) {
                    ++journaled_;
                } else {
                    // A line in part would spoil the next: this journal
                    // takes no more (the writer's thread starts another).
                    journalBroken_ = true;
                    if (!journalTold_) {
                        journalProblem_ = "the pending-records journal " + journal_.path + " cannot be written: " +
                                          (n < 0 ? std::strerror(errno) : "the disk is full");
                        journalToTell_ = wake = true;
                    }
                }
            }
            if (queue_.empty() || queue_.back().size() == kChunk) {
                // A chunk with its room made; only a burst beyond that room
                // (the writer's thread held up meanwhile) allocates one here.
                if (room_.empty()) room_.emplace_back().reserve(kChunk);
                queue_.push_back(std::move(room_.back()));
                room_.pop_back();
            }
            queue_.back().push_back(std::move(r));
            ++queued_;
            // The first record wakes the writer; so does every kTakeOver-th
            // (it takes them over, see run()).
            wake = queued_ == 1 || queued_ % kTakeOver == 0;
        }
    }
    if (wake) wake_.notify_one();
}

bool RecordWriter::flush(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    // One more attempt now, even while the database is failing; a database
    // that still fails ends the wait at once rather than at the timeout.
    const uint64_t from = attempts_;
    retryNow_ = true;
    wake_.notify_one();
    written_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return !starting_ && ((queued_ == 0 && held_ == 0) || (failing_ && attempts_ > from));
    });
    return !starting_ && queued_ == 0 && held_ == 0;
}

size_t RecordWriter::waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queued_ + held_;
}

uint64_t RecordWriter::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

void RecordWriter::limitWaiting(size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    maxWaiting_ = n;
}

void RecordWriter::rotateJournal(std::unique_lock<std::mutex>& lock) {
    if (journal_.fd >= 0 && journaled_ == 0 && !journalBroken_) return;  // nothing in it yet
    if (spare_.fd < 0) {
        lock.unlock();
        std::string error;
        spare_ = createJournal(path_, error);
        lock.lock();
        if (spare_.fd < 0) {
            if (!journalTold_ && journal_.fd < 0) {
                journalProblem_ = error;
                journalToTell_ = true;
            }
            return;
        }
    }
    // From here add() writes the fresh one; the one it leaves holds records
    // up to the last one queued, all taken over below.
    std::swap(journal_, spare_);
    if (spare_.fd >= 0) retired_.push_back({spare_.path, spare_.fd, taken_ + queued_});
    spare_ = {};
    journaled_ = 0;
    journalBroken_ = false;
}

void RecordWriter::takeQueued(std::unique_lock<std::mutex>& lock, Taken& taken, bool rotate) {
    if (rotate) rotateJournal(lock);
    if (queued_ == 0) return;
    queue_.swap(taken.chunks);  // taken.chunks was empty, with room for the chunks' list
    held_ += queued_;
    taken_ += queued_;
    queued_ = 0;
    lock.unlock();
    for (Chunk& chunk : taken.chunks) {
        for (ProductionRecord& r : chunk) taken.held.push_back(std::move(r));
        chunk.clear();  // moved-from records: nothing to free, the room stays
    }
    lock.lock();
    // The emptied chunks make the room again; those of a burst beyond it
    // are freed, outside the lock.
    while (!taken.chunks.empty() && room_.size() < kRoomChunks) {
        room_.push_back(std::move(taken.chunks.back()));
        taken.chunks.pop_back();
    }
    if (taken.chunks.empty()) return;
    lock.unlock();
    taken.chunks.clear();
    lock.lock();
}

std::string RecordWriter::write(std::unique_lock<std::mutex>& lock, Taken& taken) {
    std::deque<ProductionRecord>& held = taken.held;
    lock.unlock();
    std::vector<ProductionRecord> batch;
    std::string problem;
    bool setAside = false;
    while (!held.empty()) {
        const auto n = static_cast<std::ptrdiff_t>(std::min(held.size(), kBatch));
        std::string notice, error;
        bool corrupt = false;
        batch.clear();
        try {
            if (!store_) store_ = openStore(path_, notice);
            batch.assign(std::make_move_iterator(held.begin()), std::make_move_iterator(held.begin() + n));
            store_->insert(batch);
        } catch (const RecordStoreError& e) {
            error = e.what();
            corrupt = e.corrupt();
        } catch (const std::exception& e) {
            error = e.what();
        }
        if (!notice.empty() && onProblem_) onProblem_(notice);
        if (!error.empty()) {
            // Opened again next time: the file may have been mended or moved.
            store_.reset();
            // Back into the places they were moved from, in order (none
            // when the database did not open).
            std::move(batch.begin(), batch.end(), held.begin());
            if (corrupt && !setAside) {
                // The file went bad under an open store: set aside (once),
                // then this batch again on a new database.
                setAside = true;
                try {
                    store_ = replaceStore(path_, error, notice);
                    if (onProblem_) onProblem_(notice);
                    continue;
                } catch (const RecordStoreError& e) {
                    error = e.what();
                }
            }
            problem = error + "; the records wait in memory until it can be written.";
            break;
        }
        held.erase(held.begin(), held.begin() + n);
        committed_ += static_cast<uint64_t>(n);
        removeWrittenJournals();
        lock.lock();
        held_ -= static_cast<size_t>(n);
        // Records handed over meanwhile join the end of the list.
        if (queued_ >= kTakeOver) takeQueued(lock, taken);
        lock.unlock();
    }
    lock.lock();
    return problem;
}

void RecordWriter::removeWrittenJournals() {
    while (!retired_.empty() && retired_.front().upTo <= committed_) {
        if (retired_.front().fd >= 0) ::close(retired_.front().fd);
        ::unlink(retired_.front().path.c_str());
        retired_.pop_front();
    }
}

void RecordWriter::replayLeftJournals(Taken& taken) {
    uint64_t replayed = 0;
    for (LeftJournal& left : readLeftJournals(path_)) {
        if (!left.error.empty()) {
            if (onProblem_)
                onProblem_("Production records " + path_ + ": the pending-records journal " + left.path +
                           " cannot be read: " + left.error + "; it is left in place");
            continue;
        }
        if (left.damagedLines > 0 && onNotice_)
            onNotice_("Production records " + path_ + ": " + std::to_string(left.damagedLines) + " line(s) of " +
                      left.path + " cut short (the program was ended while writing them) were skipped");
        if (!left.records.empty() && onNotice_)
            onNotice_("Production records " + path_ + ": " + std::to_string(left.records.size()) +
                      " record(s) of a run that ended before writing them are written from " + left.path);
        replayed += left.records.size();
        for (ProductionRecord& r : left.records) taken.held.push_back(std::move(r));
        // Removed once its records are in (at once when it had none).
        retired_.push_back({left.path, -1, replayed});
    }
    removeWrittenJournals();
    std::lock_guard<std::mutex> lock(mutex_);
    held_ += replayed;
    taken_ += replayed;
    starting_ = false;
    if (replayed > 0) retryNow_ = true;
}

void RecordWriter::tellJournalProblem(std::unique_lock<std::mutex>& lock) {
    if (!journalToTell_) return;
    journalToTell_ = false;
    journalTold_ = true;
    const std::string problem = "Production records " + path_ + ": " + journalProblem_ +
                                "; the records wait in memory until the database has them.";
    lock.unlock();
    if (onProblem_) onProblem_(problem);
    lock.lock();
}

void RecordWriter::run() {
    Taken taken;
    taken.chunks.reserve(kMaxChunks);
    replayLeftJournals(taken);
    Clock::time_point nextTry = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    written_.notify_all();
    for (;;) {
        const auto ready = [this] {
            return stop_ || retryNow_ || dropToTell_ || journalToTell_ || (!failing_ && queued_ > 0) ||
                   queued_ >= kTakeOver;
        };
        // A failing database is tried again every second, or at once when
        // someone waits for it (flush).
        if (failing_) wake_.wait_until(lock, nextTry, ready);
        else wake_.wait_for(lock, std::chrono::milliseconds(200), ready);
        if (dropToTell_) {
            dropToTell_ = false;
            lock.unlock();
            if (onDropped_) onDropped_();
            lock.lock();
        }
        tellJournalProblem(lock);
        const bool urgent = retryNow_ || stop_;
        retryNow_ = false;
        const bool due = urgent || (failing_ ? Clock::now() >= nextTry : queued_ > 0);
        if (!due) {
            takeQueued(lock, taken);
            continue;
        }
        if (!failing_ && !urgent) {
            // Records are gathered for a moment, so a busy line writes a few
            // transactions a second, not one per chip; a burst meanwhile is
            // taken over as it comes, so the queue never outgrows its room.
            const auto gathered = Clock::now() + std::chrono::milliseconds(150);
            while (wake_.wait_until(lock, gathered, [this] { return stop_ || retryNow_ || queued_ >= kTakeOver; }) &&
                   !stop_ && !retryNow_)
                takeQueued(lock, taken);
        }
        // While the database fails, add() stays on its journal: a retry a
        // second would leave a file a second.
        takeQueued(lock, taken, !failing_ || journalBroken_ || journal_.fd < 0);
        if (taken.held.empty()) {
            if (stop_) return;
            continue;
        }
        const std::string problem = write(lock, taken);
        if (spare_.fd < 0 && !stop_) {
            // The next journal, made now so the next switch is a swap.
            lock.unlock();
            std::string ignored;  // told when it is needed and cannot be made
            spare_ = createJournal(path_, ignored);
            lock.lock();
        }
        const bool wasFailing = failing_;
        failing_ = !problem.empty();
        if (failing_) nextTry = Clock::now() + std::chrono::seconds(1);
        else dropping_ = false;  // there is room again: a new shortage is told again
        ++attempts_;
        lock.unlock();
        if (failing_ && !wasFailing && onProblem_) onProblem_(problem);
        if (!failing_ && wasFailing && onRecovered_) onRecovered_();
        lock.lock();
        written_.notify_all();
        if (stop_ && (failing_ || (queued_ == 0 && held_ == 0))) return;
    }
}

}  // namespace kvx
