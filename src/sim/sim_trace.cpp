#include "sim/sim_trace.h"

#include "shell/json_lines.h"
#include "shell/text.h"

#include <cmath>

#include <condition_variable>

namespace kvx {

std::string SimTraceEvent::toJson() const {
    JsonObject o;
    o["t"] = std::round(timeMs * 1000) / 1000;
    o["unit"] = unit;
    o["kind"] = utf8Text(kind);
    if (command >= 0) o["cmd"] = format("0x%0.2x", static_cast<unsigned>(command));
    if (parameter >= 0) o["param"] = format("0x%0.4x", static_cast<unsigned>(parameter));
    if (payloadLength >= 0) o["payload"] = payloadLength;
    if (frameLength) o["frame"] = frameLength;
    if (wireLength) o["wire"] = wireLength;
    if (crcOk >= 0) o["crcOk"] = crcOk != 0;
    if (jobOk >= 0) o["jobOk"] = jobOk != 0;
    if (result >= 0) o["result"] = format("0x%0.2x", static_cast<unsigned>(result));
    if (!note.empty()) o["note"] = utf8Text(note);
    return o.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

SimTrace::SimTrace() : start_(std::chrono::steady_clock::now()) {}

SimTrace::~SimTrace() {
    if (file_) std::fclose(file_);
}

bool SimTrace::openFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_) std::fclose(file_);
    file_ = std::fopen(path.c_str(), "w");
    return file_ != nullptr;
}

void SimTrace::restartClock() {
    std::lock_guard<std::mutex> lock(mutex_);
    start_ = std::chrono::steady_clock::now();
}

double SimTrace::nowMs() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
}

void SimTrace::add(SimTraceEvent e) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (e.timeMs == 0) e.timeMs = nowMs();
    if (file_) {
        std::string line = e.toJson();
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), file_);
        std::fflush(file_);
    }
    if (keep_) events_.push_back(std::move(e));
    changed_.notify_all();
}

std::vector<SimTraceEvent> SimTrace::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

void SimTrace::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

bool SimTrace::waitFor(const std::function<bool(const SimTraceEvent&)>& pred, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t seen = 0;
    for (;;) {
        for (; seen < events_.size(); ++seen)
            if (pred(events_[seen])) return true;
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
            for (; seen < events_.size(); ++seen)
                if (pred(events_[seen])) return true;
            return false;
        }
    }
}

}  // namespace kvx
