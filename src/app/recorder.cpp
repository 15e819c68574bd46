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

namespace {
// The facts of the unit and the job that every record carries.
void fill(ProductionRecord& r, const std::string& station, const EventHeader& at, const UnitIdentity& unit,
          const JobFacts& job) {
    r.recordId = newRecordId();
    r.station = station;
    r.channel = at.channel;
    r.port = at.port;
    r.usbVid = unit.vendorId;
    r.usbPid = unit.productId;
    r.usbSerial = unit.usbSerial;
    r.unitModel = unit.model;
    r.unitFirmware = unit.firmware;
    r.unitNumber = unit.unitNumber;
    r.chip = job.chip;
    r.imageFile = job.imageFile;
    r.fileChecksum = job.fileChecksum;
    r.flashCrc = job.flashCrc;
    r.flashAcc = job.flashAcc;
    r.bytesCut = static_cast<int64_t>(job.bytesCut);
    if (job.serial) {
        r.snStart = job.serial->start;
        r.snIncrement = job.serial->increment;
        r.snAddress = job.serial->address;
    }
}
}  // namespace

// The record of the operation the channel runs, begun at the first event of
// it (its first step).
ProductionRecord& Recorder::open(const EventHeader& at, const std::string& operation) {
    auto& rec = open_[static_cast<size_t>(at.channel - 1)];
    if (rec) return *rec;
    rec.emplace();
    rec->startedMs = at.timeMs;
    rec->operation = operation.empty() ? "other" : operation;
    return *rec;
}

void Recorder::onEvent(const EngineEvent& event) {
    const int slot = headerOf(event).channel - 1;
    if (slot < 0 || slot >= 8) return;
    if (const auto* e = std::get_if<StepStarted>(&event)) {
        open(*e, e->operation);
    } else if (const auto* e = std::get_if<UidRead>(&event)) {
        open(*e, e->operation).chipUid = e->uid;
    } else if (const auto* e = std::get_if<ChannelFinished>(&event)) {
        ProductionRecord r = std::move(open(*e, e->operation));
        open_[static_cast<size_t>(slot)].reset();
        // A firmware upgrade changes the unit, not a chip.
        if (r.operation == "upgrade" || e->operation == "upgrade") return;
        fill(r, station_, *e, e->unit, e->job);
        r.startedMs = e->startedMs;
        r.endedMs = e->timeMs;
        r.ok = e->ok;
        r.outcome = e->ok ? kOutcomeOk : e->interrupted ? kOutcomeInterrupted : kOutcomeNg;
        if (e->code >= 0) r.resultCode = e->code;
        r.message = e->message;
        sink_(std::move(r));
    } else if (const auto* e = std::get_if<OfflineChip>(&event)) {
        ProductionRecord r;
        fill(r, station_, *e, e->unit, e->job);
        r.operation = "offline";
        r.endedMs = e->timeMs;
        int64_t& last = lastOffline_[static_cast<size_t>(slot)];
        r.startedMs = last && last <= r.endedMs ? last : r.endedMs;
        last = r.endedMs;
        r.ok = e->ok;
        r.outcome = e->ok ? kOutcomeOk : kOutcomeNg;
        r.resultCode = e->code;
        r.message = e->ok ? "Successed !" : format("Failed : Error=0x%0.2x!", e->code);
        sink_(std::move(r));
    }
}

}  // namespace kvx
