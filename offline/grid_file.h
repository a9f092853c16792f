// Saved sheet grids: the grid copy of system command 25 in a small text file.
//
// Format (all lines end with a line feed; lines starting with "#" and blank
// lines are comments, allowed anywhere):
//
//   omr-grid 1
//   LINES COLUMNS
//   one row per sheet line, LINES rows, each exactly COLUMNS hexadecimal
//   digits (0-9, A-F or a-f), one per cell
//
// Rows come in the order the reader sends them, the order of system command
// 25: the first row is sheet line LINES, the last row is line 1. LINES is 1 to
// 127, COLUMNS 2 to 254 and even, LINES x COLUMNS at most 6154 (the frame's
// cell area).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace omr::offline {

inline constexpr int kMaxGridLines = 127;
inline constexpr int kMaxGridColumns = 254;
// Far above any grid file (a full frame is about 12 KiB): larger is refused unread.
inline constexpr std::size_t kMaxGridFileBytes = 4u << 20;

struct Grid {
  int lines = 0;
  int columns = 0;
  std::vector<std::uint8_t> cells;  // lines x columns, in sending order

  // The value at (line, column) as the recognition addresses it, -1 outside.
  int At(int line, int column) const;
};

// Counts and cells as system command 25 writes them (2 + lines x columns bytes).
bool GridFromCopy(const std::uint8_t* copy, std::size_t size, Grid& grid, std::string& error);

// Cells in sending order; `count` must be lines x columns and every value 0..15.
bool GridFromCells(int lines, int columns, const std::uint8_t* cells, std::size_t count, Grid& grid,
                   std::string& error);

// Written to a temporary name beside `path` and renamed over it, so a reader
// of `path` sees the old file or the new one, never a part.
bool WriteGridFile(const std::string& path, const Grid& grid, const std::string& comment, std::string& error);
// A regular file of at most kMaxGridFileBytes, parsed by GridFromText.
bool ReadGridFile(const std::string& path, Grid& grid, std::string& error);
// The text of a grid file; `name` (the path) heads a complaint with its line.
bool GridFromText(std::string_view text, const std::string& name, Grid& grid, std::string& error);

}  // namespace omr::offline
