// The log configuration file and the log files: the run log written at
// shut-down and the production log saved during off-line production.
#pragma once

#include "shell/log_journal.h"
#include "shell/seams.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kvx {

// The configuration as the log dialog holds it.
struct LogConfig {
    bool enabled = true;   // CheckBoxLog
    int createMode = 0;    // RadioGrpCreat: 0 system-named, 1 user-named
    int userMode = 0;      // RadioGrpMod: 0 new file, 1 overwrite, 2 append
    std::string userFileName = "ZEZu2021.log";  // EditLogName
};

constexpr const char* kLogConfigFileName = "ZirIvoD.cfg";
constexpr const char* kRunLogFolder = "ZEZuLogS";
constexpr const char* kLogAppendHeader = "Tandra Log File!";
constexpr const char* kWriteLogError = "Write Log File error!";

// The configuration holds a few short lines; a larger file is refused.
constexpr uint64_t kMaxLogConfigSize = 64 * 1024;

// Reads the configuration file into cfg. Returns false, leaving cfg as it was,
// when the file cannot be read or its first line is not "[ConfigLog]"; when it
// is there but cannot be read (not a regular file, larger than
// kMaxLogConfigSize, no permission), problem gets the file and the cause.
// Lines end in CR LF or LF and are compared whole and case-sensitively;
// reading stops at "[EndCfg]"; unknown lines are ignored.
bool loadLogConfig(const std::string& path, LogConfig& cfg, std::string* problem = nullptr);

// The configuration file's lines for cfg.
std::vector<std::string> logConfigLines(const LogConfig& cfg);

// Writes the configuration file (CR LF line ends), replacing the previous one
// only when complete. Throws FileError.
void saveLogConfig(const std::string& path, const LogConfig& cfg);

// Date and time for file names, every field zero-padded so that the names
// sort by time (2021/5/12 9:05:33 gives "2021_05_12_09_05_33").
std::string logFileStamp(const LocalTime& t);
std::string runLogName(const LocalTime& t);         // "ZEZu_" + stamp + ".log"
std::string productionLogName(const LocalTime& t);  // "DodOZ_" + stamp + ".log"

// Writes the run log at shut-down from the information log's text (every
// line since the log was last cleared). programFolder ends with "/".
// - Logging switched off (enabled false): nothing is written.
// - System-named: the sub-folder "ZEZuLogS" is created when missing and, when
//   there are more than 6 lines, a new file runLogName(t) is written in it.
// - User-named, new file or overwrite: the file is replaced by the lines.
// - User-named, append: the lines are added at the file's end; a file that
//   does not exist yet starts with the line "Tandra Log File!".
// - User-named with an empty name: nothing is written.
// Returns false when something should have been written and was not; then
// errorMessage is "Write Log File error!" and, on a line of its own, the file
// or folder and the cause. A file that was there before is never left changed
// or cut short by a failure.
bool writeRunLog(const std::string& programFolder, const LogConfig& cfg, const LogText& text, const LocalTime& t,
                 std::string& errorMessage);

// Saves a piece of the information log's text to productionLogName(t) in the
// program folder (beside earlier saves of the same second, with a number).
// On failure returns false and error names the file and the cause.
bool saveProductionLog(const std::string& programFolder, const LogText& text, const LocalTime& t, std::string& error);

// Where the program keeps its files, each ending with "/". Run from a
// writable folder that is not a system folder (a build folder), both are the
// executable's folder. Installed: the configuration (ZirIvoD.cfg, ports.map)
// in $XDG_CONFIG_HOME/korvex200 (~/.config/korvex200) and the logs in
// $XDG_STATE_HOME/korvex200 (~/.local/state/korvex200), both created when
// missing; a configuration file an earlier version kept in
// $XDG_DATA_HOME/korvex200 is moved to the configuration folder once
// (`moved` lists each move as "from -> to").
struct ProgramFolders {
    std::string config, logs;
    std::vector<std::string> moved;
};
ProgramFolders programFolders(const std::string& executablePath);

// The configuration files the program folder holds.
constexpr const char* kConfigFileNames[] = {"ZirIvoD.cfg", "ports.map"};

// The running program's own path (from /proc/self/exe); empty when unknown.
std::string currentExecutablePath();

}  // namespace kvx
