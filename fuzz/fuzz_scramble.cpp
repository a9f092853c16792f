// Scrambling round trips and the plain-data tests on any bytes.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config/scramble.h"
#include "fuzz_support.h"

using namespace omr;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> bytes(data, data + size);
  const int length = static_cast<int>(size);
  ScrambleBytes(bytes.data(), length);
  UnscrambleBytes(bytes.data(), length);
  if (size >= 2 && std::memcmp(bytes.data(), data, size) != 0) std::abort();
  if (size == 1 && bytes[0] != ScramblePasses(1)) std::abort();

  // Unscrambling first, then scrambling, is a round trip as well.
  std::vector<std::uint8_t> other(data, data + size);
  UnscrambleBytes(other.data(), length);
  ScrambleBytes(other.data(), length);
  if (size >= 2 && std::memcmp(other.data(), data, size) != 0) std::abort();

  if (size >= static_cast<std::size_t>(kSerialSize)) LooksPlainSerial(data);
  if (size >= static_cast<std::size_t>(kInfoBlockSize)) LooksPlainBlock(data);
  ScrambleBytes(bytes.data(), 0);
  return 0;
}
