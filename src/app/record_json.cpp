#include "app/record_json.h"

#include "engine/event_json.h"
#include "engine/events.h"
#include "shell/text.h"

#include <chrono>

namespace kvx {

// The stable English word for how a record's operation ended.
const char* recordReason(const ProductionRecord& r) {
    return resultReason(r.ok, r.outcome == kOutcomeInterrupted, r.resultCode);
}

// One production record as a JSON line's object.
JsonObject recordJson(const ProductionRecord& r) {
    const std::string usb = r.usbVid.empty() ? "" : r.usbVid + ":" + r.usbPid + (r.usbSerial.empty() ? "" : ":" + r.usbSerial);
    JsonObject j;
    j["v"] = kJsonSchemaVersion;
    j["event"] = "record";
    j["id"] = utf8Text(r.recordId);
    j["started"] = isoTimeMs(std::chrono::system_clock::time_point(std::chrono::milliseconds(r.startedMs)));
    j["ended"] = isoTimeMs(std::chrono::system_clock::time_point(std::chrono::milliseconds(r.endedMs)));
    j["station"] = utf8Text(r.station);
    j["channel"] = r.channel;
    j["port"] = utf8Text(r.port);
    j["usb"] = usb;
    j["unit"] = utf8Text(r.unitModel);
    j["firmware"] = utf8Text(r.unitFirmware);
    j["unitNumber"] = r.unitNumber;
    j["chip"] = utf8Text(r.chip);
    j["operation"] = utf8Text(r.operation);
    j["image"] = utf8Text(r.imageFile);
    j["fileChecksum"] = r.fileChecksum ? JsonObject(format("0x%0.8x", *r.fileChecksum)) : JsonObject();
    j["flashCrc"] = r.flashCrc ? JsonObject(format("0x%0.4x", *r.flashCrc)) : JsonObject();
    j["flashAcc"] = r.flashAcc ? JsonObject(format("0x%0.4x", *r.flashAcc)) : JsonObject();
    j["serial"] = r.serialNumber ? JsonObject(*r.serialNumber) : JsonObject();
    j["uid"] = utf8Text(r.chipUid);
    j["code"] = r.resultCode ? JsonObject(*r.resultCode) : JsonObject();
    j["ok"] = r.ok;
    j["message"] = utf8Text(r.message);
    j["outcome"] = utf8Text(r.outcome);
    j["reason"] = recordReason(r);
    j["bytesCut"] = r.bytesCut;
    j["snStart"] = r.snStart ? JsonObject(*r.snStart) : JsonObject();
    j["snIncrement"] = r.snIncrement ? JsonObject(*r.snIncrement) : JsonObject();
    j["snAddress"] = r.snAddress ? JsonObject(format("0x%0.8x", *r.snAddress)) : JsonObject();
    return j;
}

}  // namespace kvx
