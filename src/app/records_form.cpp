#include "app/records_form.h"

#include "records/record_store.h"
#include "shell/safe_file.h"
#include "shell/text.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace kvx {

namespace {

// A table's texts: the header, then the rows.
struct TextTable {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
};

void showTable(Control& table, std::shared_ptr<const TextTable> t) {
    table.rowCount = [t] { return t->rows.size() + 1; };
    table.cellText = [t](size_t row, int col) {
        const std::vector<std::string>& cells = row == 0 ? t->header : t->rows[row - 1];
        return col >= 0 && static_cast<size_t>(col) < cells.size() ? cells[static_cast<size_t>(col)] : std::string();
    };
    table.notifyRowsChanged();
}

// Local midnight of the given day (days later), in milliseconds since 1970;
// mktime takes a day beyond the month's end and the change of daylight
// saving time into account.
int64_t localMidnightMs(const LocalTime& day, int daysLater) {
    std::tm tm{};
    tm.tm_year = day.year - 1900;
    tm.tm_mon = day.month - 1;
    tm.tm_mday = day.day + daysLater;
    tm.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&tm)) * 1000;
}

std::string localTimeText(int64_t ms) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    return format("%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
}

std::string yieldText(int64_t ok, int64_t ng) {
    return ok + ng > 0 ? format("%.2f%%", 100.0 * static_cast<double>(ok) / static_cast<double>(ok + ng)) : "-";
}

std::string fileName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

const char* const kTables[] = {"LabelYield", "GridYield", "LabelOperations", "GridOperations", "LabelRecords",
                               "GridRecords"};

}  // namespace

TRecordsForm::TRecordsForm(Clock& clock, std::function<std::string()> path)
    : Form("TRecordsForm", "RecordsForm", 880, 540), clock_(clock), path_(std::move(path)) {
    setCaption("Production Records");
    using K = ControlKind;
    add("LabelYield", K::Label, "", 8, 8, 500, 22, "Today's yield");
    add("GridYield", K::Table, "", 8, 32, 600, 140).setColumns(5);
    add("LabelOperations", K::Label, "", 616, 8, 256, 22, "Other operations");
    add("GridOperations", K::Table, "", 616, 32, 256, 140).setColumns(2);
    add("LabelRecords", K::Label, "", 8, 180, 500, 22, format("Last %d records, newest first", kLastRecords));
    add("GridRecords", K::Table, "", 8, 204, 864, 288).setColumns(10);
    add("LabelStatus", K::Label, "", 8, 8, 864, 22).setVisible(false);
    add("ButtonRefresh", K::Button, "", 692, 502, 85, 30, "Refresh").onClick = [this] { ButtonRefreshClick(); };
    add("ButtonClose", K::Button, "", 787, 502, 85, 30, "Close").onClick = [this] { close(Cancel); };
    onShow = [this] { ButtonRefreshClick(); };
}

void TRecordsForm::ButtonRefreshClick() {
    auto yield = std::make_shared<TextTable>();
    yield->header = {"Chip", "Image", "OK", "NG", "Yield"};
    auto operations = std::make_shared<TextTable>();
    operations->header = {"Operation", "Count"};
    auto last = std::make_shared<TextTable>();
    last->header = {"Time", "Channel", "Port", "Chip", "Operation", "Serial", "UID", "Code", "Result", "Message"};

    const LocalTime today = clock_.now();
    const std::string path = path_();
    std::string problem;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        problem = errno == ENOENT ? "No production records yet: " + path
                                  : "Production records " + path + ": " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        // A FIFO would hold the dialog (and the window) waiting for a writer.
        problem = "Production records " + path + ": " + notRegularCause(st.st_mode);
    } else {
        try {
            RecordStore store(path, true);
            // Today's chips per chip and image (of every station the file
            // holds), then their sum; the operations that program no chip
            // by operation.
            RecordFilter day;
            day.sinceMs = localMidnightMs(today, 0);
            day.untilMs = localMidnightMs(today, 1);
            std::map<std::pair<std::string, std::string>, std::pair<int64_t, int64_t>> counts;
            for (const YieldRow& y : store.yield(day)) {
                auto& c = counts[{y.chip, y.imageFile}];
                c.first += y.ok;
                c.second += y.ng;
            }
            int64_t ok = 0, ng = 0;
            for (const auto& [key, c] : counts) {
                yield->rows.push_back({key.first, fileName(key.second), std::to_string(c.first), std::to_string(c.second),
                                       yieldText(c.first, c.second)});
                ok += c.first;
                ng += c.second;
            }
            yield->rows.push_back({"Total", "", std::to_string(ok), std::to_string(ng), yieldText(ok, ng)});
            std::map<std::string, int64_t> byOperation;
            for (const OperationCount& c : store.operations(day)) byOperation[c.operation] += c.count;
            for (const auto& [operation, count] : byOperation) operations->rows.push_back({operation, std::to_string(count)});

            RecordFilter newest;
            newest.limit = kLastRecords;
            const std::vector<ProductionRecord> records = store.query(newest);
            for (auto r = records.rbegin(); r != records.rend(); ++r)
                last->rows.push_back({localTimeText(r->endedMs), std::to_string(r->channel), r->port, r->chip,
                                      r->operation, r->serialNumber ? format("0x%0.8x", *r->serialNumber) : "",
                                      r->chipUid, r->resultCode ? format("0x%0.2x", *r->resultCode) : "",
                                      r->ok ? "OK" : r->outcome == kOutcomeInterrupted ? "Interrupted" : "NG", r->message});
        } catch (const RecordStoreError& e) {
            problem = e.what();
            yield->rows.clear();
            operations->rows.clear();
            last->rows.clear();
        }
    }

    (*this)["LabelYield"].setCaption(format("Today's yield, %04d-%02d-%02d", today.year, today.month, today.day));
    (*this)["LabelOperations"].setCaption(format("Other operations, %04d-%02d-%02d", today.year, today.month, today.day));
    showTable((*this)["GridYield"], yield);
    showTable((*this)["GridOperations"], operations);
    showTable((*this)["GridRecords"], last);
    for (const char* name : kTables) (*this)[name].setVisible(problem.empty());
    Control& status = (*this)["LabelStatus"];
    status.setHint(problem);
    status.setCaption(problem);
    status.setVisible(!problem.empty());
}

}  // namespace kvx
