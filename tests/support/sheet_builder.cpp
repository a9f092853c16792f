#include "sheet_builder.h"

#include <gtest/gtest.h>

#include <cstring>

#include "read/crc16.h"

namespace omr::test {

SheetGrid::SheetGrid(int lines, int columns)
    : lines_(lines), columns_(columns), cells_(static_cast<std::size_t>(lines * columns), 0) {
  EXPECT_EQ(columns % 2, 0) << "a grid line is a whole number of bytes";
}

SheetGrid& SheetGrid::Set(int line, int column, int value) {
  if (line < 1 || line > lines_ || column < 1 || column > columns_) {
    ADD_FAILURE() << "cell " << line << "," << column << " is off the grid";
    return *this;
  }
  cells_[static_cast<std::size_t>((lines_ - line) * columns_ + column - 1)] =
      static_cast<std::uint8_t>(value);
  return *this;
}

SheetGrid& SheetGrid::Row(int line, int column, const char* values) {
  for (int i = 0; values[i] != '\0'; ++i) {
    const char c = values[i];
    if (c == ' ') continue;
    Set(line, column + i, (c >= 'A') ? c - 'A' + 10 : c - '0');
  }
  return *this;
}

int SheetGrid::At(int line, int column) const {
  return cells_[static_cast<std::size_t>((lines_ - line) * columns_ + column - 1)];
}

Bytes SheetGrid::Packed() const {
  Bytes bytes(cells_.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>((cells_[2 * i] & 0x0F) | (cells_[2 * i + 1] << 4));
  return bytes;
}

Bytes ZeroRunEncode(const Bytes& raw) {
  Bytes out;
  std::size_t i = 0;
  while (i < raw.size()) {
    if (raw[i] == 0) {
      std::size_t run = 0;
      while (i < raw.size() && raw[i] == 0 && run < 51) ++run, ++i;
      out.push_back(static_cast<std::uint8_t>(0xCC + run));
      continue;
    }
    EXPECT_LT(raw[i], 0xCD) << "byte " << i << " cannot travel in a sheet frame";
    out.push_back(raw[i++]);
  }
  return out;
}

Bytes SheetFrame(std::uint8_t linesA, std::uint8_t bytesPerLineA, const Bytes& dataA, std::uint8_t linesB,
                 std::uint8_t bytesPerLineB, const Bytes& dataB, CrcOrder order) {
  const auto lengthA = static_cast<std::uint16_t>(dataA.size());
  const auto lengthB = static_cast<std::uint16_t>(dataB.size());
  Bytes frame = {0xFB,
                 0x26,
                 linesA,
                 bytesPerLineA,
                 static_cast<std::uint8_t>(lengthA & 0xFF),
                 static_cast<std::uint8_t>(lengthA >> 8),
                 linesB,
                 bytesPerLineB,
                 static_cast<std::uint8_t>(lengthB & 0xFF),
                 static_cast<std::uint8_t>(lengthB >> 8)};
  frame.insert(frame.end(), dataA.begin(), dataA.end());
  frame.insert(frame.end(), dataB.begin(), dataB.end());
  const std::uint16_t crc = Crc16(frame.data() + 10, static_cast<int>(frame.size() - 10), 0);
  const auto low = static_cast<std::uint8_t>(crc & 0xFF);
  const auto high = static_cast<std::uint8_t>(crc >> 8);
  if (order == CrcOrder::LowFirst) {
    frame.push_back(low);
    frame.push_back(high);
  } else {
    frame.push_back(high);
    frame.push_back(low);
  }
  return frame;
}

Bytes EncodeSheet(const SheetGrid& grid) {
  return SheetFrame(static_cast<std::uint8_t>(grid.Lines()), static_cast<std::uint8_t>(grid.Columns() / 2),
                    ZeroRunEncode(grid.Packed()));
}

void LoadGrid(DeviceFrame& frame, const SheetGrid& grid) {
  const Bytes bytes = EncodeSheet(grid);
  EXPECT_TRUE(frame.Unpack(bytes.data(), static_cast<int>(bytes.size()))) << "the grid's frame was refused";
}

SheetLayout& DefineLayout(SheetLayout& layout, char letter, int identLine, int identColumn, int lines) {
  layout.defined = 1;
  layout.ident = IdentRecord{letter, identLine, identColumn};
  layout.length.l1 = lines;
  return layout;
}

template <typename Record, int N>
Record& FirstFree(RecordTable<Record, N>& table) {
  for (Record& r : table.records)
    if (!r.used) return r;
  ADD_FAILURE() << "record table full";
  return table.records[N - 1];
}

void AddLabel(SheetLayout& layout, int id, const char* text) {
  LabelRecord& r = FirstFree(layout.labels);
  r.used = 1;
  r.id = static_cast<std::uint8_t>(id);
  std::strncpy(r.text, text, kLabelTextSize - 1);
  layout.defined = 1;
}

void AddBar(SheetLayout& layout, int line, int first, int last) {
  BarRecord& r = FirstFree(layout.bars);
  r = BarRecord{1, line, first, last};
  layout.defined = 1;
}

FieldRecord& AddField(SheetLayout& layout, int line, int column, char cellDirection, char type, int labelId,
                      int repeat, char groupDirection, int gap) {
  FieldRecord& r = FirstFree(layout.fields);
  r = FieldRecord{1,
                  static_cast<std::uint8_t>(line),
                  static_cast<std::uint8_t>(column),
                  cellDirection,
                  type,
                  static_cast<std::uint8_t>(labelId),
                  static_cast<std::uint8_t>(repeat),
                  groupDirection,
                  static_cast<std::uint8_t>(gap)};
  layout.defined = 1;
  return r;
}

}  // namespace omr::test
