// The line side of the emulated units: faults, opening and reopening the port
// the way the host does, pacing at the real line rate, and the trace.
#include "sim_fixture.h"

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace kvx;
using namespace simtest;

namespace {

SimFault fault(const std::string& text) {
    SimFault f;
    std::string err;
    EXPECT_TRUE(parseSimFault(text, f, err)) << err;
    return f;
}

}  // namespace

class SimFaults : public SimFixture {
protected:
    std::unique_ptr<TestPort> startWith(const std::string& faultText) {
        startSim(1, [&](SimOptions& o) { o.unit[0].faults.push_back(fault(faultText)); });
        auto p = open();
        EXPECT_TRUE(p->ok());
        return p;
    }
    std::optional<uint8_t> result(TestPort& port, const Bytes& req, int timeoutMs = 1000) {
        auto r = port.transact(req, timeoutMs);
        if (!r) return std::nullopt;
        return resultOf(*r);
    }
};

TEST_F(SimFaults, SilentUnitsAnswerNothing) {
    auto port = startWith("silent");
    EXPECT_FALSE(port->transact(deviceQuery(), 250).has_value());
    server->stop();
    server.reset();

    port = startWith("silent-after:2");
    EXPECT_TRUE(port->transact(deviceQuery()).has_value());
    EXPECT_TRUE(port->transact(chipCommand(0x05, TestChip{})).has_value());
    EXPECT_FALSE(port->transact(deviceQuery(), 250).has_value());
    auto ev = server->trace().events();
    EXPECT_EQ(ev.back().note, "not answered (silent)");
}

TEST_F(SimFaults, WrongCheckCodeFromTheKthRequest) {
    auto port = startWith("bad-crc:3");
    TestChip c;
    EXPECT_EQ(result(*port, chipCommand(0x05, c)), 0x00);
    EXPECT_EQ(result(*port, chipCommand(0x05, c)), 0x00);
    EXPECT_EQ(result(*port, chipCommand(0x05, c)), 0x23);
    EXPECT_EQ(result(*port, flashRead(0, c)), 0x23);
}

TEST_F(SimFaults, ChosenResultCodes) {
    startSim(1, [&](SimOptions& o) {
        o.unit[0].faults.push_back(fault("result:0x93.0x03:0x40"));
        o.unit[0].faults.push_back(fault("result:0x95.8:0x2C"));
        o.unit[0].faults.push_back(fault("result:0x9B:0x45"));
    });
    auto port = open();
    TestChip c;
    Bytes d(4096, 0);
    EXPECT_EQ(result(*port, chipCommand(0x03, c)), 0x40);
    EXPECT_EQ(result(*port, chipCommand(0x05, c)), 0x00);
    EXPECT_EQ(result(*port, flashProgram(4, c, d)), 0x00);
    EXPECT_EQ(result(*port, flashProgram(8, c, d)), 0x2C);
    EXPECT_EQ(result(*port, flashRead(0, c)), 0x45);
}

TEST_F(SimFaults, ProtectedAndNonBlankChips) {
    struct Case {
        const char* fault;
        uint8_t blank;      // first blank check
        uint8_t read;       // flash read: 0x00 data, else the result code
    };
    const Case cases[] = {{"wprotect", 0x10, 0x00}, {"rprotect", 0x13, 0x13}, {"notblank", 0x15, 0x00}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        auto port = startWith(c.fault);
        TestChip chip;
        EXPECT_EQ(result(*port, chipCommand(0x05, chip)), c.blank);
        auto r = port->transact(flashRead(0, chip));
        ASSERT_TRUE(r);
        EXPECT_EQ(resultOf(*r), c.read);
        if (c.read == 0 && std::string(c.fault) == "notblank") {
            EXPECT_NE(payloadOf(*r), Bytes(4096, 0xFF));
        }
        // Erasing makes every one of them a blank, writable chip.
        EXPECT_EQ(result(*port, chipCommand(0x03, chip)), 0x00);
        EXPECT_EQ(result(*port, chipCommand(0x05, chip)), 0x00);
        EXPECT_EQ(result(*port, flashProgram(0, chip, Bytes(4096, 0x11))), 0x00);
        server->stop();
        server.reset();
        std::filesystem::remove_all(dir);
    }
}

TEST_F(SimFaults, HangUpAfterTwoRequestsOrAtTheFirst) {
    auto port = startWith("hangup:2");
    EXPECT_TRUE(port->transact(deviceQuery()).has_value());
    EXPECT_TRUE(port->transact(deviceQuery()).has_value());
    // The line goes away: the port reports end of file or an error.
    Bytes rest;
    long r = 0;
    for (int i = 0; i < 50 && r >= 0; ++i) r = port->readOnce(rest, 20);
    EXPECT_LT(r, 0);
    EXPECT_TRUE(server->hungUp(0));
    server->stop();
    server.reset();
    std::filesystem::remove_all(dir);

    // After no answer at all: the first request goes unanswered.
    port = startWith("hangup:0");
    EXPECT_FALSE(port->transact(deviceQuery(), 250).has_value());
    r = 0;
    for (int i = 0; i < 50 && r >= 0; ++i) r = port->readOnce(rest, 20);
    EXPECT_LT(r, 0);
    EXPECT_TRUE(server->hungUp(0));
    size_t replies = 0, unanswered = 0;
    for (const auto& e : server->trace().events()) {
        replies += e.kind == "reply";
        unanswered += e.kind == "request" && e.note == "not answered (hanging up)";
    }
    EXPECT_EQ(replies, 0u);
    EXPECT_EQ(unanswered, 1u);
}

TEST_F(SimFaults, GarbageAndFloodBeforeReplies) {
    for (const char* f : {"garbage:20", "flood"}) {
        SCOPED_TRACE(f);
        auto port = startWith(f);
        port->send(deviceQuery());
        Bytes raw = port->drain(100);
        size_t flag = std::find(raw.begin(), raw.end(), kFlag) - raw.begin();
        EXPECT_EQ(flag, std::string(f) == "flood" ? 20000u : 20u);
        EXPECT_EQ(std::count(raw.begin(), raw.begin() + static_cast<long>(flag), 0xFF) < static_cast<long>(flag), true);
        // The reply itself follows intact.
        port->pending() = raw;
        auto info = port->frame(100);
        ASSERT_TRUE(info);
        EXPECT_EQ((*info)[0], 0xA3);
        server->stop();
        server.reset();
        std::filesystem::remove_all(dir);
    }
}

TEST_F(SimFaults, BitErrorsFromTheKthRequestAreRepeatable) {
    // The third reply as it comes off the line: clean, then twice with two
    // bits flipped from the third request on.
    std::vector<Bytes> third;
    for (const char* f : {"", "bit-errors:3:2", "bit-errors:3:2"}) {
        SCOPED_TRACE(f);
        startSim(1, [&](SimOptions& o) {
            if (*f) o.unit[0].faults.push_back(fault(f));
        });
        auto port = open();
        TestChip c;
        EXPECT_EQ(result(*port, chipCommand(0x05, c)), 0x00);
        EXPECT_EQ(result(*port, chipCommand(0x05, c)), 0x00);
        port->send(chipCommand(0x05, c));
        third.push_back(port->drain(100));
        server->stop();
        server.reset();
        std::filesystem::remove_all(dir);
    }
    ASSERT_EQ(third[0].size(), third[1].size());
    EXPECT_EQ(third[1], third[2]);
    int flipped = 0;
    for (size_t i = 0; i < third[0].size(); ++i) flipped += __builtin_popcount(third[0][i] ^ third[1][i]);
    EXPECT_EQ(flipped, 2);
    // The padding behind the closing flag is left alone.
    EXPECT_TRUE(std::equal(third[0].end() - static_cast<long>(kPaddingBytes), third[0].end(),
                           third[1].end() - static_cast<long>(kPaddingBytes)));

    SimFault f;
    std::string err;
    EXPECT_TRUE(parseSimFault("bit-errors", f, err));
    EXPECT_EQ(f.kind, SimFaultKind::BitErrors);
    EXPECT_EQ(f.count, 1u);
    EXPECT_EQ(f.bits, 1u);
    EXPECT_FALSE(parseSimFault("bit-errors:0", f, err));
    EXPECT_FALSE(parseSimFault("bit-errors:2:65", f, err));
    EXPECT_FALSE(parseSimFault("bit-errors:2:1:1", f, err));
}

TEST_F(SimFaults, RepliesSplitIntoSmallWrites) {
    auto port = startWith("split:16");
    auto r = port->transact(flashRead(0, TestChip{}), 3000);
    ASSERT_TRUE(r);
    EXPECT_EQ(resultOf(*r), 0x00);
    EXPECT_EQ(payloadLength(*r), 4096);
    // 4 KB in pieces of 16 bytes half a millisecond apart: many separate reads.
    EXPECT_GT(port->reads(), 40u);
}

class SimLine : public SimFixture {};

TEST_F(SimLine, HostOpensClosesAndReopensExclusively) {
    startSim(1);
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        TestPort port(server->portPath(0), true);
        ASSERT_TRUE(port.ok()) << std::strerror(port.error());
        // A second exclusive opener is refused while the host holds it.
        TestPort other(server->portPath(0), true);
        EXPECT_FALSE(other.ok());
        auto r = port.transact(deviceQuery());
        ASSERT_TRUE(r) << traceText();
        EXPECT_EQ((*r)[0], 0xA3);
    }
}

TEST_F(SimLine, AnUnprivilegedHostCanReopenAfterExclusiveUse) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
    startSim(1);
    std::string dev = server->devicePath(0);
    ASSERT_EQ(chmod(dev.c_str(), 0666), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Child: no allocation, only system calls.
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        for (int i = 0; i < 5; ++i) {
            int fd = ::open(dev.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (fd < 0) _exit(20 + i);
            if (ioctl(fd, TIOCEXCL) != 0) _exit(30);
            termios t;
            tcgetattr(fd, &t);
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
            if (::write(fd, kDeviceQuery, sizeof kDeviceQuery) != sizeof kDeviceQuery) _exit(40);
            uint8_t buf[256];
            size_t got = 0;
            bool seen = false;
            for (int k = 0; k < 100 && !seen; ++k) {
                pollfd pf{fd, POLLIN, 0};
                if (poll(&pf, 1, 20) > 0) {
                    ssize_t n = ::read(fd, buf, sizeof buf);
                    for (ssize_t j = 0; j + 1 < n; ++j) seen = seen || (buf[j] == 0xC0 && buf[j + 1] == 0xA3);
                    got += n > 0 ? static_cast<size_t>(n) : 0;
                }
            }
            if (!seen) _exit(50 + i);
            ::close(fd);
            usleep(30000);  // the unit notices the close before the next open
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(SimLine, PacedAtTheLineRate) {
    startSim(1, [](SimOptions& o) { o.baud = 1000000; });
    auto port = open();
    const double rate = 1000000.0 / 11;
    ASSERT_DOUBLE_EQ(server->lineRate(), rate);
    TestChip c;
    Bytes data = pattern(4096, 17);
    ASSERT_TRUE(port->transact(chipCommand(0x03, c)));  // chip in place
    using Clock = std::chrono::steady_clock;
    auto secs = [](Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); };
    auto wireUpToFlag = [](const Bytes& f) { return static_cast<double>(encodedLength(f.data(), f.size()) - 5); };

    // Receiving: two program requests (8 KB) written at once are taken in at
    // the line rate; the second reply follows the second request.
    Bytes req = flashProgram(0, c, data);
    Bytes req2 = flashProgram(4, c, data);
    Bytes both = req;
    both.insert(both.end(), req2.begin(), req2.end());
    auto t0 = Clock::now();
    port->send(both);
    auto r1 = port->frame();
    auto r2 = port->frame();
    double rxTook = secs(t0, Clock::now());
    ASSERT_TRUE(r1 && r2);
    double rxExpect = (static_cast<double>(both.size()) + wireUpToFlag(*r2)) / rate;

    // Sending: two read requests at once; their 4 KB replies follow each other
    // on the line, timed from the first byte that arrives.
    Bytes reads = flashRead(0, c);
    Bytes read2 = flashRead(4, c);
    reads.insert(reads.end(), read2.begin(), read2.end());
    port->send(reads);
    Bytes first;
    while (first.empty() && port->readOnce(first, 1000) >= 0) {
    }
    auto t1 = Clock::now();
    double firstChunk = static_cast<double>(first.size());
    port->pending() = first;
    auto d1 = port->frame();
    auto d2 = port->frame();
    double txTook = secs(t1, Clock::now());
    ASSERT_TRUE(d1 && d2);
    EXPECT_EQ(payloadOf(*d1), data);
    double txExpect = (wireUpToFlag(*d1) + 5 + wireUpToFlag(*d2) - firstChunk) / rate;

    std::printf("paced receive: %.1f ms, line time %.1f ms (%+.2f %%); send: %.1f ms, line time %.1f ms (%+.2f %%)\n",
                rxTook * 1000, rxExpect * 1000, 100 * (rxTook - rxExpect) / rxExpect, txTook * 1000, txExpect * 1000,
                100 * (txTook - txExpect) / txExpect);
    // The line never carries more than its rate: neither direction is
    // faster than the line time (less a bit for the clock's granularity).
    // How close to it the emulator keeps is printed, not checked.
    EXPECT_GE(rxTook, 0.98 * rxExpect);
    EXPECT_GE(txTook, 0.98 * txExpect);
}

TEST_F(SimLine, TraceFileHoldsOneJsonLinePerEvent) {
    std::string file;
    startSim(1, [&](SimOptions& o) {
        file = o.dir + "/trace.jsonl";
        o.traceFile = file;
    });
    auto port = open();
    ASSERT_TRUE(port->transact(deviceQuery()));
    Bytes f = frame(0x93, 0x05, paramBlock(TestChip{}));
    f[9] ^= 0x40;
    ASSERT_TRUE(port->transact(wire(f)));
    ASSERT_TRUE(port->transact(jobDownload(jobBlock(TestJob{}))));
    server->stop();
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    auto has = [&](const std::string& s) {
        return std::any_of(lines.begin(), lines.end(), [&](auto& l) { return l.find(s) != std::string::npos; });
    };
    EXPECT_TRUE(has("\"kind\":\"request\",\"frame\":3,\"wire\":5,\"note\":\"device query\""));
    EXPECT_TRUE(has("\"cmd\":\"0x93\",\"param\":\"0x0005\",\"payload\":64,\"frame\":74,\"wire\":"));
    EXPECT_TRUE(has("\"crcOk\":false"));
    EXPECT_TRUE(has("\"cmd\":\"0x53\",\"param\":\"0x0000\",\"payload\":1024,\"frame\":1034"));
    EXPECT_TRUE(has("\"jobOk\":true"));
    for (const auto& l : lines) {
        EXPECT_EQ(l.front(), '{');
        EXPECT_EQ(l.back(), '}');
        EXPECT_NE(l.find("\"unit\":1"), std::string::npos);
    }
}

TEST_F(SimLine, ProgrammingAndEraseTakeTheirTime) {
    startSim(1, [](SimOptions& o) {
        o.unit[0].programMs = 40;
        o.unit[0].eraseMs = 60;
    });
    auto port = open();
    TestChip c;
    using Clock = std::chrono::steady_clock;
    auto timed = [&](const Bytes& req) {
        auto t0 = Clock::now();
        auto r = port->transact(req);
        EXPECT_TRUE(r && resultOf(*r) == 0x00);
        return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    };
    double erase = timed(chipCommand(0x03, c));
    double program = timed(flashProgram(0, c, Bytes(4096, 0)));
    timed(flashRead(0, c));
    EXPECT_GE(erase, 60);
    EXPECT_GE(program, 40);
}

TEST_F(SimLine, StopRemovesTheLinksAndAFailedStartLeavesNothing) {
    startSim(2);
    std::string com1 = server->portPath(0), com2 = server->portPath(1);
    EXPECT_EQ(std::filesystem::read_symlink(com2).string(), server->devicePath(1));
    server->stop();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(com1)));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(com2)));

    // A file of another kind where COM2 belongs: refused, COM1 not left behind.
    { std::ofstream(dir + "/COM2") << "not a port"; }
    SimOptions o;
    o.units = 3;
    o.dir = dir;
    SimServer other(o);
    EXPECT_THROW(other.start(), std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir + "/COM1")));
    EXPECT_TRUE(std::filesystem::is_regular_file(dir + "/COM2"));
    EXPECT_FALSE(other.running());
}
