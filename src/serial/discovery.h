// Finding the serial ports a programmer can sit on: the ttys of USB-serial
// adapters (never built-in UARTs), plus every entry of the folder named by
// KORVEX_SERIAL_DIR (the emulated units).
#pragma once

#include <string>
#include <vector>

namespace kvx {

struct SerialPortInfo {
    std::string name;  // ttyUSB0, ttyACM0, or the entry's name (COM1)
    std::string path;  // the device to open
    std::string driver;
    // Of the USB device the adapter is, when sysfs has them.
    std::string vendorId, productId, serial;
};

// The system's candidate ports, in the system's order: USB-serial ttys from
// the sysfs tree under sysClassTty, then the entries of KORVEX_SERIAL_DIR
// sorted by name.
std::vector<SerialPortInfo> systemSerialPorts(const std::string& sysClassTty = "/sys/class/tty");

// Adds every candidate that can be opened at this moment to items (without
// clearing it), each in text order without regard to case, and sets the
// displayed text: "无可用的串口" when the list is empty, else its last item.
void ListSerialPorts(std::vector<std::string>& items, std::string& displayText);

// The USB details of a listed port name ("" when unknown).
SerialPortInfo serialPortInfo(const std::string& name);

}  // namespace kvx
