// Production records: how fast they go into the station's SQLite database
// (through RecordWriter) and on to a PostgreSQL server (through
// RecordForwarder, against a throw-away server in a temporary folder), and
// the longest time one RecordWriter::add call held the calling thread (the
// logic thread's stall) meanwhile.
//
//   1. N records handed to the writer as fast as they can be: the time until
//      all are in SQLite, and the longest add.
//   2. The N records of step 1 forwarded from the file (a backlog, as after
//      a server outage): the time until all are on the server.
//   3. Writer and forwarder at once on a new file, a record handed over
//      every 20 us (so the writer takes many batches meanwhile): the longest
//      add while both threads work, and the time until all N are on the
//      server.
//   4. A database that cannot be written (its folder missing, as a full disk
//      behaves) for FAIL_S seconds while RecordWriter::kMaxWaiting records
//      wait in memory and more keep coming (one every 100 us, dropped at
//      that limit), then writable again: the longest add while the records
//      fill memory, while the writer retries with the memory full, and while
//      it writes them all.
//
// Usage: bench_records [N] [FAIL_S]   (defaults 100000 and 60)

#include "bench_util.h"
#include "records/pg_record_store.h"
#include "records/record_forwarder.h"
#include "records/record_store.h"
#include "records/record_writer.h"
#include "records/pg_test_server.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace kvx;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPacedUs = 20;

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

ProductionRecord record(int n) {
    ProductionRecord r;
    r.recordId = newRecordId();
    r.station = "bench";
    r.startedMs = 1'796'000'000'000 + n * 40;
    r.endedMs = r.startedMs + 35;
    r.channel = 1 + n % 8;
    r.port = "/dev/ttyUSB" + std::to_string(n % 8);
    r.usbVid = "0403";
    r.usbPid = "6015";
    r.usbSerial = "FT4KVX0" + std::to_string(n % 8);
    r.unitModel = "Korvex200RTQ";
    r.unitFirmware = "V2.10";
    r.unitNumber = 1 + n % 8;
    r.chip = "SC32F5232JV1G";
    r.operation = "auto";
    r.imageFile = "/home/line/firmware/product-v2.hex";
    r.fileChecksum = 0x1234ABCDu;
    r.flashCrc = 0xBEEF;
    r.flashAcc = 0x1234;
    r.serialNumber = static_cast<uint32_t>(n);
    r.chipUid = "4B5658323030013010203040";
    r.resultCode = 0;
    r.message = "Main Flash数据校验成功！";
    r.ok = true;
    return r;
}

struct Stalls {
    double maxMs = 0, p999Ms = 0;
};

std::vector<ProductionRecord> records(int n) {
    std::vector<ProductionRecord> made;
    made.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) made.push_back(record(i));
    return made;
}

// Hands the records to the writer, one every intervalUs (0: as fast as
// possible); each add timed.
Stalls addAll(RecordWriter& w, std::vector<ProductionRecord> made, int intervalUs = 0) {
    std::vector<double> ms;
    ms.reserve(made.size());
    const auto start = Clock::now();
    for (size_t i = 0; i < made.size(); ++i) {
        auto& r = made[i];
        while (intervalUs && Clock::now() < start + std::chrono::microseconds(intervalUs * static_cast<int64_t>(i))) {
        }
        const auto t0 = Clock::now();
        w.add(std::move(r));
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return {ms.back(), ms[ms.size() * 999 / 1000]};
}

// The same paced, timed loop with nothing in it: what the machine's
// scheduling alone adds to the longest "add".
Stalls baseline(size_t n, int intervalUs) {
    std::vector<double> ms;
    ms.reserve(n);
    const auto start = Clock::now();
    for (size_t i = 0; i < n; ++i) {
        while (Clock::now() < start + std::chrono::microseconds(intervalUs * static_cast<int64_t>(i))) {
        }
        const auto t0 = Clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return {ms.back(), ms[ms.size() * 999 / 1000]};
}

// The adds of one phase of step 4. Each is timed, and the calling thread's
// context switches during it are counted (getrusage): an involuntary one is
// the scheduler giving the core to another thread or process (on a 2-core
// machine with a build running, milliseconds that are not the writer's); a
// voluntary one is the thread sleeping, here on the writer's lock.
struct Adds {
    double longestMs = 0, longestKeptMs = 0;  // of all; of those not preempted
    size_t preempted = 0, slept = 0;
};

// Step 4. Returns false when a record that was not dropped is missing.
bool failingDatabase(const std::string& dir, int failS) {
    const std::string folder = dir + "/missing";
    const std::string path = folder + "/records.sqlite";
    constexpr size_t kFull = RecordWriter::kMaxWaiting;
    constexpr int kPacedUs = 100;
    Adds fill, failing, writing;
    uint64_t dropped = 0;
    size_t written = 0;
    auto timedAdd = [](RecordWriter& w, ProductionRecord r, Adds& into) {
        rusage u0{}, u1{};
        getrusage(RUSAGE_THREAD, &u0);
        const auto t0 = Clock::now();
        w.add(std::move(r));
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        getrusage(RUSAGE_THREAD, &u1);
        const bool preempted = u1.ru_nivcsw != u0.ru_nivcsw;
        into.longestMs = std::max(into.longestMs, ms);
        if (!preempted) into.longestKeptMs = std::max(into.longestKeptMs, ms);
        into.preempted += preempted;
        into.slept += u1.ru_nvcsw != u0.ru_nvcsw;
    };
    // One every kPacedUs until `until`, each made before its add is timed.
    auto paced = [&](RecordWriter& w, int& n, Clock::time_point until, Adds& into) {
        for (auto next = Clock::now(); next < until; next += std::chrono::microseconds(kPacedUs)) {
            ProductionRecord r = record(n++);
            while (Clock::now() < next) {
            }
            timedAdd(w, std::move(r), into);
        }
    };
    double fillS = 0, writeS = 0;
    {
        RecordWriter w(path, [](const std::string&) {});
        const auto start = Clock::now();
        int n = 0;
        while (static_cast<size_t>(n) < kFull) timedAdd(w, record(n++), fill);
        fillS = secondsSince(start);
        paced(w, n, start + std::chrono::seconds(failS), failing);
        std::filesystem::create_directories(folder);
        const auto mended = Clock::now();
        paced(w, n, mended + std::chrono::seconds(3), writing);
        w.flush(600000);
        writeS = secondsSince(mended);
        dropped = w.dropped();
        written = static_cast<size_t>(n) - dropped;
    }
    const int64_t there = RecordStore(path, true).unforwardedCount();
    std::printf("A database failing for %d s, %zu records waiting (filled in %.1f s), one more every %d us, then "
                "written (all %.1f s after the database came back; %zu written, %llu dropped, %lld in the database):\n",
                failS, kFull, fillS, kPacedUs, writeS, written, static_cast<unsigned long long>(dropped),
                static_cast<long long>(there));
    for (const auto& [what, a] : {std::pair<const char*, const Adds&>{"filling", fill}, {"failing, memory full", failing},
                                  {"writing the backlog", writing}})
        std::printf("  longest add %s: %.3f ms; not preempted: %.3f ms (%zu preempted, %zu slept on the lock)\n", what,
                    a.longestMs, a.longestKeptMs, a.preempted, a.slept);
    return there == static_cast<int64_t>(written);
}

int64_t onServer(const std::string& url) {
    int64_t n = 0;
    for (const YieldRow& y : PgRecordStore(url).yield({})) n += y.ok + y.ng;
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    const auto args = kvx::bench::benchArgs(argc, argv, R"(Usage: bench_records [N [SECONDS]]
The production records' writer: N records (default 100000) into SQLite, the
longest add() while the database fails for SECONDS (default 60), while the
writer catches up, and through a PostgreSQL server started for the run.
)", {}, 2);
    const int n = args.operands.size() > 0 ? std::atoi(args.operands[0].c_str()) : 100000;
    const int failS = args.operands.size() > 1 ? std::atoi(args.operands[1].c_str()) : 60;
    char tmpl[] = "/tmp/kvx-bench-records.XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    auto problem = [](const std::string& p) { std::fprintf(stderr, "%s\n", p.c_str()); };

    const std::string file1 = dir + "/one.sqlite";
    double writeS = 0;
    Stalls alone;
    {
        auto made = records(n);
        RecordWriter w(file1, problem);
        const auto t0 = Clock::now();
        alone = addAll(w, std::move(made));
        if (!w.flush(120000)) std::fprintf(stderr, "the writer did not finish\n");
        writeS = secondsSince(t0);
    }
    std::printf("SQLite through RecordWriter: %d records in %.2f s = %.0f records/s\n", n, writeS, n / writeS);
    std::printf("  longest add: %.3f ms (99.9 %%: %.4f ms)\n", alone.maxMs, alone.p999Ms);
    int status = failingDatabase(dir, failS) ? 0 : 1;

    test::PgTestServer server;
    const std::string why = server.start();
    if (!why.empty()) {
        std::printf("PostgreSQL: not measured: %s\n", why.c_str());
        std::filesystem::remove_all(dir);
        return server.binariesMissing() ? status : 1;
    }
    {
        const std::string url = server.createDatabase("backlog");
        const auto t0 = Clock::now();
        RecordForwarder f(file1, url, problem);
        const int64_t left = f.finish(600000);
        const double s = secondsSince(t0);
        const int64_t there = onServer(url);
        std::printf("Forwarded to PostgreSQL (a backlog of %d, batches of %d): %.2f s = %.0f records/s; %lld on the server\n",
                    n, RecordForwarder::kBatch, s, n / s, static_cast<long long>(there));
        if (left != 0 || there != n) status = 1;
    }
    {
        const std::string url = server.createDatabase("together");
        const std::string file2 = dir + "/two.sqlite";
        Stalls both;
        double s = 0;
        int64_t left = 0;
        {
            auto made = records(n);
            RecordWriter w(file2, problem);
            RecordForwarder f(file2, url, problem);
            const auto t0 = Clock::now();
            both = addAll(w, std::move(made), kPacedUs);
            w.flush(120000);
            f.nudge();
            left = f.finish(600000);
            s = secondsSince(t0);
        }
        const int64_t there = onServer(url);
        std::printf("Writer and forwarder at once, a record handed over every %d us: %d records on the server %.2f s "
                    "after the first; %lld on the server\n",
                    kPacedUs, n, s, static_cast<long long>(there));
        std::printf("  longest add: %.3f ms (99.9 %%: %.4f ms)\n", both.maxMs, both.p999Ms);
        const Stalls idle = baseline(static_cast<size_t>(n), kPacedUs);
        std::printf("  the same loop timing nothing: longest %.3f ms (99.9 %%: %.4f ms)\n", idle.maxMs, idle.p999Ms);
        if (left != 0 || there != n) status = 1;
    }
    std::filesystem::remove_all(dir);
    return status;
}
