#include "records/record_store.h"

#include "records/record_fields.h"
#include "shell/safe_file.h"

#include <sqlite3.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>

namespace kvx {

namespace {

// Schema migrations, in order: migration N brings a database from version N
// to N + 1.
const char* const kMigrations[] = {
    R"(CREATE TABLE records (
         row_id          INTEGER PRIMARY KEY AUTOINCREMENT,
         record_id       TEXT NOT NULL UNIQUE,
         station         TEXT NOT NULL,
         started_ms      INTEGER NOT NULL,
         ended_ms        INTEGER NOT NULL,
         channel         INTEGER NOT NULL,
         port            TEXT NOT NULL,
         usb_vid         TEXT NOT NULL,
         usb_pid         TEXT NOT NULL,
         usb_serial      TEXT NOT NULL,
         unit_model      TEXT NOT NULL,
         unit_firmware   TEXT NOT NULL,
         unit_number     INTEGER NOT NULL,
         chip            TEXT NOT NULL,
         operation       TEXT NOT NULL,
         image_file      TEXT NOT NULL,
         file_checksum   INTEGER,
         flash_crc       INTEGER,
         flash_acc       INTEGER,
         serial_number   INTEGER,
         chip_uid        TEXT NOT NULL,
         result_code     INTEGER,
         message         TEXT NOT NULL,
         ok              INTEGER NOT NULL,
         forwarded       INTEGER NOT NULL DEFAULT 0);
       CREATE INDEX records_ended ON records(ended_ms);
       CREATE INDEX records_serial ON records(serial_number);
       CREATE INDEX records_uid ON records(chip_uid);
       CREATE INDEX records_unforwarded ON records(forwarded, row_id);)",
    // The outcome (records written before it was kept are "ok" or "ng" by
    // their ok), the bytes of an image left out, the job's serial settings.
    R"(ALTER TABLE records ADD COLUMN outcome TEXT NOT NULL DEFAULT '';
       UPDATE records SET outcome = CASE WHEN ok THEN 'ok' ELSE 'ng' END;
       ALTER TABLE records ADD COLUMN bytes_cut INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE records ADD COLUMN sn_start INTEGER;
       ALTER TABLE records ADD COLUMN sn_increment INTEGER;
       ALTER TABLE records ADD COLUMN sn_address INTEGER;)",
};
static_assert(std::size(kMigrations) == RecordStore::kSchemaVersion);

// A file that is no database or is damaged, by SQLite's result code.
bool isCorruptCode(int rc) {
    rc &= 0xff;
    return rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT;
}

// A WHERE clause with one more term.
std::string andAlso(const std::string& where, const std::string& term) {
    return where + (where.empty() ? " WHERE " : " AND ") + term;
}

class Statement {
public:
    Statement(sqlite3* db, const std::string& sql, const std::function<void(const std::string&)>& fail) : db_(db) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st_, nullptr) != SQLITE_OK) fail(sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(st_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return st_; }
    int at_ = 0;
    void text(const std::string& v) { sqlite3_bind_text(st_, ++at_, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT); }
    void integer(int64_t v) { sqlite3_bind_int64(st_, ++at_, v); }
    // A record's field by its type: bool as 0 or 1, an absent value as NULL.
    void bind(const std::string& v) { text(v); }
    void bind(std::integral auto v) { integer(static_cast<int64_t>(v)); }
    template <typename T>
    void bind(const std::optional<T>& v) {
        if (v) bind(*v);
        else sqlite3_bind_null(st_, ++at_);
    }

private:
    sqlite3* db_;
    sqlite3_stmt* st_ = nullptr;
};

std::string columnText(sqlite3_stmt* st, int i) {
    const unsigned char* t = sqlite3_column_text(st, i);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(st, i))) : "";
}

template <typename T>
std::optional<T> columnMaybe(sqlite3_stmt* st, int i) {
    if (sqlite3_column_type(st, i) == SQLITE_NULL) return std::nullopt;
    return static_cast<T>(sqlite3_column_int64(st, i));
}

// Reading a column into a record's field by the field's type.
void read(sqlite3_stmt* st, int i, std::string& v) { v = columnText(st, i); }
void read(sqlite3_stmt* st, int i, bool& v) { v = sqlite3_column_int(st, i) != 0; }
template <std::integral T>
void read(sqlite3_stmt* st, int i, T& v) { v = static_cast<T>(sqlite3_column_int64(st, i)); }
template <typename T>
void read(sqlite3_stmt* st, int i, std::optional<T>& v) { v = columnMaybe<T>(st, i); }

// A record from the columns of recordColumns(), the first at `first`.
ProductionRecord readRecord(sqlite3_stmt* st, int first) {
    ProductionRecord r;
    int i = first;
    for (const RecordField& f : kRecordFields) withMember(f, r, [&](auto& v) { read(st, i++, v); });
    return r;
}

// The WHERE clause of a filter, with its values bound in order by bind().
struct Where {
    std::string sql;
    std::function<void(Statement&)> bind;
};

Where whereOf(const RecordFilter& f) {
    std::vector<std::string> terms;
    if (f.sinceMs) terms.push_back("ended_ms >= ?");
    if (f.untilMs) terms.push_back("ended_ms < ?");
    if (f.serialNumber) terms.push_back("serial_number = ?");
    if (!f.chipUid.empty()) terms.push_back("chip_uid = upper(?)");
    if (!f.station.empty()) terms.push_back("station = ?");
    if (f.ok) terms.push_back("ok = ?");
    if (!f.outcome.empty()) terms.push_back("outcome = ?");
    std::string sql;
    for (size_t i = 0; i < terms.size(); ++i) sql += (i ? " AND " : " WHERE ") + terms[i];
    return {sql, [f](Statement& s) {
                if (f.sinceMs) s.integer(*f.sinceMs);
                if (f.untilMs) s.integer(*f.untilMs);
                if (f.serialNumber) s.integer(*f.serialNumber);
                if (!f.chipUid.empty()) s.text(f.chipUid);
                if (!f.station.empty()) s.text(f.station);
                if (f.ok) s.integer(*f.ok ? 1 : 0);
                if (!f.outcome.empty()) s.text(f.outcome);
            }};
}

}  // namespace

RecordStore::RecordStore(const std::string& path, bool readOnly) : path_(path) {
    // A constructor that throws runs no destructor: the handle (which SQLite
    // makes even when the open fails) is closed here.
    try {
        open(readOnly);
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

void RecordStore::open(bool readOnly) {
    // A FIFO or a device would be opened and read without end; a folder
    // cannot be a database either.
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) fail(notRegularCause(st.st_mode));
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path_.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
        fail(db_ ? sqlite3_errmsg(db_) : "cannot be opened", db_ && isCorruptCode(sqlite3_errcode(db_)));
    // Another process (a query while the program writes) waits its turn.
    sqlite3_busy_timeout(db_, 2000);
    if (readOnly) {
        if (schemaVersion() > kSchemaVersion) fail("it was written by a newer version of this program");
        return;
    }
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=NORMAL");
    const int version = schemaVersion();
    if (version > kSchemaVersion) fail("it was written by a newer version of this program");
    for (int v = version; v < kSchemaVersion; ++v) {
        exec("BEGIN IMMEDIATE");
        try {
            exec(kMigrations[v], true);
            exec(("PRAGMA user_version=" + std::to_string(v + 1)).c_str());
            exec("COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
    checkColumns();
}

RecordStore::~RecordStore() { sqlite3_close(db_); }

void RecordStore::fail(const std::string& what, bool corrupt) const {
    throw RecordStoreError("Production records " + path_ + ": " + what, corrupt);
}

void RecordStore::failLast() const { fail(sqlite3_errmsg(db_), isCorruptCode(sqlite3_errcode(db_))); }

void RecordStore::exec(const char* sql, bool schemaStep) const {
    char* error = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        std::string e = error ? error : sqlite3_errmsg(db_);
        sqlite3_free(error);
        fail(e, isCorruptCode(rc) || (schemaStep && (rc & 0xff) == SQLITE_ERROR));
    }
}

// A file of the current version whose records table lacks a column (made by
// something else) would take no record: found here rather than at each
// insert.
void RecordStore::checkColumns() const {
    const std::string sql = "SELECT row_id, forwarded, " + recordColumns() + " FROM records LIMIT 0";
    sqlite3_stmt* st = nullptr;
    const int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr);
    sqlite3_finalize(st);
    if (rc != SQLITE_OK) fail(sqlite3_errmsg(db_), isCorruptCode(rc) || (rc & 0xff) == SQLITE_ERROR);
}

int RecordStore::schemaVersion() const {
    auto failHere = [this](const std::string&) { failLast(); };
    Statement st(db_, "PRAGMA user_version", failHere);
    return sqlite3_step(st.get()) == SQLITE_ROW ? sqlite3_column_int(st.get(), 0) : 0;
}

void RecordStore::insert(const std::vector<ProductionRecord>& batch) {
    if (batch.empty()) return;
    auto failHere = [this](const std::string&) { failLast(); };
    exec("BEGIN IMMEDIATE");
    try {
        std::string sql = "INSERT OR IGNORE INTO records (" + recordColumns() + ") VALUES (?";
        for (size_t c = 1; c < kRecordFieldCount; ++c) sql += ",?";
        Statement st(db_, sql + ")", failHere);
        for (const ProductionRecord& r : batch) {
            sqlite3_reset(st.get());
            st.at_ = 0;
            for (const RecordField& f : kRecordFields) withMember(f, r, [&](const auto& v) { st.bind(v); });
            if (sqlite3_step(st.get()) != SQLITE_DONE) failLast();
        }
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::vector<ProductionRecord> RecordStore::query(const RecordFilter& filter) const {
    auto failHere = [this](const std::string&) { failLast(); };
    const Where w = whereOf(filter);
    std::string sql = "SELECT " + recordColumns() + " FROM records" + w.sql + " ORDER BY row_id";
    if (filter.limit > 0)
        sql = "SELECT * FROM (SELECT row_id, " + recordColumns() + " FROM records" + w.sql +
              " ORDER BY row_id DESC LIMIT " + std::to_string(filter.limit) + ") ORDER BY row_id";
    Statement st(db_, sql, failHere);
    w.bind(st);
    std::vector<ProductionRecord> out;
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) out.push_back(readRecord(st.get(), filter.limit > 0 ? 1 : 0));
    if (rc != SQLITE_DONE) failLast();
    return out;
}

std::vector<YieldRow> RecordStore::yield(const RecordFilter& filter) const {
    auto failHere = [this](const std::string&) { failLast(); };
    const Where w = whereOf(filter);
    Statement st(db_,
                 "SELECT station, chip, image_file, sum(ok), sum(1 - ok) FROM records" + andAlso(w.sql, chipOperationsSql()) +
                     " GROUP BY station, chip, image_file ORDER BY station, chip, image_file",
                 failHere);
    w.bind(st);
    std::vector<YieldRow> out;
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW)
        out.push_back({columnText(st.get(), 0), columnText(st.get(), 1), columnText(st.get(), 2),
                       sqlite3_column_int64(st.get(), 3), sqlite3_column_int64(st.get(), 4)});
    if (rc != SQLITE_DONE) failLast();
    return out;
}

std::vector<OperationCount> RecordStore::operations(const RecordFilter& filter) const {
    auto failHere = [this](const std::string&) { failLast(); };
    const Where w = whereOf(filter);
    Statement st(db_,
                 "SELECT station, operation, count(*) FROM records" + andAlso(w.sql, "NOT " + chipOperationsSql()) +
                     " GROUP BY station, operation ORDER BY station, operation",
                 failHere);
    w.bind(st);
    std::vector<OperationCount> out;
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW)
        out.push_back({columnText(st.get(), 0), columnText(st.get(), 1), sqlite3_column_int64(st.get(), 2)});
    if (rc != SQLITE_DONE) failLast();
    return out;
}

std::vector<std::pair<int64_t, ProductionRecord>> RecordStore::unforwarded(int limit) const {
    auto failHere = [this](const std::string&) { failLast(); };
    Statement st(db_,
                 "SELECT row_id, " + recordColumns() + " FROM records WHERE forwarded = 0 ORDER BY row_id LIMIT " +
                     std::to_string(std::max(1, limit)),
                 failHere);
    std::vector<std::pair<int64_t, ProductionRecord>> out;
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW)
        out.emplace_back(sqlite3_column_int64(st.get(), 0), readRecord(st.get(), 1));
    if (rc != SQLITE_DONE) failLast();
    return out;
}

void RecordStore::markForwarded(int64_t upToRow) {
    auto failHere = [this](const std::string&) { failLast(); };
    Statement st(db_, "UPDATE records SET forwarded = 1 WHERE forwarded = 0 AND row_id <= ?", failHere);
    st.integer(upToRow);
    if (sqlite3_step(st.get()) != SQLITE_DONE) failLast();
}

int64_t RecordStore::unforwardedCount() const {
    auto failHere = [this](const std::string&) { failLast(); };
    Statement st(db_, "SELECT count(*) FROM records WHERE forwarded = 0", failHere);
    return sqlite3_step(st.get()) == SQLITE_ROW ? sqlite3_column_int64(st.get(), 0) : 0;
}

std::string setAsideRecords(const std::string& path, const std::string& why) {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    const std::string base = path + ".corrupt-" + stamp;
    std::string aside = base;
    for (int n = 2; ::access(aside.c_str(), F_OK) == 0; ++n) aside = base + "-" + std::to_string(n);
    if (::rename(path.c_str(), aside.c_str()) != 0)
        throw RecordStoreError(why + "; it could not be set aside as " + aside + ": " + std::strerror(errno));
    // The journal files go with it: a new database must not take up the old
    // one's write-ahead log.
    for (const char* journal : {"-wal", "-shm", "-journal"}) {
        const std::string from = path + journal;
        if (::access(from.c_str(), F_OK) == 0 && ::rename(from.c_str(), (aside + journal).c_str()) != 0)
            ::unlink(from.c_str());
    }
    return aside;
}

}  // namespace kvx
