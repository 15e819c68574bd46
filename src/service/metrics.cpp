#include "service/metrics.h"

#include "shell/text.h"

#include <sstream>

namespace kvx {

namespace {
// A label value as the text format takes it: backslash, quote and line
// feed escaped.
std::string labelValue(const std::string& v) {
    std::string o;
    for (char c : v) {
        if (c == '\\' || c == '"') o += '\\', o += c;
        else if (c == '\n') o += "\\n";
        else o += c;
    }
    return o;
}

void family(std::ostream& out, const char* name, const char* type, const char* help) {
    out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << "\n";
}

std::string localDate(int64_t ms) {
    const time_t t = static_cast<time_t>(ms / 1000);
    tm local{};
    localtime_r(&t, &local);
    return format("%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}
}  // namespace

void StationMetrics::onEvent(const EngineEvent& event) {
    if (const auto* e = std::get_if<ChannelFinished>(&event)) {
        // The operations that program a chip, as the records' yield counts them.
        if (e->operation == "auto" || e->operation == "program") {
            ++chips_[{e->channel, e->job.chip, e->ok}];
            countDay(e->timeMs, e->ok);
        }
    } else if (const auto* e = std::get_if<OfflineChip>(&event)) {
        ++chips_[{e->channel, e->job.chip, e->ok}];
        countDay(e->timeMs, e->ok);
    }
}

void StationMetrics::countDay(int64_t timeMs, bool ok) {
    const std::string date = localDate(timeMs);
    if (date != day_.date) day_ = {date, 0, 0};
    ++(ok ? day_.ok : day_.ng);
}

StationMetrics::Day StationMetrics::today(int64_t nowMs) const {
    const std::string date = localDate(nowMs);
    return date == day_.date ? day_ : Day{date, 0, 0};
}

void StationMetrics::runEnded(const std::string& outcome, double seconds) {
    ++runs_[outcome];
    for (size_t i = 0; i < kBuckets.size(); ++i) bucketCounts_[i] += seconds <= kBuckets[i];
    durationSum_ += seconds;
    ++durationCount_;
}

std::string StationMetrics::text(int unitsConnected, int channelsBusy, const Records& records) const {
    std::ostringstream out;
    family(out, "korvex_chips_total", "counter", "Chips programmed (automatic runs, programming, off-line production) by channel, chip and result.");
    for (const auto& [key, n] : chips_) {
        const auto& [channel, chip, ok] = key;
        out << "korvex_chips_total{channel=\"" << channel << "\",chip=\"" << labelValue(chip) << "\",result=\""
            << (ok ? "ok" : "ng") << "\"} " << n << "\n";
    }
    family(out, "korvex_runs_total", "counter", "Runs started through the station's API, by outcome.");
    for (const auto& [outcome, n] : runs_) out << "korvex_runs_total{outcome=\"" << labelValue(outcome) << "\"} " << n << "\n";
    family(out, "korvex_run_duration_seconds", "histogram", "How long the station's runs took, from start to the last channel's end.");
    for (size_t i = 0; i < kBuckets.size(); ++i)
        out << "korvex_run_duration_seconds_bucket{le=\"" << format("%g", kBuckets[i]) << "\"} " << bucketCounts_[i] << "\n";
    out << "korvex_run_duration_seconds_bucket{le=\"+Inf\"} " << durationCount_ << "\n";
    out << "korvex_run_duration_seconds_sum " << format("%.6f", durationSum_) << "\n";
    out << "korvex_run_duration_seconds_count " << durationCount_ << "\n";
    family(out, "korvex_units_connected", "gauge", "Programmer units connected.");
    out << "korvex_units_connected " << unitsConnected << "\n";
    family(out, "korvex_channels_busy", "gauge", "Channels running an operation.");
    out << "korvex_channels_busy " << channelsBusy << "\n";
    family(out, "korvex_records_waiting", "gauge", "Production records waiting in memory to be written to the station's database.");
    out << "korvex_records_waiting " << records.waiting << "\n";
    family(out, "korvex_records_dropped_total", "counter", "Production records not kept because the most that may wait were waiting.");
    out << "korvex_records_dropped_total " << records.dropped << "\n";
    family(out, "korvex_records_problems", "gauge", "Problems of the records' database or server told and not over yet.");
    out << "korvex_records_problems " << records.problems << "\n";
    family(out, "korvex_records_forwarding", "gauge", "1 when the records are forwarded to a server.");
    out << "korvex_records_forwarding " << (records.forwarding ? 1 : 0) << "\n";
    family(out, "korvex_records_forwarded_total", "counter", "Production records the server has taken since the station started.");
    out << "korvex_records_forwarded_total " << records.forwarded << "\n";
    return out.str();
}

}  // namespace kvx
