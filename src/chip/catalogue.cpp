#include "chip/catalogue.h"

#include <cstring>

namespace kvx {

namespace {
const std::vector<std::string> kLks = {
    "LKS32MC088C6Tx ", "LKS32MC088C6Qx", "LKS32MC088C8Tx", "LKS32MC088C8Qx", "LKS32MC088K6Tx", "LKS32MC088K6Qx",
    "LKS32MC088K8Tx",  "LKS32MC088K8Qx", "LKS32MC088R6Tx", "LKS32MC088R6Qx", "LKS32MC088R8Tx", "LKS32MC088R8Qx",
    "LKS32MC089C8Tx",  "LKS32MC089C8Qx", "LKS32MC089K6Tx", "LKS32MC089K6Qx", "LKS32MC089K8Tx", "LKS32MC089K8Qx",
    "LKS32MC089R6Tx",  "LKS32MC089R6Qx", "LKS32MC089R8Tx", "LKS32MC089R8Qx ",
};
const std::vector<std::string> kCpt = {"CPT2816QN24-A1", "CPT2816QN16-A1", "CPT2816SP16-A1", "CPT2816SS28-A1",
                                       "CPT2816CS12_A1", "CPT2816SP16-A3", "CPT2816Cxx-A3"};
const std::vector<std::string> kFg = {"FG8190F48xx ", "FG8590Q48xx", "FG8190Sxx", "FG8692Qxx", "FG8591Qxx"};
const std::vector<std::string> kSc = {
    "SC32F5232JV1G",   "SC32F5232JV1GTR", "SC32F5232LF1G",   "SC32F5232LF2G",  "SC32F5264LF1G",  "SC32F52128LF1G",
    "SC32F5264NF1G",   "SC32F5264LA1G",   "SC32F5264LL1G",   "SC32F5264LA2G",  "SC32F52128LB1G", "SC32F52128LA1G",
    "SC32F52128LL1G",  "SC32F53128LB1G",  "SC32F5364LB1G",   "SC32F53128LL1G", "SC32F5364LL1G",  "SC32F5364LA1G",
    "SC32F5632LL1G",   "SC32F5664LL1G",   "SC32F5632LF1G",   "SC32F5664LF1G",  "SC32F5632JV1G",  "SC32F5632JV1GTR",
    "SC32F5664JV1G",   "SC32F5664JV1GTR", "SC32F5632RE1G",   "SC32F5632RE1GTR", "SC32F5832LL1G", "SC32F5864LL1G",
    "SC32F5832LB1G",   "SC32F5864LB1G",   "SC32F5832JV1G",   "SC32F5832JV1GTR", "SC32F5864JV1G", "SC32F5864JV1GTR",
    "SC32F58128xxx",
};
}  // namespace

const std::vector<std::string>& chipNames(ChipVendor v) {
    switch (v) {
    case ChipVendor::LKS: return kLks;
    case ChipVendor::CPT: return kCpt;
    case ChipVendor::FG: return kFg;
    case ChipVendor::SC: break;
    }
    return kSc;
}

std::string vendorCaption(ChipVendor v) {
    switch (v) {
    case ChipVendor::LKS: return "凌鸥创新";
    case ChipVendor::CPT: return "启攀微";
    case ChipVendor::FG: return "方为半导体";
    case ChipVendor::SC: break;
    }
    return "士兰微";
}

uint16_t flashSizeForName(ChipVendor vendor, const std::string& name) {
    switch (vendor) {
    case ChipVendor::LKS:
        if (name.size() > 11 && name[11] == '6') return 32;
        return 64;  // '8' and anything else
    case ChipVendor::CPT: return 32;
    case ChipVendor::FG: return 64;
    case ChipVendor::SC: {
        struct Prefix {
            const char* text;
            uint16_t kb;
        };
        static const Prefix prefixes[] = {
            {"SC32F5232", 32},   {"SC32F5332", 32},   {"SC32F5632", 32},   {"SC32F5832", 32},
            {"SC32F5264", 64},   {"SC32F5364", 64},   {"SC32F5664", 64},   {"SC32F5864", 64},
            {"SC32F52128", 128}, {"SC32F53128", 128}, {"SC32F56128", 128}, {"SC32F58128", 128},
        };
        for (const Prefix& p : prefixes)
            if (name.compare(0, std::strlen(p.text), p.text) == 0) return p.kb;
        return 64;
    }
    }
    return 64;
}

void chooseChip(ChipProfile& p, ChipVendor vendor, int index) {
    // A vendor value outside the four lists has the SC list (chipNames), so
    // the profile takes SC as its vendor too.
    if (static_cast<uint8_t>(vendor) > 3) vendor = ChipVendor::SC;
    const auto& names = chipNames(vendor);
    if (index < 0 || index >= static_cast<int>(names.size())) index = 0;
    p.vendor = vendor;
    p.chipChosen = true;
    p.chipName = names[static_cast<size_t>(index)];
    p.flashSizeKB = flashSizeForName(vendor, p.chipName);
    switch (vendor) {
    case ChipVendor::LKS:
        p.eepSize = 1024;
        p.familyCode = 0x00;
        break;
    case ChipVendor::CPT:
        p.eepSize = 0;
        p.familyCode = 0x40;
        break;
    case ChipVendor::FG:
        p.eepSize = 0;
        p.familyCode = 0x10;
        break;
    case ChipVendor::SC:
        p.eepSize = 512;
        p.familyCode = 0x80;
        break;
    }
    p.modelIndex = static_cast<uint8_t>(index);
}

VendorDefaults vendorDefaults(const ChipProfile& p) {
    VendorDefaults d;
    const uint32_t flashBytes = static_cast<uint32_t>(p.flashSizeKB) * 1024;
    d.sectorSize = 1024;
    d.sectorCount = p.flashSizeKB;
    switch (p.vendor) {
    case ChipVendor::LKS:
        d.voltageItem = 0;
        d.optChecked = false;
        d.loadNvmData.visible = true;
        d.saveNvmData.visible = true;
        d.readOption.visible = false;
        d.writeOption.visible = false;
        d.flashFirst = 0x00000000;
        d.nvmFirst = 0x00000000;
        d.nvmLast = 0x000003FF;
        d.jobFlags3 = 0x42;
        break;
    case ChipVendor::CPT: {
        const bool noWatchdog = p.chipName.starts_with("CPT2816Cxx-A3");
        d.voltageItem = 1;
        d.optChecked = true;
        d.enWDTVisible = !noWatchdog;
        if (noWatchdog) d.enWDTChecked = false;
        d.loadNvmData.visible = false;
        d.saveNvmData.visible = false;
        d.readOption.visible = true;
        d.writeOption.visible = true;
        d.noWatchdogVariant = noWatchdog;
        d.familyOption = 0x20;
        d.optionPreset = OptionPreset::CptLayout;
        d.flashFirst = 0x08000000;
        d.nvmFirst = 0x08010000;
        d.nvmLast = 0x080103FF;
        d.auxFirst = 0x08010000;
        d.auxLast = 0x080103FF;
        d.jobFlags5 = 0x01;
        break;
    }
    case ChipVendor::FG:
        d.voltageItem = 0;
        d.optChecked = true;
        d.enROPVisible = true;
        d.loadNvmData.visible = false;
        d.saveNvmData.visible = false;
        d.optionPreset = OptionPreset::CptLayout;
        d.sectorSize = 256;
        d.sectorCount = static_cast<uint16_t>(p.flashSizeKB * 4u);
        d.flashFirst = 0x08000000;
        d.nvmFirst = 0x08010000;
        d.nvmLast = 0x080100FF;
        d.jobFlags0 = 0x0C;
        break;
    default:  // SC
        d.voltageItem = 1;
        d.optChecked = false;
        d.optVisible = false;
        d.enWDTVisible = false;
        d.enWDTChecked = false;
        d.ldCFGVisible = true;
        d.nvmCaption = "擦写NVM数据";
        d.loadNvmData.visible = true;
        d.saveNvmData.visible = true;
        d.readOption = {true, "Read &NVM Byte"};
        d.writeOption = {true, "&Write NVM Byte"};
        d.wrtOPBCaption = "写NVM Data";
        d.familyOption = 0x00;
        d.optionPreset = OptionPreset::Erased;
        d.flashFirst = 0x00000000;
        d.nvmFirst = 0x00000000;
        d.nvmLast = 0x000001FF;
        d.auxFirst = 0x00000000;
        d.auxLast = 0x000000FF;
        d.eepSize = 512;
        d.jobFlags0 = 0x08;
        d.jobFlags5 = p.flashSizeKB < 64 ? 0x01 : 0x00;
        break;
    }
    d.flashLast = d.flashFirst + flashBytes - 1;
    return d;
}

void applyProfileDefaults(ChipProfile& p, std::array<uint8_t, 6>& f, uint8_t* opt) {
    const VendorDefaults d = vendorDefaults(p);
    if (d.noWatchdogVariant) p.noWatchdogVariant = *d.noWatchdogVariant;
    if (d.familyOption) p.familyOption = *d.familyOption;
    if (d.optionPreset != OptionPreset::Keep) std::memset(opt, 0xFF, 128);
    if (d.optionPreset == OptionPreset::CptLayout) opt[10] = opt[11] = opt[14] = opt[15] = 0x00;
    p.sectorSize = d.sectorSize;
    p.sectorCount = d.sectorCount;
    p.flashFirst = d.flashFirst;
    p.flashLast = d.flashLast;
    p.nvmFirst = d.nvmFirst;
    p.nvmLast = d.nvmLast;
    if (d.auxFirst) p.auxFirst = *d.auxFirst;
    if (d.auxLast) p.auxLast = *d.auxLast;
    if (d.eepSize) p.eepSize = *d.eepSize;
    f[0] = d.jobFlags0;
    f[3] = d.jobFlags3;
    f[4] = d.jobFlags4;
    f[5] = d.jobFlags5;
}

std::string windowCaption(ChipVendor v) { return applicationTitle(v) + " Programmer Wizard"; }

std::string applicationTitle(ChipVendor v) {
    switch (v) {
    case ChipVendor::LKS: return "Korvex200LKS";
    case ChipVendor::CPT: return "Korvex200CPT";
    case ChipVendor::FG: return "Korvex200FG";
    case ChipVendor::SC: break;
    }
    return "Korvex200SC";
}

std::optional<int> findChip(ChipVendor v, std::string_view name) {
    if (static_cast<uint8_t>(v) > 3) return std::nullopt;
    const auto& names = chipNames(v);
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return static_cast<int>(i);
    return std::nullopt;
}

std::string catalogueName(ChipVendor v, int index) {
    if (static_cast<uint8_t>(v) > 3) return {};
    const auto& names = chipNames(v);
    if (index < 0 || index >= static_cast<int>(names.size())) return {};
    return names[static_cast<size_t>(index)];
}

}  // namespace kvx
