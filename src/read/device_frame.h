// The sensor grid of the last sheet read.
#pragma once

#include <cstdint>

namespace omr {

inline constexpr int kFrameArea = 6154;
inline constexpr int kReceiveBufferSize = 16384;
inline constexpr int kErrCrc = 20;

class DeviceFrame {
 public:
  DeviceFrame();

  // Unpack a received frame (header, data, CRC) of `length` bytes. False on a
  // CRC mismatch (frameError 20; the cells keep the previous sheet) or on a
  // frame that does not fit the areas.
  bool Unpack(const std::uint8_t* frameBytes, int length);

  // 0..15, or -1 outside the head A grid. Line 1 is the last line received.
  int CellAt(int line, int column) const;

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
