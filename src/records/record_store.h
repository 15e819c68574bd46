// The station's database of production records: one SQLite file (WAL mode),
// created on first use, its schema versioned (PRAGMA user_version) and
// brought up to date by migrations when an older file is opened.
#pragma once

#include "records/record.h"

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;

namespace kvx {

// A database that cannot be opened, read or written: the message names the
// file and the cause. corrupt(): the file is no SQLite database, is damaged,
// or holds tables other than the records' (as opposed to a file that cannot
// be reached for now: a full disk, a missing folder, a lock).
class RecordStoreError : public std::runtime_error {
public:
    explicit RecordStoreError(const std::string& what, bool corrupt = false)
        : std::runtime_error(what), corrupt_(corrupt) {}
    bool corrupt() const { return corrupt_; }

private:
    bool corrupt_;
};

constexpr const char* kRecordsFileName = "records.sqlite";

class RecordStore {
public:
    static constexpr int kSchemaVersion = 2;

    // Opens the database at path; without readOnly it is created when
    // missing and migrated to kSchemaVersion. Throws RecordStoreError.
    explicit RecordStore(const std::string& path, bool readOnly = false);
    ~RecordStore();
    RecordStore(const RecordStore&) = delete;
    RecordStore& operator=(const RecordStore&) = delete;

    // Adds the records in one transaction: all of them or (on an error,
    // thrown) none. A record whose id is already there is skipped.
    void insert(const std::vector<ProductionRecord>& batch);
    // The records the filter takes, oldest first (with a limit: the newest
    // `limit`, oldest first).
    std::vector<ProductionRecord> query(const RecordFilter& filter) const;
    // OK and NG chips per station, chip and image file: the records of the
    // operations that program a chip (kChipOperations).
    std::vector<YieldRow> yield(const RecordFilter& filter) const;
    // How many records each other operation has, per station.
    std::vector<OperationCount> operations(const RecordFilter& filter) const;
    // Forwarding to a server: up to `limit` records not yet forwarded, in the
    // order they were written, each with its row number; and marking every
    // row up to a number as forwarded.
    std::vector<std::pair<int64_t, ProductionRecord>> unforwarded(int limit) const;
    void markForwarded(int64_t upToRow);
    int64_t unforwardedCount() const;

    int schemaVersion() const;
    const std::string& path() const { return path_; }

private:
    void open(bool readOnly);
    // schemaStep: SQL that makes or changes the tables, whose rejection
    // means the file holds other tables.
    void exec(const char* sql, bool schemaStep = false) const;
    void checkColumns() const;
    [[noreturn]] void fail(const std::string& what, bool corrupt = false) const;
    // Fails with SQLite's message for the call that just failed.
    [[noreturn]] void failLast() const;
    std::string path_;
    sqlite3* db_ = nullptr;
};

// Renames a database that cannot be used (`why`: the error that said so) to
// PATH.corrupt-YYYYmmdd-HHMMSS (local time; -2, -3, ... when taken), its
// journal files with it, so that a new one can start in its place. Returns
// the new name; throws RecordStoreError when it cannot be renamed.
std::string setAsideRecords(const std::string& path, const std::string& why);

}  // namespace kvx
