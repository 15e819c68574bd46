// The memories of the chip in one emulated unit's socket: main flash, the
// NVM (EEP) data area, the 256-byte option area and the unique identifier.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvx {

constexpr uint32_t kSimOptionBase = 0x08010000;
constexpr size_t kSimOptionSize = 256;
constexpr uint8_t kSimErased = 0xFF;

// Family codes of the four vendors.
constexpr uint8_t kFamilyLks = 0x00;
constexpr uint8_t kFamilyCpt = 0x40;
constexpr uint8_t kFamilyFg = 0x10;
constexpr uint8_t kFamilySc = 0x80;

// What the chip parameter block says about the chip.
struct ChipGeometry {
    uint8_t familyCode = 0;
    uint8_t modelIndex = 0;
    uint8_t familyOption = 0;
    uint16_t flashSizeKB = 0;
    uint32_t flashFirst = 0;
    uint16_t eepSize = 0;
    uint32_t nvmFirst = 0;
    std::array<uint8_t, 6> jobFlags{};

    static ChipGeometry fromParameterBlock(const uint8_t* block);
    // Fields that decide the chip's memories (not the job flags).
    bool sameChip(const ChipGeometry& o) const {
        return familyCode == o.familyCode && modelIndex == o.modelIndex && flashSizeKB == o.flashSizeKB &&
               flashFirst == o.flashFirst && eepSize == o.eepSize && nvmFirst == o.nvmFirst;
    }
    // CPT and FG keep their NVM data in the option area at 0x08010000.
    bool nvmInOptionArea() const { return nvmFirst == kSimOptionBase; }
};

class ChipMemory {
public:
    ChipGeometry geometry;
    std::vector<uint8_t> flash;  // flashSizeKB * 1024 bytes from flashFirst
    std::vector<uint8_t> nvm;    // eepSize bytes (its own address space)
    std::array<uint8_t, kSimOptionSize> options{};
    std::array<uint8_t, 12> uid{};
    bool present = false;  // a chip has been configured
    bool writeProtected = false;
    bool readProtected = false;

    // Puts a fresh chip of this geometry into the socket: erased, or filled
    // with a pattern when notBlank.
    void insert(const ChipGeometry& g, bool notBlank);
    void erase();
    bool flashBlank() const;

    // Main flash programming: bits can only be cleared (new = old AND data).
    // offset is from flashFirst; clipped at the flash end. Returns the number
    // of bytes written (0 when offset lies beyond the flash).
    size_t programFlash(uint32_t offset, const uint8_t* data, size_t n);
    // NVM block programming (overwrites), offset from the area start, clipped.
    // For chips whose NVM lives in the option area the option area is written.
    size_t programNvm(uint32_t offset, const uint8_t* data, size_t n);
    void writeOptions(const uint8_t* data, size_t n);  // from option byte 0

    // Reads 4096 bytes (or n) of flash from offset; beyond the flash 0xFF.
    void readFlash(uint32_t offset, uint8_t* out, size_t n) const;
    // Reads the NVM area (or the option area for CPT/FG) from offset, padded.
    void readNvm(uint32_t offset, uint8_t* out, size_t n) const;
    // One byte at an absolute address: main flash, or the option area for
    // CPT and FG; 0xFF elsewhere.
    uint8_t readAddress(uint32_t address) const;
    // Writes one byte at an absolute address of main flash or the option area
    // (off-line serial numbers); false when the address is unmapped.
    bool writeAddress(uint32_t address, uint8_t value);
};

}  // namespace kvx
