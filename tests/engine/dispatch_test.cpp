// Replies that must carry data: a read-back block is taken only when the
// decoded frame holds all of it ahead of its check code.
#include "engine_rig.h"
#include "link/frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace kvx;
using kvx::test::EngineRig;

namespace {
// A reply whose length field says `claimed` payload bytes while it carries
// `carried`, with a good check code, as the flagged run the assembler hands on.
std::vector<uint8_t> replyRun(uint16_t claimed, size_t carried, uint8_t fill) {
    std::vector<uint8_t> f(kHeaderSize + carried + 2, fill);
    std::fill(f.begin(), f.begin() + kHeaderSize, 0);
    f[6] = static_cast<uint8_t>(claimed);
    f[7] = static_cast<uint8_t>(claimed >> 8);
    appendFrameCrc(f.data(), f.size() - 2);
    std::vector<uint8_t> wire(2 * f.size() + 16);
    wire.resize(EncodeFrame(f.data(), f.size(), wire.data()) - kPaddingBytes);
    return wire;
}
}  // namespace

TEST(ReadBack, BlockIsTakenOnlyWhenTheReplyCarriesAllOfIt) {
    struct Case {
        uint16_t claimed;
        size_t carried;
        bool taken;
    };
    const Case cases[] = {
        {4096, 4096, true},
        {4096, 4094, false},  // the check code would stand in for the last two bytes
        {4096, 4095, false},
        {4094, 4094, false},
        {4100, 4100, true},
    };
    for (const auto& tc : cases) {
        EngineRig r;
        r.chooseChip(8);
        r.connect(0);
        std::fill_n(r.p.image->ImageBuffer.data(), 4096, 0xFF);
        ASSERT_TRUE(r.p.start(Operation::ReadFlash, {}));
        auto run = replyRun(tc.claimed, tc.carried, 0x5A);
        r.p.receiveData(0, run.data(), static_cast<uint16_t>(run.size()));
        const uint8_t* img = r.p.image->ImageBuffer.data();
        SCOPED_TRACE(testing::Message() << tc.claimed << "/" << tc.carried);
        if (tc.taken) {
            EXPECT_TRUE(std::all_of(img, img + 4096, [](uint8_t b) { return b == 0x5A; }));
            EXPECT_EQ(r.ui.gauge(1).progress(), 5);  // 4 of the 8 KB read
            EXPECT_EQ(r.p.channelState(0).step, StepReadFlash);
        } else {
            EXPECT_TRUE(std::all_of(img, img + 4096, [](uint8_t b) { return b == 0xFF; }));
            EXPECT_EQ(r.p.channelState(0).step, StepIdle);
        }
    }
}
