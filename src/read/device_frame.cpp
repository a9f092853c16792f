#include "read/device_frame.h"

#include <bit>
#include <cstring>

#include "link/link.h"
#include "read/crc16.h"

namespace omr {

namespace {

// Header counts are signed bytes: 128 and above are negative.
int SignedByte(std::uint8_t b) {
  return static_cast<std::int8_t>(b);
}

// Bytes of one head's grid; a negative count gives an empty head rather than
// a product of two negatives.
int HeadBytes(std::uint8_t lineCount, std::uint8_t bytesPerLine) {
  const int l = SignedByte(lineCount);
  const int b = SignedByte(bytesPerLine);
  return (l > 0 && b > 0) ? l * b : 0;
}

int GridBytes(const std::uint8_t* header) {
  return HeadBytes(header[2], header[3]) + HeadBytes(header[6], header[7]);
}

// Whether any of the eight bytes is 0xCD or more (a zero run): the high bit
// set and the low seven bits at least 0x4D, which the added 0x33 carries
// into bit 7 without crossing into the next byte.
bool HasRunByte(std::uint64_t word) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  return (word & ((word & kLow7) + 0x3333333333333333ull) & kHigh) != 0;
}

// Bytes 0..3 of a and b as a0 b0 a1 b1 a2 b2 a3 b3 (little-endian words).
std::uint64_t Interleave(std::uint64_t a, std::uint64_t b) {
  auto spread = [](std::uint64_t x) {
    x &= 0xFFFFFFFFull;
    x = (x | (x << 16)) & 0x0000FFFF0000FFFFull;
    return (x | (x << 8)) & 0x00FF00FF00FF00FFull;
  };
  return spread(a) | (spread(b) << 8);
}

// Two cells a byte, low nibble first. Eight bytes at a time where the bytes
// of a word lie in memory order.
void SplitNibbles(const std::uint8_t* in, int count, std::uint8_t* out) {
  int i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 8 <= count; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, in + i, sizeof word);
      const std::uint64_t low = word & 0x0F0F0F0F0F0F0F0Full;
      const std::uint64_t high = (word >> 4) & 0x0F0F0F0F0F0F0F0Full;
      const std::uint64_t cells[2] = {Interleave(low, high), Interleave(low >> 32, high >> 32)};
      std::memcpy(out + 2 * i, cells, sizeof cells);
    }
  }
  for (; i < count; ++i) {
    out[2 * i] = in[i] & 0x0F;
    out[2 * i + 1] = static_cast<std::uint8_t>(in[i] >> 4);
  }
}

}  // namespace

DeviceFrame::DeviceFrame() {
  std::memset(cells, 0, sizeof cells);
  std::memset(receivedFrame, 0, sizeof receivedFrame);
  std::memset(decoded, 0, sizeof decoded);
}

int DeviceFrame::DataLength(const std::uint8_t* header) {
  return (header[4] | (header[5] << 8)) + (header[8] | (header[9] << 8));
}

bool DeviceFrame::Fits(const std::uint8_t* header) {
  return DataLength(header) + kFrameHeaderSize + kFrameCrcSize <= kFrameArea &&
         2 * GridBytes(header) <= kFrameArea;
}

bool DeviceFrame::Unpack(const std::uint8_t* frameBytes, int length) {
  if (frameBytes == nullptr || length < kFrameHeaderSize + kFrameCrcSize || !Fits(frameBytes) ||
      DataLength(frameBytes) + kFrameHeaderSize + kFrameCrcSize > length) {
    frameError = kErrComm;
    return false;
  }
  const int dataLength = DataLength(frameBytes);
  const int frameLength = dataLength + kFrameHeaderSize + kFrameCrcSize;
  std::memcpy(receivedFrame, frameBytes, static_cast<std::size_t>(frameLength));

  // A frame that fails its CRC leaves the previous sheet whole: sizes and
  // cells of two different sheets must never be mixed.
  const std::uint8_t* data = frameBytes + kFrameHeaderSize;
  const int stored = data[dataLength] | (data[dataLength + 1] << 8);
  if (Crc16(data, dataLength, 0) != stored) {
    frameError = kErrCrc;
    return false;
  }
  lines = SignedByte(frameBytes[2]);
  columns = 2 * SignedByte(frameBytes[3]);

  // Zero-run decoding into the zeroed area: a run only moves the write
  // position, and decoding stops where the area ends. Bytes the data do not
  // reach read as 0 instead of the previous sheet's.
  std::memset(decoded, 0, sizeof decoded);
  int out = 0;
  int i = 0;
  while (i < dataLength && out < kFrameArea) {
    // Eight literal bytes in a row are copied as one word.
    if (i + 8 <= dataLength && out + 8 <= kFrameArea) {
      std::uint64_t word;
      std::memcpy(&word, data + i, sizeof word);
      if (!HasRunByte(word)) {
        std::memcpy(decoded + out, &word, sizeof word);
        i += 8;
        out += 8;
        continue;
      }
    }
    // Without branches: a run writes one of its zeros and moves on.
    const unsigned b = data[i++];
    const bool run = b >= 0xCD;
    decoded[out] = static_cast<std::uint8_t>(run ? 0 : b);
    out += run ? static_cast<int>(b) - 0xCC : 1;
  }

  SplitNibbles(decoded, GridBytes(frameBytes), cells);
  return true;
}

bool DeviceFrame::CopyGrid(std::uint8_t* out) const {
  if (out == nullptr || lines <= 0 || columns <= 0) return false;
  const long count = static_cast<long>(lines) * columns;
  if (count > kFrameArea) return false;
  out[0] = static_cast<std::uint8_t>(lines);
  out[1] = static_cast<std::uint8_t>(columns);
  std::memcpy(out + 2, cells, static_cast<std::size_t>(count));
  return true;
}

}  // namespace omr
