// The information log's journal: the text it gives back is every line added
// since it was cleared, whether its file could be written or not.
#include "shell/log_journal.h"
#include "shell/views.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace kvx {
namespace {

std::string line(int i) { return "> 9:05:33 Channel 1: line " + std::to_string(i) + std::string(40, '.'); }

struct Folder {
    std::string path = [] {
        char t[] = "/tmp/kvx-journal.XXXXXX";
        return std::string(mkdtemp(t));
    }();
    ~Folder() { std::filesystem::remove_all(path); }
};

// Lines go in while the folder is missing, present, missing again: what the
// file could not take waits in memory, the failure is told once per spell,
// and the text is whole at the end.
TEST(LogJournal, TextIsWholeWhateverTheFileDid) {
    Folder f;
    std::string where = f.path + "/later";
    LogJournal j([&] { return where; });
    std::vector<std::string> failures;
    j.onFailure = [&](const std::string& why) { failures.push_back(why); };
    std::string want;
    int n = 0;
    auto add = [&](int count) {
        for (int k = 0; k < count; ++k, ++n) {
            j.append(line(n));
            want += line(n) + "\r\n";
        }
    };
    add(3000);  // about 250 KiB with no folder to write in
    EXPECT_EQ(failures.size(), 1u);
    EXPECT_EQ(j.waiting(), want.size());
    std::filesystem::create_directory(where);
    add(3000);
    EXPECT_LT(j.waiting(), 64u * 1024);  // written once possible
    EXPECT_EQ(j.all().str(), want);
    LogText before = j.all();
    where = f.path + "/missing";  // the file made earlier stays in use
    add(10);
    EXPECT_EQ(failures.size(), 1u);
    EXPECT_TRUE(j.flush());
    EXPECT_EQ(j.all().str(), want);
    EXPECT_EQ(j.lines(), 6010u);
    // A text taken before a clear still reads; the journal starts afresh.
    const uint64_t mark = j.bytes();
    add(5);
    EXPECT_EQ(j.text(mark, j.bytes(), 5).str(), want.substr(static_cast<size_t>(mark)));
    add(1);  // a text ends where it was asked to
    EXPECT_EQ(j.text(mark - 10, j.bytes() - line(n - 1).size() - 2, 5).str(),
              want.substr(static_cast<size_t>(mark) - 10, want.size() - line(n - 1).size() - 2 - (static_cast<size_t>(mark) - 10)));
    j.clear();
    EXPECT_EQ(before.str(), want.substr(0, static_cast<size_t>(before.bytes())));
    EXPECT_EQ(j.bytes(), 0u);
    j.append("x");
    EXPECT_EQ(j.all().str(), "x\r\n");
    // Nothing is left in the folder: the file has no name.
    EXPECT_TRUE(std::filesystem::is_empty(f.path + "/later"));
}

// The log keeps its newest lines in memory; their numbers go on counting.
TEST(LogJournal, LogKeepsItsNewestLines) {
    InfoLog log;
    log.setMemoryLines(4);
    for (int i = 0; i < 10; ++i) log.append(line(i));
    EXPECT_EQ(log.size(), 10u);
    EXPECT_EQ(log.firstKept(), 6u);
    EXPECT_EQ(log.line(9), line(9));
    EXPECT_EQ(log.lines().front(), line(6));
    EXPECT_EQ(log.journal().lines(), 10u);
    log.clear();
    EXPECT_EQ(log.size(), 0u);
    EXPECT_EQ(log.firstKept(), 0u);
}

}  // namespace
}  // namespace kvx
