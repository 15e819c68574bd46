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
// file and the cause.
class RecordStoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

constexpr const char* kRecordsFileName = "records.sqlite";

class RecordStore {
public:
    static constexpr int kSchemaVersion = 1;

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
    // OK and NG counts per station, chip and image file.
    std::vector<YieldRow> yield(const RecordFilter& filter) const;
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
    void exec(const char* sql) const;
    [[noreturn]] void fail(const std::string& what) const;
    std::string path_;
    sqlite3* db_ = nullptr;
};

}  // namespace kvx
