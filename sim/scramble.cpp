#include "sim/scramble.h"

namespace omr::sim {

namespace {
std::uint8_t Passes(int length) {
  return static_cast<std::uint8_t>(length % 16 + 15);
}
}  // namespace

void Scramble(std::uint8_t* bytes, int length) {
  if (length <= 0) return;
  const int passes = Passes(length);
  std::uint8_t v = static_cast<std::uint8_t>(passes);
  for (int n = 0; n < passes; ++n)
    for (int i = 0; i < length; ++i) v = bytes[i] = static_cast<std::uint8_t>(bytes[i] ^ v);
}

void Unscramble(std::uint8_t* bytes, int length) {
  if (length <= 0) return;
  const int passes = Passes(length);
  for (int n = passes; n >= 1; --n) {
    for (int i = length - 1; i >= 1; --i) bytes[i] = static_cast<std::uint8_t>(bytes[i] ^ bytes[i - 1]);
    if (n > 1) bytes[0] = static_cast<std::uint8_t>(bytes[0] ^ bytes[length - 1]);
  }
  bytes[0] = static_cast<std::uint8_t>(bytes[0] ^ passes);
}

bool LooksPlainSerial(const std::uint8_t* serial8) {
  for (int i = 0; i < 7; ++i) {
    const std::uint8_t b = serial8[i];
    if (!((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z'))) return false;
  }
  return true;
}

bool LooksPlainBlock(const std::uint8_t* block128) {
  int run = 0;
  int longest = 0;
  int control = 0;
  for (int i = 0; i < 128; ++i) {
    if (block128[i] == 0x20) {
      longest = run + 1 > longest ? run + 1 : longest;
      ++run;
    } else {
      run = 0;
    }
    if (block128[i] < 0x20) ++control;
  }
  return longest > 5 && control == 0;
}

}  // namespace omr::sim
