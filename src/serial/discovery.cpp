#include "serial/discovery.h"

#include "serial/comm.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>

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

int compareNoCase(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x -= 32;
        if (y >= 'a' && y <= 'z') y -= 32;
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}
}  // namespace

std::vector<SerialPortInfo> systemSerialPorts(const std::string& sysClassTty) {
    std::vector<SerialPortInfo> out;
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

void ListSerialPorts(std::vector<std::string>& items, std::string& displayText) {
    // Nothing leaves this: a table that cannot be read lists nothing more.
    try {
        for (const SerialPortInfo& p : systemSerialPorts()) {
            bool tty = false;
            int fd = openExclusive(p.path, tty);
            if (fd < 0) continue;
            if (!tty) {
                ::close(fd);
                continue;
            }
            closeExclusive(fd);
            // Behind the names that sort equal or lower, so the list stays sorted.
            auto at = std::find_if(items.begin(), items.end(), [&](const std::string& s) { return compareNoCase(s, p.name) > 0; });
            items.insert(at, p.name);
        }
    } catch (...) {
    }
    displayText = items.empty() ? "无可用的串口" : items.back();
}

SerialPortInfo serialPortInfo(const std::string& name) {
    for (const SerialPortInfo& p : systemSerialPorts())
        if (p.name == name) return p;
    return {};
}

}  // namespace kvx
