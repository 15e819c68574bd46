// The firmware file check over the input's bytes. An accepted file must give
// a consistent image and a block count whose upgrade requests stay inside the
// 64 KB buffer; a refused one must leave nothing loaded and say why.
#include "firmware/firmware_file.h"
#include "fuzz_util.h"
#include "link/frame.h"
#include "link/requests.h"
#include "shell/seams.h"

#include <algorithm>
#include <vector>

using namespace kvx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FirmwareFile* fw = new FirmwareFile;
    *fw = checkFirmwareBytes(data, size);
    if (!fw->loaded) {
        FUZZ_CHECK(!fw->refusal.empty());
        FUZZ_CHECK(fw->blockCount() == 0);
        FUZZ_CHECK(std::all_of(fw->version.begin(), fw->version.end(), [](uint8_t b) { return b == 0; }));
        return 0;
    }
    FUZZ_CHECK(fw->refusal.empty());
    FUZZ_CHECK(size <= kFirmwareBufferSize);
    FUZZ_CHECK(fw->imageEnd >= kFirmwareBlockBase);
    FUZZ_CHECK(fw->blockCount() >= 1 && fw->blockCount() <= kFirmwareMaxBlocks);
    const size_t scrambled = firmwareScrambledSize(fw->length);
    FUZZ_CHECK(kFirmwareImageOffset + scrambled + kFirmwareTrailerSize + 4 <= size);
    FUZZ_CHECK(fw->version[0] == 0 || fw->version[0] == 'V');
    // The buffer past the scrambled image stays zero.
    for (size_t i = scrambled; i < kFirmwareBufferSize; ++i) FUZZ_CHECK(fw->buffer[i] == 0);

    // Every upgrade request of the file.
    static SeededRandom rng(1);
    static std::vector<uint8_t> frame(kMaxRequestFrame + 64);
    for (int b = 0; b < fw->blockCount(); ++b) {
        size_t n = buildFirmwareBlock(rng, fw->buffer.data(), static_cast<uint16_t>(b), frame.data());
        FUZZ_CHECK(n >= kHeaderSize + 2 && n <= kMaxRequestFrame);
    }
    FUZZ_CHECK(buildFirmwareEnd(frame.data()) <= kMaxRequestFrame);
    return 0;
}
