// One emulated programmer unit without its line: it takes the flagged runs
// the host sends, keeps the chip, the job and the firmware, and produces the
// bytes to send back (replies and, in off-line mode, status frames).
#pragma once

#include "link/requests.h"
#include "sim/chip_model.h"
#include "sim/sim_options.h"
#include "sim/sim_trace.h"

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kvx {

// Command codes, sub-commands and the job-block mask constants are the
// host's (link/requests.h): both ends share them.
constexpr size_t kSimFlashImageMax = 4u << 20;  // the host's image buffer
constexpr size_t kSimNvmImageMax = 8192;
constexpr size_t kSimFirmwareImage = 65536;

// Bytes to put on the line.
struct SimOutput {
    std::vector<uint8_t> wire;
    double notBeforeMs = 0;  // not before this time (programming time)
    size_t pieceSize = 0;    // >0: written in pieces of this size, 0.5 ms apart
};

// Removes (or applies) the job-block mask of a JobDownload payload in place.
void maskJobPayload(uint8_t* payload, size_t n, uint16_t parameter);
// Checks one 512-byte job block: signature, check code and sum.
bool jobBlockValid(const uint8_t* block);
// The 8-byte off-line status frame with its check byte.
std::array<uint8_t, 8> offlineStatusFrame(uint8_t stage, uint8_t result, uint16_t progress, uint16_t total);

class SimUnit {
public:
    SimUnit(int number, const SimUnitOptions& options, SimTrace* trace);

    // Handles one flagged run as received (flags included) at time nowMs and
    // appends what is to be sent.
    void handleRun(const uint8_t* run, size_t n, double nowMs, std::vector<SimOutput>& out);

    // Off-line production: appends the status frames due at nowMs; returns
    // the time of the next one, or a negative value when none is planned.
    double pollOffline(double nowMs, std::vector<SimOutput>& out);
    bool offlineRunning() const { return offline_.active; }

    // Set once the unit has answered the request after which it hangs up.
    bool hangupDue() const { return hangupDue_; }

    std::string infoText() const;
    const SimUnitOptions& options() const { return opts_; }
    int number() const { return number_; }

    // State, open to tests.
    ChipMemory chip;
    uint32_t requests = 0;               // flagged runs received
    std::optional<std::array<uint8_t, 512>> job;  // the good job last downloaded
    std::array<uint8_t, 64> lastParameterBlock{};  // of the last request that carried one
    std::vector<uint8_t> flashImage;     // downloaded for off-line use (from flashFirst)
    std::vector<uint8_t> nvmImage;       // downloaded NVM image
    std::vector<uint8_t> firmwareImage;  // received upgrade, 64 KB
    std::set<int> firmwareBlocks;        // block indexes received intact
    bool firmwareDamaged = false;        // a block failed its checks
    bool upgraded = false;               // a complete upgrade was ended
    std::string version;
    uint32_t offlineGood = 0, offlineBad = 0;
    uint32_t nextSerial = 0;

private:
    struct Offline {
        bool active = false;
        uint32_t started = 0;   // chips begun
        uint32_t limit = 0;     // 0: none
        double nextChipMs = 0;
        bool chipFails = false;
        std::vector<std::pair<double, std::array<uint8_t, 8>>> frames;  // planned, in order
        size_t nextFrame = 0;
    };

    void reply(const uint8_t* request, const std::vector<uint8_t>& payload, double notBeforeMs,
               std::vector<SimOutput>& out, SimTraceEvent& ev);
    void resultReply(const uint8_t* request, uint8_t code, double notBeforeMs, std::vector<SimOutput>& out,
                     SimTraceEvent& ev);
    void deviceInfo(std::vector<SimOutput>& out, SimTraceEvent& ev);
    void useChip(const uint8_t* block);
    const SimFault* resultFault(uint8_t command, uint16_t parameter) const;
    void dispatch(const uint8_t* f, size_t n, double nowMs, std::vector<SimOutput>& out, SimTraceEvent& ev);
    void chipCommand(const uint8_t* f, size_t n, double nowMs, std::vector<SimOutput>& out, SimTraceEvent& ev);
    void jobDownload(const uint8_t* f, size_t n, std::vector<SimOutput>& out, SimTraceEvent& ev);
    void firmwareBlock(const uint8_t* f, size_t n, std::vector<SimOutput>& out, SimTraceEvent& ev);
    void startOffline(double nowMs);
    void planChip(double nowMs);
    void finishChip();
    void trace(SimTraceEvent e);

    int number_;
    SimUnitOptions opts_;
    SimTrace* trace_;
    bool hangupDue_ = false;
    std::vector<SimTraceEvent> pendingReplies_;  // traced after their request
    Offline offline_;
};

}  // namespace kvx
