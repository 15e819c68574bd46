// Every file the operator names (object files, project, firmware, the log
// configuration and a user-named log) is read or appended to only when it is
// a regular file: a FIFO, a device or a folder is refused at once with a
// plain reason, and a file over its size limit is refused too.
#include "app/korvex_app.h"
#include "firmware/firmware_file.h"
#include "image/object_files.h"
#include "log/log_files.h"
#include "project/project_file.h"
#include "shell/plain_loop.h"
#include "shell/safe_file.h"
#include "shell/scripted_prompts.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <thread>

using namespace kvx;

namespace {

using Reader = std::function<std::string(const std::string& path)>;

// Runs read on a thread of its own. A reader still busy after a few seconds
// hangs (a blocked open, an endless read) and would hang this program with
// it, so the program stops instead, naming the case.
std::string promptly(const std::string& what, const Reader& read, const std::string& path) {
    auto result = std::make_shared<std::promise<std::string>>();
    std::future<std::string> done = result->get_future();
    std::thread([result, read, path] {
        try {
            result->set_value(read(path));
        } catch (...) {
            result->set_exception(std::current_exception());
        }
    }).detach();
    if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        std::fprintf(stderr, "%s: still reading after 5 s\n", what.c_str());
        std::_Exit(1);
    }
    return done.get();
}

std::string caught(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const FileError& e) {
        return e.what();
    }
    return "read";
}

// The text each reader gives the operator.
const Reader kHex = [](const std::string& p) {
    std::vector<uint8_t> b(64);
    ReaderOutputs out;
    return caught([&] { readHexFile(p, 0, b.data(), b.size(), out, nullptr); });
};
const Reader kSRecord = [](const std::string& p) {
    std::vector<uint8_t> b(64);
    ReaderOutputs out;
    return caught([&] { readSRecordFile(p, 0, b.data(), b.size(), out, nullptr); });
};
const Reader kBin = [](const std::string& p) {
    std::vector<uint8_t> b(64);
    uint32_t last = 0, sum = 0;
    return caught([&] { readBinFile(p, b.data(), b.size(), last, sum); });
};
const Reader kNvmBin = [](const std::string& p) {
    std::vector<uint8_t> b(64);
    uint32_t last = 0;
    return caught([&] { readBinLimited(p, b.data(), b.size(), last); });
};
const Reader kProject = [](const std::string& p) {
    ProjectData d;
    std::string message;
    return caught([&] { readProjectFile(p, d, message); });
};
const Reader kFirmware = [](const std::string& p) { return checkFirmwareFile(p).refusal; };
const Reader kLogConfig = [](const std::string& p) {
    LogConfig cfg;
    std::string problem;
    return loadLogConfig(p, cfg, &problem) ? std::string("loaded") : problem;
};
Reader userLog(int mode) {
    return [mode](const std::string& p) {
        std::string error;
        writeRunLog("", LogConfig{true, 1, mode, p}, std::vector<std::string>(8, "line"), LocalTime{}, error);
        return error;
    };
}

std::string replaced(std::string s, const std::string& key, const std::string& value) {
    for (size_t at; (at = s.find(key)) != std::string::npos;) s.replace(at, key.size(), value);
    return s;
}

class RegularInputs : public ::testing::Test {
protected:
    void SetUp() override {
        char t[] = "/tmp/kvx-inputs.XXXXXX";
        ASSERT_NE(::mkdtemp(t), nullptr);
        dir_ = t;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);  // removes links, never what they name
    }
    // A file of size bytes that starts with head (the rest zero, sparse).
    std::string put(const std::string& name, const std::string& head, uint64_t size) {
        std::string p = dir_ + "/" + name;
        int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
        EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        ::close(fd);
        return p;
    }
    std::string fifo(const std::string& name) {
        std::string p = dir_ + "/" + name;
        EXPECT_EQ(::mkfifo(p.c_str(), 0644), 0);
        return p;
    }
    std::string dir_;
};

}  // namespace

TEST_F(RegularInputs, FifoDeviceOrFolderIsRefusedAtOnce) {
    const std::string kRead = "Cannot read file \"{path}\": not a regular file ({kind})";
    const struct {
        const char* name;
        Reader read;
        std::string told;
    } readers[] = {
        {"HEX", kHex, kRead},
        {"S-record", kSRecord, kRead},
        {"BIN", kBin, kRead},
        {"NVM BIN", kNvmBin, kRead},
        {"project", kProject, kRead},
        {"firmware", kFirmware, "Firmware File \"{path}\" Cannot Be Read!"},
        {"log configuration", kLogConfig, kRead},
        {"user-named log, append", userLog(2),
         "Write Log File error!\nCannot write \"{path}\": not a regular file ({kind})"},
    };
    const struct {
        const char* name;
        const char* kind;
        int (*make)(const char* path);
    } inputs[] = {
        {"FIFO without a writer", "a FIFO", [](const char* p) { return ::mkfifo(p, 0644); }},
        {"link to /dev/zero", "a character device", [](const char* p) { return ::symlink("/dev/zero", p); }},
        {"folder", "a folder", [](const char* p) { return ::mkdir(p, 0755); }},
    };
    int n = 0;
    for (const auto& r : readers) {
        for (const auto& in : inputs) {
            const std::string what = std::string(r.name) + " from a " + in.name;
            SCOPED_TRACE(what);
            const std::string path = dir_ + "/input" + std::to_string(n++);
            ASSERT_EQ(in.make(path.c_str()), 0);
            EXPECT_EQ(promptly(what, r.read, path), replaced(replaced(r.told, "{path}", path), "{kind}", in.kind));
        }
    }
}

TEST_F(RegularInputs, ReplacingALogNeverSwapsAFifoForAFile) {
    const std::string p = fifo("user.log");
    for (int mode : {0, 1}) {
        EXPECT_EQ(promptly("user-named log", userLog(mode), p),
                  "Write Log File error!\nCannot write \"" + p + "\": not a regular file (a FIFO)");
    }
    struct stat st {};
    ASSERT_EQ(::lstat(p.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(RegularInputs, SizeLimits) {
    const std::string cfg = "[ConfigLog]\r\nDnLog\r\n[EndCfg]\r\n";
    const uint64_t kHexLimit = uint64_t(64) << 20;
    const struct {
        const char* name;
        Reader read;
        std::string path;
        std::string told;
    } cases[] = {
        {"log configuration at its limit", kLogConfig, put("at.cfg", cfg, kMaxLogConfigSize), "loaded"},
        {"log configuration a byte over it", kLogConfig, put("over.cfg", cfg, kMaxLogConfigSize + 1),
         "too large (65537 bytes, at most 65536)"},
        {"HEX file a byte over 64 MiB", kHex, put("over.hex", ":00000001FF\r\n", kHexLimit + 1),
         "too large (67108865 bytes, at most 67108864)"},
        // /proc files say they are empty and then give more: the read stops
        // at the limit all the same.
        {"file that grows past the limit while read",
         [](const std::string& p) { return caught([&] { readRegularFile(p, 64); }); }, "/proc/self/status",
         "too large (grew past 64 bytes while read)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string told = promptly(c.name, c.read, c.path);
        EXPECT_EQ(told, c.told == "loaded" ? c.told : "Cannot read file \"" + c.path + "\": " + c.told);
    }
}

// The window's start-up with a FIFO as log configuration, firmware file and
// project: it goes on, and the information log says why each was not taken.
TEST_F(RegularInputs, StartUpTellsAndGoesOn) {
    PlainEventLoop loop;
    ScriptedPrompts prompts;
    FixedClock clock;
    SeededRandom rng{5};
    KorvexApp app{loop, prompts, clock, rng};
    app.programFolder = dir_ + "/";
    app.firmwareFileName = fifo("KorvexSCX.FWR");
    const std::string cfg = fifo("ZirIvoD.cfg");
    const std::string project = fifo("job.pmw");
    const Reader start = [&](const std::string& arg) {
        app.FormShow({arg});
        return std::string();
    };
    promptly("start-up", start, project);
    const std::vector<std::string> told = {
        "Cannot read file \"" + cfg + "\": not a regular file (a FIFO)",
        "Firmware File \"" + app.firmwareFileName + "\" Cannot Be Read!",
        "Cannot read file \"" + project + "\": not a regular file (a FIFO)",
    };
    for (const std::string& t : told) {
        const auto& lines = app.log.lines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(t) != l.npos; }))
            << t;
    }
}
