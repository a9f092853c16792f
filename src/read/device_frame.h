// The sensor grid of the last sheet read.
#pragma once

#include <cstdint>

namespace omr {

inline constexpr int kFrameArea = 6154;
inline constexpr int kReceiveBufferSize = 16384;
inline constexpr int kFrameHeaderSize = 10;
inline constexpr int kFrameCrcSize = 2;
inline constexpr int kErrCrc = 20;

class DeviceFrame {
 public:
  DeviceFrame();

  // Length of the compressed data of both heads announced by a 10-byte header.
  static int DataLength(const std::uint8_t* header);
  // Whether the frame announced by a 10-byte header fits the areas: the whole
  // frame within receivedFrame and the cells of both heads within cells.
  static bool Fits(const std::uint8_t* header);

  // Unpack a received frame (header, data, CRC) of `length` bytes. False on a
  // CRC mismatch (frameError 20; sizes and cells keep the previous sheet) or on a
  // frame that does not fit the areas (frameError 8; nothing is changed).
  bool Unpack(const std::uint8_t* frameBytes, int length);

  // 0..15, or -1 outside the head A grid. Line 1 is the last line received.
  // Inline: recognition asks for every cell of a layout.
  int CellAt(int line, int column) const {
    if (line < 1 || line > lines || column < 1 || column > columns) return -1;
    const long index = static_cast<long>(lines - line) * columns + column - 1;
    return index < kFrameArea ? cells[index] : -1;
  }

  // Line count, column count, then the cells; false while either count is 0.
  bool CopyGrid(std::uint8_t* out) const;

  std::uint8_t cells[kFrameArea];
  std::uint8_t receivedFrame[kFrameArea];
  std::uint8_t decoded[kFrameArea];
  std::int32_t lines = 0;
  std::int32_t columns = 0;
  std::int32_t frameError = 0;
};

}  // namespace omr
