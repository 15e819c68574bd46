// The pending-records journal: each record the writer is handed goes at once
// into a file beside the database (DB.pending.PID.N), one JSON line per
// record, so that a program killed before the record reached the database
// loses nothing: the next start writes what the journals hold. Text fields
// go as the hexadecimal digits of their bytes, so bytes that are not UTF-8
// come back exactly as they went in.
#pragma once

#include "records/record.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvx {

// The record as one journal line, ending in '\n'.
std::string journalLine(const ProductionRecord& r);
// The record of one line (without its '\n'); nullopt for a line that is no
// record (cut short by a kill in the middle of its write, or damaged).
// Fields the line does not have keep their defaults.
std::optional<ProductionRecord> parseJournalLine(std::string_view line);

// A journal opened for appending (O_APPEND) and locked (flock) for as long
// as it is open, so that another program on the same database never takes
// it for one left behind.
struct JournalFile {
    std::string path;
    int fd = -1;
};
// A new journal of the database at dbPath; fd -1 and `error` set when it
// cannot be made.
JournalFile createJournal(const std::string& dbPath, std::string& error);

// What the journals left behind by earlier runs hold: the ones no running
// program has open, oldest first.
struct LeftJournal {
    std::string path;
    std::vector<ProductionRecord> records;
    int damagedLines = 0;  // skipped
    std::string error;     // it could not be read (then left in place)
};
std::vector<LeftJournal> readLeftJournals(const std::string& dbPath);

}  // namespace kvx
