#include "serial/discovery.h"

#include "serial/comm.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace kvx {

namespace {
const char* const kUsbSerialDrivers[] = {"ftdi_sio", "ch341", "ch341-uart", "cp210x",   "pl2303",
                                         "cdc_acm",  "usbserial_generic", "option", "qcserial", "ch343"};

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") out.push_back(n);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string realPath(const std::string& p) {
    char buf[PATH_MAX];
    if (!realpath(p.c_str(), buf)) return {};
    return buf;
}

std::string readAttr(const std::string& path) {
    std::ifstream f(path);
    std::string v;
    std::getline(f, v);
    while (!v.empty() && (v.back() == '\n' || v.back() == '\r' || v.back() == ' ')) v.pop_back();
    return v;
}

// Port names compared as an operator reads them: letters without regard to
// case, and a run of digits by its value, so that COM2 comes before COM10
// and ttyUSB2 before ttyUSB10.
int compareNatural(const std::string& a, const std::string& b) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            size_t ei = i, ej = j;
            while (ei < a.size() && digit(a[ei])) ++ei;
            while (ej < b.size() && digit(b[ej])) ++ej;
            while (i + 1 < ei && a[i] == '0') ++i;  // leading zeros weigh nothing
            while (j + 1 < ej && b[j] == '0') ++j;
            if (ei - i != ej - j) return ei - i < ej - j ? -1 : 1;
            if (int c = a.compare(i, ei - i, b, j, ej - j)) return c < 0 ? -1 : 1;
            i = ei;
            j = ej;
            continue;
        }
        int x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[j]);
        if (x >= 'a' && x <= 'z') x -= 32;
        if (y >= 'a' && y <= 'z') y -= 32;
        if (x != y) return x < y ? -1 : 1;
        ++i;
        ++j;
    }
    return i < a.size() ? 1 : (j < b.size() ? -1 : 0);
}

// The processes holding a lock (flock or fcntl) on the device, from
// /proc/locks: exactly the holder when the other program locks its port as
// this one does.
std::vector<long> lockHolders(const struct stat& st) {
    // "1: FLOCK  ADVISORY  WRITE 5764 00:1a:3 0 EOF": the file is the
    // file system's device (major:minor in hex) and the inode; a waiting
    // lock has "->" after the number.
    char key[64];
    std::snprintf(key, sizeof key, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    std::vector<long> out;
    std::ifstream f("/proc/locks");
    for (std::string line; std::getline(f, line);) {
        std::istringstream in(line);
        std::vector<std::string> w{std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
        if (w.size() >= 6 && w[1] != "->" && w[5] == key) out.push_back(std::atol(w[4].c_str()));
    }
    return out;
}

// Other processes with the device open, from their /proc/PID/fd links (only
// the processes this user may look into). At most 3 are named, and at most
// 65536 links read, so a crowded system does not stall the search.
std::vector<long> openers(const std::string& device) {
    constexpr size_t kMaxLinks = 65536;
    std::vector<long> out;
    size_t links = 0;
    const long self = getpid();
    DIR* proc = opendir("/proc");
    if (!proc) return out;
    while (dirent* e = readdir(proc)) {
        if (!std::isdigit(static_cast<unsigned char>(e->d_name[0]))) continue;
        long pid = std::atol(e->d_name);
        if (pid == self) continue;
        DIR* fds = opendir(("/proc/" + std::string(e->d_name) + "/fd").c_str());
        if (!fds) continue;
        while (dirent* f = readdir(fds)) {
            if (f->d_name[0] == '.') continue;
            if (++links > kMaxLinks) break;
            char target[PATH_MAX];
            ssize_t n = readlinkat(dirfd(fds), f->d_name, target, sizeof target);
            if (n > 0 && device.compare(0, std::string::npos, target, static_cast<size_t>(n)) == 0) {
                out.push_back(pid);
                break;
            }
        }
        closedir(fds);
        if (links > kMaxLinks || out.size() >= 3) break;
    }
    closedir(proc);
    return out;
}

// The cause for a port another opener holds (EBUSY), naming the holder
// when /proc tells.
std::string heldCause(const std::string& path) {
    const std::string device = realPath(path);
    struct stat st {};
    std::vector<long> pids;
    if (!device.empty() && stat(device.c_str(), &st) == 0) pids = lockHolders(st);
    if (std::find(pids.begin(), pids.end(), static_cast<long>(getpid())) != pids.end())
        return "already open in this program";
    if (pids.empty() && !device.empty()) pids = openers(device);
    std::string who;
    for (long pid : pids) {
        std::string name = readAttr("/proc/" + std::to_string(pid) + "/comm");
        who += (name.empty() ? "" : name + ", ") + "PID " + std::to_string(pid) + "; ";
    }
    return "held by another program (" + who + "close it and search again)";
}

std::string openErrorCause(int error, const std::string& path) {
    switch (error) {
    case EACCES:
    case EPERM:
        return "permission denied (add the user to the dialout group, or install the udev rule 60-korvex200.rules)";
    case EBUSY:
        return heldCause(path);
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO:
        return "the device is gone (unplugged?)";
    case EISDIR:
    case ENOTTY:
        return "not a serial device";
    default:
        return std::strerror(error);
    }
}

// Opens the device as a channel's port is opened and closes it again; the
// cause when that fails, else "".
std::string trialOpen(const std::string& path) {
    bool tty = false;
    int fd = openExclusive(path, tty);
    if (fd < 0) return openErrorCause(errno, path);
    if (!tty) {
        ::close(fd);
        return "not a serial device";
    }
    closeExclusive(fd);
    return {};
}
}  // namespace

// The first link in folder whose target is the tty `name` ("" when none).
std::string linkTo(const std::string& folder, const std::vector<std::string>& links, const std::string& name) {
    for (const std::string& l : links) {
        char target[PATH_MAX];
        ssize_t n = readlink((folder + "/" + l).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        std::string t(target, static_cast<size_t>(n));
        if (t.substr(t.find_last_of('/') + 1) == name) return folder + "/" + l;
    }
    return {};
}

std::vector<SerialPortInfo> systemSerialPorts(const std::string& sysClassTty, const std::string& devSerial) {
    std::vector<SerialPortInfo> out;
    const std::vector<std::string> byPath = listDir(devSerial + "/by-path"), byId = listDir(devSerial + "/by-id");
    for (const std::string& name : listDir(sysClassTty)) {
        if (name.rfind("ttyS", 0) == 0) continue;  // built-in UARTs
        std::string dev = realPath(sysClassTty + "/" + name + "/device");
        if (dev.empty()) continue;
        std::string driver;
        std::string drv = realPath(sysClassTty + "/" + name + "/device/driver");
        if (!drv.empty()) driver = drv.substr(drv.find_last_of('/') + 1);
        bool usbDriver = std::find(std::begin(kUsbSerialDrivers), std::end(kUsbSerialDrivers), driver) !=
                         std::end(kUsbSerialDrivers);
        // The USB device is the nearest parent folder that has idVendor.
        std::string usb;
        for (std::string p = dev; p.size() > 1; p = p.substr(0, p.find_last_of('/'))) {
            struct stat st {};
            if (stat((p + "/idVendor").c_str(), &st) == 0) {
                usb = p;
                break;
            }
            if (p.find('/') == std::string::npos) break;
        }
        if (!usbDriver && usb.empty()) continue;
        SerialPortInfo info;
        info.name = name;
        info.path = "/dev/" + name;
        info.driver = driver;
        if (!usb.empty()) {
            info.vendorId = readAttr(usb + "/idVendor");
            info.productId = readAttr(usb + "/idProduct");
            info.serial = readAttr(usb + "/serial");
        }
        info.byPath = linkTo(devSerial + "/by-path", byPath, name);
        info.byId = linkTo(devSerial + "/by-id", byId, name);
        out.push_back(info);
    }
    if (const char* dir = std::getenv("KORVEX_SERIAL_DIR"); dir && *dir) {
        for (const std::string& name : listDir(dir)) {
            SerialPortInfo info;
            info.name = name;
            info.path = std::string(dir) + "/" + name;
            out.push_back(info);
        }
    }
    return out;
}

void ListSerialPorts(std::vector<std::string>& items, std::string& displayText, std::vector<SkippedPort>* skipped) {
    // Nothing leaves this: a table that cannot be read lists nothing more.
    try {
        for (const SerialPortInfo& p : systemSerialPorts()) {
            if (std::string cause = trialOpen(p.path); !cause.empty()) {
                if (skipped) skipped->push_back({p.name, p.path, cause});
                continue;
            }
            // Behind the names that sort equal or lower, so the list stays sorted.
            auto at = std::find_if(items.begin(), items.end(), [&](const std::string& s) { return compareNatural(s, p.name) > 0; });
            items.insert(at, p.name);
        }
    } catch (...) {
    }
    displayText = items.empty() ? "无可用的串口" : items.back();
}

std::string portOpenFailure(const std::string& path) { return trialOpen(path); }

SerialPortInfo serialPortInfo(const std::string& name) {
    for (const SerialPortInfo& p : systemSerialPorts())
        if (p.name == name) return p;
    return {};
}

}  // namespace kvx
