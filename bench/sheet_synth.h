// Sheets for the benchmarks: cell grids drawn from a layout and encoded as
// the reader sends them (nibble pairs, zero runs, CRC behind the data).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "form/form_definition.h"

namespace omr::bench {

using Bytes = std::vector<std::uint8_t>;

// A head A grid addressed like DeviceFrame::CellAt: line 1 is the last line
// sent; columns from 1. Cells outside the grid are ignored when set.
class Grid {
 public:
  Grid(int lines, int columns);

  void Set(int line, int column, int value);
  int Lines() const { return lines_; }
  int Columns() const { return columns_; }
  // Two cells a byte, low nibble first, in sending order.
  Bytes Packed() const;

 private:
  int lines_;
  int columns_;
  std::vector<std::uint8_t> cells_;
};

// Zero runs of 1 to 51 bytes become 0xCC + length; other bytes are copied
// (the caller keeps them below 0xCD).
Bytes ZeroRunEncode(const Bytes& raw);

// A complete sheet frame, FB 26 header, data of head A then head B, CRC-16
// of the data low byte first. Head B is raw grid bytes, coded like head A.
Bytes SheetFrame(int linesA, int bytesPerLineA, const Bytes& packedA, int linesB = 0, int bytesPerLineB = 0,
                 const Bytes& packedB = {});

// Draws a sheet of `layout`: the identifying cell and every bar dark, one
// answer per question picked by a fixed pseudo-random sequence (a weighted
// digit for B/b fields), every other option cell printed light. `noise`
// adds light grey (0..noise) to every cell.
Grid DrawSheet(const SheetLayout& layout, int columns, unsigned seed, int noise = 0);

// Writes `text` to a file in the temporary directory and returns its path;
// RemoveTempFiles deletes every file written so.
std::string WriteTempFile(const char* stem, const std::string& text);
void RemoveTempFiles();

}  // namespace omr::bench
