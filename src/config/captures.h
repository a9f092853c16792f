// Pair captures of a value/marker stream and the fetch of their arrays.
#pragma once

#include <cstdint>

#include "config/maintenance.h"

namespace omr {

inline constexpr int kPairHeader = 4;
inline constexpr int kPairData = 8192;
inline constexpr int kPairArea = kPairHeader + kPairData;
inline constexpr int kPairSkipEnd = 50;  // positions 4..49 only set the phase

// Value bytes are 6..239; everything else is a marker.
inline bool IsValueByte(std::uint8_t b) {
  return b >= 0x06 && b <= 0xEF;
}

// Decodes positions 4..total-1 of a receive area into the four arrays and
// reverses the completed pairs; returns the pair count.
std::int32_t DecodePairCapture(const std::uint8_t* area, int total,
                               std::uint8_t (*arrays)[kCaptureArraySize]);

// Code 10 (FA 32 k) and code 30 (FA 35); capturePairCount is replaced on success.
bool CapturePairs(const MaintenanceView& view, std::int8_t channel);
bool CaptureAllPairs(const MaintenanceView& view);

// Code 11: capturePairCount bytes of one array; lastError 1 for an array number outside 0..3.
bool FetchPairArray(const MaintenanceView& view, std::uint8_t* arg);

}  // namespace omr
