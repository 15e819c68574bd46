// The serial-port component and port discovery on real kernel
// pseudo-terminals.
#include "serial/comm.h"
#include "serial/discovery.h"
#include "shell/plain_loop.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace kvx;
using Bytes = std::vector<uint8_t>;

namespace {
// A pseudo-terminal pair with the slave linked into a ports folder under a name.
struct Pty {
    int master = -1;
    std::string slavePath;
    int slaveKeep = -1;  // keeps the slave side alive between opens
    Pty() {
        int s = -1;
        char name[128];
        EXPECT_EQ(openpty(&master, &s, name, nullptr, nullptr), 0);
        termios t{};
        tcgetattr(s, &t);
        cfmakeraw(&t);
        tcsetattr(s, TCSANOW, &t);
        slavePath = name;
        slaveKeep = s;
        fcntl(master, F_SETFL, O_NONBLOCK);
    }
    ~Pty() {
        if (master >= 0) close(master);
        if (slaveKeep >= 0) close(slaveKeep);
    }
    Bytes readAll(size_t want, int timeoutMs) {
        Bytes out;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        uint8_t buf[4096];
        while (out.size() < want && std::chrono::steady_clock::now() < until) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 10) > 0) {
                ssize_t n = read(master, buf, sizeof buf);
                if (n > 0) out.insert(out.end(), buf, buf + n);
            }
        }
        return out;
    }
};

struct PortsDir {
    std::string dir;
    PortsDir() {
        char t[] = "/tmp/kvx-ports.XXXXXX";
        dir = mkdtemp(t);
        setenv("KORVEX_SERIAL_DIR", dir.c_str(), 1);
    }
    ~PortsDir() {
        unsetenv("KORVEX_SERIAL_DIR");
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    void link(const std::string& name, const std::string& target) {
        std::filesystem::create_symlink(target, dir + "/" + name);
    }
};

Bytes pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    return b;
}
}  // namespace

TEST(TComm, DefaultsAndChannelSettings) {
    PlainEventLoop loop;
    TComm p(loop);
    EXPECT_EQ(p.CommName(), "COM2");
    EXPECT_EQ(p.BaudRate(), 9600u);
    EXPECT_EQ(p.DtrControl(), DtrControl::DtrEnable);
    EXPECT_TRUE(p.Outx_XonXoffFlow());
    EXPECT_EQ(p.ReadIntervalTimeout(), 100u);
    configureAsChannelPort(p, 2);
    EXPECT_EQ(p.BaudRate(), 1000000u);
    EXPECT_EQ(p.StopBits(), StopBits::_2);
    EXPECT_EQ(p.ReadIntervalTimeout(), 5u);
    configureAsChannelPort(p, 6);
    EXPECT_EQ(p.ReadIntervalTimeout(), 3u);
}

TEST(TComm, OpenErrorsAndExclusiveOpen) {
    PortsDir ports;
    Pty pty;
    ports.link("COM1", pty.slavePath);
    {
        std::ofstream(ports.dir + "/FILE") << "not a tty";
    }
    PlainEventLoop loop;
    TComm a(loop), b(loop), c(loop), d(loop);
    a.setCommName("COM1");
    a.OpenPort();
    EXPECT_TRUE(a.isOpen());
    try {
        a.OpenPort();
        FAIL();
    } catch (const ECommsError& e) {
        EXPECT_STREQ(e.what(), "This serial port already opened");
    }
    EXPECT_TRUE(a.isOpen());
    b.setCommName("COM1");  // held by a
    try {
        b.OpenPort();
        FAIL();
    } catch (const ECommsError& e) {
        EXPECT_STREQ(e.what(), "Error opening serial port:COM1");
    }
    EXPECT_FALSE(b.isOpen());
    c.setCommName("NOSUCHPORT");
    EXPECT_THROW(c.OpenPort(), ECommsError);
    d.setCommName("FILE");
    try {
        d.OpenPort();
        FAIL();
    } catch (const ECommsError& e) {
        EXPECT_STREQ(e.what(), "File handle is not a comm handle ");
    }
    // Closed, the port can be opened again, by another component too.
    a.ClosePort();
    a.ClosePort();  // closing a closed port does nothing
    b.OpenPort();
    EXPECT_TRUE(b.isOpen());
    b.ClosePort();
    for (int i = 0; i < 10; ++i) {
        a.OpenPort();
        a.ClosePort();
    }
}

TEST(TComm, LineSettingsReachTheTty) {
    PortsDir ports;
    Pty pty;
    ports.link("COM1", pty.slavePath);
    PlainEventLoop loop;
    TComm p(loop);
    configureAsChannelPort(p, 1);
    p.setCommName("COM1");
    p.OpenPort();
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slaveKeep, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B1000000));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF));
    p.setBaudRate(115200);  // open: at once
    tcgetattr(pty.slaveKeep, &t);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    p.ClosePort();
    p.setBaudRate(1000000);  // closed: at the next open
    tcgetattr(pty.slaveKeep, &t);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    p.OpenPort();
    tcgetattr(pty.slaveKeep, &t);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B1000000));
}

TEST(TComm, SendsInOrderAndReceivesBlocks) {
    PortsDir ports;
    Pty pty;
    ports.link("COM1", pty.slavePath);
    PlainEventLoop loop;
    TComm p(loop);
    configureAsChannelPort(p, 1);
    p.setCommName("COM1");
    uint8_t one = 1;
    EXPECT_FALSE(p.SendData(&one, 1));  // closed
    p.OpenPort();
    EXPECT_FALSE(p.SendData(&one, 0));
    Bytes expect;
    for (int i = 0; i < 40; ++i) {
        Bytes b = pattern(static_cast<size_t>(1 + i * 211 % 8347), static_cast<uint32_t>(i));
        ASSERT_TRUE(p.SendData(b.data(), static_cast<uint16_t>(b.size())));
        expect.insert(expect.end(), b.begin(), b.end());
    }
    Bytes got = pty.readAll(expect.size(), 5000);
    EXPECT_EQ(got, expect);
    // Receiving: 8347 bytes arrive whole, in blocks of at most 2048.
    Bytes in = pattern(8347, 99), received;
    size_t largest = 0;
    p.OnReceiveData = [&](TComm&, const uint8_t* b, uint16_t n) {
        received.insert(received.end(), b, b + n);
        largest = std::max<size_t>(largest, n);
    };
    ASSERT_EQ(write(pty.master, in.data(), in.size()), static_cast<ssize_t>(in.size()));
    ASSERT_TRUE(loop.runUntil([&] { return received.size() >= in.size(); }, 5000));
    EXPECT_EQ(received, in);
    EXPECT_LE(largest, 2048u);
    bool empty = false;
    p.OnSendDataEmpty = [&](TComm&) { empty = true; };
    p.SendData(in.data(), 100);
    EXPECT_TRUE(loop.runUntil([&] { return empty; }, 2000));
}

TEST(TComm, HangupOnceAndBoundedCloseAndNoLateEvents) {
    PortsDir ports;
    auto pty = std::make_unique<Pty>();
    ports.link("COM1", pty->slavePath);
    PlainEventLoop loop;
    TComm p(loop);
    p.setCommName("COM1");
    p.OpenPort();
    int hangups = 0, data = 0;
    p.OnRequestHangup = [&](TComm&) { ++hangups; };
    p.OnReceiveData = [&](TComm&, const uint8_t*, uint16_t) { ++data; };
    // Bytes written and the port closed before the loop runs: the queued
    // event is dropped.
    ASSERT_EQ(write(pty->master, "abc", 3), 3);
    usleep(50000);
    p.ClosePort();
    loop.runFor(50);
    EXPECT_EQ(data, 0);
    p.OpenPort();
    // The other side vanishes: one hang-up.
    close(pty->master);
    pty->master = -1;
    close(pty->slaveKeep);
    pty->slaveKeep = -1;
    ASSERT_TRUE(loop.runUntil([&] { return hangups > 0; }, 3000));
    loop.runFor(100);
    EXPECT_EQ(hangups, 1);
    uint8_t b[8000] = {};
    p.SendData(b, sizeof b);
    auto t0 = std::chrono::steady_clock::now();
    p.ClosePort();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, 500);
}

TEST(TComm, CloseWhileThePeerIsSilentIsBounded) {
    PortsDir ports;
    Pty pty;
    ports.link("COM1", pty.slavePath);
    PlainEventLoop loop;
    TComm p(loop);
    p.setCommName("COM1");
    p.OpenPort();
    // More than the terminal takes while nobody reads: the writer is stuck.
    Bytes big(60000, 0x55);
    for (size_t o = 0; o < big.size(); o += 6000) p.SendData(big.data() + o, 6000);
    usleep(100000);
    auto t0 = std::chrono::steady_clock::now();
    p.ClosePort();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, 500);
}

TEST(TComm, DestroyedWithEventsQueuedIsSafe) {
    PortsDir ports;
    Pty pty;
    ports.link("COM1", pty.slavePath);
    PlainEventLoop loop;
    int data = 0;
    {
        TComm p(loop);
        p.setCommName("COM1");
        p.OnReceiveData = [&](TComm&, const uint8_t*, uint16_t) { ++data; };
        p.OpenPort();
        ASSERT_EQ(write(pty.master, "xyz", 3), 3);
        usleep(50000);
    }
    loop.runFor(50);  // the queued event finds its port gone and is dropped
    EXPECT_EQ(data, 0);
}

TEST(Discovery, PortsFolderSortedHeldAndNotTtys) {
    PortsDir ports;
    std::vector<std::unique_ptr<Pty>> ptys;
    for (const char* n : {"COM3", "COM12", "com10", "ttyUSB0"}) {
        ptys.push_back(std::make_unique<Pty>());
        ports.link(n, ptys.back()->slavePath);
    }
    {
        std::ofstream(ports.dir + "/README") << "x";
    }
    std::vector<std::string> items;
    std::string text;
    ListSerialPorts(items, text);
    EXPECT_EQ(items, (std::vector<std::string>{"com10", "COM12", "COM3", "ttyUSB0"}));
    EXPECT_EQ(text, "ttyUSB0");
    // A port a component holds is not listed; listing again adds again.
    PlainEventLoop loop;
    TComm held(loop);
    held.setCommName("COM3");
    held.OpenPort();
    ListSerialPorts(items, text);
    EXPECT_EQ(items, (std::vector<std::string>{"com10", "com10", "COM12", "COM12", "COM3", "ttyUSB0", "ttyUSB0"}));
    std::vector<std::string> none;
    unsetenv("KORVEX_SERIAL_DIR");
    ListSerialPorts(none, text);
    if (none.empty()) {
        EXPECT_EQ(text, "无可用的串口");
    }
}

TEST(Discovery, FakeSysfsListsUsbAdaptersOnly) {
    char t[] = "/tmp/kvx-sysfs.XXXXXX";
    std::string root = mkdtemp(t);
    namespace fs = std::filesystem;
    std::string usb = root + "/devices/pci0/usb1/1-2";
    std::string intf = usb + "/1-2:1.0";
    fs::create_directories(intf + "/ttyUSB0");
    fs::create_directories(root + "/drivers/ftdi_sio");
    fs::create_directories(root + "/devices/platform/serial8250/tty/ttyS0");
    fs::create_directories(root + "/devices/pci0/usb1/1-3/1-3:1.0/ttyACM0");
    std::ofstream(usb + "/idVendor") << "0403\n";
    std::ofstream(usb + "/idProduct") << "6001\n";
    std::ofstream(usb + "/serial") << "A10K3Z\n";
    std::ofstream(root + "/devices/pci0/usb1/1-3/idVendor") << "2341\n";
    std::ofstream(root + "/devices/pci0/usb1/1-3/idProduct") << "0043\n";
    fs::create_symlink(root + "/drivers/ftdi_sio", intf + "/ttyUSB0/driver");
    std::string cls = root + "/class/tty";
    fs::create_directories(cls + "/ttyUSB0");
    fs::create_directories(cls + "/ttyS0");
    fs::create_directories(cls + "/ttyACM0");
    fs::create_directories(cls + "/tty0");  // a virtual console: no device
    fs::create_symlink(intf + "/ttyUSB0", cls + "/ttyUSB0/device");
    fs::create_symlink(root + "/devices/platform/serial8250/tty/ttyS0", cls + "/ttyS0/device");
    fs::create_symlink(root + "/devices/pci0/usb1/1-3/1-3:1.0/ttyACM0", cls + "/ttyACM0/device");
    unsetenv("KORVEX_SERIAL_DIR");
    auto list = systemSerialPorts(cls);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "ttyACM0");
    EXPECT_EQ(list[0].vendorId, "2341");
    EXPECT_EQ(list[0].serial, "");  // no serial attribute
    EXPECT_EQ(list[1].name, "ttyUSB0");
    EXPECT_EQ(list[1].path, "/dev/ttyUSB0");
    EXPECT_EQ(list[1].driver, "ftdi_sio");
    EXPECT_EQ(list[1].vendorId, "0403");
    EXPECT_EQ(list[1].productId, "6001");
    EXPECT_EQ(list[1].serial, "A10K3Z");
    fs::remove_all(root);
}

