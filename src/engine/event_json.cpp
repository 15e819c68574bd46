#include "engine/event_json.h"

#include "shell/text.h"

#include <algorithm>
#include <cmath>

namespace kvx {

RunStart runStartOf(const Program& engine, const std::string& operation, const std::string& project) {
    RunStart start;
    start.operation = operation;
    start.project = project;
    if (engine.chip.chipChosen) start.chip = engine.chip.chipName;
    if (engine.fileLoaded) {
        start.file = engine.image->objectFileName;
        start.fileChecksum = engine.image->fileChecksum;
        start.flashCrc = engine.image->flashCrc;
        start.flashAcc = engine.image->flashAcc;
    }
    return start;
}

const char* stepName(uint8_t step) {
    switch (step) {
    case StepDownloadJob: return "download job";
    case StepDownloadFlash: return "download flash";
    case StepDownloadNvm: return "download NVM";
    case StepBlankCheck: return "blank check";
    case StepErase: return "erase";
    case StepProgramFlash: return "program flash";
    case StepProgramNvm: return "program NVM";
    case StepVerifyFlash: return "verify flash";
    case StepVerifyNvm: return "verify NVM";
    case StepWriteOption: return "write option";
    case StepReadFlash: return "read flash";
    case StepReadOption: return "read option";
    case StepReadChipId: return "read chip id";
    case StepReadAddress: return "read address";
    case StepUpgrade: return "upgrade";
    default: return "idle";
    }
}

std::optional<Operation> launchedOperation(std::string_view name) {
    static const std::pair<const char*, Operation> kLaunched[] = {
        {"auto", Operation::Auto},           {"download", Operation::Download},
        {"blank-check", Operation::BlankCheck}, {"erase", Operation::Erase},
        {"program", Operation::Program},     {"verify", Operation::Verify},
        {"write-option", Operation::WriteOption}, {"read-option", Operation::ReadOption},
        {"read-id", Operation::ReadChipId},  {"read-flash", Operation::ReadFlash},
    };
    for (const auto& [n, op] : kLaunched)
        if (name == n) return op;
    return std::nullopt;
}

bool readsChannelOne(Operation op) {
    return op == Operation::ReadOption || op == Operation::ReadChipId || op == Operation::ReadFlash;
}

namespace {
JsonObject hexOrNull(const std::optional<uint32_t>& v, const char* f) { return v ? JsonObject(format(f, *v)) : JsonObject(); }
}  // namespace

JsonObject eventObject(const char* event, int channel, const std::string& port, int64_t timeMs) {
    JsonObject o;
    o["v"] = kJsonSchemaVersion;
    o["event"] = event;
    o["time"] = isoTimeMs(timeMs > 0 ? std::chrono::system_clock::time_point(std::chrono::milliseconds(timeMs))
                                     : std::chrono::system_clock::now());
    if (channel > 0) {
        o["channel"] = channel;
        o["port"] = utf8Text(port);
    }
    return o;
}

JsonObject startJson(const RunStart& s, std::chrono::system_clock::time_point begin) {
    JsonObject o = eventObject("start");
    o["time"] = isoTimeMs(begin);
    o["version"] = KORVEX_VERSION;
    o["operation"] = s.operation;
    o["chip"] = utf8Text(s.chip);
    o["file"] = utf8Text(s.file);
    o["project"] = utf8Text(s.project);
    o["fileChecksum"] = hexOrNull(s.fileChecksum, "0x%0.8x");
    o["flashCrc"] = hexOrNull(s.flashCrc, "0x%0.4x");
    o["flashAcc"] = hexOrNull(s.flashAcc, "0x%0.4x");
    JsonObject ports = JsonObject::array();
    for (auto& [channel, port] : s.ports) ports.push_back({{"channel", channel}, {"port", utf8Text(port)}});
    o["ports"] = ports;
    return o;
}

std::optional<JsonObject> engineEventJson(const EngineEvent& event) {
    if (const auto* e = std::get_if<DeviceFound>(&event)) {
        JsonObject o = eventObject("device", e->channel, e->port, e->timeMs);
        putUnit(o, e->unit);
        return o;
    }
    if (const auto* e = std::get_if<UidRead>(&event)) {
        JsonObject o = eventObject("uid", e->channel, e->port, e->timeMs);
        o["uid"] = e->uid;
        return o;
    }
    if (const auto* e = std::get_if<OfflineChip>(&event)) {
        JsonObject o = eventObject("offline", e->channel, e->port, e->timeMs);
        o["ok"] = e->ok;
        o["code"] = e->code;
        o["channelOk"] = e->channelOk;
        o["channelNg"] = e->channelNg;
        o["totalOk"] = e->totalOk;
        o["totalNg"] = e->totalNg;
        return o;
    }
    return std::nullopt;
}

void putUnit(JsonObject& o, const UnitIdentity& u) {
    o["model"] = utf8Text(u.model);
    o["firmware"] = utf8Text(u.firmware);
    o["unit"] = u.unitNumber > 0 ? JsonObject(u.unitNumber) : JsonObject();
    o["text"] = utf8Text(u.text);
    o["usb"] = u.vendorId.empty() ? JsonObject()
                                  : JsonObject{{"vid", u.vendorId}, {"pid", u.productId}, {"serial", utf8Text(u.usbSerial)}};
}

int progressPercent(int64_t value, int64_t max) {
    return max > 0 ? static_cast<int>(std::clamp<int64_t>(value, 0, max) * 100 / max) : 0;
}

std::optional<JsonObject> ProgressEvents::next(const ProgressMoved& e) {
    const char* step = stepName(e.step);
    const int pct = progressPercent(e.value, e.max);
    Last& last = last_[e.channel];
    if (pct == last.percent && last.step == step) return std::nullopt;
    last = {pct, step};
    JsonObject o = eventObject("progress", e.channel, e.port, e.timeMs);
    o["step"] = step;
    o["value"] = e.value;
    o["max"] = e.max;
    o["percent"] = pct;
    return o;
}

JsonObject resultJson(const ResultRow& r) {
    JsonObject o = eventObject("result", r.channel, r.port);
    if (r.channel == 0) o["port"] = utf8Text(r.port);
    o["started"] = r.started;
    o["ok"] = r.outcome == "ok";
    o["outcome"] = r.outcome;
    o["reason"] = r.reason.empty() ? r.outcome : r.reason;
    o["code"] = r.code ? JsonObject(*r.code) : JsonObject();
    o["step"] = r.step;
    o["message"] = utf8Text(r.message);
    o["seconds"] = std::round(r.seconds * 1000) / 1000;
    o["device"] = utf8Text(r.unit.text);
    return o;
}

void RunCounts::count(const ResultRow& r) {
    const bool ok = r.outcome == "ok";
    this->ok += ok;
    failed += r.started && !ok;
    notRun += !r.started;
}

JsonObject summaryJson(int status, const RunCounts& counts, const std::optional<std::pair<int, int>>& offline,
                       double seconds) {
    JsonObject o = eventObject("summary");
    o["status"] = status;
    o["ok"] = counts.ok;
    o["failed"] = counts.failed;
    o["notRun"] = counts.notRun;
    o["offline"] = offline ? JsonObject{{"ok", offline->first}, {"ng", offline->second}} : JsonObject();
    o["seconds"] = std::round(seconds * 1000) / 1000;
    return o;
}

ResultRow finishedRow(const ChannelFinished& e, bool cutAtClose) {
    ResultRow row{e.channel, e.port, true, e.ok ? "ok" : "failed",
                  e.code >= 0 ? std::optional<int>(e.code) : std::nullopt, stepName(e.step), e.message,
                  static_cast<double>(e.timeMs - e.startedMs) / 1000.0, e.unit, e.reason};
    if (cutAtClose) {
        row.outcome = "interrupted";
        row.message = "interrupted";
    }
    return row;
}

}  // namespace kvx
