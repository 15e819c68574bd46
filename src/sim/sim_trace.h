// What went over the wire of the emulated units: one event per request,
// reply and notable happening, kept in memory for tests and written as JSON
// lines to a file.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kvx {

struct SimTraceEvent {
    double timeMs = 0;     // since the server started
    int unit = 0;          // 1-based
    std::string kind;      // "request", "reply", "status", "hangup", "host", ...
    int command = -1;      // command byte (-1: none, e.g. the device query)
    int parameter = -1;    // 16-bit parameter
    int payloadLength = -1;
    size_t frameLength = 0;  // decoded frame length
    size_t wireLength = 0;   // bytes on the wire
    int crcOk = -1;          // request: its check code was right (1) or wrong (0)
    int jobOk = -1;          // job download: the job block checked out
    int result = -1;         // reply: result code; -1 for a data reply
    std::string note;

    std::string toJson() const;
};

class SimTrace {
public:
    SimTrace();
    ~SimTrace();
    SimTrace(const SimTrace&) = delete;
    SimTrace& operator=(const SimTrace&) = delete;

    // Opens the trace file (truncating); false when it cannot be opened.
    bool openFile(const std::string& path);
    void keepInMemory(bool keep) { keep_ = keep; }
    void restartClock();
    double nowMs() const;

    void add(SimTraceEvent e);  // stamps the time when it is 0
    std::vector<SimTraceEvent> events() const;
    void clear();
    // Waits until an event satisfies pred (true) or timeoutMs passes (false).
    bool waitFor(const std::function<bool(const SimTraceEvent&)>& pred, int timeoutMs) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<SimTraceEvent> events_;
    std::FILE* file_ = nullptr;
    bool keep_ = true;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace kvx
