// The receive assembler: flagged runs cut out of blocks of any size.
#include "link/assembler.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace kvx;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t F = 0xC0;

struct Handed {
    size_t afterBlock;  // index of the block whose receive() handed the run on
    Bytes run;
    bool operator==(const Handed&) const = default;
};

std::string hex(const Bytes& b) {
    std::string s;
    char t[4];
    for (size_t i = 0; i < b.size() && i < 40; ++i) {
        snprintf(t, sizeof t, "%02X ", b[i]);
        s += t;
    }
    if (b.size() > 40) s += "... (" + std::to_string(b.size()) + " bytes)";
    return s;
}

void PrintTo(const Handed& h, std::ostream* os) { *os << "after block " << h.afterBlock << ": " << hex(h.run); }

// Feeds the blocks one by one and records every run handed on.
std::vector<Handed> feed(RxAssembler& rx, const std::vector<Bytes>& blocks) {
    std::vector<Handed> out;
    for (size_t i = 0; i < blocks.size(); ++i)
        rx.receive(blocks[i].data(), blocks[i].size(), [&](const uint8_t* run, uint16_t n) {
            out.push_back({i, Bytes(run, run + n)});
        });
    return out;
}

// n bytes none of which is a flag.
Bytes body(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(seed + i * 13);
        if (b[i] == F) b[i] = 0x7D;
    }
    return b;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes frame(const Bytes& inside) { return cat({{F}, inside, {F}}); }
// The stream cut into blocks of size n.
std::vector<Bytes> chunks(const Bytes& s, size_t n) {
    std::vector<Bytes> out;
    for (size_t i = 0; i < s.size(); i += n) out.emplace_back(s.begin() + i, s.begin() + std::min(s.size(), i + n));
    return out;
}

TEST(RxAssemblerCases, RunsAreCutOutOfTheBlocks) {
    const Bytes big = body(8212);  // the longest reply, every byte escaped
    struct Case {
        const char* what;
        std::vector<Bytes> blocks;
        std::vector<Handed> runs;
        int pending;  // count() after the last block; -1: not looked at
    };
    const Case cases[] = {
        {"a frame split over two blocks", {{F, 0x01, 0x02}, {0x03, F}}, {{1, {F, 1, 2, 3, F}}}, 0},
        {"two frames in one block, in order",
         {{F, 0x01, F, F, 0x02, 0x03, F}},
         {{0, {F, 1, F}}, {0, {F, 2, 3, F}}},
         0},
        {"a closing flag does not open the next run",
         {{F, 0x01, F, 0x04, F}},
         {{0, {F, 1, F}}},
         -1},
        {"a doubled flag counts once", {{0xFF, 0xFF, F, F, 0x05, 0x06, 0x07, F}}, {{0, {F, 5, 6, 7, F}}}, 0},
        {"a tripled flag counts once", {{F, F, F, 0x05, F}}, {{0, {F, 5, F}}}, 0},
        {"a lone flag at a block's end is kept",
         {{F, 0x01, F, F}, {0x07, F}},
         {{0, {F, 1, F}}, {1, {F, 7, F}}},
         0},
        {"a flag alone in a block opens the next run", {{F}, {0x09}, {F}}, {{2, {F, 9, F}}}, 0},
        {"padding between and around frames is skipped",
         {{0xFF, 0xFF, F, 0x01, F, 0xFF, 0xFF, 0xFF}, {0xFF, F, 0x02, F, 0xFF}},
         {{0, {F, 1, F}}, {1, {F, 2, F}}},
         -1},
        {"bytes before the first flag never start a run", {{0x01, 0x02, 0x03, F, 0x04, F}}, {{0, {F, 4, F}}}, 0},
        {"an unfinished run stays pending", {{F, 0x01}, {0x02, 0x03}}, {}, 4},
        {"an empty block changes nothing", {{F, 0x01}, {}, {F}}, {{2, {F, 1, F}}}, 0},
        {"byte by byte", chunks(cat({frame({1, 2}), {0xFF}, frame({3})}), 1), {{3, {F, 1, 2, F}}, {7, {F, 3, F}}}, 0},
        {"the longest reply in 2048-byte blocks", chunks(frame(big), 2048), {{4, frame(big)}}, 0},
        {"the longest reply in 7-byte blocks", chunks(frame(big), 7), {{1173, frame(big)}}, 0},
        // Blocks larger than the buffer holds are taken in pieces.
        {"two longest replies in one block",
         {cat({frame(big), {0xFF}, frame(big), {F, 0x11}})},
         {{0, frame(big)}, {0, frame(big)}},
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto rx = std::make_unique<RxAssembler>();
        EXPECT_EQ(feed(*rx, c.blocks), c.runs);
        if (c.pending >= 0) {
            EXPECT_EQ(rx->count(), c.pending);
        }
    }
}

TEST(RxAssemblerCases, ResetDropsWhatIsPending) {
    auto rx = std::make_unique<RxAssembler>();
    EXPECT_TRUE(feed(*rx, {{F, 0x01, 0x02}}).empty());
    EXPECT_EQ(rx->count(), 3);
    rx->reset();
    EXPECT_EQ(rx->count(), 0);
    // The rest of the broken frame leaves only its closing flag behind.
    EXPECT_TRUE(feed(*rx, {{0x03, 0x04}}).empty());
    EXPECT_EQ(feed(*rx, {{F, F, 0x05, F}}), (std::vector<Handed>{{0, {F, 5, F}}}));

    // A run long under way (its scanned part remembered) is forgotten too.
    EXPECT_TRUE(feed(*rx, chunks(cat({{F}, body(5000)}), 1000)).empty());
    rx->reset();
    EXPECT_EQ(feed(*rx, {{0x06, F, 0x07, F}}), (std::vector<Handed>{{0, {F, 7, F}}}));
}

TEST(RxAssemblerCases, AHandlerMayResetFromInsideTheCallback) {
    auto rx = std::make_unique<RxAssembler>();
    std::vector<Bytes> runs;
    auto handler = [&](const uint8_t* run, uint16_t n) {
        runs.emplace_back(run, run + n);
        if (runs.size() == 1) rx->reset();  // as a launcher starting a new operation does
    };
    const Bytes block = cat({frame({1}), frame({2}), frame({3}), {F, 0x04}});
    rx->receive(block.data(), block.size(), handler);
    EXPECT_EQ(runs, (std::vector<Bytes>{frame({1})}));
    EXPECT_EQ(rx->count(), 0);
    const Bytes next = cat({frame({5}), frame({6})});
    rx->receive(next.data(), next.size(), handler);
    EXPECT_EQ(runs, (std::vector<Bytes>{frame({1}), frame({5}), frame({6})}));

    // Also when the block is taken in pieces and the reset comes from the last run of one.
    runs.clear();
    const Bytes big = body(3000);
    const Bytes large = cat({frame(big), frame(big), frame({7}), body(100), frame({8})});
    rx->receive(large.data(), large.size(), [&](const uint8_t* run, uint16_t n) {
        runs.emplace_back(run, run + n);
        rx->reset();
    });
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(runs.front(), frame(big));
    for (const Bytes& r : runs) {
        ASSERT_GE(r.size(), 3u);
        EXPECT_EQ(r.front(), F);
        EXPECT_EQ(r.back(), F);
    }
}

TEST(RxAssemblerCases, OversizeRunsStayInsideTheBuffersAndLaterFramesAreFound) {
    const Bytes good = frame({0x11, 0x22, 0x33});
    struct Case {
        const char* what;
        Bytes junk;
        size_t blockSize;
    };
    const Case cases[] = {
        {"an opening flag and 40 000 bytes without a closing flag, 2048-byte blocks", cat({{F}, body(39999)}), 2048},
        {"the same in one block", cat({{F}, body(39999)}), 40000},
        {"the same in 5000-byte blocks", cat({{F}, body(39999)}), 5000},
        {"40 000 bytes without any flag", body(40000), 2048},
        // Its closing flag comes after more than the buffer holds.
        {"a run closed too late", cat({{F}, body(20000), {F}}), 2048},
        {"long runs and long gaps", cat({{F}, body(12000), {F}, body(12000), {F}, body(12000), {F}}), 2048},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto rx = std::make_unique<RxAssembler>();  // on the heap: a write past it is caught
        std::vector<Handed> runs;
        size_t i = 0;
        for (const Bytes& b : chunks(c.junk, c.blockSize)) {
            rx->receive(b.data(), b.size(), [&](const uint8_t* run, uint16_t n) { runs.push_back({i, Bytes(run, run + n)}); });
            ASSERT_LE(rx->count(), RxAssembler::kCapacity);
            ++i;
        }
        for (const Handed& h : runs) {
            ASSERT_LE(h.run.size(), RxAssembler::kCapacity);
            ASSERT_GE(h.run.size(), 3u);
            EXPECT_EQ(h.run.front(), F);
            EXPECT_EQ(h.run.back(), F);
        }
        runs.clear();
        // A good frame behind the junk is still found.
        rx->receive(good.data(), good.size(), [&](const uint8_t* run, uint16_t n) { runs.push_back({0, Bytes(run, run + n)}); });
        ASSERT_FALSE(runs.empty());
        EXPECT_EQ(runs.back().run, good);
        EXPECT_EQ(rx->count(), 0);
    }
}

}  // namespace
