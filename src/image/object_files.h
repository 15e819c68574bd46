// Object files: readers of Intel HEX, Motorola S-record and raw binary into
// an image buffer, and writers of the same formats from one. Nothing is ever
// stored outside the destination buffer; what does not fit is counted so the
// operator can be told.
#pragma once

#include "shell/safe_file.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kvx {

// Where a chip keeps what is loaded for it: its flash and, where the chip takes
// one from the image, a second area (an empty one has first > last).
struct ChipAreas {
    uint32_t flashFirst = 0, flashLast = 0xFFFFFFFF;
    uint32_t otherFirst = 1, otherLast = 0;
    // How many of the `count` bytes from address `first` lie in neither area.
    uint64_t bytesOutside(uint64_t first, uint64_t count) const;
};

struct ReaderOutputs {
    uint32_t first = 0xFFFFFFFF;  // lowest target address seen
    uint32_t last = 0;            // highest target address seen
    uint32_t fileChecksum = 0;    // running sum of every stored byte (passed in)
    uint64_t bytesStored = 0;     // data bytes stored in the buffer
    uint64_t bytesOutside = 0;    // data bytes beyond the buffer's end, not stored
    uint32_t recordsOutside = 0;  // records with such bytes
    uint32_t recordsBelowBase = 0;  // records below the base, not stored
    // (in) The chip's areas; stored bytes outside them are counted in
    // bytesOffChip (they would never be programmed).
    ChipAreas chip;
    uint64_t bytesOffChip = 0;
    bool aborted = false;         // the operator chose Abort on a faulty line
    int abortedAtLine = 0;        // that line's number
};

// Called for a faulty line with its number and result code; true goes on
// with the next line (OK), false stops reading (Abort).
using LineErrorFn = std::function<bool(int lineNumber, int code)>;

// Line result codes.
constexpr int kLineOk = 0;
constexpr int kLineNoStart = 1;      // no ":" / "S" at the start
constexpr int kLineBadType = 2;      // S-record type not 0,1,2,3,5,6,7,8,9
constexpr int kLineBadAddress = 3;   // HEX type 02/04 whose address field is not 0000
constexpr int kLineBadChecksum = 4;  // checksum wrong (or the line too short for its count)
constexpr int kLineTypeAbove5 = 5;   // HEX record type above 05

// What an object file holds. By extension: .hex .ihex .ihx are Intel HEX;
// .s19 (.s1 and a digit), .srec .mot .s28 .s37 .sx are S-records; .bin is
// binary. Any other name is told by its content: a first non-blank line that
// starts with ':' is Intel HEX, with 'S' and a digit an S-record.
enum class ObjectFormat { Hex, SRecord, Bin, Unknown };
ObjectFormat formatByExtension(const std::string& path);
ObjectFormat formatByContent(const char* text, size_t size);
// By extension, else by the file's first bytes. Throws FileError when the
// file must be read and cannot be.
ObjectFormat objectFileFormat(const std::string& path);
// A line result code in words, for messages that name the fault.
const char* lineFaultText(ObjectFormat format, int code);

// Readers: byte for target address A goes to buffer[A - base]. Throw
// FileError when the file cannot be read.
void readHexFile(const std::string& path, uint32_t base, uint8_t* buffer, size_t bufferSize, ReaderOutputs& out,
                 const LineErrorFn& onError);
void readSRecordFile(const std::string& path, uint32_t base, uint8_t* buffer, size_t bufferSize, ReaderOutputs& out,
                     const LineErrorFn& onError);
// The same over text already in memory (tests, fuzzing).
void parseHexText(const char* text, size_t size, uint32_t base, uint8_t* buffer, size_t bufferSize,
                  ReaderOutputs& out, const LineErrorFn& onError);
void parseSRecordText(const char* text, size_t size, uint32_t base, uint8_t* buffer, size_t bufferSize,
                      ReaderOutputs& out, const LineErrorFn& onError);

// A binary file from its start: at most 1 MiB and at most destRoom bytes are
// stored (each added to fileChecksum); lastOffset := bytes stored - 1.
// Returns the file's size.
uint64_t readBinFile(const std::string& path, uint8_t* dest, size_t destRoom, uint32_t& lastOffset,
                     uint32_t& fileChecksum);
// NVM data: lastOffset + 1 bytes when lastOffset is not 0 and below the
// file's size, else the whole file (lastOffset := size - 1); never more than
// destRoom. No checksum. Returns the number of bytes stored.
size_t readBinLimited(const std::string& path, uint8_t* dest, size_t destRoom, uint32_t& lastOffset);

// Writes (n + 1) * 16 bytes of value from the start of the buffer.
void fillImage(uint8_t* buffer, uint32_t n, uint8_t value);

// The last address to save of the range first .. last from an image buffer
// of imageSize bytes that starts at first: last when the range fits the
// buffer (or is empty, last < first), else the buffer's last byte. A range
// from a chip profile is cut to the buffer before it goes to a writer.
uint32_t lastInImage(uint32_t first, uint32_t last, size_t imageSize);

// Writers: the file is replaced only when complete. Throw FileError.
void writeBinFile(const std::string& path, const uint8_t* buffer, int64_t firstIndex, int64_t lastIndex);
void writeHexFile(const std::string& path, const uint8_t* buffer, uint32_t base, uint32_t first, uint32_t last);
void writeSRecordFile(const std::string& path, const uint8_t* buffer, uint32_t base, uint32_t first, uint32_t last);
// The text the writers produce.
std::string hexText(const uint8_t* buffer, uint32_t base, uint32_t first, uint32_t last);
std::string sRecordText(const uint8_t* buffer, uint32_t base, uint32_t first, uint32_t last);

}  // namespace kvx
