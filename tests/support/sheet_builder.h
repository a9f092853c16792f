// Builds sheet grids and encodes them as the reader sends them: nibble pairs,
// zero-run coding and the CRC behind the data.
#pragma once

#include <cstdint>
#include <vector>

#include "form/form_definition.h"
#include "read/device_frame.h"
#include "scripted_port.h"

namespace omr::test {

// A head A grid addressed like CellAt: line 1 is the last line sent, line
// `lines` the first; columns are counted from 1. Every cell starts at 0.
class SheetGrid {
 public:
  SheetGrid(int lines, int columns);  // columns must be even

  SheetGrid& Set(int line, int column, int value);
  // value along a run of cells starting at (line, column), one per character
  // of `values` ("0".."9", "A".."C" for 10 to 12); a space leaves the cell.
  SheetGrid& Row(int line, int column, const char* values);
  int At(int line, int column) const;

  int Lines() const { return lines_; }
  int Columns() const { return columns_; }
  // Two cells a byte (low nibble first), in the order the reader sends them.
  Bytes Packed() const;

 private:
  int lines_;
  int columns_;
  std::vector<std::uint8_t> cells_;  // in sending order
};

// Zero runs of 1 to 51 bytes become 0xCC + length; other bytes are copied.
// Bytes of 0xCD or more cannot be sent and fail the calling test.
Bytes ZeroRunEncode(const Bytes& raw);

enum class CrcOrder { LowFirst, HighFirst };

// A complete sheet frame: FB 26, the two heads' counts and data lengths, the
// data of both heads and the CRC-16 of the data.
Bytes SheetFrame(std::uint8_t linesA, std::uint8_t bytesPerLineA, const Bytes& dataA, std::uint8_t linesB = 0,
                 std::uint8_t bytesPerLineB = 0, const Bytes& dataB = {},
                 CrcOrder order = CrcOrder::LowFirst);

// The frame a reader sends for this grid as head A (no head B).
Bytes EncodeSheet(const SheetGrid& grid);

// Unpacks the grid's frame into `frame`; a refusal fails the calling test.
void LoadGrid(DeviceFrame& frame, const SheetGrid& grid);

// Layout records filled directly, each into the first free slot of its table.
SheetLayout& DefineLayout(SheetLayout& layout, char letter, int identLine, int identColumn, int lines);
void AddLabel(SheetLayout& layout, int id, const char* text);
void AddBar(SheetLayout& layout, int line, int first, int last);
FieldRecord& AddField(SheetLayout& layout, int line, int column, char cellDirection, char type, int labelId,
                      int repeat = 1, char groupDirection = 'R', int gap = 0);

}  // namespace omr::test
