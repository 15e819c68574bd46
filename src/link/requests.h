// The request catalogue: one builder per request the host sends. Each builds
// the complete frame (header, payload, check code) into the caller's frame
// buffer and returns its length; the caller escapes and sends it.
#pragma once

#include "chip/profile.h"
#include "link/records.h"
#include "shell/seams.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvx {

// Command codes.
constexpr uint8_t kCmdJobDownload = 0x53;
constexpr uint8_t kCmdFlashBlockDownload = 0x55;
constexpr uint8_t kCmdNvmBlockDownload = 0x5A;
constexpr uint8_t kCmdProgrammerRestart = 0x8A;
constexpr uint8_t kCmdChip = 0x93;
constexpr uint8_t kCmdFlashBlockProgram = 0x95;
constexpr uint8_t kCmdNvmBlockProgram = 0x99;
constexpr uint8_t kCmdFlashBlockRead = 0x9B;
constexpr uint8_t kCmdNvmBlockRead = 0x9D;
constexpr uint8_t kCmdFirmwareBlock = 0xB7;
constexpr uint8_t kCmdFirmwareEnd = 0xBD;
constexpr uint8_t kCmdOfflineStatus = 0xFD;
// Sub-commands of the chip command (its parameter).
constexpr uint16_t kSubChipErase = 0x03;
constexpr uint16_t kSubBlankCheck = 0x05;
constexpr uint16_t kSubOptionRead = 0x33;
constexpr uint16_t kSubOptionWrite = 0x35;
constexpr uint16_t kSubChipIdRead = 0x3C;
constexpr uint16_t kSubAddressRead = 0x79;
// The job-block mask constants the host shares with the programmers.
constexpr uint8_t kJobMaskK0 = 0x6B;
constexpr uint8_t kJobMaskK1 = 0x2D;

constexpr size_t kParameterBlockSize = 64;
constexpr size_t kJobBlockSize = 512;
constexpr size_t kImageBlock = 4096;
// The NVM image the programmers see: NvmBuffer (4096) then OptionBytesBuffer (256).
constexpr size_t kNvmImageSize = 4096 + 256;
constexpr size_t kImageBufferSize = 0x400000;
constexpr size_t kFirmwareBuffer = 65536;

// What the builders read: the chip, the job settings, the image summaries,
// the carried project words, the model code, the random source, the image
// buffers and the two texts of the main window that the job block carries.
struct RequestContext {
    const ChipProfile* chip = nullptr;
    const JobSettings* job = nullptr;
    const ImageSums* sums = nullptr;
    const ProjectWords* words = nullptr;
    uint8_t modelCode = 12;
    Random* rng = nullptr;
    const uint8_t* image = nullptr;    // ImageBuffer, 4 MiB
    const uint8_t* nvm = nullptr;      // NvmBuffer, 4096 bytes
    const uint8_t* options = nullptr;  // OptionBytesBuffer, 256 bytes
    std::string chipNameText;          // MCUNameEdit
    std::string productText;           // ProductEdit
};

// The 64-byte chip parameter block; ownParameter goes to offsets 10-11.
void buildChipParameterBlock(const RequestContext& c, uint16_t ownParameter, uint8_t* out64);
// The 512-byte job block, with its check code and sum. The chip name and the
// product text go into 16- and 48-byte fields: "?" when empty, cut on a UTF-8
// character boundary when too long, zero-padded.
void buildJobBlock(const RequestContext& c, uint8_t* out512);
// XORs the 1024-byte job download payload with the masks of parameter P
// (applying it twice restores the payload).
void maskJobPayload(uint8_t* payload1024, uint16_t P);
// Signature, check code at 508-509 and sum at 510-511.
bool checkJobBlock(const uint8_t* block512);

size_t buildJobDownload(const RequestContext& c, uint8_t* frame);
size_t buildFlashBlockDownload(const RequestContext& c, uint16_t blockKB, uint8_t* frame);
size_t buildNvmBlockDownload(const RequestContext& c, uint16_t blockKB, uint8_t* frame);
// The short chip command (erase, blank check, option read, chip id read).
size_t buildChipCommand(const RequestContext& c, uint16_t sub, uint8_t* frame);
size_t buildOptionWrite(const RequestContext& c, uint8_t* frame);
size_t buildAddressRead(const RequestContext& c, uint32_t address, uint16_t length, uint8_t* frame);
size_t buildFlashBlockProgram(const RequestContext& c, uint16_t blockKB, uint8_t* frame);
size_t buildNvmBlockProgram(const RequestContext& c, uint16_t blockKB, uint8_t* frame);
size_t buildFlashBlockRead(const RequestContext& c, uint16_t blockKB, uint8_t* frame);
size_t buildNvmBlockRead(const RequestContext& c, uint16_t blockKB, uint8_t* frame);
size_t buildProgrammerRestart(uint8_t* frame);
// Firmware upgrade requests: block b of the 64 KB firmware image, masked
// afresh, and the end request.
size_t buildFirmwareBlock(Random& rng, const uint8_t* firmware65536, uint16_t block, uint8_t* frame);
size_t buildFirmwareEnd(uint8_t* frame);

// The 4096 bytes of an NVM block: from the NVM image at
// ((nvmFirst AND 0xFFFFF) >> 4) + blockKB * 1024; bytes beyond it are zero.
void nvmBlockBytes(const RequestContext& c, uint16_t blockKB, uint8_t* out4096);

}  // namespace kvx
