// The production records of many stations on one PostgreSQL server (table
// korvex_records, its schema versioned in korvex_schema), and one way to
// read records from either place: a station's SQLite file or the server.
#pragma once

#include "records/pg_connection.h"
#include "records/record.h"
#include "records/record_store.h"

#include <memory>
#include <string>
#include <vector>

namespace kvx {

// Records to read, wherever they are kept. query, yield and operations take
// and give the same as RecordStore's: oldest first (on the server: in the order they
// arrived there, which for each station is the order it wrote them).
// Both throw RecordStoreError (PgError for the server).
class RecordSource {
public:
    virtual ~RecordSource() = default;
    virtual std::vector<ProductionRecord> query(const RecordFilter& filter) = 0;
    virtual std::vector<YieldRow> yield(const RecordFilter& filter) = 0;
    virtual std::vector<OperationCount> operations(const RecordFilter& filter) = 0;
    // The file or the server (without password), for messages.
    virtual std::string where() const = 0;
};

// The server's records, read only. Throws PgError when the server cannot be
// reached, holds no records table or one of a newer schema.
class PgRecordStore : public RecordSource {
public:
    static constexpr int kSchemaVersion = 2;

    // connectTimeoutMs bounds connecting; a query may take up to 5 minutes
    // (a year of a whole plant's records).
    explicit PgRecordStore(const std::string& conninfo, int connectTimeoutMs = 10000);
    std::vector<ProductionRecord> query(const RecordFilter& filter) override;
    std::vector<YieldRow> yield(const RecordFilter& filter) override;
    std::vector<OperationCount> operations(const RecordFilter& filter) override;
    std::string where() const override { return conn_.server(); }

private:
    PgConnection conn_;
    static constexpr int kQueryTimeoutMs = 300000;
};

// A "postgresql://" or "postgres://" address opens the server, anything
// else the SQLite file of that name (read only). Throws RecordStoreError.
std::unique_ptr<RecordSource> openRecordSource(const std::string& fileOrServer);

// Brings the server's tables to PgRecordStore::kSchemaVersion, creating them
// on an empty database; several stations may do so at once. Throws PgError,
// also for a schema newer than this program knows.
void preparePgSchema(PgConnection& conn);

// Adds the records in one statement (one transaction): all or none; a
// record whose id the server has already is skipped. At most kPgMaxBatch.
// Text the server could not take (bytes that are not UTF-8, a NUL) goes
// with each such byte as the four characters \xHH, as the JSON output
// writes it: one odd file name never holds back the records after it.
void insertPg(PgConnection& conn, const std::vector<const ProductionRecord*>& batch, int timeoutMs);
constexpr size_t kPgMaxBatch = 2000;  // a parameter per field of each record, 65 535 a statement

}  // namespace kvx
