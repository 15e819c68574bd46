// Writes production records to the station's database on a thread of its
// own, so the logic thread only hands a record over: the record is encoded,
// then, under a lock, appended to the pending-records journal beside the
// database (one write() of one line) and moved into room made beforehand:
// never a wait on the database, and never work that grows with the records
// waiting. A program killed at any moment loses no record it was handed:
// the next writer on the database writes what the journals left behind hold
// before anything else (a record already there is skipped; a line cut short
// by the kill is skipped and told).
// Records are written within half a second of being handed over, and the
// journal that held them is removed once they are in; a database that
// cannot be written (a full disk, a locked or read-only file) is reported
// once, the records wait in memory (up to kMaxWaiting: those beyond are
// dropped, counted and told once) and in the journal, and are written when
// it works again; the writer's end writes everything still waiting. A
// journal that cannot be written (a full disk) is told once; the records
// still wait in memory. A file that is no database, or whose tables are
// not the records', is set aside under a name of its own and a new database
// started in its place.
#pragma once

#include "records/record.h"
#include "records/record_journal.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvx {

class RecordStore;

class RecordWriter {
public:
    // onProblem gets a whole message for the information log: a failure
    // (once, until the database works again: then onRecovered is told), a
    // file set aside, a journal that cannot be written (once) or read.
    // onDropped is told when records start being dropped because the most
    // that may wait in memory wait already (once, until the database has
    // taken those waiting; dropped() counts them). onNotice gets what is no
    // failure: the records a journal left behind held, and its lines cut
    // short. All are called on the writer's thread.
    RecordWriter(std::string path, std::function<void(const std::string&)> onProblem,
                 std::function<void()> onRecovered = {}, std::function<void()> onDropped = {},
                 std::function<void(const std::string&)> onNotice = {});
    ~RecordWriter();
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    void add(ProductionRecord r);
    // Makes one more attempt and waits up to timeoutMs until every record
    // handed over (and every one the journals left behind held) is written;
    // false when some are still waiting (the database is failing: then it
    // returns after that attempt).
    bool flush(int timeoutMs);
    size_t waiting() const;
    // Records not kept because memory held the most that may wait already.
    uint64_t dropped() const;
    // The most records that wait in memory (kMaxWaiting unless set).
    void limitWaiting(size_t n);
    const std::string& path() const { return path_; }

    static constexpr size_t kMaxWaiting = 1'000'000;
    // Records written in one transaction: a long backlog goes in steps, and
    // what went in stays in when a later step fails.
    static constexpr size_t kBatch = 5'000;
    // The writer's thread takes the records over each time this many have
    // been handed over (also while the database fails, or while it gathers
    // records), so the queue add() appends to stays short whatever the
    // backlog. The queue is chunks of kChunk records whose room is made
    // beforehand: kRoomChunks of them, four times kTakeOver records.
    static constexpr size_t kTakeOver = 1024;
    static constexpr size_t kChunk = 256;
    static constexpr size_t kRoomChunks = 4 * kTakeOver / kChunk;

private:
    void run();
    using Chunk = std::vector<ProductionRecord>;
    // The writer's thread's own lists: the records taken from the queue and
    // not yet written, and the chunks' list swapped for the queue's.
    struct Taken {
        std::deque<ProductionRecord> held;
        std::vector<Chunk> chunks;
    };
    // Moves what add() queued to the writer's own list (under the lock: a
    // swap, constant time; the records move afterwards, outside it). With
    // rotate, add() goes on in a fresh journal from the same moment, and
    // the one it leaves is removed once the records taken so far are in.
    void takeQueued(std::unique_lock<std::mutex>& lock, Taken& taken, bool rotate = false);
    void rotateJournal(std::unique_lock<std::mutex>& lock);
    // The records the journals left behind hold, into the writer's list.
    void replayLeftJournals(Taken& taken);
    // Removes the journals whose records are all in the database.
    void removeWrittenJournals();
    void tellJournalProblem(std::unique_lock<std::mutex>& lock);
    // Writes the held records, kBatch at a time; the failure's message, or
    // "" when all went in.
    std::string write(std::unique_lock<std::mutex>& lock, Taken& taken);

    std::string path_;
    std::function<void(const std::string&)> onProblem_;
    std::function<void()> onRecovered_;
    std::function<void()> onDropped_;
    std::function<void(const std::string&)> onNotice_;
    // The writer's thread's alone: opened at the first write, closed after
    // a failure.
    std::unique_ptr<RecordStore> store_;
    mutable std::mutex mutex_;
    std::condition_variable wake_, written_;
    // Handed over and not yet taken by the writer's thread (queued_ of
    // them), and empty chunks with their room made, so that add() moves a
    // record into place and allocates nothing under the lock.
    std::vector<Chunk> queue_, room_;
    size_t queued_ = 0;
    // Room in the chunks' lists for a burst of this many chunks before
    // the list itself grows.
    static constexpr size_t kMaxChunks = 16 * kRoomChunks;
    // How many the writer's thread holds (its own list, not locked).
    size_t held_ = 0;
    size_t maxWaiting_ = kMaxWaiting;
    uint64_t dropped_ = 0;
    uint64_t attempts_ = 0;
    bool failing_ = false, retryNow_ = false, stop_ = false;
    bool dropping_ = false, dropToTell_ = false;
    // The journal add() appends to, and how many lines went into it; after
    // a write that failed or went in part, nothing more goes into it.
    JournalFile journal_;
    size_t journaled_ = 0;
    bool journalBroken_ = false;
    // A journal that could not be made or written: told once.
    std::string journalProblem_;
    bool journalToTell_ = false, journalTold_ = false;
    // Records taken by the writer's thread so far (the journals' records
    // replayed at start first); until they are loaded, flush() waits.
    uint64_t taken_ = 0;
    bool starting_ = true;
    // The writer's thread's alone: the next journal, made beforehand so
    // that the switch is a swap; the journals add() left, each with the
    // count of records taken when it was left (they are all in once
    // committed_ reaches it); records written so far.
    JournalFile spare_;
    struct Retired {
        std::string path;
        int fd;
        uint64_t upTo;
    };
    std::deque<Retired> retired_;
    uint64_t committed_ = 0;
    std::thread thread_;
};

}  // namespace kvx
