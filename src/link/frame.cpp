#include "link/frame.h"

#include "shell/checksum.h"

#include <cstring>

namespace kvx {

const uint8_t kDeviceQuery[10] = {0xC0, 0xA3, 0xA5, 0x35, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

void writeHeader(uint8_t* f, const FrameHeader& h) {
    f[0] = h.command;
    put16(f + 1, h.parameter);
    f[3] = h.modelCode;
    f[4] = h.familyCode;
    f[5] = h.modelIndex;
    put16(f + 6, h.payloadLength);
}

FrameHeader readHeader(const uint8_t* f) {
    FrameHeader h;
    h.command = f[0];
    h.parameter = le16(f + 1);
    h.modelCode = f[3];
    h.familyCode = f[4];
    h.modelIndex = f[5];
    h.payloadLength = le16(f + 6);
    return h;
}

size_t appendFrameCrc(uint8_t* frame, size_t len) {
    uint16_t c = 0;
    for (size_t i = 0; i < len; ++i) c = flashCrc16Step(c, frame[i]);
    put16(frame + len, c);
    return len + 2;
}

size_t EncodeFrame(const uint8_t* frame, size_t len, uint8_t* dest) {
    size_t o = 0;
    dest[o++] = kFlag;
    for (size_t i = 0; i < len; ++i) {
        uint8_t b = frame[i];
        if (b == kFlag) {
            dest[o++] = kEscape;
            dest[o++] = kEscapedFlag;
        } else if (b == kEscape) {
            dest[o++] = kEscape;
            dest[o++] = kEscapedEscape;
        } else {
            dest[o++] = b;
        }
    }
    dest[o++] = kFlag;
    for (size_t i = 0; i < kPaddingBytes; ++i) dest[o++] = 0xFF;
    return o;
}

size_t encodedLength(const uint8_t* frame, size_t len) {
    size_t n = len + 2 + kPaddingBytes;
    for (size_t i = 0; i < len; ++i) n += (frame[i] == kFlag || frame[i] == kEscape);
    return n;
}

namespace {
void dropFront(uint8_t* src, uint16_t& count, size_t consumed) {
    if (consumed < count) {
        size_t rest = count - consumed;
        std::memmove(src, src + consumed, rest);
        count = static_cast<uint16_t>(rest);
    } else {
        count = 0;
    }
}
}  // namespace

uint8_t ExtractFrame(uint8_t* src, uint16_t& count, uint8_t* dest, size_t destCapacity, uint16_t& decodedLength) {
    size_t L = count;
    size_t i = 0;
    // Opening flag (a doubled flag counts once).
    while (i < L && src[i] != kFlag) ++i;
    if (i < L) {
        ++i;
        if (i < L && src[i] == kFlag) ++i;
    }
    size_t n = 0;
    bool escape = false;
    for (; i < L; ++i) {
        uint8_t b = src[i];
        if (escape) {
            escape = false;
            if (b == kEscapedFlag) {
                b = kFlag;
            } else if (b == kEscapedEscape) {
                b = kEscape;
            } else {
                decodedLength = 0;
                dropFront(src, count, i + 1);
                return kResultDamaged;
            }
        } else if (b == kFlag) {
            decodedLength = static_cast<uint16_t>(n);
            dropFront(src, count, i + 1);
            return n >= kHeaderSize ? kResultOk : kResultDamaged;
        } else if (b == kEscape) {
            escape = true;
            continue;
        }
        if (n >= destCapacity) {
            // A run longer than any frame: drop it up to its closing flag (or
            // all of it) and report it damaged rather than overrun dest.
            size_t j = i;
            while (j < L && src[j] != kFlag) ++j;
            decodedLength = 0;
            dropFront(src, count, j < L ? j + 1 : L);
            return kResultDamaged;
        }
        dest[n++] = b;
    }
    return kResultNoClosingFlag;
}

uint8_t CheckReply(const uint8_t* r, size_t n) {
    if (n < 10) return kResultDamaged;
    uint16_t c = 0;
    for (size_t i = 0; i + 2 < n; ++i) c = flashCrc16Step(c, r[i]);
    if (c != le16(r + n - 2)) return kResultCrcMismatch;
    if (le16(r + 6) <= 2) return r[8];
    return kResultOk;
}

}  // namespace kvx
