// The command-line front end run in this process: listings, usage errors,
// whole runs against emulated units (its own --sim ones and units started
// here that outlive a run), JSON output, object-file conversion, reading the
// flash, off-line production and project files.
#include "cli/cli.h"

#include "child_process.h"

#include "app/korvex_app.h"
#include "e2e/startup_rig.h"
#include "image/object_files.h"
#include "link/frame.h"
#include "project/project_file.h"
#include "records/record_store.h"
#include "shell/plain_loop.h"
#include "shell/scripted_prompts.h"
#include "shell/text.h"
#include "sim/sim_server.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

using namespace kvx;

namespace {

struct CliRun {
    int code = -1;
    std::string out, err;
};

CliRun runCli(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    CliRun r;
    r.code = cli::run(args, out, err);
    r.out = out.str();
    r.err = err.str();
    return r;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

using test::readBytes;
using test::writeBytes;

// The JSON lines of a run's output, each parsed (a line that is not JSON
// fails the test that reads it).
std::vector<nlohmann::json> jsonLines(const std::string& out) {
    std::vector<nlohmann::json> v;
    for (const std::string& l : linesOf(out)) {
        try {
            v.push_back(nlohmann::json::parse(l));
        } catch (const std::exception& e) {
            ADD_FAILURE() << "not JSON: " << l << " (" << e.what() << ")";
        }
    }
    return v;
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kvx-cli-test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        sim_.reset();
        unsetenv("KORVEX_SERIAL_DIR");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string image(size_t bytes, uint32_t seed, const std::string& name = "image.bin") {
        data_ = test::patternBytes(bytes, seed);
        writeBytes(path(name), data_);
        return path(name);
    }
    // Emulated units that outlive single runs of the front end.
    void startUnits(int n, const std::function<void(SimOptions&)>& tune = {}) {
        SimOptions o;
        o.units = n;
        o.dir = path("ports");
        o.unit.resize(static_cast<size_t>(n));
        if (tune) tune(o);
        sim_ = std::make_unique<SimServer>(o);
        sim_->start();
        setenv("KORVEX_SERIAL_DIR", o.dir.c_str(), 1);
    }

    std::string dir_;
    std::vector<uint8_t> data_;
    std::unique_ptr<SimServer> sim_;
};

// The summary row of a channel: "CH PORT RESULT TIME DEVICE | MESSAGE".
std::string rowOf(const std::string& out, int channel) {
    for (auto& l : linesOf(out))
        if (l.rfind(format("%-3d COM", channel), 0) == 0) return l;
    return {};
}

}  // namespace

TEST_F(Cli, ListsHelpAndVersion) {
    CliRun chips = runCli({"chips"});
    EXPECT_EQ(chips.code, cli::kExitOk);
    EXPECT_NE(chips.out.find("  SC32F52128LF1G   128K EEP=512B\n"), std::string::npos);
    EXPECT_NE(chips.out.find("  LKS32MC088C6Qx    32K EEP=1024B\n"), std::string::npos);
    EXPECT_NE(chips.out.find("  CPT2816QN24-A1    32K EEP=0B\n"), std::string::npos);
    EXPECT_NE(chips.out.find("  FG8590Q48xx       64K EEP=0B\n"), std::string::npos);
    // A pattern in any case lists the chips whose name holds it; --json one
    // object each; a pattern that matches none gives status 1.
    CliRun some = runCli({"chips", "f52128lf"});
    EXPECT_EQ(some.code, cli::kExitOk);
    EXPECT_EQ(some.out, "士兰微:\n  SC32F52128LF1G   128K EEP=512B\n");
    CliRun json = runCli({"--json", "chips", "F52128LF"});
    EXPECT_EQ(json.out, "{\"v\":1,\"event\":\"chip\",\"vendor\":\"士兰微\",\"name\":\"SC32F52128LF1G\",\"flashKB\":128,"
                        "\"eepBytes\":512}\n");
    EXPECT_EQ(runCli({"chips", "NOSUCH"}).code, cli::kExitChannelFailed);
    CliRun help = runCli({"--help"});
    EXPECT_EQ(help.code, cli::kExitOk);
    EXPECT_EQ(help.out, cli::helpText());
    EXPECT_EQ(help.out.rfind("Usage: korvex-cli", 0), 0u);
    EXPECT_EQ(runCli({"auto", "--help"}).out, cli::helpText());  // anywhere on the line
    CliRun version = runCli({"--version"});
    EXPECT_EQ(version.code, cli::kExitOk);
    EXPECT_EQ(version.out.rfind("korvex-cli 1.4.0", 0), 0u);
    EXPECT_TRUE(chips.err.empty() && help.err.empty() && version.err.empty());
}

TEST_F(Cli, UsageErrorsExitTwoWithOneLine) {
    const std::string bin = image(1024, 1);
    // 16 bytes at 0x08000000 (beyond the image from base 0) and at 0x100
    // (below a CPT chip's flash at 0x08000000).
    const std::vector<uint8_t> sixteen(16, 0x5A);
    const std::string beyond = path("beyond.hex"), below = path("below.s19");
    const std::string beyondText = hexText(sixteen.data(), 0x08000000u, 0x08000000u, 0x0800000Fu);
    const std::string belowText = sRecordText(sixteen.data(), 0x100, 0x100, 0x10F);
    writeBytes(beyond, std::vector<uint8_t>(beyondText.begin(), beyondText.end()));
    writeBytes(below, std::vector<uint8_t>(belowText.begin(), belowText.end()));
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const std::vector<Case> cases = {
        {{"frobnicate"}, "unknown operation 'frobnicate'"},
        {{}, "no operation given"},
        {{"--bogus", "auto"}, "unknown option --bogus"},
        {{"--chip", "NOPE123", "--file", bin, "auto"}, "unknown chip 'NOPE123' (korvex-cli chips lists them)"},
        {{"--chip", "SC32F5232", "--file", bin, "auto"}, "did you mean SC32F5232JV1G, SC32F5232JV1GTR or SC32F5232LF1G?"},
        {{"--chip", "CPT2816QN24-B1", "--file", bin, "auto"}, "did you mean CPT2816QN24-A1"},
        {{"auto", "extra"}, "unexpected argument extra: auto takes no operand"},
        {{"chips", "SC32", "LKS"}, "unexpected argument LKS: chips takes 1 operand(s)"},
        {{"--json", "convert", bin, "-"}, "--json would share standard output with the converted file"},
        {{"--to", "elf", "convert", bin, "-"}, "--to"},
        // A project that does not load says why.
        {{"--project", path("missing.pmw"), "auto"}, "could not be loaded: Cannot read file"},
        {{"--project", bin, "auto"}, "could not be loaded: "},
        {{"--offset", "0xZZ", "convert", bin, path("x.hex")}, "--offset"},
        {{"--sim", "two", "auto"}, "--sim"},
        {{"--chip", "SC32F5232JV1G", "--file", path("missing.bin"), "auto"}, "No such file"},
        {{"convert", path("missing.hex"), path("x.bin")}, "missing.hex"},
        {{"convert", bin, path("x.txt")}, "unknown output format"},
        {{"--sim", "2", "--sim-fault", "3:silent", "auto"}, "no emulated unit 3"},
        {{"--sim", "1", "--sim-fault", "1:nonsense", "auto"}, "nonsense"},
        {{"--sim-fault", "silent", "auto"}, "--sim-fault takes U:KIND"},
        {{"read-address", "0x100"}, "read-address needs ADDR LEN"},
        // Numbers that would wrap on their way into an int or a control.
        {{"--sim", "4294967297", "auto"}, "--sim takes 1 to 16"},
        {{"--timeout", "3000000", "auto"}, "--timeout takes"},
        {{"--timeout", "-5", "auto"}, "--timeout takes"},
        {{"--sn", "0x100000000", "auto"}, "--sn takes"},
        {{"--sn-address", "-1", "auto"}, "--sn-address takes"},
        {{"--sn-step", "70000", "auto"}, "--sn-step takes"},
        // Object files whose data lies outside the 4 MiB image from the base.
        {{"convert", beyond, path("x.hex")}, "outside the 4 MiB image"},
        {{"--chip", "CPT2816QN24-A1", "convert", below, path("x.hex")}, "outside the 4 MiB image"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (auto& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        CliRun r = runCli(c.args);
        EXPECT_EQ(r.code, cli::kExitUsage);
        auto lines = linesOf(r.err);
        ASSERT_EQ(lines.size(), 1u) << r.err;
        EXPECT_EQ(lines[0].rfind("korvex-cli: ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(c.says), std::string::npos) << lines[0];
    }
    EXPECT_FALSE(std::filesystem::exists(path("x.hex")));
    EXPECT_EQ(std::getenv("KORVEX_SERIAL_DIR"), nullptr);  // the runs put it back
    // A port map with a mistake: its file and line, not "no unit answered".
    const std::string map = std::string(std::getenv("KORVEX_HOME")) + "/ports.map";
    writeBytes(map, {'1', ' ', 'A', '\n', '1', ' ', 'B', '\n'});
    CliRun mapped = runCli({"--chip", "SC32F5232JV1G", "--file", bin, "auto"});
    std::filesystem::remove(map);
    EXPECT_EQ(mapped.code, cli::kExitUsage);
    EXPECT_NE(mapped.err.find("korvex-cli: Port map " + map + ": line 2: channel 1 is given twice"), std::string::npos)
        << mapped.err;
}

TEST_F(Cli, SerialNumberOptionsReachTheJobWhole) {
    // Spellings longer than the window's edits (10 and 4 characters) or
    // another base: the job carries the numbers given, not a cut text.
    const std::string bin = image(1024, 7);
    struct Case {
        std::vector<std::string> args;
        uint32_t start, address;
        uint16_t step;
    };
    const std::vector<Case> cases = {
        {{"--sn", "0x0000000012", "--sn-step", "0x100", "--sn-address", "0x00000000FFF0"}, 0x12, 0xFFF0, 0x100},
        {{"--sn", "4294967295", "--sn-step", "9999", "--sn-address", "$8000"}, 0xFFFFFFFF, 0x8000, 9999},
        {{"--sn", "7", "--sn-step", "-1", "--sn-decimal"}, 7, 0xFFF0, 0xFFFF},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        std::vector<std::string> args = {"--chip", "SC32F5232JV1G", "--file", bin};
        args.insert(args.end(), cases[i].args.begin(), cases[i].args.end());
        const std::string prj = path(format("sn%u.pmw", static_cast<unsigned>(i)));
        args.insert(args.end(), {"save-project", prj});
        CliRun r = runCli(args);
        ASSERT_EQ(r.code, cli::kExitOk) << r.err;
        std::vector<uint8_t> bytes = readBytes(prj);
        ProjectData d;
        std::string message;
        ASSERT_EQ(decodeProjectFile(bytes.data(), bytes.size(), d, message), kProjectOk);
        EXPECT_EQ(d.cfg[68], 0x0F);
        EXPECT_EQ(le16(&d.cfg[70]), cases[i].step);
        EXPECT_EQ(le32(&d.cfg[72]), cases[i].address);
        EXPECT_EQ(le32(&d.cfg[76]), cases[i].start);
    }
}

TEST_F(Cli, AutoOnTwoEmulatedUnits) {
    const std::string bin = image(32 * 1024, 2);
    CliRun r = runCli({"--sim", "2", "--chip", "SC32F5232JV1G", "--file", bin, "auto"});
    EXPECT_EQ(r.code, cli::kExitOk) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("CH  PORT          RESULT  TIME(s)  DEVICE / MESSAGE\n", 0), 0u) << r.out;
    for (int ch = 1; ch <= 2; ++ch) {
        std::string row = rowOf(r.out, ch);
        const std::string head = format("%-3d %-13s %-7s ", ch, format("COM%d", ch).c_str(), "OK");
        const std::string tail = format("  Korvex200RTQ V2.10, Unit %d | Main Flash数据校验成功！", ch);
        EXPECT_EQ(row.rfind(head, 0), 0u) << row;
        ASSERT_GE(row.size(), head.size() + tail.size()) << row;
        EXPECT_EQ(row.substr(row.size() - tail.size()), tail) << row;
        // The time between: seconds with two decimals.
        std::string secs = row.substr(head.size(), row.size() - head.size() - tail.size());
        EXPECT_EQ(secs.size(), 7u) << row;
        EXPECT_EQ(secs.find_first_not_of(" 0123456789."), std::string::npos) << row;
    }
    EXPECT_TRUE(rowOf(r.out, 3).empty());
    EXPECT_EQ(std::getenv("KORVEX_SERIAL_DIR"), nullptr);
}

// Eight emulated units programming a 128 KB chip in one run: every channel
// succeeds; the run's time is recorded (unpaced units, so it measures the
// host and the emulator, not the line).
TEST_F(Cli, EightUnitsAutoOnA128KChip) {
    const std::string bin = image(128 * 1024, 10);
    auto t0 = std::chrono::steady_clock::now();
    CliRun r = runCli({"--sim", "8", "--timeout", "60", "--chip", "SC32F52128LF1G", "--file", bin, "auto"});
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    RecordProperty("seconds", std::to_string(secs));
    EXPECT_EQ(r.code, cli::kExitOk) << r.out << r.err;
    for (int ch = 1; ch <= 8; ++ch) EXPECT_NE(rowOf(r.out, ch).find(" OK "), std::string::npos) << r.out;
}

// Unit 2 answers every flash program request with 0x2C: its channel fails,
// channels 1 and 3 finish, the exit status is 1. The table's rows come from
// the engine's events: the unit's text and the result's message.
TEST_F(Cli, FailingChannelExitsOneAndShowsWhichFailed) {
    const std::string bin = image(32 * 1024, 3);
    CliRun r = runCli({"--sim", "3", "--sim-fault", "2:result:0x95:0x2C", "--chip", "SC32F5232JV1G", "--file", bin,
                       "program"});
    EXPECT_EQ(r.code, cli::kExitChannelFailed) << r.out << r.err;
    EXPECT_NE(rowOf(r.out, 1).find(" OK "), std::string::npos) << r.out;
    EXPECT_NE(rowOf(r.out, 1).find("Korvex200RTQ V2.10, Unit 1 | 编程操作成功！"), std::string::npos) << r.out;
    EXPECT_NE(rowOf(r.out, 2).find(" FAILED "), std::string::npos) << r.out;
    EXPECT_NE(rowOf(r.out, 2).find("Unit 2 | Flash Memory错误！"), std::string::npos) << r.out;
    EXPECT_NE(rowOf(r.out, 3).find(" OK "), std::string::npos) << r.out;
}

TEST_F(Cli, ConvertRoundTripsBytesThroughHexAndSRecords) {
    // Placed at 0x123 (not a multiple of 16): the file's first byte is at
    // 0x123 in every output.
    const std::string bin = image(5000, 4);
    CliRun toHex = runCli({"--offset", "0x123", "convert", bin, path("a.hex")});
    ASSERT_EQ(toHex.code, cli::kExitOk) << toHex.err;
    EXPECT_NE(toHex.out.find(": 0x00000123-0x000014AA, checksum"), std::string::npos) << toHex.out;
    CliRun toS19 = runCli({"convert", path("a.hex"), path("a.s19")});
    ASSERT_EQ(toS19.code, cli::kExitOk) << toS19.err;
    EXPECT_NE(toS19.out.find(": 0x00000123-0x000014AA, checksum"), std::string::npos) << toS19.out;
    CliRun toBin = runCli({"convert", path("a.s19"), path("b.bin")});
    ASSERT_EQ(toBin.code, cli::kExitOk) << toBin.err;
    EXPECT_EQ(readBytes(path("b.bin")), data_);
    // The same checksum all the way: the bytes' sum.
    uint32_t sum = 0;
    for (uint8_t b : data_) sum += b;
    char want[32];
    std::snprintf(want, sizeof want, "checksum 0x%08X", sum);
    for (const CliRun* r : {&toHex, &toS19, &toBin}) EXPECT_NE(r->out.find(want), std::string::npos) << r->out;
    // HEX straight back to BIN too.
    ASSERT_EQ(runCli({"convert", path("a.hex"), path("c.bin")}).code, cli::kExitOk);
    EXPECT_EQ(readBytes(path("c.bin")), data_);
    // A binary file is converted whole, beyond the 1 MiB the window loads.
    const std::string big = image(0x180000, 9, "big.bin");
    ASSERT_EQ(runCli({"convert", big, path("big.s37")}).code, cli::kExitOk);
    EXPECT_EQ(runCli({"--to", "bin", "convert", path("big.s37"), "-"}).out, std::string(data_.begin(), data_.end()));
    // To standard output: HEX by default, the others with --to; nothing
    // but the file goes there.
    struct ToStdout {
        std::vector<std::string> args;
        std::string same;  // the file it must equal
    };
    for (const ToStdout& t : std::vector<ToStdout>{{{"convert", path("a.s19"), "-"}, path("a.hex")},
                                                   {{"--to", "srec", "convert", path("a.hex"), "-"}, path("a.s19")},
                                                   {{"--to", "bin", "convert", path("a.s19"), "-"}, path("b.bin")}}) {
        CliRun r = runCli(t.args);
        ASSERT_EQ(r.code, cli::kExitOk) << r.err;
        const std::vector<uint8_t> want = readBytes(t.same);
        EXPECT_EQ(r.out, std::string(want.begin(), want.end())) << t.args[t.args.size() - 2];
    }
}

TEST_F(Cli, ReadFlashWritesWhatTheChipHolds) {
    startUnits(1);
    const std::string bin = image(32 * 1024, 5);
    ASSERT_EQ(runCli({"--chip", "SC32F5232JV1G", "--file", bin, "program"}).code, cli::kExitOk);
    // A later run reads the programmed chip back, as BIN and as S-records.
    CliRun asBin = runCli({"--chip", "SC32F5232JV1G", "--out", path("read.bin"), "read-flash"});
    ASSERT_EQ(asBin.code, cli::kExitOk) << asBin.out << asBin.err;
    EXPECT_EQ(readBytes(path("read.bin")), data_);
    CliRun asS19 = runCli({"--chip", "SC32F5232JV1G", "--out", path("read.s19"), "read-flash"});
    ASSERT_EQ(asS19.code, cli::kExitOk) << asS19.err;
    ASSERT_EQ(runCli({"convert", path("read.s19"), path("back.bin")}).code, cli::kExitOk);
    EXPECT_EQ(readBytes(path("back.bin")), data_);
}

TEST_F(Cli, PortOptionsAreTheChannelsInTheOrderGiven) {
    startUnits(3);
    const std::string bin = image(32 * 1024, 7);
    CliRun r = runCli({"--chip", "SC32F5232JV1G", "--file", bin, "--port", "COM3", "--port", "COM1", "program"});
    ASSERT_EQ(r.code, cli::kExitOk) << r.out << r.err;
    EXPECT_EQ(rowOf(r.out, 1).rfind("1   COM3", 0), 0u) << r.out;
    EXPECT_NE(rowOf(r.out, 1).find("Unit 3"), std::string::npos);
    EXPECT_NE(rowOf(r.out, 2).find("Unit 1"), std::string::npos);
    EXPECT_EQ(rowOf(r.out, 3), "");  // unit 2 is not one of them
    // A by-path name longer than the column: the column widens with it.
    std::filesystem::create_directories(path("by-path"));
    const std::string longName = path("by-path/pci-0000:00:14.0-usb-0:2.1:1.0-port0");
    std::filesystem::create_symlink(path("ports/COM2"), longName);
    CliRun wide = runCli({"--chip", "SC32F5232JV1G", "--file", bin, "--port", longName, "program"});
    ASSERT_EQ(wide.code, cli::kExitOk) << wide.out << wide.err;
    const size_t rowStart = wide.out.find('\n') + 1;
    EXPECT_EQ(wide.out.find(" OK ", rowStart) - rowStart, wide.out.find(" RESULT ")) << wide.out;
    // A socket without its unit (a port that is no programmer): the others
    // are served, the run fails; a port that does not exist is refused.
    std::filesystem::create_symlink("/dev/null", path("ports/COM9"));
    CliRun missing = runCli({"--chip", "SC32F5232JV1G", "--file", bin, "--port", "COM3", "--port", "COM9", "program"});
    EXPECT_EQ(missing.code, cli::kExitChannelFailed) << missing.out << missing.err;
    EXPECT_NE(rowOf(missing.out, 1).find("OK"), std::string::npos) << missing.out;
    EXPECT_NE(missing.err.find("1 channel(s) of the port map had no unit"), std::string::npos) << missing.err;
    // It keeps its channel in the results; a read-back without a unit on
    // channel 1 is refused, not left to the watchdog.
    EXPECT_NE(rowOf(missing.out, 2).find("| skipped: not a serial device"), std::string::npos) << missing.out;
    CliRun read = runCli({"--chip", "SC32F5232JV1G", "--port", "COM9", "--port", "COM1", "read-id"});
    EXPECT_EQ(read.code, cli::kExitChannelFailed) << read.out << read.err;
    EXPECT_NE(read.err.find("read-id reads the chip on channel 1, and no unit answered there"), std::string::npos);
    EXPECT_NE(read.out.find("1   COM9"), std::string::npos) << read.out;
    CliRun twice = runCli({"--chip", "SC32F5232JV1G", "--port", "COM1", "--port", "COM1", "program"});
    EXPECT_EQ(twice.code, cli::kExitUsage);
    EXPECT_NE(twice.err.find("--port: COM1 is given twice"), std::string::npos) << twice.err;
    CliRun none = runCli({"--chip", "SC32F5232JV1G", "--file", bin, "--port", "COM3", "--port", "COM8", "program"});
    EXPECT_EQ(none.code, cli::kExitUsage);
    EXPECT_NE(none.err.find("--port COM8: there is no such port (korvex-cli ports lists them)"), std::string::npos)
        << none.err;
    // A USB filter the emulated units (no USB identity) do not pass.
    CliRun usb = runCli({"--chip", "SC32F5232JV1G", "--file", bin, "--usb", "0403:6001", "program"});
    EXPECT_EQ(usb.code, cli::kExitNoUnits) << usb.out << usb.err;
}

TEST_F(Cli, PortsListsEachPortWithItsIdentityAndTheUnusableWithWhy) {
    startUnits(2);
    std::filesystem::create_symlink("/dev/no-such-tty", path("ports/COM7"));
    CliRun r = runCli({"ports"});
    ASSERT_EQ(r.code, cli::kExitOk) << r.err;
    // The machine's own adapters, if it has any, come first.
    std::vector<std::string> lines;
    for (const std::string& l : linesOf(r.out))
        if (l.rfind("COM", 0) == 0 || l.rfind("PORT", 0) == 0) lines.push_back(l);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], "PORT       VID:PID   SERIAL           DRIVER     BY-PATH / BY-ID");
    EXPECT_EQ(lines[1], "COM1       -         -                -          -");
    EXPECT_EQ(lines[2].rfind("COM2 ", 0), 0u);
    EXPECT_EQ(lines[3].rfind("COM7       -         -                -          -  (not usable: ", 0), 0u) << lines[3];
    CliRun json = runCli({"--json", "ports"});
    ASSERT_EQ(json.code, cli::kExitOk) << json.err;
    const auto ports = jsonLines(json.out);
    ASSERT_GE(ports.size(), 3u) << json.out;
    const auto& com7 = ports.back();
    EXPECT_EQ(com7["port"], "COM7");
    EXPECT_EQ(com7["usable"], false);
    EXPECT_FALSE(com7["why"].get<std::string>().empty());
    EXPECT_EQ(ports[ports.size() - 3]["usable"], true);
}

TEST_F(Cli, AFailedFlashReadWritesNoFile) {
    CliRun r = runCli({"--sim", "1", "--sim-fault", "1:rprotect", "--chip", "SC32F5232JV1G", "--out", path("read.bin"),
                 "read-flash"});
    EXPECT_EQ(r.code, cli::kExitChannelFailed);
    EXPECT_NE(rowOf(r.out, 1).find("芯片已被读保护！"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(path("read.bin")));
    EXPECT_NE(r.err.find("not written"), std::string::npos);
    // Read, but not written (a folder that does not exist): the row fails.
    CliRun unwritten = runCli({"--sim", "1", "--chip", "SC32F5232JV1G", "--out", path("no/such/read.bin"), "read-flash"});
    EXPECT_EQ(unwritten.code, cli::kExitChannelFailed);
    EXPECT_EQ(rowOf(unwritten.out, 1).find(" OK "), std::string::npos) << unwritten.out;
    EXPECT_NE(rowOf(unwritten.out, 1).find("FAILED"), std::string::npos) << unwritten.out;
}

// Off-line production on 4 units: the job downloaded by an earlier run or
// with this one; units whose production a device query ends (the emulator's
// default) or does not. Every socket must be counted either way.
struct OfflineCase {
    const char* name;
    bool queryEndsProduction;
    bool jobWithTheRun;
    uint32_t failEvery;
    int exitCode;
};

class CliOffline : public Cli, public ::testing::WithParamInterface<OfflineCase> {};

TEST_P(CliOffline, CountsEverySocketAndReturns) {
    const OfflineCase& oc = GetParam();
    startUnits(4, [&](SimOptions& o) {
        for (auto& u : o.unit) {
            u.chipIntervalMs = 20;
            u.offlineFailEvery = oc.failEvery;
            u.queryEndsOffline = oc.queryEndsProduction;
        }
    });
    const std::string bin = image(32 * 1024, 6);
    std::vector<std::string> job = {"--chip", "SC32F5232JV1G", "--file", bin};
    std::vector<std::string> args = {"-v", "--timeout", "3600"};
    if (oc.jobWithTheRun) args.insert(args.end(), job.begin(), job.end());
    else {
        job.push_back("download");
        ASSERT_EQ(runCli(job).code, cli::kExitOk);
    }
    // The run returns once 12 chips are counted, not at its time limit (a
    // run that waited for it would overrun the test's own limit).
    args.insert(args.end(), {"offline", "--chips", "12"});
    CliRun r = runCli(args);
    EXPECT_EQ(r.code, oc.exitCode) << r.out << r.err;
    int ok = -1, ng = -1;
    size_t at = r.out.find("Off-line production: OK ");
    ASSERT_NE(at, std::string::npos) << r.out;
    ASSERT_EQ(std::sscanf(r.out.c_str() + at, "Off-line production: OK %d, NG %d\n", &ok, &ng), 2) << r.out;
    EXPECT_GE(ok + ng, 12);
    if (oc.failEvery) EXPECT_NEAR(ng, (ok + ng) / static_cast<int>(oc.failEvery), 4);
    else EXPECT_EQ(ng, 0);
    EXPECT_NE(r.err.find("listening on 4 socket(s)"), std::string::npos) << r.err;
    for (int unit = 1; unit <= 4; ++unit) {
        int uok = 0, ung = 0;
        at = r.out.find(format("  CH%d COM%d: OK ", unit, unit));
        ASSERT_NE(at, std::string::npos) << r.out;
        ASSERT_EQ(std::sscanf(r.out.c_str() + at + 2, "CH%*d COM%*d: OK %d, NG %d", &uok, &ung), 2);
        EXPECT_GE(uok + ung, 1) << "unit " << unit << " was not counted\n" << r.out;
        EXPECT_NE(r.err.find(format("CH%d COM%d good OK", unit, unit)), std::string::npos) << r.err;
        // Each unit holds the job and is still producing: nothing the run
        // sent ended its production.
        sim_->withUnit(unit - 1, [&](SimUnit& u) {
            EXPECT_TRUE(u.job.has_value());
            EXPECT_TRUE(u.offlineRunning()) << "unit " << unit;
        });
    }
}

INSTANTIATE_TEST_SUITE_P(
    Offline, CliOffline,
    ::testing::Values(OfflineCase{"downloaded_before", true, false, 0, cli::kExitOk},
                      OfflineCase{"query_keeps_production", false, false, 0, cli::kExitOk},
                      OfflineCase{"job_with_the_run", true, true, 0, cli::kExitOk},
                      OfflineCase{"with_failures", true, true, 2, cli::kExitChannelFailed}),
    [](const ::testing::TestParamInfo<OfflineCase>& i) { return std::string(i.param.name); });

TEST_F(Cli, SavedProjectLoadsInTheProgramAndInTheFrontEnd) {
    const std::string bin = image(32 * 1024, 7);
    const std::string pmw = path("job.pmw");
    CliRun save = runCli({"-v", "--chip", "LKS32MC088K6Qx", "--file", bin, "--count-limit", "500", "save-project", pmw});
    ASSERT_EQ(save.code, cli::kExitOk) << save.out << save.err;
    EXPECT_NE(save.out.find("Created Project File : " + pmw), std::string::npos);

    {
        PlainEventLoop loop;
        ScriptedPrompts prompts;
        SystemClock clock;
        SeededRandom rng{1};
        KorvexApp app(loop, prompts, clock, rng);
        app.programFolder = dir_ + "/";
        ASSERT_TRUE(app.loadProject(pmw));
        EXPECT_EQ(app.engine.chip.chipName, "LKS32MC088K6Qx");
        EXPECT_TRUE(std::equal(data_.begin(), data_.end(), app.engine.image->ImageBuffer.begin()));
        EXPECT_EQ(app.engine.job.countLimit, 500u);
        EXPECT_TRUE(app.ui["CheckBoxCtrl"].checked());
    }
    // The front end programs a unit from it.
    CliRun run = runCli({"-v", "--project", pmw, "--sim", "1", "program"});
    EXPECT_EQ(run.code, cli::kExitOk) << run.out << run.err;
    EXPECT_NE(run.out.find("Project File Open Success!"), std::string::npos);
    EXPECT_EQ(run.out.find("[box] Project File Open Success!"), std::string::npos);  // no box for it
}

// The last frame of a run (the end of a firmware upgrade, the restart after a
// download) reaches the units although the run ends right after it.
TEST_F(Cli, LastFramesReachTheUnitsBeforeTheRunEnds) {
    startUnits(2);
    const auto fw = test::patternBytes(12 * 1024, 8);
    writeBytes(path("fw.FWR"), test::makeFirmwareFile(fw, "V2.10", 0x3C3C, 0x2000));
    for (int round = 0; round < 3; ++round) {
        CliRun up = runCli({"--firmware", path("fw.FWR"), "upgrade"});
        ASSERT_EQ(up.code, cli::kExitOk) << up.out << up.err;
        for (int u = 0; u < 2; ++u) {
            bool upgraded = false;
            sim_->withUnit(u, [&](SimUnit& unit) {
                upgraded = unit.upgraded;
                unit.upgraded = false;
            });
            EXPECT_TRUE(upgraded) << "round " << round << " unit " << u + 1;
        }
    }
    const std::string bin = image(32 * 1024, 9);
    for (int round = 0; round < 3; ++round) {
        sim_->trace().clear();
        CliRun down = runCli({"--chip", "SC32F5232JV1G", "--file", bin, "download"});
        ASSERT_EQ(down.code, cli::kExitOk) << down.out << down.err;
        sim_->trace().waitFor([](const SimTraceEvent&) { return false; }, 100);
        for (int u = 1; u <= 2; ++u) {
            size_t restarts = 0;
            for (auto& e : sim_->trace().events()) restarts += e.unit == u && e.kind == "request" && e.command == 0x8A;
            EXPECT_EQ(restarts, 1u) << "round " << round << " unit " << u;
        }
    }
}

// Runs that must not report success: each row states the exit status, what
// stderr says, and what the emulated units' chips hold afterwards.
TEST_F(Cli, RunsThatMustNotSucceed) {
    const auto image32 = test::patternBytes(32 * 1024, 11);
    auto text = [&](const std::string& name, const std::string& t) {
        writeBytes(path(name), std::vector<uint8_t>(t.begin(), t.end()));
        return path(name);
    };
    const std::string hex = hexText(image32.data(), 0, 0, 32 * 1024 - 1);
    std::string badHex = hex;  // line 5's checksum made wrong
    size_t at = 0;
    for (int i = 1; i < 5; ++i) at = badHex.find('\n', at) + 1;
    size_t eol = badHex.find('\r', at);
    badHex[eol - 1] = badHex[eol - 1] == '0' ? '1' : '0';
    const std::string srec = sRecordText(image32.data(), 0, 0, 32 * 1024 - 1);
    // 64 KB of HEX data whose first 32 KB are the image: half of it lies
    // outside the 32 KB chip.
    std::vector<uint8_t> image64 = image32;
    image64.resize(64 * 1024, 0x5A);
    const std::string hex64 = hexText(image64.data(), 0, 0, 64 * 1024 - 1);
    mkfifo(path("pipe.hex").c_str(), 0600);
    // An 8 KB binary file: at 0x4000 it lies in the 32 KB flash, at 0x7000 it
    // runs past its end, at 0x9000 it starts outside it.
    const auto bin8k = test::patternBytes(8 * 1024, 12);
    writeBytes(path("fw8k.bin"), bin8k);
    std::vector<uint8_t> at4000(32 * 1024, 0xFF);
    std::copy(bin8k.begin(), bin8k.end(), at4000.begin() + 0x4000);

    std::vector<uint8_t> at7000(32 * 1024, 0xFF);  // the first 4 KB of it, cut at the flash end
    std::copy(bin8k.begin(), bin8k.begin() + 4096, at7000.begin() + 0x7000);
    enum Chips { Untouched, Programmed, Bin8kAt4000, Bin8kAt7000 };
    struct Case {
        const char* name;
        int units;
        std::vector<std::string> args;
        int code;
        const char* err;           // in stderr
        const char* out = nullptr;  // in stdout
        std::vector<Chips> chips = {};  // per unit; empty: all untouched
        int silentUnit = -1;       // this unit (0-based) never answers
        int stallUnit = -1;        // this unit stops answering after 5 requests
        int notBlankUnit = -1;     // this unit's chip holds data already
        const char* notOut = nullptr;  // not in stdout
    };
    const std::string chip = "SC32F5232JV1G";
    const std::vector<Case> cases = {
        {"hex checksum error on line 5", 2, {"--chip", chip, "--file", text("bad.hex", badHex), "auto"}, cli::kExitUsage,
         "bad.hex line 5: checksum wrong"},
        {"the same, --skip-bad-lines", 2, {"--skip-bad-lines", "--chip", chip, "--file", path("bad.hex"), "auto"},
         cli::kExitOk, "line skipped", nullptr, {Programmed, Programmed}},
        {"json error event", 1, {"--json", "--chip", chip, "--file", path("bad.hex"), "auto"}, cli::kExitUsage,
         "line 5", "\"line\":5,\"code\":"},
        {".s37 by its extension", 1, {"--chip", chip, "--file", text("fw.s37", srec), "auto"}, cli::kExitOk, nullptr,
         nullptr, {Programmed}},
        {"S6 count record", 1, {"--chip", chip, "--file", text("fw.srec", srec + "S604000400F7\r\n"), "auto"},
         cli::kExitOk, nullptr, nullptr, {Programmed}},
        {"format not known", 1, {"--chip", chip, "--file", text("fw.txt", "hello\n"), "auto"}, cli::kExitUsage,
         "its format is not known"},
        {"empty bin", 1, {"--chip", chip, "--file", text("empty.bin", ""), "auto"}, cli::kExitUsage, "it is empty"},
        {"fifo as object file", 1, {"--chip", chip, "--file", path("pipe.hex"), "auto"}, cli::kExitUsage,
         "not a regular file (a FIFO)"},
        {"fewer units than expected", 2, {"--expect", "3", "--chip", chip, "--file", path("fw.s37"), "auto"},
         cli::kExitChannelFailed, "3 programmer unit(s) expected, 2 answered"},
        {"no unit at all", 0, {"--chip", chip, "--file", path("fw.s37"), "auto"}, cli::kExitNoUnits,
         "no programmer unit answered"},
        {"no chip chosen", 1, {"auto"}, cli::kExitUsage, "no chip chosen"},
        {"a silent unit is listed", 3, {"--chip", chip, "--file", path("fw.s37"), "auto"}, cli::kExitOk,
         "COM2: no unit answered", "| no unit answered", {Programmed, Untouched, Programmed}, 1},
        {"a silent unit, --expect 3", 3, {"--expect", "3", "--chip", chip, "--file", path("fw.s37"), "auto"},
         cli::kExitChannelFailed, "2 answered", nullptr, {}, 1},
        {"a unit that stops answering", 2, {"--chip", chip, "--file", path("fw.s37"), "auto"}, cli::kExitChannelFailed,
         nullptr, "| 芯片 2 ：操作超时！", {Programmed, Untouched}, -1, 1},
        {"offline stopping short of --chips", 1, {"--timeout", "1", "offline", "--chips", "50"},
         cli::kExitChannelFailed, "off-line production stopped after"},
        // A dry run says what would run and sends nothing but the query.
        {"--dry-run auto", 2, {"--dry-run", "--chip", chip, "--file", path("fw.s37"), "auto"}, cli::kExitOk, nullptr,
         "2   COM2          DRY-RUN    0.00  Korvex200RTQ V2.10, Unit 2 | would run auto"},
        {"--dry-run read-id", 2, {"--dry-run", "--chip", chip, "read-id"}, cli::kExitOk, nullptr,
         "| not run (read-id runs on channel 1)"},
        {"--dry-run without a file", 1, {"--dry-run", "--chip", chip, "program"}, cli::kExitUsage, "no object file loaded"},
        {"--dry-run offline with a job", 2, {"--dry-run", "--chip", chip, "--file", path("fw.s37"), "offline"},
         cli::kExitOk, nullptr, "would download the job, then count off-line production"},
        {"offline on no port at all", 0, {"offline"}, cli::kExitNoUnits,
         "no port could be opened for off-line production"},
        {"offline on emulated units without a job", 0, {"--sim", "2", "offline"}, cli::kExitUsage,
         "the emulated units of --sim hold no job"},
        {"offline whose download fails everywhere", 0,
         {"--sim", "1", "--sim-fault", "1:result:0x53:0x34", "--chip", chip, "--file", path("fw.s37"), "offline"},
         cli::kExitChannelFailed, "the job download failed on every unit"},
        {"offline whose download fails on one unit", 0,
         {"--sim", "2", "--sim-fault", "2:result:0x53:0x34", "--chip", chip, "--file", path("fw.s37"), "offline",
          "--chips", "2"},
         cli::kExitChannelFailed, "1 unit(s) did not take the job; they produced nothing"},
        // What a person would be asked is answered from the options, or the
        // run is refused naming the option; nothing is rounded or moved.
        {"--offset inside the flash", 1, {"--chip", chip, "--file", path("fw8k.bin"), "--offset", "0x4000", "auto"},
         cli::kExitOk, nullptr, nullptr, {Bin8kAt4000}},
        {"--offset outside the flash", 1, {"--chip", chip, "--file", path("fw8k.bin"), "--offset", "0x9000", "auto"},
         cli::kExitUsage, "--offset 0x9000 would put it at 0x00009000, outside the chip's flash 0x00000000-0x00007FFF"},
        {"--offset overhanging the flash", 1, {"--chip", chip, "--file", path("fw8k.bin"), "--offset", "0x7000", "auto"},
         cli::kExitUsage, "4096 of them would run past the end of the chip's flash (0x00007FFF)"},
        {"--offset between rows", 1, {"--chip", chip, "--file", path("fw8k.bin"), "--offset", "0x4008", "auto"},
         cli::kExitUsage, "a binary file starts on a multiple of 16"},
        {"a file larger than the flash", 1, {"--chip", chip, "--file", image(64 * 1024, 13, "fw64k.bin"), "auto"},
         cli::kExitUsage, "without --offset, the file puts its 65536 bytes at 0x00000000: 32768 of them"},
        {"a HEX file larger than the flash", 1, {"--chip", chip, "--file", text("fw64k.hex", hex64), "auto"},
         cli::kExitUsage, "32768 of its bytes (data at 0x00000000-0x0000FFFF) lie outside the chip's flash"},
        {"the same, --allow-outside", 1, {"-v", "--allow-outside", "--chip", chip, "--file", path("fw64k.hex"), "auto"},
         cli::kExitOk, nullptr, "已去掉", {Programmed}},
        {"a binary file past the flash end, --allow-outside", 1,
         {"--allow-outside", "--chip", chip, "--file", path("fw8k.bin"), "--offset", "0x7000", "auto"}, cli::kExitOk,
         nullptr, nullptr, {Bin8kAt7000}},
        {"read-address 1 byte", 1, {"--chip", chip, "read-address", "0x0", "1"}, cli::kExitUsage,
         "read-address LEN 1: the unit reads 16 to 4096 bytes"},
        {"read-address 16 bytes", 1, {"--chip", chip, "read-address", "0x0", "16"}, cli::kExitOk, nullptr,
         "| 操作成功！"},
        {"read-address 4096 bytes", 1, {"-v", "--chip", chip, "read-address", "0x7000", "4096"}, cli::kExitOk,
         nullptr, "0x00007FF0"},
        {"read-address 100000 bytes", 1, {"--chip", chip, "read-address", "0x0", "100000"}, cli::kExitUsage,
         "read-address LEN 100000: the unit reads 16 to 4096 bytes"},
        {"read-address off a row", 1, {"--chip", chip, "read-address", "0x13", "16"}, cli::kExitUsage,
         "read-address ADDR 0x13: the unit reads from a multiple of 16"},
        // A difference found by verifying is asked about once per byte:
        // aborted at the first, or each of the row's differences told.
        {"a verify difference, aborted", 1, {"-v", "--chip", chip, "--file", path("fw8k.bin"), "verify"},
         cli::kExitChannelFailed, nullptr, "[box] Chip 1: Buffer Address 0x00000000", {}, -1, -1, 0,
         "Buffer Address 0x00000001"},
        {"a verify difference, --on-mismatch continue", 1,
         {"-v", "--on-mismatch", "continue", "--chip", chip, "--file", path("fw8k.bin"), "verify"},
         cli::kExitChannelFailed, nullptr, "[box] Chip 1: Buffer Address 0x0000000F", {}, -1, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.units > 0) {
            startUnits(c.units, [&](SimOptions& o) {
                if (c.silentUnit >= 0) o.unit[static_cast<size_t>(c.silentUnit)].faults.push_back({SimFaultKind::Silent});
                if (c.notBlankUnit >= 0)
                    o.unit[static_cast<size_t>(c.notBlankUnit)].faults.push_back({SimFaultKind::NotBlank});
                if (c.stallUnit >= 0) {
                    SimFault f;
                    f.kind = SimFaultKind::SilentAfter;
                    f.count = 5;
                    o.unit[static_cast<size_t>(c.stallUnit)].faults.push_back(f);
                }
            });
        } else {
            sim_.reset();
            std::filesystem::create_directories(path("none"));
            setenv("KORVEX_SERIAL_DIR", path("none").c_str(), 1);
        }
        CliRun r = runCli(c.args);
        EXPECT_EQ(r.code, c.code) << r.out << r.err;
        if (c.err) EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        if (c.out) EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        if (c.notOut) EXPECT_EQ(r.out.find(c.notOut), std::string::npos) << r.out;
        for (int u = 0; u < c.units; ++u) {
            Chips want = u < static_cast<int>(c.chips.size()) ? c.chips[static_cast<size_t>(u)] : Untouched;
            std::vector<uint8_t> flash;
            bool blank = false;
            sim_->withUnit(u, [&](SimUnit& unit) {
                flash = unit.chip.flash;
                blank = unit.chip.flashBlank();
            });
            if (want == Programmed) EXPECT_TRUE(flash == image32) << "unit " << u + 1;
            else if (want == Bin8kAt4000) EXPECT_TRUE(flash == at4000) << "unit " << u + 1;
            else if (want == Bin8kAt7000) EXPECT_TRUE(flash == at7000) << "unit " << u + 1;
            else if (c.stallUnit != u && c.notBlankUnit != u) EXPECT_TRUE(blank) << "unit " << u + 1;
        }
        sim_.reset();
    }
}

// An object file that holds no data never replaces an output; the formats
// known by content or by their other names convert.
TEST_F(Cli, ConvertWritesOnlyWhatHoldsData) {
    const std::string out = path("out.s19");
    writeBytes(out, {'k', 'e', 'e', 'p'});
    const auto bytes = test::patternBytes(100, 12);
    const std::string s37 = sRecordText(bytes.data(), 0x200, 0x200, 0x263);
    writeBytes(path("in.s37"), std::vector<uint8_t>(s37.begin(), s37.end()));
    writeBytes(path("noext"), std::vector<uint8_t>(s37.begin(), s37.end()));
    writeBytes(path("empty.bin"), {});
    writeBytes(path("eof.hex"), {':', '0', '0', '0', '0', '0', '0', '0', '1', 'F', 'F', '\n'});
    writeBytes(path("over4m.bin"), std::vector<uint8_t>(0x400001, 0x11));
    struct Case {
        std::string in;
        int code;
        const char* err;
    };
    const std::vector<Case> cases = {
        {path("empty.bin"), cli::kExitUsage, "is empty"},
        {"/dev/null", cli::kExitUsage, "not a regular file"},
        {path("eof.hex"), cli::kExitUsage, "holds no data"},
        {path("over4m.bin"), cli::kExitUsage, "is 4194305 bytes: from 0x00000000 it runs past the 4 MiB image"},
        {path("in.s37"), cli::kExitOk, nullptr},
        {path("noext"), cli::kExitOk, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        writeBytes(out, {'k', 'e', 'e', 'p'});
        CliRun r = runCli({"convert", c.in, out});
        EXPECT_EQ(r.code, c.code) << r.err;
        if (c.err) {
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
            EXPECT_EQ(readBytes(out), std::vector<uint8_t>({'k', 'e', 'e', 'p'}));
        } else {
            ASSERT_EQ(runCli({"convert", out, path("back.bin")}).code, cli::kExitOk);
            EXPECT_EQ(readBytes(path("back.bin")), bytes);
        }
    }
}

// The program as a process: Ctrl+C ends a run with 130 after closing its
// ports, each channel's run recorded as interrupted; a run log that cannot
// be written makes a good run fail.
TEST_F(Cli, InterruptAndUnwrittenLogAreNotSuccess) {
    // A copy of the program in a folder of its own keeps its logs there.
    const std::string bin = path("korvex-cli");
    std::filesystem::copy_file(KORVEX_CLI_BIN, bin);
    const std::string fw = image(128 * 1024, 13);
    // The run-log folder's name taken by a file: no run log can be written.
    writeBytes(path("ZEZuLogS"), {'x'});

    test::Child run = test::spawnChild(bin, {"--sim", "2", "--sim-baud", "1000000", "--chip", "SC32F52128LF1G", "--file",
                                             fw, "auto"}, true);
    ASSERT_GT(run.pid, 0);
    // Progress into a pipe: a plain line when a step begins.
    std::string seen = test::readUntil(run.out, "CH1 COM1 program flash", 15000);
    ASSERT_NE(seen.find("CH1 COM1 program flash"), std::string::npos) << seen;
    kill(run.pid, SIGINT);
    EXPECT_EQ(test::waitExit(run.pid, 10000), cli::kExitInterrupted);
    seen += test::readUntil(run.out, "\x01", 500);
    close(run.out);
    EXPECT_NE(seen.find("korvex-cli: interrupted"), std::string::npos) << seen;
    const std::vector<ProductionRecord> cut = RecordStore(path(kRecordsFileName), true).query({});
    ASSERT_EQ(cut.size(), 2u);
    for (const ProductionRecord& rec : cut) {
        EXPECT_EQ(rec.outcome, "interrupted") << rec.channel;
        EXPECT_FALSE(rec.ok);
        EXPECT_EQ(rec.message, "Interrupted: korvex-cli was stopped by a signal");
    }

    test::Child logged = test::spawnChild(bin, {"--sim", "1", "--chip", "SC32F5232JV1G", "--file", image(4096, 14), "auto"},
                                          true);
    std::string text = test::readUntil(logged.out, "could not be written", 15000);
    EXPECT_EQ(test::waitExit(logged.pid, 10000), cli::kExitChannelFailed) << text;
    close(logged.out);
    EXPECT_NE(text.find("Main Flash数据校验成功！"), std::string::npos) << text;
    EXPECT_NE(text.find("korvex-cli: 1 log file(s) could not be written"), std::string::npos) << text;
}

// Whole runs with --json: every line validates against the published schema
// (by an independent validator), the stream opens with start and closes with
// a summary that carries the exit status, and each run kind has its events.
TEST_F(Cli, JsonStreamsOfWholeRunsFollowTheSchema) {
    const std::string chip = "SC32F5232JV1G";
    const std::string bin = image(32 * 1024, 15);
    const std::string oddName = path("fw\xFF\xFE.bin");  // not UTF-8
    writeBytes(oddName, data_);
    writeBytes(path("fw.FWR"), test::makeFirmwareFile(test::patternBytes(12 * 1024, 8), "V2.10", 0x3C3C, 0x2000));
    using Events = std::vector<nlohmann::json>;
    auto only = [](const Events& v, const char* name) {
        Events o;
        for (auto& e : v)
            if (e["event"] == name) o.push_back(e);
        return o;
    };
    // The units answer and finish in their own order: the event of a channel.
    auto ofChannel = [](const Events& v, int channel) {
        for (auto& e : v)
            if (e.contains("channel") && e["channel"] == channel) return e;
        return nlohmann::json::object();
    };
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int code;
        std::function<void(const Events&)> check;
        std::vector<std::string> before = {};  // a run that prepares the units
    };
    const std::vector<Case> cases = {
        {"auto, channel 2 failing", {"--chip", chip, "--file", bin, "auto"}, cli::kExitChannelFailed,
         [&](const Events& v) {
             const Events dev = only(v, "device"), res = only(v, "result");
             ASSERT_EQ(dev.size(), 3u);
             for (int ch = 1; ch <= 3; ++ch) EXPECT_EQ(ofChannel(dev, ch)["unit"], ch) << ch;  // one each
             const auto dev2 = ofChannel(dev, 2);
             EXPECT_EQ(dev2["port"], "COM2");
             EXPECT_EQ(dev2["model"], "Korvex200RTQ");
             EXPECT_EQ(dev2["firmware"], "V2.10");
             ASSERT_EQ(res.size(), 3u);
             for (auto& r : res) {
                 const bool failing = r["channel"] == 2;
                 EXPECT_EQ(r["ok"], !failing) << r;
                 EXPECT_EQ(r["outcome"], failing ? "failed" : "ok") << r;
             }
             const auto res2 = ofChannel(res, 2);
             EXPECT_EQ(res2["code"], 0x2C);
             EXPECT_EQ(res2["reason"], "flash-error");
             EXPECT_EQ(ofChannel(res, 1)["reason"], "ok");
             EXPECT_EQ(res2["step"], "program flash");
             EXPECT_EQ(res2["message"], "Flash Memory错误！");
             EXPECT_EQ(res2["device"], "Korvex200RTQ V2.10, Unit 2");
             EXPECT_EQ(v.back()["ok"], 2);
             EXPECT_EQ(v.back()["failed"], 1);
             EXPECT_EQ(v.front()["chip"], "SC32F5232JV1G");
             EXPECT_EQ(v.front()["ports"].size(), 3u);
             EXPECT_FALSE(only(v, "progress").empty());
         }},
        // On-line no request carries a serial number: none is claimed.
        {"serial numbers on-line", {"--chip", chip, "--file", bin, "--sn", "0x100", "--sn-advance", "auto"},
         cli::kExitChannelFailed, [&](const Events& v) { EXPECT_TRUE(only(v, "serial").empty()); }},
        {"read-id", {"--chip", chip, "read-id"}, cli::kExitOk, [&](const Events& v) {
             const Events uid = only(v, "uid");
             ASSERT_EQ(uid.size(), 1u);
             EXPECT_EQ(uid[0]["channel"], 1);
             EXPECT_EQ(uid[0]["uid"].get<std::string>().size(), 24u);
         }},
        {"off-line", {"--timeout", "20", "offline", "--chips", "4"}, cli::kExitOk,
         [&](const Events& v) {
             const Events off = only(v, "offline");
             ASSERT_GE(off.size(), 4u);
             EXPECT_EQ(off.back()["totalOk"].get<int>() + off.back()["totalNg"].get<int>(), static_cast<int>(off.size()));
             EXPECT_EQ(v.back()["offline"]["ok"], off.back()["totalOk"]);
         },
         {"--chip", chip, "--file", bin, "download"}},
        {"upgrade", {"--firmware", path("fw.FWR"), "upgrade"}, cli::kExitOk, [&](const Events& v) {
             const Events res = only(v, "result");
             ASSERT_EQ(res.size(), 3u);
             for (auto& r : res) {
                 EXPECT_EQ(r["message"], "Firmware 1 Upgrade Completed!");
                 EXPECT_EQ(r["step"], "upgrade");
             }
         }},
        {"a file name that is not UTF-8", {"--chip", chip, "--file", oddName, "program"}, cli::kExitChannelFailed,
         [&](const Events& v) {
             EXPECT_EQ(v.front()["file"], "fw\\xFF\\xFE.bin");
         }},
        // Runs that never begin are streams too: start, the error naming
        // the option, summary.
        {"an unknown option", {"--bogus", "auto"}, cli::kExitUsage, [&](const Events& v) {
             ASSERT_EQ(only(v, "error").size(), 1u);
             EXPECT_EQ(only(v, "error")[0]["message"], "unknown option --bogus (try --help)");
         }},
        {"an option without its value", {"auto", "--chip"}, cli::kExitUsage, [&](const Events& v) {
             ASSERT_EQ(only(v, "error").size(), 1u);
             EXPECT_EQ(only(v, "error")[0]["message"], "--chip needs a value");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startUnits(3, [](SimOptions& o) {
            SimFault f;
            std::string why;
            ASSERT_TRUE(parseSimFault("result:0x95:0x2C", f, why)) << why;
            o.unit[1].faults.push_back(f);
            for (auto& u : o.unit) u.chipIntervalMs = 20;
        });
        if (!c.before.empty()) ASSERT_EQ(runCli(c.before).code, cli::kExitOk);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--json");
        CliRun r = runCli(args);
        EXPECT_EQ(r.code, c.code) << r.out << r.err;
        writeBytes(path("events.jsonl"), std::vector<uint8_t>(r.out.begin(), r.out.end()));
        test::Child v = test::spawnChild("/usr/bin/python3",
                                         {KORVEX_TEST_SOURCE "/cli/validate_events.py", KORVEX_DOCS "/json-events.schema.json",
                                          path("events.jsonl")},
                                         true);
        const std::string why = test::readUntil(v.out, "\x01", 20000);
        close(v.out);
        EXPECT_EQ(test::waitExit(v.pid, 20000), 0) << why;
        const Events events = jsonLines(r.out);
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ(events.front()["event"], "start");
        EXPECT_EQ(events.back()["event"], "summary");
        EXPECT_EQ(events.back()["status"], c.code);
        c.check(events);
        sim_.reset();
    }
}

// The habits of command-line tools: option spellings, -q/-v, what goes to
// standard output and what to standard error, progress lines when standard
// error is not a terminal, an object file from standard input, --log.
TEST_F(Cli, FollowsCommandLineConventions) {
    const std::string bin = image(8 * 1024, 16);
    const std::string hex = path("fw.hex");
    ASSERT_EQ(runCli({"convert", bin, hex}).code, cli::kExitOk);
    startUnits(1);
    const std::string chip = "SC32F5232JV1G";
    struct Case {
        const char* name;
        std::vector<std::string> args;
        bool logLines, progress;  // on stdout, on stderr
    };
    const std::vector<Case> cases = {
        {"long options with =", {"--chip=" + chip, "--file=" + bin, "program"}, false, true},
        {"short options, --", {"-c", chip, "-f", bin, "--", "program"}, false, true},
        {"-q: results only", {"-q", "-c", chip, "-f", bin, "program"}, false, false},
        {"-v: the log too", {"-v", "-c", chip, "-f", bin, "program"}, true, true},
        {"stdin", {"-c", chip, "-f", "-", "program"}, false, true},
        {"--log FILE", {"--log", path("run.log"), "-c", chip, "-f", bin, "program"}, false, true},
    };
    // A run with standard input read from a file.
    auto withStdin = [](const std::string& file, const std::vector<std::string>& args) {
        const int saved = dup(STDIN_FILENO);
        const int fd = ::open(file.c_str(), O_RDONLY);
        dup2(fd, STDIN_FILENO);
        close(fd);
        CliRun r = runCli(args);
        dup2(saved, STDIN_FILENO);
        close(saved);
        return r;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CliRun r = withStdin(hex, c.args);
        EXPECT_EQ(r.code, cli::kExitOk) << r.out << r.err;
        EXPECT_NE(rowOf(r.out, 1).find(" OK "), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Channel 1: 开始编程......") != std::string::npos, c.logLines) << r.out;
        EXPECT_EQ(r.err.find("CH1 COM1 program flash ") != std::string::npos, c.progress) << r.err;
        EXPECT_EQ(r.err.find("Channel 1:"), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("CH1 COM1"), std::string::npos) << r.out;
    }
    const auto runLog = readBytes(path("run.log"));
    EXPECT_NE(std::string(runLog.begin(), runLog.end()).find("Channel 1: 编程操作成功！"), std::string::npos);

    CliRun version = runCli({"-V"});
    EXPECT_EQ(version.code, cli::kExitOk);
    EXPECT_EQ(version.out, cli::versionText());
    CliRun empty = withStdin("/dev/null", {"-c", chip, "-f", "-", "program"});
    EXPECT_EQ(empty.code, cli::kExitUsage);
    EXPECT_EQ(empty.err, "korvex-cli: standard input is empty\n");
}
