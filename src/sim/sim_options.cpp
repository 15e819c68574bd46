#include "sim/sim_options.h"

#include "shell/text.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

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

namespace {

// The help's option column and line width: the formatter wraps every
// description to the room right of the column.
constexpr size_t kHelpColumn = 31;
constexpr size_t kHelpWidth = 79;

std::string wrapWords(const std::string& text, size_t width) {
    std::string out, line;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        std::string word = text.substr(start, end - start);
        start = end + 1;
        if (word.empty()) continue;
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            out += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return out + line;
}

// The help: usage line, description, the option groups (descriptions wrapped
// beside the option column) and the footer.
class SimHelpFormatter : public CLI::Formatter {
public:
    SimHelpFormatter() { column_width(kHelpColumn); }

    std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override {
        std::string out = "Usage: korvex-sim --units N --dir DIR [options]\n\n" + app->get_description() + "\n";
        // One blank line before each group (CLI11's own list puts two between groups).
        for (const std::string& group : app->get_groups()) {
            auto opts = app->get_options(
                [&group](const CLI::Option* opt) { return opt->get_group() == group && opt->nonpositional(); });
            if (!opts.empty()) out += make_group(group, false, opts);
        }
        return out + "\n" + make_footer(app);
    }
    std::string make_option_desc(const CLI::Option* opt) const override {
        return wrapWords(opt->get_description(), kHelpWidth - kHelpColumn);
    }
};

// Applies a unit option's value to one unit; false, with the reason in the
// string, for a bad value.
using Setter = std::function<bool(SimUnitOptions&, const std::string&, std::string&)>;

// One setting of a unit option: the unit it names (0: every unit) and its
// value without the prefix.
struct UnitSetting {
    std::string name;  // the option, for error messages
    Setter set;
    int unit = 0;
    std::string value;
};

// What the option table collects; checked and applied once the whole command
// line is read, since unit settings need the number of units.
struct Collected {
    std::optional<std::string> units, dir, baud, trace;
    bool version = false;
    std::vector<UnitSetting> settings;
};

std::string hex2(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFFu);
    return buf;
}

// The option table: every option of korvex-sim, its value, its help line and
// where its values go. The help text is generated from it.
std::unique_ptr<CLI::App> makeSimApp(Collected& c) {
    auto app = std::make_unique<CLI::App>(
        "Emulates N Korvex200 programmer units on pseudo-terminals and puts the\n"
        "symlinks DIR/COM1 .. DIR/COMN to their devices, ready for the host's\n"
        "KORVEX_SERIAL_DIR. Serves until SIGINT, SIGTERM or SIGHUP, then removes the\n"
        "symlinks.",
        "korvex-sim");
    app->formatter(std::make_shared<SimHelpFormatter>());
    app->set_help_flag("-h,--help", "print this text and exit");
    app->add_flag_callback("-V", [&c] { c.version = true; }, "print the program's version and exit");

    // Options of the whole emulator: given twice, the last one counts.
    auto server = [&](const char* names, std::optional<std::string>& to, const char* value, const char* help) {
        app->add_option(
               names,
               [&to](const CLI::results_t& r) {
                   to = r.back();
                   return true;
               },
               help)
            ->option_text(value)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    };
    server("-u,--units", c.units, "N", "number of units, 1..16 (required)");
    server("-d,--dir", c.dir, "DIR", "folder of the COM symlinks, created when missing (required)");
    server("--baud", c.baud, "B",
           "pace every unit at the line rate of B baud with 8N2 framing (11 bit times a byte): 1000000 gives "
           "about 90909 bytes/s in each direction. Default: full pseudo-terminal speed");
    server("--trace", c.trace, "FILE",
           "write every request, reply and event as one JSON line each to FILE (keep it outside DIR, where every "
           "entry is taken for a port)");

    // Options of the units: each value may carry a "U:" prefix, and every
    // occurrence counts (later ones win, faults add up).
    auto text = [](std::string SimUnitOptions::*member, bool addV) -> Setter {
        return [member, addV](SimUnitOptions& u, const std::string& v, std::string&) {
            u.*member = addV ? withV(v) : v;
            return true;
        };
    };
    auto number = [](auto member, int64_t lo, int64_t hi) -> Setter {
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
    // optionalValue: the option may stand without a value (--version, which
    // then asks for the program's version).
    auto unitOption = [&](const char* name, const char* value, const std::string& help, Setter set,
                          bool optionalValue = false) {
        app->add_option(
               name,
               [&c, name, set, optionalValue](const CLI::results_t& values) {
                   for (const auto& v : values) {
                       if (optionalValue && v.empty()) {
                           c.version = true;
                           continue;
                       }
                       UnitSetting s{name, set, 0, {}};
                       splitUnit(v, s.unit, s.value);
                       c.settings.push_back(std::move(s));
                   }
                   return true;
               },
               help)
            ->option_text(value)
            ->group("Unit options")
            ->expected(optionalValue ? 0 : 1, 1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    };
    const SimUnitOptions def;
    unitOption("--model", "[U:]NAME", "model name opening the information text (" + def.model + ")",
               text(&SimUnitOptions::model, false));
    unitOption("--version", "[[U:]VER]",
               "firmware version word; \"V\" is added when missing (" + def.version +
                   "). Without a value (last, or before another option): print the program's version and exit",
               text(&SimUnitOptions::version, true), true);
    unitOption("--info-text", "[U:]TEXT", "the whole information text, replacing the model and version",
               text(&SimUnitOptions::infoText, false));
    unitOption("--upgrade-version", "[U:]VER",
               "version reported after a complete firmware upgrade (" + def.upgradeVersion + ")",
               text(&SimUnitOptions::upgradeVersion, true));
    unitOption("--uid", "[U:]HEX",
               "the chip's unique identifier, 24 hexadecimal digits (default: derived from the unit number)",
               [](SimUnitOptions& u, const std::string& v, std::string& err) {
                   if (!parseHexBytes(v, u.uid.data(), u.uid.size())) {
                       err = "a unique identifier is 24 hexadecimal digits";
                       return false;
                   }
                   u.uidSet = true;
                   return true;
               });
    unitOption("--program-ms", "[U:]MS", "time to program one 4 KB block (" + std::to_string(def.programMs) + ")",
               number(&SimUnitOptions::programMs, 0, 60000));
    unitOption("--erase-ms", "[U:]MS", "time to erase a chip (" + std::to_string(def.eraseMs) + ")",
               number(&SimUnitOptions::eraseMs, 0, 60000));
    unitOption("--chip-interval-ms", "[U:]MS",
               "off-line: time for one chip (" + std::to_string(def.chipIntervalMs) + ")",
               number(&SimUnitOptions::chipIntervalMs, 0, 3600000));
    unitOption("--offline-chips", "[U:]N",
               "off-line: stop after N chips; 0 = run until the job's count limit, or without end (" +
                   std::to_string(def.offlineChips) + ")",
               number(&SimUnitOptions::offlineChips, 0, 0xFFFFFFFF));
    unitOption("--offline-fail-every", "[U:]N",
               "off-line: every N-th chip fails; 0 = none (" + std::to_string(def.offlineFailEvery) + ")",
               number(&SimUnitOptions::offlineFailEvery, 0, 0xFFFFFFFF));
    unitOption("--offline-fail-code", "[U:]C",
               "off-line: result code of a failed chip (" + hex2(def.offlineFailCode) + ")",
               number(&SimUnitOptions::offlineFailCode, 0, 255));
    unitOption("--query-ends-offline", "[U:]0|1",
               "off-line: 1 = a device query ends the run like any request, 0 = the unit answers it and goes on "
               "producing (" + std::to_string(def.queryEndsOffline ? 1 : 0) + ")",
               number(&SimUnitOptions::queryEndsOffline, 0, 1));
    unitOption("--fault", "[U:]KIND[:ARG]", "inject a fault (repeatable); the kinds are listed below",
               [](SimUnitOptions& u, const std::string& v, std::string& err) {
                   SimFault f;
                   if (!parseSimFault(v, f, err)) return false;
                   u.faults.push_back(f);
                   return true;
               });

    app->footer(R"(Unit options take an optional "U:" prefix (U = 1..N) that limits them to
unit U; without the prefix they apply to every unit, and a prefixed setting
wins over an unprefixed one.

Faults, KIND[:ARG] of --fault:
  silent                       never answers
  silent-after:K               answers K requests, then nothing
  bad-crc[:K]                  replies from the K-th request on carry a wrong
                               check code (K = 1: every reply)
  result:CMD[.PARAM]:CODE      answers command CMD (optionally only when its
                               parameter is PARAM: the sub-command of 0x93,
                               the block address of block requests) with the
                               result reply CODE instead of doing it, e.g.
                               result:0x93.0x03:0x40 or result:0x95.8:0x2C
  wprotect                     blank check and writes answer 0x10 until the
                               chip is erased
  rprotect                     blank check, reads and writes answer 0x13 until
                               the chip is erased
  notblank                     the chip holds data when it goes into the socket
  hangup:K                     closes its line after answering K requests
                               (K = 0: at the first request, unanswered)
  garbage[:N]                  N bytes without flags before every reply (16)
  split[:N]                    replies written in pieces of N bytes, 0.5 ms
                               apart (16)
  flood[:N]                    N bytes without flags before every reply (20000)
  bit-errors[:K[:B]]           replies from the K-th request on get B bits
                               flipped on the wire, flags and escapes included
                               (K = 1, B = 1); the places follow from the unit
                               number, so a run is repeatable

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
serial number. Any later request ends the run (a device query too, unless
--query-ends-offline is 0); frames sent while no host has
the port open are lost.

Firmware upgrade: FirmwareBlock and FirmwareEnd are answered with 0x00; after
a complete upgrade (blocks 0..n, all intact) the unit reports the upgrade
version.)");
    return app;
}

// CLI11's message for an argument it has no use for, in this program's words.
std::string leftOverMessage(const std::string& arg, const std::vector<std::string>& args) {
    // After "--" nothing is an option; korvex-sim takes no other arguments.
    auto dashes = std::find(args.begin(), args.end(), "--");
    bool asOption = arg.size() > 1 && arg[0] == '-' && std::find(args.begin(), dashes, arg) != dashes;
    return (asOption ? "unknown option \"" : "unexpected argument \"") + arg + "\"";
}

}  // namespace

SimCommandLine parseSimCommandLine(const std::vector<std::string>& args) {
    SimCommandLine cl;
    Collected c;
    auto app = makeSimApp(c);
    try {
        // CLI11 takes the arguments last first.
        app->parse(std::vector<std::string>(args.rbegin(), args.rend()));
    } catch (const CLI::CallForHelp&) {
        cl.help = true;
        return cl;
    } catch (const CLI::ExtrasError&) {
        // CLI11 keeps a "--" that ended the options among the left-overs; it
        // is no argument of its own (everything was parsed when this is thrown).
        for (const std::string& left : app->remaining()) {
            if (left == "--") continue;
            cl.error = leftOverMessage(left, args);
            break;
        }
    } catch (const CLI::ArgumentMismatch& e) {
        // The only mismatch an option of this table can have: its value is
        // missing. The message starts with the option's name.
        std::string what = e.what();
        cl.error = what.substr(0, what.find(':')) + " needs a value";
    } catch (const CLI::ParseError& e) {
        cl.error = e.what();
    }
    if (c.version) {
        cl.version = true;
        cl.error.clear();
    }
    if (cl.version || !cl.error.empty()) return cl;

    SimOptions& o = cl.options;
    int64_t n = 0;
    if (!c.units) {
        cl.error = "--units is required";
        return cl;
    }
    if (!parseNumber(*c.units, 1, kSimMaxUnits, n)) {
        cl.error = "--units takes 1 .. 16";
        return cl;
    }
    o.units = static_cast<int>(n);
    if (!c.dir || c.dir->empty()) {
        cl.error = "--dir is required";
        return cl;
    }
    o.dir = *c.dir;
    if (c.baud) {
        if (!parseNumber(*c.baud, 0, 100000000, n)) {
            cl.error = "bad --baud value \"" + *c.baud + "\"";
            return cl;
        }
        o.baud = static_cast<uint32_t>(n);
    }
    if (c.trace) o.traceFile = *c.trace;

    // Settings for every unit first, then those for one unit, so the latter
    // win whatever the order.
    o.unit.assign(static_cast<size_t>(o.units), SimUnitOptions{});
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& s : c.settings) {
            if ((pass == 0) != (s.unit == 0)) continue;
            if (s.unit < 0 || s.unit > o.units) {
                cl.error = s.name + ": there is no unit " + std::to_string(s.unit);
                return cl;
            }
            for (int u = 0; u < o.units; ++u) {
                if (s.unit != 0 && s.unit != u + 1) continue;
                std::string err;
                if (!s.set(o.unit[static_cast<size_t>(u)], s.value, err)) {
                    cl.error = s.name + ": " + err;
                    return cl;
                }
            }
        }
    }
    return cl;
}

std::string simHelpText() {
    Collected unused;
    return makeSimApp(unused)->help();
}

std::string simVersionText() { return std::string("korvex-sim ") + KORVEX_VERSION + "\n"; }

}  // namespace kvx
