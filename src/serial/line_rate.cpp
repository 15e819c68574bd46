#include "serial/line_rate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace kvx {

bool setArbitraryLineRate(int fd, uint32_t baud) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &t) == 0;
}

bool readLineRate(int fd, uint32_t& outBaud, uint32_t& inBaud) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    outBaud = t.c_ospeed;
    inBaud = t.c_ispeed;
    return true;
}

}  // namespace kvx
