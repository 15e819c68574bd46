#include "log/log_files.h"

#include "shell/safe_file.h"
#include "shell/text.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvx {

namespace {

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p; true when the folder exists afterwards. The folders made are
// the user's alone (0700): logs and records name chips, images and servers.
bool makeFolders(const std::string& path) {
    if (path.empty() || isDirectory(path)) return !path.empty();
    size_t slash = path.find_last_of('/', path.size() > 1 && path.back() == '/' ? path.size() - 2 : std::string::npos);
    if (slash != std::string::npos && slash > 0) makeFolders(path.substr(0, slash));
    return ::mkdir(path.c_str(), 0700) == 0 || (errno == EEXIST && isDirectory(path));
}

std::string withSlash(std::string s) {
    if (s.empty() || s.back() != '/') s += '/';
    return s;
}

}  // namespace

bool loadLogConfig(const std::string& path, LogConfig& cfg, std::string* problem) {
    std::string text;
    try {
        text = readRegularFile(path, kMaxLogConfigSize);
    } catch (const FileError& e) {
        // No file is the usual first start, nothing to tell.
        if (problem && e.code() != ENOENT) *problem = e.what();
        return false;
    }
    std::vector<std::string> lines = splitLines(text);
    if (lines.empty() || lines[0] != "[ConfigLog]") return false;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        if (l == "[EndCfg]") break;
        if (l == "EnLog") cfg.enabled = true;
        else if (l == "DnLog") cfg.enabled = false;
        else if (l == "System") cfg.createMode = 0;
        else if (l == "Customer") cfg.createMode = 1;
        else if (l == "CusDef0") cfg.userMode = 0;
        else if (l == "CusDef1") cfg.userMode = 1;
        else if (l == "CusDef2") cfg.userMode = 2;
        else if (l.compare(0, 8, "SpcFile=") == 0) cfg.userFileName = l.substr(8);
    }
    return true;
}

std::vector<std::string> logConfigLines(const LogConfig& cfg) {
    std::vector<std::string> lines{"[ConfigLog]", cfg.enabled ? "EnLog" : "DnLog"};
    if (cfg.createMode == 0) {
        lines.push_back("System");
    } else {
        lines.push_back("Customer");
        int mode = cfg.userMode >= 0 && cfg.userMode <= 2 ? cfg.userMode : 0;
        lines.push_back("CusDef" + std::to_string(mode));
        lines.push_back("SpcFile=" + cfg.userFileName);
    }
    lines.push_back("[EndCfg]");
    return lines;
}

void saveLogConfig(const std::string& path, const LogConfig& cfg) {
    writeFileReplacing(path, joinCrLf(logConfigLines(cfg)));
}

std::string logFileStamp(const LocalTime& t) {
    return format("%04d_%02d_%02d_%02d_%02d_%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

std::string runLogName(const LocalTime& t) { return "ZEZu_" + logFileStamp(t) + ".log"; }
std::string productionLogName(const LocalTime& t) { return "DodOZ_" + logFileStamp(t) + ".log"; }

bool writeRunLog(const std::string& programFolder, const LogConfig& cfg, const LogText& text, const LocalTime& t,
                 std::string& errorMessage) {
    auto pieces = [&text](const PieceSink& sink) { text.forEachPiece(sink); };
    errorMessage.clear();
    // Logging switched off in the dialog means no run log at all.
    if (!cfg.enabled) return true;
    if (cfg.createMode == 0) {
        std::string folder = withSlash(programFolder) + kRunLogFolder;
        if (!makeFolders(folder)) {
            int err = errno;
            errorMessage =
                std::string(kWriteLogError) + "\nCannot create folder \"" + folder + "\": " + std::strerror(err);
            return false;
        }
        if (text.lines() <= 6) return true;
        try {
            // Two runs ending in the same second get two files.
            writeNewFile(folder + "/" + runLogName(t), pieces);
        } catch (const FileError& e) {
            errorMessage = std::string(kWriteLogError) + "\n" + e.what();
            return false;
        }
        return true;
    }
    const std::string& name = cfg.userFileName;
    if (name.empty()) return true;
    try {
        if (cfg.userMode == 2) {
            struct stat st {};
            if (::stat(name.c_str(), &st) == 0) {
                appendToFile(name, pieces);
            } else {
                writeFileReplacing(name, [&](const PieceSink& sink) {
                    sink(std::string(kLogAppendHeader) + "\r\n");
                    text.forEachPiece(sink);
                });
            }
        } else {
            writeFileReplacing(name, pieces);
        }
    } catch (const FileError& e) {
        errorMessage = std::string(kWriteLogError) + "\n" + e.what();
        return false;
    }
    return true;
}

bool saveProductionLog(const std::string& programFolder, const LogText& text, const LocalTime& t, std::string& error) {
    error.clear();
    try {
        // Two saves within one second (of this program or another) would get
        // the same name: the later one gets a number behind the time instead.
        writeNewFile(withSlash(programFolder) + productionLogName(t),
                     [&text](const PieceSink& sink) { text.forEachPiece(sink); });
    } catch (const FileError& e) {
        error = std::string(kWriteLogError) + " " + e.what();
        return false;
    }
    return true;
}

namespace {
// $NAME when it is an absolute path, else the home folder's `fallback`.
std::string xdgBase(const char* name, const char* fallback) {
    const char* xdg = std::getenv(name);
    if (xdg && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    std::string h = home && home[0] ? home : "";
    if (h.empty()) {
        if (const passwd* pw = ::getpwuid(::getuid())) h = pw->pw_dir;
    }
    return withSlash(h) + fallback;
}

// The folder of the executable when the program may keep its files there:
// writable, and not a system folder (an installed program never writes
// beside itself, even when run by root who could). "" otherwise.
std::string ownFolder(const std::string& executablePath) {
    if (executablePath.empty()) return {};
    size_t slash = executablePath.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : executablePath.substr(0, slash);
    auto endsWith = [&](const std::string& tail) {
        return dir.size() >= tail.size() && dir.compare(dir.size() - tail.size(), tail.size(), tail) == 0;
    };
    bool systemFolder = dir == "/bin" || dir.rfind("/usr/", 0) == 0 || dir.rfind("/opt/", 0) == 0 ||
                        endsWith("/usr/bin") || endsWith("/usr/local/bin");
    return !systemFolder && isDirectory(dir) && ::access(dir.c_str(), W_OK) == 0 ? withSlash(dir) : std::string();
}
}  // namespace

ProgramFolders programFolders(const std::string& executablePath) {
    // KORVEX_HOME (an absolute path) holds everything, as the program's own
    // folder would: several stations run from one installation, each with
    // its own configuration, logs and records.
    if (const char* home = std::getenv("KORVEX_HOME"); home && home[0] == '/') {
        const std::string h = withSlash(home);
        makeFolders(h.substr(0, h.size() - 1));
        return {h, h, {}};
    }
    if (std::string own = ownFolder(executablePath); !own.empty()) return {own, own, {}};
    ProgramFolders f;
    f.config = withSlash(xdgBase("XDG_CONFIG_HOME", ".config")) + "korvex200/";
    f.logs = withSlash(xdgBase("XDG_STATE_HOME", ".local/state")) + "korvex200/";
    makeFolders(f.config.substr(0, f.config.size() - 1));
    makeFolders(f.logs.substr(0, f.logs.size() - 1));
    // The configuration an earlier version kept in the data folder moves
    // over once; a file already in the new folder wins and the old one stays.
    const std::string old = withSlash(xdgBase("XDG_DATA_HOME", ".local/share")) + "korvex200/";
    for (const char* name : kConfigFileNames) {
        const std::string from = old + name, to = f.config + name;
        struct stat st {};
        if (::stat(from.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::stat(to.c_str(), &st) == 0) continue;
        if (::rename(from.c_str(), to.c_str()) == 0) {
            f.moved.push_back(from + " -> " + to);
            continue;
        }
        // Another file system: copied whole, then the old one removed.
        std::string text;
        try {
            if (readWholeFile(from, text, kMaxLogConfigSize * 16)) {
                writeFileReplacing(to, text);
                ::unlink(from.c_str());
                f.moved.push_back(from + " -> " + to);
            }
        } catch (const std::exception&) {
            // Left where it was: the program starts with its defaults and
            // the old file is still there to move by hand.
        }
    }
    return f;
}

std::string currentExecutablePath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<size_t>(n));
}

}  // namespace kvx
