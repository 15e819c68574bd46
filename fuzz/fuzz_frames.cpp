// The receive path of a channel: the input's bytes arrive in blocks of sizes
// taken from the input; every run the assembler hands on is decoded into an
// 8192-byte frame buffer and checked as a reply.
//
// Checks: runs are flag, at least one byte, flag, with no flag inside; as
// long as nothing had to be dropped, the runs are the same whatever the
// block sizes (compared with a whole-stream cut); a decoded frame fits the
// buffer and encodes back to exactly its run. In one mode the run handler
// resets the assembler now and then, as the engine's step starters do from
// within a reply.
#include "fuzz_util.h"
#include "link/assembler.h"
#include "link/frame.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

using namespace kvx;

namespace {

// The runs of a whole stream: a flag followed by a flag is skipped (a doubled
// flag counts once), a run closes at the next flag, and the search goes on
// after it.
std::vector<std::vector<uint8_t>> runsOf(const std::vector<uint8_t>& s) {
    std::vector<std::vector<uint8_t>> runs;
    size_t i = 0;
    for (;;) {
        while (i < s.size() && s[i] != kFlag) ++i;
        if (i + 1 >= s.size()) break;
        if (s[i + 1] == kFlag) {
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < s.size() && s[j] != kFlag) ++j;
        if (j >= s.size()) break;
        runs.emplace_back(s.begin() + static_cast<long>(i), s.begin() + static_cast<long>(j) + 1);
        i = j + 1;
    }
    return runs;
}

// True when no stretch of the stream without a flag is long enough to make
// the assembler drop pending bytes.
bool noDropPossible(const std::vector<uint8_t>& s) {
    size_t gap = 0;
    for (uint8_t b : s) {
        gap = b == kFlag ? 0 : gap + 1;
        if (gap >= RxAssembler::kCapacity / 2) return false;
    }
    return true;
}

void checkRun(const uint8_t* run, uint16_t length) {
    FUZZ_CHECK(length >= 3 && length <= RxAssembler::kCapacity);
    FUZZ_CHECK(run[0] == kFlag && run[length - 1] == kFlag);
    for (uint16_t i = 1; i + 1 < length; ++i) FUZZ_CHECK(run[i] != kFlag);

    // ExtractFrame consumes its source: decode from a copy into a buffer of
    // exactly 8192 bytes (AddressSanitizer sees any byte beyond it).
    std::vector<uint8_t> src(run, run + length);
    std::vector<uint8_t> frame(kFrameBufferSize);
    uint16_t count = length, n = 0xFFFF;
    uint8_t code = ExtractFrame(src.data(), count, frame.data(), frame.size(), n);
    FUZZ_CHECK(code == kResultOk || code == kResultDamaged);
    FUZZ_CHECK(count < length);
    if (code != kResultOk) {
        FUZZ_CHECK(n == 0 || n < kHeaderSize);
        return;
    }
    // A good run holds one frame up to its closing flag: consumed whole.
    FUZZ_CHECK(count == 0);
    FUZZ_CHECK(n >= kHeaderSize && n <= kFrameBufferSize);
    std::vector<uint8_t> exact(frame.begin(), frame.begin() + n);
    uint8_t result = CheckReply(exact.data(), exact.size());
    if (n < 10) FUZZ_CHECK(result == kResultDamaged);
    else if (result != kResultCrcMismatch) FUZZ_CHECK(le16(exact.data() + 6) <= 2 ? result == exact[8] : result == kResultOk);

    // The escaped form of the frame is the run, then the padding.
    std::vector<uint8_t> wire(2 * n + 7);
    size_t w = EncodeFrame(exact.data(), n, wire.data());
    FUZZ_CHECK(w == encodedLength(exact.data(), n));
    FUZZ_CHECK(w == length + kPaddingBytes);
    FUZZ_CHECK(std::memcmp(wire.data(), run, length) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static RxAssembler* rx = new RxAssembler;
    rx->reset();
    FuzzedDataProvider in(data, size);
    const bool handlerResets = in.ConsumeBool();
    std::vector<uint8_t> stream;
    std::vector<std::vector<uint8_t>> runs;
    auto onRun = [&](const uint8_t* run, uint16_t length) {
        checkRun(run, length);
        runs.emplace_back(run, run + length);
        if (handlerResets && (run[1] & 1)) rx->reset();
    };
    while (in.remaining_bytes() > 0) {
        // Mostly small blocks, now and then one up to 20 KB (a port hands on
        // at most what its read returned).
        size_t want = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(1, 64)
                                       : in.ConsumeIntegralInRange<size_t>(1, 20000);
        std::vector<uint8_t> block = in.ConsumeBytes<uint8_t>(want);
        if (block.empty()) break;
        stream.insert(stream.end(), block.begin(), block.end());
        rx->receive(block.data(), block.size(), onRun);
        FUZZ_CHECK(rx->count() <= RxAssembler::kCapacity);
    }
    if (!handlerResets && noDropPossible(stream)) FUZZ_CHECK(runs == runsOf(stream));
    return 0;
}
