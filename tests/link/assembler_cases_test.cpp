// The receive assembler: flagged runs cut out of blocks of any size.
#include "link/assembler.h"

#include <gtest/gtest.h>

#include <vector>

using namespace kvx;
using Bytes = std::vector<uint8_t>;

namespace {
std::vector<Bytes> feed(RxAssembler& a, const std::vector<Bytes>& blocks) {
    std::vector<Bytes> runs;
    for (auto& b : blocks) a.receive(b.data(), b.size(), [&](const uint8_t* r, uint16_t n) { runs.emplace_back(r, r + n); });
    return runs;
}
}  // namespace

TEST(Assembler, Table) {
    struct Case {
        const char* name;
        std::vector<Bytes> blocks;
        std::vector<Bytes> runs;
        uint16_t left;
    } cases[] = {
        {"split over two blocks", {{0xC0, 1, 2}, {3, 0xC0}}, {{0xC0, 1, 2, 3, 0xC0}}, 0},
        {"two frames in one block", {{0xC0, 1, 0xC0, 0xFF, 0xC0, 2, 0xC0}}, {{0xC0, 1, 0xC0}, {0xC0, 2, 0xC0}}, 0},
        {"doubled flag and padding", {{0xFF, 0xFF, 0xC0, 0xC0, 5, 6, 0xC0, 0xFF}}, {{0xC0, 5, 6, 0xC0}}, 0},
        {"lone trailing flag kept", {{0xC0, 7, 0xC0, 0xC0}}, {{0xC0, 7, 0xC0}}, 1},
        {"no flag at all", {{1, 2, 3}}, {}, 0},
        {"flag then data across three blocks", {{0xC0}, {9}, {9, 0xC0}}, {{0xC0, 9, 9, 0xC0}}, 0},
    };
    for (auto& c : cases) {
        RxAssembler a;
        auto runs = feed(a, c.blocks);
        EXPECT_EQ(runs, c.runs) << c.name;
        EXPECT_EQ(a.count(), c.left) << c.name;
    }
}

TEST(Assembler, ResetAndOversizeRunsStayInsideTheBuffers) {
    RxAssembler a;
    feed(a, {{0xC0, 1, 2, 3}});
    a.reset();
    auto runs = feed(a, {{4, 0xC0, 5, 0xC0}});
    ASSERT_EQ(runs.size(), 1u);  // the stale opening flag is gone
    EXPECT_EQ(runs[0], (Bytes{0xC0, 5, 0xC0}));
    // 40 000 bytes without a closing flag, then a good frame.
    RxAssembler b;
    Bytes junk(2048, 0x11);
    std::vector<Bytes> blocks{{0xC0}};
    for (int i = 0; i < 20; ++i) blocks.push_back(junk);
    blocks.push_back({0xC0, 0x42, 0xC0});
    runs = feed(b, blocks);
    EXPECT_LE(b.count(), RxAssembler::kCapacity);
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(runs.back(), (Bytes{0xC0, 0x42, 0xC0}));
    // A handler that resets from inside the callback.
    RxAssembler c;
    int n = 0;
    Bytes two{0xC0, 1, 0xC0, 0xC0, 2, 0xC0};
    c.receive(two.data(), two.size(), [&](const uint8_t*, uint16_t) {
        ++n;
        c.reset();
    });
    EXPECT_GE(n, 1);
    EXPECT_EQ(c.count(), 0);
}
