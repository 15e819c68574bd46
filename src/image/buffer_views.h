// The hexadecimal views of the image buffers: a grid of 18 columns (address,
// 16 bytes, text) over a snapshot of the bytes shown. Rows are produced on
// demand, so a 4 MiB image appears at once.
#pragma once

#include "shell/views.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace kvx {

struct HexSnapshot {
    uint32_t firstAddress = 0;   // address of row 0's first byte
    std::vector<uint8_t> bytes;  // 16 bytes per row
    size_t rows = 0;
};

// Header cell texts: "", "  0" .. "  F", "".
std::string hexHeaderCell(int col);
// The text of one data cell of a snapshot (row counted from 0).
std::string hexCell(const HexSnapshot& s, size_t row, int col);

// Shows the snapshot in the grid control (row 0 is the header row).
void showHexRows(Control& grid, std::shared_ptr<HexSnapshot> snapshot);
// Cuts the grid to its header row.
void clearHexRows(Control& grid);

// Snapshots for the flash view: rows from (first AND NOT 0xF) to last, bytes
// from the image at ((first - flashFirst) / 16 + r) * 16 + j; bytes outside the
// image read as zero.
std::shared_ptr<HexSnapshot> flashSnapshot(const uint8_t* image, size_t imageSize, uint32_t flashFirst, uint32_t first,
                                           uint32_t last);
// `rows` rows of 16 bytes from buf (size bytes), labelled from address.
std::shared_ptr<HexSnapshot> bufferSnapshot(const uint8_t* buf, size_t size, uint32_t address, size_t rows);

}  // namespace kvx
