#include "link/frame.h"
#include "shell/checksum.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kvx;
using Bytes = std::vector<uint8_t>;

namespace {
Bytes encode(const Bytes& f) {
    Bytes out(2 * f.size() + 7);
    out.resize(EncodeFrame(f.data(), f.size(), out.data()));
    return out;
}
// A reply frame with the given payload and a correct check code.
Bytes reply(uint8_t cmd, const Bytes& payload) {
    Bytes f(8 + payload.size() + 2);
    FrameHeader h;
    h.command = cmd;
    h.payloadLength = static_cast<uint16_t>(payload.size());
    writeHeader(f.data(), h);
    std::copy(payload.begin(), payload.end(), f.begin() + 8);
    appendFrameCrc(f.data(), 8 + payload.size());
    return f;
}
}  // namespace

TEST(FlashCrc16, KnownValuesAndGuards) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(flashCrc16(abc, 0, 2), 0x2543);
    const uint8_t one[] = {0x01, 0x00};
    EXPECT_EQ(flashCrc16(one, 0, 0), 0x0001);
    EXPECT_EQ(flashCrc16(one, 0, 1), 0x4A12);
    EXPECT_EQ(flashCrc16(one, 1, 0), 0);              // last below first
    EXPECT_EQ(flashCrc16(nullptr, 0x1000000, 0x1000001), 0);  // index above 0xFFFFFF: nothing read
    const uint8_t s[] = {0xFF, 0xFF, 0x02};
    EXPECT_EQ(byteSum32(s, 0, 2), 0x200u);
    EXPECT_EQ(byteSum32(s, 2, 1), 0u);
}

TEST(EncodeFrame, EscapesFlagsAndPads) {
    Bytes wire = encode({0x01, 0xC0, 0xDB, 0x02});
    Bytes expect = {0xC0, 0x01, 0xDB, 0xDC, 0xDB, 0xDD, 0x02, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(wire, expect);
    Bytes f = {0x01, 0xC0, 0xDB, 0x02};
    EXPECT_EQ(encodedLength(f.data(), f.size()), 13u);
    // The longest request, all flags, fits the transmit buffer.
    Bytes worst(kMaxRequestFrame, 0xC0);
    EXPECT_EQ(encode(worst).size(), kMaxWireRequest);
    EXPECT_LE(kMaxWireRequest, kTxBufferSize);
}

struct ExtractCase {
    std::string name;
    Bytes src;
    uint8_t result;
    uint16_t decodedLen;
    Bytes rest;  // bytes left in src afterwards
};

TEST(ExtractFrame, Table) {
    Bytes eight = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<ExtractCase> cases = {
        {"plain", {0xC0, 1, 2, 3, 4, 5, 6, 7, 8, 0xC0}, 0x00, 8, {}},
        {"doubled opening flag", {0xC0, 0xC0, 1, 2, 3, 4, 5, 6, 7, 8, 0xC0}, 0x00, 8, {}},
        {"leading garbage and rest kept", {0xFF, 0xC0, 1, 2, 3, 4, 5, 6, 7, 8, 0xC0, 0xFF, 0xC0}, 0x00, 8, {0xFF, 0xC0}},
        {"too short", {0xC0, 1, 2, 3, 0xC0, 9}, 0x2A, 3, {9}},
        {"bad escape", {0xC0, 1, 0xDB, 0x05, 7, 0xC0}, 0x2A, 0, {7, 0xC0}},
        {"no closing flag", {0xC0, 1, 2, 3}, 0x20, 0xBEEF, {0xC0, 1, 2, 3}},
        {"empty", {}, 0x20, 0xBEEF, {}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes src = c.src;
        src.resize(src.size() + 16);
        uint16_t count = static_cast<uint16_t>(c.src.size());
        uint8_t dest[64];
        uint16_t len = 0xBEEF;
        EXPECT_EQ(ExtractFrame(src.data(), count, dest, sizeof dest, len), c.result);
        EXPECT_EQ(len, c.decodedLen);
        EXPECT_EQ(Bytes(src.begin(), src.begin() + count), c.rest);
        if (c.result == 0) {
            EXPECT_EQ(Bytes(dest, dest + 8), eight);
        }
    }
}

TEST(ExtractFrame, EscapedBytesAndRoundTrip) {
    Bytes f = reply(0x9B, Bytes(4096, 0xC0));
    Bytes wire = encode(f);
    uint16_t count = static_cast<uint16_t>(wire.size());
    std::vector<uint8_t> dest(kFrameBufferSize);
    uint16_t len = 0;
    ASSERT_EQ(ExtractFrame(wire.data(), count, dest.data(), dest.size(), len), 0x00);
    EXPECT_EQ(len, f.size());
    EXPECT_EQ(Bytes(dest.begin(), dest.begin() + len), f);
    EXPECT_EQ(count, 5);  // the padding is left
}

TEST(ExtractFrame, RunLongerThanDestinationIsDropped) {
    Bytes src = {0xC0};
    src.insert(src.end(), 100, 0x11);
    src.push_back(0xC0);
    src.push_back(0x77);
    uint16_t count = static_cast<uint16_t>(src.size());
    uint8_t dest[50];
    uint16_t len = 1;
    EXPECT_EQ(ExtractFrame(src.data(), count, dest, sizeof dest, len), 0x2A);
    EXPECT_EQ(len, 0);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(src[0], 0x77);
}

TEST(CheckReply, Table) {
    Bytes ok = reply(0x93, {0x34});
    EXPECT_EQ(CheckReply(ok.data(), ok.size()), 0x34);
    for (size_t i = 0; i < ok.size(); ++i) {
        Bytes bad = ok;
        bad[i] ^= 0x01;
        EXPECT_EQ(CheckReply(bad.data(), bad.size()), 0x23) << "byte " << i;
    }
    Bytes data = reply(0x9B, {1, 2, 3});
    EXPECT_EQ(CheckReply(data.data(), data.size()), 0x00);
    Bytes two = reply(0x93, {0x06, 0x00});
    EXPECT_EQ(CheckReply(two.data(), two.size()), 0x06);
    Bytes shortOne = {1, 2, 3, 4, 5, 6, 0, 0, 9};
    EXPECT_EQ(CheckReply(shortOne.data(), 8), 0x2A);
    EXPECT_EQ(CheckReply(shortOne.data(), 9), 0x2A);
}

TEST(DeviceQuery, Bytes) {
    Bytes q(kDeviceQuery, kDeviceQuery + 10);
    EXPECT_EQ(q, (Bytes{0xC0, 0xA3, 0xA5, 0x35, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}
