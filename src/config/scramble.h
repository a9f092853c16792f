// The reversible byte chaining that hides the serial number and the stored
// texts on the wire, and the tests that tell plain data from scrambled data.
#pragma once

#include <cstdint>

namespace omr {

inline constexpr int kSerialSize = 8;
inline constexpr int kInfoBlockSize = 128;

// Pass count for a piece of `length` bytes.
inline std::uint8_t ScramblePasses(int length) {
  return static_cast<std::uint8_t>((length % 16) + 15);
}

// In place; nothing changes for a length of 0 or less.
void ScrambleBytes(std::uint8_t* bytes, int length);

// The inverse of ScrambleBytes for 2 bytes or more. One byte always comes
// back as the pass count (0x10); nothing changes for a length of 0 or less.
void UnscrambleBytes(std::uint8_t* bytes, int length);

// The first 7 of the 8 serial bytes are digits or capital letters.
bool LooksPlainSerial(const std::uint8_t* bytes);

// 128 bytes with a run of at least 6 spaces and no byte below 0x20.
bool LooksPlainBlock(const std::uint8_t* bytes);

}  // namespace omr
