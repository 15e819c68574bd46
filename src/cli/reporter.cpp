#include "cli/reporter.h"

#include "shell/text.h"

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace kvx::cli {

Reporter::Reporter(std::ostream& out, std::ostream& err, bool json, Progress progress, bool verbose)
    : out_(out), err_(err), json_(json), progress_(progress), verbose_(verbose) {}

void Reporter::write(const JsonObject& o) {
    std::string text = jsonLine(o);
    if (!started_) {
        waiting_.push_back(std::move(text));
        return;
    }
    errno = 0;
    out_ << text;
    flushOut();
}

void Reporter::flushOut() {
    out_.flush();
    // Every write to standard output ends here, so EPIPE (its reader went
    // away; SIGPIPE is ignored during a run) is met here first. The stream
    // then stays failed and writes nothing more.
    if (!out_ && errno == EPIPE) outputClosed_ = true;
}

void Reporter::line(const std::string& text, int channel, const std::string& port) {
    if (!verbose_) return;
    if (json_) {
        JsonObject o = eventObject("log", channel, port);
        o["text"] = utf8Text(text);
        write(o);
        return;
    }
    writeLine(text);
}

void Reporter::notice(const std::string& text) {
    if (json_) {
        JsonObject o = eventObject("log");
        o["text"] = utf8Text(text);
        write(o);
        return;
    }
    writeLine(text);
}

void Reporter::writeLine(const std::string& text) {
    flushTable();
    eraseBars();
    errno = 0;
    out_ << text << "\n";
    flushOut();
    drawBars();
}

void Reporter::error(const std::string& text) {
    flushTable();
    eraseBars();
    err_ << "korvex-cli: " << text << "\n";
    err_.flush();
    if (json_) {
        JsonObject o = eventObject("error");
        o["message"] = utf8Text(text);
        write(o);
    }
    drawBars();
}

void Reporter::lineError(const std::string& path, int lineNo, int code, const char* fault, bool skipped) {
    eraseBars();
    err_ << format("korvex-cli: %s line %d: %s (Line %d Data Error : %d.)%s\n", path.c_str(), lineNo, fault, lineNo,
                   code, skipped ? ", line skipped" : "");
    err_.flush();
    if (json_) {
        JsonObject o = eventObject("error");
        o["message"] = utf8Text(fault);
        o["file"] = utf8Text(path);
        o["line"] = lineNo;
        o["code"] = code;
        o["skipped"] = skipped;
        write(o);
    }
    drawBars();
}

void Reporter::start(const RunStart& s) {
    if (started_) return;
    if (json_) {
        const JsonObject o = startJson(s, begin_);  // when the run began: before what waited for it
        errno = 0;
        out_ << jsonLine(o);
        for (const std::string& w : waiting_) out_ << w;
        flushOut();
    }
    waiting_.clear();
    started_ = true;
}

void Reporter::progress(const ProgressMoved& e) {
    if (progress_ == Progress::None) return;
    Bar& b = bars_[e.channel];
    b.port = e.port;
    b.step = stepName(e.step);
    b.value = e.value;
    b.max = e.max;
    const int pct = progressPercent(e.value, e.max);
    const bool newStep = b.lastStep != b.step;
    const auto now = std::chrono::steady_clock::now();
    if (json_) {
        if (std::optional<JsonObject> o = progressEvents_.next(e)) write(*o);
    } else if (progress_ == Progress::Bars) {
        if (now - lastDraw_ < std::chrono::milliseconds(50)) return;
        lastDraw_ = now;
        eraseBars();
        drawBars();
    } else if (newStep || now - b.lastLine >= std::chrono::seconds(2)) {
        // A log file or a pipe gets a line when a step begins and then
        // one every two seconds while it runs.
        b.lastStep = b.step;
        b.lastLine = now;
        err_ << format("CH%d %s %s %d%%\n", e.channel, e.port.c_str(), b.step, pct);
        err_.flush();
    }
}

void Reporter::engineEvent(const EngineEvent& event) {
    if (const auto* e = std::get_if<ProgressMoved>(&event)) {
        // Off-line status frames move idle channels' gauges: progress is for
        // the operations this run launched.
        if (e->running) progress(*e);
        return;
    }
    if (const auto* e = std::get_if<OfflineChip>(&event); e && !json_) offlineChip(*e);
    if (!json_) return;  // the log lines say the rest for people
    if (std::optional<JsonObject> o = engineEventJson(event)) write(*o);
    // Steps and results reach the output through the results.
}

void Reporter::result(const ResultRow& r) {
    counts_.count(r);
    if (json_) {
        write(resultJson(r));
        return;
    }
    // The rows wait until the table is complete, so that the port column
    // is as wide as its longest name (a by-path name runs to 60 characters).
    rows_.push_back(r);
}

void Reporter::flushTable() {
    if (rows_.empty()) return;
    size_t width = 13;
    for (const ResultRow& r : rows_) width = std::max(width, r.port.size());
    eraseBars();
    errno = 0;
    if (!headerShown_) out_ << format("CH  %-*s RESULT  TIME(s)  DEVICE / MESSAGE\n", static_cast<int>(width), "PORT");
    headerShown_ = true;
    for (const ResultRow& r : rows_)
        out_ << format("%-3s %-*s %-7s %7.2f  %s | %s\n", r.channel > 0 ? std::to_string(r.channel).c_str() : "-",
                       static_cast<int>(width), r.port.c_str(), r.outcome == "ok" ? "OK" : r.started ? "FAILED" : r.outcome == "would-run" ? "DRY-RUN" : "-",
                       r.seconds, r.unit.text.c_str(), r.message.c_str());
    rows_.clear();
    flushOut();
}

void Reporter::offlineSockets(const std::vector<std::pair<int, std::string>>& sockets) {
    sockets_.clear();
    for (auto& [channel, port] : sockets) sockets_[channel] = {channel, port, 0, 0};
    if (json_ || progress_ == Progress::None) return;
    std::string text = format("Off-line production: listening on %zu socket(s):", sockets.size());
    for (auto& [channel, port] : sockets) text += format(" CH%d %s", channel, port.c_str());
    err_ << text << "\n";
    err_.flush();
    drawBars();
}

void Reporter::offlineChip(const OfflineChip& e) {
    SocketCount& c = sockets_[e.channel];
    c.channel = e.channel;
    c.port = e.port;
    c.ok = e.channelOk;
    c.ng = e.channelNg;
    if (progress_ == Progress::Lines) {
        err_ << format("CH%d %s %s OK %d NG %d (all sockets: OK %d NG %d)\n", e.channel, e.port.c_str(),
                       e.ok ? "good" : format("failed 0x%0.2X", e.code).c_str(), e.channelOk, e.channelNg, e.totalOk,
                       e.totalNg);
        err_.flush();
    } else if (progress_ == Progress::Bars) {
        eraseBars();
        drawBars();
    }
}

void Reporter::offlineTotals(int ok, int ng, const std::vector<SocketCount>& sockets) {
    if (json_) return;  // the summary and the chips' events carry them
    writeLine(format("Off-line production: OK %d, NG %d", ok, ng));
    for (const SocketCount& c : sockets) writeLine(format("  CH%d %s: OK %d, NG %d", c.channel, c.port.c_str(), c.ok, c.ng));
}

void Reporter::summary(int status, const std::optional<std::pair<int, int>>& offline, double seconds) {
    flushTable();
    if (!json_) return;
    write(summaryJson(status, counts_, offline, seconds));
}

void Reporter::finishBars() {
    eraseBars();
    bars_.clear();
    progressEvents_.clear();
    sockets_.clear();
}

void Reporter::eraseBars() {
    if (progress_ != Progress::Bars || json_ || drawn_ == 0) return;
    err_ << "\x1b[" << drawn_ << "A\x1b[J";
    err_.flush();
    drawn_ = 0;
}

void Reporter::drawBars() {
    if (progress_ != Progress::Bars || json_) return;
    for (auto& [ch, b] : bars_) {
        int pct = progressPercent(b.value, b.max);
        int filled = pct * 30 / 100;
        err_ << format("CH%d %-12s [", ch, b.port.c_str()) << std::string(static_cast<size_t>(filled), '#')
             << std::string(static_cast<size_t>(30 - filled), '.') << format("] %3d%% %s\n", pct, b.step);
        ++drawn_;
    }
    // Off-line production: a row of counts per socket.
    for (auto& [ch, c] : sockets_) {
        err_ << format("CH%d %-12s OK %6d  NG %6d\n", ch, c.port.c_str(), c.ok, c.ng);
        ++drawn_;
    }
    err_.flush();
}

}  // namespace kvx::cli
