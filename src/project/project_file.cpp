#include "project/project_file.h"

#include "link/frame.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kvx {

namespace {

// Header offsets.
constexpr size_t kOffVersion = 6;
constexpr size_t kOffModelCode = 7;
constexpr size_t kOffModelName = 8;
constexpr size_t kOffChipName = 24;
constexpr size_t kOffObjectName = 44;
constexpr size_t kOffFlashAcc32 = 124;
constexpr size_t kOffFileChecksum = 128;
constexpr size_t kOffReserved = 132;
constexpr size_t kOffCountLimit = 156;
constexpr size_t kOffLoadedFirst = 160;
constexpr size_t kOffLoadedLast = 164;
constexpr size_t kOffFlags = 256;
constexpr size_t kOffVendor = 257;
constexpr size_t kOffFlashSize = 258;
constexpr size_t kOffEepSize = 262;
constexpr size_t kOffFlashFirst = 280;
constexpr size_t kOffNvmFirst = 284;
constexpr size_t kOffAuxFirst = 288;
constexpr size_t kOffFlashAcc = 306;
constexpr size_t kOffFlashCrc = 310;
constexpr size_t kOffNvmAcc = 314;
constexpr size_t kOffNvmCrc = 318;
constexpr size_t kOffFurther2 = 322;
constexpr size_t kOffFurther1 = 326;
constexpr size_t kOffMaskTable = 354;
constexpr size_t kOffCfgTag = kOffMaskTable + kProjectMaskTableSize;  // 2403

constexpr char kSignature[6] = {'T', 'a', 'n', 'd', 'r', 'a'};

// Job block offsets that the CFG block restores.
constexpr size_t kCfgFlashSizeKB = 24;
constexpr size_t kCfgEepSize = 30;

struct ModelName {
    uint8_t code;
    const char* suffix;
};
// The product family's programmer models. Later revisions (24..27) share the
// names of the models they replace.
constexpr ModelName kModelNames[] = {
    {0, "A"},   {1, "B"},   {2, "C"},   {3, "D"},   {4, "E"},   {5, "S"},   {6, "SC"},  {7, "CX"},  {8, "L"},
    {9, "LX"},  {10, "M"},  {11, "MX"}, {13, "P"},  {14, "PX"}, {15, "G"},  {16, "GX"}, {17, "T"},  {18, "TX"},
    {19, "U"},  {20, "UX"}, {21, "N"},  {22, "NX"}, {23, "Pro"}, {24, "S"}, {25, "SC"}, {26, "G"}, {27, "Pro"},
};

void putText(std::vector<uint8_t>& f, size_t at, const std::string& text, size_t width) {
    size_t n = std::min(text.size(), width);
    for (size_t i = 0; i < n; ++i) f[at + i] = static_cast<uint8_t>(text[i]) ^ kProjectTextKey;
}

void putTag(std::vector<uint8_t>& f, const char* tag, uint8_t key) {
    for (int i = 0; i < 3; ++i) f.push_back(static_cast<uint8_t>(tag[i]) ^ key);
}

void putStream(std::vector<uint8_t>& f, const uint8_t* data, size_t n, const uint8_t* p, Random& rng) {
    uint8_t k = rng.byte();
    f.push_back(k);
    for (size_t j = 0; j < n; ++j) {
        f.push_back(data[j] ^ p[j % 1024] ^ k);
        if ((j + 1) % 1024 == 0) {
            k = rng.byte();
            f.push_back(k);
        }
    }
}

// Reads from the file bytes in memory and never past their end.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : d_(data), n_(size) {}
    size_t pos() const { return pos_; }
    bool has(size_t count) const { return count <= n_ - pos_; }
    const uint8_t* take(size_t count) {
        const uint8_t* p = d_ + pos_;
        pos_ += count;
        return p;
    }
    uint8_t u8() { return *take(1); }
    uint16_t u16() { return le16(take(2)); }
    uint32_t u32() { return le32(take(4)); }
    bool tag(const char* expect, uint8_t key) {
        const uint8_t* t = take(3);
        for (int i = 0; i < 3; ++i)
            if ((t[i] ^ key) != static_cast<uint8_t>(expect[i])) return false;
        return true;
    }
    // A masked stream of count data bytes into dest.
    void stream(uint8_t* dest, size_t count, const uint8_t* p) {
        uint8_t k = u8();
        for (size_t j = 0; j < count; ++j) {
            dest[j] = u8() ^ p[j % 1024] ^ k;
            if ((j + 1) % 1024 == 0) k = u8();
        }
    }

private:
    const uint8_t* d_;
    size_t n_;
    size_t pos_ = 0;
};

std::string visibleText(const uint8_t* field, size_t width) {
    size_t n = 0;
    while (n < width && field[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(field), n);
}

template <size_t W>
void readText(const uint8_t* stored, std::array<uint8_t, W>& field, std::string& text) {
    for (size_t i = 0; i < W; ++i) field[i] = stored[i] ? static_cast<uint8_t>(stored[i] ^ kProjectTextKey) : 0;
    text = visibleText(field.data(), W);
}

// The largest file that can matter: everything up to and including the sum
// with the largest sizes the buffers take. Bytes after it are never read.
constexpr size_t kMaxUsefulSize = kOffCfgTag + 3 + 1 + kProjectCfgSize + 3 + maskedStreamSize(kImageSize) + 3 + 2 +
                                  maskedStreamSize(kNvmSize) + 4;

}  // namespace

std::string programmerModelName(uint8_t modelCode) {
    for (const ModelName& m : kModelNames)
        if (m.code == modelCode) return std::string("Korvex200") + m.suffix;
    return "Korvex200XXX";
}

std::array<uint8_t, kProjectCfgSize> cfgBlockFromJobBlock(const uint8_t* jobBlock512) {
    std::array<uint8_t, kProjectCfgSize> c{};
    std::memcpy(c.data(), jobBlock512, kProjectJobBlockSize);
    return c;
}

size_t projectFileSize(uint32_t flashSize, uint16_t eepSize) {
    return kOffCfgTag + 3 + 1 + kProjectCfgSize + 3 + maskedStreamSize(flashSize) + 3 + 2 +
           (eepSize > 0 ? maskedStreamSize(eepSize) : 0) + 4 + kProjectTrailerSize;
}

std::vector<uint8_t> encodeProjectFile(const ProjectData& d, Random& rng) {
    if (d.flashSize > kImageSize) throw std::invalid_argument("project flash size exceeds the image buffer");
    if (d.eepSize > kNvmSize) throw std::invalid_argument("project NVM size exceeds the NVM buffer");
    if (d.flash.size() != d.flashSize) throw std::invalid_argument("project flash image does not hold flashSize bytes");
    if (d.nvm.size() != d.eepSize) throw std::invalid_argument("project NVM data does not hold eepSize bytes");

    std::vector<uint8_t> f(kOffMaskTable, 0);
    f.reserve(projectFileSize(d.flashSize, d.eepSize));
    std::memcpy(f.data(), kSignature, sizeof kSignature);
    f[kOffVersion] = 1;
    f[kOffModelCode] = d.modelCode;
    putText(f, kOffModelName, programmerModelName(d.modelCode), kModelNameWidth);
    putText(f, kOffChipName, d.chipName, kChipNameWidth);
    putText(f, kOffObjectName, d.objectFileName, kObjectNameWidth);
    put32(&f[kOffFlashAcc32], d.flashAcc32);
    put32(&f[kOffFileChecksum], d.fileChecksum);
    put32(&f[kOffReserved], 0);
    put32(&f[kOffCountLimit], d.countLimit);
    put32(&f[kOffLoadedFirst], d.loadedFirst);
    put32(&f[kOffLoadedLast], d.loadedLast);
    f[kOffFlags] = d.flags;
    f[kOffVendor] = d.vendor;
    put32(&f[kOffFlashSize], d.flashSize);
    put16(&f[kOffEepSize], d.eepSize);
    put32(&f[kOffFlashFirst], d.flashFirst);
    put32(&f[kOffNvmFirst], d.nvmFirst);
    put32(&f[kOffAuxFirst], d.auxFirst);
    put32(&f[kOffFlashAcc], d.flashAcc);
    put32(&f[kOffFlashCrc], d.flashCrc);
    put32(&f[kOffNvmAcc], d.nvmAcc);
    put32(&f[kOffNvmCrc], d.nvmCrc);
    put32(&f[kOffFurther2], d.further2);
    put32(&f[kOffFurther1], d.further1);

    // The mask table; only its first 1024 bytes are used.
    std::array<uint8_t, 1024> p{};
    for (size_t i = 0; i < kProjectMaskTableSize; ++i) {
        uint8_t b = rng.byte();
        if (i < p.size()) p[i] = b;
        f.push_back(b);
    }

    putTag(f, "CFG", kCfgTagKey);
    uint8_t k = rng.byte();
    f.push_back(k);
    for (size_t i = 0; i < kProjectCfgSize; ++i) f.push_back(d.cfg[i] ^ p[i] ^ k);

    putTag(f, "MFM", kMfmTagKey);
    putStream(f, d.flash.data(), d.flashSize, p.data(), rng);

    putTag(f, "EEP", kEepTagKey);
    f.push_back(static_cast<uint8_t>(d.eepSize));
    f.push_back(static_cast<uint8_t>(d.eepSize >> 8));
    if (d.eepSize > 0) putStream(f, d.nvm.data(), d.eepSize, p.data(), rng);

    uint32_t sum = 0;
    for (uint8_t b : f) sum += b;
    size_t at = f.size();
    f.resize(at + 4);
    put32(&f[at], sum);
    for (size_t i = 0; i < kProjectTrailerSize; ++i) f.push_back(rng.byte());
    return f;
}

void writeProjectFile(const std::string& path, const ProjectData& d, Random& rng) {
    std::vector<uint8_t> bytes = encodeProjectFile(d, rng);
    writeFileReplacing(path, bytes.data(), bytes.size());
}

int decodeProjectFile(const uint8_t* data, size_t size, ProjectData& out, std::string& message) {
    message = kProjectCorruptedText;
    Reader r(data, size);
    if (!r.has(6) || std::memcmp(r.take(6), kSignature, 6) != 0) {
        message = kProjectNotValid;
        return kProjectBadSignature;
    }
    // The whole header and mask table, then the CFG tag.
    if (!r.has(kOffCfgTag + 3 - 6)) return kProjectCorrupted;

    ProjectData d;
    d.version = r.u8();
    d.modelCode = r.u8();
    readText(r.take(kModelNameWidth), d.modelNameField, d.modelName);
    readText(r.take(kChipNameWidth), d.chipNameField, d.chipName);
    readText(r.take(kObjectNameWidth), d.objectFileNameField, d.objectFileName);
    r.take(32);
    d.flashAcc32 = r.u32();
    d.fileChecksum = r.u32();
    d.reserved = r.u32();
    r.take(20);
    d.countLimit = r.u32();
    d.loadedFirst = r.u32();
    d.loadedLast = r.u32();
    r.take(88);
    d.flags = r.u8();
    d.vendor = r.u8();
    d.flashSize = r.u32();
    d.eepSize = r.u16();
    r.take(16);
    d.flashFirst = r.u32();
    d.nvmFirst = r.u32();
    d.auxFirst = r.u32();
    r.take(12);
    r.take(2);
    d.flashAcc = static_cast<uint16_t>(r.u32());
    d.flashCrc = static_cast<uint16_t>(r.u32());
    d.nvmAcc = static_cast<uint16_t>(r.u32());
    d.nvmCrc = static_cast<uint16_t>(r.u32());
    d.further2 = static_cast<uint16_t>(r.u32());
    d.further1 = static_cast<uint16_t>(r.u32());
    r.take(24);
    std::array<uint8_t, 1024> p{};
    std::memcpy(p.data(), r.take(kProjectMaskTableSize), p.size());

    // Sizes are checked before anything is read by them: the flash image must
    // fit ImageBuffer and the NVM data NvmBuffer; a vendor outside the four
    // would index past the catalogue's lists.
    if (d.flashSize > kImageSize || d.eepSize > kNvmSize || d.vendor > static_cast<uint8_t>(ChipVendor::SC))
        return kProjectCorrupted;

    int result = kProjectOk;
    // A wrong tag does not stop the reading: the next tag is read from the
    // position reached.
    if (!r.tag("CFG", kCfgTagKey)) {
        result = kProjectBadCfgTag;
    } else {
        if (!r.has(1 + kProjectCfgSize)) return kProjectCorrupted;
        uint8_t k = r.u8();
        const uint8_t* c = r.take(kProjectCfgSize);
        for (size_t i = 0; i < kProjectCfgSize; ++i) d.cfg[i] = c[i] ^ p[i] ^ k;
        // The job block's sizes end up in the chip profile, which every later
        // operation trusts to stay within the buffers.
        if (le16(&d.cfg[kCfgFlashSizeKB]) > kImageSize / 1024 || le16(&d.cfg[kCfgEepSize]) > kNvmSize)
            return kProjectCorrupted;
        // The chip's flash runs from flashFirst over flashSizeKB: a flash past
        // the top of the address space would give a last address that wraps
        // below the first.
        const uint64_t flashBytes = uint64_t(le16(&d.cfg[kCfgFlashSizeKB])) * 1024;
        if (d.flashFirst + flashBytes > 0x100000000ull) return kProjectCorrupted;
    }

    if (!r.has(3)) return kProjectCorrupted;
    if (!r.tag("MFM", kMfmTagKey)) {
        result = kProjectBadMfmTag;
    } else {
        if (!r.has(maskedStreamSize(d.flashSize))) return kProjectCorrupted;
        d.flash.resize(d.flashSize);
        r.stream(d.flash.data(), d.flashSize, p.data());
    }

    if (!r.has(3)) return kProjectCorrupted;
    if (!r.tag("EEP", kEepTagKey)) {
        result = kProjectBadEepTag;
    } else {
        if (!r.has(2)) return kProjectCorrupted;
        uint16_t n = r.u16();
        if (n > kNvmSize) return kProjectCorrupted;
        if (n > 0) {
            if (!r.has(maskedStreamSize(n))) return kProjectCorrupted;
            d.nvm.resize(n);
            r.stream(d.nvm.data(), n, p.data());
        }
    }

    if (!r.has(4)) return kProjectCorrupted;
    size_t sumAt = r.pos();
    uint32_t stored = r.u32();
    if (result != kProjectOk) return result;
    uint32_t sum = 0;
    for (size_t i = 0; i < sumAt; ++i) sum += data[i];
    if (sum != stored) return kProjectCorrupted;

    message = kProjectOpenSuccess;
    out = std::move(d);
    return kProjectOk;
}

int readProjectFile(const std::string& path, ProjectData& out, std::string& message) {
    // Nothing past the largest useful size is ever read, so a longer file
    // needs no limit of its own.
    RegularFile f(path, kNoSizeLimit);
    std::vector<uint8_t> bytes(kMaxUsefulSize);
    size_t n = f.read(bytes.data(), bytes.size());
    return decodeProjectFile(bytes.data(), n, out, message);
}

void restoreFromCfg(const uint8_t* c, ChipProfile& chip, JobSettings& job, ImageSums& sums, ProjectWords& words) {
    chip.familyCode = c[8];
    chip.modelIndex = c[9];
    job.autoDetect = c[11];
    words.word8 = le16(c + 12);
    chip.flashSizeKB = le16(c + 24);
    chip.sectorCount = le16(c + 26);
    chip.sectorSize = le16(c + 28);
    chip.eepSize = le16(c + 30);
    for (size_t i = 0; i < job.jobFlags.size(); ++i) job.jobFlags[i] = c[36 + i];
    chip.flashLast = chip.flashFirst + static_cast<uint32_t>(chip.flashSizeKB) * 1024u - 1u;
    job.powerUpSettle = c[46];
    job.powerDownSettle = c[47];
    job.insertSettle = c[48];
    job.removeSettle = c[49];
    sums.flashCrc = le16(c + 52);
    sums.flashAcc = le16(c + 54);
    sums.nvmCrc = le16(c + 56);
    sums.nvmAcc = le16(c + 58);
    words.further1 = le16(c + 60);
    words.further2 = le16(c + 62);
    chip.familyOption = c[64];
    job.runTime = le16(c + 66);
    job.snEnable = c[68];
    job.snLength = c[69];
    job.snIncrement = le16(c + 70);
    job.snAddress = le32(c + 72);
    job.snStart = le32(c + 76);
    job.countLimitEnable = c[84];
    job.countLimit = le32(c + 86);
}

void restoreFromCfg(const uint8_t* cfg1024, ChipProfile& chip, JobSettings& job, ImageState& image,
                    ProjectWords& words) {
    ImageSums sums;
    restoreFromCfg(cfg1024, chip, job, sums, words);
    image.flashCrc = sums.flashCrc;
    image.flashAcc = sums.flashAcc;
    image.nvmCrc = sums.nvmCrc;
    image.nvmAcc = sums.nvmAcc;
}

void applyProjectData(const ProjectData& d, const std::string& catalogueEntry, uint8_t& modelCode, ChipProfile& chip,
                      ImageState& image, ProjectWords& words) {
    modelCode = d.modelCode;
    chip.vendor = static_cast<ChipVendor>(d.vendor);
    chip.chipName = resolveChipName(
        std::string(reinterpret_cast<const char*>(d.chipNameField.data()), d.chipNameField.size()), catalogueEntry);
    chip.flashSizeKB = static_cast<uint16_t>(d.flashSize / 1024);
    chip.eepSize = d.eepSize;
    chip.flashFirst = d.flashFirst;
    chip.nvmFirst = d.nvmFirst;
    chip.auxFirst = d.auxFirst;
    image.objectFileName = d.objectFileName;
    image.flashAcc32 = d.flashAcc32;
    image.fileChecksum = d.fileChecksum;
    image.loadedFirst = d.loadedFirst;
    image.loadedLast = d.loadedLast;
    image.flashAcc = d.flashAcc;
    image.flashCrc = d.flashCrc;
    image.nvmAcc = d.nvmAcc;
    image.nvmCrc = d.nvmCrc;
    words.further1 = d.further1;
    words.further2 = d.further2;
    size_t flashBytes = std::min(d.flash.size(), image.ImageBuffer.size());
    std::copy_n(d.flash.begin(), flashBytes, image.ImageBuffer.begin());
    size_t nvmBytes = std::min(d.nvm.size(), kNvmSize);
    std::copy_n(d.nvm.begin(), nvmBytes, image.NvmBuffer());
}

std::string resolveChipName(const std::string& stored, const std::string& catalogueEntry) {
    const size_t width = std::min(stored.size(), kChipNameWidth);
    const std::string visible = visibleText(reinterpret_cast<const uint8_t*>(stored.data()), width);
    if (catalogueEntry.empty()) return visible;
    const std::string entry = catalogueEntry.substr(0, kChipNameWidth);
    if (visible == entry) return catalogueEntry;
    const size_t cut = visible.size();
    if (cut >= entry.size() || entry.compare(0, cut, visible) != 0 ||
        static_cast<uint8_t>(entry[cut]) != kProjectTextKey)
        return visible;
    // The rest of the stored field, where present, must be the entry with its
    // "K"s as zeros and zeros past its end.
    for (size_t i = cut; i < width; ++i) {
        uint8_t s = static_cast<uint8_t>(stored[i]);
        uint8_t e = i < entry.size() ? static_cast<uint8_t>(entry[i]) : 0;
        if (s != e && !(s == 0 && e == kProjectTextKey)) return visible;
    }
    return catalogueEntry;
}

}  // namespace kvx
