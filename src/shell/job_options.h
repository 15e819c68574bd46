// The job's options as the main window's controls hold them, in the
// operator's units (milliseconds, on/off, the serial number's numbers), and
// typed changes to them. The window reads its controls into a JobOptions at
// each launch; a front end with no window starts from the same defaults and
// applies its own changes. The engine turns them into the job it sends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kvx {

// The range a time or count edit holds; a value outside it is held at the
// nearer end, as the spin edits do.
struct SpinRange {
    int64_t min, max, defaultValue;
    int64_t clamp(int64_t v) const { return v < min ? min : v > max ? max : v; }
};
constexpr SpinRange kInsertMsRange{300, 1500, 510};     // SpinEditIn
constexpr SpinRange kRemoveMsRange{300, 2000, 510};     // SpinEditOut
constexpr SpinRange kPowerUpMsRange{100, 2000, 100};    // SpinEditVddTim
constexpr SpinRange kPowerDownMsRange{10, 2000, 100};   // SpinEditPwdTim
constexpr SpinRange kRunTimeMsRange{100, 2000, 500};    // SpinEditRTM
constexpr SpinRange kCountLimitRange{0, 999999999, 0};  // SpinEditNum

struct JobOptions {
    bool voltage5V = false;      // RadioGpVolt
    bool fastSpeed = true;       // RadioGroupBitF
    int reset = 0;               // RadioGrpRST: 0 low, 1 off, 2 pulse; -1 none chosen
    bool powerOffAfter = true;   // ChkBoxVDD
    bool runAfter = false;       // CheckBoxRun
    bool runAndShut = false;     // ChkBoxRunSHT
    bool blankError = false;     // ChkBoxBlkEr
    bool readProtect = false;    // ChkBoxEnROP
    bool optionBytes = false;    // CheckBoxOpt
    bool nvmArea = false;        // ChkBoxNVM
    bool watchdog = false;       // ChkBoxEnWDT
    bool autoDetect = false;     // ChkBoxAuto
    bool showFileChecksum = true;  // ChkBoxDpFS
    int64_t insertMs = kInsertMsRange.defaultValue;
    int64_t removeMs = kRemoveMsRange.defaultValue;
    int64_t powerUpMs = kPowerUpMsRange.defaultValue;
    int64_t powerDownMs = kPowerDownMsRange.defaultValue;
    int64_t runTimeMs = kRunTimeMsRange.defaultValue;
    bool countLimitOn = false;   // CheckBoxCtrl
    int64_t countLimit = 0;      // SpinEditNum
    bool serialNumbers = false;  // CheckBoxSN
    uint32_t snStart = 0;        // SNEdit1
    uint16_t snIncrement = 0;    // GainEdit, as the 16 bits sent
    uint32_t snAddress = 0;      // AddrEdit
    bool snBigEndian = false;    // SNOrderChk
    bool snAdvance = false;      // ChkBoxPCSN: the host counts the number on after each chip
    std::string chipNameText;    // MCUNameEdit
    std::string productText;     // ProductEdit
};

// Changes to the job's options: each one given replaces the option.
struct JobOptionChanges {
    std::optional<bool> voltage5V, fastSpeed, powerOffAfter, runAfter, runAndShut, blankError, readProtect,
        optionBytes, nvmArea, watchdog, autoDetect, countLimitOn, serialNumbers, snBigEndian, snAdvance, snDecimal;
    std::optional<int> reset;  // 0 low, 1 off, 2 pulse
    std::optional<int64_t> runTimeMs, insertMs, removeMs, powerUpMs, powerDownMs, countLimit;
    std::optional<uint32_t> snStart, snAddress;
    std::optional<int> snIncrement;  // -999 .. 9999

    // Applies the changes; times and the count are held in their ranges.
    // (snDecimal is how the number is shown, not part of the job.)
    void applyTo(JobOptions& o) const;
};

}  // namespace kvx
