#pragma once

#include <cstdint>

namespace omr {

// The V-line values sent to the reader with the settings command FA 06.
struct ReaderSettings {
  std::uint8_t level = 16;
  std::uint8_t second = 255;
  std::uint8_t third = 255;

  void Reset() { *this = ReaderSettings{}; }
};

}  // namespace omr
