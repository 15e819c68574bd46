#include "sim/sim_options.h"

#include "shell/text.h"

#include <cctype>
#include <functional>
#include <map>

namespace kvx {

namespace {

bool parseNumber(const std::string& text, int64_t lo, int64_t hi, int64_t& out) {
    int64_t v = 0;
    if (!tryParseInt64(text, v) || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool parseHexBytes(const std::string& text, uint8_t* out, size_t n) {
    if (text.size() != 2 * n) return false;
    for (size_t i = 0; i < n; ++i) {
        int64_t v = 0;
        if (!tryParseInt64("0x" + text.substr(2 * i, 2), v)) return false;
        out[i] = static_cast<uint8_t>(v);
    }
    return true;
}

std::vector<std::string> splitColon(const std::string& s) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t p = s.find(':', start);
        parts.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos) break;
        start = p + 1;
    }
    return parts;
}

// "U:rest" names one unit; anything else applies to all (unit 0).
void splitUnit(const std::string& value, int& unit, std::string& rest) {
    size_t p = value.find(':');
    unit = 0;
    rest = value;
    if (p == std::string::npos || p == 0) return;
    for (size_t i = 0; i < p; ++i)
        if (!std::isdigit(static_cast<unsigned char>(value[i]))) return;
    // A unit number too long for an int is no unit either (std::stoi would
    // throw out of the option parser).
    int64_t n = 0;
    unit = p <= 9 && tryParseInt64(value.substr(0, p), n) && n != 0 ? static_cast<int>(n) : -1;  // "0:" is no unit
    rest = value.substr(p + 1);
}

std::string withV(const std::string& v) { return (!v.empty() && v[0] == 'V') ? v : "V" + v; }

}  // namespace

bool parseSimFault(const std::string& text, SimFault& f, std::string& error) {
    auto parts = splitColon(text);
    const std::string& kind = parts[0];
    auto arg = [&](size_t i, uint32_t def, uint32_t lo, uint32_t& out) {
        if (parts.size() <= i) {
            out = def;
            return true;
        }
        int64_t v = 0;
        if (!parseNumber(parts[i], lo, 0xFFFFFFF, v)) {
            error = "bad number in fault \"" + text + "\"";
            return false;
        }
        out = static_cast<uint32_t>(v);
        return true;
    };
    auto maxParts = [&](size_t n) {
        if (parts.size() > n) {
            error = "too many arguments in fault \"" + text + "\"";
            return false;
        }
        return true;
    };
    f = SimFault{};
    if (kind == "silent") {
        f.kind = SimFaultKind::Silent;
        return maxParts(1);
    }
    if (kind == "silent-after") {
        f.kind = SimFaultKind::SilentAfter;
        if (parts.size() != 2) {
            error = "silent-after needs a count";
            return false;
        }
        return arg(1, 0, 0, f.count);
    }
    if (kind == "bad-crc") {
        f.kind = SimFaultKind::BadCrc;
        return maxParts(2) && arg(1, 1, 1, f.count);
    }
    if (kind == "result") {
        f.kind = SimFaultKind::Result;
        if (parts.size() != 3) {
            error = "result needs CMD[.SUB]:CODE";
            return false;
        }
        std::string cmd = parts[1];
        std::string sub;
        size_t dot = cmd.find('.');
        if (dot != std::string::npos) {
            sub = cmd.substr(dot + 1);
            cmd = cmd.substr(0, dot);
        }
        int64_t v = 0;
        if (!parseNumber(cmd, 0, 255, v)) {
            error = "bad command in fault \"" + text + "\"";
            return false;
        }
        f.command = static_cast<int>(v);
        if (!sub.empty()) {
            if (!parseNumber(sub, 0, 0xFFFF, v)) {
                error = "bad sub-command in fault \"" + text + "\"";
                return false;
            }
            f.sub = static_cast<int>(v);
        }
        if (!parseNumber(parts[2], 0, 255, v)) {
            error = "bad result code in fault \"" + text + "\"";
            return false;
        }
        f.code = static_cast<uint8_t>(v);
        return true;
    }
    if (kind == "wprotect") {
        f.kind = SimFaultKind::WriteProtect;
        return maxParts(1);
    }
    if (kind == "rprotect") {
        f.kind = SimFaultKind::ReadProtect;
        return maxParts(1);
    }
    if (kind == "notblank") {
        f.kind = SimFaultKind::NotBlank;
        return maxParts(1);
    }
    if (kind == "hangup") {
        f.kind = SimFaultKind::Hangup;
        if (parts.size() != 2) {
            error = "hangup needs a count";
            return false;
        }
        return arg(1, 0, 0, f.count);
    }
    if (kind == "garbage") {
        f.kind = SimFaultKind::Garbage;
        return maxParts(2) && arg(1, 16, 1, f.count);
    }
    if (kind == "split") {
        f.kind = SimFaultKind::Split;
        return maxParts(2) && arg(1, 16, 1, f.count);
    }
    if (kind == "flood") {
        f.kind = SimFaultKind::Flood;
        return maxParts(2) && arg(1, 20000, 1, f.count);
    }
    if (kind == "bit-errors") {
        f.kind = SimFaultKind::BitErrors;
        if (!maxParts(3) || !arg(1, 1, 1, f.count) || !arg(2, 1, 1, f.bits)) return false;
        if (f.bits > 64) {
            error = "bit-errors flips at most 64 bits a reply";
            return false;
        }
        return true;
    }
    error = "unknown fault \"" + kind + "\"";
    return false;
}

SimCommandLine parseSimCommandLine(const std::vector<std::string>& args) {
    SimCommandLine cl;
    SimOptions& o = cl.options;
    // Unit settings are collected first and applied once the number of units
    // is known: settings for all units before those for one unit.
    struct UnitSetting {
        int unit;
        std::string key, value;
    };
    std::vector<UnitSetting> settings;
    bool haveUnits = false;

    using Setter = std::function<bool(SimUnitOptions&, const std::string&, std::string&)>;
    auto numberSetter = [](auto member, int64_t lo, int64_t hi) -> Setter {
        return [member, lo, hi](SimUnitOptions& u, const std::string& v, std::string& err) {
            int64_t n = 0;
            if (!parseNumber(v, lo, hi, n)) {
                err = "bad number \"" + v + "\"";
                return false;
            }
            u.*member = static_cast<std::remove_reference_t<decltype(u.*member)>>(n);
            return true;
        };
    };
    const std::map<std::string, Setter> unitKeys = {
        {"--model",
         [](SimUnitOptions& u, const std::string& v, std::string&) {
             u.model = v;
             return true;
         }},
        {"--version",
         [](SimUnitOptions& u, const std::string& v, std::string&) {
             u.version = withV(v);
             return true;
         }},
        {"--info-text",
         [](SimUnitOptions& u, const std::string& v, std::string&) {
             u.infoText = v;
             return true;
         }},
        {"--upgrade-version",
         [](SimUnitOptions& u, const std::string& v, std::string&) {
             u.upgradeVersion = withV(v);
             return true;
         }},
        {"--uid",
         [](SimUnitOptions& u, const std::string& v, std::string& err) {
             if (!parseHexBytes(v, u.uid.data(), u.uid.size())) {
                 err = "a unique identifier is 24 hexadecimal digits";
                 return false;
             }
             u.uidSet = true;
             return true;
         }},
        {"--program-ms", numberSetter(&SimUnitOptions::programMs, 0, 60000)},
        {"--erase-ms", numberSetter(&SimUnitOptions::eraseMs, 0, 60000)},
        {"--chip-interval-ms", numberSetter(&SimUnitOptions::chipIntervalMs, 0, 3600000)},
        {"--offline-chips", numberSetter(&SimUnitOptions::offlineChips, 0, 0xFFFFFFFF)},
        {"--offline-fail-every", numberSetter(&SimUnitOptions::offlineFailEvery, 0, 0xFFFFFFFF)},
        {"--offline-fail-code", numberSetter(&SimUnitOptions::offlineFailCode, 0, 255)},
        {"--fault",
         [](SimUnitOptions& u, const std::string& v, std::string& err) {
             SimFault f;
             if (!parseSimFault(v, f, err)) return false;
             u.faults.push_back(f);
             return true;
         }},
    };

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            cl.help = true;
            return cl;
        }
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                cl.error = a + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--units") {
            int64_t n = 0;
            if (!value(v)) return cl;
            if (!parseNumber(v, 1, kSimMaxUnits, n)) {
                cl.error = "--units takes 1 .. 16";
                return cl;
            }
            o.units = static_cast<int>(n);
            haveUnits = true;
        } else if (a == "--dir") {
            if (!value(o.dir)) return cl;
        } else if (a == "--baud") {
            int64_t n = 0;
            if (!value(v)) return cl;
            if (!parseNumber(v, 0, 100000000, n)) {
                cl.error = "bad --baud value \"" + v + "\"";
                return cl;
            }
            o.baud = static_cast<uint32_t>(n);
        } else if (a == "--trace") {
            if (!value(o.traceFile)) return cl;
        } else if (unitKeys.count(a)) {
            if (!value(v)) return cl;
            UnitSetting s;
            s.key = a;
            splitUnit(v, s.unit, s.value);
            settings.push_back(s);
        } else {
            cl.error = "unknown option \"" + a + "\"";
            return cl;
        }
    }
    if (!haveUnits) {
        cl.error = "--units is required";
        return cl;
    }
    if (o.dir.empty()) {
        cl.error = "--dir is required";
        return cl;
    }
    o.unit.assign(static_cast<size_t>(o.units), SimUnitOptions{});
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& s : settings) {
            if ((pass == 0) != (s.unit == 0)) continue;
            if (s.unit < 0 || s.unit > o.units) {
                cl.error = s.key + ": there is no unit " + std::to_string(s.unit);
                return cl;
            }
            for (int u = 0; u < o.units; ++u) {
                if (s.unit != 0 && s.unit != u + 1) continue;
                std::string err;
                if (!unitKeys.at(s.key)(o.unit[static_cast<size_t>(u)], s.value, err)) {
                    cl.error = s.key + ": " + err;
                    return cl;
                }
            }
        }
    }
    return cl;
}

std::string simHelpText() {
    return R"(Usage: korvex-sim --units N --dir DIR [options]

Emulates N Korvex200 programmer units on pseudo-terminals and puts the
symlinks DIR/COM1 .. DIR/COMN to their devices, ready for the host's
KORVEX_SERIAL_DIR. Serves until SIGINT, SIGTERM or SIGHUP, then removes the
symlinks.

Options that describe a unit take an optional "U:" prefix (U = 1..N) that
limits them to unit U; without the prefix they apply to every unit, and a
prefixed setting wins over an unprefixed one.

  --units N                    number of units, 1..16 (required)
  --dir DIR                    folder of the COM symlinks, created when missing
                               (required)
  --baud B                     pace every unit at the line rate of B baud with
                               8N2 framing (11 bit times a byte): 1000000 gives
                               about 90909 bytes/s in each direction. Default:
                               full pseudo-terminal speed
  --trace FILE                 write every request, reply and event as one JSON
                               line each to FILE (keep it outside DIR, where
                               every entry is taken for a port)
  --model [U:]NAME             model name opening the information text
                               (Korvex200RTQ)
  --version [U:]VER            firmware version word; "V" is added when missing
                               (V2.10)
  --info-text [U:]TEXT         the whole information text, replacing the model
                               and version
  --upgrade-version [U:]VER    version reported after a complete firmware
                               upgrade (V9.99)
  --uid [U:]HEX                the chip's unique identifier, 24 hexadecimal
                               digits (default: derived from the unit number)
  --program-ms [U:]MS          time to program one 4 KB block (0)
  --erase-ms [U:]MS            time to erase a chip (0)
  --chip-interval-ms [U:]MS    off-line: time for one chip (500)
  --offline-chips [U:]N        off-line: stop after N chips; 0 = run until the
                               job's count limit, or without end (0)
  --offline-fail-every [U:]N   off-line: every N-th chip fails; 0 = none (0)
  --offline-fail-code [U:]C    off-line: result code of a failed chip (0x0B)
  --fault [U:]KIND[:ARG]       inject a fault; may be repeated:
      silent                   never answers
      silent-after:K           answers K requests, then nothing
      bad-crc[:K]              replies from the K-th request on carry a wrong
                               check code (K = 1: every reply)
      result:CMD[.PARAM]:CODE  answers command CMD (optionally only when its
                               parameter is PARAM: the sub-command of 0x93,
                               the block address of block requests) with the
                               result reply CODE instead of doing it, e.g.
                               result:0x93.0x03:0x40 or result:0x95.8:0x2C
      wprotect                 blank check and writes answer 0x10 until the
                               chip is erased
      rprotect                 blank check, reads and writes answer 0x13 until
                               the chip is erased
      notblank                 the chip holds data when it goes into the socket
      hangup:K                 closes its line after answering K requests
                               (K = 0: at the first request, unanswered)
      garbage[:N]              N bytes without flags before every reply (16)
      split[:N]                replies written in pieces of N bytes, 0.5 ms
                               apart (16)
      flood[:N]                N bytes without flags before every reply (20000)
      bit-errors[:K[:B]]       replies from the K-th request on get B bits
                               flipped on the wire, flags and escapes included
                               (K = 1, B = 1); the places follow from the unit
                               number, so a run is repeatable
  --help                       this text

Requests are counted per unit from 1, every received frame included (the
device query too). Numbers are decimal or hexadecimal with "0x".

Chip model: the chip of each unit takes its geometry from the chip parameter
block of each request (a different geometry puts a fresh chip into the
socket). Erased bytes read 0xFF for every vendor; programming main flash can
only clear bits (a chip that was not erased fails verification). Blank check
looks at main flash: 0x00 when erased, 0x15 otherwise. NVM block
reads answer 4096 bytes; bytes beyond the NVM area read 0xFF. Option reads
answer 16-byte rows from 0x08010000 for CPT (familyOption / 16 rows, at least
2; 16 rows when familyOption is below 16), the first 16 option bytes for LKS
and FG, and the NVM area for SC. Address reads answer exactly the requested
bytes (at least 3, at most 4096; more is refused with 0x55).

Job: JobDownload is unmasked with the shared constants and both copies of the
job block are checked (signature, check code, sum); a bad job is answered
with 0x34. Block downloads are kept with the job for off-line use.

Off-line: after ProgrammerRestart a unit holding a good job produces chips on
its own and reports each in status frames (stages 0x10, 0x20, 0x30, 0x40 per
4 KB block, 0x50 with NVM, 0x70, 0xA0 with option bytes, 0xF0 with 0x06 or
the failure code); the chip in the socket then holds the job's image and
serial number. Any later request ends the run; frames sent while no host has
the port open are lost.

Firmware upgrade: FirmwareBlock and FirmwareEnd are answered with 0x00; after
a complete upgrade (blocks 0..n, all intact) the unit reports the upgrade
version.
)";
}

}  // namespace kvx
