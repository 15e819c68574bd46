#include "serial/port_map.h"

#include "shell/text.h"

#include <algorithm>
#include <cctype>

namespace kvx {

int PortMap::lastChannel() const {
    for (int s = 7; s >= 0; --s)
        if (!ports[static_cast<size_t>(s)].empty()) return s + 1;
    return 0;
}

namespace {
std::string_view trimmed(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}
}  // namespace

std::optional<PortMap> parsePortMap(std::string_view text, std::string& error) {
    PortMap map;
    int lineNo = 0;
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        ++lineNo;
        line = trimmed(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        auto fail = [&](const std::string& why) {
            error = format("line %d: %s", lineNo, why.c_str());
            return std::nullopt;
        };
        size_t digits = 0;
        while (digits < line.size() && std::isdigit(static_cast<unsigned char>(line[digits]))) ++digits;
        const std::string_view port = trimmed(line.substr(digits));
        if (digits == 0 || digits > 2 || port.empty() || !std::isspace(static_cast<unsigned char>(line[digits])))
            return fail("expected a channel number from 1 to 8 and a port");
        const int channel = std::stoi(std::string(line.substr(0, digits)));
        if (channel < 1 || channel > 8) return fail(format("channel %d: the channels are 1 to 8", channel));
        std::string& slot = map.ports[static_cast<size_t>(channel - 1)];
        if (!slot.empty()) return fail(format("channel %d is given twice", channel));
        slot = port.front() == '/' ? std::string(port) : kByPathFolder + std::string(port);
        for (int s = 0; s < 8; ++s)
            if (s != channel - 1 && map.ports[static_cast<size_t>(s)] == slot)
                return fail(format("%s is channel %d already", slot.c_str(), s + 1));
    }
    if (map.lastChannel() == 0) {
        error = "no channel has a port";
        return std::nullopt;
    }
    return map;
}

std::optional<PortMap> portMapOf(const std::vector<std::string>& ports, std::string& error) {
    if (ports.size() > 8) {
        error = format("%d ports given; there are 8 channels", static_cast<int>(ports.size()));
        return std::nullopt;
    }
    PortMap map;
    for (size_t i = 0; i < ports.size(); ++i) {
        if (ports[i].empty()) {
            error = "an empty port name";
            return std::nullopt;
        }
        if (std::find(map.ports.begin(), map.ports.end(), ports[i]) != map.ports.end()) {
            error = ports[i] + " is given twice";
            return std::nullopt;
        }
        // As written: a path, or a name the port search knows (ttyUSB0, COM1).
        map.ports[i] = ports[i];
    }
    return map;
}

bool UsbFilter::matches(const SerialPortInfo& port) const {
    auto same = [](const std::string& a, const std::string& b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                   return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
               });
    };
    return same(port.vendorId, vendorId) && same(port.productId, productId) && (serial.empty() || port.serial == serial);
}

std::optional<UsbFilter> parseUsbFilter(const std::string& text, std::string& error) {
    auto hex4 = [](const std::string& v) {
        return v.size() == 4 && std::all_of(v.begin(), v.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
    };
    UsbFilter f;
    const size_t a = text.find(':');
    const size_t b = a == std::string::npos ? a : text.find(':', a + 1);
    f.vendorId = text.substr(0, a);
    if (a != std::string::npos) f.productId = text.substr(a + 1, b == std::string::npos ? b : b - a - 1);
    if (b != std::string::npos) f.serial = text.substr(b + 1);
    if (!hex4(f.vendorId) || !hex4(f.productId) || (b != std::string::npos && f.serial.empty())) {
        error = "'" + text + "': expected VID:PID or VID:PID:SERIAL, the ids four hexadecimal digits";
        return std::nullopt;
    }
    return f;
}

}  // namespace kvx
