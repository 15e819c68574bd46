// Builds firmware files byte by byte from the file's layout, without the
// program's reader or its constants, for tests and fuzz seeds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvx::test {

// A firmware file as its producer writes it: the signature XOR 0x2E, the
// version, the words XOR W, the key table (`key`, 3290 bytes, zero where it
// is shorter), the image scrambled in groups of four with two key bytes each
// (padded to 16-byte steps), a trailer and the byte sum. lengthOverride puts
// another value into the image-length word.
inline std::vector<uint8_t> buildFirmwareFile(const std::vector<uint8_t>& image, const std::string& version,
                                              uint16_t w, uint16_t imageEnd, const std::vector<uint8_t>& key,
                                              int lengthOverride = -1) {
    std::vector<uint8_t> f;
    for (char ch : std::string("KvxFmWr")) f.push_back(static_cast<uint8_t>(ch) ^ 0x2E);
    for (size_t i = 0; i < 8; ++i) f.push_back(i < version.size() ? static_cast<uint8_t>(version[i]) : 0);
    auto word = [&](uint16_t v) {
        f.push_back(static_cast<uint8_t>(v));
        f.push_back(static_cast<uint8_t>(v >> 8));
    };
    const uint16_t length =
        lengthOverride >= 0 ? static_cast<uint16_t>(lengthOverride) : static_cast<uint16_t>(image.size());
    word(w);
    word(static_cast<uint16_t>(imageEnd ^ w));
    word(static_cast<uint16_t>(0x0102 ^ w));
    word(static_cast<uint16_t>(0x0304 ^ w));
    word(static_cast<uint16_t>(length ^ w));
    std::vector<uint8_t> table(4096, 0);
    for (size_t i = 0; i < 3290; ++i) {
        table[i] = i < key.size() ? key[i] : 0;
        f.push_back(table[i]);
    }
    size_t padded = 16 * ((image.size() + 15) / 16);
    size_t c = 0;
    for (size_t at = 0; at < padded; at += 4) {
        for (size_t j = 0; j < 4; ++j) {
            uint8_t s = at + j < image.size() ? image[at + j] : 0;
            f.push_back(static_cast<uint8_t>(s ^ table[c + (j & 1)]));
        }
        c = (c + 4) % 4096;
    }
    for (size_t i = 0; i < 876; ++i) f.push_back(static_cast<uint8_t>(i * 13 + 5));
    uint32_t sum = 0;
    for (uint8_t b : f) sum += b;
    for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(sum >> (8 * i)));
    return f;
}

// The same with a key table made from `seed`.
inline std::vector<uint8_t> makeFirmwareFile(const std::vector<uint8_t>& image, const std::string& version,
                                             uint16_t w, uint16_t imageEnd, uint32_t seed = 7) {
    std::vector<uint8_t> key(3290);
    uint32_t x = seed * 2654435761u + 99;
    for (auto& k : key) {
        x = x * 1664525u + 1013904223u;
        k = static_cast<uint8_t>(x >> 24);
    }
    return buildFirmwareFile(image, version, w, imageEnd, key);
}

}  // namespace kvx::test
