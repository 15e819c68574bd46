#include "cli/cli.h"

#include "cli/reporter.h"

#include "app/korvex_app.h"
#include "app/job_answers.h"
#include "app/record_json.h"
#include "chip/catalogue.h"
#include "image/object_files.h"
#include "serial/discovery.h"
#include "serial/port_map.h"
#include "log/log_files.h"
#include "records/pg_record_store.h"
#include "records/record_store.h"
#include "service/station_service.h"
#include "shell/plain_loop.h"
#include "shell/safe_file.h"
#include "shell/scripted_prompts.h"
#include "shell/text.h"
#include "sim/sim_server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <tuple>

namespace kvx::cli {

namespace {

// The station behind serve, when this program has one (korvex-station).
StationStarter& stationStarter() {
    static StationStarter starter;
    return starter;
}

std::atomic<bool> gInterrupted{false};
extern "C" void onSignal(int) { gInterrupted = true; }

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const char* const kOperations[] = {"auto",      "download",   "blank-check", "erase",        "program",
                                    "verify",    "write-option", "read-option", "read-id",     "read-flash",
                                    "read-address", "offline", "upgrade",     "ports",        "chips",
                                    "convert",   "save-project", "records",     "serve"};

struct Options {
    std::string operation;
    std::vector<std::string> operands;
    std::string project, chip, file, nvm, out, firmware;
    std::string convertTo;  // convert: the output's format, by name (--to)
    std::optional<int64_t> offset;
    int sim = 0;
    bool json = false, skipBadLines = false, continueOnMismatch = false, allowOutside = false;
    bool dryRun = false;  // load, check and search; send no unit anything but the query
    std::optional<int64_t> chips;
    std::optional<int64_t> expect;  // units that must answer the search
    int timeoutS = 600;
    std::string simBaud;
    // serve: where the station listens.
    std::string listenHost = "127.0.0.1";
    int listenPort = 8200;
    // Faults for the emulated units (for tests and demos): unit number
    // (1-based) and fault.
    std::vector<std::pair<int, SimFault>> simFaults;
    // --port, in channel order; --usb filters.
    std::vector<std::string> ports;
    std::vector<UsbFilter> usb;
    int verbosity = 0;  // -1 quiet, 0 progress and results, 1 the log's lines too
    std::string logFile;
    bool noLog = false;
    bool help = false, version = false;
    // records: the filter, the output form and where to read.
    RecordFilter records;
    bool csv = false, summary = false;
    std::string recordsDb, recordsServer;
    // The job settings the options change.
    JobOptionChanges job;
};

int64_t number(const std::string& opt, const std::string& text) {
    int64_t v;
    if (!tryParseInt64(text, v)) throw UsageError(opt + ": " + ConvertError(text).what());
    return v;
}

// A 32-bit value: 0 .. 0xFFFFFFFF.
uint32_t number32(const std::string& opt, const std::string& text) {
    int64_t v = number(opt, text);
    if (v < 0 || v > 0xFFFFFFFF) throw UsageError(opt + " takes 0 to 0xFFFFFFFF");
    return static_cast<uint32_t>(v);
}

const char* const kDescription = R"(Usage: korvex-cli [OPTIONS] OPERATION [OPERANDS]

Runs the Korvex200 gang programmer without a window: the same operations, texts,
log lines, log files and project files as the window.

Operations:
  auto                 blank check, erase when needed, program, verify, option write
  download             download the job into every programmer (for off-line use)
  blank-check | erase | program | verify | write-option
  read-option          read the option bytes / NVM data (channel 1)
  read-id              read the chip's unique identifier (channel 1)
  read-flash           read the chip's flash (channel 1) and save it to --out FILE
                       (.hex/.s19/.bin)
  read-address A N     read N bytes from address A (channel 1) into the log;
                       A and N multiples of 16, N from 16 to 4096
  offline              start off-line production and count good/bad chips on every
                       socket until --chips N are done or Ctrl+C; with a job
                       (--project, or --chip and --file) it is downloaded first,
                       without one no unit is queried
  upgrade              upgrade the programmers' firmware (KorvexSCX.FWR)
  ports                list the serial ports: USB VID:PID, serial number, driver,
                       /dev/serial/by-path and by-id names; then those that
                       cannot be opened now, with why
  chips [PATTERN]      list the chip catalogue (the names holding PATTERN, in any
                       case); with --json, ports and chips are JSON lines too
  convert IN OUT       convert between Intel HEX, S-record and BIN (IN or OUT may
                       be -; OUT's format by its extension or --to)
  save-project FILE    save the job as a project file (.pmw)
  records              show the production records (filters and forms below)
  serve                the headless station: search the units, load the job
                       given, then serve the HTTP API (station, job upload,
                       runs and their stop, event stream, metrics, a web page;
                       docs/api.md) on --listen until Ctrl+C or SIGTERM

Output: the results table on standard output; errors and progress on standard
error (bars on a terminal, else a line per channel at each step and every few
seconds). -q shows only the results and errors, -v the information log too.
Numbers are decimal, or hexadecimal after 0x, $ or x.)";

const char* const kFooter = R"(Ports: the USB serial ports of the machine, plus every entry of the folder named
by KORVEX_SERIAL_DIR (the emulator puts COM1.. there), in the order of their
numbers; channel N takes the N-th. A port map fixes channel N to a socket: a
file ports.map in the configuration folder with lines "N PORT" (# starts a
comment), or --port; a port that is not there leaves its channel empty.

Every port the search queried is in the results, with "no unit answered",
"not a programmer", "skipped: <cause>" or "not used" when no channel ran on it.

Exit status:
  0    every channel that ran succeeded, and every log and output file was written
  1    a channel failed, fewer units answered than --expect, a channel of the
       port map had no unit, off-line production stopped before --chips, a
       log or output file could not be written, or production records were
       not all kept (dropped, not written, not forwarded, a database set aside)
  2    usage or input error (options, a file that cannot be loaded or has a faulty
       line, no chip chosen, no object file loaded)
  3    no programmer unit answered the search
  130  interrupted by Ctrl+C, SIGTERM or SIGHUP, or standard output was closed
       by its reader (korvex-cli ... | head -1): the ports are closed and the
       records and logs written first)";

// The help as this program lays it out: the usage line leads the description.
class HelpLayout : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App*, std::string) const override { return "\n"; }
};

// The one table of the front end's options: it parses the command line into
// o and makes --help. Each option's action runs as it is met, so a later
// option wins over an earlier one that sets the same thing.
// The place of `v` among the values an option takes; a usage error naming
// them all when it is none of them.
int oneOf(const std::string& opt, const std::string& v, std::initializer_list<const char*> allowed) {
    int i = 0;
    std::string list;
    for (const char* a : allowed) {
        if (v == a) return i;
        list += (i++ ? i == static_cast<int>(allowed.size()) ? " or " : ", " : "") + std::string(a);
    }
    throw UsageError(opt + " takes " + list);
}

// Adds options to the table: a value (the last one given counts) or a flag,
// each acted on as it is parsed.
struct OptionAdder {
    CLI::App& app;
    CLI::Option* value(const std::string& names, const std::string& what, const std::string& type,
                       std::function<void(const std::string&)> act) {
        return app.add_option_function<std::string>(names, std::move(act), what)
            ->type_name(type)
            ->trigger_on_parse()
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    }
    CLI::Option* flag(const std::string& names, const std::string& what, std::function<void()> act) {
        return app.add_flag_callback(names, std::move(act), what)->trigger_on_parse();
    }
};

void addJobOptions(OptionAdder& add, Options& o) {
    const char* job = "Job";
    add.value("--project", "load a project (chip, image, settings)", "FILE.pmw", [&o](auto& v) { o.project = v; })->group(job);
    add.value("-c,--chip", "choose a chip from the catalogue, in any case\n(korvex-cli chips)", "NAME", [&o](auto& v) { o.chip = v; })
        ->group(job);
    add.value("-f,--file",
          "load an object file (.hex .s19 .srec .bin ...; - reads\n"
          "HEX or S-records from standard input)",
          "OBJECT", [&o](auto& v) { o.file = v; })
        ->group(job);
    add.value("--offset", "where a .bin file goes (an address, or an offset\nfrom the chip's first flash address)",
          "ADDR", [&o](auto& v) { o.offset = number("--offset", v); })
        ->group(job);
    add.flag("--allow-outside", "load a file whose data lies partly outside the chip's\nflash without that data",
             [&o] { o.allowOutside = true; })
        ->group(job);
    add.value("--nvm", "load NVM data", "FILE", [&o](auto& v) { o.nvm = v; })->group(job);
    add.value("--firmware", "the firmware file (default KorvexSCX.FWR)", "FILE", [&o](auto& v) { o.firmware = v; })
        ->group(job);

}

void addSettingOptions(OptionAdder& add, Options& o) {
    JobOptionChanges& jc = o.job;

    const char* set = "Settings (defaults as in the window)";
    add.value("--voltage", "target voltage", "3.3|5.0",
          [&jc](auto& v) { jc.voltage5V = oneOf("--voltage", v == "5" ? "5.0" : v, {"3.3", "5.0"}) == 1; })
        ->group(set);
    add.value("--speed", "programming speed", "slow|fast",
          [&jc](auto& v) { jc.fastSpeed = oneOf("--speed", v, {"slow", "fast"}) == 1; })
        ->group(set);
    add.value("--reset", "reset line", "low|off|pulse",
          [&jc](auto& v) { jc.reset = oneOf("--reset", v, {"low", "off", "pulse"}); })
        ->group(set);
    // On/off options, each setting one field; and times in milliseconds.
    using J = JobOptionChanges;
    using Switch = std::tuple<const char*, const char*, std::optional<bool> J::*, bool>;
    const auto switches = [&](std::initializer_list<Switch> list) {
        for (auto [names, what, field, on] : list) add.flag(names, what, [&jc, field, on] { jc.*field = on; })->group(set);
    };
    using Millis = std::tuple<const char*, const char*, std::optional<int64_t> J::*>;
    const auto millis = [&](std::initializer_list<Millis> list) {
        for (auto [name, what, field] : list)
            add.value(name, what, "MS", [&jc, n = std::string(name), field](auto& v) { jc.*field = number(n, v); })->group(set);
    };
    switches({{"--keep-power", "keep the target powered after programming", &J::powerOffAfter, false},
              {"--run-after", "run the chip after programming", &J::runAfter, true},
              {"--run-and-shut", "run, then power off", &J::runAndShut, true}});
    millis({{"--run-time", "run time", &J::runTimeMs}});
    switches({{"--blank-error", "a chip that is not blank is an error", &J::blankError, true},
              {"--read-protect", "read-protect the chip", &J::readProtect, true},
              {"--option-bytes", "write the option bytes", &J::optionBytes, true},
              {"--no-option-bytes", "do not write the option bytes", &J::optionBytes, false},
              {"--nvm-area", "program the NVM area", &J::nvmArea, true},
              {"--no-nvm-area", "leave the NVM area", &J::nvmArea, false},
              {"--watchdog", "enable the chip's watchdog", &J::watchdog, true},
              {"--auto-detect", "start when a chip is put into the socket", &J::autoDetect, true}});
    millis({{"--insert-ms", "settle time after a chip is put in", &J::insertMs},
            {"--remove-ms", "settle time after a chip is taken out", &J::removeMs},
            {"--power-up-ms", "settle time after power-up", &J::powerUpMs},
            {"--power-down-ms", "settle time after power-down", &J::powerDownMs}});
    add.value("--count-limit", "stop after N chips (0: no limit)", "N", [&jc](auto& v) {
        const int64_t n = number("--count-limit", v);
        jc.countLimitOn = n > 0;
        jc.countLimit = n;
    })->group(set);
    add.value("--sn", "serial numbers from START (off-line production)", "START", [&jc](auto& v) {
        jc.serialNumbers = true;
        jc.snStart = number32("--sn", v);
    })->group(set);
    add.value("--sn-step", "serial number increment (-999 to 9999)", "N", [&jc](auto& v) {
        int64_t n = number("--sn-step", v);
        if (n < -999 || n > 9999) throw UsageError("--sn-step takes -999 to 9999 (the increment field's 4 characters)");
        jc.snIncrement = static_cast<int>(n);
    })->group(set);
    add.value("--sn-address", "where the serial number goes", "ADDR",
          [&jc](auto& v) { jc.snAddress = number32("--sn-address", v); })
        ->group(set);
    switches({{"--sn-little-endian", "write the serial number little-endian", &J::snBigEndian, false},
              {"--sn-advance", "the host counts the serial numbers on (one per chip)", &J::snAdvance, true},
              {"--sn-decimal", "show the serial number in decimal", &J::snDecimal, true}});

}

void addRunOptions(OptionAdder& add, Options& o) {
    const char* run = "Run";
    add.value("--sim", "start N (1 to 16) emulated programmer units", "N", [&o](auto& v) {
        int64_t n = number("--sim", v);
        if (n < 1 || n > 16) throw UsageError("--sim takes 1 to 16 units");
        o.sim = static_cast<int>(n);
    })->group(run);
    add.value("--sim-baud", "pace the emulated units at a line rate (e.g. 1000000)", "RATE",
          [&o](auto& v) { o.simBaud = v; })
        ->group(run);
    add.value("--sim-fault", "a fault of emulated unit U (repeatable; as\nkorvex-sim --fault)", "U:KIND[:ARG]",
          [&o](auto& v) {
              size_t colon = v.find(':');
              int64_t unit = 0;
              if (colon == std::string::npos || !tryParseInt64(v.substr(0, colon), unit) || unit < 1 || unit > 16)
                  throw UsageError("--sim-fault takes U:KIND[:ARG], U a unit number");
              SimFault f;
              std::string why;
              if (!parseSimFault(v.substr(colon + 1), f, why)) throw UsageError("--sim-fault: " + why);
              o.simFaults.emplace_back(static_cast<int>(unit), f);
          })
        ->group(run);
    add.value("-P,--port",
          "use this port (repeatable, in channel order): a device,\n"
          "a /dev/serial/by-path or by-id link, or a name from ports",
          "PORT", [&o](auto& v) { o.ports.push_back(v); })
        ->group(run);
    add.value("--usb", "search only these USB adapters (repeatable)", "VID:PID[:SERIAL]",
          [&o](auto& v) {
              std::string why;
              auto f = parseUsbFilter(v, why);
              if (!f) throw UsageError("--usb: " + why);
              o.usb.push_back(*f);
          })
        ->group(run);
    add.value("--expect", "fail (status 1) unless N units answer the search", "N", [&o](auto& v) {
        int64_t n = number("--expect", v);
        if (n < 1 || n > 8) throw UsageError("--expect takes 1 to 8 units");
        o.expect = n;
    })->group(run);
    add.value("--listen", "serve: the address and port to listen on\n(default 127.0.0.1:8200)", "ADDR:PORT",
              [&o](auto& v) {
                  std::string why;
                  if (!parseListenAddress(v, o.listenHost, o.listenPort, why)) throw UsageError("--listen " + why);
              })
        ->group(run);
    add.value("--chips", "offline: stop after N chips", "N", [&o](auto& v) { o.chips = number("--chips", v); })->group(run);
    add.value("--to", "convert: the format of OUT (hex, srec or bin;\ndefault: by its extension, hex for -)", "FORMAT",
              [&o](auto& v) { o.convertTo = std::array<const char*, 3>{"hex", "srec", "bin"}[oneOf("--to", v, {"hex", "srec", "bin"})]; })
        ->group(run);
    add.flag("--dry-run",
         "load and check the job and search the units, then show what\nwould run on which socket; nothing is sent to a unit\nbut the device query",
         [&o] { o.dryRun = true; })
        ->group(run);
    add.flag("--skip-bad-lines",
         "skip faulty object-file lines, each reported\n(default: the file is refused, status 2)",
         [&o] { o.skipBadLines = true; })
        ->group(run);
    add.value("--on-mismatch", "on a verify difference (default: abort)", "continue|abort",
          [&o](auto& v) { o.continueOnMismatch = oneOf("--on-mismatch", v, {"abort", "continue"}) == 1; })
        ->group(run);
    add.value("--timeout", "give up after S seconds (default 600)", "S", [&o](auto& v) {
        // The loop waits in milliseconds held in an int.
        int64_t n = number("--timeout", v);
        if (n < 1 || n > 2147483) throw UsageError("--timeout takes 1 to 2147483 seconds");
        o.timeoutS = static_cast<int>(n);
    })->group(run);

}

void addRecordOptions(OptionAdder& add, Options& o) {
    const char* rec = "Records (korvex-cli records)";
    auto time = [](const char* opt, const std::string& v) {
        auto t = parseRecordTime(v);
        if (!t) throw UsageError(std::string(opt) + " takes a date and time: 2026-12-08, 2026-12-08T14:30[:05] (local), or with Z (UTC)");
        return *t;
    };
    add.value("--since", "records that ended at or after T", "T", [&o, time](auto& v) { o.records.sinceMs = time("--since", v); })
        ->group(rec);
    add.value("--until", "records that ended before T", "T", [&o, time](auto& v) { o.records.untilMs = time("--until", v); })
        ->group(rec);
    add.value("--serial", "the chip that got this serial number", "SN",
          [&o](auto& v) { o.records.serialNumber = number32("--serial", v); })
        ->group(rec);
    add.value("--uid", "the chip with this UID (24 hexadecimal digits)", "HEX", [&o](auto& v) {
        if (v.size() != 24 || v.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            throw UsageError("--uid takes the 24 hexadecimal digits of a UID");
        o.records.chipUid = v;
    })->group(rec);
    add.value("--station", "records of this station", "NAME", [&o](auto& v) { o.records.station = v; })->group(rec);
    add.value("--outcome", "good, bad or interrupted records only", "ok|ng|interrupted", [&o](auto& v) {
        const char* const outcomes[] = {kOutcomeOk, kOutcomeNg, kOutcomeInterrupted};
        o.records.outcome = outcomes[oneOf("--outcome", v, {kOutcomeOk, kOutcomeNg, kOutcomeInterrupted})];
    })
        ->group(rec);
    add.value("--last", "the newest N records only", "N", [&o](auto& v) {
        int64_t n = number("--last", v);
        if (n < 1 || n > 100000000) throw UsageError("--last takes 1 or more");
        o.records.limit = static_cast<int>(n);
    })->group(rec);
    add.flag("--summary", "the yield per station, chip and image instead", [&o] { o.summary = true; })->group(rec);
    add.flag("--csv", "comma-separated values with a header line", [&o] { o.csv = true; })->group(rec);
    add.value("--db", "the database to read (default: the station's)", "FILE", [&o](auto& v) { o.recordsDb = v; })
        ->group(rec);
    add.value("--server", "read the records of every station on this server", "postgresql://...", [&o](auto& v) {
        if (!isServerUrl(v)) throw UsageError("--server takes a postgresql:// address");
        o.recordsServer = v;
    })->group(rec);

}

void addOutputOptions(OptionAdder& add, Options& o) {
    const char* output = "Output";
    add.value("-o,--out", "read-flash: the file to save the flash in", "FILE", [&o](auto& v) { o.out = v; })->group(output);
    add.flag("--json", "one JSON object per event on standard output",
         [&o] { o.json = true; })
        ->group(output);
    add.flag("-q,--quiet", "only the results and errors: no progress", [&o] { o.verbosity = -1; })->group(output);
    add.flag("-v,--verbose", "the information log's lines too", [&o] { o.verbosity = 1; })->group(output);
    add.value("--log", "write this run's log to FILE (replacing it)", "FILE",
          [&o](auto& v) { o.logFile = v, o.noLog = false; })
        ->group(output);
    add.flag("--no-log", "write no run log", [&o] { o.noLog = true, o.logFile.clear(); })->group(output);
    add.flag("-V,--version", "show the version and exit", [&o] { o.version = true; })->group(output);
}

std::unique_ptr<CLI::App> optionTable(Options& o) {
    auto app = std::make_unique<CLI::App>(kDescription, "korvex-cli");
    app->footer(kFooter);
    app->formatter(std::make_shared<HelpLayout>());
    app->get_formatter()->column_width(32);
    app->allow_windows_style_options(false);
    // The operation and its operands (described above the options).
    app->add_option("operation", o.operation)->group("");
    app->add_option("operands", o.operands)->group("");
    OptionAdder add{*app};
    addJobOptions(add, o);
    addSettingOptions(add, o);
    addRunOptions(add, o);
    addRecordOptions(add, o);
    addOutputOptions(add, o);
    app->set_help_flag("-h,--help", "show this help and exit")->group("Output");
    return app;
}

// A parse error in one line, in this program's words.
std::string parseErrorText(const CLI::ParseError& e) {
    std::string what = e.what();
    if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
        // "The following argument(s) were not expected: --bogus ..."
        size_t colon = what.find(": ");
        std::string first = colon == std::string::npos ? what : what.substr(colon + 2);
        first = first.substr(0, first.find(' '));
        return (first.rfind("-", 0) == 0 ? "unknown option " : "unexpected argument ") + first + " (try --help)";
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e)) {
        // "--chip: 1 required NAME missing"
        size_t colon = what.find(':');
        if (colon != std::string::npos && what.find("missing") != std::string::npos)
            return what.substr(0, colon) + " needs a value";
    }
    return what;
}

Options parse(const std::vector<std::string>& args) {
    Options o;
    auto app = optionTable(o);
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app->parse(reversed);
    } catch (const CLI::CallForHelp&) {
        o.help = true;
        return o;
    } catch (const CLI::ParseError& e) {
        throw UsageError(parseErrorText(e));
    }
    if (o.version) return o;
    if (o.operation.empty()) throw UsageError("no operation given (try --help)");
    for (auto& [unit, f] : o.simFaults)
        if (unit > o.sim) throw UsageError(format("--sim-fault: there is no emulated unit %d", unit));
    bool known = false;
    for (const char* k : kOperations) known = known || o.operation == k;
    if (!known) throw UsageError("unknown operation '" + o.operation + "' (try --help)");
    // Operands are checked before any port is touched.
    if (o.operation == "read-flash" && o.out.empty()) throw UsageError("read-flash needs --out FILE");
    if (o.operation == "read-address") {
        if (o.operands.size() != 2) throw UsageError("read-address needs ADDR LEN");
        // A unit reads whole 16-byte rows, 16 to 4096 bytes at a time: a
        // range it cannot read as asked is refused, never rounded.
        const int64_t a = number("ADDR", o.operands[0]), n = number("LEN", o.operands[1]);
        if (a < 0 || a > 0xFFFFFFFF || a % 16 != 0)
            throw UsageError("read-address ADDR " + o.operands[0] + ": the unit reads from a multiple of 16 (0x10)");
        if (n < 16 || n > 4096 || n % 16 != 0)
            throw UsageError("read-address LEN " + o.operands[1] +
                             ": the unit reads 16 to 4096 bytes, a multiple of 16 (read longer ranges with read-flash)");
    }
    if (o.operation == "save-project" && o.operands.size() != 1) throw UsageError("save-project needs FILE");
    if (o.operation == "convert" && o.operands.size() != 2) throw UsageError("convert needs IN OUT");
    if (o.operation == "convert" && o.operands[1] == "-" && o.json)
        throw UsageError("convert IN -: --json would share standard output with the converted file");
    // An operand the operation does not take is a mistake, not noise.
    const size_t takes = o.operation == "read-address" || o.operation == "convert" ? 2
                         : o.operation == "save-project" || o.operation == "chips"  ? 1
                                                                                    : 0;
    if (o.operands.size() > takes)
        throw UsageError("unexpected argument " + o.operands[takes] + ": " + o.operation +
                         (takes ? " takes " + std::to_string(takes) + " operand(s)" : " takes no operand") +
                         " (try --help)");
    return o;
}

// Prompts that answer by the front end's rules and report every box as a line.
class CliPrompts : public ScriptedPrompts {};

// What the search found on one port it queried: the channel it became (0
// for a port that is not a channel), the unit on it, and for a port with no
// programmer on it, the outcome and why.
struct PortOutcome {
    int channel = 0;
    std::string port;
    std::string outcome;  // as in the results: "no-answer", "skipped", ...
    std::string why;
    UnitIdentity unit;
};

// Every port the last search queried, in channel order, then the ports it
// skipped or left unused.
std::vector<PortOutcome> searchOutcomes(const Program& e) {
    std::vector<PortOutcome> v;
    for (int s = 0; s < e.channelsInUse(); ++s) {
        const Program::ChannelState c = e.channelState(s);
        if (c.searchOutcome == SearchOutcome::NotQueried) continue;
        PortOutcome p{s + 1, c.port, "", "", c.unit};
        switch (c.searchOutcome) {
        case SearchOutcome::NoAnswer: p.outcome = "no-answer", p.why = "no unit answered"; break;
        case SearchOutcome::NotAProgrammer: p.outcome = "not-a-programmer", p.why = "not a programmer"; break;
        case SearchOutcome::Upgrading: p.outcome = "upgrading", p.why = "firmware upgrade started"; break;
        default: p.outcome = "not-run", p.why = "not run"; break;
        }
        v.push_back(p);
    }
    // A port the map gives a channel keeps it, whatever happened to it.
    auto mapped = [&e](const std::string& name) {
        if (e.portMap)
            for (size_t s = 0; s < e.portMap->ports.size(); ++s)
                if (e.portMap->ports[s] == name) return static_cast<int>(s) + 1;
        return 0;
    };
    for (const SkippedPort& k : e.skippedPorts()) v.push_back({mapped(k.name), k.name, "skipped", "skipped: " + k.cause, {}});
    for (const std::string& u : e.unusedPorts()) v.push_back({0, u, "unused", "not used: more ports than channels", {}});
    // In channel order; the ports without a channel last.
    std::stable_sort(v.begin(), v.end(), [](const PortOutcome& a, const PortOutcome& b) {
        return (a.channel ? a.channel : 99) < (b.channel ? b.channel : 99);
    });
    return v;
}

// A channel's run, from the engine's step and result events.
struct ChannelResult {
    bool started = false;
    bool finished = false;
    bool ok = false;
    std::optional<int> code;
    std::string step;
    std::string message;
    int64_t startedMs = 0, endedMs = 0;  // the engine's clock
    // Ended by the shut-down (still running when the run closed).
    bool cutAtClose = false;
    std::string reason;
};

// Puts back, when the run ends, what a run changes in its process: the
// port folder of the emulated units and the handlers of Ctrl+C, SIGTERM,
// SIGHUP and SIGPIPE (the front end also runs inside other programs and
// tests).
class ProcessStateGuard {
public:
    ProcessStateGuard() {
        if (const char* d = std::getenv("KORVEX_SERIAL_DIR")) serialDir_ = d;
    }
    ~ProcessStateGuard() {
        if (serialDir_) setenv("KORVEX_SERIAL_DIR", serialDir_->c_str(), 1);
        else unsetenv("KORVEX_SERIAL_DIR");
        if (signalsSet_) {
            std::signal(SIGINT, oldInt_);
            std::signal(SIGTERM, oldTerm_);
            std::signal(SIGHUP, oldHup_);
            std::signal(SIGPIPE, oldPipe_);
        }
    }
    ProcessStateGuard(const ProcessStateGuard&) = delete;
    ProcessStateGuard& operator=(const ProcessStateGuard&) = delete;
    void catchSignals() {
        if (signalsSet_) return;
        oldInt_ = std::signal(SIGINT, onSignal);
        oldTerm_ = std::signal(SIGTERM, onSignal);
        oldHup_ = std::signal(SIGHUP, onSignal);
        // A reader that goes away (korvex-cli ... | head -1) makes the next
        // write fail with EPIPE instead of killing the run mid-operation:
        // the reporter sees it and the run ends as on Ctrl+C.
        oldPipe_ = std::signal(SIGPIPE, SIG_IGN);
        signalsSet_ = true;
    }

private:
    std::optional<std::string> serialDir_;
    bool signalsSet_ = false;
    void (*oldInt_)(int) = SIG_DFL;
    void (*oldTerm_)(int) = SIG_DFL;
    void (*oldHup_)(int) = SIG_DFL;
    void (*oldPipe_)(int) = SIG_DFL;
};

// Why a launcher started no channel, in the words a command line user needs,
// with the box the window would have shown.
std::string launchRefusal(Program::LaunchRefusal why, const std::string& box) {
    switch (why) {
    case Program::LaunchRefusal::NoChip:
        return "no chip chosen: give --chip or --project (" + box + ")";
    case Program::LaunchRefusal::NoFile:
        return "no object file loaded: give --file or --project (" + box + ")";
    case Program::LaunchRefusal::None:
        break;
    }
    return box;
}

// The read-backs, the address read among them: they read channel 1's chip.
bool readsChannelOne(const std::string& op) {
    const std::optional<Operation> launched = launchedOperation(op);
    return op == "read-address" || (launched && kvx::readsChannelOne(*launched));
}

// One run of an operation against the units: the program as the window runs
// it, driven by the options, reported through the reporter. Each step is a
// member; exec() is the run from start to exit status.
class Run {
public:
    Run(const Options& o, Reporter& rep, std::optional<std::pair<int, int>>& offline)
        : o_(o), rep_(rep), offline_(offline) {}
    int exec();

private:
    void startEmulatedUnits();
    void makeProgram();
    void onEngineEvent(const EngineEvent& e);
    // Shows the events held for the channel's end (0: every channel's).
    void showHeldEvents(int channel);
    void flushLines();
    // Exit status of a failed job load, or nullopt when the job is ready.
    std::optional<int> loadJob();
    void waitForSearch();
    void reportStart();
    void reportNotRun();
    void launch(const std::function<void()>& fn);
    // The operations that end on their own terms (no channel table).
    int saveProject();
    int offlineProduction();
    // serve: the station on the network until a signal ends it.
    int serve();
    // --dry-run: the job checked, the units searched; a row per port says
    // what would run there.
    int dryRun();
    // The units go into production: the job given with the run downloaded
    // into each (its restart starts them), or, without one, nothing sent but
    // the restart of channel 1's unit. nullopt when listening began.
    std::optional<int> startProduction(bool withJob);
    // A launch that started no channel: why, and the run's status.
    int refuseUnstarted();
    // Waits for the launched channels; false when their time ran out.
    bool waitLaunched();
    // The launched channels' rows and the searched ports' (ports that ran
    // nothing); gives the rows that failed.
    int reportLaunched(bool done);
    // Waits for the launched channels, saves a flash read, reports the table.
    int finishLaunched();
    void closeProgram();
    int finalStatus(int status);
    // Ctrl+C, SIGTERM or SIGHUP came, or standard output's reader went away:
    // the run stops where it is and shuts down as at its end.
    bool interrupted() const { return gInterrupted.load() || rep_.outputClosed(); }
    Program& engine() { return app_->engine; }

    const Options& o_;
    Reporter& rep_;
    std::optional<std::pair<int, int>>& offline_;
    ProcessStateGuard processState_;
    // Emulated units for a demo or a dry run. Their folder goes after the
    // units have taken their links out of it (members die in reverse order).
    struct DirCleanup {
        std::string dir;
        ~DirCleanup() {
            if (!dir.empty()) rmdir(dir.c_str());
        }
    } cleanup_;
    std::unique_ptr<SimServer> simServer_;
    PlainEventLoop loop_;
    CliPrompts prompts_;
    SystemClock clock_;
    SystemRandom rng_;
    // Boxes shown while a launcher runs: one that stops it says why no
    // channel started.
    std::vector<std::string> launchBoxes_;
    JobSettings settings_;
    std::unique_ptr<KorvexApp> app_;
    // Channels the port map gives a port that had no unit: their sockets
    // were not served, so the run cannot end as a success.
    int mappedWithoutUnit_ = 0;
    std::map<int, ChannelResult> results_;
    bool closing_ = false;  // the program is being closed (FormClose)
    std::vector<EngineEvent> heldEvents_;
    size_t shownLines_ = 0;
    std::vector<PortOutcome> searched_;
    int answered_ = 0;
    int downloadsFailed_ = 0;  // off-line production: units the job download failed on
};

int Run::exec() {
    processState_.catchSignals();
    gInterrupted = false;
    startEmulatedUnits();
    makeProgram();
    if (std::optional<int> refused = loadJob()) return *refused;
    // Off-line production without a job queries no unit: one that is
    // producing goes on (a query may end its run).
    if (o_.operation == "offline" && o_.project.empty() && o_.file.empty()) return offlineProduction();
    waitForSearch();
    if (interrupted()) {
        closeProgram();
        return finalStatus(kExitInterrupted);
    }
    Program& e = engine();
    searched_ = searchOutcomes(e);
    for (auto& p : searched_) answered_ += p.channel > 0 && e.channelState(p.channel - 1).connected;
    for (auto& p : searched_)
        if (p.channel == 0 || !e.channelState(p.channel - 1).connected) rep_.error(p.port + ": " + p.why);
    if (e.portMap)
        for (int s = 0; s < 8; ++s) mappedWithoutUnit_ += !e.portMap->ports[static_cast<size_t>(s)].empty() && !e.channelState(s).connected;
    reportStart();

    const std::string& op = o_.operation;
    if (o_.expect && answered_ < *o_.expect) {
        rep_.error(format("%lld programmer unit(s) expected, %d answered; nothing was run",
                          static_cast<long long>(*o_.expect), answered_));
        reportNotRun();
        closeProgram();
        return finalStatus(kExitChannelFailed);
    }
    if (op == "serve" && !o_.dryRun) return serve();
    if (answered_ == 0 && op != "save-project") {
        rep_.error("no programmer unit answered (korvex-cli ports lists the serial ports; see --help)");
        reportNotRun();
        closeProgram();
        return finalStatus(kExitNoUnits);
    }
    if (o_.dryRun) return dryRun();
    // The read-backs read channel 1's chip: without a unit there they would
    // only wait for the watchdog.
    const bool channelOneOnly = readsChannelOne(op);
    if (channelOneOnly && !e.channelState(0).connected) {
        rep_.error(op + " reads the chip on channel 1, and no unit answered there");
        reportNotRun();
        closeProgram();
        return finalStatus(kExitChannelFailed);
    }
    if (const std::optional<Operation> launched = launchedOperation(op)) {
        launch([&] {
            if (e.prepare(*launched)) e.start(*launched, settings_);
        });
    } else if (op == "upgrade") {
        launch([&] { e.DoFirmwareUpgrade1Click(); });
    } else if (op == "read-address") {
        // Checked with the options: a range the unit reads as it stands.
        const KorvexApp::ReadRange range{static_cast<uint32_t>(number("ADDR", o_.operands[0])),
                                         static_cast<uint16_t>(number("LEN", o_.operands[1]))};
        app_->askReadRange = [range](const KorvexApp::ReadRange&) { return std::optional<KorvexApp::ReadRange>(range); };
        launch([&] { app_->ReadAddress1Click(); });
    } else if (op == "save-project") {
        return saveProject();
    } else if (op == "offline") {
        return offlineProduction();
    }
    return finishLaunched();
}

void Run::startEmulatedUnits() {
    if (o_.sim <= 0) return;
    char tmpl[] = "/tmp/korvex-cli-sim.XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("cannot create a folder for the emulated units");
    cleanup_.dir = tmpl;
    SimOptions so;
    so.units = o_.sim;
    so.dir = cleanup_.dir;
    if (!o_.simBaud.empty()) so.baud = static_cast<uint32_t>(number("--sim-baud", o_.simBaud));
    so.unit.resize(static_cast<size_t>(o_.sim));
    so.traceInMemory = false;  // nothing reads it; it would grow with every frame
    for (auto& [unit, f] : o_.simFaults) so.unit[static_cast<size_t>(unit - 1)].faults.push_back(f);
    simServer_ = std::make_unique<SimServer>(so);
    simServer_->start();
    setenv("KORVEX_SERIAL_DIR", cleanup_.dir.c_str(), 1);
}

void Run::makeProgram() {
    prompts_.defaultOk = o_.skipBadLines;
    prompts_.defaultYes = o_.continueOnMismatch;
    prompts_.onRecord = [this](const ScriptedPrompts::Record& r) {
        using K = ScriptedPrompts::Kind;
        if (r.kind == K::Information || r.kind == K::Warning || r.kind == K::Message || r.kind == K::ErrorOkAbort ||
            r.kind == K::DifferenceYesAbort)
            rep_.line("[box] " + r.text);
        if (r.kind == K::Information || r.kind == K::Warning) launchBoxes_.push_back(r.text);
    };
    app_ = std::make_unique<KorvexApp>(loop_, prompts_, clock_, rng_);
    KorvexApp& app = *app_;
    if (!o_.firmware.empty()) app.firmwareFileName = o_.firmware;
    if (!o_.ports.empty() && !o_.usb.empty()) throw UsageError("--port and --usb do not go together");
    app.engine.usbFilters = o_.usb;
    if (!o_.ports.empty()) {
        std::string why;
        app.engine.portMap = portMapOf(o_.ports, why);
        if (!app.engine.portMap) throw UsageError("--port: " + why);
        // A name that is no port at all is a mistake in the options, not a
        // unit that went away.
        for (const std::string& port : o_.ports) {
            struct stat st {};
            if (::stat(serialDevicePath(port).c_str(), &st) != 0 && errno == ENOENT)
                throw UsageError("--port " + port + ": there is no such port (korvex-cli ports lists them)");
        }
    }
    app.onObjectLineError = [this](const std::string& path, int line, int code, ObjectFormat format) {
        rep_.lineError(path, line, code, lineFaultText(format, code), o_.skipBadLines);
    };
    // The records' problems are errors of the run, shown however quiet it is.
    app.onRecordsProblem = [this](const std::string& problem) { rep_.error(problem); };
    app.log.onAppended.push_back([this](size_t) { flushLines(); });
    app.log.onCleared.push_back([this] { shownLines_ = 0; });
    // The table, the progress and the JSON lines come from the engine's events.
    app.engine.listeners.push_back([this](const EngineEvent& e) { onEngineEvent(e); });
}

// The line being appended is the channel's the writer names; earlier lines
// caught up after a clear are shown without one.
void Run::flushLines() {
    KorvexApp& app = *app_;
    for (shownLines_ = std::max(shownLines_, app.log.firstKept()); shownLines_ < app.log.size(); ++shownLines_) {
        const int channel = shownLines_ + 1 == app.log.size() ? app.info.appendingChannel() : 0;
        rep_.line(app.log.line(shownLines_), channel, channel > 0 ? app.engine.channelState(channel - 1).port : "");
    }
}

// The records' listener comes before this one, so an operation's record is
// handed over before its end is seen here; a chip's UID, which comes just
// before the end, is shown with it.
void Run::onEngineEvent(const EngineEvent& event) {
    if (const auto* e = std::get_if<ChannelFinished>(&event)) {
        ChannelResult& r = results_[e->channel - 1];
        r.finished = true;
        r.ok = e->ok;
        r.code = e->code >= 0 ? std::optional<int>(e->code) : std::nullopt;
        r.step = stepName(e->step);
        r.message = e->message;
        r.startedMs = e->startedMs;
        r.endedMs = e->timeMs;
        r.cutAtClose = closing_ && e->interrupted;
        r.reason = e->reason;
        showHeldEvents(e->channel);
    } else if (std::holds_alternative<UidRead>(event)) {
        heldEvents_.push_back(event);
    } else if (!std::holds_alternative<StepStarted>(event)) {
        rep_.engineEvent(event);
    }
}

void Run::showHeldEvents(int channel) {
    auto shown = std::stable_partition(heldEvents_.begin(), heldEvents_.end(), [channel](const EngineEvent& e) {
        return channel != 0 && headerOf(e).channel != channel;
    });
    for (auto it = shown; it != heldEvents_.end(); ++it) rep_.engineEvent(*it);
    heldEvents_.erase(shown, heldEvents_.end());
}

std::optional<int> Run::loadJob() {
    KorvexApp& app = *app_;
    // Start-up as the window does it, with the project named as first argument.
    std::vector<std::string> startArgs;
    if (!o_.project.empty()) startArgs.push_back(o_.project);
    app.FormShow(startArgs);
    if (!app.engine.portMapError.empty()) {
        rep_.error(app.engine.portMapError);
        return kExitUsage;
    }
    if (!o_.project.empty() && !app.engine.fileLoaded) {
        rep_.error("the project " + o_.project + " could not be loaded" +
                   (app.lastProjectProblem.empty() ? "" : ": " + app.lastProjectProblem));
        return kExitUsage;
    }
    if (!o_.chip.empty()) {
        auto found = findChipByName(o_.chip);
        if (!found) {
            rep_.error(unknownChip(o_.chip));
            return kExitUsage;
        }
        app.chooseChip(found->first, found->second);
    }
    if (!o_.file.empty()) {
        if (!app.engine.chip.chipChosen) {
            rep_.error("--file needs --chip or --project");
            return kExitUsage;
        }
        app.askBinOffset = [this](const KorvexApp::BinOffsetQuestion& q) {
            return binOffsetAnswer(o_.offset, o_.allowOutside, q);
        };
        app.askImageCut = [this](const KorvexApp::ImageCutQuestion& q) {
            return imageCutAnswer(o_.allowOutside, q);
        };
        if (!app.openObjectFile(o_.file)) {
            rep_.error(o_.file + " was not loaded: " + app.lastLoadRefusal);
            return kExitUsage;
        }
    }
    if (!o_.nvm.empty()) {
        if (!app.loadNvmFile(o_.nvm)) {
            rep_.error(o_.nvm + " was not loaded: " + app.lastLoadRefusal);
            return kExitUsage;
        }
    }
    // The job: the window's options (the project's, or the defaults) with
    // this run's changes.
    try {
        JobOptions options = app.jobOptions();
        o_.job.applyTo(options);
        settings_ = jobSettingsOf(options, app.engine.job, app.engine.chip.vendor);
    } catch (const ConvertError& e) {
        rep_.error(std::string("the job's settings could not be read: ") + e.what());
        return kExitUsage;
    }
    // This run's log, in place of the configured one (the configuration file
    // is not changed).
    if (o_.noLog) app.useRunLog(false);
    else if (!o_.logFile.empty()) app.useRunLog(true, o_.logFile);
    return std::nullopt;
}

// The device search; waits until every queried port has answered or a
// second has passed.
void Run::waitForSearch() {
    Program& e = engine();
    // No window to paint first: the search start-up schedules runs now.
    app_->Timer2Timer();
    loop_.runUntil(
        [&] {
            if (interrupted()) return true;
            int queried = 0, answered = 0;
            for (int s = 0; s < e.channelsInUse(); ++s)
                if (!e.channelPort(s).empty()) {
                    ++queried;
                    answered += e.channelState(s).connected;
                }
            return answered >= queried;
        },
        1000);
}

// The run starts: what it programs, from what, on which ports.
void Run::reportStart() {
    RunStart start = runStartOf(engine(), o_.operation, o_.project);
    for (auto& p : searched_)
        if (p.channel > 0) start.ports.emplace_back(p.channel, p.port);
    rep_.start(start);
}

// The ports where nothing ran, each with why.
void Run::reportNotRun() {
    for (auto& p : searched_) rep_.result({p.channel, p.port, false, p.outcome, std::nullopt, "", p.why, 0, p.unit, p.outcome});
}

void Run::launch(const std::function<void()>& fn) {
    const int64_t now = clock_.epochMs();
    launchBoxes_.clear();
    fn();
    for (int s = 0; s < 8; ++s)
        if (engine().channelState(s).busy) {
            results_[s] = ChannelResult{};
            results_[s].started = true;
            results_[s].startedMs = now;
        }
}

int Run::saveProject() {
    const bool saved = app_->saveProject(o_.operands[0], settings_, o_.job.snDecimal);
    rep_.finishBars();
    closeProgram();
    return finalStatus(saved ? kExitOk : kExitChannelFailed);
}

int Run::offlineProduction() {
    Program& e = engine();
    const bool withJob = !o_.project.empty() || !o_.file.empty();
    if (std::optional<int> ended = startProduction(withJob)) return *ended;
    std::vector<std::pair<int, std::string>> sockets;
    for (int s = 0; s < e.channelsInUse(); ++s)
        if (e.channelState(s).portOpen) sockets.emplace_back(s + 1, e.channelState(s).port);
    if (!withJob) {
        RunStart start;
        start.operation = o_.operation;
        start.ports = sockets;
        rep_.start(start);
    }
    if (sockets.empty()) {
        rep_.error("no port could be opened for off-line production (korvex-cli ports lists the serial ports)");
        closeProgram();
        return finalStatus(kExitNoUnits);
    }
    if (o_.expect && static_cast<int64_t>(sockets.size()) < *o_.expect) {
        rep_.error(format("%lld programmer unit(s) expected, %zu port(s) listen", static_cast<long long>(*o_.expect),
                          sockets.size()));
        closeProgram();
        return finalStatus(kExitChannelFailed);
    }
    rep_.offlineSockets(sockets);
    int64_t target = o_.chips ? *o_.chips : -1;
    loop_.runUntil([&] { return interrupted() || (target >= 0 && e.offlineOk() + e.offlineNg() >= target); },
                   o_.timeoutS * 1000);
    closeProgram();
    rep_.finishBars();
    std::vector<Reporter::SocketCount> counts;
    for (auto& [channel, port] : sockets) {
        const Program::ChannelCounts c = e.channelCounts(channel - 1);
        counts.push_back({channel, port, c.ok, c.ng});
    }
    rep_.offlineTotals(e.offlineOk(), e.offlineNg(), counts);
    offline_ = std::make_pair(e.offlineOk(), e.offlineNg());
    int status = e.offlineNg() == 0 ? kExitOk : kExitChannelFailed;
    if (downloadsFailed_ > 0 && status == kExitOk) {
        rep_.error(format("%d unit(s) did not take the job; they produced nothing", downloadsFailed_));
        status = kExitChannelFailed;
    }
    if (target >= 0 && e.offlineOk() + e.offlineNg() < target) {
        rep_.error(format("off-line production stopped after %d of %lld chips", e.offlineOk() + e.offlineNg(),
                          static_cast<long long>(target)));
        status = kExitChannelFailed;
    }
    return finalStatus(status);
}

int Run::serve() {
    ServiceOptions so;
    so.host = o_.listenHost;
    so.port = o_.listenPort;
    so.settings = settings_;
    so.project = o_.project;
    // Each run takes the job as it stands (an uploaded one, the serial number
    // the last run left in it) with this command line's options over it. A
    // --sn start number applies to the first run only: the runs after it
    // go on from where the one before left off.
    so.jobSettings = [this, first = true]() mutable -> std::variant<JobSettings, std::string> {
        try {
            JobOptions options = app_->jobOptions();
            JobOptionChanges changes = o_.job;
            if (!first) changes.snStart = app_->engine.job.snStart;
            changes.applyTo(options);
            first = false;
            return jobSettingsOf(options, app_->engine.job, app_->engine.chip.vendor);
        } catch (const ConvertError& e) {
            return std::string("the job's settings could not be read: ") + e.what();
        }
    };
    StationHandle station;
    try {
        if (!stationStarter()) throw std::runtime_error("this program does not serve: run korvex-station");
        station = stationStarter()(*app_, so);
    } catch (const std::exception& e) {
        rep_.error(e.what());
        closeProgram();
        return finalStatus(kExitUsage);
    }
    const bool v6 = so.host.find(':') != std::string::npos;
    rep_.notice(format("serving the station on http://%s%s%s:%d/api/v1 (Ctrl+C or SIGTERM ends it)", v6 ? "[" : "",
                       so.host.c_str(), v6 ? "]" : "", station.port));
    while (!interrupted()) loop_.runUntil([this] { return interrupted(); }, 100);
    station.stop();
    closeProgram();
    return finalStatus(kExitOk);
}

std::optional<int> Run::startProduction(bool withJob) {
    Program& e = engine();
    if (!withJob && o_.dryRun) {
        // The ports that would listen: start-up's listing.
        app_->skipStartupSearch();
        RunStart start;
        start.operation = o_.operation;
        const auto& listed = e.listedPorts();
        for (size_t i = 0; i < listed.size() && i < e.channelsInUse(); ++i) {
            start.ports.emplace_back(static_cast<int>(i) + 1, listed[i]);
            searched_.push_back({static_cast<int>(i) + 1, listed[i], "", "", {}});
        }
        rep_.start(start);
        return dryRun();
    }
    if (!withJob) {
        app_->skipStartupSearch();
        if (o_.sim > 0) {
            rep_.error("the emulated units of --sim hold no job: give one with --project, or --chip and --file");
            closeProgram();
            return finalStatus(kExitUsage);
        }
    } else {
        launch([&] {
            if (e.prepare(Operation::Download)) e.start(Operation::Download, settings_);
        });
        bool anyStarted = false;
        for (auto& [s, r] : results_) anyStarted = anyStarted || r.started;
        if (!anyStarted) return refuseUnstarted();
        const bool done = waitLaunched();
        const int failed = reportLaunched(done);
        if (interrupted()) {
            closeProgram();
            return finalStatus(kExitInterrupted);
        }
        int started = 0;
        for (auto& [s, r] : results_) started += r.started;
        if (failed == started) {
            rep_.error("no unit could start off-line production: the job download failed on every unit");
            closeProgram();
            return finalStatus(kExitChannelFailed);
        }
        downloadsFailed_ = failed;
        // The restarts must reach the units before the ports close to listen.
        loop_.runUntil([&] { return e.allSent(); }, 2000);
        loop_.runFor(50);
    }
    e.StartOfflineProgrm1Click();
    return std::nullopt;
}

int Run::dryRun() {
    Program& e = engine();
    const std::string& op = o_.operation;
    const bool listening = op == "offline" && o_.project.empty() && o_.file.empty();
    // What the launch would check first: a chip, a file, the firmware file.
    launchBoxes_.clear();
    const std::optional<Operation> launched = launchedOperation(op);
    bool ready = true;
    if (launched) ready = e.prepare(*launched);
    else if (op == "offline" && !listening) ready = e.prepare(Operation::Download);
    else if (op == "upgrade" && !e.FirmwareFileLoaded()) {
        rep_.error("the firmware file " + app_->firmwareFileName + " is not loaded; nothing would run");
        ready = false;
    }
    if (!ready) return refuseUnstarted();
    const bool channelOneOnly = readsChannelOne(op);
    if (op == "save-project") {
        rep_.notice("would save the project " + o_.operands[0]);
        closeProgram();
        return finalStatus(kExitOk);
    }
    const std::string what = listening         ? "would listen for off-line production"
                             : op == "offline" ? "would download the job, then count off-line production"
                                               : "would run " + op;
    int would = 0;
    for (auto& p : searched_) {
        const bool here = listening || (p.channel > 0 && e.channelState(p.channel - 1).connected);
        if (here && (!channelOneOnly || p.channel == 1)) {
            ++would;
            rep_.result({p.channel, p.port, false, "would-run", std::nullopt, "", what, 0, p.unit, "would-run"});
        } else if (here) {
            rep_.result({p.channel, p.port, false, "not-run", std::nullopt, "", "not run (" + op + " runs on channel 1)",
                         0, p.unit, "not-run"});
        } else {
            rep_.result({p.channel, p.port, false, p.outcome, std::nullopt, "", p.why, 0, p.unit, p.outcome});
        }
    }
    closeProgram();
    if (would == 0) {
        rep_.error("nothing would run: no port listens");
        return finalStatus(kExitNoUnits);
    }
    return finalStatus(kExitOk);
}

int Run::refuseUnstarted() {
    rep_.finishBars();
    int status = kExitChannelFailed;
    if (!launchBoxes_.empty()) {
        rep_.error(launchRefusal(engine().lastRefusal(), launchBoxes_.back()));
        status = kExitUsage;
    } else {
        rep_.error("no channel ran the operation");
    }
    closeProgram();
    return finalStatus(status);
}

bool Run::waitLaunched() {
    Program& e = engine();
    bool done = loop_.runUntil(
        [&] {
            if (interrupted()) return true;
            for (int s = 0; s < 8; ++s)
                if (results_.count(s) && results_[s].started && e.channelState(s).busy) return false;
            return true;
        },
        o_.timeoutS * 1000);
    rep_.finishBars();
    return done;
}

int Run::finishLaunched() {
    Program& e = engine();
    bool anyStarted = false;
    for (auto& [s, r] : results_) anyStarted = anyStarted || r.started;
    if (!anyStarted) return refuseUnstarted();
    const bool done = waitLaunched();

    int status = kExitOk;
    // The flash read is saved only when channel 1 read all of it: a failed
    // read would leave the old image (or a part of the chip) in the file.
    const bool readOk = results_.count(0) && results_[0].finished && results_[0].ok;
    if (o_.operation == "read-flash" && !readOk) rep_.error("the flash was not read, " + o_.out + " not written");
    if (o_.operation == "read-flash" && readOk) {
        const ChipProfile& chip = e.chip;
        const uint8_t* img = e.image->ImageBuffer.data();
        const uint32_t last = lastInImage(chip.flashFirst, chip.flashLast, kImageSize);
        try {
            switch (formatByExtension(o_.out)) {
            case ObjectFormat::Hex: writeHexFile(o_.out, img, chip.flashFirst, chip.flashFirst, last); break;
            case ObjectFormat::SRecord: writeSRecordFile(o_.out, img, chip.flashFirst, chip.flashFirst, last); break;
            default: writeBinFile(o_.out, img, 0, static_cast<int64_t>(last) - chip.flashFirst); break;
            }
        } catch (const std::exception& ex) {
            rep_.error(ex.what());
            status = kExitChannelFailed;
            // The row says so too: the chip was read, the job was not done.
            results_[0].ok = false;
            results_[0].message = ex.what();
        }
    }
    closeProgram();
    if (reportLaunched(done)) status = kExitChannelFailed;
    return finalStatus(status);
}

// The table for people; with --json the result events carry the same.
int Run::reportLaunched(bool done) {
    Program& e = engine();
    int failed = 0;
    for (auto& p : searched_) {
        auto it = p.channel > 0 ? results_.find(p.channel - 1) : results_.end();
        if (it == results_.end() || !it->second.started) {
            const bool connected = p.channel > 0 && e.channelState(p.channel - 1).connected;
            const std::string outcome = connected ? "not-run" : p.outcome;
            rep_.result({p.channel, p.port, false, outcome, std::nullopt, "", connected ? "not run" : p.why, 0, p.unit,
                         outcome});
            continue;
        }
        const ChannelResult& r = it->second;
        failed += !(r.finished && r.ok);
        const int64_t end = r.finished ? r.endedMs : clock_.epochMs();
        ResultRow row{p.channel, p.port, true, "", r.code, r.step, r.message,
                      static_cast<double>(end - r.startedMs) / 1000.0, p.unit, ""};
        if (r.finished && !r.cutAtClose) {
            row.outcome = r.ok ? "ok" : "failed";
            row.reason = r.reason;
        } else {
            row.outcome = done ? "interrupted" : "timeout";
            row.message = done ? "interrupted" : "timed out";
            row.step = stepName(e.channelState(p.channel - 1).step);
        }
        rep_.result(row);
    }
    return failed;
}

// A channel turns idle as soon as its last frame is queued (the end of a
// firmware upgrade, the restart after a download), and closing a port purges
// what it has not sent: the run lets the queues empty and the other side take
// the bytes in before it closes.
void Run::closeProgram() {
    loop_.runUntil([&] { return engine().allSent(); }, 2000);
    // The frames that no reply follows (a download's restart, an upgrade's
    // end) get time to leave an adapter's own buffer; every other request
    // was answered already.
    if (o_.operation == "download" || o_.operation == "upgrade" || o_.operation == "offline") loop_.runFor(50);
    showHeldEvents(0);  // of channels that never ended
    closing_ = true;
    app_->closingReason = gInterrupted         ? "korvex-cli was stopped by a signal"
                          : rep_.outputClosed() ? "the reader of korvex-cli's output went away"
                                                : "korvex-cli's --timeout ran out";
    app_->FormClose();
}

// The statuses that also depend on the logs written at shut-down.
int Run::finalStatus(int status) {
    if (mappedWithoutUnit_ > 0 && status == kExitOk) {
        rep_.error(format("%d channel(s) of the port map had no unit", mappedWithoutUnit_));
        status = kExitChannelFailed;
    }
    if (app_->logWriteFailures > 0) {
        rep_.error(format("%d log file(s) could not be written (see the messages above)", app_->logWriteFailures));
        if (status == kExitOk) status = kExitChannelFailed;
    }
    if (app_->recordsFailures > 0) {
        rep_.error("the production records were not all kept (see the messages above)");
        if (status == kExitOk) status = kExitChannelFailed;
    }
    if (rep_.outputClosed()) {
        rep_.error("standard output was closed by its reader; the run was ended");
        return kExitInterrupted;
    }
    // A signal is how a station is ended.
    if (gInterrupted && o_.operation != "serve") {
        rep_.error("interrupted");
        return kExitInterrupted;
    }
    return status;
}

// The run itself; `offline` gets the off-line totals of an off-line run.
int runWith(const Options& o, Reporter& rep, std::optional<std::pair<int, int>>& offline) {
    return Run(o, rep, offline).exec();
}

// Runs an operation with its output: every JSON stream opens with a start
// event (a run that ends before its search starts it with what it knows)
// and closes with the summary; an exception ends the run as a usage error,
// reported like every other error.
using RunBody = std::function<int(Reporter&, std::optional<std::pair<int, int>>& offline)>;
int reported(const Options& o, std::ostream& out, std::ostream& err, Reporter::Progress progress, const RunBody& body) {
    Reporter rep(out, err, o.json, progress, o.verbosity > 0);
    const auto begin = std::chrono::steady_clock::now();
    std::optional<std::pair<int, int>> offline;
    int status = kExitUsage;
    try {
        status = body(rep, offline);
    } catch (const std::exception& e) {
        rep.error(e.what());
    }
    RunStart none;
    none.operation = o.operation;
    rep.start(none);
    rep.summary(status, offline, std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    return status;
}

// Every candidate port: the usable ones with their adapter's USB identity,
// driver and udev links (the names a port map takes), then the ones that
// cannot be opened now, with why.
int listPorts(bool json, std::ostream& out) {
    std::vector<std::string> items;
    std::string text;
    std::vector<SkippedPort> skipped;
    ListSerialPorts(items, text, &skipped);
    if (items.empty() && skipped.empty()) {
        if (!json) out << text << "\n";
        return kExitOk;
    }
    const std::vector<SerialPortInfo> all = systemSerialPorts();
    auto dash = [](const std::string& v) { return v.empty() ? std::string("-") : v; };
    if (!json) out << format("%-10s %-9s %-16s %-10s %s\n", "PORT", "VID:PID", "SERIAL", "DRIVER", "BY-PATH / BY-ID");
    auto row = [&](const std::string& name, const std::string& notUsable) {
        SerialPortInfo p;
        for (const SerialPortInfo& q : all)
            if (q.name == name) p = q;
        if (json) {
            JsonObject j;
            j["v"] = kJsonSchemaVersion;
            j["event"] = "port";
            j["port"] = utf8Text(name);
            j["usb"] = p.vendorId.empty() ? JsonObject() : JsonObject{{"vid", p.vendorId}, {"pid", p.productId},
                                                                       {"serial", utf8Text(p.serial)}};
            j["driver"] = utf8Text(p.driver);
            j["byPath"] = utf8Text(p.byPath);
            j["byId"] = utf8Text(p.byId);
            j["usable"] = notUsable.empty();
            j["why"] = utf8Text(notUsable);
            out << jsonLine(j);
            return;
        }
        const std::string usb = p.vendorId.empty() ? "-" : p.vendorId + ":" + p.productId;
        out << format("%-10s %-9s %-16s %-10s %s%s\n", name.c_str(), usb.c_str(), dash(p.serial).c_str(),
                      dash(p.driver).c_str(), dash(p.byPath).c_str(),
                      notUsable.empty() ? "" : ("  (not usable: " + notUsable + ")").c_str());
        if (!p.byId.empty()) out << std::string(49, ' ') << p.byId << "\n";
    };
    for (const std::string& name : items) row(name, "");
    for (const SkippedPort& k : skipped) row(k.name, k.cause);
    return kExitOk;
}

// The catalogue by vendor; with a pattern, the chips whose name holds it
// (in any case); with --json, one object per chip. Status 1 when none is
// listed.
int listChips(const Options& o, std::ostream& out) {
    const std::string pattern = o.operands.empty() ? "" : upperCase(o.operands[0]);
    size_t listed = 0;
    for (int v = 0; v < 4; ++v) {
        auto vendor = static_cast<ChipVendor>(v);
        const auto& names = chipNames(vendor);
        bool captioned = false;
        for (size_t i = 0; i < names.size(); ++i) {
            const std::string name = trimmedChipName(names[i]);
            if (upperCase(name).find(pattern) == std::string::npos) continue;
            ChipProfile p;
            chooseChip(p, vendor, static_cast<int>(i));
            ++listed;
            if (o.json) {
                JsonObject j;
                j["v"] = kJsonSchemaVersion;
                j["event"] = "chip";
                j["vendor"] = vendorCaption(vendor);
                j["name"] = name;
                j["flashKB"] = p.flashSizeKB;
                j["eepBytes"] = p.eepSize;
                out << jsonLine(j);
                continue;
            }
            if (!captioned) out << vendorCaption(vendor) << ":\n";
            captioned = true;
            out << format("  %-16s %3dK EEP=%dB\n", names[i].c_str(), p.flashSizeKB, p.eepSize);
        }
    }
    return listed ? kExitOk : kExitChannelFailed;
}

// Writes the converted file: to OUT, or with OUT "-" to standard output.
void putConverted(const std::string& to, std::ostream& out, const void* data, size_t size) {
    if (to != "-") return writeFileReplacing(to, data, size);
    errno = 0;
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.flush();
    if (!out) throw FileError(std::string("Cannot write standard output: ") + (errno ? std::strerror(errno) : "write failed"));
}

int convert(const Options& o, Reporter& rep, std::ostream& out) {
    const std::string& in = o.operands[0];
    const std::string& to = o.operands[1];
    std::vector<uint8_t> image(kImageSize, 0xFF);
    uint32_t base = 0;
    if (!o.chip.empty()) {
        auto found = findChipByName(o.chip);
        if (!found) throw UsageError(unknownChip(o.chip));
        ChipProfile p;
        chooseChip(p, found->first, found->second);
        std::array<uint8_t, 6> flags{};
        std::array<uint8_t, 256> opt{};
        applyProfileDefaults(p, flags, opt.data());
        base = p.flashFirst;
    }
    ReaderOutputs r;
    uint32_t first = 0, last = 0;
    try {
        ObjectFormat kind = objectFileFormat(in);
        auto lineError = [&](int line, int code) {
            rep.lineError(in, line, code, lineFaultText(kind, code), o.skipBadLines);
            return o.skipBadLines;
        };
        switch (kind) {
        case ObjectFormat::Hex:
        case ObjectFormat::SRecord:
            if (kind == ObjectFormat::Hex) readHexFile(in, base, image.data(), image.size(), r, lineError);
            else readSRecordFile(in, base, image.data(), image.size(), r, lineError);
            first = r.first;
            last = r.last;
            break;
        case ObjectFormat::Bin: {
            // The file's first byte goes exactly to the offset, so that the
            // range written out below holds the file's bytes and only them.
            if (o.offset && (*o.offset < 0 || static_cast<uint64_t>(*o.offset) >= image.size()))
                throw UsageError("--offset is outside the 4 MiB image");
            uint32_t off = o.offset ? static_cast<uint32_t>(*o.offset) : 0;
            // The whole file (the window's loader takes the first 1 MiB of a
            // binary file; a conversion that did so would lose the rest).
            uint32_t L = 0;
            const size_t room = image.size() - off;
            const size_t got = readBinLimited(in, image.data() + off, room, L);
            if (got == 0) throw UsageError(in + " is empty; " + to + " not written");
            if (static_cast<uint64_t>(L) + 1 > got)
                throw UsageError(format("%s is %llu bytes: from 0x%0.8x it runs past the 4 MiB image; not converted",
                                        in.c_str(), static_cast<unsigned long long>(L) + 1, base + off));
            for (size_t i = 0; i < got; ++i) r.fileChecksum += image[off + i];
            first = base + off;
            last = base + off + L;
            break;
        }
        case ObjectFormat::Unknown:
            throw UsageError("unknown input format: " + in +
                             " (neither Intel HEX nor S-record by its first line; binary files must be named .bin)");
        }
        if (r.aborted) {
            rep.error(format("%s was not converted: reading was aborted at line %d", in.c_str(), r.abortedAtLine));
            return kExitUsage;
        }
        if (last < first) throw UsageError(in + " holds no data; " + to + " not written");
        // The range written out must lie in the image: records below the base
        // or past the 4 MiB buffer were not stored, and writing their range
        // would read outside the buffer (and lose their bytes without a word).
        if (r.recordsBelowBase > 0 || r.bytesOutside > 0)
            throw UsageError(format("%s holds data outside the 4 MiB image from 0x%0.8x (0x%0.8x-0x%0.8x); not converted",
                                    in.c_str(), base, first, last));
        const ObjectFormat outFormat = o.convertTo == "hex" || (o.convertTo.empty() && to == "-") ? ObjectFormat::Hex
                                       : o.convertTo == "srec"                                    ? ObjectFormat::SRecord
                                       : o.convertTo == "bin"                                     ? ObjectFormat::Bin
                                                                                                  : formatByExtension(to);
        std::string text;
        switch (outFormat) {
        case ObjectFormat::Hex: text = hexText(image.data(), base, first, last); break;
        case ObjectFormat::SRecord: text = sRecordText(image.data(), base, first, last); break;
        case ObjectFormat::Bin:
            putConverted(to, out, image.data() + (first - base), static_cast<size_t>(last - first) + 1);
            break;
        default: throw UsageError("unknown output format: " + to + " (use .hex, .s19 or .bin, or --to)");
        }
        if (!text.empty()) putConverted(to, out, text.data(), text.size());
    } catch (const FileError& e) {
        rep.error(e.what());
        return kExitUsage;
    }
    const std::string done =
        format("%s -> %s: 0x%0.8x-0x%0.8x, checksum 0x%0.8x", in.c_str(), to.c_str(), first, last, r.fileChecksum);
    // Standard output holds the file itself when OUT is "-": nothing else goes there.
    if (to != "-") rep.notice(done);
    return kExitOk;
}

// CSV field: quoted when it holds a comma, a quote or a line break. A text
// a spreadsheet would take for a formula (=, +, -, @, a tab or CR first)
// gets a ' in front, so that the spreadsheet shows it rather than runs it.
std::string csvField(const std::string& text) {
    const std::string v = !text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos
                              ? "'" + text
                              : text;
    if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
    std::string q = "\"";
    for (char c : v) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

// Text for the terminal: bytes that are not UTF-8 and control characters
// (an escape sequence in a station's name would act on the terminal) as
// \xHH.
std::string tableText(const std::string& v) {
    std::string out;
    for (char c : utf8Text(v)) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) out += format("\\x%0.2X", b);
        else out += c;
    }
    return out;
}

// A record time as people read it: local, with milliseconds.
std::string recordTimeText(int64_t ms) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    return format("%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                  tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
}

// The production records the filter takes, as a table, CSV or JSON lines;
// or their yield. Status 0 when there was one, 1 when none matched, 2 when
// the database cannot be read.
// The count of each operation that programs no chip, per station, after the
// yield: JSON lines, CSV (a second table after a blank line) or a table.
// How many such rows there were.
size_t printOperations(const Options& o, RecordSource& store, std::ostream& out) {
    const auto rows = store.operations(o.records);
    if (rows.empty()) return 0;
    if (!o.json) out << "\n" << (o.csv ? "station,operation,count\n" : format("%-16s %-16s %8s\n", "STATION", "OPERATION", "COUNT"));
    for (const OperationCount& c : rows) {
        if (o.json) {
            JsonObject j;
            j["v"] = kJsonSchemaVersion;
            j["event"] = "operations";
            j["station"] = utf8Text(c.station);
            j["operation"] = utf8Text(c.operation);
            j["count"] = c.count;
            out << jsonLine(j);
        } else if (o.csv) {
            out << csvField(c.station) << ',' << csvField(c.operation) << ',' << c.count << "\n";
        } else {
            out << format("%-16s %-16s %8lld\n", tableText(c.station).c_str(), tableText(c.operation).c_str(),
                          static_cast<long long>(c.count));
        }
    }
    return rows.size();
}

// The yield per station, chip and image (the chips of the operations that
// program one), then the other operations: JSON lines, CSV or a table.
int printYield(const Options& o, RecordSource& store, std::ostream& out) {
    const auto rows = store.yield(o.records);
    if (o.json) {
        for (const YieldRow& y : rows) {
            JsonObject j;
            j["v"] = kJsonSchemaVersion;
            j["event"] = "yield";
            j["station"] = utf8Text(y.station);
            j["chip"] = utf8Text(y.chip);
            j["image"] = utf8Text(y.imageFile);
            j["ok"] = y.ok;
            j["ng"] = y.ng;
            out << jsonLine(j);
        }
    } else if (o.csv) {
        out << "station,chip,image,ok,ng,yield\n";
        for (const YieldRow& y : rows)
            out << csvField(y.station) << ',' << csvField(y.chip) << ',' << csvField(y.imageFile) << ',' << y.ok
                << ',' << y.ng << ',' << format("%.2f", 100.0 * y.ok / std::max<int64_t>(1, y.ok + y.ng)) << "\n";
    } else {
        out << format("%-16s %-16s %-24s %8s %8s %7s\n", "STATION", "CHIP", "IMAGE", "OK", "NG", "YIELD");
        for (const YieldRow& y : rows)
            out << format("%-16s %-16s %-24s %8lld %8lld %6.2f%%\n", tableText(y.station).c_str(),
                          tableText(y.chip).c_str(), tableText(y.imageFile).c_str(), static_cast<long long>(y.ok),
                          static_cast<long long>(y.ng), 100.0 * y.ok / std::max<int64_t>(1, y.ok + y.ng));
    }
    const size_t others = printOperations(o, store, out);
    return rows.empty() && others == 0 ? kExitChannelFailed : kExitOk;
}


int listRecords(const Options& o, std::ostream& out, std::ostream& err) {
    std::string path = !o.recordsServer.empty() ? o.recordsServer : o.recordsDb;
    if (path.empty()) path = programFolders(currentExecutablePath()).logs + kRecordsFileName;
    struct stat st {};
    if (!isServerUrl(path) && ::stat(path.c_str(), &st) != 0) {
        err << "korvex-cli: no production records: " << path << " does not exist\n";
        return kExitUsage;
    }
    // A FIFO would be waited on for ever.
    if (!isServerUrl(path) && !S_ISREG(st.st_mode)) {
        err << "korvex-cli: " << (o.recordsDb.empty() ? "production records " : "--db ") << path << ": "
            << notRegularCause(st.st_mode) << "\n";
        return kExitUsage;
    }
    if (serverForDisplay(o.recordsServer) != o.recordsServer)
        err << "korvex-cli: warning: --server holds a password, which is visible to other users in the process list; "
               "use PGPASSWORD or ~/.pgpass\n";
    try {
        const std::unique_ptr<RecordSource> store = openRecordSource(path);
        if (o.summary) {
            return printYield(o, *store, out);
        }
        const auto rows = store->query(o.records);
        auto hex = [](const auto& v, const char* f) { return v ? format(f, *v) : std::string(); };
        if (!o.json && o.csv)
            out << "started,ended,station,channel,port,usb,unit,firmware,unit_number,chip,operation,image,file_checksum,"
                   "flash_crc,flash_acc,serial,uid,code,outcome,message,record_id,bytes_cut,sn_start,"
                   "sn_increment,sn_address,reason\n";
        if (!o.json && !o.csv)
            out << format("%-23s %-12s %2s %-8s %-16s %-12s %-10s %-24s %-4s %-3s %s\n", "ENDED", "STATION", "CH", "PORT",
                          "CHIP", "OPERATION", "SERIAL", "UID", "CODE", "OK", "MESSAGE");
        for (const ProductionRecord& r : rows) {
            const std::string usb = r.usbVid.empty() ? "" : r.usbVid + ":" + r.usbPid + (r.usbSerial.empty() ? "" : ":" + r.usbSerial);
            if (o.json) {
                out << jsonLine(recordJson(r));
            } else if (o.csv) {
                out << recordTimeText(r.startedMs) << ',' << recordTimeText(r.endedMs) << ',' << csvField(r.station) << ','
                    << r.channel << ',' << csvField(r.port) << ',' << csvField(usb) << ',' << csvField(r.unitModel) << ','
                    << csvField(r.unitFirmware) << ',' << r.unitNumber << ',' << csvField(r.chip) << ',' << csvField(r.operation)
                    << ',' << csvField(r.imageFile) << ',' << hex(r.fileChecksum, "0x%0.8x") << ','
                    << hex(r.flashCrc, "0x%0.4x") << ',' << hex(r.flashAcc, "0x%0.4x") << ','
                    << hex(r.serialNumber, "0x%0.8x") << ',' << csvField(r.chipUid) << ',' << hex(r.resultCode, "0x%0.2x") << ','
                    << (r.ok ? "OK" : r.outcome == kOutcomeInterrupted ? "INTERRUPTED" : "NG") << ','
                    << csvField(r.message) << ',' << csvField(r.recordId) << ',' << r.bytesCut << ',' << hex(r.snStart, "0x%0.8x") << ','
                    << hex(r.snIncrement, "0x%0.4x") << ',' << hex(r.snAddress, "0x%0.8x") << ',' << recordReason(r)
                    << "\n";
            } else {
                out << format("%-23s %-12s %2d %-8s %-16s %-12s %-10s %-24s %-4s %-3s %s\n", recordTimeText(r.endedMs).c_str(),
                              tableText(r.station).c_str(), r.channel, tableText(r.port).c_str(), tableText(r.chip).c_str(),
                              tableText(r.operation).c_str(), hex(r.serialNumber, "0x%0.8x").c_str(),
                              tableText(r.chipUid).c_str(), hex(r.resultCode, "0x%0.2x").c_str(),
                              r.ok ? "OK" : r.outcome == kOutcomeInterrupted ? "INT" : "NG",
                              tableText(r.message).c_str());
            }
        }
        return rows.empty() ? kExitChannelFailed : kExitOk;
    } catch (const RecordStoreError& e) {
        err << "korvex-cli: " << e.what() << "\n";
        return kExitUsage;
    }
}

}  // namespace

std::string versionText() { return std::string("korvex-cli ") + KORVEX_VERSION + " (Korvex200 host for Linux)\n"; }

std::string helpText() {
    Options o;
    return optionTable(o)->help();
}

// `-` as an input file: standard input, kept in a private temporary folder
// for as long as the run needs it (the readers take a file by name).
class StdinFile {
public:
    StdinFile() = default;
    StdinFile(const StdinFile&) = delete;
    StdinFile& operator=(const StdinFile&) = delete;
    ~StdinFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
        if (!dir_.empty()) ::rmdir(dir_.c_str());
    }
    // The file's path; reads standard input the first time.
    const std::string& path() {
        if (!path_.empty()) return path_;
        char tmpl[] = "/tmp/korvex-cli-stdin.XXXXXX";
        if (!mkdtemp(tmpl)) throw UsageError("cannot create a folder for standard input");
        dir_ = tmpl;
        std::string text;
        char buf[65536];
        for (ssize_t n; (n = ::read(STDIN_FILENO, buf, sizeof buf)) != 0;) {
            if (n < 0) {
                if (errno == EINTR) continue;
                throw UsageError(std::string("standard input cannot be read: ") + std::strerror(errno));
            }
            text.append(buf, static_cast<size_t>(n));
            if (text.size() > kMaxStdin) throw UsageError("standard input holds more than 64 MiB");
        }
        if (text.empty()) throw UsageError("standard input is empty");
        path_ = dir_ + "/stdin";
        writeFileReplacing(path_, text);
        return path_;
    }

private:
    static constexpr size_t kMaxStdin = size_t(64) << 20;
    std::string dir_, path_;
};

// --json among the options (before a "--" that ends them).
bool asksForJson(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--") return false;
        if (a == "--json") return true;
    }
    return false;
}

namespace {
// `serve` is korvex-station's: korvex-cli runs that program in its place,
// with the same arguments (beside this one in a build folder, in
// ../libexec/korvex200 when installed).
int handOverToStation(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (&out != &std::cout) {
        err << "korvex-cli: serve runs in korvex-station\n";
        return kExitUsage;
    }
    const std::filesystem::path self = std::filesystem::path(currentExecutablePath()).parent_path();
    for (const std::filesystem::path& p :
         {self / "korvex-station", self / ".." / "libexec" / "korvex200" / "korvex-station"}) {
        std::string program = p.lexically_normal().string();
        if (::access(program.c_str(), X_OK) != 0) continue;
        std::vector<char*> argv{program.data()};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        out.flush();
        err.flush();
        ::execv(program.c_str(), argv.data());
        err << "korvex-cli: cannot run " << program << ": " << std::strerror(errno) << "\n";
        return kExitUsage;
    }
    err << "korvex-cli: serve needs korvex-station, which is not beside korvex-cli nor in ../libexec/korvex200\n";
    return kExitUsage;
}
}  // namespace

void setStationStarter(StationStarter starter) { stationStarter() = std::move(starter); }

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    try {
        Options o = parse(args);
        if (o.help) {
            out << helpText();
            return kExitOk;
        }
        if (o.version) {
            out << versionText();
            return kExitOk;
        }
        if (o.operation == "ports") return listPorts(o.json, out);
        if (o.operation == "records") return listRecords(o, out, err);
        if (o.operation == "chips") return listChips(o, out);
        if (o.operation == "serve" && !stationStarter()) return handOverToStation(args, out, err);
        StdinFile stdinFile;
        if (o.file == "-") o.file = stdinFile.path();
        if (o.operation == "convert" && o.operands[0] == "-") o.operands[0] = stdinFile.path();
        // Bars only where a person watches the progress: standard error is a
        // terminal that can move the cursor.
        const char* term = std::getenv("TERM");
        const bool bars = &err == &std::cerr && isatty(STDERR_FILENO) && term && std::string(term) != "dumb";
        const Reporter::Progress progress =
            o.verbosity < 0 ? Reporter::Progress::None : bars ? Reporter::Progress::Bars : Reporter::Progress::Lines;
        if (o.operation == "convert")
            return reported(o, out, err, progress, [&](Reporter& rep, auto&) { return convert(o, rep, out); });
        return reported(o, out, err, progress, [&](Reporter& rep, auto& offline) { return runWith(o, rep, offline); });
    } catch (const std::exception& e) {
        // With --json asked for, even a run that never began is a stream of
        // its own: start, the error, summary.
        if (asksForJson(args)) {
            Options failed;
            failed.json = true;
            return reported(failed, out, err, Reporter::Progress::None, [&](Reporter& rep, auto&) {
                rep.error(e.what());
                return kExitUsage;
            });
        }
        err << "korvex-cli: " << e.what() << "\n";
        return kExitUsage;
    }
}

}  // namespace kvx::cli
