#include "app/recorder.h"

#include "shell/text.h"

#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>

namespace kvx {

std::string defaultStationName() {
    if (const char* s = std::getenv("KORVEX_STATION"); s && *s) return s;
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) == 0 && host[0]) return host;
    return "station";
}

Recorder::Recorder(std::string station, Sink sink) : station_(std::move(station)), sink_(std::move(sink)) {}

// The record of the operation the channel runs, begun at the first event of
// it (its first step).
ProductionRecord& Recorder::open(const EngineEvent& e) {
    auto& rec = open_[static_cast<size_t>(e.channel - 1)];
    if (rec) return *rec;
    rec.emplace();
    rec->startedMs = e.timeMs;
    rec->operation = e.operation.empty() ? "other" : e.operation;
    return *rec;
}

void Recorder::onEvent(const EngineEvent& e) {
    const int slot = e.channel - 1;
    if (slot < 0 || slot >= 8) return;
    const auto fill = [&](ProductionRecord& r) {
        r.recordId = newRecordId();
        r.station = station_;
        r.channel = e.channel;
        r.port = e.port;
        r.usbVid = e.unit.vendorId;
        r.usbPid = e.unit.productId;
        r.usbSerial = e.unit.usbSerial;
        r.unitModel = e.unit.model;
        r.unitFirmware = e.unit.firmware;
        r.unitNumber = e.unit.unitNumber;
        r.chip = e.job.chip;
        r.imageFile = e.job.imageFile;
        r.fileChecksum = e.job.fileChecksum;
        r.flashCrc = e.job.flashCrc;
        r.flashAcc = e.job.flashAcc;
    };
    switch (e.kind) {
    case EngineEventKind::Step: open(e); break;
    case EngineEventKind::Uid: open(e).chipUid = e.text; break;
    case EngineEventKind::Serial: open(e).serialNumber = e.serialNumber; break;
    case EngineEventKind::Result: {
        ProductionRecord r = std::move(open(e));
        open_[static_cast<size_t>(slot)].reset();
        // A firmware upgrade changes the unit, not a chip.
        if (r.operation == "upgrade" || e.operation == "upgrade") break;
        fill(r);
        r.endedMs = e.timeMs;
        r.ok = e.ok;
        if (e.code >= 0) r.resultCode = e.code;
        r.message = e.text;
        sink_(std::move(r));
        break;
    }
    case EngineEventKind::Offline: {
        ProductionRecord r;
        fill(r);
        r.operation = "offline";
        r.endedMs = e.timeMs;
        int64_t& last = lastOffline_[static_cast<size_t>(slot)];
        r.startedMs = last && last <= r.endedMs ? last : r.endedMs;
        last = r.endedMs;
        r.ok = e.ok;
        r.resultCode = e.code;
        r.message = e.ok ? "Successed !" : format("Failed : Error=0x%0.2x!", e.code);
        sink_(std::move(r));
        break;
    }
    default: break;
    }
}

}  // namespace kvx
