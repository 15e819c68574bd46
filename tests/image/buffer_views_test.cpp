// The hexadecimal views' snapshots and the ranges the flash is saved over:
// nothing larger than the image, whatever the chip's range says.
#include "image/buffer_views.h"
#include "image/object_files.h"

#include <gtest/gtest.h>

#include <vector>

using namespace kvx;

TEST(FlashRanges, SavedRangeStaysInTheImage) {
    struct Case {
        const char* what;
        uint32_t first, last;
        size_t imageSize;
        uint32_t want;
    };
    const Case cases[] = {
        {"128 KB from 0", 0, 0x1FFFF, 0x400000, 0x1FFFF},
        {"the whole image", 0x08000000u, 0x083FFFFFu, 0x400000, 0x083FFFFFu},
        {"one byte past the image", 0x08000000u, 0x08400000u, 0x400000, 0x083FFFFFu},
        {"an empty flash at 0 (last wrapped)", 0, 0xFFFFFFFFu, 0x400000, 0x003FFFFFu},
        {"empty: last below first stays empty", 0x08000000u, 0x07FFFFFFu, 0x400000, 0x07FFFFFFu},
        {"near the top of the address space", 0xFFFFF000u, 0xFFFFFFFFu, 0x400000, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(lastInImage(c.first, c.last, c.imageSize), c.want);
    }
}

TEST(FlashRanges, SnapshotNeverHoldsMoreThanTheImage) {
    std::vector<uint8_t> image(4096, 0x5A);
    struct Case {
        const char* what;
        uint32_t flashFirst, first, last;
        size_t rows;
    };
    const Case cases[] = {
        {"the image", 0, 0, 4095, 256},
        {"a range past the image", 0, 0, 8191, 256},
        {"0 .. 0xFFFFFFFF", 0, 0, 0xFFFFFFFFu, 256},
        {"below flashFirst, 4 GiB wide", 0x08000000u, 0, 0xFFFFFFFFu, 256},
        {"empty", 0, 16, 15, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto s = flashSnapshot(image.data(), image.size(), c.flashFirst, c.first, c.last);
        EXPECT_EQ(s->rows, c.rows);
        EXPECT_EQ(s->bytes.size(), c.rows * 16);
        if (c.rows > 0) {
            EXPECT_EQ(hexCell(*s, 0, 1), c.first >= c.flashFirst ? "5A" : "00");
        }
    }
}
