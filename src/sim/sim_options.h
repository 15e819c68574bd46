// Options of the programmer-unit emulator: the whole server and each unit.
// The command line of korvex-sim is parsed into these; tests fill them
// directly.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kvx {

constexpr int kSimMaxUnits = 16;

enum class SimFaultKind {
    Silent,        // never answers anything
    SilentAfter,   // answers the first `count` requests, then nothing
    BadCrc,        // replies from request `count` on (1 = all) carry a wrong check code
    Result,        // requests of `command` (and `sub`) get a result reply with `code`
    WriteProtect,  // the chip is write-protected until erased (blank check 0x10)
    ReadProtect,   // the chip is read-protected until erased (blank check 0x13)
    NotBlank,      // the chip holds data when it is put into the socket
    Hangup,        // closes its line after answering `count` requests (0: on the first, unanswered)
    Garbage,       // `count` bytes without flags before every reply
    Split,         // replies are written in pieces of `count` bytes
    Flood,         // `count` bytes without flags before every reply (a long run)
    BitErrors,     // replies from request `count` on get `bits` bits flipped on the wire
};

struct SimFault {
    SimFaultKind kind = SimFaultKind::Silent;
    uint32_t count = 0;
    int command = -1;  // Result: the request's command
    int sub = -1;      // Result: the sub-command (parameter) of a chip command, -1 any
    uint8_t code = 0;  // Result: the result code to answer with
    uint32_t bits = 1;  // BitErrors: bits flipped in each reply
};

struct SimUnitOptions {
    std::string model = "Korvex200RTQ";
    std::string version = "V2.10";
    std::string infoText;                 // when set, the whole information text
    std::string upgradeVersion = "V9.99";  // reported after a complete firmware upgrade
    std::array<uint8_t, 12> uid{};         // chip unique identifier
    bool uidSet = false;                   // false: derived from the unit number
    int programMs = 0;                     // time to program one 4 KB block
    int eraseMs = 0;                       // time to erase a chip
    int chipIntervalMs = 500;              // off-line: time per chip
    uint32_t offlineChips = 0;             // off-line: stop after this many chips (0: no limit)
    uint32_t offlineFailEvery = 0;         // off-line: every n-th chip fails (0: none)
    uint8_t offlineFailCode = 0x0B;        // off-line: result code of a failed chip
    bool queryEndsOffline = true;          // off-line: a device query ends the run
    std::vector<SimFault> faults;

    const SimFault* fault(SimFaultKind k) const {
        for (const auto& f : faults)
            if (f.kind == k) return &f;
        return nullptr;
    }
};

struct SimOptions {
    int units = 1;
    std::string dir;           // folder of the COM1..COMn symlinks
    uint32_t baud = 0;         // 0: full speed; else paced at baud / 11 bytes per second
    std::string traceFile;     // JSON lines; empty: none
    bool traceInMemory = true;
    std::vector<SimUnitOptions> unit;  // one per unit (resized to `units` by start)
};

// Result of parsing a command line.
struct SimCommandLine {
    SimOptions options;
    bool help = false;     // -h, --help: print simHelpText()
    bool version = false;  // -V, or --version without a value: print simVersionText()
    std::string error;     // one line; empty when the command line is good
};

SimCommandLine parseSimCommandLine(const std::vector<std::string>& args);
std::string simHelpText();     // generated from the option table
std::string simVersionText();  // "korvex-sim <version>\n"

// Parses one fault text "KIND[:ARG...]" (without the unit prefix).
bool parseSimFault(const std::string& text, SimFault& out, std::string& error);

}  // namespace kvx
