// Line rates outside the classic Bnnn table, through the kernel's termios2
// interface (BOTHER). Kept in its own file: the kernel's termios header and
// the C library's define the same structures.
#pragma once

#include <cstdint>

namespace kvx {

// Sets input and output rate of the tty to baud bits per second; false when
// the driver refuses.
bool setArbitraryLineRate(int fd, uint32_t baud);
// Reads the tty's output and input rates in bits per second.
bool readLineRate(int fd, uint32_t& outBaud, uint32_t& inBaud);

}  // namespace kvx
