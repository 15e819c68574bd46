// Production records end to end: the program (a copy of korvex-cli in a
// folder of its own, which keeps its database there) records what it does
// on emulated units, and `korvex-cli records` answers from the database.
#include "cli/cli.h"

#include "child_process.h"

#include "e2e/startup_rig.h"
#include "records/record_store.h"
#include "shell/text.h"
#include "sim/sim_server.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <set>

using namespace kvx;

namespace {

class Records : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kvx-records-cli.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        bin_ = dir_ + "/korvex-cli";
        std::filesystem::copy_file(KORVEX_CLI_BIN, bin_);
    }
    void TearDown() override {
        sim_.reset();
        unsetenv("KORVEX_SERIAL_DIR");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    void startUnits(int n, const std::function<void(SimOptions&)>& tune = {}) {
        SimOptions o;
        o.units = n;
        o.dir = dir_ + "/ports";
        o.unit.resize(static_cast<size_t>(n));
        if (tune) tune(o);
        sim_ = std::make_unique<SimServer>(o);
        sim_->start();
        setenv("KORVEX_SERIAL_DIR", o.dir.c_str(), 1);
    }
    // The program run to its end: its exit status and standard output.
    std::pair<int, std::string> run(const std::vector<std::string>& args, int timeoutMs = 60000) {
        test::Child c = test::spawnChild(bin_, args);
        std::string out = test::readUntil(c.out, "\x01", timeoutMs);
        close(c.out);
        return {test::waitExit(c.pid, 5000), out};
    }
    std::vector<ProductionRecord> records(const RecordFilter& f = {}) {
        return RecordStore(dir_ + "/" + kRecordsFileName, true).query(f);
    }
    // The records of runs started from now on (the units' off-line chips
    // counted while a download run closes are that run's).
    static RecordFilter fromNow() {
        RecordFilter f;
        f.sinceMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
        return f;
    }
    std::string dir_, bin_;
    std::unique_ptr<SimServer> sim_;
};

}  // namespace

// Eight units, channel 3 failing, serial numbers counted by the host, then a
// UID read: a record for each, and the serial-number question answered.
TEST_F(Records, AnAutoRunOnEightUnitsAndAUidRead) {
    startUnits(8, [](SimOptions& o) {
        SimFault f;
        std::string why;
        ASSERT_TRUE(parseSimFault("result:0x95:0x2C", f, why));
        o.unit[2].faults.push_back(f);
    });
    const std::string fw = dir_ + "/fw.bin";
    test::writeBytes(fw, test::patternBytes(32 * 1024, 21));
    auto [code, out] = run({"-q", "-c", "SC32F5232JV1G", "-f", fw, "--sn", "0x1000", "--sn-advance", "auto"});
    ASSERT_EQ(code, cli::kExitChannelFailed) << out;
    ASSERT_EQ(run({"-q", "-c", "SC32F5232JV1G", "read-id"}).first, cli::kExitOk);

    const auto all = records();
    ASSERT_EQ(all.size(), 9u);
    std::set<uint32_t> serials;
    for (size_t i = 0; i < 8; ++i) {
        const ProductionRecord& r = all[i];
        SCOPED_TRACE(r.channel);
        EXPECT_EQ(r.operation, "auto");
        EXPECT_EQ(r.chip, "SC32F5232JV1G");
        EXPECT_EQ(r.imageFile, "fw.bin");
        EXPECT_EQ(r.unitModel, "Korvex200RTQ");
        EXPECT_EQ(r.unitNumber, r.channel);
        EXPECT_EQ(r.port, "COM" + std::to_string(r.channel));
        EXPECT_LE(r.startedMs, r.endedMs);
        EXPECT_EQ(r.ok, r.channel != 3);
        EXPECT_EQ(r.resultCode, r.channel == 3 ? 0x2C : 0);
        EXPECT_EQ(r.serialNumber.has_value(), r.ok);
        if (r.serialNumber) serials.insert(*r.serialNumber);
    }
    EXPECT_EQ(serials, (std::set<uint32_t>{0x1000, 0x1001, 0x1002, 0x1003, 0x1004, 0x1005, 0x1006}));
    EXPECT_EQ(all[8].operation, "read-id");
    EXPECT_EQ(all[8].chipUid.size(), 24u);

    // Which firmware went into the chip with serial number 0x1004?
    auto [found, answer] = run({"records", "--serial", "0x1004", "--json"});
    ASSERT_EQ(found, cli::kExitOk);
    const auto j = nlohmann::json::parse(answer);
    EXPECT_EQ(j["image"], "fw.bin");
    EXPECT_EQ(j["fileChecksum"], all[0].fileChecksum ? format("0x%0.8x", *all[0].fileChecksum) : "");
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(run({"records", "--uid", all[8].chipUid}).first, cli::kExitOk);
    EXPECT_EQ(run({"records", "--serial", "0x2000"}).first, cli::kExitChannelFailed);  // none
    auto [sumCode, summary] = run({"records", "--summary", "--csv"});
    EXPECT_EQ(sumCode, cli::kExitOk);
    EXPECT_NE(summary.find(",SC32F5232JV1G,fw.bin,7,1,87.50\n"), std::string::npos) << summary;
}

// Off-line production: a record per chip, 5000 of them, OK and NG as the
// units counted them.
TEST_F(Records, OffLineProductionRecordsEveryChip) {
    startUnits(8, [](SimOptions& o) {
        for (auto& u : o.unit) {
            u.chipIntervalMs = 2;
            u.offlineFailEvery = 10;
        }
    });
    test::writeBytes(dir_ + "/fw.bin", test::patternBytes(8 * 1024, 22));
    ASSERT_EQ(run({"-q", "-c", "SC32F5232JV1G", "-f", dir_ + "/fw.bin", "download"}).first, cli::kExitOk);
    const RecordFilter offlineRun = fromNow();
    auto [code, out] = run({"--json", "-q", "offline", "--chips", "5000"}, 120000);
    ASSERT_EQ(code, cli::kExitChannelFailed) << out.substr(out.size() > 2000 ? out.size() - 2000 : 0);  // NG chips
    const auto summary = nlohmann::json::parse(out.substr(out.rfind("{\"v\"")));
    const int ok = summary["offline"]["ok"], ng = summary["offline"]["ng"];
    ASSERT_GE(ok + ng, 5000);
    const auto all = records(offlineRun);
    EXPECT_EQ(static_cast<int>(all.size()), ok + ng);
    int recordedOk = 0;
    for (auto& r : all) recordedOk += r.ok && r.operation == "offline";
    EXPECT_EQ(recordedOk, ok);
}

// Killed without warning in the middle of off-line production: every chip
// counted more than a second before the kill is in the database.
TEST_F(Records, AKillLosesAtMostTheLastSecond) {
    startUnits(4, [](SimOptions& o) {
        for (auto& u : o.unit) u.chipIntervalMs = 5;
    });
    test::writeBytes(dir_ + "/fw.bin", test::patternBytes(8 * 1024, 23));
    ASSERT_EQ(run({"-q", "-c", "SC32F5232JV1G", "-f", dir_ + "/fw.bin", "download"}).first, cli::kExitOk);
    const RecordFilter offlineRun = fromNow();
    test::Child c = test::spawnChild(bin_, {"--json", "-q", "offline"});
    // 150 chips reported, then a second more, however long starting took.
    auto chips = [](const std::string& t) {
        size_t n = 0;
        for (size_t at = 0; (at = t.find("\"event\":\"offline\"", at)) != std::string::npos; ++at) ++n;
        return n;
    };
    std::string out = test::readUntil(c.out, [&](const std::string& t) { return chips(t) >= 150; }, 60000);
    out += test::readUntil(c.out, "\x01", 1100);
    kill(c.pid, SIGKILL);
    const int64_t killedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    test::waitExit(c.pid, 5000);
    out += test::readUntil(c.out, "\x01", 200);
    close(c.out);
    std::set<std::pair<int, int>> counted;  // channel, the channel's chip number
    size_t before = 0;
    for (const std::string& line : [&] {
             std::vector<std::string> v;
             for (size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1) v.push_back(out.substr(at, nl - at));
             return v;
         }()) {
        const auto e = nlohmann::json::parse(line, nullptr, false);
        if (e.is_discarded() || e["event"] != "offline") continue;
        counted.insert({e["channel"].get<int>(), e["channelOk"].get<int>() + e["channelNg"].get<int>()});
        before += parseRecordTime(e["time"].get<std::string>()).value_or(killedMs) < killedMs - 1000;
    }
    ASSERT_GT(before, 100u) << out.substr(0, 500);
    const auto all = records(offlineRun);
    EXPECT_GE(all.size(), before);
    EXPECT_LE(all.size(), counted.size());
}
