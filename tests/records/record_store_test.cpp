// The station's record database: what goes in comes out by every filter,
// the schema is migrated and guarded, and the writer never loses a record
// to a database that cannot be written for a while.
#include "records/record_journal.h"
#include "records/record_store.h"
#include "records/record_writer.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>
#include <tuple>

using namespace kvx;

namespace {

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/kvx-records.XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(path, ec);
    }
};

ProductionRecord record(int n, bool ok, const std::string& station = "S1") {
    ProductionRecord r;
    r.recordId = newRecordId();
    r.station = station;
    r.startedMs = 1'796'000'000'000 + n * 1000;
    r.endedMs = r.startedMs + 500;
    r.channel = 1 + n % 8;
    r.port = "COM" + std::to_string(r.channel);
    r.unitModel = "Korvex200RTQ";
    r.unitFirmware = "V2.10";
    r.unitNumber = r.channel;
    r.chip = n % 2 ? "SC32F5232JV1G" : "CPT2816QN24-A1";
    r.operation = "auto";
    r.imageFile = "fw.hex";
    r.fileChecksum = 0x1234;
    r.serialNumber = 0x100 + static_cast<uint32_t>(n);
    r.chipUid = n == 3 ? "4B5658323030013010203040" : "";
    r.resultCode = ok ? 0 : 0x2C;
    r.message = ok ? "Main Flash数据校验成功！" : "Flash Memory错误！";
    r.ok = ok;
    return r;
}

// Every field of a record, to compare two.
auto fields(const ProductionRecord& x) {
    return std::tie(x.recordId, x.station, x.startedMs, x.endedMs, x.channel, x.port, x.usbVid, x.usbPid, x.usbSerial,
                    x.unitModel, x.unitFirmware, x.unitNumber, x.chip, x.operation, x.imageFile, x.fileChecksum,
                    x.flashCrc, x.flashAcc, x.serialNumber, x.chipUid, x.resultCode, x.message, x.ok);
}

}  // namespace

TEST(RecordStore, EveryFilterFindsWhatWentIn) {
    TempDir d;
    const std::string path = d.path + "/" + kRecordsFileName;
    std::vector<ProductionRecord> in;
    for (int n = 0; n < 10; ++n) in.push_back(record(n, n % 4 != 1, n < 7 ? "S1" : "S2"));
    // Records of operations that program no chip: listed, not in the yield
    // (a blank check that found a programmed chip is no NG chip).
    in[2].operation = "read-address";
    in[5].operation = "blank-check";
    in[5].fileChecksum.reset();
    in[5].resultCode.reset();
    {
        RecordStore store(path);
        store.insert(in);
        store.insert({in[0]});  // the same record again: kept once
    }
    RecordStore store(path, true);
    const auto all = store.query({});
    ASSERT_EQ(all.size(), 10u);
    EXPECT_EQ(all[5].message, in[5].message);
    EXPECT_FALSE(all[5].fileChecksum && all[5].resultCode);
    EXPECT_EQ(all[9].serialNumber, in[9].serialNumber);
    EXPECT_EQ(all[9].startedMs, in[9].startedMs);

    struct Case {
        const char* name;
        RecordFilter f;
        std::vector<int> want;
    };
    RecordFilter bySerial, byUid, byStation, ng, window, newest;
    bySerial.serialNumber = 0x104;
    byUid.chipUid = "4b5658323030013010203040";
    byStation.station = "S2";
    ng.ok = false;
    window.sinceMs = in[2].endedMs;
    window.untilMs = in[4].endedMs;
    newest.limit = 2;
    for (const Case& c : {Case{"serial", bySerial, {4}}, Case{"uid, any case", byUid, {3}},
                          Case{"station", byStation, {7, 8, 9}}, Case{"outcome", ng, {1, 5, 9}},
                          Case{"time window", window, {2, 3}}, Case{"newest two", newest, {8, 9}}}) {
        SCOPED_TRACE(c.name);
        std::vector<int> got;
        for (auto& r : store.query(c.f))
            for (int n = 0; n < 10; ++n)
                if (r.recordId == in[static_cast<size_t>(n)].recordId) got.push_back(n);
        EXPECT_EQ(got, c.want);
    }
    const auto yield = store.yield({});
    ASSERT_EQ(yield.size(), 4u);  // 2 stations x 2 chips
    int64_t ok = 0, bad = 0;
    for (auto& y : yield) ok += y.ok, bad += y.ng;
    EXPECT_EQ(ok, 6);
    EXPECT_EQ(bad, 2);
    std::vector<std::tuple<std::string, std::string, int64_t>> others;
    for (const OperationCount& c : store.operations({})) others.emplace_back(c.station, c.operation, c.count);
    EXPECT_EQ(others, (decltype(others){{"S1", "blank-check", 1}, {"S1", "read-address", 1}}));
    EXPECT_TRUE(store.operations(byStation).empty());
}

TEST(RecordStore, SchemaIsMigratedAndANewerOneRefused) {
    TempDir d;
    const std::string path = d.path + "/r.sqlite";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE other(x)", nullptr, nullptr, nullptr);  // a version-0 file
    sqlite3_close(db);
    // Every field lands in the column of its name, as files written before
    // hold them (quote() shows NULL, text and integer apart), and reads back.
    ProductionRecord r = record(3, false);
    r.recordId = "00112233445566778899aabbccddeeff";
    r.usbVid = "0403", r.usbPid = "6015", r.usbSerial = "FT1", r.unitNumber = 7, r.flashCrc = 0xBEEF;
    {
        RecordStore store(path);
        EXPECT_EQ(store.schemaVersion(), RecordStore::kSchemaVersion);
        store.insert({r});
    }
    const std::pair<const char*, const char*> columns[] = {
        {"record_id", "'00112233445566778899aabbccddeeff'"}, {"station", "'S1'"}, {"started_ms", "1796000003000"},
        {"ended_ms", "1796000003500"}, {"channel", "4"}, {"port", "'COM4'"}, {"usb_vid", "'0403'"},
        {"usb_pid", "'6015'"}, {"usb_serial", "'FT1'"}, {"unit_model", "'Korvex200RTQ'"}, {"unit_firmware", "'V2.10'"},
        {"unit_number", "7"}, {"chip", "'SC32F5232JV1G'"}, {"operation", "'auto'"}, {"image_file", "'fw.hex'"},
        {"file_checksum", "4660"}, {"flash_crc", "48879"}, {"flash_acc", "NULL"}, {"serial_number", "259"},
        {"chip_uid", "'4B5658323030013010203040'"}, {"result_code", "44"}, {"message", "'Flash Memory错误！'"},
        {"ok", "0"}};
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    for (const auto& [column, want] : columns) {
        sqlite3_stmt* st = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, ("SELECT quote(" + std::string(column) + ") FROM records").c_str(), -1, &st,
                                     nullptr),
                  SQLITE_OK)
            << column;
        ASSERT_EQ(sqlite3_step(st), SQLITE_ROW) << column;
        EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), want) << column;
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    const auto back = RecordStore(path, true).query({});
    ASSERT_EQ(back.size(), 1u);
    EXPECT_TRUE(fields(back[0]) == fields(r));
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    try {
        RecordStore store(path);
        FAIL() << "a newer schema was opened";
    } catch (const RecordStoreError& e) {
        EXPECT_EQ(std::string(e.what()), "Production records " + path + ": it was written by a newer version of this program");
    }
}

// A database that cannot be opened (its name taken by a folder, which holds
// for root as well): one message, the records wait, and once it can be
// written they all arrive, in order; enough of them that the writer takes
// them over while it fails and writes them in several transactions.
TEST(RecordWriter, WaitsThroughADatabaseItCannotWriteAndLosesNothing) {
    TempDir d;
    const std::string folder = d.path + "/db";
    std::filesystem::create_directories(folder + "/" + kRecordsFileName);
    std::atomic<int> problems{0}, recoveries{0};
    std::string problem;
    constexpr int kTotal = 2 * RecordWriter::kBatch + 100;
    static_assert(kTotal > 2 * RecordWriter::kTakeOver);
    {
        RecordWriter w(folder + "/" + kRecordsFileName, [&](const std::string& p) { problem = p, ++problems; },
                       [&] { ++recoveries; });
        for (int n = 0; n < 50; ++n) w.add(record(n, true));
        EXPECT_FALSE(w.flush(1500));
        EXPECT_EQ(w.waiting(), 50u);
        for (int n = 50; n < kTotal; ++n) w.add(record(n, true));
        EXPECT_EQ(w.waiting(), size_t{kTotal});
        std::filesystem::remove(folder + "/" + kRecordsFileName);
        EXPECT_TRUE(w.flush(5000));
    }
    EXPECT_EQ(problems, 1);
    EXPECT_EQ(recoveries, 1);
    EXPECT_EQ(problem, "Production records " + folder + "/" + kRecordsFileName +
                           ": not a regular file (a folder); the records wait in memory until it can be written.");
    const auto all = RecordStore(folder + "/" + kRecordsFileName, true).query({});
    ASSERT_EQ(all.size(), size_t{kTotal});
    for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].serialNumber, 0x100 + i);
}

// Over the limit of records waiting in memory, the rest are dropped:
// counted, told once (not at each record), and what waited is written once
// the database works.
TEST(RecordWriter, DropsOverTheLimitAreCountedAndToldOnce) {
    TempDir d;
    const std::string path = d.path + "/" + kRecordsFileName;
    std::filesystem::create_directories(path);
    std::atomic<int> told{0};
    {
        RecordWriter w(path, {}, {}, [&] { ++told; });
        w.limitWaiting(10);
        for (int n = 0; n < 25; ++n) w.add(record(n, true));
        EXPECT_FALSE(w.flush(1500));
        EXPECT_EQ(w.waiting(), 10u);
        EXPECT_EQ(w.dropped(), 15u);
        std::filesystem::remove(path);
        EXPECT_TRUE(w.flush(5000));
    }
    EXPECT_EQ(told, 1);
    EXPECT_EQ(RecordStore(path, true).query({}).size(), 10u);
}

// A file in the database's place that cannot be one is set aside (kept,
// renamed) and a new database takes the records; one that may still be
// good (a newer version's, a FIFO) is left alone and the records wait.
TEST(RecordWriter, SetsAsideAFileThatIsNoRecordsDatabase) {
    auto sqlite = [](const char* sql) {
        return [sql](const std::string& path) {
            sqlite3* db = nullptr;
            sqlite3_open(path.c_str(), &db);
            EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
        };
    };
    const std::tuple<std::function<void(const std::string&)>, std::string, bool> cases[] = {
        {[](const std::string& p) { std::ofstream(p) << std::string(2000, 'x'); }, "file is not a database", true},
        {sqlite("CREATE TABLE records(x)"), "table records already exists", true},
        {sqlite("CREATE TABLE records(row_id, record_id); PRAGMA user_version=1"), "no such column: ok", true},
        {sqlite("PRAGMA user_version=99"), "it was written by a newer version of this program", false},
        {[](const std::string& p) { mkfifo(p.c_str(), 0600); }, "not a regular file (a FIFO)", false},
    };
    for (const auto& [make, cause, setAside] : cases) {
        SCOPED_TRACE(cause);
        TempDir d;
        const std::string path = d.path + "/" + kRecordsFileName;
        make(path);
        std::vector<std::string> problems;  // written by the writer's thread, read after it ended
        {
            RecordWriter w(path, [&](const std::string& p) { problems.push_back(p); });
            for (int n = 0; n < 3; ++n) w.add(record(n, true));
            EXPECT_EQ(w.flush(3000), setAside);
        }
        std::vector<std::string> aside;
        for (const auto& e : std::filesystem::directory_iterator(d.path))
            if (e.path().filename().string().rfind(std::string(kRecordsFileName) + ".corrupt-2", 0) == 0)
                aside.push_back(e.path().string());
        ASSERT_EQ(aside.size(), setAside ? 1u : 0u);
        const std::string start = "Production records " + path + ": " + cause;
        EXPECT_EQ(problems, std::vector<std::string>{setAside ? start + "; it was set aside as " + aside[0] +
                                                                 " and a new database started"
                                                           : start + "; the records wait in memory until it can be written."});
        if (setAside) EXPECT_EQ(RecordStore(path, true).query({}).size(), 3u);
    }
}

// A writer killed (SIGKILL, in a child process) while it was being handed
// records loses none whose add() had returned: the next writer on the
// database writes them from the journals, whether the database took
// records meanwhile or could not be opened (a folder in its place, taken
// away before the next start).
TEST(RecordWriter, AKillLosesNoRecordHandedOver) {
    for (const bool failing : {false, true}) {
        SCOPED_TRACE(failing ? "database failing" : "database writable");
        TempDir d;
        const std::string path = d.path + "/" + kRecordsFileName;
        if (failing) std::filesystem::create_directories(path);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            RecordWriter w(path, {});
            // Each record's number once its add() has returned.
            for (int n = 0;; ++n) {
                w.add(record(n, n % 3 != 0));
                if (write(fds[1], &n, sizeof n) != sizeof n) _exit(1);
                if (n % 50 == 0) usleep(1000);
            }
        }
        close(fds[1]);
        int last = -1;
        // Until the writer has written some and has more in hand.
        for (int n; last < 3000 && read(fds[0], &n, sizeof n) == sizeof n;) last = n;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        for (int n; read(fds[0], &n, sizeof n) == sizeof n;) last = n;
        close(fds[0]);
        ASSERT_GE(last, 3000);
        if (failing) std::filesystem::remove(path);
        EXPECT_TRUE(RecordWriter(path, [](const std::string& p) { ADD_FAILURE() << p; }).flush(20000));
        std::set<uint32_t> serials;
        for (const ProductionRecord& r : RecordStore(path, true).query({})) serials.insert(*r.serialNumber);
        for (int n = 0; n <= last; ++n) ASSERT_TRUE(serials.count(0x100 + static_cast<uint32_t>(n))) << n;
        // The journals are gone once their records are in.
        for (const auto& e : std::filesystem::directory_iterator(d.path))
            EXPECT_EQ(e.path().filename().string().find(".pending"), std::string::npos) << e.path();
    }
}

// Journals left behind, read at start: every field comes back as it went
// in, bytes that are no UTF-8 too; a record already in the database is not
// written twice; a line cut short, or damaged, is skipped and told; a
// journal some running program has open (locked) is left alone, and one of
// the name a new journal would take is not written over.
TEST(RecordWriter, JournalsLeftBehindAreWrittenOnceAndDamagedLinesSkipped) {
    TempDir d;
    const std::string path = d.path + "/" + kRecordsFileName;
    ProductionRecord odd = record(3, false);
    odd.message = std::string("\xff\xfe raw \x00 bytes \xe9", 15);
    odd.imageFile = "fw\x80.hex";
    odd.flashAcc.reset();
    const ProductionRecord there = record(4, true), fresh = record(5, true);
    RecordStore(path).insert({there});
    std::string error;
    const JournalFile open = createJournal(path, error);  // a running program's
    ASSERT_GE(open.fd, 0) << error;
    const std::string openLine = journalLine(record(6, true));
    ASSERT_EQ(write(open.fd, openLine.data(), openLine.size()), static_cast<ssize_t>(openLine.size()));
    const std::string torn = journalLine(record(7, true));
    std::ofstream(path + ".pending.1.1") << journalLine(odd) << journalLine(there) << "{\"record_id\":\"zz\"}\n"
                                         << torn.substr(0, torn.size() / 2);
    // One a killed run of this process number left under the name the
    // next journal would take.
    const std::string taken = open.path.substr(0, open.path.rfind('.') + 1) +
                              std::to_string(std::stoi(open.path.substr(open.path.rfind('.') + 1)) + 1);
    std::ofstream(taken) << journalLine(fresh);
    std::vector<std::string> notices;
    {
        RecordWriter w(path, [](const std::string& p) { ADD_FAILURE() << p; }, {}, {},
                       [&](const std::string& n) { notices.push_back(n); });
        EXPECT_TRUE(w.flush(5000));
    }
    const auto all = RecordStore(path, true).query({});
    ASSERT_EQ(all.size(), 3u);
    EXPECT_TRUE(fields(all[0]) == fields(there));
    EXPECT_TRUE(fields(all[1]) == fields(odd));
    EXPECT_TRUE(fields(all[2]) == fields(fresh));
    const std::string cut = "Production records " + path + ": 2 line(s) of " + path +
                            ".pending.1.1 cut short (the program was ended while writing them) were skipped";
    EXPECT_NE(std::find(notices.begin(), notices.end(), cut), notices.end()) << notices.size();
    EXPECT_FALSE(std::filesystem::exists(path + ".pending.1.1"));
    EXPECT_FALSE(std::filesystem::exists(taken));
    EXPECT_TRUE(std::filesystem::exists(open.path));
    close(open.fd);
}
