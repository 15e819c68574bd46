// The fields of a production record as the databases keep them: one column
// each, in this order, in the station's SQLite file and on the server. Both
// stores make from this table their column lists, the parameters of an
// insert and the reading of a row back into a record, so a new field is one
// line here plus, in each store, the migration that adds its column. The
// tables that earlier migrations create stay as they are: files and servers
// written by older versions must still be brought up to date by them.
#pragma once

#include "records/record.h"

#include <iterator>
#include <string>
#include <variant>

namespace kvx {

// The member a column holds. Its type decides how the column is written and
// read: text, an integer (the server's INTEGER or BIGINT by its range), an
// optional integer (NULL when absent) or a boolean.
using RecordMember =
    std::variant<std::string ProductionRecord::*, int64_t ProductionRecord::*, int ProductionRecord::*,
                 bool ProductionRecord::*, std::optional<uint32_t> ProductionRecord::*,
                 std::optional<uint16_t> ProductionRecord::*, std::optional<int> ProductionRecord::*>;

struct RecordField {
    const char* column;
    RecordMember member;
};

inline constexpr RecordField kRecordFields[] = {
    {"record_id", &ProductionRecord::recordId},
    {"station", &ProductionRecord::station},
    {"started_ms", &ProductionRecord::startedMs},
    {"ended_ms", &ProductionRecord::endedMs},
    {"channel", &ProductionRecord::channel},
    {"port", &ProductionRecord::port},
    {"usb_vid", &ProductionRecord::usbVid},
    {"usb_pid", &ProductionRecord::usbPid},
    {"usb_serial", &ProductionRecord::usbSerial},
    {"unit_model", &ProductionRecord::unitModel},
    {"unit_firmware", &ProductionRecord::unitFirmware},
    {"unit_number", &ProductionRecord::unitNumber},
    {"chip", &ProductionRecord::chip},
    {"operation", &ProductionRecord::operation},
    {"image_file", &ProductionRecord::imageFile},
    {"file_checksum", &ProductionRecord::fileChecksum},
    {"flash_crc", &ProductionRecord::flashCrc},
    {"flash_acc", &ProductionRecord::flashAcc},
    {"serial_number", &ProductionRecord::serialNumber},
    {"chip_uid", &ProductionRecord::chipUid},
    {"result_code", &ProductionRecord::resultCode},
    {"message", &ProductionRecord::message},
    {"ok", &ProductionRecord::ok},
    {"outcome", &ProductionRecord::outcome},
    {"bytes_cut", &ProductionRecord::bytesCut},
    {"sn_start", &ProductionRecord::snStart},
    {"sn_increment", &ProductionRecord::snIncrement},
    {"sn_address", &ProductionRecord::snAddress},
};

constexpr size_t kRecordFieldCount = std::size(kRecordFields);

// "record_id, station, ..., ok": every field's column, in table order.
inline const std::string& recordColumns() {
    static const std::string list = [] {
        std::string s;
        for (const RecordField& f : kRecordFields) s += (s.empty() ? "" : ", ") + std::string(f.column);
        return s;
    }();
    return list;
}

// "operation IN ('auto', 'program', 'offline')": the condition, in both
// stores' SQL, for the records that count as chips (kChipOperations).
inline const std::string& chipOperationsSql() {
    static const std::string sql = [] {
        std::string s = "operation IN (";
        for (const char* op : kChipOperations) s += std::string(s.back() == '(' ? "'" : ", '") + op + "'";
        return s + ")";
    }();
    return sql;
}

// Calls fn with the record's member that a field holds (a reference).
template <typename Record, typename Fn>
void withMember(const RecordField& field, Record& record, Fn&& fn) {
    std::visit([&](auto member) { fn(record.*member); }, field.member);
}

}  // namespace kvx
