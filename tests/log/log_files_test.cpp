#include "log/log_files.h"
#include "shell/safe_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace kvx {
namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spit(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The permission bits of a file or folder.
unsigned modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777u : 0u;
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        ::closedir(d);
    }
    return names;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kvx-log-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = std::string(tmpl) + "/";
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string dir_;
};

LocalTime at(int y, int mo, int d, int h, int mi, int s) {
    LocalTime t;
    t.year = y;
    t.month = mo;
    t.day = d;
    t.hour = h;
    t.minute = mi;
    t.second = s;
    return t;
}

TEST_F(LogTest, LoadsConfigurationFiles) {
    struct Case {
        const char* what;
        std::string text;
        bool loaded;
        LogConfig expect;
    };
    LogConfig defaults;
    const Case cases[] = {
        {"six lines, CR LF", "[ConfigLog]\r\nDnLog\r\nCustomer\r\nCusDef2\r\nSpcFile=D:\\logs\\line1.txt\r\n[EndCfg]\r\n",
         true, {false, 1, 2, "D:\\logs\\line1.txt"}},
        {"six lines, LF, no last line end", "[ConfigLog]\nDnLog\nCustomer\nCusDef1\nSpcFile=/var/log/k.log\n[EndCfg]",
         true, {false, 1, 1, "/var/log/k.log"}},
        {"system, four lines", "[ConfigLog]\r\nEnLog\r\nSystem\r\n[EndCfg]\r\n", true, defaults},
        {"SpcFile= alone empties the name", "[ConfigLog]\r\nCustomer\r\nSpcFile=\r\n[EndCfg]\r\n", true,
         {true, 1, 0, ""}},
        {"name keeps blanks and '='", "[ConfigLog]\r\nSpcFile= a=b.log \r\n", true, {true, 0, 0, " a=b.log "}},
        {"lines after [EndCfg] are ignored", "[ConfigLog]\r\nCustomer\r\n[EndCfg]\r\nDnLog\r\nCusDef2\r\nSpcFile=x\r\n",
         true, {true, 1, 0, "ZEZu2021.log"}},
        {"case and blanks matter", "[ConfigLog]\r\ndnlog\r\nDnLog \r\n customer\r\nCUSDEF2\r\nspcfile=x\r\n", true,
         defaults},
        {"last of repeated lines wins", "[ConfigLog]\nDnLog\nEnLog\nCusDef2\nCusDef0\n", true, defaults},
        {"ConfigLog without brackets", "ConfigLog\r\nDnLog\r\nCustomer\r\n[EndCfg]\r\n", false, defaults},
        {"first line blank", "\r\n[ConfigLog]\r\nDnLog\r\n", false, defaults},
        {"empty file", "", false, defaults},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        spit(dir_ + "ZirIvoD.cfg", c.text);
        LogConfig cfg;
        EXPECT_EQ(loadLogConfig(dir_ + "ZirIvoD.cfg", cfg), c.loaded);
        EXPECT_EQ(cfg.enabled, c.expect.enabled);
        EXPECT_EQ(cfg.createMode, c.expect.createMode);
        EXPECT_EQ(cfg.userMode, c.expect.userMode);
        EXPECT_EQ(cfg.userFileName, c.expect.userFileName);
    }
    LogConfig cfg;
    cfg.userFileName = "kept";
    EXPECT_FALSE(loadLogConfig(dir_ + "missing.cfg", cfg));
    EXPECT_EQ(cfg.userFileName, "kept");
}

TEST_F(LogTest, SavesConfigurationLinesAndReadsThemBack) {
    struct Case {
        LogConfig cfg;
        std::string text;
    };
    const Case cases[] = {
        {{true, 0, 2, "ignored.log"}, "[ConfigLog]\r\nEnLog\r\nSystem\r\n[EndCfg]\r\n"},
        {{false, 0, 0, ""}, "[ConfigLog]\r\nDnLog\r\nSystem\r\n[EndCfg]\r\n"},
        {{false, 1, 2, "D:\\logs\\line1.txt"},
         "[ConfigLog]\r\nDnLog\r\nCustomer\r\nCusDef2\r\nSpcFile=D:\\logs\\line1.txt\r\n[EndCfg]\r\n"},
        {{true, 1, 0, ""}, "[ConfigLog]\r\nEnLog\r\nCustomer\r\nCusDef0\r\nSpcFile=\r\n[EndCfg]\r\n"},
        {{true, 1, 1, "日志.log"}, "[ConfigLog]\r\nEnLog\r\nCustomer\r\nCusDef1\r\nSpcFile=日志.log\r\n[EndCfg]\r\n"},
    };
    const std::string path = dir_ + "ZirIvoD.cfg";
    spit(path, "old content that is longer than any configuration written here ......................");
    for (const Case& c : cases) {
        saveLogConfig(path, c.cfg);
        EXPECT_EQ(slurp(path), c.text);
        LogConfig back;
        ASSERT_TRUE(loadLogConfig(path, back));
        EXPECT_EQ(back.enabled, c.cfg.enabled);
        EXPECT_EQ(back.createMode, c.cfg.createMode);
        if (c.cfg.createMode == 1) {
            EXPECT_EQ(back.userMode, c.cfg.userMode);
            EXPECT_EQ(back.userFileName, c.cfg.userFileName);
        }
    }
    // Only the configuration file is left: no temporary files.
    EXPECT_EQ(entries(dir_).size(), 1u);
    EXPECT_THROW(saveLogConfig(dir_ + "no/such/folder/ZirIvoD.cfg", LogConfig{}), FileError);
}

TEST_F(LogTest, FileNameStamps) {
    struct Case {
        LocalTime t;
        const char* stamp;
    };
    const Case cases[] = {
        {at(2021, 5, 12, 9, 5, 33), "2021_05_12_09_05_33"},
        {at(1999, 12, 31, 23, 59, 9), "1999_12_31_23_59_09"},
        {at(2024, 1, 1, 0, 0, 0), "2024_01_01_00_00_00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(logFileStamp(c.t), c.stamp);
        EXPECT_EQ(runLogName(c.t), std::string("ZEZu_") + c.stamp + ".log");
        EXPECT_EQ(productionLogName(c.t), std::string("DodOZ_") + c.stamp + ".log");
    }
}

std::vector<std::string> logLines(int n) {
    std::vector<std::string> l;
    for (int i = 0; i < n; ++i) l.push_back("> 9:05:" + std::to_string(10 + i) + " 找到设备：" + std::to_string(i));
    return l;
}

std::string crlf(const std::vector<std::string>& lines) {
    std::string s;
    for (auto& l : lines) s += l + "\r\n";
    return s;
}

TEST_F(LogTest, SystemNamedRunLog) {
    const LocalTime t = at(2021, 5, 12, 9, 5, 33);
    const std::string file = dir_ + "ZEZuLogS/ZEZu_2021_05_12_09_05_33.log";
    LogConfig cfg;
    std::string err = "stale";
    struct Case {
        int lines;
        bool enabled;
        bool written;
    };
    const Case cases[] = {{0, true, false}, {6, true, false}, {7, true, true}, {50, false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        std::system(("rm -rf '" + dir_ + "ZEZuLogS'").c_str());
        cfg.enabled = c.enabled;
        auto lines = logLines(c.lines);
        EXPECT_TRUE(writeRunLog(dir_, cfg, lines, t, err));
        EXPECT_EQ(err, "");
        EXPECT_EQ(exists(file), c.written);
        if (c.written) {
            EXPECT_EQ(slurp(file), crlf(lines));
        }
        // The sub-folder is made whenever a system-named log is due, for
        // its user alone.
        EXPECT_EQ(exists(dir_ + "ZEZuLogS"), c.enabled);
        if (c.enabled) EXPECT_EQ(modeOf(dir_ + "ZEZuLogS"), 0700u);
    }
    // A program folder that cannot hold the sub-folder.
    spit(dir_ + "plain", "x");
    cfg.enabled = true;
    EXPECT_FALSE(writeRunLog(dir_ + "plain/", cfg, logLines(8), t, err));
    EXPECT_EQ(err, "Write Log File error!\nCannot create folder \"" + dir_ + "plain/ZEZuLogS\": Not a directory");
    // A run-log name that is taken (by a folder, or by the log of another
    // run ending in the same second): the next free name, never a shared
    // or replaced file.
    ::mkdir((dir_ + "ZEZuLogS").c_str(), 0777);
    ASSERT_EQ(::mkdir(file.c_str(), 0777), 0);
    const std::string stem = file.substr(0, file.size() - 4);
    for (const char* next : {"_2.log", "_3.log"}) {
        EXPECT_TRUE(writeRunLog(dir_, cfg, logLines(8), t, err)) << err;
        EXPECT_EQ(slurp(stem + next), crlf(logLines(8)));
    }
}

TEST_F(LogTest, UserNamedRunLog) {
    const LocalTime t = at(2021, 5, 12, 9, 5, 33);
    const std::string name = dir_ + "line1.txt";
    const auto lines = logLines(3);
    struct Case {
        const char* what;
        int mode;
        const char* before;  // nullptr: no file yet
        std::string after;
    };
    const Case cases[] = {
        {"new file replaces", 0, "old\r\n", crlf(lines)},
        {"overwrite replaces", 1, "old\r\nolder\r\n", crlf(lines)},
        {"overwrite creates", 1, nullptr, crlf(lines)},
        {"append adds at the end", 2, "old\r\n", "old\r\n" + crlf(lines)},
        {"append to an empty file adds no header", 2, "", crlf(lines)},
        {"append starts a missing file with the header", 2, nullptr, "Tandra Log File!\r\n" + crlf(lines)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(name.c_str());
        if (c.before) spit(name, c.before);
        LogConfig cfg{true, 1, c.mode, name};
        std::string err;
        EXPECT_TRUE(writeRunLog(dir_, cfg, lines, t, err));
        EXPECT_EQ(err, "");
        EXPECT_EQ(slurp(name), c.after);
    }
    // Even with few lines a user-named log is written; no system log appears.
    EXPECT_FALSE(exists(dir_ + "ZEZuLogS"));

    // An empty name writes nothing; a name that cannot be written fails
    // with the file and the cause.
    std::string err;
    auto before = entries(dir_);
    EXPECT_TRUE(writeRunLog(dir_, LogConfig{true, 1, 0, ""}, lines, t, err));
    EXPECT_EQ(entries(dir_), before);
    for (int mode : {0, 2}) {
        EXPECT_FALSE(writeRunLog(dir_, LogConfig{true, 1, mode, dir_ + "missing/x.log"}, lines, t, err));
        EXPECT_EQ(err, "Write Log File error!\nCannot create \"" + dir_ + "missing/x.log\": No such file or directory");
    }
}

TEST_F(LogTest, ProductionLog) {
    const LocalTime t = at(2022, 11, 3, 14, 7, 2);
    auto lines = logLines(2);
    std::string err;
    ASSERT_TRUE(saveProductionLog(dir_, lines, t, err)) << err;
    EXPECT_EQ(slurp(dir_ + "DodOZ_2022_11_03_14_07_02.log"), crlf(lines));
    // A later save with more lines replaces nothing but its own file.
    lines.push_back("> more");
    ASSERT_TRUE(saveProductionLog(dir_, lines, at(2022, 11, 3, 15, 0, 0), err));
    EXPECT_EQ(slurp(dir_ + "DodOZ_2022_11_03_14_07_02.log").size(), crlf(logLines(2)).size());
    EXPECT_EQ(entries(dir_).size(), 2u);
    EXPECT_FALSE(saveProductionLog(dir_ + "missing/", lines, t, err));
    EXPECT_NE(err.find("DodOZ_2022_11_03_14_07_02.log"), std::string::npos) << err;
}

TEST_F(LogTest, ReplacingWriteKeepsTheOldFileOnFailureAndFollowsLinks) {
    const std::string target = dir_ + "a.log";
    spit(target, "old");
    ASSERT_EQ(::chmod(target.c_str(), 0604), 0);
    writeFileReplacing(target, std::string("new"));
    EXPECT_EQ(slurp(target), "new");
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0604u);  // the replaced file's mode

    // A new file gets the usual mode for new files.
    mode_t mask = ::umask(027);
    writeFileReplacing(dir_ + "new.log", std::string("n"));
    ::umask(mask);
    ASSERT_EQ(::stat((dir_ + "new.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    ASSERT_EQ(::symlink(target.c_str(), (dir_ + "link.log").c_str()), 0);
    writeFileReplacing(dir_ + "link.log", std::string("via link"));
    EXPECT_EQ(slurp(target), "via link");
    ASSERT_EQ(::lstat((dir_ + "link.log").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    // A folder in the target's place cannot be replaced; nothing is left
    // behind.
    ASSERT_EQ(::mkdir((dir_ + "d.log").c_str(), 0777), 0);
    auto before = entries(dir_);
    EXPECT_THROW(writeFileReplacing(dir_ + "d.log", std::string("x")), FileError);
    EXPECT_EQ(entries(dir_).size(), before.size());
}

TEST_F(LogTest, ProgramFolders) {
    const char* names[] = {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "HOME", "KORVEX_HOME"};
    std::map<std::string, std::optional<std::string>> saved;
    for (const char* n : names) {
        const char* v = std::getenv(n);
        saved[n] = v ? std::optional<std::string>(v) : std::nullopt;
        ::unsetenv(n);
    }
    auto folders = [](const std::string& exe) {
        ProgramFolders f = programFolders(exe);
        return std::make_pair(f.config, f.logs);
    };
    // Run from a writable folder (a build folder): everything beside it.
    EXPECT_EQ(folders(dir_ + "korvex200"), std::make_pair(dir_, dir_));

    // Installed (or the folder is not usable): the XDG folders, made when
    // missing; relative values are not used.
    ::setenv("HOME", (dir_ + "home").c_str(), 1);
    ::setenv("XDG_STATE_HOME", "relative", 1);
    const std::string config = dir_ + "home/.config/korvex200/", logs = dir_ + "home/.local/state/korvex200/";
    EXPECT_EQ(folders("/usr/bin/korvex200"), std::make_pair(config, logs));
    EXPECT_TRUE(exists(config) && exists(logs));
    for (const std::string& made : {config, logs, dir_ + "home/.local"}) EXPECT_EQ(modeOf(made), 0700u) << made;
    ::setenv("XDG_CONFIG_HOME", (dir_ + "cfg").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (dir_ + "state").c_str(), 1);
    EXPECT_EQ(folders(dir_ + "no/such/korvex200"), std::make_pair(dir_ + "cfg/korvex200/", dir_ + "state/korvex200/"));

    // The configuration an earlier version kept in the data folder moves
    // once; a file already in the new place is kept and the old one stays.
    ::setenv("XDG_DATA_HOME", (dir_ + "data").c_str(), 1);
    std::filesystem::create_directories(dir_ + "data/korvex200");
    spit(dir_ + "data/korvex200/ZirIvoD.cfg", "[ConfigLog]\r\nold");
    spit(dir_ + "data/korvex200/ports.map", "1 ttyUSB0\n");
    spit(dir_ + "cfg/korvex200/ports.map", "1 ttyUSB9\n");
    ProgramFolders f = programFolders("/usr/bin/korvex200");
    EXPECT_EQ(f.moved, std::vector<std::string>{dir_ + "data/korvex200/ZirIvoD.cfg -> " + dir_ + "cfg/korvex200/ZirIvoD.cfg"});
    EXPECT_EQ(slurp(dir_ + "cfg/korvex200/ZirIvoD.cfg"), "[ConfigLog]\r\nold");
    EXPECT_FALSE(exists(dir_ + "data/korvex200/ZirIvoD.cfg"));
    EXPECT_EQ(slurp(dir_ + "cfg/korvex200/ports.map"), "1 ttyUSB9\n");
    EXPECT_TRUE(exists(dir_ + "data/korvex200/ports.map"));
    EXPECT_TRUE(programFolders("/usr/bin/korvex200").moved.empty());  // once

    // KORVEX_HOME, when absolute, takes the place of both, made when missing.
    ::setenv("KORVEX_HOME", (dir_ + "station/a").c_str(), 1);
    EXPECT_EQ(folders("/usr/bin/korvex200"), std::make_pair(dir_ + "station/a/", dir_ + "station/a/"));
    EXPECT_TRUE(exists(dir_ + "station/a"));
    ::setenv("KORVEX_HOME", "relative", 1);
    EXPECT_EQ(folders(dir_ + "korvex200"), std::make_pair(dir_, dir_));

    for (auto& [n, v] : saved) {
        if (v) ::setenv(n.c_str(), v->c_str(), 1);
        else ::unsetenv(n.c_str());
    }
    EXPECT_FALSE(currentExecutablePath().empty());
}

}  // namespace
}  // namespace kvx
