// The system's two image and frame summaries.
#pragma once

#include <cstdint>

namespace kvx {

// The 16-bit check code of frames and images: per byte, shift right by one,
// XOR 0x4A12 when the bit shifted out was 1, XOR the byte. Over data[first ..
// last] (inclusive); 0 without reading when an index is above 0xFFFFFF or
// last < first.
uint16_t flashCrc16(const uint8_t* data, uint32_t first, uint32_t last);

// Sum of data[first .. last] modulo 2^32, with the same guards.
uint32_t byteSum32(const uint8_t* data, uint32_t first, uint32_t last);

// Running form of flashCrc16 for data that arrives in pieces.
inline uint16_t flashCrc16Step(uint16_t c, uint8_t b) {
    uint16_t f = (c & 1) ? 0x4A12 : 0;
    return static_cast<uint16_t>((c >> 1) ^ b ^ f);
}

}  // namespace kvx
