#include "firmware/firmware_file.h"

#include "link/frame.h"
#include "shell/safe_file.h"
#include "shell/text.h"

#include <vector>

namespace kvx {

int FirmwareFile::blockCount() const {
    if (!loaded || imageEnd < kFirmwareBlockBase) return 0;
    return (imageEnd - kFirmwareBlockBase) / 1024 + 1;
}

namespace {

FirmwareFile refused(std::string why) {
    FirmwareFile f;
    f.refusal = std::move(why);
    return f;
}

uint32_t sumOf(const uint8_t* p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i < n; ++i) s += p[i];
    return s;
}

}  // namespace

FirmwareFile checkFirmwareBytes(const uint8_t* data, size_t size) {
    if (size > kFirmwareBufferSize)
        return refused(format("Firmware File Is Too Large (%u Bytes, At Most 65536)!", static_cast<unsigned>(size)));

    // Signature: each non-zero byte is stored XOR the key.
    bool signatureOk = size >= 7;
    for (size_t i = 0; signatureOk && i < 7; ++i) {
        uint8_t b = data[i] ? static_cast<uint8_t>(data[i] ^ kFirmwareSignatureKey) : 0;
        signatureOk = b == static_cast<uint8_t>(kFirmwareSignature[i]);
    }
    if (!signatureOk) return refused("Not Valid Korvex200 Firmware File!");
    if (size < kFirmwareImageOffset) return refused("Firmware File Is Truncated!");

    const uint16_t w = le16(data + kFirmwareMaskOffset);
    const uint16_t imageEnd = static_cast<uint16_t>(le16(data + kFirmwareEndOffset) ^ w);
    const uint16_t length = static_cast<uint16_t>(le16(data + kFirmwareLengthOffset) ^ w);
    const size_t scrambled = firmwareScrambledSize(length);
    const size_t sumAt = kFirmwareImageOffset + scrambled + kFirmwareTrailerSize;
    // The stored length must leave room for the image, the trailer and the
    // sum inside the file (and so inside the buffer).
    if (sumAt + 4 > size)
        return refused(format("Firmware File Is Truncated (Image Length %u)!", static_cast<unsigned>(length)));

    // Every byte before the sum field, as stored.
    if (le32(data + sumAt) != sumOf(data, sumAt)) return refused("Firmware File Data Has Been Corrupted!");

    if (imageEnd < kFirmwareBlockBase)
        return refused(format("Firmware Image End 0x%0.4x Is Below 0x1000!", static_cast<unsigned>(imageEnd)));
    if ((imageEnd - kFirmwareBlockBase) / 1024 + 1 > kFirmwareMaxBlocks)
        return refused(format("Firmware Image End 0x%0.4x Needs More Than 32 Blocks!", static_cast<unsigned>(imageEnd)));

    FirmwareFile f;
    f.imageEnd = imageEnd;
    f.length = length;
    f.blockBase = kFirmwareBlockBase;
    if (data[kFirmwareVersionOffset] == 'V')
        for (size_t i = 0; i < f.version.size(); ++i) f.version[i] = data[kFirmwareVersionOffset + i];

    std::array<uint8_t, kFirmwareKeyArea> key{};
    for (size_t i = 0; i < kFirmwareKeySize; ++i) key[i] = data[kFirmwareKeyOffset + i];

    // Groups of four, two key bytes each; the key offset wraps at the key
    // area. The buffer past the image stays zero.
    size_t c = 0;
    for (size_t at = 0; at < scrambled; at += 4) {
        const uint8_t* g = data + kFirmwareImageOffset + at;
        f.buffer[at] = g[0] ^ key[c];
        f.buffer[at + 1] = g[1] ^ key[c + 1];
        f.buffer[at + 2] = g[2] ^ key[c];
        f.buffer[at + 3] = g[3] ^ key[c + 1];
        c = (c + 4) % kFirmwareKeyArea;
    }
    f.loaded = true;
    return f;
}

FirmwareFile checkFirmwareFile(const std::string& path) {
    // One byte more than the buffer tells an oversized file apart, so the
    // size needs no limit of its own. A FIFO or a device is refused like a
    // file that cannot be opened (neither blocks).
    std::vector<uint8_t> bytes(kFirmwareBufferSize + 1);
    size_t n = 0;
    try {
        RegularFile f(path, kNoSizeLimit);
        n = f.read(bytes.data(), bytes.size());
    } catch (const FileError&) {
        return refused("Firmware File \"" + path + "\" Cannot Be Read!");
    }
    return checkFirmwareBytes(bytes.data(), n);
}

}  // namespace kvx
