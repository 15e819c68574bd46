// What the engine tells its front ends, as typed events: a unit found, a step
// of an operation begun, progress, an operation's result, a chip's UID read,
// a serial number written, an off-line chip counted. The window's gauges
// follow the same points; the command-line front end builds its table,
// progress and JSON lines from these events alone, never from log text.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kvx {

enum class EngineEventKind : uint8_t {
    Device,    // a programmer unit answered the device search
    Step,      // a channel began a step of its operation
    Progress,  // a channel's gauge moved
    Result,    // a channel's operation ended
    Uid,       // a chip's unique identifier was read
    Serial,    // a serial number went into a chip
    Offline,   // off-line production counted a chip
};

// The unit behind a channel: the parts of its information text and the USB
// identity of the adapter it sits on ("" where unknown, e.g. an emulated
// unit on a pseudo-terminal).
struct UnitIdentity {
    std::string text;      // the information text as the unit sent it
    std::string model;     // its first word ("Korvex200RTQ")
    std::string firmware;  // its version word ("V2.10"), "" when it has none
    int unitNumber = 0;    // from "Unit N" in the text, 0 when it has none
    std::string vendorId, productId, usbSerial;
};

// The job a channel ran with: the chip and, when a file was loaded, the
// image's name and sums.
struct JobFacts {
    std::string chip;  // "" when none was chosen
    std::string imageFile;
    std::optional<uint32_t> fileChecksum;
    std::optional<uint16_t> flashCrc, flashAcc;
};

struct EngineEvent {
    EngineEventKind kind = EngineEventKind::Progress;
    int channel = 0;  // 1 .. 8
    std::string port;
    int64_t timeMs = 0;  // when it happened: UTC ms since 1970, from the engine's clock
    // Step, Result, Uid, Serial: the operation the channel runs, as the
    // command line names it ("auto", "program", "blank-check", ...).
    std::string operation;
    uint8_t step = 0;  // Step, Progress, Result: the step the channel is in (or ended in)
    // Progress: the gauge's value and maximum.
    int64_t value = 0, max = 0;
    // Result: whether it succeeded, and the unit's result code (0x00 or 0x06
    // for success, the host's own code for a damaged or mismatching reply),
    // -1 when the host ended it without a result code (the watchdog, a step
    // that failed on its own terms such as "芯片不为空！").
    bool ok = false;
    int code = -1;
    // Result: the message shown; Uid: the UID as hexadecimal digits.
    std::string text;
    UnitIdentity unit;        // Device, Step, Result, Offline: the unit on the channel
    JobFacts job;             // Result, Offline
    uint32_t serialNumber = 0;  // Serial
    // Offline: the status frame's result byte in `code`, ok, and the counts
    // after this chip.
    int32_t channelOk = 0, channelNg = 0, totalOk = 0, totalNg = 0;
};

using EngineListener = std::function<void(const EngineEvent&)>;

// The words of a unit's information text: model, version word, unit number.
UnitIdentity parseUnitText(const std::string& text);

// The operation a channel's first step belongs to, as the command line
// names it ("program", "blank-check", ...).
const char* operationName(uint8_t firstStep, bool autoSequence);

}  // namespace kvx
