#include "engine/events.h"

#include "engine/program.h"


#include <cctype>
#include <cstdlib>

namespace kvx {

UnitIdentity parseUnitText(const std::string& text) {
    UnitIdentity u;
    u.text = text;
    // Words end at a blank or a comma: "Korvex200RTQ V2.10, Unit 3".
    std::vector<std::string> words;
    std::string w;
    for (char c : text + " ") {
        if (c == ' ' || c == ',') {
            if (!w.empty()) words.push_back(w);
            w.clear();
        } else {
            w.push_back(c);
        }
    }
    if (!words.empty()) u.model = words[0];
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& v = words[i];
        if (u.firmware.empty() && v.size() > 1 && v[0] == 'V' && std::isdigit(static_cast<unsigned char>(v[1])))
            u.firmware = v;
        // "Unit 3", or "Unit3" as some firmware writes it.
        const bool joined = v.size() > 4 && v.compare(0, 4, "Unit") == 0;
        if ((v == "Unit" && i + 1 < words.size()) || joined) {
            const std::string n = joined ? v.substr(4) : words[i + 1];
            char* end = nullptr;
            long value = std::strtol(n.c_str(), &end, 10);
            if (!n.empty() && std::isdigit(static_cast<unsigned char>(n[0])) && *end == 0 && value > 0 && value < 1000000)
                u.unitNumber = static_cast<int>(value);
        }
    }
    return u;
}

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

}  // namespace kvx

namespace kvx {

const char* resultCodeReason(int code) {
    switch (code) {
    case kResultOk:
    case kResultGood: return "ok";
    case kResultChipNotErased: return "not-erased";
    case kResultNoChipResponse: return "no-chip-response";
    case kResultWriteProtected: return "write-protected";
    case kResultReadProtected: return "read-protected";
    case kResultNotBlank: return "not-blank";
    case kResultNoClosingFlag: return "reply-unfinished";
    case kResultCrcMismatch: return "reply-crc-mismatch";
    case kResultUnknownCommand: return "unknown-command";
    case kResultDamaged: return "reply-damaged";
    case kResultFlashError: return "flash-error";
    case kResultNvmWriteError: return "nvm-write-error";
    case kResultVerifyMismatch: return "verify-mismatch";
    case kResultChipChecksumWrong: return "chip-checksum-wrong";
    case kResultWrongChipType: return "wrong-chip-type";
    case kResultWrongChipMaker: return "wrong-chip-maker";
    case kResultCommandTimeout: return "command-timeout";
    case kResultCommandFailed: return "command-failed";
    case kResultSerialNumberWriteError: return "serial-number-write-error";
    case kResultOptionWriteError: return "option-write-error";
    case kResultFlashSizeMismatch: return "flash-size-mismatch";
    case kResultAddressOutOfRange: return "address-out-of-range";
    case kResultIllegalOperation: return "illegal-operation";
    case kResultInterfaceInitError: return "interface-init-error";
    case kResultSerialLinkError: return "serial-link-error";
    default: return "unit-error";
    }
}

const char* resultReason(bool ok, bool interrupted, const std::optional<int>& code) {
    if (interrupted && !ok) return "interrupted";
    if (code && *code >= 0) return ok && *code != kResultOk && *code != kResultGood ? "ok" : resultCodeReason(*code);
    return ok ? "ok" : "timeout";
}

}  // namespace kvx
