// Link frames: an 8-byte header, a payload and the 16-bit check code, sent
// byte-stuffed between two flag bytes and followed by padding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvx {

constexpr uint8_t kFlag = 0xC0;
constexpr uint8_t kEscape = 0xDB;
constexpr uint8_t kEscapedFlag = 0xDC;
constexpr uint8_t kEscapedEscape = 0xDD;
constexpr size_t kPaddingBytes = 5;

// Result codes produced by the host itself.
constexpr uint8_t kResultOk = 0x00;
constexpr uint8_t kResultGood = 0x06;
constexpr uint8_t kResultNoClosingFlag = 0x20;
constexpr uint8_t kResultCrcMismatch = 0x23;
constexpr uint8_t kResultDamaged = 0x2A;
constexpr uint8_t kResultVerifyMismatch = 0x31;

constexpr size_t kHeaderSize = 8;
constexpr size_t kMaxRequestFrame = 4170;
// Room for the escaped form of the longest request: 2 x 4170 + 7.
constexpr size_t kMaxWireRequest = 2 * kMaxRequestFrame + 7;
// Buffer sizes of one channel. The frame buffer holds one decoded frame; the
// transmit buffer one escaped request.
constexpr size_t kFrameBufferSize = 8192;
constexpr size_t kTxBufferSize = kMaxWireRequest + 1;

// Header fields.
struct FrameHeader {
    uint8_t command = 0;
    uint16_t parameter = 0;
    uint8_t modelCode = 0;
    uint8_t familyCode = 0;
    uint8_t modelIndex = 0;
    uint16_t payloadLength = 0;
};
void writeHeader(uint8_t* frame, const FrameHeader& h);
FrameHeader readHeader(const uint8_t* frame);

// Stores flashCrc16 of frame[0 .. len-1] at frame[len], frame[len+1] (low byte
// first); returns len + 2.
size_t appendFrameCrc(uint8_t* frame, size_t len);

// The wire form of frame[0 .. len-1] into dest (room for 2 * len + 7 bytes);
// returns the wire length.
size_t EncodeFrame(const uint8_t* frame, size_t len, uint8_t* dest);
// The wire length EncodeFrame would produce.
size_t encodedLength(const uint8_t* frame, size_t len);

// Recovers one frame from the flagged run in src[0 .. count-1] into dest
// (destCapacity bytes). On success and on a bad escape the consumed bytes are
// removed from the front of src and count is updated. Returns 0x00, 0x20 (no
// closing flag: count and decodedLength unchanged) or 0x2A (bad escape,
// decoded frame shorter than 8 bytes, or a frame too long for dest).
uint8_t ExtractFrame(uint8_t* src, uint16_t& count, uint8_t* dest, size_t destCapacity, uint16_t& decodedLength);

// Checks a decoded reply: 0x23 when its check code is wrong, 0x2A when it is
// too short to carry a header and a check code (below 10 bytes), the first
// payload byte of a result reply (payloadLength <= 2), 0x00 for a data reply.
uint8_t CheckReply(const uint8_t* frame, size_t length);

// The device query, written as it stands.
extern const uint8_t kDeviceQuery[10];

inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace kvx
