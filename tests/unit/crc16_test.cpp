#include "read/crc16.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace omr {
namespace {

// Bit by bit, straight from the polynomial.
std::uint16_t BitwiseCrc(const std::uint8_t* data, int count, std::uint16_t crc) {
  for (int i = 0; i < count; ++i) {
    crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

// Every length around the eight-byte blocks, every start alignment, several
// starting values and data with all byte values.
TEST(Crc16, MatchesBitwiseDefinition) {
  std::vector<std::uint8_t> data(3100);
  unsigned state = 12345;
  for (auto& b : data) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(state >> 24);
  }
  for (std::uint16_t initial : {0x0000, 0xFFFF, 0x1D0F, 0x8001})
    for (int offset = 0; offset < 8; ++offset)
      for (int length : {0, 1, 7, 8, 9, 15, 16, 17, 63, 64, 65, 1000, 3077})
        ASSERT_EQ(Crc16(data.data() + offset, length, initial),
                  BitwiseCrc(data.data() + offset, length, initial))
            << "length " << length << ", offset " << offset << ", initial " << initial;
}

}  // namespace
}  // namespace omr
