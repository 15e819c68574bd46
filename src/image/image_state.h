// The host's images of the target's memories and their bookkeeping. One
// instance for the whole run; the buffers are fixed arrays.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kvx {

constexpr size_t kImageSize = 0x400000;  // 4 MiB of main flash
constexpr size_t kNvmSize = 4096;
constexpr size_t kOptionSize = 256;

struct ImageState {
    // The NVM image the programmers see is NvmBuffer followed directly by
    // OptionBytesBuffer, so both live in one array.
    std::array<uint8_t, kImageSize> ImageBuffer{};
    std::array<uint8_t, kNvmSize + kOptionSize> nvmAndOptions{};
    uint8_t* NvmBuffer() { return nvmAndOptions.data(); }
    uint8_t* OptionBytesBuffer() { return nvmAndOptions.data() + kNvmSize; }
    const uint8_t* NvmBuffer() const { return nvmAndOptions.data(); }
    const uint8_t* OptionBytesBuffer() const { return nvmAndOptions.data() + kNvmSize; }

    uint32_t fileChecksum = 0;
    uint32_t loadedFirst = 0, loadedLast = 0;
    std::string objectFileName;
    // Bytes of the loaded file(s) that lay outside the chip and were left out
    // with the operator's consent (0: the whole file is in the image).
    uint64_t bytesCut = 0;
    uint32_t viewFirst = 0, viewLast = 0;
    uint16_t flashCrc = 0;
    uint32_t flashAcc32 = 0;
    uint16_t flashAcc = 0;
    uint16_t nvmCrc = 0, nvmAcc = 0;
    uint32_t binOffset = 0;
};

}  // namespace kvx
