// Project files: decodeProjectFile over the input as it is and once more with
// the closing byte sum put right (so that mutated files get past the sum to
// the checks behind it). A file that reads back must fit the program's
// buffers, load into the program's state and write out again to the same
// contents.
#include "chip/catalogue.h"
#include "fuzz_util.h"
#include "link/frame.h"
#include "project/project_file.h"

#include <algorithm>
#include <vector>

using namespace kvx;
using namespace kvx::fuzz;

namespace {

constexpr size_t kCfgTagAt = kProjectHeaderSize + kProjectMaskTableSize;
constexpr size_t kFlashSizeAt = 258;

// Where the sum of a file laid out as the writer lays it out sits, or 0 when
// the file is too short to tell.
size_t sumPosition(const uint8_t* data, size_t size) {
    if (size < kCfgTagAt) return 0;
    uint32_t flashSize = le32At(data + kFlashSizeAt);
    if (flashSize > kImageSize) return 0;
    size_t eepAt = kCfgTagAt + 3 + 1 + kProjectCfgSize + 3 + maskedStreamSize(flashSize) + 3;
    if (eepAt + 2 > size) return 0;
    uint16_t n = static_cast<uint16_t>(data[eepAt] | data[eepAt + 1] << 8);
    size_t at = eepAt + 2 + (n > 0 ? maskedStreamSize(n) : 0);
    return at + 4 <= size ? at : 0;
}

struct Loaded {
    uint8_t modelCode = 0;
    ChipProfile chip;
    ImageState image;
    ProjectWords words;
    JobSettings job;
};

void checkDecoded(const ProjectData& d) {
    FUZZ_CHECK(d.flashSize <= kImageSize);
    FUZZ_CHECK(d.eepSize <= kNvmSize);
    FUZZ_CHECK(d.flash.size() == d.flashSize);
    FUZZ_CHECK(d.nvm.size() <= kNvmSize);
    FUZZ_CHECK(d.vendor <= static_cast<uint8_t>(ChipVendor::SC));
    FUZZ_CHECK(le16(&d.cfg[24]) <= kImageSize / 1024);
    FUZZ_CHECK(le16(&d.cfg[30]) <= kNvmSize);

    // Into the program's state as a project load does.
    static Loaded* s = new Loaded;
    const ChipVendor vendor = static_cast<ChipVendor>(d.vendor);
    std::string entry = catalogueName(vendor, d.cfg[9]);
    applyProjectData(d, entry, s->modelCode, s->chip, s->image, s->words);
    restoreFromCfg(d.cfg.data(), s->chip, s->job, s->image, s->words);
    FUZZ_CHECK(static_cast<size_t>(s->chip.flashSizeKB) * 1024 <= kImageSize);
    FUZZ_CHECK(s->chip.eepSize <= kNvmSize);
    FUZZ_CHECK(std::equal(d.flash.begin(), d.flash.end(), s->image.ImageBuffer.begin()));
    FUZZ_CHECK(std::equal(d.nvm.begin(), d.nvm.end(), s->image.NvmBuffer()));

    // Written out again, the file reads back with the same contents.
    if (d.nvm.size() != d.eepSize) return;
    SeededRandom rng(d.flashSize + d.eepSize);
    std::vector<uint8_t> again = encodeProjectFile(d, rng);
    FUZZ_CHECK(again.size() == projectFileSize(d.flashSize, d.eepSize));
    ProjectData e;
    std::string message;
    FUZZ_CHECK(decodeProjectFile(again.data(), again.size(), e, message) == kProjectOk);
    FUZZ_CHECK(e.flash == d.flash && e.nvm == d.nvm && e.cfg == d.cfg);
    FUZZ_CHECK(e.flashSize == d.flashSize && e.eepSize == d.eepSize && e.vendor == d.vendor && e.flags == d.flags);
    FUZZ_CHECK(e.loadedFirst == d.loadedFirst && e.loadedLast == d.loadedLast && e.fileChecksum == d.fileChecksum);
    FUZZ_CHECK(e.flashFirst == d.flashFirst && e.nvmFirst == d.nvmFirst && e.auxFirst == d.auxFirst);
    // A text byte equal to the key is stored as zero: the text reads back
    // cut there.
    FUZZ_CHECK(d.chipName.compare(0, e.chipName.size(), e.chipName) == 0);
    FUZZ_CHECK(d.objectFileName.compare(0, e.objectFileName.size(), e.objectFileName) == 0);
}

void decode(const uint8_t* data, size_t size) {
    ProjectData d;
    d.modelCode = 99;
    std::string message;
    int r = decodeProjectFile(data, size, d, message);
    FUZZ_CHECK(r == kProjectOk || r == kProjectBadSignature || r == kProjectBadCfgTag || r == kProjectBadMfmTag ||
               r == kProjectBadEepTag || r == kProjectCorrupted);
    if (r != kProjectOk) {
        // Nothing is handed out on a failure.
        FUZZ_CHECK(d.modelCode == 99 && d.flash.empty());
        FUZZ_CHECK(message == (r == kProjectBadSignature ? kProjectNotValid : kProjectCorruptedText));
        return;
    }
    FUZZ_CHECK(message == kProjectOpenSuccess);
    checkDecoded(d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    decode(data, size);
    size_t at = sumPosition(data, size);
    if (at == 0) return 0;
    std::vector<uint8_t> fixed(data, data + size);
    uint32_t sum = 0;
    for (size_t i = 0; i < at; ++i) sum += fixed[i];
    put32(&fixed[at], sum);
    decode(fixed.data(), fixed.size());
    return 0;
}
