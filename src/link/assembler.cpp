#include "link/assembler.h"

#include <cstring>

namespace kvx {

namespace {
constexpr uint8_t kFlagByte = 0xC0;
}

bool RxAssembler::AssembleFrame(size_t& pos) {
    runLength = 0;
    // Hunt for an opening flag; a doubled flag counts once (the second one is
    // examined as the opening flag).
    for (;;) {
        while (pos < rxCount && rxBuffer[pos] != kFlagByte) ++pos;
        if (pos >= rxCount) return false;
        rxFrame[0] = kFlagByte;
        runLength = 1;
        ++pos;
        if (pos < rxCount && rxBuffer[pos] == kFlagByte) {
            runLength = 0;
            continue;
        }
        break;
    }
    // Collect up to and including the closing flag.
    while (pos < rxCount) {
        uint8_t b = rxBuffer[pos++];
        rxFrame[runLength++] = b;
        if (b == kFlagByte) return true;
    }
    return false;
}

void RxAssembler::append(const uint8_t* block, size_t length) {
    if (rxCount + length > kCapacity) {
        // The pending bytes hold no closing flag over more than the longest
        // frame: keep only what follows their last flag, or nothing.
        size_t keepFrom = rxCount;
        for (size_t i = rxCount; i-- > 0;)
            if (rxBuffer[i] == kFlagByte) {
                keepFrom = i;
                break;
            }
        size_t keep = rxCount - keepFrom;
        if (keep + length > kCapacity) keep = 0;
        std::memmove(rxBuffer.data(), rxBuffer.data() + rxCount - keep, keep);
        rxCount = static_cast<uint16_t>(keep);
        openRunScanned_ = 0;
    }
    std::memcpy(rxBuffer.data() + rxCount, block, length);
    rxCount = static_cast<uint16_t>(rxCount + length);
}

void RxAssembler::receive(const uint8_t* block, size_t length, const RunFn& onRun) {
    // Blocks larger than a quarter of the buffer are taken in pieces, so the
    // buffer always has room for the longest run behind what is pending.
    constexpr size_t kPiece = kCapacity / 4;
    while (length > 0) {
        size_t n = length < kPiece ? length : kPiece;
        size_t before = rxCount;
        append(block, n);
        block += n;
        length -= n;
        if (openRunScanned_ > 1 && openRunScanned_ <= before && rxCount > before &&
            !std::memchr(rxBuffer.data() + before, kFlagByte, rxCount - before)) {
            openRunScanned_ = rxCount;  // still no closing flag: nothing to hand on
            continue;
        }
        openRunScanned_ = 0;
        size_t pos = 0, start = 0;
        for (;;) {
            start = pos;
            if (!AssembleFrame(pos)) break;
            onRun(rxFrame.data(), runLength);
        }
        // A handler may have reset the buffer meanwhile.
        if (start > rxCount) start = rxCount;
        // Keep the unconsumed bytes from where the last search began; bytes
        // before its first flag can never belong to a frame and are skipped.
        while (start < rxCount && rxBuffer[start] != kFlagByte) ++start;
        size_t rest = rxCount - start;
        if (rest > 0 && start > 0) std::memmove(rxBuffer.data(), rxBuffer.data() + start, rest);
        rxCount = static_cast<uint16_t>(rest);
        // A search that failed after a single opening flag looked at every
        // byte behind it.
        if (rxCount >= 2 && rxBuffer[0] == kFlagByte && rxBuffer[1] != kFlagByte) openRunScanned_ = rxCount;
    }
}

}  // namespace kvx
