#include "read/crc16.h"

#include <array>

namespace omr {

namespace {

// Table k holds the CRC of byte i followed by k zero bytes, so that eight
// bytes fold in with eight independent look-ups instead of a chain of eight.
using Tables = std::array<std::array<std::uint16_t, 256>, 8>;

constexpr Tables MakeTables() {
  Tables t{};
  for (int i = 0; i < 256; ++i) {
    std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    t[0][static_cast<std::size_t>(i)] = crc;
  }
  for (std::size_t k = 1; k < t.size(); ++k)
    for (std::size_t i = 0; i < 256; ++i) {
      const std::uint16_t previous = t[k - 1][i];
      t[k][i] = static_cast<std::uint16_t>((previous << 8) ^ t[0][previous >> 8]);
    }
  return t;
}

constexpr Tables kTables = MakeTables();
static_assert(kTables[0][1] == 0x1021 && kTables[0][255] == 0x1EF0);

}  // namespace

std::uint16_t Crc16(const std::uint8_t* data, int count, std::uint16_t initial) {
  const int n = count & 0xFFFF;
  const auto& t = kTables;
  std::uint16_t crc = initial;
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    const std::uint8_t* b = data + i;
    crc = static_cast<std::uint16_t>(t[7][b[0] ^ (crc >> 8)] ^ t[6][b[1] ^ (crc & 0xFF)] ^ t[5][b[2]] ^
                                     t[4][b[3]] ^ t[3][b[4]] ^ t[2][b[5]] ^ t[1][b[6]] ^ t[0][b[7]]);
  }
  for (; i < n; ++i) crc = static_cast<std::uint16_t>((crc << 8) ^ t[0][((crc >> 8) ^ data[i]) & 0xFF]);
  return crc;
}

}  // namespace omr
