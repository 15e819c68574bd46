// Which port each channel takes when the line fixes it: on a fixture, channel
// N is always the same socket, whatever order the adapters were plugged in.
// The map comes from a file in the program's configuration folder, or from
// the command line's --port list.
#pragma once

#include "serial/discovery.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvx {

constexpr const char* kPortMapFileName = "ports.map";
constexpr const char* kByPathFolder = "/dev/serial/by-path/";

struct PortMap {
    std::array<std::string, 8> ports;  // by channel; "" = no port
    // The highest channel with a port (0 when none).
    int lastChannel() const;
};

// Reads a map's text: one line per channel, "N PORT", N from 1 to 8 and
// PORT a device path or a name in /dev/serial/by-path; blank lines and what
// follows '#' are ignored. nullopt with `error` naming the line and why.
std::optional<PortMap> parsePortMap(std::string_view text, std::string& error);

// The --port list, in channel order; nullopt with `error` when there are
// more than eight.
std::optional<PortMap> portMapOf(const std::vector<std::string>& ports, std::string& error);

// A --usb filter: the search takes only the adapters with this USB vendor and
// product id (and serial number, when given).
struct UsbFilter {
    std::string vendorId, productId, serial;
    bool matches(const SerialPortInfo& port) const;
};
// "VID:PID" or "VID:PID:SERIAL", the ids four hexadecimal digits each.
std::optional<UsbFilter> parseUsbFilter(const std::string& text, std::string& error);

}  // namespace kvx
