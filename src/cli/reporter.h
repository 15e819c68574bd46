// The command-line front end's output: log lines, progress, errors, the
// results table and the off-line totals for people; with --json, one object
// per event instead, each carrying the schema version, the event's name and
// a UTC timestamp, in the order: start, everything else, summary.
#pragma once

#include "engine/event_json.h"
#include "shell/json_lines.h"

#include <chrono>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace kvx::cli {

class Reporter {
public:
    // How progress is shown on the error stream (with --json it is events).
    enum class Progress {
        None,   // -q
        Lines,  // a line per channel at each step and every few seconds
        Bars,   // a bar per channel, redrawn in place (a terminal)
    };
    Reporter(std::ostream& out, std::ostream& err, bool json, Progress progress, bool verbose);

    // A line of the information log (shown with -v); channel 1 .. 8 for a
    // channel's line.
    void line(const std::string& text, int channel = 0, const std::string& port = {});
    // A line that is the run's outcome (convert's summary): always shown.
    void notice(const std::string& text);
    void error(const std::string& text);
    // A faulty object-file line: an error, or a line skipped with --skip-bad-lines.
    void lineError(const std::string& path, int lineNo, int code, const char* fault, bool skipped);
    // The run's start; JSON lines written before it wait and follow it.
    void start(const RunStart& s);
    bool started() const { return started_; }
    // Device, progress, UID, serial number and off-line chip events.
    void engineEvent(const EngineEvent& e);
    void result(const ResultRow& r);
    // Off-line production: the sockets that listen, then each chip's count
    // on the error stream (a line each, or a row per socket redrawn on a
    // terminal), then the totals with each socket's.
    struct SocketCount {
        int channel = 0;
        std::string port;
        int32_t ok = 0, ng = 0;
    };
    void offlineSockets(const std::vector<std::pair<int, std::string>>& sockets);
    void offlineTotals(int ok, int ng, const std::vector<SocketCount>& sockets);
    // The run's end: its exit status, the results' counts, the off-line
    // totals (OK, NG) of an off-line run, and how long it took.
    void summary(int status, const std::optional<std::pair<int, int>>& offline, double seconds);
    void finishBars();
    // A write to the output failed with EPIPE: its reader closed the pipe.
    bool outputClosed() const { return outputClosed_; }

private:
    void flushOut();
    void progress(const ProgressMoved& e);
    struct Bar {
        std::string port;
        const char* step = "";
        int64_t value = 0, max = 0;
        const char* lastStep = "";
        std::chrono::steady_clock::time_point lastLine{};
    };
    void writeLine(const std::string& text);
    // Writes the results table's rows gathered so far.
    void flushTable();
    void write(const JsonObject& o);
    void eraseBars();
    void drawBars();
    std::ostream& out_;
    std::ostream& err_;
    bool json_;
    Progress progress_;
    bool verbose_;
    bool started_ = false;
    bool outputClosed_ = false;
    std::chrono::system_clock::time_point begin_ = std::chrono::system_clock::now();
    std::vector<std::string> waiting_;  // JSON lines written before the start
    bool headerShown_ = false;
    std::vector<ResultRow> rows_;  // of the table, not yet written
    RunCounts counts_;
    ProgressEvents progressEvents_;
    std::map<int, Bar> bars_;
    std::map<int, SocketCount> sockets_;  // off-line production's, by channel
    void offlineChip(const OfflineChip& e);
    int drawn_ = 0;
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace kvx::cli
