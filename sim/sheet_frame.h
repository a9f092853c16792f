// The cell grid of one sheet and its sheet frame on the wire (header, zero-run
// coded data, CRC-16), as a reader produces it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace omr::sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr int kMaxGridLines = 127;  // header bytes are signed 8-bit
inline constexpr int kMaxBytesPerLine = 127;
inline constexpr int kMaxZeroRun = 51;  // 0xCD..0xFF stand for 1..51 zeros
inline constexpr std::uint8_t kZeroRunBase = 0xCC;
inline constexpr int kFrameHeaderSize = 10;

// Cells in transmission order: the first line sent is the sheet's last line
// number, so line 1 is the last line of the block (as the host addresses it).
class SheetGrid {
 public:
  SheetGrid() = default;
  SheetGrid(int lines, int columns);

  int Lines() const { return lines_; }
  int Columns() const { return columns_; }
  bool Contains(int line, int column) const {
    return line >= 1 && line <= lines_ && column >= 1 && column <= columns_;
  }
  // 0..15, or -1 outside the grid.
  int At(int line, int column) const;
  // Ignored outside the grid; the value keeps its low 8 bits (the encoder refuses > 15).
  void Set(int line, int column, int value);
  void Fill(int value);
  const Bytes& Cells() const { return cells_; }
  Bytes& Cells() { return cells_; }

 private:
  int lines_ = 0;
  int columns_ = 0;
  Bytes cells_;
};

struct EncodeOptions {
  bool codeZeroRuns = true;  // false: zero bytes travel as themselves (also valid)
};

// Packs the grid (two cells a byte: cell 2i in the low nibble) and codes zero
// runs. False when the grid cannot travel: odd column count, more than 127
// lines or 254 columns, a cell above 15, or a byte of 0xCD or more (a high-nibble
// cell of 13..15, or 12 beside a low-nibble cell of 13..15), which a reader
// cannot send as data.
bool PackGrid(const SheetGrid& grid, Bytes& packed, std::string& error);
Bytes CodeZeroRuns(const Bytes& packed, const EncodeOptions& options = {});

// The whole frame FB 26, head A header, head B header, data of A then B, CRC
// low byte first. `headB` may be null (an empty head B).
bool EncodeFrame(const SheetGrid& headA, const SheetGrid* headB, Bytes& frame, std::string& error,
                 const EncodeOptions& options = {});

// The frame of a reader that has no sheet: header only, no data, CRC 0.
Bytes EmptyFrame();

// Independent decoder used to check what was encoded: header, CRC, zero runs,
// nibbles. Fails with a reason instead of guessing.
struct DecodedFrame {
  SheetGrid headA;
  SheetGrid headB;
};
bool DecodeFrame(const Bytes& frame, DecodedFrame& out, std::string& error);

}  // namespace omr::sim
