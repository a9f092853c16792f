#include "config/scramble.h"

namespace omr {

void ScrambleBytes(std::uint8_t* bytes, int length) {
  if (length <= 0) return;
  const int passes = ScramblePasses(length);
  // The running value carries over from the last byte of one pass into the
  // first byte of the next.
  std::uint8_t v = static_cast<std::uint8_t>(passes);
  for (int n = 0; n < passes; ++n) {
    for (int i = 0; i < length; ++i) {
      bytes[i] = static_cast<std::uint8_t>(bytes[i] ^ v);
      v = bytes[i];
    }
  }
}

void UnscrambleBytes(std::uint8_t* bytes, int length) {
  if (length <= 0) return;
  const int passes = ScramblePasses(length);
  for (int n = passes; n >= 1; --n) {
    for (int i = length - 1; i >= 1; --i) bytes[i] = static_cast<std::uint8_t>(bytes[i] ^ bytes[i - 1]);
    if (n > 1) bytes[0] = static_cast<std::uint8_t>(bytes[0] ^ bytes[length - 1]);
  }
  bytes[0] = static_cast<std::uint8_t>(bytes[0] ^ passes);
}

bool LooksPlainSerial(const std::uint8_t* bytes) {
  for (int i = 0; i < kSerialSize - 1; ++i) {
    const std::uint8_t b = bytes[i];
    if (!((b >= 0x30 && b <= 0x39) || (b >= 0x41 && b <= 0x5A))) return false;
  }
  return true;
}

bool LooksPlainBlock(const std::uint8_t* bytes) {
  int run = 0;
  int longest = 0;
  int control = 0;
  for (int i = 0; i < kInfoBlockSize; ++i) {
    if (bytes[i] == 0x20) {
      if (++run > longest) longest = run;
    } else {
      run = 0;
    }
    if (bytes[i] < 0x20) ++control;
  }
  return longest > 5 && control == 0;
}

}  // namespace omr
