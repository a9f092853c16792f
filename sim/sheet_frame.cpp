#include "sim/sheet_frame.h"

#include <algorithm>

#include "read/crc16.h"

namespace omr::sim {

SheetGrid::SheetGrid(int lines, int columns)
    : lines_(std::max(lines, 0)),
      columns_(std::max(columns, 0)),
      cells_(static_cast<std::size_t>(lines_) * static_cast<std::size_t>(columns_), 0) {}

int SheetGrid::At(int line, int column) const {
  if (!Contains(line, column)) return -1;
  return cells_[static_cast<std::size_t>((lines_ - line) * columns_ + column - 1)];
}

void SheetGrid::Set(int line, int column, int value) {
  if (!Contains(line, column)) return;
  cells_[static_cast<std::size_t>((lines_ - line) * columns_ + column - 1)] =
      static_cast<std::uint8_t>(value);
}

void SheetGrid::Fill(int value) {
  std::fill(cells_.begin(), cells_.end(), static_cast<std::uint8_t>(value));
}

bool PackGrid(const SheetGrid& grid, Bytes& packed, std::string& error) {
  packed.clear();
  if (grid.Columns() % 2 != 0) {
    error = "odd column count " + std::to_string(grid.Columns());
    return false;
  }
  if (grid.Lines() > kMaxGridLines || grid.Columns() / 2 > kMaxBytesPerLine) {
    error = "grid " + std::to_string(grid.Lines()) + " x " + std::to_string(grid.Columns()) +
            " does not fit the frame header";
    return false;
  }
  const Bytes& cells = grid.Cells();
  packed.reserve(cells.size() / 2);
  for (std::size_t i = 0; i + 1 < cells.size(); i += 2) {
    const int low = cells[i];
    const int high = cells[i + 1];
    const int cell = static_cast<int>(i);
    if (low > 15 || high > 15) {
      error = "cell value above 15 at cell " + std::to_string(low > 15 ? cell : cell + 1);
      return false;
    }
    const int byte = low | (high << 4);
    if (byte > kZeroRunBase) {
      const int line = grid.Lines() - cell / grid.Columns();
      const int column = cell % grid.Columns() + 1;
      error = "cells " + std::to_string(low) + "," + std::to_string(high) + " at line " +
              std::to_string(line) + " columns " + std::to_string(column) + "-" + std::to_string(column + 1) +
              " make a byte the zero-run code claims";
      return false;
    }
    packed.push_back(static_cast<std::uint8_t>(byte));
  }
  return true;
}

Bytes CodeZeroRuns(const Bytes& packed, const EncodeOptions& options) {
  Bytes out;
  out.reserve(packed.size());
  std::size_t i = 0;
  while (i < packed.size()) {
    if (packed[i] != 0 || !options.codeZeroRuns) {
      out.push_back(packed[i++]);
      continue;
    }
    int run = 0;
    while (i < packed.size() && packed[i] == 0 && run < kMaxZeroRun) {
      ++run;
      ++i;
    }
    out.push_back(static_cast<std::uint8_t>(kZeroRunBase + run));
  }
  return out;
}

bool EncodeFrame(const SheetGrid& headA, const SheetGrid* headB, Bytes& frame, std::string& error,
                 const EncodeOptions& options) {
  Bytes packedA;
  Bytes packedB;
  if (!PackGrid(headA, packedA, error)) return false;
  if (headB && !PackGrid(*headB, packedB, error)) {
    error = "head B: " + error;
    return false;
  }
  const Bytes dataA = CodeZeroRuns(packedA, options);
  const Bytes dataB = CodeZeroRuns(packedB, options);
  if (dataA.size() > 0xFFFF || dataB.size() > 0xFFFF) {
    error = "coded data longer than 65535 bytes";
    return false;
  }
  frame.assign(kFrameHeaderSize, 0);
  frame[0] = 0xFB;
  frame[1] = 0x26;
  frame[2] = static_cast<std::uint8_t>(headA.Lines());
  frame[3] = static_cast<std::uint8_t>(headA.Columns() / 2);
  frame[4] = static_cast<std::uint8_t>(dataA.size() & 0xFF);
  frame[5] = static_cast<std::uint8_t>(dataA.size() >> 8);
  if (headB) {
    frame[6] = static_cast<std::uint8_t>(headB->Lines());
    frame[7] = static_cast<std::uint8_t>(headB->Columns() / 2);
  }
  frame[8] = static_cast<std::uint8_t>(dataB.size() & 0xFF);
  frame[9] = static_cast<std::uint8_t>(dataB.size() >> 8);
  frame.insert(frame.end(), dataA.begin(), dataA.end());
  frame.insert(frame.end(), dataB.begin(), dataB.end());
  const int dataLength = static_cast<int>(dataA.size() + dataB.size());
  const std::uint16_t crc = Crc16(frame.data() + kFrameHeaderSize, dataLength, 0);
  frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(crc >> 8));
  return true;
}

Bytes EmptyFrame() {
  Bytes frame(kFrameHeaderSize + 2, 0);
  frame[0] = 0xFB;
  frame[1] = 0x26;
  return frame;
}

namespace {

bool SplitHead(const Bytes& decoded, std::size_t& offset, int lines, int bytesPerLine, SheetGrid& grid,
               std::string& error) {
  const std::size_t need = static_cast<std::size_t>(lines) * static_cast<std::size_t>(bytesPerLine);
  if (decoded.size() - offset < need) {
    error = "decoded data shorter than the header announces";
    return false;
  }
  grid = SheetGrid(lines, bytesPerLine * 2);
  Bytes& cells = grid.Cells();
  for (std::size_t i = 0; i < need; ++i) {
    cells[2 * i] = decoded[offset + i] & 0x0F;
    cells[2 * i + 1] = decoded[offset + i] >> 4;
  }
  offset += need;
  return true;
}

}  // namespace

bool DecodeFrame(const Bytes& frame, DecodedFrame& out, std::string& error) {
  if (frame.size() < kFrameHeaderSize + 2) {
    error = "frame shorter than header and CRC";
    return false;
  }
  if (frame[0] != 0xFB || frame[1] != 0x26) {
    error = "frame does not start FB 26";
    return false;
  }
  const int linesA = static_cast<std::int8_t>(frame[2]);
  const int bytesA = static_cast<std::int8_t>(frame[3]);
  const int linesB = static_cast<std::int8_t>(frame[6]);
  const int bytesB = static_cast<std::int8_t>(frame[7]);
  if (linesA < 0 || bytesA < 0 || linesB < 0 || bytesB < 0) {
    error = "negative line or byte count";
    return false;
  }
  const std::size_t length =
      static_cast<std::size_t>(frame[4] | (frame[5] << 8)) + (frame[8] | (frame[9] << 8));
  if (frame.size() != kFrameHeaderSize + length + 2) {
    error = "frame length differs from the header's data lengths";
    return false;
  }
  const std::uint16_t crc = Crc16(frame.data() + kFrameHeaderSize, static_cast<int>(length), 0);
  const std::uint16_t sent = static_cast<std::uint16_t>(frame[kFrameHeaderSize + length] |
                                                        (frame[kFrameHeaderSize + length + 1] << 8));
  if (crc != sent) {
    error = "CRC mismatch";
    return false;
  }
  Bytes decoded;
  for (std::size_t i = kFrameHeaderSize; i < kFrameHeaderSize + length; ++i) {
    const std::uint8_t b = frame[i];
    if (b > kZeroRunBase)
      decoded.insert(decoded.end(), static_cast<std::size_t>(b - kZeroRunBase), 0);
    else
      decoded.push_back(b);
  }
  std::size_t offset = 0;
  if (!SplitHead(decoded, offset, linesA, bytesA, out.headA, error)) return false;
  if (!SplitHead(decoded, offset, linesB, bytesB, out.headB, error)) return false;
  if (offset != decoded.size()) {
    error = "decoded data longer than the header announces";
    return false;
  }
  return true;
}

}  // namespace omr::sim
