// The production records dialog, opened from the Setting menu over the
// station's database: today's yield from local midnight to the next, the
// newest records first, and a line instead of the tables when there is no
// database to read (which it never creates).
#include "app/korvex_app.h"
#include "records/record_store.h"
#include "shell/plain_loop.h"
#include "shell/scripted_prompts.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace kvx;

namespace {

using Rows = std::vector<std::vector<std::string>>;

struct Rig {
    PlainEventLoop loop;
    ScriptedPrompts prompts;
    FixedClock clock;
    SeededRandom rng{5};
    KorvexApp app{loop, prompts, clock, rng};
    std::string dir;
    Rig() {
        char t[] = "/tmp/kvx-records-form.XXXXXX";
        dir = mkdtemp(t);
        app.programFolder = dir + "/";
        clock.time = LocalTime{2024, 5, 12, 15, 30, 0, 0};
    }
    ~Rig() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    // Every cell of a table below its header.
    static Rows rows(Control& t) {
        Rows out;
        for (size_t r = 1; t.rowCount && r < t.rowCount(); ++r) {
            out.emplace_back();
            for (int c = 0; c < t.columns(); ++c) out.back().push_back(t.cellText(r, c));
        }
        return out;
    }
    // Opens the dialog from its menu item as the operator does and returns
    // what it showed: the yield, the records and the status line.
    struct Shown {
        Rows yield, operations, records;
        std::string status;
        bool tablesVisible = false;
    };
    Shown open() {
        Shown s;
        prompts.modalScript = [&s](Form& f) {
            EXPECT_EQ(f.className(), "TRecordsForm");
            s.yield = rows(f["GridYield"]);
            s.operations = rows(f["GridOperations"]);
            s.records = rows(f["GridRecords"]);
            s.status = f["LabelStatus"].visible() ? f["LabelStatus"].caption() : "";
            s.tablesVisible = f["GridYield"].visible() && f["GridRecords"].visible();
            f["ButtonClose"].click();
        };
        app.ui["ProductionRecords1"].click();
        prompts.modalScript = nullptr;
        return s;
    }
};

int64_t at(const char* localTime) { return *parseRecordTime(localTime); }

ProductionRecord record(int64_t endedMs, const std::string& chip, const std::string& image, bool ok,
                        const std::string& station = "S1") {
    ProductionRecord r;
    r.recordId = newRecordId();
    r.station = station;
    r.startedMs = endedMs - 800;
    r.endedMs = endedMs;
    r.channel = 3;
    r.port = "ttyUSB2";
    r.chip = chip;
    r.operation = "auto";
    r.imageFile = image;
    r.ok = ok;
    return r;
}

}  // namespace

TEST(RecordsForm, TodaysYieldAndTheNewestRecordsFirst) {
    Rig r;
    std::vector<ProductionRecord> batch = {
        // Yesterday, the last millisecond of it included: not today's.
        record(at("2024-05-11 09:00:00"), "SC32F5232", "/jobs/a.hex", true),
        record(at("2024-05-12 00:00:00") - 1, "SC32F5232", "/jobs/a.hex", false),
        // Today, from midnight on; another station's chips of the same image
        // count in the same line.
        record(at("2024-05-12 00:00:00"), "SC32F5232", "/jobs/a.hex", true),
        record(at("2024-05-12 08:10:00"), "SC32F5232", "/jobs/a.hex", false),
        record(at("2024-05-12 08:11:00"), "SC32F5232", "/jobs/a.hex", true, "S2"),
        record(at("2024-05-12 08:12:00"), "CPT2816", "/jobs/b.hex", false),
    };
    ProductionRecord& last = batch.back();
    last.serialNumber = 0x00012AB5;
    last.chipUid = "4B5658323030013010203040";
    last.resultCode = 0x2C;
    last.message = "Flash Memory错误！";
    batch.push_back(record(at("2024-05-13 00:00:00"), "CPT2816", "/jobs/b.hex", true));  // tomorrow
    // Operations that program no chip: counted by operation, not as chips
    // (a blank check that found a programmed chip is no NG chip).
    for (const auto& [operation, ok] : {std::pair{"read-address", true}, std::pair{"blank-check", false},
                                        std::pair{"read-address", true}}) {
        batch.insert(batch.begin(), record(at("2024-05-12 07:00:00"), "SC32F5232", "", ok));
        batch.front().operation = operation;
    }
    {
        RecordStore store(r.app.recordsPath());
        store.insert(batch);
    }

    Rig::Shown s = r.open();
    EXPECT_TRUE(s.tablesVisible);
    EXPECT_EQ(s.status, "");
    const Rows yield = {
        {"CPT2816", "b.hex", "0", "1", "0.00%"},
        {"SC32F5232", "a.hex", "2", "1", "66.67%"},
        {"Total", "", "2", "2", "50.00%"},
    };
    EXPECT_EQ(s.yield, yield);
    EXPECT_EQ(s.operations, (Rows{{"blank-check", "1"}, {"read-address", "2"}}));
    ASSERT_EQ(s.records.size(), batch.size());
    EXPECT_EQ(s.records[0][0], "2024-05-13 00:00:00");
    EXPECT_EQ(s.records[1], (std::vector<std::string>{"2024-05-12 08:12:00", "3", "ttyUSB2", "CPT2816", "auto",
                                                      "0x00012AB5", "4B5658323030013010203040", "0x2C", "NG",
                                                      "Flash Memory错误！"}));
    // No serial number and no code: empty cells.
    EXPECT_EQ(s.records[2][5], "");
    EXPECT_EQ(s.records[2][7], "");
    EXPECT_EQ(s.records[2][8], "OK");
    EXPECT_EQ(s.records.back()[0], "2024-05-12 07:00:00");

    // Only the newest are listed.
    std::vector<ProductionRecord> more;
    for (int i = 0; i < TRecordsForm::kLastRecords; ++i)
        more.push_back(record(at("2024-05-13 10:00:00") + i * 1000, "SC32F5232", "/jobs/a.hex", true));
    RecordStore(r.app.recordsPath()).insert(more);
    s = r.open();
    ASSERT_EQ(s.records.size(), static_cast<size_t>(TRecordsForm::kLastRecords));
    EXPECT_EQ(s.records.front()[0], "2024-05-13 10:03:19");
    EXPECT_EQ(s.records.back()[0], "2024-05-13 10:00:00");
}

TEST(RecordsForm, NoDatabaseIsToldAndNotCreated) {
    Rig r;
    const std::string path = r.app.recordsPath();
    Rig::Shown s = r.open();
    EXPECT_FALSE(s.tablesVisible);
    EXPECT_EQ(s.status, "No production records yet: " + path);
    EXPECT_FALSE(std::filesystem::exists(path));

    // A file that is no database: the store's own message, no tables.
    std::ofstream(path) << "not a database, only text that is long enough to be looked at as one";
    s = r.open();
    EXPECT_FALSE(s.tablesVisible);
    EXPECT_EQ(s.status.rfind("Production records " + path + ": ", 0), 0u) << s.status;

    // A FIFO in its place is told, not waited on.
    std::filesystem::remove(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    s = r.open();
    EXPECT_FALSE(s.tablesVisible);
    EXPECT_EQ(s.status, "Production records " + path + ": not a regular file (a FIFO)");

    // Once there is one, the tables come back (the same dialog, opened again).
    std::filesystem::remove(path);
    RecordStore(path).insert({record(at("2024-05-12 10:00:00"), "SC32F5232", "/jobs/a.hex", true)});
    s = r.open();
    EXPECT_TRUE(s.tablesVisible);
    EXPECT_EQ(s.status, "");
    EXPECT_EQ(s.records.size(), 1u);
}

// Records the station cannot keep (its database failing, memory holding the
// most that may wait): the log says once that they are being dropped, and
// at the window's end how many, which counts as a records failure.
TEST(RecordsForm, DroppedRecordsAreToldOnceAndCountedAtTheEnd) {
    Rig r;
    std::filesystem::create_directories(r.dir + "/" + kRecordsFileName);  // no database can be made there
    r.app.FormShow({});
    ASSERT_NE(r.app.recordWriter, nullptr);
    r.app.recordWriter->limitWaiting(2);
    auto said = [&](const std::string& what) {
        int n = 0;
        for (const std::string& line : r.app.log.lines()) n += line.find(what) != std::string::npos;
        return n;
    };
    for (int n = 0; n < 5; ++n) {
        OfflineChip chip;
        chip.channel = 1, chip.port = "COM1", chip.timeMs = 1'715'000'000'000 + n, chip.ok = true;
        for (const EngineListener& l : r.app.engine.listeners) l(chip);
    }
    EXPECT_TRUE(r.loop.runUntil([&] { return said("records are being dropped") > 0; }, 20000));
    r.app.FormClose();
    EXPECT_EQ(said("records are being dropped"), 1);
    EXPECT_EQ(said("Production records: 3 record(s) were dropped"), 1);
    EXPECT_EQ(said("Production records: 2 could not be written to " + r.dir + "/" + kRecordsFileName), 1);
    EXPECT_GE(r.app.recordsFailures, 2);
}
