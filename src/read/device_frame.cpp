#include "read/device_frame.h"

#include <cstring>

#include "link/link.h"
#include "read/crc16.h"

namespace omr {

namespace {

// Header counts are signed bytes: 128 and above are negative.
int SignedByte(std::uint8_t b) {
  return static_cast<std::int8_t>(b);
}

// Bytes of one head's grid; a negative count gives an empty head rather than
// a product of two negatives.
int HeadBytes(std::uint8_t lineCount, std::uint8_t bytesPerLine) {
  const int l = SignedByte(lineCount);
  const int b = SignedByte(bytesPerLine);
  return (l > 0 && b > 0) ? l * b : 0;
}

int GridBytes(const std::uint8_t* header) {
  return HeadBytes(header[2], header[3]) + HeadBytes(header[6], header[7]);
}

}  // namespace

DeviceFrame::DeviceFrame() {
  std::memset(cells, 0, sizeof cells);
  std::memset(receivedFrame, 0, sizeof receivedFrame);
  std::memset(decoded, 0, sizeof decoded);
}

int DeviceFrame::DataLength(const std::uint8_t* header) {
  return (header[4] | (header[5] << 8)) + (header[8] | (header[9] << 8));
}

bool DeviceFrame::Fits(const std::uint8_t* header) {
  return DataLength(header) + kFrameHeaderSize + kFrameCrcSize <= kFrameArea &&
         2 * GridBytes(header) <= kFrameArea;
}

bool DeviceFrame::Unpack(const std::uint8_t* frameBytes, int length) {
  if (frameBytes == nullptr || length < kFrameHeaderSize + kFrameCrcSize || !Fits(frameBytes) ||
      DataLength(frameBytes) + kFrameHeaderSize + kFrameCrcSize > length) {
    frameError = kErrComm;
    return false;
  }
  const int dataLength = DataLength(frameBytes);
  const int frameLength = dataLength + kFrameHeaderSize + kFrameCrcSize;
  std::memcpy(receivedFrame, frameBytes, static_cast<std::size_t>(frameLength));
  lines = SignedByte(frameBytes[2]);
  columns = 2 * SignedByte(frameBytes[3]);

  const std::uint8_t* data = frameBytes + kFrameHeaderSize;
  const int stored = data[dataLength] | (data[dataLength + 1] << 8);
  if (Crc16(data, dataLength, 0) != stored) {
    frameError = kErrCrc;
    return false;
  }

  // Zero-run decoding into the zeroed area: a run only moves the write
  // position, and decoding stops where the area ends. Bytes the data do not
  // reach read as 0 instead of the previous sheet's.
  std::memset(decoded, 0, sizeof decoded);
  int out = 0;
  for (int i = 0; i < dataLength && out < kFrameArea; ++i) {
    const std::uint8_t b = data[i];
    if (b >= 0xCD)
      out += b - 0xCC;
    else
      decoded[out++] = b;
  }

  const int gridBytes = GridBytes(frameBytes);
  for (int i = 0; i < gridBytes; ++i) {
    cells[2 * i] = decoded[i] & 0x0F;
    cells[2 * i + 1] = static_cast<std::uint8_t>(decoded[i] >> 4);
  }
  return true;
}

int DeviceFrame::CellAt(int line, int column) const {
  if (line < 1 || line > lines || column < 1 || column > columns) return -1;
  const long index = static_cast<long>(lines - line) * columns + column - 1;
  return index < kFrameArea ? cells[index] : -1;
}

bool DeviceFrame::CopyGrid(std::uint8_t* out) const {
  if (out == nullptr || lines <= 0 || columns <= 0) return false;
  const long count = static_cast<long>(lines) * columns;
  if (count > kFrameArea) return false;
  out[0] = static_cast<std::uint8_t>(lines);
  out[1] = static_cast<std::uint8_t>(columns);
  std::memcpy(out + 2, cells, static_cast<std::size_t>(count));
  return true;
}

}  // namespace omr
