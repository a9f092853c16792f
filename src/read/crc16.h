#pragma once

#include <cstdint>

namespace omr {

// CRC-16, polynomial 0x1021, most significant bit first, no reflection, no
// final XOR; the initial value lets a caller continue over several pieces.
// Only the low 16 bits of count are used.
std::uint16_t Crc16(const std::uint8_t* data, int count, std::uint16_t initial);

}  // namespace omr
