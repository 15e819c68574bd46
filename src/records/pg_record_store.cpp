#include "records/pg_record_store.h"

#include "records/record_fields.h"
#include "shell/json_lines.h"

#include <cstdlib>
#include <iterator>
#include <limits>
#include <utility>

namespace kvx {

namespace {

// Server schema migrations, in order: migration N brings the server's tables
// from version N to N + 1. The columns are the station's, with row_id the
// order of arrival on the server and record_id the key that makes a record
// forwarded twice one row.
const char* const kMigrations[] = {
    R"(CREATE TABLE korvex_records (
         row_id          BIGSERIAL NOT NULL,
         record_id       TEXT PRIMARY KEY,
         station         TEXT NOT NULL,
         started_ms      BIGINT NOT NULL,
         ended_ms        BIGINT NOT NULL,
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
         file_checksum   BIGINT,
         flash_crc       INTEGER,
         flash_acc       INTEGER,
         serial_number   BIGINT,
         chip_uid        TEXT NOT NULL,
         result_code     INTEGER,
         message         TEXT NOT NULL,
         ok              BOOLEAN NOT NULL);
       CREATE INDEX korvex_records_row ON korvex_records(row_id);
       CREATE INDEX korvex_records_ended ON korvex_records(ended_ms);
       CREATE INDEX korvex_records_serial ON korvex_records(serial_number);
       CREATE INDEX korvex_records_uid ON korvex_records(chip_uid);
       CREATE INDEX korvex_records_station ON korvex_records(station, ended_ms);)",
    R"(ALTER TABLE korvex_records ADD COLUMN outcome TEXT NOT NULL DEFAULT '';
       UPDATE korvex_records SET outcome = CASE WHEN ok THEN 'ok' ELSE 'ng' END;
       ALTER TABLE korvex_records ADD COLUMN bytes_cut BIGINT NOT NULL DEFAULT 0;
       ALTER TABLE korvex_records ADD COLUMN sn_start BIGINT;
       ALTER TABLE korvex_records ADD COLUMN sn_increment BIGINT;
       ALTER TABLE korvex_records ADD COLUMN sn_address BIGINT;)",
};
static_assert(std::size(kMigrations) == PgRecordStore::kSchemaVersion);

// Every record of a full batch is one parameter a field, and a statement
// takes at most 65 535.
static_assert(kPgMaxBatch * kRecordFieldCount <= 65535);

// Stations creating or migrating the tables at the same moment take turns.
const char* const kSchemaLock = "SELECT pg_advisory_xact_lock(4924731000200)";

std::string newerSchema(int version) {
    return "its records were written by a newer version of this program (schema " + std::to_string(version) + ")";
}

// A row of an answer (PgRows).
using Row = std::vector<std::optional<std::string>>;

const std::string& textAt(const Row& row, size_t i) {
    static const std::string none;
    return row[i] ? *row[i] : none;
}

int schemaVersionOf(const PgRows& rows) {
    return rows.empty() || !rows[0][0] ? 0 : std::atoi(rows[0][0]->c_str());
}

// 0 when the server has no records tables yet.
int serverSchemaVersion(PgConnection& conn, int timeoutMs) {
    const PgRows there = conn.exec("SELECT to_regclass('korvex_schema') IS NOT NULL", {}, timeoutMs);
    if (there.empty() || textAt(there[0], 0) != "t") return 0;
    return schemaVersionOf(conn.exec("SELECT max(version) FROM korvex_schema", {}, timeoutMs));
}

PgParam text(const std::string& v) { return {v, PgParam::Text}; }
PgParam int8(int64_t v) { return {std::to_string(v), PgParam::Int8}; }
PgParam int4(int64_t v) { return {std::to_string(v), PgParam::Int4}; }

// A record's field as a parameter by its type: text made valid for the
// server (UTF-8 without NUL); an integer as the server's INTEGER when every
// value of its type fits one, else as BIGINT; an absent value as NULL.
PgParam param(const std::string& v) {
    std::string t = utf8Text(v);
    for (size_t at; (at = t.find('\0')) != std::string::npos;) t.replace(at, 1, "\\x00");
    return text(t);
}
PgParam param(bool v) { return {v ? "t" : "f", PgParam::Bool}; }
template <std::integral T>
PgParam param(T v) {
    constexpr bool fits4 =
        std::in_range<int32_t>(std::numeric_limits<T>::min()) && std::in_range<int32_t>(std::numeric_limits<T>::max());
    return fits4 ? int4(v) : int8(static_cast<int64_t>(v));
}
template <typename T>
PgParam param(const std::optional<T>& v) {
    PgParam p = param(v.value_or(T{}));
    if (!v) p.value.reset();
    return p;
}

int64_t intAt(const Row& row, size_t i) {
    return row[i] ? std::strtoll(row[i]->c_str(), nullptr, 10) : 0;
}
template <typename T>
std::optional<T> maybeAt(const Row& row, size_t i) {
    if (!row[i]) return std::nullopt;
    return static_cast<T>(std::strtoll(row[i]->c_str(), nullptr, 10));
}

// Reading a column into a record's field by the field's type.
void read(const Row& row, size_t i, std::string& v) { v = textAt(row, i); }
void read(const Row& row, size_t i, bool& v) { v = textAt(row, i) == "t"; }
template <std::integral T>
void read(const Row& row, size_t i, T& v) { v = static_cast<T>(intAt(row, i)); }
template <typename T>
void read(const Row& row, size_t i, std::optional<T>& v) { v = maybeAt<T>(row, i); }

// A record from the columns of recordColumns(), the first at `i`.
ProductionRecord readRecord(const Row& row, size_t i) {
    ProductionRecord r;
    for (const RecordField& f : kRecordFields) withMember(f, r, [&](auto& v) { read(row, i++, v); });
    return r;
}

// A WHERE clause with one more term.
std::string andAlso(const std::string& where, const std::string& term) {
    return where + (where.empty() ? " WHERE " : " AND ") + term;
}

// The WHERE clause of a filter and its parameters, the same terms as the
// station's database applies.
std::string whereOf(const RecordFilter& f, std::vector<PgParam>& params) {
    std::string sql;
    auto term = [&](const std::string& t, PgParam p) {
        params.push_back(std::move(p));
        sql += (sql.empty() ? " WHERE " : " AND ") + t + "$" + std::to_string(params.size());
    };
    if (f.sinceMs) term("ended_ms >= ", int8(*f.sinceMs));
    if (f.untilMs) term("ended_ms < ", int8(*f.untilMs));
    if (f.serialNumber) term("serial_number = ", int8(*f.serialNumber));
    if (!f.chipUid.empty()) {
        term("chip_uid = upper(", text(f.chipUid));
        sql += ")";
    }
    if (!f.station.empty()) term("station = ", text(f.station));
    if (f.ok) term("ok = ", {*f.ok ? "t" : "f", PgParam::Bool});
    if (!f.outcome.empty()) term("outcome = ", text(f.outcome));
    return sql;
}

// The station's SQLite file as a RecordSource.
class FileRecordSource : public RecordSource {
public:
    explicit FileRecordSource(const std::string& path) : store_(path, true) {}
    std::vector<ProductionRecord> query(const RecordFilter& filter) override { return store_.query(filter); }
    std::vector<YieldRow> yield(const RecordFilter& filter) override { return store_.yield(filter); }
    std::vector<OperationCount> operations(const RecordFilter& filter) override { return store_.operations(filter); }
    std::string where() const override { return store_.path(); }

private:
    RecordStore store_;
};

}  // namespace

void preparePgSchema(PgConnection& conn) {
    // Most connections find the tables up to date: one look, no lock.
    int version = serverSchemaVersion(conn, 15000);
    if (version == PgRecordStore::kSchemaVersion) return;
    if (version > PgRecordStore::kSchemaVersion) throw PgError("Production records server " + conn.server() + ": " + newerSchema(version));
    conn.exec("BEGIN");
    try {
        conn.exec(kSchemaLock);
        conn.exec("CREATE TABLE IF NOT EXISTS korvex_schema (version INTEGER NOT NULL)");
        version = schemaVersionOf(conn.exec("SELECT max(version) FROM korvex_schema"));
        if (version > PgRecordStore::kSchemaVersion)
            throw PgError("Production records server " + conn.server() + ": " + newerSchema(version));
        for (int n = version; n < PgRecordStore::kSchemaVersion; ++n) conn.exec(kMigrations[n]);
        if (version < PgRecordStore::kSchemaVersion) {
            conn.exec("DELETE FROM korvex_schema");
            conn.exec("INSERT INTO korvex_schema (version) VALUES ($1)", {int4(PgRecordStore::kSchemaVersion)});
        }
        conn.exec("COMMIT");
    } catch (...) {
        if (conn.usable()) {
            try {
                conn.exec("ROLLBACK");
            } catch (const PgError&) {
            }
        }
        throw;
    }
}

void insertPg(PgConnection& conn, const std::vector<const ProductionRecord*>& batch, int timeoutMs) {
    if (batch.empty()) return;
    std::string sql = "INSERT INTO korvex_records (" + recordColumns() + ") VALUES ";
    std::vector<PgParam> params;
    params.reserve(batch.size() * kRecordFieldCount);
    for (size_t i = 0; i < batch.size(); ++i) {
        sql += i ? ",(" : "(";
        for (size_t c = 0; c < kRecordFieldCount; ++c)
            sql += (c ? ",$" : "$") + std::to_string(i * kRecordFieldCount + c + 1);
        sql += ')';
        for (const RecordField& f : kRecordFields)
            withMember(f, *batch[i], [&](const auto& v) { params.push_back(param(v)); });
    }
    sql += " ON CONFLICT (record_id) DO NOTHING";
    conn.exec(sql, params, timeoutMs);
}

PgRecordStore::PgRecordStore(const std::string& conninfo, int connectTimeoutMs) : conn_(conninfo, connectTimeoutMs) {
    // Reading creates nothing: a server without the tables has no records.
    const int version = serverSchemaVersion(conn_, connectTimeoutMs);
    if (version == 0) throw PgError("Production records server " + conn_.server() + ": it holds no production records");
    if (version > kSchemaVersion) throw PgError("Production records server " + conn_.server() + ": " + newerSchema(version));
}

std::vector<ProductionRecord> PgRecordStore::query(const RecordFilter& filter) {
    std::vector<PgParam> params;
    const std::string where = whereOf(filter, params);
    std::string sql = "SELECT " + recordColumns() + " FROM korvex_records" + where + " ORDER BY row_id";
    if (filter.limit > 0)
        sql = "SELECT * FROM (SELECT row_id, " + recordColumns() + " FROM korvex_records" + where +
              " ORDER BY row_id DESC LIMIT " + std::to_string(filter.limit) + ") newest ORDER BY row_id";
    const PgRows rows = conn_.exec(sql, params, kQueryTimeoutMs);
    std::vector<ProductionRecord> out;
    out.reserve(rows.size());
    for (const auto& row : rows) out.push_back(readRecord(row, filter.limit > 0 ? 1 : 0));
    return out;
}

std::vector<YieldRow> PgRecordStore::yield(const RecordFilter& filter) {
    std::vector<PgParam> params;
    const std::string where = whereOf(filter, params);
    // Sorted by bytes ("C"), as the station's database sorts, whatever the
    // server's collation.
    const PgRows rows = conn_.exec(
        "SELECT station, chip, image_file, count(*) FILTER (WHERE ok), count(*) FILTER (WHERE NOT ok) FROM korvex_records" +
            andAlso(where, chipOperationsSql()) +
            " GROUP BY station, chip, image_file ORDER BY station COLLATE \"C\", chip COLLATE \"C\", image_file COLLATE \"C\"",
        params, kQueryTimeoutMs);
    std::vector<YieldRow> out;
    out.reserve(rows.size());
    for (const auto& row : rows) out.push_back({textAt(row, 0), textAt(row, 1), textAt(row, 2), intAt(row, 3), intAt(row, 4)});
    return out;
}

std::vector<OperationCount> PgRecordStore::operations(const RecordFilter& filter) {
    std::vector<PgParam> params;
    const std::string where = andAlso(whereOf(filter, params), "NOT " + chipOperationsSql());
    const PgRows rows = conn_.exec("SELECT station, operation, count(*) FROM korvex_records" + where +
                                       " GROUP BY station, operation ORDER BY station COLLATE \"C\", operation COLLATE \"C\"",
                                   params, kQueryTimeoutMs);
    std::vector<OperationCount> out;
    out.reserve(rows.size());
    for (const auto& row : rows) out.push_back({textAt(row, 0), textAt(row, 1), intAt(row, 2)});
    return out;
}

std::unique_ptr<RecordSource> openRecordSource(const std::string& fileOrServer) {
    if (isServerUrl(fileOrServer)) return std::make_unique<PgRecordStore>(fileOrServer);
    return std::make_unique<FileRecordSource>(fileOrServer);
}

}  // namespace kvx
