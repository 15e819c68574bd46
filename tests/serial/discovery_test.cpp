// Port discovery: the port folder with real pseudo-terminals, and a fake
// sysfs tree for the USB adapters.
#include "serial/comm.h"
#include "serial/discovery.h"

#include "e2e/port_holder.h"
#include "shell/text.h"
#include "pty_fixture.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <map>
#include <memory>

using namespace kvx;
using namespace kvx::testing;
namespace fs = std::filesystem;

namespace {

const std::string kNoPorts = "无可用的串口";

class PortListing : public ::testing::Test {
protected:
    void SetUp() override {
        // Real adapters on this machine would be listed too; the exact lists
        // below assume there are none.
        std::vector<std::string> items;
        std::string text;
        ListSerialPorts(items, text);
        if (!items.empty()) GTEST_SKIP() << "this machine has serial adapters: " << items.front();
    }
    // A pseudo-terminal listed in the port folder under name.
    Pty& add(const std::string& name) {
        auto& p = ptys[name];
        p = std::make_unique<Pty>();
        dir.link(name, p->slavePath);
        return *p;
    }
    std::vector<std::string> list(std::vector<std::string> items = {}, std::vector<SkippedPort>* skipped = nullptr) {
        ListSerialPorts(items, text, skipped);
        return items;
    }

    PortDir dir;
    std::map<std::string, std::unique_ptr<Pty>> ptys;
    std::string text;
};

using Names = std::vector<std::string>;

TEST_F(PortListing, NoPortsShowsTheNoPortText) {
    EXPECT_EQ(list(), Names{});
    EXPECT_EQ(text, kNoPorts);
    // Items already in the list stay; the text shows the last of them.
    EXPECT_EQ(list({"COM4"}), Names{"COM4"});
    EXPECT_EQ(text, "COM4");
}

TEST_F(PortListing, SortedByNumberAndWithoutRegardToCase) {
    for (const char* n : {"ttyUSB10", "COM3", "com2", "COM12", "ttyUSB2", "COM10", "COM010x"}) add(n);
    EXPECT_EQ(list(), (Names{"com2", "COM3", "COM10", "COM010x", "COM12", "ttyUSB2", "ttyUSB10"}));
    EXPECT_EQ(text, "ttyUSB10");
    // Added into what the list holds, in order; a second call lists again.
    EXPECT_EQ(list({"COM4", "COM11"}),
              (Names{"com2", "COM3", "COM4", "COM10", "COM010x", "COM11", "COM12", "ttyUSB2", "ttyUSB10"}));
    Names twice = list(list());
    EXPECT_EQ(twice, (Names{"com2", "com2", "COM3", "COM3", "COM10", "COM10", "COM010x", "COM010x", "COM12", "COM12",
                            "ttyUSB2", "ttyUSB2", "ttyUSB10", "ttyUSB10"}));
    EXPECT_EQ(text, "ttyUSB10");
}

TEST_F(PortListing, OnlyPortsThatOpenNowAreListed) {
    add("COM1");
    add("COM2");
    Pty& locked = add("COM3");
    add("COM4");
    dir.file("COM5");                        // a plain file is no port
    dir.link("COM6", "/nonexistent/pts/9");  // a link to nothing
    fs::create_directory(dir.path + "/COM7");

    PlainEventLoop loop;
    TComm port(loop);
    port.setCommName("COM2");
    port.OpenPort();
    int lockFd = ::open(locked.slavePath.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(lockFd, LOCK_EX | LOCK_NB), 0);

    std::vector<SkippedPort> skipped;
    EXPECT_EQ(list({}, &skipped), (Names{"COM1", "COM4"}));
    EXPECT_EQ(text, "COM4");
    // Each port left out is told, with why, in the folder's order.
    const std::pair<std::string, std::string> told[] = {{"COM2", "already open in this program"},  // its TComm
                                                        {"COM3", "already open in this program"},  // the lock
                                                        {"COM5", "not a serial device"},
                                                        {"COM6", "the device is gone (unplugged?)"},
                                                        {"COM7", "not a serial device"}};
    ASSERT_EQ(skipped.size(), std::size(told));
    for (size_t i = 0; i < skipped.size(); ++i) {
        EXPECT_EQ(skipped[i].name, told[i].first);
        EXPECT_EQ(skipped[i].path, dir.path + "/" + told[i].first);
        EXPECT_EQ(skipped[i].cause, told[i].second) << told[i].first;
    }
    // Listing does not disturb the open port.
    EXPECT_TRUE(port.isOpen());
    const Bytes b{1, 2, 3};
    ASSERT_TRUE(port.SendData(b.data(), 3));
    EXPECT_EQ(ptys["COM2"]->read(3, 2000), b);

    port.ClosePort();
    ::close(lockFd);
    skipped.clear();
    EXPECT_EQ(list({}, &skipped), (Names{"COM1", "COM2", "COM3", "COM4"}));
    EXPECT_EQ(skipped.size(), 3u);
    // The trial open leaves the port free for the program.
    EXPECT_NO_THROW(port.OpenPort());
}

// A port another program holds, or one this user may not open: COM2 of
// COM1 and COM2. Root opens a tty whatever its mode and exclusive mode, so
// the listing runs in a child that drops to nobody where a case needs it.
// The holder is named with its PID when /proc tells: from the lock it
// holds, else from its open files, which another user's program hides.
struct SkipCase {
    const char* name;
    mode_t mode;             // of COM2's device
    int hold;                // -1: no holder, else a PortHolder::Hold
    bool holderUnprivileged;
    bool listerUnprivileged;
    bool named;              // the cause names the holder
};

const std::string kPermissionCause =
    "permission denied (add the user to the dialout group, or install the udev rule 60-korvex200.rules)";

class SkippedPorts : public PortListing, public ::testing::WithParamInterface<SkipCase> {
protected:
    // ListSerialPorts in a forked child (as nobody when asked): the items as
    // "L name", the skipped ports as "S name|path|cause".
    std::vector<std::string> listInChild(bool unprivileged) {
        int out[2];
        if (pipe(out) != 0) return {};
        std::fflush(nullptr);  // else the child may write out the parent's buffered output again
        pid_t pid = fork();
        if (pid == 0) {
            close(out[0]);
            std::string report;
            if (unprivileged && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
                report = "cannot drop to nobody\n";
            } else {
                std::vector<std::string> items;
                std::vector<SkippedPort> skipped;
                std::string shown;
                ListSerialPorts(items, shown, &skipped);
                for (auto& i : items) report += "L " + i + "\n";
                for (auto& p : skipped) report += "S " + p.name + "|" + p.path + "|" + p.cause + "\n";
            }
            [[maybe_unused]] ssize_t w = ::write(out[1], report.data(), report.size());
            _exit(0);
        }
        close(out[1]);
        std::string all;
        char buf[512];
        for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) all.append(buf, static_cast<size_t>(n));
        close(out[0]);
        waitpid(pid, nullptr, 0);
        std::vector<std::string> lines;
        for (size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1)
            lines.push_back(all.substr(at, end - at));
        return lines;
    }
};

TEST_P(SkippedPorts, AreToldWithTheCauseAndTheHolder) {
    const SkipCase& sc = GetParam();
    if ((sc.holderUnprivileged || sc.listerUnprivileged) && geteuid() != 0)
        GTEST_SKIP() << "needs root to run the holder or the listing as another user";
    chmod(dir.path.c_str(), 0755);
    chmod(add("COM1").slavePath.c_str(), 0666);
    const std::string device = add("COM2").slavePath;
    chmod(device.c_str(), sc.mode);
    std::unique_ptr<test::PortHolder> holder;
    if (sc.hold >= 0) {
        holder = std::make_unique<test::PortHolder>(device, static_cast<test::PortHolder::Hold>(sc.hold),
                                                    sc.holderUnprivileged);
        ASSERT_TRUE(holder->held());
    }
    std::string cause = kPermissionCause;
    if (holder)
        cause = sc.named ? format("held by another program (porthog, PID %d; close it and search again)", holder->pid())
                         : "held by another program (close it and search again)";
    EXPECT_EQ(listInChild(sc.listerUnprivileged),
              (std::vector<std::string>{"L COM1", "S COM2|" + dir.path + "/COM2|" + cause}));
}

INSTANTIATE_TEST_SUITE_P(
    Ports, SkippedPorts,
    ::testing::Values(
        SkipCase{"permission_denied", 0000, -1, false, true, false},
        SkipCase{"locked_by_another_program", 0666, test::PortHolder::Lock, false, false, true},
        SkipCase{"exclusive_mode_of_another_program", 0666, test::PortHolder::Exclusive, true, true, true},
        SkipCase{"exclusive_mode_of_another_users_program", 0666, test::PortHolder::Exclusive, false, true, false}),
    [](const ::testing::TestParamInfo<SkipCase>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// A fake sysfs tree: /sys/class/tty entries linking into /sys/devices.

class FakeSysfs : public ::testing::Test {
protected:
    FakeSysfs() {
        char tmpl[] = "/tmp/kvx-sysfs-XXXXXX";
        root = mkdtemp(tmpl);
        fs::create_directories(root + "/sys/class/tty");
        for (const char* d : {"ftdi_sio", "cdc_acm", "xr_serial"}) fs::create_directories(root + "/sys/bus/usb-serial/drivers/" + d);
        fs::create_directories(root + "/sys/bus/platform/drivers/serial8250");
        fs::create_directories(root + "/sys/bus/platform/drivers/uart-pl011");
    }
    ~FakeSysfs() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void attr(const std::string& dirPath, const std::string& name, const std::string& value) {
        std::ofstream(dirPath + "/" + name) << value << "\n";
    }
    // A USB device folder with its ids (serial left out when empty).
    std::string usbDevice(const std::string& path, const std::string& vid, const std::string& pid, const std::string& serial) {
        std::string d = root + "/sys/devices/pci0000:00/0000:00:14.0/" + path;
        fs::create_directories(d);
        attr(d, "idVendor", vid);
        attr(d, "idProduct", pid);
        if (!serial.empty()) attr(d, "serial", serial);
        return d;
    }
    // A tty class device under `device`, bound to a driver; as the kernel lays
    // it out: DEVICE/tty/NAME, with DEVICE/tty/NAME/device -> DEVICE and
    // /sys/class/tty/NAME -> DEVICE/tty/NAME.
    void tty(const std::string& name, const std::string& device, const std::string& driverPath) {
        std::string cls = device + "/tty/" + name;
        fs::create_directories(cls);
        fs::create_directory_symlink(device, cls + "/device");
        if (!driverPath.empty()) fs::create_directory_symlink(root + driverPath, device + "/driver");
        fs::create_directory_symlink(cls, root + "/sys/class/tty/" + name);
    }
    std::vector<SerialPortInfo> ports() { return systemSerialPorts(root + "/sys/class/tty"); }

    std::string root;
};

TEST_F(FakeSysfs, UsbAdaptersAreListedWithTheirIdsAndNothingElse) {
    // An FTDI adapter: the tty's device is the usb-serial port below the
    // interface, the ids sit on the USB device two folders up.
    std::string ftdi = usbDevice("usb1/1-1", "0403", "6001", "A50285BI");
    fs::create_directories(ftdi + "/1-1:1.0/ttyUSB0");
    tty("ttyUSB0", ftdi + "/1-1:1.0/ttyUSB0", "/sys/bus/usb-serial/drivers/ftdi_sio");
    // A CDC ACM device without a serial number: the tty's device is the interface.
    std::string acm = usbDevice("usb1/1-2", "2e8a", "000a", "");
    fs::create_directories(acm + "/1-2:1.0");
    tty("ttyACM0", acm + "/1-2:1.0", "/sys/bus/usb-serial/drivers/cdc_acm");
    // A USB adapter whose driver is not one of the known ones still sits on USB.
    std::string xr = usbDevice("usb2/2-1", "04e2", "1410", "X1");
    fs::create_directories(xr + "/2-1:1.0/ttyUSB1");
    tty("ttyUSB1", xr + "/2-1:1.0/ttyUSB1", "/sys/bus/usb-serial/drivers/xr_serial");
    // Built-in UARTs: a 16550 and an on-chip UART, neither on USB.
    std::string platform = root + "/sys/devices/platform";
    fs::create_directories(platform + "/serial8250");
    tty("ttyS0", platform + "/serial8250", "/sys/bus/platform/drivers/serial8250");
    fs::create_directories(platform + "/fe201000.serial");
    tty("ttyAMA0", platform + "/fe201000.serial", "/sys/bus/platform/drivers/uart-pl011");
    // Virtual consoles have no device link at all.
    for (const char* v : {"tty0", "tty1", "console"}) {
        std::string d = root + "/sys/devices/virtual/tty/" + v;
        fs::create_directories(d);
        fs::create_directory_symlink(d, root + "/sys/class/tty/" + v);
    }

    // udev's links, relative as udev makes them; the CDC device has no serial.
    const std::string serial = root + "/dev/serial";
    fs::create_directories(serial + "/by-path");
    fs::create_directories(serial + "/by-id");
    fs::create_symlink("../../ttyUSB0", serial + "/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0");
    fs::create_symlink("../../ttyUSB1", serial + "/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");
    fs::create_symlink("../../ttyACM0", serial + "/by-path/pci-0000:00:14.0-usb-0:3:1.0");
    fs::create_symlink("../../ttyUSB0", serial + "/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");

    PortDir dir;  // empty: only the tree counts
    auto found = systemSerialPorts(root + "/sys/class/tty", serial);
    ASSERT_EQ(found.size(), 3u);
    struct Expect {
        const char* name;
        const char* driver;
        const char* vid;
        const char* pid;
        const char* serial;
        const char* byPath;
        const char* byId;
    };
    const Expect expected[] = {
        {"ttyACM0", "cdc_acm", "2e8a", "000a", "", "/by-path/pci-0000:00:14.0-usb-0:3:1.0", ""},
        {"ttyUSB0", "ftdi_sio", "0403", "6001", "A50285BI", "/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0",
         "/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"},
        {"ttyUSB1", "xr_serial", "04e2", "1410", "X1", "/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", ""}};
    for (size_t i = 0; i < found.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(found[i].name, expected[i].name);
        EXPECT_EQ(found[i].path, std::string("/dev/") + expected[i].name);
        EXPECT_EQ(found[i].driver, expected[i].driver);
        EXPECT_EQ(found[i].vendorId, expected[i].vid);
        EXPECT_EQ(found[i].productId, expected[i].pid);
        EXPECT_EQ(found[i].serial, expected[i].serial);
        EXPECT_EQ(found[i].byPath, serial + expected[i].byPath);
        EXPECT_EQ(found[i].byId, *expected[i].byId ? serial + expected[i].byId : "");
    }
}

TEST_F(FakeSysfs, PortFolderEntriesFollowTheSystemsPorts) {
    std::string ftdi = usbDevice("usb1/1-1", "0403", "6015", "FT1");
    fs::create_directories(ftdi + "/1-1:1.0/ttyUSB0");
    tty("ttyUSB0", ftdi + "/1-1:1.0/ttyUSB0", "/sys/bus/usb-serial/drivers/ftdi_sio");
    PortDir dir;
    Pty a, b;
    dir.link("COM2", b.slavePath);
    dir.link("COM1", a.slavePath);
    auto found = ports();
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].name, "ttyUSB0");
    EXPECT_EQ(found[1].name, "COM1");
    EXPECT_EQ(found[1].path, dir.path + "/COM1");
    EXPECT_EQ(found[2].name, "COM2");
    EXPECT_EQ(found[2].vendorId, "");
    // Without the folder only the adapters remain; a missing tree lists nothing.
    unsetenv("KORVEX_SERIAL_DIR");
    EXPECT_EQ(ports().size(), 1u);
    EXPECT_TRUE(systemSerialPorts(root + "/no/such/folder").empty());
}

TEST(PortInfo, LooksUpAListedName) {
    PortDir dir;
    Pty p;
    dir.link("COM9", p.slavePath);
    SerialPortInfo info = serialPortInfo("COM9");
    EXPECT_EQ(info.name, "COM9");
    EXPECT_EQ(info.path, dir.path + "/COM9");
    EXPECT_EQ(serialPortInfo("COM8").name, "");
    // The port's device path is the folder's entry, else the /dev name.
    EXPECT_EQ(serialDevicePath("COM9"), dir.path + "/COM9");
    EXPECT_EQ(serialDevicePath("ttyUSB3"), "/dev/ttyUSB3");
    EXPECT_EQ(serialDevicePath("/dev/ttyACM1"), "/dev/ttyACM1");
}

}  // namespace
