// Raw binary files: readBinFile and readBinLimited on a file written from the
// input, into a destination with less room than the file (guard zones on
// both sides). Input: a control byte, four bytes for the room, four for the
// NVM reader's lastOffset, then the file's bytes.
#include "fuzz_util.h"
#include "image/object_files.h"

#include <algorithm>
#include <fcntl.h>
#include <vector>

using namespace kvx;
using namespace kvx::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScratchFile file("input.bin");
    if (size < 9) return 0;
    const uint8_t control = data[0];
    const uint32_t roomValue = le32At(data + 1);
    const uint32_t lastOffsetIn = le32At(data + 5);
    const uint8_t* content = data + 9;
    const size_t contentSize = size - 9;
    file.write(content, contentSize);

    // Bits 0 and 4 make the file sparse-extended past the 1 MiB limit of the
    // reader, so the cap at 1 MiB is exercised with a room above it (not
    // often: a megabyte per run is slow).
    const bool huge = (control & 0x11) == 0x11;
    uint64_t fileSize = contentSize;
    if (huge) {
        fileSize = 0x100000 + (roomValue & 0xFFFF);
        FUZZ_CHECK(::truncate(file.path().c_str(), static_cast<off_t>(fileSize)) == 0);
    }
    // The room: smaller than the file (bit 1 clear) or anything up to the
    // file's size plus 64 KB.
    size_t room;
    if (!(control & 2)) room = fileSize ? roomValue % fileSize : 0;
    else room = roomValue % (fileSize + 0x10000 + 1);
    if (huge) room = std::min<size_t>(room, 0x100000 + 4096);

    GuardedBuffer dest(room);
    // The first n bytes of dest hold the file's first n bytes (the input's,
    // then the zeros of the sparse part).
    static const std::vector<uint8_t> zeros(0x100000 + 0x10000, 0);
    auto holdsFile = [&](size_t n) {
        size_t fromInput = std::min(n, contentSize);
        return std::memcmp(dest.data(), content, fromInput) == 0 &&
               std::memcmp(dest.data() + fromInput, zeros.data(), n - fromInput) == 0;
    };

    // readBinFile: min(size, 1 MiB, room) bytes, summed onto fileChecksum.
    uint32_t lastOffset = 0xDEADBEEF;
    uint32_t checksum = 7;
    uint64_t reported = readBinFile(file.path(), dest.data(), room, lastOffset, checksum);
    dest.checkGuards();
    FUZZ_CHECK(reported == fileSize);
    const size_t stored = static_cast<size_t>(std::min<uint64_t>({fileSize, 0x100000, room}));
    FUZZ_CHECK(lastOffset == (stored ? stored - 1 : 0));
    FUZZ_CHECK(holdsFile(stored));
    uint32_t sum = 7;
    for (size_t i = 0; i < std::min(stored, contentSize); ++i) sum += content[i];
    FUZZ_CHECK(checksum == sum);

    // readBinLimited: lastOffset + 1 bytes when lastOffset is not 0 and
    // below the size, else the whole file; never more than the room.
    uint32_t limit = (control & 4) ? lastOffsetIn : static_cast<uint32_t>(lastOffsetIn % (fileSize + 2));
    uint32_t limitIn = limit;
    size_t got = readBinLimited(file.path(), dest.data(), room, limit);
    dest.checkGuards();
    uint64_t want;
    if (limitIn != 0 && limitIn < fileSize) {
        want = uint64_t(limitIn) + 1;
        FUZZ_CHECK(limit == limitIn);
    } else {
        want = fileSize;
        FUZZ_CHECK(limit == (fileSize ? fileSize - 1 : 0));
    }
    FUZZ_CHECK(got == std::min<uint64_t>(want, room));
    FUZZ_CHECK(holdsFile(got));
    return 0;
}
