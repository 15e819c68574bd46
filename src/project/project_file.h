// Project files (".pmw"): a whole production job — chip, job settings (the
// job block), main-flash image, NVM data, sums and the object-file name — in
// one binary file with masked sections and a closing byte sum.
#pragma once

#include "chip/profile.h"
#include "image/image_state.h"
#include "link/records.h"
#include "shell/safe_file.h"
#include "shell/seams.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvx {

// Masking keys of the format.
constexpr uint8_t kProjectTextKey = 0x4B;
constexpr uint8_t kCfgTagKey = 0x57;
constexpr uint8_t kMfmTagKey = 0x39;
constexpr uint8_t kEepTagKey = 0x6D;

constexpr size_t kProjectHeaderSize = 354;  // up to the mask table
constexpr size_t kProjectMaskTableSize = 2049;
constexpr size_t kProjectCfgSize = 1024;    // job block + 512 free bytes
constexpr size_t kProjectJobBlockSize = 512;
constexpr size_t kProjectTrailerSize = 256;
constexpr size_t kModelNameWidth = 16;
constexpr size_t kChipNameWidth = 20;
constexpr size_t kObjectNameWidth = 48;

// Bits of the project flags byte.
constexpr uint8_t kProjectFlagSnDecimal = 0x01;       // ChkBoxSNDP
constexpr uint8_t kProjectFlagSnBigEndian = 0x04;     // SNOrderChk
constexpr uint8_t kProjectFlagNoWatchdog = 0x08;      // noWatchdogVariant
constexpr uint8_t kProjectFlagReserved = 0x10;        // stored and restored only
constexpr uint8_t kProjectFlagWriteOptionAfter = 0x20;

// Results of readProjectFile.
constexpr int kProjectOk = 0;
constexpr int kProjectBadSignature = 5;
constexpr int kProjectBadCfgTag = 10;
constexpr int kProjectBadMfmTag = 13;
constexpr int kProjectBadEepTag = 15;
constexpr int kProjectCorrupted = 16;

constexpr const char* kProjectOpenSuccess = "Project File Open Success!";
constexpr const char* kProjectNotValid = "Not Valid Tandra Project File!";
constexpr const char* kProjectCorruptedText = "Project File Data Has Been Corrupted!";

// Everything a project file carries. The writer takes the text fields as
// text; the reader fills them with the visible text (up to the first zero
// byte) and keeps the unmasked field bytes at full width in the *Field
// arrays.
struct ProjectData {
    uint8_t version = 1;
    uint8_t modelCode = 12;
    std::string modelName;       // written as programmerModelName(modelCode)
    std::string chipName;
    std::string objectFileName;
    std::array<uint8_t, kModelNameWidth> modelNameField{};
    std::array<uint8_t, kChipNameWidth> chipNameField{};
    std::array<uint8_t, kObjectNameWidth> objectFileNameField{};
    uint32_t flashAcc32 = 0;
    uint32_t fileChecksum = 0;
    uint32_t reserved = 0;
    uint32_t countLimit = 0;     // for information: the job's limit comes from the job block
    uint32_t loadedFirst = 0;
    uint32_t loadedLast = 0;
    uint8_t flags = 0;
    uint8_t vendor = 0;          // ChipVendor
    uint32_t flashSize = 0;      // bytes: flashSizeKB * 1024
    uint16_t eepSize = 0;
    uint32_t flashFirst = 0;
    uint32_t nvmFirst = 0;
    uint32_t auxFirst = 0;
    uint16_t flashAcc = 0;
    uint16_t flashCrc = 0;
    uint16_t nvmAcc = 0;
    uint16_t nvmCrc = 0;
    uint16_t further2 = 0;       // chip parameter block offsets 58-59
    uint16_t further1 = 0;       // chip parameter block offsets 56-57
    std::array<uint8_t, kProjectCfgSize> cfg{};
    std::vector<uint8_t> flash;  // flashSize bytes: ImageBuffer from offset 0
    std::vector<uint8_t> nvm;    // NvmBuffer from offset 0 (eepSize bytes when written)
};

// The programmer model name of a model code; "Korvex200XXX" for a code that
// is not in the table (this program's own code 12 among them).
std::string programmerModelName(uint8_t modelCode);

// The CFG block of a file: the 512-byte job block and 512 zero bytes.
std::array<uint8_t, kProjectCfgSize> cfgBlockFromJobBlock(const uint8_t* jobBlock512);

// Bytes of a masked stream of n data bytes: a key byte, the data, and a new
// key byte after every 1024th data byte.
constexpr size_t maskedStreamSize(size_t n) { return 1 + n + n / 1024; }
// Size of the file writeProjectFile produces.
size_t projectFileSize(uint32_t flashSize, uint16_t eepSize);

// The file's bytes, with fresh random mask table, keys and filler. Throws
// std::invalid_argument when flash or nvm do not hold flashSize / eepSize
// bytes or the sizes exceed ImageBuffer / NvmBuffer.
std::vector<uint8_t> encodeProjectFile(const ProjectData& d, Random& rng);

// Writes the project file: the bytes go to a temporary file in the same
// folder that replaces path only when complete, so a failed save leaves the
// previous file as it was. Throws FileError (or std::invalid_argument as
// encodeProjectFile).
void writeProjectFile(const std::string& path, const ProjectData& d, Random& rng);

// Reads a project file into out (a fresh ProjectData; out is assigned only
// when the result is 0, otherwise it keeps what it held before) and sets
// message. Results:
//   0  "Project File Open Success!"
//   5  "Not Valid Tandra Project File!"          (nothing else is read)
//   10, 13, 15 a wrong CFG, MFM or EEP tag        "Project File Data Has Been Corrupted!"
//              (reading goes on from the position reached; the last one counts)
//   16 the sum does not match, the file ends early, or a stored size or value
//      would not fit the program's buffers       "Project File Data Has Been Corrupted!"
// Throws FileError when the file cannot be opened or read or is not a regular
// file (a FIFO or a device is refused before anything is read).
int readProjectFile(const std::string& path, ProjectData& out, std::string& message);
// The same over file bytes already in memory.
int decodeProjectFile(const uint8_t* data, size_t size, ProjectData& out, std::string& message);

// Copies the job fields of the CFG block (job block offsets) into the chip
// profile, the job settings, the image sums and the carried words; flashLast
// becomes flashFirst + flashSizeKB * 1024 - 1 (flashFirst as the profile
// holds it). Nothing else is restored; the option bytes the block carries are
// not copied back.
void restoreFromCfg(const uint8_t* cfg1024, ChipProfile& chip, JobSettings& job, ImageSums& sums, ProjectWords& words);
// The same with the image sums stored in the image state.
void restoreFromCfg(const uint8_t* cfg1024, ChipProfile& chip, JobSettings& job, ImageState& image, ProjectWords& words);

// Puts what a successfully read file stores into the program's state, as the
// reading of the file did in the original program: model code, chip (vendor,
// name, sizes, address starts), the object-file name, loaded range, file and
// image sums, the carried words, ImageBuffer[0 .. flashSize) and
// NvmBuffer[0 .. nvm size). The flags byte and the CFG block stay in d for
// the caller (loadProject). chipName is resolveChipName of the stored field
// and catalogueEntry (empty when the catalogue has no entry).
void applyProjectData(const ProjectData& d, const std::string& catalogueEntry, uint8_t& modelCode, ChipProfile& chip,
                      ImageState& image, ProjectWords& words);

// The chip name to use for a loaded project. A chip-name byte equal to the
// text key ("K") is stored as zero, so the stored name reads back cut off
// before its first "K" (every LKS chip reads back as "L"). When the stored
// field is such a cut-off form of the catalogue entry for the stored vendor
// and model index — the visible text is the entry's beginning up to a "K",
// and every later stored byte is the entry's byte or zero where the entry has
// a "K" — the entry is the name; otherwise the stored visible text is.
// stored may be the full unmasked field (zero bytes included) or only its
// visible text.
std::string resolveChipName(const std::string& stored, const std::string& catalogueEntry);

}  // namespace kvx
