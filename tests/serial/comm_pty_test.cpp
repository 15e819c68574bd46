// TComm against real kernel pseudo-terminals: the test plays the programmer
// unit on the master side, the port opens the slave through a port folder.
#include "serial/comm.h"
#include "serial/line_rate.h"

#include "pty_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <sys/file.h>

#include <memory>

using namespace kvx;
using namespace kvx::testing;

namespace {

class CommPty : public ::testing::Test {
protected:
    void SetUp() override { dir.link("COM1", pty.slavePath); }

    // A channel port on COM1 whose events are recorded.
    std::unique_ptr<TComm> makePort(const std::string& name = "COM1", int channel = 1) {
        auto p = std::make_unique<TComm>(loop);
        p->setCommName(name);
        configureAsChannelPort(*p, channel);
        p->OnReceiveData = [this](TComm&, const uint8_t* b, uint16_t n) {
            blockSizes.push_back(n);
            received.insert(received.end(), b, b + n);
        };
        p->OnRequestHangup = [this](TComm&) { ++hangups; };
        p->OnSendDataEmpty = [this](TComm&) { ++sendEmpties; };
        return p;
    }
    static std::string openError(TComm& p) {
        try {
            p.OpenPort();
        } catch (const ECommsError& e) {
            return e.what();
        }
        return "";
    }
    bool receiveAtLeast(size_t n, int timeoutMs = 20000) {
        return loop.runUntil([&] { return received.size() >= n; }, timeoutMs);
    }
    // Both directions work: a few bytes out to the master and back in.
    void expectRoundTrip(TComm& p, unsigned seed) {
        Bytes out = pattern(300, seed);
        ASSERT_TRUE(p.SendData(out.data(), static_cast<uint16_t>(out.size())));
        EXPECT_EQ(pty.read(out.size(), 20000), out);
        received.clear();
        Bytes in = pattern(200, seed + 1);
        ASSERT_TRUE(pty.write(in));
        ASSERT_TRUE(receiveAtLeast(in.size()));
        EXPECT_EQ(received, in);
    }

    CountingLoop loop;
    PortDir dir;
    Pty pty;
    Bytes received;
    std::vector<uint16_t> blockSizes;
    int hangups = 0;
    int sendEmpties = 0;
};

TEST(CommProperties, NewComponentDefaultsAndTheChannelPorts) {
    PlainEventLoop loop;
    TComm fresh(loop), ch2(loop), ch7(loop);
    configureAsChannelPort(ch2, 2);
    configureAsChannelPort(ch7, 7);
    struct Row {
        const char* name;
        std::function<std::string(const TComm&)> get;
        std::string fresh, channel;
    };
    auto num = [](auto v) { return std::to_string(static_cast<long long>(v)); };
    const Row rows[] = {
        {"CommName", [](const TComm& p) { return p.CommName(); }, "COM2", "COM2"},
        {"BaudRate", [&](const TComm& p) { return num(p.BaudRate()); }, "9600", "1000000"},
        {"ParityCheck", [&](const TComm& p) { return num(p.ParityCheck()); }, "0", "0"},
        {"Outx_CtsFlow", [&](const TComm& p) { return num(p.Outx_CtsFlow()); }, "0", "0"},
        {"Outx_DsrFlow", [&](const TComm& p) { return num(p.Outx_DsrFlow()); }, "0", "0"},
        {"DtrControl", [&](const TComm& p) { return num(p.DtrControl()); }, num(DtrControl::DtrEnable), num(DtrControl::DtrDisable)},
        {"DsrSensitivity", [&](const TComm& p) { return num(p.DsrSensitivity()); }, "0", "0"},
        {"TxContinueOnXoff", [&](const TComm& p) { return num(p.TxContinueOnXoff()); }, "1", "0"},
        {"Outx_XonXoffFlow", [&](const TComm& p) { return num(p.Outx_XonXoffFlow()); }, "1", "0"},
        {"Inx_XonXoffFlow", [&](const TComm& p) { return num(p.Inx_XonXoffFlow()); }, "1", "0"},
        {"ReplaceWhenParityError", [&](const TComm& p) { return num(p.ReplaceWhenParityError()); }, "0", "0"},
        {"IgnoreNullChar", [&](const TComm& p) { return num(p.IgnoreNullChar()); }, "0", "0"},
        {"RtsControl", [&](const TComm& p) { return num(p.RtsControl()); }, num(RtsControl::RtsEnable), num(RtsControl::RtsDisable)},
        {"XonLimit", [&](const TComm& p) { return num(p.XonLimit()); }, "500", "500"},
        {"XoffLimit", [&](const TComm& p) { return num(p.XoffLimit()); }, "500", "500"},
        {"ByteSize", [&](const TComm& p) { return num(p.ByteSize()); }, num(ByteSize::_8), num(ByteSize::_8)},
        {"Parity", [&](const TComm& p) { return num(p.Parity()); }, num(Parity::None), num(Parity::None)},
        {"StopBits", [&](const TComm& p) { return num(p.StopBits()); }, num(StopBits::_1), num(StopBits::_2)},
        {"XonChar", [&](const TComm& p) { return num(p.XonChar()); }, "17", "17"},
        {"XoffChar", [&](const TComm& p) { return num(p.XoffChar()); }, "19", "19"},
        {"ReplacedChar", [&](const TComm& p) { return num(p.ReplacedChar()); }, "0", "0"},
        {"ReadTotalTimeoutMultiplier", [&](const TComm& p) { return num(p.ReadTotalTimeoutMultiplier()); }, "0", "0"},
        {"ReadTotalTimeoutConstant", [&](const TComm& p) { return num(p.ReadTotalTimeoutConstant()); }, "0", "0"},
        {"WriteTotalTimeoutMultiplier", [&](const TComm& p) { return num(p.WriteTotalTimeoutMultiplier()); }, "0", "0"},
        {"WriteTotalTimeoutConstant", [&](const TComm& p) { return num(p.WriteTotalTimeoutConstant()); }, "0", "0"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.get(fresh), r.fresh);
        EXPECT_EQ(r.get(ch2), r.channel);
        EXPECT_EQ(r.get(ch7), r.channel);
    }
    // The read interval: 100 on a new component, 5 on ports 1-4, 3 on ports 5-8.
    EXPECT_EQ(fresh.ReadIntervalTimeout(), 100u);
    for (int ch = 1; ch <= 8; ++ch) {
        TComm p(loop);
        configureAsChannelPort(p, ch);
        EXPECT_EQ(p.ReadIntervalTimeout(), ch <= 4 ? 5u : 3u) << "port " << ch;
    }
}

TEST_F(CommPty, OpenCloseReopenAndTheLockIsReleased) {
    auto p = makePort();
    EXPECT_FALSE(p->isOpen());
    p->ClosePort();  // closed: nothing happens
    p->OpenPort();
    EXPECT_TRUE(p->isOpen());
    expectRoundTrip(*p, 1);
    p->ClosePort();
    EXPECT_FALSE(p->isOpen());
    p->ClosePort();
    p->OpenPort();
    expectRoundTrip(*p, 2);
    p->ClosePort();
    // Once closed, another component may take the port.
    auto other = makePort();
    EXPECT_EQ(openError(*other), "");
    expectRoundTrip(*other, 3);
}

TEST_F(CommPty, OpenFailuresGiveTheirMessagesAndLeaveThePortClosed) {
    dir.file("COM7");
    dir.link("COM5", "/nonexistent/pts/77");
    struct Case {
        const char* what;
        std::string name;
        std::function<void()> before, after;
        std::string message;
    };
    std::unique_ptr<TComm> holder;
    int lockFd = -1;
    const Case cases[] = {
        {"missing name", "COM99", {}, {}, "Error opening serial port:COM99"},
        {"dangling link", "COM5", {}, {}, "Error opening serial port:COM5"},
        {"regular file", "COM7", {}, {}, "File handle is not a comm handle "},
        {"held by another TComm", "COM1",
         [&] {
             holder = makePort();
             holder->OpenPort();
         },
         [&] { holder.reset(); }, "Error opening serial port:COM1"},
        {"held by another program's lock", "COM1",
         [&] {
             lockFd = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
             ASSERT_EQ(flock(lockFd, LOCK_EX | LOCK_NB), 0);
         },
         [&] { ::close(lockFd); }, "Error opening serial port:COM1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.before) c.before();
        auto p = makePort(c.name);
        EXPECT_EQ(openError(*p), c.message);
        EXPECT_FALSE(p->isOpen());
        const uint8_t b = 0x55;
        EXPECT_FALSE(p->SendData(&b, 1));
        if (c.after) c.after();
        // The failed attempt left nothing behind: the port opens now.
        if (c.name == "COM1") {
            EXPECT_EQ(openError(*p), "");
            expectRoundTrip(*p, 4);
        }
    }
}

TEST_F(CommPty, OpeningAnOpenPortFailsAndLeavesItWorking) {
    auto p = makePort();
    p->OpenPort();
    EXPECT_EQ(openError(*p), "This serial port already opened");
    EXPECT_TRUE(p->isOpen());
    expectRoundTrip(*p, 5);
}

TEST_F(CommPty, SendDataRefusesNothingToSendAndAClosedPort) {
    auto p = makePort();
    const uint8_t b[] = {1, 2, 3};
    EXPECT_FALSE(p->SendData(b, 3));  // never opened
    p->OpenPort();
    EXPECT_FALSE(p->SendData(b, 0));
    EXPECT_TRUE(p->sendEmpty());
    p->ClosePort();
    EXPECT_FALSE(p->SendData(b, 3));
    EXPECT_TRUE(pty.drain(50).empty());
}

TEST_F(CommPty, ManySendsArriveInCallOrderAndComplete) {
    auto p = makePort();
    p->OpenPort();
    ASSERT_TRUE(loop.runUntil([&] { return sendEmpties == 1; }, 20000));  // the first empty queue
    Bytes expected;
    for (unsigned i = 0; i < 300; ++i) {
        Bytes block = pattern(1 + (i * 37) % 700, i);
        expected.insert(expected.end(), block.begin(), block.end());
        ASSERT_TRUE(p->SendData(block.data(), static_cast<uint16_t>(block.size())));
    }
    EXPECT_EQ(pty.read(expected.size(), 20000), expected);
    EXPECT_TRUE(loop.runUntil([&] { return p->sendEmpty() && sendEmpties >= 2; }, 20000));
    EXPECT_TRUE(pty.drain(20).empty());
}

TEST_F(CommPty, LargeBlocksCrossBothWaysUnchanged) {
    auto p = makePort();
    p->OpenPort();
    for (size_t size : {size_t{1}, size_t{2048}, size_t{2049}, size_t{4106}, size_t{8347}}) {
        SCOPED_TRACE(size);
        Bytes out = pattern(size, static_cast<unsigned>(size));
        ASSERT_TRUE(p->SendData(out.data(), static_cast<uint16_t>(out.size())));
        EXPECT_EQ(pty.read(size, 20000), out);

        received.clear();
        blockSizes.clear();
        Bytes in = pattern(size, static_cast<unsigned>(size) + 3);
        ASSERT_TRUE(pty.write(in));
        ASSERT_TRUE(receiveAtLeast(size, 3000));
        EXPECT_EQ(received, in);
        for (uint16_t n : blockSizes) {
            EXPECT_GE(n, 1);
            EXPECT_LE(n, 2048);
        }
    }
}

// A logic thread that does not take what comes in (held by a box, or slower
// than the line) makes the port stop reading after a few MiB, leaving the
// rest with the sender; once it takes again every byte arrives in order.
TEST_F(CommPty, AReceiverThatFallsBehindHoldsBoundedMemoryAndLosesNothing) {
    auto p = makePort();
    p->OpenPort();
    const Bytes in = pattern(size_t(12) << 20, 7);
    std::atomic<size_t> written{0};
    std::thread writer([&] {
        for (size_t at = 0; at < in.size();) {
            ssize_t n = ::write(pty.master, in.data() + at, in.size() - at);
            if (n > 0) {
                at += static_cast<size_t>(n);
                written = at;
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return;
            } else {
                pollfd w{pty.master, POLLOUT, 0};
                poll(&w, 1, 10);
            }
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(800));  // the loop does not run meanwhile
    const size_t taken = written;
    EXPECT_GT(taken, size_t(1) << 20);
    EXPECT_LT(taken, size_t(5) << 20) << "the port went on reading what nobody took";
    EXPECT_TRUE(received.empty());
    EXPECT_TRUE(receiveAtLeast(in.size(), 30000));
    writer.join();
    EXPECT_TRUE(received == in);
    for (uint16_t n : blockSizes) EXPECT_LE(n, 2048);
}

TEST_F(CommPty, ChannelPortLineSettingsAndBaudRateChanges) {
    auto p = makePort();
    EXPECT_EQ(p->ReadIntervalTimeout(), 5u);
    EXPECT_EQ(makePort("COM1", 5)->ReadIntervalTimeout(), 3u);
    p->OpenPort();
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B1000000));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B1000000));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_FALSE(t.c_cflag & (PARENB | CRTSCTS));
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | INPCK | ICRNL | ISTRIP));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));

    // Open: a new rate applies at once.
    p->setBaudRate(115200);
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    // Closed: stored only, applied by the next OpenPort.
    p->ClosePort();
    p->setBaudRate(57600);
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    p->OpenPort();
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
    // Other line properties follow the same rule. (A pseudo-terminal keeps
    // 8 data bits without parity whatever it is told, so those are not read.)
    p->setStopBits(StopBits::_1);
    p->setOutx_XonXoffFlow(true);
    p->setInx_XonXoffFlow(true);
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);
    p->setOutx_XonXoffFlow(false);
    p->setOutx_CtsFlow(true);
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_FALSE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
}

TEST_F(CommPty, RatesOutsideTheClassicTableReachTheDriver) {
    auto p = makePort();
    p->OpenPort();
    // The kernel's code for "a rate given as a number" (BOTHER, which the C
    // library's header does not define).
    constexpr speed_t kNumeric = 0010000;
    struct Case {
        uint32_t baud;
        speed_t classic;  // what cfgetospeed reads back
    };
    const Case cases[] = {{250000, kNumeric}, {1000000, B1000000}, {31250, kNumeric}, {115200, B115200}, {2500000, kNumeric}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        p->setBaudRate(c.baud);
        termios t{};
        ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), c.classic);
        uint32_t out = 0, in = 0;
        ASSERT_TRUE(readLineRate(pty.slave, out, in));
        EXPECT_EQ(out, c.baud);
        EXPECT_EQ(in, c.baud);
        // Still 8 data bits, 2 stop bits, raw.
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_TRUE(t.c_cflag & CSTOPB);
        EXPECT_FALSE(t.c_lflag & ICANON);
    }
    // A closed port takes a number at its next open, too.
    p->ClosePort();
    p->setBaudRate(333333);
    p->OpenPort();
    uint32_t out = 0, in = 0;
    ASSERT_TRUE(readLineRate(pty.slave, out, in));
    EXPECT_EQ(out, 333333u);
    expectRoundTrip(*p, 6);
}

TEST_F(CommPty, IgnoreNullCharDropsZeroBytes) {
    auto p = makePort();
    p->OpenPort();
    const Bytes withZeros{0, 1, 0, 0, 2, 0xC0, 0, 3, 0};
    struct Case {
        bool ignore;
        Bytes expected;
    };
    const Case cases[] = {{true, {1, 2, 0xC0, 3}}, {false, withZeros}, {true, {1, 2, 0xC0, 3}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ignore);
        p->setIgnoreNullChar(c.ignore);
        received.clear();
        blockSizes.clear();
        ASSERT_TRUE(pty.write(withZeros));
        ASSERT_TRUE(receiveAtLeast(c.expected.size()));
        loop.runFor(20);
        EXPECT_EQ(received, c.expected);
    }
    // A block of nothing but zeros brings no event at all.
    loop.runFor(10);
    const int before = loop.posts.load();
    ASSERT_TRUE(pty.write(Bytes(50, 0)));
    EXPECT_FALSE(loop.waitPosts(before, 100));
    ASSERT_TRUE(pty.write(Bytes{7}));
    received.clear();
    ASSERT_TRUE(receiveAtLeast(1));
    EXPECT_EQ(received, Bytes{7});
}

TEST_F(CommPty, WhatIsQueuedJustBeforeClosingStillGoesOut) {
    // The last request of a run (a restart after a download) is queued just
    // before the ports close; it must reach the unit.
    for (size_t size : {size_t{10}, size_t{3000}, size_t{8347}}) {
        SCOPED_TRACE(size);
        auto p = makePort();
        p->OpenPort();
        const Bytes last = pattern(size, static_cast<unsigned>(size));
        ASSERT_TRUE(p->SendData(last.data(), static_cast<uint16_t>(last.size())));
        p->ClosePort();
        EXPECT_EQ(pty.read(size, 20000), last);
    }
}

TEST_F(CommPty, HangupIsPostedOnceWhenTheUnitGoesAway) {
    auto p = makePort();
    p->OpenPort();
    pty.closeMaster();
    ASSERT_TRUE(loop.runUntil([&] { return hangups == 1; }, 20000));
    // Writing to the dead line fails too; the write side ends and says no more.
    const Bytes b = pattern(64);
    bool refused = false;
    for (int i = 0; i < 50 && !refused; ++i) {
        refused = !p->SendData(b.data(), static_cast<uint16_t>(b.size()));
        loop.runFor(2);
    }
    EXPECT_TRUE(refused);
    loop.runFor(50);
    EXPECT_EQ(hangups, 1);
    p->ClosePort();
    loop.runFor(20);
    EXPECT_EQ(hangups, 1);
}

// ClosePort returns (a hang would end the test at its time limit) with the
// send queue empty, whatever the line does; bench_serial_latency times it.
TEST_F(CommPty, ClosePortReturnsWhateverTheLineDoes) {
    struct Case {
        const char* what;
        std::function<void(TComm&)> setup;
    };
    const Case cases[] = {
        {"unit silent", [](TComm&) {}},
        {"unit not reading while a lot waits to be sent",
         [](TComm& p) {
             Bytes big = pattern(8000);
             for (int i = 0; i < 40; ++i) ASSERT_TRUE(p.SendData(big.data(), static_cast<uint16_t>(big.size())));
             std::this_thread::sleep_for(std::chrono::milliseconds(30));
             EXPECT_FALSE(p.sendEmpty());
         }},
        {"unit flooding",
         [this](TComm&) {
             ASSERT_TRUE(pty.write(pattern(30000)));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto p = makePort();
        p->OpenPort();
        c.setup(*p);
        p->ClosePort();
        EXPECT_TRUE(p->sendEmpty());
        pty.drain(5);
    }
    // The unit vanished: the threads may already have ended on their own.
    auto p = makePort();
    p->OpenPort();
    pty.closeMaster();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    p->ClosePort();
    EXPECT_FALSE(p->isOpen());
}

TEST_F(CommPty, RepeatedOpenAndCloseNeverHangs) {
    auto p = makePort();
    for (int i = 0; i < 300; ++i) {
        p->OpenPort();
        ASSERT_TRUE(p->isOpen()) << i;
        if (i % 3 == 0) {
            const uint8_t b = static_cast<uint8_t>(i);
            p->SendData(&b, 1);
        }
        p->ClosePort();
        ASSERT_FALSE(p->isOpen()) << i;
    }
}

TEST_F(CommPty, NoEventArrivesAfterClosePort) {
    auto p = makePort();
    p->OpenPort();
    ASSERT_TRUE(loop.runUntil([&] { return sendEmpties == 1; }, 20000));
    // Bytes reach the queue but the loop has not run them yet.
    int before = loop.posts.load();
    ASSERT_TRUE(pty.write(Bytes{'o', 'l', 'd'}));
    ASSERT_TRUE(loop.waitPosts(before, 2000));
    p->ClosePort();
    loop.runFor(30);
    EXPECT_TRUE(received.empty());

    // A reopened port does not get the previous session's events either.
    p->OpenPort();
    before = loop.posts.load();
    ASSERT_TRUE(pty.write(Bytes{'s', 't', 'a', 'l', 'e'}));
    ASSERT_TRUE(loop.waitPosts(before, 2000));
    p->ClosePort();
    p->OpenPort();
    ASSERT_TRUE(pty.write(Bytes{'n', 'e', 'w'}));
    ASSERT_TRUE(receiveAtLeast(3));
    EXPECT_EQ(received, (Bytes{'n', 'e', 'w'}));
    EXPECT_EQ(hangups, 0);
}

TEST_F(CommPty, DestroyingAPortWithEventsQueuedIsSafe) {
    bool called = false;
    {
        auto p = makePort();
        p->OnReceiveData = [&](TComm&, const uint8_t*, uint16_t) { called = true; };
        p->OnRequestHangup = [&](TComm&) { called = true; };
        p->OnSendDataEmpty = [&](TComm&) { called = true; };
        int before = loop.posts.load();
        p->OpenPort();
        ASSERT_TRUE(loop.waitPosts(before, 1000));  // send-empty
        ASSERT_TRUE(pty.write(pattern(5000)));
        ASSERT_TRUE(loop.waitPosts(before + 1, 2000));  // data
        pty.closeMaster();
        ASSERT_TRUE(loop.waitPosts(before + 2, 2000));  // hang-up
    }
    EXPECT_GT(loop.processPending(), 0);
    EXPECT_FALSE(called);
}

TEST_F(CommPty, SendDataEmptyFollowsEveryDrainedQueue) {
    auto p = makePort();
    p->OpenPort();
    ASSERT_TRUE(loop.runUntil([&] { return sendEmpties == 1; }, 20000));
    EXPECT_TRUE(p->sendEmpty());
    loop.runFor(20);
    EXPECT_EQ(sendEmpties, 1);  // once per empty queue, not repeatedly
    for (int round = 2; round <= 4; ++round) {
        Bytes b = pattern(3000, static_cast<unsigned>(round));
        ASSERT_TRUE(p->SendData(b.data(), static_cast<uint16_t>(b.size())));
        EXPECT_EQ(pty.read(b.size(), 20000), b);
        ASSERT_TRUE(loop.runUntil([&] { return sendEmpties == round; }, 20000));
        EXPECT_TRUE(p->sendEmpty());
    }
}

}  // namespace
