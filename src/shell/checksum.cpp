#include "shell/checksum.h"

namespace kvx {

namespace {
bool rangeOk(uint32_t first, uint32_t last) { return first <= 0xFFFFFF && last <= 0xFFFFFF && last >= first; }
}  // namespace

uint16_t flashCrc16(const uint8_t* data, uint32_t first, uint32_t last) {
    if (!rangeOk(first, last)) return 0;
    uint16_t c = 0;
    for (uint32_t i = first; i <= last; ++i) c = flashCrc16Step(c, data[i]);
    return c;
}

uint32_t byteSum32(const uint8_t* data, uint32_t first, uint32_t last) {
    if (!rangeOk(first, last)) return 0;
    uint32_t s = 0;
    for (uint32_t i = first; i <= last; ++i) s += data[i];
    return s;
}

}  // namespace kvx
