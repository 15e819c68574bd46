#include "link/requests.h"

#include "link/frame.h"
#include "shell/checksum.h"

#include <algorithm>
#include <cstring>

namespace kvx {

namespace {

size_t finish(uint8_t* frame, uint8_t command, uint16_t parameter, const RequestContext* c, uint16_t payloadLength) {
    FrameHeader h;
    h.command = command;
    h.parameter = parameter;
    if (c) {
        h.modelCode = c->modelCode;
        h.familyCode = c->chip->familyCode;
        h.modelIndex = c->chip->modelIndex;
    }
    h.payloadLength = payloadLength;
    writeHeader(frame, h);
    return appendFrameCrc(frame, kHeaderSize + payloadLength);
}

// A text field: the text's bytes, "?" when empty, zeros after. A text longer
// than the field is cut before the first UTF-8 character that does not fit
// whole, so the field never ends in half a character.
void textField(uint8_t* out, size_t width, const std::string& text) {
    std::memset(out, 0, width);
    if (text.empty()) {
        out[0] = '?';
        return;
    }
    size_t n = text.size();
    if (n > width) {
        n = width;
        while (n > 0 && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80) --n;
        if (n == 0) n = width;  // not UTF-8 at all: cut the bytes as they are
    }
    std::memcpy(out, text.data(), n);
}

// 4096 bytes of the image from a byte offset; beyond the buffer, zeros.
void imageBlock(const RequestContext& c, size_t offset, uint8_t* out) {
    std::memset(out, 0, kImageBlock);
    if (offset < kImageBufferSize) std::memcpy(out, c.image + offset, std::min(kImageBlock, kImageBufferSize - offset));
}

}  // namespace

void buildChipParameterBlock(const RequestContext& c, uint16_t ownParameter, uint8_t* b) {
    const ChipProfile& p = *c.chip;
    const JobSettings& j = *c.job;
    std::memset(b, 0, kParameterBlockSize);
    b[3] = c.modelCode;
    b[4] = p.familyCode;
    b[5] = p.modelIndex;
    b[6] = c.rng->byte();
    b[7] = j.autoDetect;
    put16(b + 8, c.words->word8);
    put16(b + 10, ownParameter);
    put16(b + 17, static_cast<uint16_t>(p.flashSizeKB * 4u));  // bytes 16-19: size in bytes, modulo the 16-bit field
    put16(b + 20, p.flashSizeKB);
    put16(b + 22, p.sectorCount);
    put16(b + 24, p.sectorSize);
    put16(b + 26, p.eepSize);
    b[29] = 1;
    put16(b + 30, static_cast<uint16_t>(p.nvmFirst));
    std::memcpy(b + 32, j.jobFlags.data(), 6);
    put32(b + 38, p.flashFirst);
    b[42] = j.powerUpSettle;
    b[43] = j.powerDownSettle;
    b[44] = j.insertSettle;
    b[45] = j.removeSettle;
    put16(b + 46, static_cast<uint16_t>(p.nvmFirst >> 16));
    put16(b + 48, c.sums->flashCrc);
    put16(b + 50, c.sums->flashAcc);
    put16(b + 52, c.sums->nvmCrc);
    put16(b + 54, c.sums->nvmAcc);
    put16(b + 56, c.words->further1);
    put16(b + 58, c.words->further2);
    b[60] = p.familyOption;
    put16(b + 62, j.runTime);
}

void buildJobBlock(const RequestContext& c, uint8_t* b) {
    const JobSettings& j = *c.job;
    std::memset(b, 0, kJobBlockSize);
    b[0] = 0x5A;
    b[1] = 0x57;
    b[2] = 0x4C;
    b[3] = 0x50;
    buildChipParameterBlock(c, c.rng->word(), b + 4);
    b[68] = j.snEnable;
    b[69] = j.snLength;
    put16(b + 70, j.snIncrement);
    put32(b + 72, j.snAddress);
    put32(b + 76, j.snStart);
    b[84] = j.countLimitEnable;
    put32(b + 86, j.countLimit);
    put16(b + 90, c.sums->flashAcc);
    put32(b + 92, c.sums->fileChecksum);
    std::memcpy(b + 112, c.options, 128);
    textField(b + 240, 16, c.chipNameText);
    textField(b + 256, 48, c.productText);
    for (int i = 304; i < 368; ++i) b[i] = c.rng->byte();
    put16(b + 508, flashCrc16(b, 0, 507));
    put16(b + 510, static_cast<uint16_t>(byteSum32(b, 0, 509)));
}

void maskJobPayload(uint8_t* payload, uint16_t P) {
    const uint8_t m0 = static_cast<uint8_t>(((P & 0xFF) ^ kJobMaskK0) | 0x80);
    const uint8_t m1 = static_cast<uint8_t>(((P >> 8) ^ kJobMaskK1) | 0x80);
    for (size_t k = 0; k < 512; ++k) {
        payload[2 * k] ^= m0;
        payload[2 * k + 1] ^= m1;
    }
}

bool checkJobBlock(const uint8_t* b) {
    return b[0] == 0x5A && b[1] == 0x57 && b[2] == 0x4C && b[3] == 0x50 && le16(b + 508) == flashCrc16(b, 0, 507) &&
           le16(b + 510) == static_cast<uint16_t>(byteSum32(b, 0, 509));
}

size_t buildJobDownload(const RequestContext& c, uint8_t* frame) {
    uint8_t* payload = frame + kHeaderSize;
    buildJobBlock(c, payload);
    std::memcpy(payload + 512, payload, 512);
    maskJobPayload(payload, 0);
    return finish(frame, kCmdJobDownload, 0, &c, 1024);
}

size_t buildFlashBlockDownload(const RequestContext& c, uint16_t blockKB, uint8_t* frame) {
    imageBlock(c, static_cast<size_t>(blockKB) * 1024, frame + kHeaderSize);
    return finish(frame, kCmdFlashBlockDownload, blockKB, &c, 4096);
}

void nvmBlockBytes(const RequestContext& c, uint16_t blockKB, uint8_t* out) {
    std::memset(out, 0, kImageBlock);
    size_t offset = ((c.chip->nvmFirst & 0xFFFFF) >> 4) + static_cast<size_t>(blockKB) * 1024;
    // NvmBuffer and OptionBytesBuffer are one run of 4352 bytes.
    for (size_t i = 0; i < kImageBlock && offset + i < kNvmImageSize; ++i) {
        size_t at = offset + i;
        out[i] = at < 4096 ? c.nvm[at] : c.options[at - 4096];
    }
}

size_t buildNvmBlockDownload(const RequestContext& c, uint16_t blockKB, uint8_t* frame) {
    nvmBlockBytes(c, blockKB, frame + kHeaderSize);
    return finish(frame, kCmdNvmBlockDownload, blockKB, &c, 4096);
}

size_t buildChipCommand(const RequestContext& c, uint16_t sub, uint8_t* frame) {
    uint8_t* payload = frame + kHeaderSize;
    buildChipParameterBlock(c, 0, payload);
    std::memset(payload + 64, 0, 144);
    return finish(frame, kCmdChip, sub, &c, 208);
}

size_t buildOptionWrite(const RequestContext& c, uint8_t* frame) {
    uint8_t* payload = frame + kHeaderSize;
    buildChipParameterBlock(c, 0, payload);
    std::memcpy(payload + 64, c.options, 128);
    return finish(frame, kCmdChip, kSubOptionWrite, &c, 192);
}

size_t buildAddressRead(const RequestContext& c, uint32_t address, uint16_t length, uint8_t* frame) {
    uint8_t* payload = frame + kHeaderSize;
    buildChipParameterBlock(c, 0, payload);
    put32(payload + 48, address);
    put16(payload + 52, length);
    return finish(frame, kCmdChip, kSubAddressRead, &c, 64);
}

size_t buildFlashBlockProgram(const RequestContext& c, uint16_t blockKB, uint8_t* frame) {
    uint8_t* payload = frame + kHeaderSize;
    buildChipParameterBlock(c, 0, payload);
    imageBlock(c, static_cast<size_t>(blockKB & 0x0FFF) * 1024, payload + 64);
    return finish(frame, kCmdFlashBlockProgram, blockKB, &c, 4160);
}

size_t buildNvmBlockProgram(const RequestContext& c, uint16_t blockKB, uint8_t* frame) {
    uint8_t* payload = frame + kHeaderSize;
    buildChipParameterBlock(c, 0, payload);
    nvmBlockBytes(c, blockKB, payload + 64);
    return finish(frame, kCmdNvmBlockProgram, blockKB, &c, 4160);
}

size_t buildFlashBlockRead(const RequestContext& c, uint16_t blockKB, uint8_t* frame) {
    uint8_t* payload = frame + kHeaderSize;
    buildChipParameterBlock(c, 0, payload);
    std::memset(payload + 64, 0, 144);
    return finish(frame, kCmdFlashBlockRead, blockKB, &c, 208);
}

size_t buildNvmBlockRead(const RequestContext& c, uint16_t blockKB, uint8_t* frame) {
    uint8_t* payload = frame + kHeaderSize;
    buildChipParameterBlock(c, 0, payload);
    std::memset(payload + 64, 0, 144);
    return finish(frame, kCmdNvmBlockRead, blockKB, &c, 208);
}

size_t buildProgrammerRestart(uint8_t* frame) {
    const uint8_t head[10] = {kCmdProgrammerRestart, 'R', 'E', 'S', 'T', 0xA8, 0x02, 0x00, 0x00, 0x00};
    std::memcpy(frame, head, sizeof head);
    return appendFrameCrc(frame, sizeof head);
}

size_t buildFirmwareBlock(Random& rng, const uint8_t* fw, uint16_t block, uint8_t* frame) {
    uint16_t M = static_cast<uint16_t>(rng.below(65525));
    frame[0] = kCmdFirmwareBlock;
    frame[1] = static_cast<uint8_t>(block * 4);
    put16(frame + 2, M);
    frame[4] = rng.byte();
    frame[5] = rng.byte();
    put16(frame + 6, 0x1020);
    uint8_t* data = frame + kHeaderSize;
    uint8_t* filler = data + 2048;
    for (size_t g = 0; g < 520; ++g) {
        filler[4 * g] = rng.byte();
        filler[4 * g + 1] = rng.byte();
        filler[4 * g + 2] = rng.byte();
        filler[4 * g + 3] = 0x00;
    }
    const uint8_t ml = static_cast<uint8_t>(M), mh = static_cast<uint8_t>(M >> 8);
    // Block sources wrap within the 64 KB buffer, so every read stays inside it.
    size_t base = (static_cast<size_t>(block) * 2048) % kFirmwareBuffer;
    for (size_t i = 0; i < 512; ++i) {
        const uint8_t* s = fw + base + 4 * i;
        const uint8_t* f = filler + 4 * i;
        data[4 * i] = static_cast<uint8_t>(s[0] ^ ml ^ f[0]);
        data[4 * i + 1] = static_cast<uint8_t>(s[1] ^ mh ^ f[1]);
        data[4 * i + 2] = static_cast<uint8_t>(s[2] ^ ml ^ f[2]);
        data[4 * i + 3] = static_cast<uint8_t>(0x00 ^ f[3]);
    }
    return appendFrameCrc(frame, kHeaderSize + 0x1020);
}

size_t buildFirmwareEnd(uint8_t* frame) {
    const uint8_t head[10] = {kCmdFirmwareEnd, 0x00, 0x52, 0x53, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00};
    std::memcpy(frame, head, sizeof head);
    return appendFrameCrc(frame, sizeof head);
}

}  // namespace kvx
