#include "records/pg_record_store.h"

#include <cstdlib>
#include <iterator>

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
};
static_assert(std::size(kMigrations) == PgRecordStore::kSchemaVersion);

constexpr int kColumnCount = 23;
const char* const kColumns =
    "record_id, station, started_ms, ended_ms, channel, port, usb_vid, usb_pid, usb_serial, unit_model, "
    "unit_firmware, unit_number, chip, operation, image_file, file_checksum, flash_crc, flash_acc, serial_number, "
    "chip_uid, result_code, message, ok";

// Stations creating or migrating the tables at the same moment take turns.
const char* const kSchemaLock = "SELECT pg_advisory_xact_lock(4924731000200)";

std::string newerSchema(int version) {
    return "its records were written by a newer version of this program (schema " + std::to_string(version) + ")";
}

const std::string& textAt(const std::vector<std::optional<std::string>>& row, size_t i) {
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
template <typename T>
PgParam maybe(const std::optional<T>& v, PgParam::Type type) {
    return {v ? std::optional<std::string>(std::to_string(static_cast<int64_t>(*v))) : std::nullopt, type};
}

int64_t intAt(const std::vector<std::optional<std::string>>& row, size_t i) {
    return row[i] ? std::strtoll(row[i]->c_str(), nullptr, 10) : 0;
}
template <typename T>
std::optional<T> maybeAt(const std::vector<std::optional<std::string>>& row, size_t i) {
    if (!row[i]) return std::nullopt;
    return static_cast<T>(std::strtoll(row[i]->c_str(), nullptr, 10));
}

ProductionRecord readRecord(const std::vector<std::optional<std::string>>& row, size_t i) {
    ProductionRecord r;
    r.recordId = textAt(row, i++);
    r.station = textAt(row, i++);
    r.startedMs = intAt(row, i++);
    r.endedMs = intAt(row, i++);
    r.channel = static_cast<int>(intAt(row, i++));
    r.port = textAt(row, i++);
    r.usbVid = textAt(row, i++);
    r.usbPid = textAt(row, i++);
    r.usbSerial = textAt(row, i++);
    r.unitModel = textAt(row, i++);
    r.unitFirmware = textAt(row, i++);
    r.unitNumber = static_cast<int>(intAt(row, i++));
    r.chip = textAt(row, i++);
    r.operation = textAt(row, i++);
    r.imageFile = textAt(row, i++);
    r.fileChecksum = maybeAt<uint32_t>(row, i++);
    r.flashCrc = maybeAt<uint16_t>(row, i++);
    r.flashAcc = maybeAt<uint16_t>(row, i++);
    r.serialNumber = maybeAt<uint32_t>(row, i++);
    r.chipUid = textAt(row, i++);
    r.resultCode = maybeAt<int>(row, i++);
    r.message = textAt(row, i++);
    r.ok = textAt(row, i++) == "t";
    return r;
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
    return sql;
}

// The station's SQLite file as a RecordSource.
class FileRecordSource : public RecordSource {
public:
    explicit FileRecordSource(const std::string& path) : store_(path, true) {}
    std::vector<ProductionRecord> query(const RecordFilter& filter) override { return store_.query(filter); }
    std::vector<YieldRow> yield(const RecordFilter& filter) override { return store_.yield(filter); }
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
    std::string sql = std::string("INSERT INTO korvex_records (") + kColumns + ") VALUES ";
    std::vector<PgParam> params;
    params.reserve(batch.size() * kColumnCount);
    for (size_t i = 0; i < batch.size(); ++i) {
        sql += i ? ",(" : "(";
        for (int c = 0; c < kColumnCount; ++c)
            sql += (c ? ",$" : "$") + std::to_string(i * kColumnCount + static_cast<size_t>(c) + 1);
        sql += ')';
        const ProductionRecord& r = *batch[i];
        params.push_back(text(r.recordId));
        params.push_back(text(r.station));
        params.push_back(int8(r.startedMs));
        params.push_back(int8(r.endedMs));
        params.push_back(int4(r.channel));
        params.push_back(text(r.port));
        params.push_back(text(r.usbVid));
        params.push_back(text(r.usbPid));
        params.push_back(text(r.usbSerial));
        params.push_back(text(r.unitModel));
        params.push_back(text(r.unitFirmware));
        params.push_back(int4(r.unitNumber));
        params.push_back(text(r.chip));
        params.push_back(text(r.operation));
        params.push_back(text(r.imageFile));
        params.push_back(maybe(r.fileChecksum, PgParam::Int8));
        params.push_back(maybe(r.flashCrc, PgParam::Int4));
        params.push_back(maybe(r.flashAcc, PgParam::Int4));
        params.push_back(maybe(r.serialNumber, PgParam::Int8));
        params.push_back(text(r.chipUid));
        params.push_back(maybe(r.resultCode, PgParam::Int4));
        params.push_back(text(r.message));
        params.push_back({r.ok ? "t" : "f", PgParam::Bool});
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
    std::string sql = std::string("SELECT ") + kColumns + " FROM korvex_records" + where + " ORDER BY row_id";
    if (filter.limit > 0)
        sql = std::string("SELECT * FROM (SELECT row_id, ") + kColumns + " FROM korvex_records" + where +
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
            where +
            " GROUP BY station, chip, image_file ORDER BY station COLLATE \"C\", chip COLLATE \"C\", image_file COLLATE \"C\"",
        params, kQueryTimeoutMs);
    std::vector<YieldRow> out;
    out.reserve(rows.size());
    for (const auto& row : rows) out.push_back({textAt(row, 0), textAt(row, 1), textAt(row, 2), intAt(row, 3), intAt(row, 4)});
    return out;
}

std::unique_ptr<RecordSource> openRecordSource(const std::string& fileOrServer) {
    if (isServerUrl(fileOrServer)) return std::make_unique<PgRecordStore>(fileOrServer);
    return std::make_unique<FileRecordSource>(fileOrServer);
}

}  // namespace kvx
