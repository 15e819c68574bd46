// Every command that writes a file, run as the operator runs it, in a folder
// that cannot take the file: a full disk (a small tmpfs filled up, or the
// file-size limit) and a read-only folder (the same tmpfs remounted
// read-only). Each command must say which file failed and why, and leave the
// older files, the folder and the information log as they were.
//
// The tmpfs needs a mount namespace of its own, so those cases run in a
// child process; where namespaces or mounting are not allowed they are
// skipped, and the file-size-limit cases still run in this process.
#include "app/korvex_app.h"
#include "shell/plain_loop.h"
#include "shell/safe_file.h"
#include "shell/scripted_prompts.h"
#include "shell/text.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <ostream>

using namespace kvx;
namespace fs = std::filesystem;

namespace {

enum class Failing { FullTmpfs, ReadOnlyTmpfs, FileSizeLimit };

const char* failingName(Failing f) {
    switch (f) {
    case Failing::FullTmpfs: return "FullTmpfs";
    case Failing::ReadOnlyTmpfs: return "ReadOnlyTmpfs";
    case Failing::FileSizeLimit: return "FileSizeLimit";
    }
    return "?";
}
void PrintTo(Failing f, std::ostream* os) { *os << failingName(f); }

// The limit for the file-size cases: below every file a command writes and
// above the older files, so an append gets part of its text in first.
constexpr rlim_t kSizeLimit = 16;
constexpr const char* kOlderText = "older lines\r\n";  // 13 bytes

// The program as the operator has it before saving: started, an SC chip with
// NVM data chosen, its image taken as loaded and a day's worth of log lines (more
// than a tmpfs page, so an append into the last page cannot take them all).
struct Scene {
    PlainEventLoop loop;
    ScriptedPrompts prompts;
    FixedClock clock;
    SeededRandom rng{11};
    KorvexApp app{loop, prompts, clock, rng};
    std::string dir;  // ends with '/'

    explicit Scene(std::string folder) : dir(std::move(folder)) {
        clock.time = LocalTime{2021, 5, 12, 9, 5, 33, 0};
        app.programFolder = dir;
        // The production records keep a journal open in the logs folder
        // (which would hold off the read-only remount) and write a line per
        // chip there; their own failing disks are the records tests'.
        app.recordsEnabled = false;
        app.FormShow({});
        app.engine.chip.vendor = ChipVendor::SC;
        prompts.modalScript = [](Form& f) {
            f["ListBoxCP"].setItemIndex(4);
            f["BitBtnOK"].click();
        };
        app.ui["DevButton"].click();
        prompts.modalScript = nullptr;
        app.engine.fileLoaded = true;
        for (int i = 0; i < 120; ++i) app.info.channelLine(format("Do Main Flash Programming.... %d", i), i % 8 + 1);
    }
    void answerSave(const char* name, int filterIndex) {
        prompts.saveAnswers.push_back(FileChoice{dir + name, filterIndex});
    }
    // Sets a user-named run log in the log dialog (closing it writes the
    // configuration, while the folder still works).
    void userNamedLog(int mode) {
        std::string name = dir + "user.log";
        prompts.modalScript = [mode, name](Form& f) {
            f["RadioGrpCreat"].setItemIndex(1);
            f["RadioGrpMod"].setItemIndex(mode);
            f["EditLogName"].setText(name);
            f["OK"].click();
        };
        app.ui["ConfigLogFile1"].click();
        prompts.modalScript = nullptr;
    }
};

enum class Shown { Warning, Message, LogLine };

struct SaveCommand {
    const char* name;
    const char* existing;  // the older file in the folder (relative)
    const char* named;     // the file the failure names (relative)
    const char* prefix;    // the program's text before the file error
    const char* openVerb;  // how a read-only folder refuses the file
    Shown shown;
    void (*arrange)(Scene&);
    void (*run)(Scene&);
    // Lines the command adds to the information log whether the file is
    // written or not.
    std::vector<std::string> ownLines;
};

// The run log's message box: the program's text, then the file error on a
// line of its own; the production log's failure is one line of the log.
const char* const kLogError = "Write Log File error!\n";
const char* const kLogLineError = "Write Log File error! ";

const SaveCommand kCommands[] = {
    {"ProjectSave", "job.pmw", "job.pmw", "", "Cannot create", Shown::Warning,
     [](Scene& s) { s.answerSave("job.pmw", 1); }, [](Scene& s) { s.app.ui["SavetoProjectFile1"].click(); }, {}},
    {"MemoryToBin", "image.bin", "image.bin", "", "Cannot create", Shown::Warning,
     [](Scene& s) { s.answerSave("image.bin", 1); }, [](Scene& s) { s.app.ui["SaveFile1"].click(); }, {}},
    {"MemoryToHex", "image.hex", "image.hex", "", "Cannot create", Shown::Warning,
     [](Scene& s) { s.answerSave("image.hex", 2); }, [](Scene& s) { s.app.ui["SaveFile1"].click(); }, {}},
    {"MemoryToSRecord", "image.s19", "image.s19", "", "Cannot create", Shown::Warning,
     [](Scene& s) { s.answerSave("image.s19", 3); }, [](Scene& s) { s.app.ui["SaveFile1"].click(); }, {}},
    {"NvmDataToFile", "nvm.bin", "nvm.bin", "", "Cannot create", Shown::Warning,
     [](Scene& s) { s.answerSave("nvm.bin", 1); }, [](Scene& s) { s.app.ui["SaveNVMDatatoFile1"].click(); }, {}},
    {"LogConfiguration", "ZirIvoD.cfg", "ZirIvoD.cfg", "", "Cannot create", Shown::Warning,
     [](Scene& s) { s.prompts.modalScript = [](Form& f) { f["OK"].click(); }; },
     [](Scene& s) { s.app.ui["ConfigLogFile1"].click(); }, {}},
    {"RunLogSystemNamed", "ZEZuLogS/ZEZu_2021_05_11_17_40_02.log", "ZEZuLogS/ZEZu_2021_05_12_09_05_33.log", kLogError,
     "Cannot create", Shown::Message, [](Scene&) {}, [](Scene& s) { s.app.FormClose(); }, {}},
    {"RunLogUserNewFile", "user.log", "user.log", kLogError, "Cannot create", Shown::Message,
     [](Scene& s) { s.userNamedLog(0); }, [](Scene& s) { s.app.FormClose(); }, {}},
    {"RunLogUserOverwrite", "user.log", "user.log", kLogError, "Cannot create", Shown::Message,
     [](Scene& s) { s.userNamedLog(1); }, [](Scene& s) { s.app.FormClose(); }, {}},
    {"RunLogUserAppend", "user.log", "user.log", kLogError, "Cannot open", Shown::Message,
     [](Scene& s) { s.userNamedLog(2); }, [](Scene& s) { s.app.FormClose(); }, {}},
    // A chip finished in off-line production that completes the saving
    // period (here every summary) saves the log; an earlier save within the
    // same second holds the first name.
    {"ProductionLog", "DodOZ_2021_05_12_09_05_33.log", "DodOZ_2021_05_12_09_05_33_2.log", kLogLineError, "Cannot create",
     Shown::LogLine, [](Scene& s) { s.app.engine.summariesPerSave = 1; },
     [](Scene& s) {
         // A unit's status frame: a good chip finished.
         const uint8_t frame[8] = {0xFD, 0xF0, 0x06, 0, 0, 0, 0, static_cast<uint8_t>(0x100 - 0xFD - 0xF0 - 0x06)};
         uint8_t wire[2 * sizeof frame + 8];
         const size_t n = EncodeFrame(frame, sizeof frame, wire);
         s.app.engine.receiveData(0, wire, static_cast<uint16_t>(n));
         s.app.productionLogs.finish();  // written on a worker: its answer is taken here
     },
     {"> 9:05:33 Channel 1: Progrmming Completed : Successed !", "> 9:05:33 Channel 1: OK=1, NG=0.",
      ">---------- Total OK Number is : 1, NG is 0 ----------"}},
};

// --- files ------------------------------------------------------------------

void put(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ::close(fd);
    if (!ok) throw std::runtime_error("cannot write " + path);
}

std::string slurp(const std::string& path) {
    std::string out;
    readWholeFile(path, out);
    return out;
}

// Every file and folder below dir with its bytes ("/" for a folder).
std::map<std::string, std::string> contents(const std::string& dir) {
    std::map<std::string, std::string> m;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        std::string rel = e.path().lexically_relative(dir).string();
        m[rel] = e.is_directory() ? std::string("/") : slurp(e.path().string());
    }
    return m;
}

// Writes a filler file until the file system has no page left.
std::string fillUp(const std::string& dir) {
    int fd = ::open((dir + "filler").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return std::string("cannot create the filler: ") + std::strerror(errno);
    const std::string block(4096, 'F');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    int err = errno;
    ::close(fd);
    if (err != ENOSPC) return std::string("filling up stopped with: ") + std::strerror(err);
    struct statvfs sv {};
    if (::statvfs(dir.c_str(), &sv) != 0 || sv.f_bavail != 0) return "the tmpfs still has room after filling";
    return {};
}

// The file-size limit for this process, with SIGXFSZ ignored so that a write
// past it fails with EFBIG; both restored at the end of the scope.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved_;
        small.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*oldHandler_)(int) = SIG_DFL;
};

// --- the scenario -------------------------------------------------------------

std::string expectedMessage(const SaveCommand& c, Failing how, const std::string& dir) {
    const char* verb = how == Failing::ReadOnlyTmpfs ? c.openVerb : "Cannot write";
    int err = how == Failing::FullTmpfs ? ENOSPC : how == Failing::ReadOnlyTmpfs ? EROFS : EFBIG;
    return std::string(c.prefix) + verb + " \"" + dir + c.named + "\": " + std::strerror(err);
}

std::string kindName(ScriptedPrompts::Kind k) {
    using K = ScriptedPrompts::Kind;
    switch (k) {
    case K::Information: return "information";
    case K::Warning: return "warning";
    case K::Message: return "message";
    case K::ErrorOkAbort: return "error";
    case K::DifferenceYesAbort: return "question";
    default: return "other";
    }
}

// Runs command c in dir (ending with '/'), which fails as how says once the
// older file is in place. Returns what went wrong; empty when all is well.
// Runs without GoogleTest's assertions, so that a child process can run it.
std::vector<std::string> saveIntoFailingFolder(const SaveCommand& c, Failing how, const std::string& dir) {
    std::vector<std::string> problems;
    Scene s(dir);
    c.arrange(s);
    put(dir + c.existing, kOlderText);
    if (how == Failing::FullTmpfs) {
        std::string why = fillUp(dir);
        if (!why.empty()) return {why};
    } else if (how == Failing::ReadOnlyTmpfs) {
        if (::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            return {std::string("remounting read-only: ") + std::strerror(errno)};
    }
    const auto filesBefore = contents(dir);
    const std::vector<std::string> logBefore(s.app.log.lines().begin(), s.app.log.lines().end());
    s.prompts.records.clear();
    {
        std::optional<FileSizeLimit> limit;
        if (how == Failing::FileSizeLimit) limit.emplace(kSizeLimit);
        c.run(s);
    }

    // What the operator was shown.
    const std::string message = expectedMessage(c, how, dir);
    std::vector<ScriptedPrompts::Record> shown;
    for (const auto& r : s.prompts.records)
        if (r.kind != ScriptedPrompts::Kind::Modal && r.kind != ScriptedPrompts::Kind::SaveFile &&
            r.kind != ScriptedPrompts::Kind::OpenFile)
            shown.push_back(r);
    std::vector<std::string> wantLog = logBefore;
    wantLog.insert(wantLog.end(), c.ownLines.begin(), c.ownLines.end());
    bool asExpected = false;
    if (c.shown == Shown::LogLine) {
        wantLog.push_back("> 9:05:33 " + message);
        asExpected = shown.empty();
        if (!asExpected) problems.push_back("expected no message box, only the log line \"" + message + "\"");
    } else {
        auto kind = c.shown == Shown::Warning ? ScriptedPrompts::Kind::Warning : ScriptedPrompts::Kind::Message;
        asExpected = shown.size() == 1 && shown[0].kind == kind && shown[0].text == message;
        if (!asExpected) problems.push_back("expected only the " + kindName(kind) + " \"" + message + "\"");
    }
    if (!asExpected)
        for (const auto& r : shown) problems.push_back("  shown: " + kindName(r.kind) + " \"" + r.text + "\"");

    // The information log.
    const std::vector<std::string> logAfter(s.app.log.lines().begin(), s.app.log.lines().end());
    if (logAfter != wantLog) {
        problems.push_back("the information log changed:");
        size_t i = 0;
        while (i < logAfter.size() && i < wantLog.size() && logAfter[i] == wantLog[i]) ++i;
        for (size_t k = i; k < wantLog.size(); ++k)
            problems.push_back("  wanted line " + std::to_string(k) + ": " + wantLog[k]);
        for (size_t k = i; k < logAfter.size(); ++k)
            problems.push_back("  found line " + std::to_string(k) + ": " + logAfter[k]);
    }

    // The folder: every older file as it was, nothing new (no temporary or
    // partial file).
    const auto filesAfter = contents(dir);
    for (const auto& [name, bytes] : filesBefore) {
        auto it = filesAfter.find(name);
        if (it == filesAfter.end()) problems.push_back("removed: " + name);
        else if (it->second != bytes)
            problems.push_back("changed: " + name + " (" + std::to_string(bytes.size()) + " bytes, now " +
                               std::to_string(it->second.size()) + ")");
    }
    for (const auto& [name, bytes] : filesAfter)
        if (!filesBefore.count(name))
            problems.push_back("left behind: " + name + " (" + std::to_string(bytes.size()) + " bytes)");
    return problems;
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\n";
    return s;
}

// --- the child process with its own tmpfs -----------------------------------------

constexpr int kSkipped = 77;

void writeText(const char* path, const std::string& text) {
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    ssize_t n = ::write(fd, text.data(), text.size());
    (void)n;
    ::close(fd);
}

// Gives this process a mount namespace whose mounts do not reach the rest of
// the system; where that needs a user namespace, one in which it is root.
// Returns why that is not possible here, or an empty text.
std::string privateMounts() {
    if (::unshare(CLONE_NEWNS) != 0) {
        int err = errno;
        uid_t uid = ::geteuid();
        gid_t gid = ::getegid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return std::string("unshare(CLONE_NEWNS): ") + std::strerror(err) +
                   ", unshare(CLONE_NEWUSER|CLONE_NEWNS): " + std::strerror(errno);
        writeText("/proc/self/setgroups", "deny");
        writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("making the mounts private: ") + std::strerror(errno);
    return {};
}

struct ChildOutcome {
    enum { Passed, Failed, Skipped } state;
    std::string text;
};

// Runs body in a child process with a 64 KiB tmpfs mounted on folder, in a
// mount namespace of its own. body returns the problems it found.
ChildOutcome runOnTmpfs(const std::string& folder, const std::function<std::vector<std::string>()>& body) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return {ChildOutcome::Failed, "pipe2 failed"};
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) return {ChildOutcome::Failed, "fork failed"};
    if (pid == 0) {
        ::close(fds[0]);
        auto report = [&](int code, const std::string& text) {
            const char* p = text.data();
            size_t left = text.size();
            while (left > 0) {
                ssize_t n = ::write(fds[1], p, left);
                if (n <= 0) break;
                p += n;
                left -= static_cast<size_t>(n);
            }
            ::_exit(code);
        };
        std::string why = privateMounts();
        if (why.empty() && ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0)
            why = std::string("mounting a tmpfs: ") + std::strerror(errno);
        if (!why.empty()) report(kSkipped, why);
        try {
            std::vector<std::string> problems = body();
            report(problems.empty() ? 0 : 1, joinLines(problems));
        } catch (const std::exception& e) {
            report(1, std::string("exception: ") + e.what());
        }
    }
    ::close(fds[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) text.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {ChildOutcome::Passed, text};
    if (WIFEXITED(status) && WEXITSTATUS(status) == kSkipped) return {ChildOutcome::Skipped, text};
    if (WIFSIGNALED(status)) text += "child ended by signal " + std::to_string(WTERMSIG(status));
    return {ChildOutcome::Failed, text};
}

// --- the table ------------------------------------------------------------------

class SaveIntoFailingFolder : public ::testing::TestWithParam<std::tuple<size_t, Failing>> {
protected:
    void SetUp() override {
        char t[] = "/tmp/kvx-disk.XXXXXX";
        ASSERT_NE(::mkdtemp(t), nullptr);
        dir_ = t;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string dir_;  // without the final '/'
};

TEST_P(SaveIntoFailingFolder, ReportsTheFileAndKeepsEverything) {
    const SaveCommand& c = kCommands[std::get<0>(GetParam())];
    const Failing how = std::get<1>(GetParam());
    const std::string dir = dir_ + "/";
    if (how == Failing::FileSizeLimit) {
        std::vector<std::string> problems = saveIntoFailingFolder(c, how, dir);
        EXPECT_TRUE(problems.empty()) << joinLines(problems);
        return;
    }
    ChildOutcome out = runOnTmpfs(dir_, [&] { return saveIntoFailingFolder(c, how, dir); });
    if (out.state == ChildOutcome::Skipped) GTEST_SKIP() << "no tmpfs of our own here: " << out.text;
    if (out.state != ChildOutcome::Passed) ADD_FAILURE() << out.text;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, SaveIntoFailingFolder,
    ::testing::Combine(::testing::Range<size_t>(0, std::size(kCommands)),
                       ::testing::Values(Failing::FullTmpfs, Failing::ReadOnlyTmpfs, Failing::FileSizeLimit)),
    [](const ::testing::TestParamInfo<std::tuple<size_t, Failing>>& info) {
        return std::string(kCommands[std::get<0>(info.param)].name) + "_" + failingName(std::get<1>(info.param));
    });

}  // namespace
