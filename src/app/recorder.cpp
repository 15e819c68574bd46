#include "app/recorder.h"

#include "shell/text.h"

#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>

namespace kvx {

const char* operationName(uint8_t firstStep, bool autoSequence) {
    if (autoSequence) return "auto";
    switch (firstStep) {
    case StepDownloadJob:
    case StepDownloadFlash:
    case StepDownloadNvm: return "download";
    case StepBlankCheck: return "blank-check";
    case StepErase: return "erase";
    case StepProgramFlash:
    case StepProgramNvm: return "program";
    case StepVerifyFlash:
    case StepVerifyNvm: return "verify";
    case StepWriteOption: return "write-option";
    case StepReadFlash: return "read-flash";
    case StepReadOption: return "read-option";
    case StepReadChipId: return "read-id";
    case StepReadAddress: return "read-address";
    case StepUpgrade: return "upgrade";
    default: return "other";
    }
}

std::string defaultStationName() {
    if (const char* s = std::getenv("KORVEX_STATION"); s && *s) return s;
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) == 0 && host[0]) return host;
    return "station";
}

Recorder::Recorder(Program& engine, std::string station, Sink sink)
    : engine_(engine), station_(std::move(station)), sink_(std::move(sink)) {
    engine_.listeners.push_back([this](const EngineEvent& e) { onEvent(e); });
}

int64_t Recorder::nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

ProductionRecord& Recorder::open(int slot, uint8_t step) {
    auto& rec = open_[static_cast<size_t>(slot)];
    if (rec) return *rec;
    rec.emplace();
    rec->startedMs = nowMs();
    rec->operation = operationName(step, engine_.ch[slot].autoSequence);
    return *rec;
}

void Recorder::onEvent(const EngineEvent& e) {
    const int slot = e.channel - 1;
    if (slot < 0 || slot >= 8) return;
    const auto fill = [&](ProductionRecord& r) {
        const ChannelSession& c = engine_.ch[slot];
        r.recordId = newRecordId();
        r.station = station_;
        r.channel = e.channel;
        r.port = e.port;
        r.usbVid = c.unit.vendorId;
        r.usbPid = c.unit.productId;
        r.usbSerial = c.unit.usbSerial;
        r.unitModel = c.unit.model;
        r.unitFirmware = c.unit.firmware;
        r.unitNumber = c.unit.unitNumber;
        if (engine_.chip.chipChosen) r.chip = engine_.chip.chipName;
        while (!r.chip.empty() && r.chip.back() == ' ') r.chip.pop_back();
        if (engine_.fileLoaded) {
            r.imageFile = engine_.image->objectFileName;
            r.fileChecksum = engine_.image->fileChecksum;
            r.flashCrc = engine_.image->flashCrc;
            r.flashAcc = engine_.image->flashAcc;
        }
    };
    switch (e.kind) {
    case EngineEventKind::Step: open(slot, e.step); break;
    case EngineEventKind::Uid: open(slot, e.step).chipUid = e.text; break;
    case EngineEventKind::Serial: open(slot, e.step).serialNumber = e.serialNumber; break;
    case EngineEventKind::Result: {
        ProductionRecord r = std::move(open(slot, e.step));
        open_[static_cast<size_t>(slot)].reset();
        // A firmware upgrade changes the unit, not a chip.
        if (e.step == StepUpgrade || r.operation == "upgrade") break;
        fill(r);
        r.endedMs = nowMs();
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
        r.endedMs = nowMs();
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
