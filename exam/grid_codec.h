// A sheet grid as the project keeps it: cells (values 0..15, in sending
// order) packed two to a byte and deflated, and a hash that names the grid.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace omr::exam {

struct SheetGrid {
  int lines = 0;
  int columns = 0;
  std::vector<std::uint8_t> cells;  // lines x columns

  bool Empty() const { return cells.empty(); }
};

// Limits of the grid a reader sends.
inline constexpr int kGridMaxLines = 127;
inline constexpr int kGridMaxColumns = 254;
inline constexpr int kGridMaxCells = 6154;

// Whether the sizes and values are those of a reader's grid.
bool ValidGrid(const SheetGrid& grid, std::string& error);

// Packs and deflates a valid grid.
std::vector<std::uint8_t> CompressGrid(const SheetGrid& grid);
// The reverse; false (with the reason) for damaged data or sizes out of range.
bool ExpandGrid(int lines, int columns, const std::vector<std::uint8_t>& data, SheetGrid& grid,
                std::string& error);

// SHA-256 of "LINES COLUMNS\n" followed by the cells, as 64 hex digits: the
// same grid read twice has the same hash.
std::string GridHash(const SheetGrid& grid);

// SHA-256 of bytes, in hex (exposed for its test vectors).
std::string Sha256Hex(const std::uint8_t* data, std::size_t size);

}  // namespace omr::exam
