// The selected target chip.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kvx {

enum class ChipVendor : uint8_t { LKS = 0, CPT = 1, FG = 2, SC = 3 };

struct ChipProfile {
    ChipVendor vendor = ChipVendor::SC;
    uint8_t familyCode = 0x00;
    uint8_t modelIndex = 0;
    uint8_t familyOption = 0x00;
    uint16_t flashSizeKB = 128;
    uint16_t sectorSize = 1024;
    uint16_t sectorCount = 128;
    uint16_t eepSize = 0;
    uint32_t flashFirst = 0, flashLast = 0;
    uint32_t nvmFirst = 0, nvmLast = 0;
    uint32_t auxFirst = 0, auxLast = 0;
    bool chipChosen = false;
    bool noWatchdogVariant = false;
    std::string chipName;
};

}  // namespace kvx
