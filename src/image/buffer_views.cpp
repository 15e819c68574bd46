#include "image/buffer_views.h"

#include "shell/text.h"

#include <algorithm>
#include <cstring>

namespace kvx {

std::string hexHeaderCell(int col) {
    if (col >= 1 && col <= 16) return format("  %x", col - 1);
    return "";
}

std::string hexCell(const HexSnapshot& s, size_t row, int col) {
    if (row >= s.rows) return "";
    const uint8_t* b = s.bytes.data() + row * 16;
    if (col == 0) return format("0x%0.8x", static_cast<uint32_t>(s.firstAddress + 16 * row));
    if (col >= 1 && col <= 16) return format("%0.2x", b[col - 1]);
    if (col == 17) {
        std::string t(16, '.');
        for (int j = 0; j < 16; ++j)
            if (b[j] >= 0x20 && b[j] <= 0x7F) t[static_cast<size_t>(j)] = static_cast<char>(b[j]);
        return t;
    }
    return "";
}

void showHexRows(Control& grid, std::shared_ptr<HexSnapshot> snapshot) {
    grid.rowCount = [snapshot] { return snapshot->rows + 1; };
    grid.cellText = [snapshot](size_t row, int col) {
        return row == 0 ? hexHeaderCell(col) : hexCell(*snapshot, row - 1, col);
    };
    grid.notifyRowsChanged();
}

void clearHexRows(Control& grid) { showHexRows(grid, std::make_shared<HexSnapshot>()); }

std::shared_ptr<HexSnapshot> flashSnapshot(const uint8_t* image, size_t imageSize, uint32_t flashFirst, uint32_t first,
                                           uint32_t last) {
    auto s = std::make_shared<HexSnapshot>();
    if (last < first) return s;
    // Never more rows than the image holds: an empty flash at address 0 has
    // the range 0 .. 0xFFFFFFFF, whose bytes would take 4 GiB.
    uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(last) - first + 1, imageSize);
    s->rows = static_cast<size_t>(n / 16 + (n % 16 ? 1 : 0));
    s->firstAddress = first & ~0xFu;
    s->bytes.assign(s->rows * 16, 0);
    uint64_t start = static_cast<uint64_t>((first - flashFirst) / 16) * 16;
    if (first >= flashFirst && start < imageSize) {
        size_t take = static_cast<size_t>(std::min<uint64_t>(s->bytes.size(), imageSize - start));
        std::memcpy(s->bytes.data(), image + start, take);
    }
    return s;
}

std::shared_ptr<HexSnapshot> bufferSnapshot(const uint8_t* buf, size_t size, uint32_t address, size_t rows) {
    auto s = std::make_shared<HexSnapshot>();
    s->rows = rows;
    s->firstAddress = address;
    s->bytes.assign(rows * 16, 0);
    std::memcpy(s->bytes.data(), buf, std::min(size, s->bytes.size()));
    return s;
}

}  // namespace kvx
