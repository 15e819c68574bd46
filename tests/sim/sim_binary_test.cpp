// The korvex-sim program: its command line, a run from start to SIGINT, and
// (on demand) its CPU use with eight paced units under load.
#include "sim/sim_options.h"
#include "child_process.h"
#include "sim_fixture.h"

#include <atomic>
#include <csignal>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kvx;
using namespace simtest;
using kvx::test::Child;
using kvx::test::readUntil;
using kvx::test::spawnChild;
using kvx::test::waitExit;

TEST(SimCommandLine, UnitPrefixesAndFaults) {
    auto cl = parseSimCommandLine({"--units", "3", "--dir", "/tmp/x", "--baud", "1000000", "--version", "2:1.07",
                                   "--version", "V2.20", "--model", "3:Other", "--fault", "2:result:0x93.0x05:0x15",
                                   "--fault", "silent-after:4", "--program-ms", "2", "--offline-fail-code", "0x2C",
                                   "--uid", "3:00112233445566778899AABB"});
    ASSERT_EQ(cl.error, "");
    const auto& o = cl.options;
    EXPECT_EQ(o.units, 3);
    EXPECT_EQ(o.baud, 1000000u);
    ASSERT_EQ(o.unit.size(), 3u);
    EXPECT_EQ(o.unit[0].version, "V2.20");
    EXPECT_EQ(o.unit[1].version, "V1.07");  // the unit's own wins, whatever the order
    EXPECT_EQ(o.unit[2].model, "Other");
    EXPECT_EQ(o.unit[0].model, "Korvex200RTQ");
    EXPECT_EQ(o.unit[1].faults.size(), 2u);
    EXPECT_EQ(o.unit[0].faults.size(), 1u);
    const SimFault* r = o.unit[1].fault(SimFaultKind::Result);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->command, 0x93);
    EXPECT_EQ(r->sub, 0x05);
    EXPECT_EQ(r->code, 0x15);
    EXPECT_EQ(o.unit[2].fault(SimFaultKind::SilentAfter)->count, 4u);
    EXPECT_EQ(o.unit[2].programMs, 2);
    EXPECT_EQ(o.unit[0].offlineFailCode, 0x2C);
    EXPECT_TRUE(o.unit[2].uidSet);
    EXPECT_EQ(o.unit[2].uid[11], 0xBB);
    EXPECT_FALSE(o.unit[0].uidSet);
}

TEST(SimCommandLine, Refusals) {
    const std::vector<std::vector<std::string>> bad = {
        {"--dir", "/tmp/x"},                                      // no units
        {"--units", "0", "--dir", "/tmp/x"},
        {"--units", "17", "--dir", "/tmp/x"},
        {"--units", "2"},                                         // no folder
        {"--units", "2", "--dir", "/tmp/x", "--fault", "3:silent"},  // no unit 3
        {"--units", "2", "--dir", "/tmp/x", "--fault", "99999999999:silent"},  // a unit past any int
        {"--units", "2", "--dir", "/tmp/x", "--version", "4294967297:1.0"},    // would wrap to unit 1
        {"--units", "2", "--dir", "/tmp/x", "--fault", "nonsense"},
        {"--units", "2", "--dir", "/tmp/x", "--fault", "hangup"},   // needs its count
        {"--units", "2", "--dir", "/tmp/x", "--fault", "result:0x93:0x100"},
        {"--units", "2", "--dir", "/tmp/x", "--uid", "1234"},
        {"--units", "2", "--dir", "/tmp/x", "--program-ms", "soon"},
        {"--units", "2", "--dir", "/tmp/x", "--bogus"},
        {"--units", "2", "--dir"},
    };
    for (const auto& args : bad) {
        auto cl = parseSimCommandLine(args);
        EXPECT_FALSE(cl.error.empty()) << args.back();
    }
    EXPECT_TRUE(parseSimCommandLine({"--help"}).help);
}

namespace {
// The parts of the options the spellings below set, in one comparable line.
std::string summary(const SimCommandLine& cl) {
    std::string s = cl.error + "|" + std::to_string(cl.options.units) + " " + cl.options.dir + " " +
                    std::to_string(cl.options.baud) + " " + cl.options.traceFile;
    for (const auto& u : cl.options.unit) {
        s += "|" + u.version + " " + u.infoText;
        for (const auto& f : u.faults)
            s += " f" + std::to_string(static_cast<int>(f.kind)) + ":" + std::to_string(f.count);
    }
    return s;
}
}  // namespace

// Every spelling of an option's value gives the same options: "--opt=value",
// "--opt value", the short forms, a value glued to a short option, "--" at the
// end, an option of the whole emulator given twice (the last counts).
TEST(SimCommandLine, SpellingsOfOneCommandLine) {
    const std::vector<std::string> plain = {"--units", "3", "--dir", "/tmp/x", "--baud", "9600", "--trace", "/tmp/t",
                                            "--version", "2:1.07", "--fault", "3:hangup:4", "--info-text", "-odd-"};
    const SimCommandLine want = parseSimCommandLine(plain);
    ASSERT_EQ(want.error, "");
    ASSERT_FALSE(want.version);
    ASSERT_EQ(want.options.unit.at(1).version, "V1.07");
    const std::vector<std::vector<std::string>> spellings = {
        {"--units=3", "--dir=/tmp/x", "--baud=9600", "--trace=/tmp/t", "--version=2:1.07", "--fault=3:hangup:4",
         "--info-text=-odd-"},
        {"-u", "3", "-d", "/tmp/x", "--baud", "9600", "--trace", "/tmp/t", "--version", "2:1.07", "--fault",
         "3:hangup:4", "--info-text", "-odd-", "--"},
        {"-u", "5", "-u3", "-d/tmp/x", "--fault", "3:hangup:4", "--info-text", "-odd-", "--version", "2:1.07",
         "--baud=9600", "--trace", "/tmp/t"},
    };
    for (const auto& args : spellings) {
        auto cl = parseSimCommandLine(args);
        EXPECT_EQ(summary(cl), summary(want)) << args[0];
        EXPECT_FALSE(cl.version || cl.help) << args[0];
    }
}

// The messages of refusals the option table itself makes (one line each,
// naming the argument), "--" ending the options, and the program's version.
TEST(SimCommandLine, MessagesAndVersion) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> errors = {
        {{"-u", "2", "-d", "/tmp/x", "--bogus"}, "unknown option \"--bogus\""},
        {{"-u", "2", "-d", "/tmp/x", "--bogus=1"}, "unknown option \"--bogus=1\""},
        {{"-u", "2", "-d", "/tmp/x", "stray"}, "unexpected argument \"stray\""},
        {{"-u", "2", "--", "-d", "/tmp/x"}, "unexpected argument \"-d\""},
        {{"-d", "/tmp/x", "-u"}, "--units needs a value"},
        {{"-u", "2", "--dir"}, "--dir needs a value"},
    };
    for (const auto& [args, message] : errors) {
        auto cl = parseSimCommandLine(args);
        EXPECT_EQ(cl.error, message) << args.back();
        EXPECT_FALSE(cl.version);
    }
    // --version without a value asks for the program's version, before the
    // required options are looked at; with a value it is the firmware version.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-V"}, {"--version"},
                                                 {"--units", "2", "--version"}, {"--version", "-u", "2"}}) {
        auto cl = parseSimCommandLine(args);
        EXPECT_TRUE(cl.version) << args.back();
        EXPECT_EQ(cl.error, "") << args.back();
    }
}

namespace {
Child spawnSim(const std::vector<std::string>& args, bool withStderr = false) {
    return spawnChild(KORVEX_SIM_BIN, args, withStderr);
}
}  // namespace

TEST(SimProgram, ServesUntilSigintAndRemovesItsSymlinks) {
    std::string dir = freshDir() + "/ports";  // created by the program
    Child c = spawnSim({"--units", "3", "--dir", dir, "--version", "2:V1.50"});
    ASSERT_GT(c.pid, 0);
    std::string out = readUntil(c.out, "ready\n", 5000);
    ASSERT_NE(out.find("ready"), std::string::npos) << out;
    for (int i = 1; i <= 3; ++i) EXPECT_TRUE(std::filesystem::is_symlink(dir + "/COM" + std::to_string(i)));
    {
        TestPort port(dir + "/COM2", true);
        ASSERT_TRUE(port.ok());
        auto r = port.transact(deviceQuery());
        ASSERT_TRUE(r);
        std::string text(r->begin() + 28, r->end() - 3);
        EXPECT_EQ(text, "Korvex200RTQ V1.50, Unit 2");
    }
    kill(c.pid, SIGINT);
    EXPECT_EQ(waitExit(c.pid, 5000), 0);
    close(c.out);
    for (int i = 1; i <= 3; ++i) EXPECT_FALSE(std::filesystem::exists(dir + "/COM" + std::to_string(i)));
    std::filesystem::remove_all(std::filesystem::path(dir).parent_path());
}

TEST(SimProgram, HelpNamesEveryOptionAndBadArgumentsFail) {
    Child c = spawnSim({"--help"});
    std::string out = readUntil(c.out, "\nOff-line:", 5000);
    out += readUntil(c.out, "\x01", 300);
    EXPECT_EQ(waitExit(c.pid, 5000), 0);
    close(c.out);
    for (const char* opt : {"--units", "--dir", "--baud", "--trace", "--model", "--version", "--info-text",
                            "--upgrade-version", "--uid", "--program-ms", "--erase-ms", "--chip-interval-ms",
                            "--offline-chips", "--offline-fail-every", "--offline-fail-code", "--fault", "silent",
                            "silent-after", "bad-crc", "result:", "wprotect", "rprotect", "notblank", "hangup",
                            "garbage", "split", "flood", "bit-errors"})
        EXPECT_NE(out.find(opt), std::string::npos) << opt;
    Child bad = spawnSim({"--units", "99", "--dir", "/tmp"}, true);
    EXPECT_EQ(readUntil(bad.out, "help.\n", 5000), "korvex-sim: --units takes 1 .. 16\nTry korvex-sim --help.\n");
    EXPECT_EQ(waitExit(bad.pid, 5000), 2);
    close(bad.out);
    Child version = spawnSim({"-V"});
    EXPECT_EQ(readUntil(version.out, "\n", 5000), std::string("korvex-sim ") + KORVEX_VERSION + "\n");
    EXPECT_EQ(waitExit(version.pid, 5000), 0);
    close(version.out);
}

namespace {
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(s.substr(s.rfind(')') + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::stol(f);
        if (i == 15) stime = std::stol(f);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}
}  // namespace

// Measurement, not a check: run with --gtest_also_run_disabled_tests.
TEST(SimProgram, DISABLED_CpuAtEightPacedUnitsUnderLoad) {
    std::string dir = freshDir();
    Child c = spawnSim({"--units", "8", "--dir", dir, "--baud", "1000000"});
    ASSERT_NE(readUntil(c.out, "ready\n", 5000).find("ready"), std::string::npos);
    std::atomic<bool> stop{false};
    std::atomic<long> bytes{0};
    std::vector<std::thread> hosts;
    for (int i = 1; i <= 8; ++i) {
        hosts.emplace_back([&, i] {
            TestPort port(dir + "/COM" + std::to_string(i));
            TestChip chip;
            Bytes data = pattern(4096, static_cast<uint32_t>(i));
            for (uint16_t kb = 0; !stop; kb = static_cast<uint16_t>((kb + 4) % 64)) {
                Bytes req = (kb / 4) % 2 ? flashRead(kb, chip) : flashProgram(kb, chip, data);
                auto r = port.transact(req);
                if (r) bytes += static_cast<long>(req.size() + r->size());
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double cpu0 = cpuSeconds(c.pid);
    long b0 = bytes;
    auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    double cpu = cpuSeconds(c.pid) - cpu0;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    long moved = bytes - b0;
    stop = true;
    for (auto& t : hosts) t.join();
    kill(c.pid, SIGINT);
    waitExit(c.pid, 5000);
    close(c.out);
    std::filesystem::remove_all(dir);
    std::printf("8 paced units: %.1f %% of one core, %.0f bytes/s per unit on the wire\n", 100 * cpu / wall,
                static_cast<double>(moved) / wall / 8);
}
