// A long off-line production in small: the production logs, saved every 100
// chips while the log keeps only 300 lines in memory, hold every line of the
// run exactly once, also across saves that failed; memory stays bounded.
#include "e2e/e2e_rig.h"

#include <map>

namespace kvx::test {
namespace {

std::string slurp(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

TEST(ProductionLogs, HoldEveryLineOnceWhileMemoryStaysBounded) {
    E2ERig r(2, [](SimOptions& o) {
        for (auto& u : o.unit) {
            u.chipIntervalMs = 1;
            u.offlineFailEvery = 7;
        }
    });
    r.chooseChip("SC32F5232JV1G");
    r.loadRandomImage(8 * 1024);
    r.app->ui["SpdBtnDownLoad"].click();
    ASSERT_TRUE(r.waitIdle());
    constexpr size_t kMemoryLines = 300;
    r.app->engine.summariesPerSave = 100;
    r.app->log.setMemoryLines(kMemoryLines);
    r.app->ui["StartOfflineProgrm1"].click();

    // Saves fail for a while (the folder is gone), then work again.
    const std::string folder = r.app->programFolder;
    size_t mostLines = 0, mostWaiting = 0;
    auto chips = [&] { return r.engine().offlineOk() + r.engine().offlineNg(); };
    auto runTo = [&](int n) {
        return r.loop.runUntil(
            [&] {
                mostLines = std::max(mostLines, r.app->log.lines().size());
                mostWaiting = std::max(mostWaiting, r.app->log.journal().waiting());
                return chips() >= n;
            },
            60000);
    };
    ASSERT_TRUE(runTo(700));
    r.app->programFolder = folder + "gone/";
    ASSERT_TRUE(runTo(1100));
    r.app->programFolder = folder;
    ASSERT_TRUE(runTo(3000));
    r.app->FormClose();
    EXPECT_GE(r.app->productionLogs.failed(), 3);
    EXPECT_GE(r.app->productionLogs.written(), 20);

    // Memory: the newest lines and less than a block of the journal.
    EXPECT_EQ(mostLines, kMemoryLines);
    EXPECT_LT(mostWaiting, 64u * 1024 + 200);

    // The run log holds every line; the production logs, put in the order
    // their texts appear in it, follow each other from its start without a
    // gap or an overlap.
    std::string run;
    std::map<size_t, std::string> saves;  // where in the run log -> file
    for (auto& e : std::filesystem::recursive_directory_iterator(r.workDir)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("ZEZu_", 0) == 0) run = slurp(e.path());
    }
    ASSERT_GT(r.app->log.size(), 20000u);
    ASSERT_EQ(std::count(run.begin(), run.end(), '\n'), static_cast<long>(r.app->log.size()));
    for (auto& e : std::filesystem::directory_iterator(r.workDir)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("DodOZ_", 0) != 0) continue;
        std::string text = slurp(e.path());
        size_t at = run.find(text);
        ASSERT_NE(at, std::string::npos) << name << " is not a piece of the run log";
        saves[at] = name;
    }
    size_t end = 0;
    for (auto& [at, name] : saves) {
        EXPECT_EQ(at, end) << name << (at > end ? " leaves lines out" : " repeats lines");
        end = at + std::filesystem::file_size(r.workDir + "/" + name);
    }
    EXPECT_EQ(saves.size(), static_cast<size_t>(r.app->productionLogs.written()));
    // After the last save only the lines of less than one interval remain.
    EXPECT_LT(run.size() - end, run.size() / 10);
    // The failure is told once, though several saves failed.
    size_t told = 0;
    for (size_t p = 0; (p = run.find("Write Log File error! ", p)) != std::string::npos; ++p) ++told;
    EXPECT_EQ(told, 1u);
}

}  // namespace
}  // namespace kvx::test
