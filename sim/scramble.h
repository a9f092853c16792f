// The byte-chaining transformation the host applies to the serial number and
// the stored texts, and the host's plain-form tests, as the reader sees them.
#pragma once

#include <cstdint>

namespace omr::sim {

void Scramble(std::uint8_t* bytes, int length);
void Unscramble(std::uint8_t* bytes, int length);

// First seven bytes digits or capital letters.
bool LooksPlainSerial(const std::uint8_t* serial8);
// A run of more than five spaces and no byte below 0x20.
bool LooksPlainBlock(const std::uint8_t* block128);

}  // namespace omr::sim
