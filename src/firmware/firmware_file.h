// The programmers' firmware file: its layout, its check and the unscrambled
// image the upgrade sends block by block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kvx {

// Layout of the file (offsets in bytes, u16 little-endian).
constexpr size_t kFirmwareBufferSize = 65536;
constexpr uint8_t kFirmwareSignatureKey = 0x2E;
constexpr char kFirmwareSignature[] = "KvxFmWr";  // 7 letters
constexpr size_t kFirmwareVersionOffset = 7;      // 8 bytes
constexpr size_t kFirmwareMaskOffset = 15;        // W
constexpr size_t kFirmwareEndOffset = 17;         // image end value XOR W
constexpr size_t kFirmwareLengthOffset = 23;      // scrambled image length L XOR W
constexpr size_t kFirmwareKeyOffset = 25;
constexpr size_t kFirmwareKeySize = 3290;
constexpr size_t kFirmwareKeyArea = 4096;
constexpr size_t kFirmwareImageOffset = 3315;
constexpr size_t kFirmwareTrailerSize = 876;
constexpr uint16_t kFirmwareBlockBase = 4096;
// Each upgrade block takes 2048 source bytes from the buffer.
constexpr size_t kFirmwareBlockSource = 2048;
constexpr int kFirmwareMaxBlocks = static_cast<int>(kFirmwareBufferSize / kFirmwareBlockSource);  // 32

// Bytes the scrambled image of length L occupies in the file: whole 16-byte
// steps.
constexpr size_t firmwareScrambledSize(uint16_t length) { return 16 * ((static_cast<size_t>(length) + 15) / 16); }

struct FirmwareFile {
    bool loaded = false;                          // FirmwareFileLoaded
    std::array<uint8_t, kFirmwareBufferSize> buffer{};  // the unscrambled image from offset 0
    std::array<uint8_t, 8> version{};             // all zero unless accepted and starting with "V"
    uint16_t imageEnd = 0;
    uint16_t blockBase = kFirmwareBlockBase;
    uint16_t length = 0;                          // L, the scrambled image length
    // (imageEnd - 4096) / 1024 + 1 upgrade blocks; 0 when no file is loaded.
    int blockCount() const;
    // Why a file was not loaded, as a line for the information log; empty
    // when it was loaded.
    std::string refusal;
};

// Reads and checks the firmware file. A file is loaded only when its
// signature and its byte sum are right and its sizes fit: the file within
// the 65,536-byte buffer, the scrambled image and the trailer within the
// file, an image end value of at least 4096 and at most 32 upgrade blocks.
// Anything else leaves loaded false, the version all zero (so discovery
// accepts every programmer) and a reason in refusal.
FirmwareFile checkFirmwareFile(const std::string& path);

// The same check over file bytes already in memory.
FirmwareFile checkFirmwareBytes(const uint8_t* data, size_t size);

}  // namespace kvx
