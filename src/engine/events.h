// What the engine tells its front ends, as typed events, one type a kind: a
// unit found, a step of an operation begun, progress, an operation's result,
// a chip's UID read, an off-line chip counted. The window's gauges
// follow the same points; the command-line front end builds its table,
// progress and JSON lines from these events alone, never from log text.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kvx {

// The step a channel is in: which reply it waits for.
enum OperationStep : uint8_t {
    StepDownloadJob = 0,
    StepDownloadFlash = 3,
    StepDownloadNvm = 5,
    StepBlankCheck = 16,
    StepErase = 19,
    StepProgramFlash = 21,
    StepProgramNvm = 23,
    StepVerifyFlash = 25,
    StepVerifyNvm = 27,
    StepWriteOption = 29,
    StepReadFlash = 32,
    StepReadOption = 37,
    StepReadChipId = 38,
    StepReadAddress = 53,
    StepUpgrade = 160,
    StepIdle = 240,
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

// A job's serial-number settings: the first number, the increment between
// chips and the flash address the number is written to.
struct SerialSettings {
    uint32_t start = 0, increment = 0, address = 0;
    bool operator==(const SerialSettings&) const = default;
};

// The job a channel ran with: the chip and, when a file was loaded, the
// image's name and sums; the serial-number settings when numbering was on.
// No unit reports which number a chip got: the settings are all that is
// known (on-line they go to no unit at all; off-line they are the ones the
// job download sent to that unit).
struct JobFacts {
    std::string chip;  // "" when none was chosen
    std::string imageFile;
    std::optional<uint32_t> fileChecksum;
    std::optional<uint16_t> flashCrc, flashAcc;
    uint64_t bytesCut = 0;  // bytes of the file left out because they lay outside the chip
    std::optional<SerialSettings> serial;
};

// What every event has: the channel (1 .. 8), its port, and when it
// happened (UTC ms since 1970, from the engine's clock).
struct EventHeader {
    int channel = 0;
    std::string port;
    int64_t timeMs = 0;
};

// A programmer unit answered the device search.
struct DeviceFound : EventHeader {
    UnitIdentity unit;
};

// A channel began a step of its operation. operation: as the command line
// names it ("auto", "program", "blank-check", ...).
struct StepStarted : EventHeader {
    std::string operation;
    uint8_t step = 0;
    UnitIdentity unit;
};

// A channel's gauge moved: its value and maximum, and for the steps that move
// data the bytes done and in all (0 and 0 for the steps timed by the clock).
// running: the channel runs an operation (off-line status frames move the
// gauges of idle channels too).
struct ProgressMoved : EventHeader {
    uint8_t step = 0;
    int64_t value = 0, max = 0;
    uint64_t bytesDone = 0, bytesTotal = 0;
    bool running = false;
};

// A channel's operation ended. code: the unit's result code (0x00 or 0x06
// for success, the host's own code for a damaged or mismatching reply), -1
// when the host ended it without one (the watchdog, a step that failed on
// its own terms such as "芯片不为空！"). message: the text shown for it.
// startedMs: when the operation began. interrupted: cut short (the program
// closed or stopped by a signal, or the unit's port hung up meanwhile).
struct ChannelFinished : EventHeader {
    std::string operation;
    uint8_t step = 0;  // the step it ended in
    bool ok = false;
    int code = -1;
    std::string message;
    int64_t startedMs = 0;
    bool interrupted = false;
    std::string reason;  // resultReason(): a stable English word
    UnitIdentity unit;
    JobFacts job;
};

// A chip's unique identifier was read (as hexadecimal digits).
struct UidRead : EventHeader {
    std::string operation;
    std::string uid;
    UnitIdentity unit;
};

// Off-line production counted a chip: the status frame's result byte, and
// the channel's and the run's counts after it.
struct OfflineChip : EventHeader {
    bool ok = false;
    int code = 0;
    int32_t channelOk = 0, channelNg = 0, totalOk = 0, totalNg = 0;
    UnitIdentity unit;
    JobFacts job;
};

using EngineEvent =
    std::variant<DeviceFound, StepStarted, ProgressMoved, ChannelFinished, UidRead, OfflineChip>;

// The header every kind of event has.
inline const EventHeader& headerOf(const EngineEvent& e) {
    return std::visit([](const auto& v) -> const EventHeader& { return v; }, e);
}

using EngineListener = std::function<void(const EngineEvent&)>;

// The words of a unit's information text: model, version word, unit number.
UnitIdentity parseUnitText(const std::string& text);

// A stable English word for a result code, for scripts and records (the
// unit's own message is Chinese): "ok", "verify-mismatch", "not-blank", ...;
// "unit-error" for a code without a meaning of its own.
const char* resultCodeReason(int code);
// The reason of an operation's end: "interrupted" when it was cut short,
// the code's word when there is a code, else "ok" or "timeout" (the host
// ended it when the unit stopped answering).
const char* resultReason(bool ok, bool interrupted, const std::optional<int>& code);

// The operation a channel's first step belongs to, as the command line
// names it ("program", "blank-check", ...).
const char* operationName(uint8_t firstStep, bool autoSequence);

}  // namespace kvx
