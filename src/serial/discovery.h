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
    // The links udev makes to it: by the USB port it sits in, and by its
    // identity ("" when there is none).
    std::string byPath, byId;
};

// The system's candidate ports, in the system's order: USB-serial ttys from
// the sysfs tree under sysClassTty, then the entries of KORVEX_SERIAL_DIR
// sorted by name.
std::vector<SerialPortInfo> systemSerialPorts(const std::string& sysClassTty = "/sys/class/tty",
                                              const std::string& devSerial = "/dev/serial");

// A candidate port that could not be opened, so it was not listed.
struct SkippedPort {
    std::string name;   // the port's name (ttyUSB0, COM3)
    std::string path;   // the device it names
    std::string cause;  // why it cannot be opened and what to do about it
};

// Adds every candidate that can be opened at this moment to items (without
// clearing it), each in order of name without regard to case, a run of
// digits counted by its value (COM2 before COM10), and sets the
// displayed text: "无可用的串口" when the list is empty, else its last item.
// The candidates that cannot be opened are appended to *skipped, when given,
// in the system's order.
void ListSerialPorts(std::vector<std::string>& items, std::string& displayText,
                     std::vector<SkippedPort>* skipped = nullptr);

// Why the device at path cannot be opened as a channel's port at this
// moment, with the remedy ("permission denied (add the user to ...)"); ""
// when it can be opened.
std::string portOpenFailure(const std::string& path);

// The USB details of a listed port name ("" when unknown).
SerialPortInfo serialPortInfo(const std::string& name);

}  // namespace kvx
