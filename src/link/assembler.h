// The per-channel receive assembler: collects the bytes a port delivers in
// blocks of any size and cuts complete flagged runs (opening flag, at least
// one byte, closing flag) out of them, in order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace kvx {

class RxAssembler {
public:
    // Room for the largest escaped reply (8214 bytes between and including
    // its flags) with a received block behind it.
    static constexpr size_t kCapacity = 16384;
    using RunFn = std::function<void(const uint8_t* run, uint16_t length)>;

    // Appends a block and hands every complete run to onRun, in order, within
    // this call. Unconsumed bytes are kept for the next block. Bytes that can
    // never become part of a frame (a run without a closing flag that would
    // outgrow the buffer) are dropped and the hunt starts again.
    void receive(const uint8_t* block, size_t length, const RunFn& onRun);
    // All pending bytes are discarded (line error, device search, launchers).
    void reset() {
        rxCount = 0;
        openRunScanned_ = 0;
    }
    uint16_t count() const { return rxCount; }

    // Copies one complete flagged run from rxBuffer at pos (advanced in place)
    // into rxFrame; false when the bytes from pos on hold none.
    bool AssembleFrame(size_t& pos);

    std::array<uint8_t, kCapacity> rxBuffer{};
    uint16_t rxCount = 0;
    std::array<uint8_t, kCapacity> rxFrame{};
    uint16_t runLength = 0;

private:
    void append(const uint8_t* block, size_t length);
    // When the pending bytes are one opening flag and the start of a run, the
    // bytes before this index are known to hold no closing flag, so a new
    // block only needs its own bytes looked at (a 4 KB reply arriving in
    // small pieces is then scanned once, not once per piece).
    uint16_t openRunScanned_ = 0;
};

}  // namespace kvx
