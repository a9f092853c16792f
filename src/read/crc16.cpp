#include "read/crc16.h"

#include <array>

namespace omr {

namespace {

constexpr std::array<std::uint16_t, 256> MakeTable() {
  std::array<std::uint16_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    table[static_cast<std::size_t>(i)] = crc;
  }
  return table;
}

constexpr auto kTable = MakeTable();
static_assert(kTable[1] == 0x1021 && kTable[255] == 0x1EF0);

}  // namespace

std::uint16_t Crc16(const std::uint8_t* data, int count, std::uint16_t initial) {
  const int n = count & 0xFFFF;
  std::uint16_t crc = initial;
  for (int i = 0; i < n; ++i)
    crc = static_cast<std::uint16_t>((crc << 8) ^ kTable[((crc >> 8) ^ data[i]) & 0xFF]);
  return crc;
}

}  // namespace omr
