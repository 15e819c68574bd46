#include "sim/sim_trace.h"

#include "shell/text.h"

#include <condition_variable>

namespace kvx {

namespace {
std::string jsonString(const std::string& s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += static_cast<char>(c);
        } else if (c < 0x20) {
            o += format("\\u%0.4x", static_cast<unsigned>(c));
        } else {
            o += static_cast<char>(c);
        }
    }
    return o + "\"";
}
}  // namespace

std::string SimTraceEvent::toJson() const {
    std::string o = format("{\"t\":%.3f,\"unit\":%d,\"kind\":", timeMs, unit) + jsonString(kind);
    if (command >= 0) o += format(",\"cmd\":\"0x%0.2x\"", static_cast<unsigned>(command));
    if (parameter >= 0) o += format(",\"param\":\"0x%0.4x\"", static_cast<unsigned>(parameter));
    if (payloadLength >= 0) o += format(",\"payload\":%d", payloadLength);
    if (frameLength) o += format(",\"frame\":%u", static_cast<unsigned>(frameLength));
    if (wireLength) o += format(",\"wire\":%u", static_cast<unsigned>(wireLength));
    if (crcOk >= 0) o += crcOk ? ",\"crcOk\":true" : ",\"crcOk\":false";
    if (jobOk >= 0) o += jobOk ? ",\"jobOk\":true" : ",\"jobOk\":false";
    if (result >= 0) o += format(",\"result\":\"0x%0.2x\"", static_cast<unsigned>(result));
    if (!note.empty()) o += ",\"note\":" + jsonString(note);
    return o + "}";
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
