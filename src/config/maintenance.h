// Numbered system commands, channel tables and captures, serial number and
// stored texts.
#pragma once

#include <cstdint>

#include "link/link.h"
#include "read/device_frame.h"

namespace omr {

inline constexpr int kCaptureArrays = 4;
inline constexpr int kCaptureArraySize = 16384;
// Set when a caller passes no buffer to an operation that needs one.
inline constexpr int kErrParameter = 6;

struct MaintenanceView {
  Link& link;
  std::int32_t& channelCount;
  std::uint8_t (*captureArrays)[kCaptureArraySize];  // kCaptureArrays arrays
  std::int32_t& capturePairCount;
  std::uint8_t* resultBuffer;  // 16384 bytes
  const DeviceFrame& frame;
};

// 1 when the selected operation succeeded, 0 otherwise. A code that needs
// the reader fails with 8 while no port is active; a code that reads or
// writes arg fails with 6 when arg is null.
int SysCmd(const MaintenanceView& view, int code, void* arg);

// The reader's total counter, 0 on failure (lastError 8).
int ReadTotal(Link& link);

// The serial-number text into out (19 bytes or more); its length or -1
// (8 when the reader does not answer, 6 when out is null).
int GetSerial(Link& link, char* out);

}  // namespace omr
