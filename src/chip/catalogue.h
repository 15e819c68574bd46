// The compiled-in chip catalogue: four vendors' chip names, the sizes each
// name implies, and the chip-dependent defaults a choice brings.
#pragma once

#include "chip/profile.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvx {

// The names of one vendor, in catalogue order (the position is modelIndex).
const std::vector<std::string>& chipNames(ChipVendor v);
// The vendor's caption in the chip dialog ("凌鸥创新", ...).
std::string vendorCaption(ChipVendor v);

// Choosing a chip in the dialog: chipChosen, chipName, flashSizeKB, eepSize,
// familyCode and modelIndex. An index outside the list chooses the first.
void chooseChip(ChipProfile& p, ChipVendor vendor, int index);
// The flash size a name implies (LKS by its 12th character, SC by prefix).
uint16_t flashSizeForName(ChipVendor vendor, const std::string& name);

// What the first 128 bytes of OptionBytesBuffer become when a chip is chosen.
enum class OptionPreset : uint8_t {
    Keep,       // left as they are
    Erased,     // all 0xFF
    CptLayout,  // all 0xFF, then bytes 10, 11, 14 and 15 := 0x00
};

// A menu entry of the main window as the chip defaults leave it.
struct MenuDefaults {
    std::optional<bool> visible;
    std::optional<std::string> caption;
};

// Everything the vendor brings when a chip is chosen, as plain data. An empty
// optional leaves the item as it is. The window items are applied by the
// main window; applyProfileDefaults applies the rest.
struct VendorDefaults {
    // Window items.
    int voltageItem = 0;                     // RadioGpVolt: 0 "3.3V", 1 "5.0V"
    bool optChecked = false;                 // CheckBoxOpt
    std::optional<bool> optVisible;          // CheckBoxOpt
    std::optional<bool> enROPVisible;        // ChkBoxEnROP
    std::optional<bool> enWDTVisible;        // ChkBoxEnWDT
    std::optional<bool> enWDTChecked;        // ChkBoxEnWDT
    std::optional<bool> ldCFGVisible;        // ButtonLdCFG
    std::optional<std::string> nvmCaption;   // ChkBoxNVM
    MenuDefaults loadNvmData;                // LoadNVMDataFile1
    MenuDefaults saveNvmData;                // SaveNVMDatatoFile1
    MenuDefaults readOption;                 // ReadOptionByte1
    MenuDefaults writeOption;                // WriteOptionByte1
    std::optional<std::string> wrtOPBCaption;  // SpdBtnWrtOPB
    // Profile, job flags and option bytes.
    std::optional<bool> noWatchdogVariant;
    std::optional<uint8_t> familyOption;
    OptionPreset optionPreset = OptionPreset::Keep;
    uint16_t sectorSize = 1024;
    uint16_t sectorCount = 0;
    uint32_t flashFirst = 0, flashLast = 0;
    uint32_t nvmFirst = 0, nvmLast = 0;
    std::optional<uint32_t> auxFirst, auxLast;
    std::optional<uint16_t> eepSize;
    uint8_t jobFlags0 = 0, jobFlags3 = 0, jobFlags4 = 0, jobFlags5 = 0;
};

// The defaults for the profile's vendor, name and flash size.
VendorDefaults vendorDefaults(const ChipProfile& p);

// The profile part of the chip defaults: family option, sectors, address
// ranges, NVM size, the chip-dependent job-flag bytes 0, 3, 4 and 5, the
// watchdog variant and the option-byte buffer's preset.
void applyProfileDefaults(ChipProfile& p, std::array<uint8_t, 6>& jobFlags, uint8_t* optionBytes256);

std::string windowCaption(ChipVendor v);     // "Korvex200SC Programmer Wizard"
std::string applicationTitle(ChipVendor v);  // "Korvex200SC"

std::optional<int> findChip(ChipVendor v, std::string_view name);
// The catalogue name of a vendor and model index; empty when out of range.
std::string catalogueName(ChipVendor v, int index);

}  // namespace kvx
