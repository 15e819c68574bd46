#include "chip/catalogue.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>
#include <vector>

using namespace kvx;

namespace {

struct Entry {
    ChipVendor vendor;
    int index;
    const char* name;
    uint16_t flashKB;
};

constexpr ChipVendor L = ChipVendor::LKS, C = ChipVendor::CPT, F = ChipVendor::FG, S = ChipVendor::SC;

// The whole catalogue, in order, with the flash size each name stands for.
const std::vector<Entry> kCatalogue = {
    {L, 0, "LKS32MC088C6Tx ", 32}, {L, 1, "LKS32MC088C6Qx", 32},  {L, 2, "LKS32MC088C8Tx", 64},
    {L, 3, "LKS32MC088C8Qx", 64},  {L, 4, "LKS32MC088K6Tx", 32},  {L, 5, "LKS32MC088K6Qx", 32},
    {L, 6, "LKS32MC088K8Tx", 64},  {L, 7, "LKS32MC088K8Qx", 64},  {L, 8, "LKS32MC088R6Tx", 32},
    {L, 9, "LKS32MC088R6Qx", 32},  {L, 10, "LKS32MC088R8Tx", 64}, {L, 11, "LKS32MC088R8Qx", 64},
    {L, 12, "LKS32MC089C8Tx", 64}, {L, 13, "LKS32MC089C8Qx", 64}, {L, 14, "LKS32MC089K6Tx", 32},
    {L, 15, "LKS32MC089K6Qx", 32}, {L, 16, "LKS32MC089K8Tx", 64}, {L, 17, "LKS32MC089K8Qx", 64},
    {L, 18, "LKS32MC089R6Tx", 32}, {L, 19, "LKS32MC089R6Qx", 32}, {L, 20, "LKS32MC089R8Tx", 64},
    {L, 21, "LKS32MC089R8Qx ", 64},
    {C, 0, "CPT2816QN24-A1", 32},  {C, 1, "CPT2816QN16-A1", 32},  {C, 2, "CPT2816SP16-A1", 32},
    {C, 3, "CPT2816SS28-A1", 32},  {C, 4, "CPT2816CS12_A1", 32},  {C, 5, "CPT2816SP16-A3", 32},
    {C, 6, "CPT2816Cxx-A3", 32},
    {F, 0, "FG8190F48xx ", 64},    {F, 1, "FG8590Q48xx", 64},     {F, 2, "FG8190Sxx", 64},
    {F, 3, "FG8692Qxx", 64},       {F, 4, "FG8591Qxx", 64},
    {S, 0, "SC32F5232JV1G", 32},   {S, 1, "SC32F5232JV1GTR", 32}, {S, 2, "SC32F5232LF1G", 32},
    {S, 3, "SC32F5232LF2G", 32},   {S, 4, "SC32F5264LF1G", 64},   {S, 5, "SC32F52128LF1G", 128},
    {S, 6, "SC32F5264NF1G", 64},   {S, 7, "SC32F5264LA1G", 64},   {S, 8, "SC32F5264LL1G", 64},
    {S, 9, "SC32F5264LA2G", 64},   {S, 10, "SC32F52128LB1G", 128}, {S, 11, "SC32F52128LA1G", 128},
    {S, 12, "SC32F52128LL1G", 128}, {S, 13, "SC32F53128LB1G", 128}, {S, 14, "SC32F5364LB1G", 64},
    {S, 15, "SC32F53128LL1G", 128}, {S, 16, "SC32F5364LL1G", 64},  {S, 17, "SC32F5364LA1G", 64},
    {S, 18, "SC32F5632LL1G", 32},  {S, 19, "SC32F5664LL1G", 64},  {S, 20, "SC32F5632LF1G", 32},
    {S, 21, "SC32F5664LF1G", 64},  {S, 22, "SC32F5632JV1G", 32},  {S, 23, "SC32F5632JV1GTR", 32},
    {S, 24, "SC32F5664JV1G", 64},  {S, 25, "SC32F5664JV1GTR", 64}, {S, 26, "SC32F5632RE1G", 32},
    {S, 27, "SC32F5632RE1GTR", 32}, {S, 28, "SC32F5832LL1G", 32}, {S, 29, "SC32F5864LL1G", 64},
    {S, 30, "SC32F5832LB1G", 32},  {S, 31, "SC32F5864LB1G", 64},  {S, 32, "SC32F5832JV1G", 32},
    {S, 33, "SC32F5832JV1GTR", 32}, {S, 34, "SC32F5864JV1G", 64}, {S, 35, "SC32F5864JV1GTR", 64},
    {S, 36, "SC32F58128xxx", 128},
};

// What each vendor brings; -1 marks a field the vendor leaves as it was.
struct VendorRule {
    uint16_t eep;
    uint8_t familyCode;
    uint16_t sectorSize;
    int sectorsPerKB;
    uint32_t flashFirst, nvmFirst, nvmLast;
    int64_t auxFirst, auxLast;
    int familyOption;
    std::array<uint8_t, 4> flags0345;  // byte 5 of SC depends on the size (below)
    enum { Keep, CptPreset, AllFF } options;
};

VendorRule rule(ChipVendor v) {
    switch (v) {
    case ChipVendor::LKS:
        return {1024, 0x00, 1024, 1, 0, 0, 0x3FF, -1, -1, -1, {0x00, 0x42, 0x00, 0x00}, VendorRule::Keep};
    case ChipVendor::CPT:
        return {0, 0x40, 1024, 1, 0x08000000, 0x08010000, 0x080103FF, 0x08010000, 0x080103FF, 0x20,
                {0x00, 0x00, 0x00, 0x01}, VendorRule::CptPreset};
    case ChipVendor::FG:
        return {0, 0x10, 256, 4, 0x08000000, 0x08010000, 0x080100FF, -1, -1, -1, {0x0C, 0x00, 0x00, 0x00},
                VendorRule::CptPreset};
    case ChipVendor::SC: break;
    }
    return {512, 0x80, 1024, 1, 0, 0, 0x1FF, 0, 0xFF, 0x00, {0x08, 0x00, 0x00, 0x00}, VendorRule::AllFF};
}

const char* vendorName(ChipVendor v) {
    static const char* names[] = {"LKS", "CPT", "FG", "SC"};
    return names[static_cast<int>(v)];
}

}  // namespace

TEST(ChipCatalogue, ExactNamesInOrder) {
    const std::array<size_t, 4> counts = {22, 7, 5, 37};
    size_t total = 0;
    for (int v = 0; v < 4; ++v) {
        EXPECT_EQ(chipNames(static_cast<ChipVendor>(v)).size(), counts[static_cast<size_t>(v)]);
        total += chipNames(static_cast<ChipVendor>(v)).size();
    }
    EXPECT_EQ(total, 71u);
    ASSERT_EQ(kCatalogue.size(), 71u);
    for (const Entry& e : kCatalogue) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(chipNames(e.vendor).at(static_cast<size_t>(e.index)), e.name);
        EXPECT_EQ(catalogueName(e.vendor, e.index), e.name);
        EXPECT_EQ(findChip(e.vendor, e.name), e.index);
    }
    // Exactly three names end in a blank, which is part of the name.
    std::set<std::string> blank;
    for (int v = 0; v < 4; ++v)
        for (const std::string& n : chipNames(static_cast<ChipVendor>(v)))
            if (!n.empty() && n.back() == ' ') blank.insert(n);
    EXPECT_EQ(blank, (std::set<std::string>{"LKS32MC088C6Tx ", "LKS32MC089R8Qx ", "FG8190F48xx "}));
    EXPECT_EQ(findChip(ChipVendor::LKS, "LKS32MC088C6Tx"), std::nullopt);
    EXPECT_EQ(findChip(ChipVendor::FG, "FG8190F48xx"), std::nullopt);
}

// Every name through the chip dialog and the chip defaults, starting from a
// profile full of marker values so that "left as it was" shows.
TEST(ChipCatalogue, EveryChipsProfile) {
    for (const Entry& e : kCatalogue) {
        SCOPED_TRACE(std::string(vendorName(e.vendor)) + " " + e.name);
        const VendorRule r = rule(e.vendor);
        ChipProfile p;
        p.vendor = e.vendor;
        p.familyOption = 0x77;
        p.auxFirst = 0x1234;
        p.auxLast = 0x5678;
        p.noWatchdogVariant = true;
        p.eepSize = 4321;
        std::array<uint8_t, 6> flags = {0xF3, 0x5A, 0xA5, 0xFF, 0xEE, 0xDD};
        std::array<uint8_t, 256> opt;
        opt.fill(0x55);

        chooseChip(p, e.vendor, e.index);
        EXPECT_TRUE(p.chipChosen);
        EXPECT_EQ(p.chipName, e.name);
        EXPECT_EQ(p.modelIndex, e.index);
        EXPECT_EQ(p.flashSizeKB, e.flashKB);
        EXPECT_EQ(flashSizeForName(e.vendor, e.name), e.flashKB);
        EXPECT_EQ(p.eepSize, r.eep);
        EXPECT_EQ(p.familyCode, r.familyCode);

        applyProfileDefaults(p, flags, opt.data());
        EXPECT_EQ(p.flashSizeKB, e.flashKB);
        EXPECT_EQ(p.eepSize, r.eep);
        EXPECT_EQ(p.sectorSize, r.sectorSize);
        EXPECT_EQ(p.sectorCount, e.flashKB * r.sectorsPerKB);
        EXPECT_EQ(uint32_t(p.sectorCount) * p.sectorSize, uint32_t(e.flashKB) * 1024);
        EXPECT_EQ(p.flashFirst, r.flashFirst);
        EXPECT_EQ(p.flashLast, r.flashFirst + e.flashKB * 1024u - 1);
        EXPECT_EQ(p.nvmFirst, r.nvmFirst);
        EXPECT_EQ(p.nvmLast, r.nvmLast);
        EXPECT_EQ(p.auxFirst, r.auxFirst < 0 ? 0x1234u : uint32_t(r.auxFirst));
        EXPECT_EQ(p.auxLast, r.auxLast < 0 ? 0x5678u : uint32_t(r.auxLast));
        EXPECT_EQ(p.familyOption, r.familyOption < 0 ? 0x77 : r.familyOption);
        uint8_t flag5 = e.vendor == ChipVendor::SC ? (e.flashKB < 64 ? 0x01 : 0x00) : r.flags0345[3];
        EXPECT_EQ(flags, (std::array<uint8_t, 6>{r.flags0345[0], 0x5A, 0xA5, r.flags0345[1], r.flags0345[2], flag5}));
        EXPECT_EQ(p.noWatchdogVariant, e.vendor == ChipVendor::CPT ? std::string(e.name) == "CPT2816Cxx-A3" : true);
        for (size_t i = 0; i < 256; ++i) {
            uint8_t want = 0x55;
            if (i < 128 && r.options == VendorRule::AllFF) want = 0xFF;
            if (i < 128 && r.options == VendorRule::CptPreset) want = (i == 10 || i == 11 || i == 14 || i == 15) ? 0 : 0xFF;
            ASSERT_EQ(opt[i], want) << "option byte " << i;
        }
    }
}

TEST(ChipCatalogue, NamedCases) {
    std::array<uint8_t, 6> flags{};
    std::array<uint8_t, 256> opt{};
    ChipProfile p;
    chooseChip(p, ChipVendor::SC, 36);  // "SC32F58128xxx" matches the prefix SC32F58128
    applyProfileDefaults(p, flags, opt.data());
    EXPECT_EQ(p.flashSizeKB, 128);
    EXPECT_EQ(p.flashLast, 0x0001FFFFu);
    EXPECT_EQ(p.sectorCount, 128);
    EXPECT_EQ(flags[5], 0x00);
    EXPECT_EQ(p.eepSize, 512);
    EXPECT_EQ(p.nvmLast, 0x000001FFu);

    // Choosing another CPT chip after "CPT2816Cxx-A3" shows the watchdog again.
    chooseChip(p, ChipVendor::CPT, 6);
    applyProfileDefaults(p, flags, opt.data());
    EXPECT_TRUE(p.noWatchdogVariant);
    chooseChip(p, ChipVendor::CPT, 5);
    applyProfileDefaults(p, flags, opt.data());
    EXPECT_FALSE(p.noWatchdogVariant);

    // FG keeps the family option CPT set; SC clears it.
    chooseChip(p, ChipVendor::CPT, 0);
    applyProfileDefaults(p, flags, opt.data());
    EXPECT_EQ(p.familyOption, 0x20);
    chooseChip(p, ChipVendor::FG, 0);
    applyProfileDefaults(p, flags, opt.data());
    EXPECT_EQ(p.familyOption, 0x20);
    EXPECT_EQ(p.sectorCount, 256);
    chooseChip(p, ChipVendor::SC, 0);
    applyProfileDefaults(p, flags, opt.data());
    EXPECT_EQ(p.familyOption, 0x00);

    // An index outside the list chooses the first name.
    for (int bad : {-1, 37, 1000}) {
        chooseChip(p, ChipVendor::SC, bad);
        EXPECT_EQ(p.chipName, "SC32F5232JV1G");
        EXPECT_EQ(p.modelIndex, 0);
    }
}

// The size rules on names outside the catalogue.
TEST(ChipCatalogue, FlashSizeRules) {
    struct Case {
        ChipVendor v;
        const char* name;
        uint16_t kb;
    };
    const std::vector<Case> cases = {
        {L, "LKS32MC088C6", 32},  {L, "LKS32MC088C8", 64}, {L, "LKS32MC088C7Tx", 64},
        {L, "LKS32MC088C", 64},   {L, "", 64},             {S, "SC32F5332xx", 32},
        {S, "SC32F56128", 128},   {S, "SC32F5264", 64},    {S, "SC32F523", 64},
        {S, "SC32F5999LL1G", 64}, {S, "", 64},             {C, "anything", 32},
        {F, "anything", 64},
    };
    for (const Case& c : cases) EXPECT_EQ(flashSizeForName(c.v, c.name), c.kb) << vendorName(c.v) << " \"" << c.name << "\"";
}

TEST(ChipCatalogue, CaptionsAndBounds) {
    struct Case {
        ChipVendor v;
        const char* caption;
        const char* title;
        const char* window;
    };
    const std::vector<Case> cases = {
        {L, "凌鸥创新", "Korvex200LKS", "Korvex200LKS Programmer Wizard"},
        {C, "启攀微", "Korvex200CPT", "Korvex200CPT Programmer Wizard"},
        {F, "方为半导体", "Korvex200FG", "Korvex200FG Programmer Wizard"},
        {S, "士兰微", "Korvex200SC", "Korvex200SC Programmer Wizard"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vendorCaption(c.v), c.caption);
        EXPECT_EQ(applicationTitle(c.v), c.title);
        EXPECT_EQ(windowCaption(c.v), c.window);
    }
    EXPECT_EQ(catalogueName(ChipVendor::LKS, -1), "");
    EXPECT_EQ(catalogueName(ChipVendor::LKS, 22), "");
    EXPECT_EQ(catalogueName(ChipVendor::CPT, 7), "");
    EXPECT_EQ(catalogueName(ChipVendor::FG, 5), "");
    EXPECT_EQ(catalogueName(ChipVendor::SC, 37), "");
    EXPECT_EQ(catalogueName(static_cast<ChipVendor>(4), 0), "");
    EXPECT_EQ(findChip(static_cast<ChipVendor>(4), "SC32F5232JV1G"), std::nullopt);
    ChipProfile odd;
    chooseChip(odd, static_cast<ChipVendor>(9), 4);
    EXPECT_EQ(odd.vendor, ChipVendor::SC);
    EXPECT_EQ(odd.chipName, "SC32F5264LF1G");
    EXPECT_EQ(odd.familyCode, 0x80);
    EXPECT_EQ(odd.eepSize, 512);
    EXPECT_EQ(findChip(ChipVendor::SC, "FG8590Q48xx"), std::nullopt);  // another vendor's name
    EXPECT_EQ(findChip(ChipVendor::SC, ""), std::nullopt);
    EXPECT_EQ(findChip(ChipVendor::SC, "sc32f58128xxx"), std::nullopt);

    // Start-up values of the profile.
    ChipProfile p;
    EXPECT_EQ(p.vendor, ChipVendor::SC);
    EXPECT_EQ(p.flashSizeKB, 128);
    EXPECT_EQ(p.sectorSize, 1024);
    EXPECT_EQ(p.sectorCount, 128);
    EXPECT_EQ(p.eepSize, 0);
    EXPECT_FALSE(p.chipChosen);
    EXPECT_TRUE(p.chipName.empty());
}

// The window part of each vendor's defaults; an empty optional is an item
// the vendor leaves as it is.
TEST(ChipCatalogue, VendorWindowDefaults) {
    using OB = std::optional<bool>;
    using OS = std::optional<std::string>;
    struct Case {
        ChipVendor v;
        int index;
        int volt;
        bool optChecked;
        OB optVisible, enROP, wdtVisible, wdtChecked, ldCFG;
        OS nvmCaption;
        OB load, save, read, write;
        OS readCaption, writeCaption, wrtOPB;
        OB noWatchdog;
    };
    const OB keep;
    const OS same;
    const std::vector<Case> cases = {
        {L, 0, 0, false, keep, keep, keep, keep, keep, same, true, true, false, false, same, same, same, keep},
        {C, 0, 1, true, keep, keep, true, keep, keep, same, false, false, true, true, same, same, same, false},
        {C, 5, 1, true, keep, keep, true, keep, keep, same, false, false, true, true, same, same, same, false},
        {C, 6, 1, true, keep, keep, false, false, keep, same, false, false, true, true, same, same, same, true},
        {F, 0, 0, true, keep, true, keep, keep, keep, same, false, false, keep, keep, same, same, same, keep},
        {S, 0, 1, false, false, keep, false, false, true, "擦写NVM数据", true, true, true, true, "Read &NVM Byte",
         "&Write NVM Byte", "写NVM Data", keep},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(catalogueName(k.v, k.index));
        ChipProfile p;
        chooseChip(p, k.v, k.index);
        const VendorDefaults d = vendorDefaults(p);
        EXPECT_EQ(d.voltageItem, k.volt);
        EXPECT_EQ(d.optChecked, k.optChecked);
        EXPECT_EQ(d.optVisible, k.optVisible);
        EXPECT_EQ(d.enROPVisible, k.enROP);
        EXPECT_EQ(d.enWDTVisible, k.wdtVisible);
        EXPECT_EQ(d.enWDTChecked, k.wdtChecked);
        EXPECT_EQ(d.ldCFGVisible, k.ldCFG);
        EXPECT_EQ(d.nvmCaption, k.nvmCaption);
        EXPECT_EQ(d.loadNvmData.visible, k.load);
        EXPECT_EQ(d.saveNvmData.visible, k.save);
        EXPECT_EQ(d.readOption.visible, k.read);
        EXPECT_EQ(d.writeOption.visible, k.write);
        EXPECT_EQ(d.loadNvmData.caption, same);
        EXPECT_EQ(d.saveNvmData.caption, same);
        EXPECT_EQ(d.readOption.caption, k.readCaption);
        EXPECT_EQ(d.writeOption.caption, k.writeCaption);
        EXPECT_EQ(d.wrtOPBCaption, k.wrtOPB);
        EXPECT_EQ(d.noWatchdogVariant, k.noWatchdog);
    }
}

// The defaults follow the profile as it stands (a project load restores the
// size before they are applied), and the watchdog variant is a prefix test.
TEST(ChipCatalogue, DefaultsFollowTheProfile) {
    ChipProfile p;
    p.vendor = ChipVendor::SC;
    p.flashSizeKB = 63;
    EXPECT_EQ(vendorDefaults(p).jobFlags5, 0x01);
    p.flashSizeKB = 64;
    EXPECT_EQ(vendorDefaults(p).jobFlags5, 0x00);
    EXPECT_EQ(vendorDefaults(p).flashLast, 0x0000FFFFu);

    p.vendor = ChipVendor::FG;
    p.flashSizeKB = 16;
    VendorDefaults fg = vendorDefaults(p);
    EXPECT_EQ(fg.sectorCount, 64);
    EXPECT_EQ(fg.flashLast, 0x08003FFFu);

    p.vendor = ChipVendor::CPT;
    p.chipName = "CPT2816Cxx-A3 rev2";
    EXPECT_EQ(vendorDefaults(p).noWatchdogVariant, true);
    p.chipName = "CPT2816Cxx-A";
    EXPECT_EQ(vendorDefaults(p).noWatchdogVariant, false);
    EXPECT_EQ(vendorDefaults(p).enWDTChecked, std::nullopt);
}
