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
