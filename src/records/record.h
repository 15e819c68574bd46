// A production record: one chip through one operation on one channel, or one
// chip counted by off-line production. Written when the operation ends, kept
// in the station's database and, when a server is configured, forwarded to it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvx {

struct ProductionRecord {
    // Unique across stations and databases (random, 32 hexadecimal digits):
    // forwarding a record twice never makes two rows of it.
    std::string recordId;
    std::string station;
    int64_t startedMs = 0, endedMs = 0;  // UTC, milliseconds since 1970
    int channel = 0;                     // 1 .. 8
    std::string port;
    std::string usbVid, usbPid, usbSerial;  // the adapter's USB identity
    std::string unitModel, unitFirmware;
    int unitNumber = 0;  // 0: unknown
    std::string chip;
    std::string operation;  // "auto", "program", "verify", ..., "offline"
    std::string imageFile;
    std::optional<uint32_t> fileChecksum;
    std::optional<uint16_t> flashCrc, flashAcc;
    // The number the chip got, only when it was sent to the unit for that
    // chip; empty otherwise (the job's settings are in sn* below).
    std::optional<uint32_t> serialNumber;
    std::string chipUid;                   // 24 hexadecimal digits, when read
    std::optional<int> resultCode;         // the unit's
    std::string message;
    bool ok = false;
    // "ok", "ng", or "interrupted": the operation was cut short (the program
    // closed or stopped by a signal, the unit unplugged); ok is false then.
    std::string outcome;
    // Bytes of the object file left out because they lay outside the chip
    // (loaded so with the operator's consent or --allow-outside); 0: all in.
    int64_t bytesCut = 0;
    // The job's serial-number settings when serial numbering was on: the
    // first number, the increment and the address. On-line runs send them to
    // no unit; off-line they are the ones the job download sent.
    std::optional<uint32_t> snStart, snIncrement, snAddress;
};

inline constexpr const char* kOutcomeOk = "ok";
inline constexpr const char* kOutcomeNg = "ng";
inline constexpr const char* kOutcomeInterrupted = "interrupted";

// Which records a query takes; empty fields take every record.
struct RecordFilter {
    std::optional<int64_t> sinceMs, untilMs;  // endedMs in [since, until)
    std::optional<uint32_t> serialNumber;
    std::string chipUid;  // compared without regard to case
    std::string station;
    std::optional<bool> ok;
    std::string outcome;  // "ok", "ng" or "interrupted"; empty: any
    int limit = 0;  // the newest `limit` records; 0: all
};

// Yield of one station, chip and image.
struct YieldRow {
    std::string station, chip, imageFile;
    int64_t ok = 0, ng = 0;
};

// How many records of one operation a station has.
struct OperationCount {
    std::string station, operation;
    int64_t count = 0;
};

// The operations that program a chip ("auto", "program", "offline"): only
// their records count as chips in a yield. The others (reading, erasing,
// checking, downloading a job, ...) are counted by operation: a blank check
// that finds a programmed chip, or a read of an identifier, is no NG chip.
inline constexpr const char* kChipOperations[] = {"auto", "program", "offline"};

// A fresh record id (random, 32 hexadecimal digits).
std::string newRecordId();

// "2026-12-08", "2026-12-08T10:00", "2026-12-08 10:00:05" or with ".mmm",
// in UTC unless it ends with "Z" or carries no zone at all (then local time
// when `local`); nullopt when it is none of these.
std::optional<int64_t> parseRecordTime(const std::string& text, bool local = true);

}  // namespace kvx
