#include "sim/chip_model.h"

#include "link/frame.h"

#include <algorithm>
#include <cstring>

namespace kvx {

ChipGeometry ChipGeometry::fromParameterBlock(const uint8_t* b) {
    ChipGeometry g;
    g.familyCode = b[4];
    g.modelIndex = b[5];
    g.flashSizeKB = le16(b + 20);
    g.eepSize = le16(b + 26);
    g.nvmFirst = static_cast<uint32_t>(le16(b + 30)) | (static_cast<uint32_t>(le16(b + 46)) << 16);
    for (size_t i = 0; i < 6; ++i) g.jobFlags[i] = b[32 + i];
    g.flashFirst = le32(b + 38);
    g.familyOption = b[60];
    return g;
}

void ChipMemory::insert(const ChipGeometry& g, bool notBlank) {
    geometry = g;
    present = true;
    flash.assign(static_cast<size_t>(g.flashSizeKB) * 1024, kSimErased);
    nvm.assign(g.eepSize, kSimErased);
    options.fill(kSimErased);
    if (notBlank) {
        for (size_t i = 0; i < flash.size(); ++i) flash[i] = static_cast<uint8_t>(i * 7 + 3);
        for (size_t i = 0; i < nvm.size(); ++i) nvm[i] = static_cast<uint8_t>(i * 5 + 1);
    }
}

void ChipMemory::erase() {
    std::fill(flash.begin(), flash.end(), kSimErased);
    std::fill(nvm.begin(), nvm.end(), kSimErased);
    writeProtected = false;
    readProtected = false;
}

bool ChipMemory::flashBlank() const {
    return std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == kSimErased; });
}

size_t ChipMemory::programFlash(uint32_t offset, const uint8_t* data, size_t n) {
    if (offset >= flash.size()) return 0;
    size_t m = std::min(n, flash.size() - offset);
    for (size_t i = 0; i < m; ++i) flash[offset + i] &= data[i];
    return m;
}

size_t ChipMemory::programNvm(uint32_t offset, const uint8_t* data, size_t n) {
    uint8_t* area = geometry.nvmInOptionArea() ? options.data() : nvm.data();
    size_t size = geometry.nvmInOptionArea() ? options.size() : nvm.size();
    if (offset >= size) return 0;
    size_t m = std::min(n, size - offset);
    std::memcpy(area + offset, data, m);
    return m;
}

void ChipMemory::writeOptions(const uint8_t* data, size_t n) {
    std::memcpy(options.data(), data, std::min(n, options.size()));
}

void ChipMemory::readFlash(uint32_t offset, uint8_t* out, size_t n) const {
    for (size_t i = 0; i < n; ++i) {
        size_t a = static_cast<size_t>(offset) + i;
        out[i] = a < flash.size() ? flash[a] : kSimErased;
    }
}

void ChipMemory::readNvm(uint32_t offset, uint8_t* out, size_t n) const {
    const uint8_t* area = geometry.nvmInOptionArea() ? options.data() : nvm.data();
    size_t size = geometry.nvmInOptionArea() ? options.size() : nvm.size();
    for (size_t i = 0; i < n; ++i) {
        size_t a = static_cast<size_t>(offset) + i;
        out[i] = a < size ? area[a] : kSimErased;
    }
}

uint8_t ChipMemory::readAddress(uint32_t address) const {
    uint64_t a = address;
    if (a >= geometry.flashFirst && a - geometry.flashFirst < flash.size()) return flash[a - geometry.flashFirst];
    if (geometry.nvmInOptionArea() && a >= kSimOptionBase && a - kSimOptionBase < options.size())
        return options[a - kSimOptionBase];
    return kSimErased;
}

bool ChipMemory::writeAddress(uint32_t address, uint8_t value) {
    uint64_t a = address;
    if (a >= geometry.flashFirst && a - geometry.flashFirst < flash.size()) {
        flash[a - geometry.flashFirst] = value;
        return true;
    }
    if (geometry.nvmInOptionArea() && a >= kSimOptionBase && a - kSimOptionBase < options.size()) {
        options[a - kSimOptionBase] = value;
        return true;
    }
    return false;
}

}  // namespace kvx
