// The v1 JSON events: the objects korvex-cli --json writes a line each and
// the station service sends on its event stream, built in one place so that
// both say the same (docs/json-events.md describes them).
#pragma once

#include "engine/events.h"
#include "engine/program.h"
#include "shell/json_lines.h"

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kvx {

// Raised on every change to the JSON events that a reader written for the
// earlier version could misread.
constexpr int kJsonSchemaVersion = 1;

// One row of a run's results: a channel that ran the operation, or a port
// the search queried where nothing ran.
struct ResultRow {
    int channel = 0;  // 1 .. 8; 0 for a port that is not a channel
    std::string port;
    bool started = false;
    // "ok", "failed", "timeout", "interrupted", "not-run", "no-answer",
    // "not-a-programmer", "upgrading", "skipped", "unused", or "would-run"
    // (--dry-run).
    std::string outcome;
    std::optional<int> code;  // the unit's result code, when it gave one
    std::string step;         // the step it ended in
    std::string message;
    double seconds = 0;
    UnitIdentity unit;
    // A stable English word for how it ended ("ok", "verify-mismatch",
    // "timeout", ...; for a port that ran nothing, its outcome).
    std::string reason;
};

// What the start event says of the job.
struct RunStart {
    std::string operation;
    std::string chip, file, project;
    std::optional<uint32_t> fileChecksum;
    std::optional<uint16_t> flashCrc, flashAcc;
    std::vector<std::pair<int, std::string>> ports;  // channel, port
};

// The start of an operation with the engine's chip and loaded file; the
// ports are the caller's.
RunStart runStartOf(const Program& engine, const std::string& operation, const std::string& project);

// The name of a channel step as the events show it ("program flash").
const char* stepName(uint8_t step);

// The operation a launcher starts, by the name the command line and the
// API give it ("auto", "blank-check", "read-id", ...); none for another name.
std::optional<Operation> launchedOperation(std::string_view name);
// The read-backs: they read the chip on channel 1 only.
bool readsChannelOne(Operation op);

// What every event begins with: "v", "event", "time" (the engine event's
// own time, or now), and for a channel's event "channel" and "port".
JsonObject eventObject(const char* event, int channel = 0, const std::string& port = {}, int64_t timeMs = 0);

// A unit's identity as the device event gives it: "model", "firmware",
// "unit" (its number or null), "text", "usb" ({vid, pid, serial} or null).
void putUnit(JsonObject& o, const UnitIdentity& u);

// The start event of a run that began at `begin`.
JsonObject startJson(const RunStart& s, std::chrono::system_clock::time_point begin);

// The device, uid and offline events; none for the engine's other events
// (progress goes through ProgressEvents, a channel's end into its result).
std::optional<JsonObject> engineEventJson(const EngineEvent& e);

// The progress events: one when a channel's gauge has moved by a whole
// percent or began a step, not one per frame.
class ProgressEvents {
public:
    std::optional<JsonObject> next(const ProgressMoved& e);
    void clear() { last_.clear(); }

private:
    struct Last {
        int percent = -1;
        const char* step = "";
    };
    std::map<int, Last> last_;
};

// The gauge's value as a percentage of its maximum (0 without one).
int progressPercent(int64_t value, int64_t max);

JsonObject resultJson(const ResultRow& r);

// The result counts a summary gives.
struct RunCounts {
    int ok = 0, failed = 0, notRun = 0;
    void count(const ResultRow& r);
};

// The summary event: the run's status, its counts, off-line production's
// totals (OK, NG) when it was an off-line run, and how long it took.
JsonObject summaryJson(int status, const RunCounts& counts, const std::optional<std::pair<int, int>>& offline,
                       double seconds);

// The result row of a channel whose operation ended; cutAtClose: it was
// still running when the program closed (it ended as interrupted).
ResultRow finishedRow(const ChannelFinished& e, bool cutAtClose);

}  // namespace kvx
