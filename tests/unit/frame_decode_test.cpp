// Frame unpacking against a plain byte-by-byte decoder, over frames that mix
// literal stretches and zero runs in every proportion.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "read/device_frame.h"
#include "sheet_builder.h"

namespace omr::test {
namespace {

struct Reference {
  std::uint8_t decoded[kFrameArea] = {};
  std::uint8_t cells[kFrameArea] = {};
};

// One byte at a time: a byte of 0xCD or more is (byte - 0xCC) zeros; the
// area's end stops the decoding.
void Decode(const Bytes& data, int gridBytes, Reference& r) {
  int out = 0;
  for (std::size_t i = 0; i < data.size() && out < kFrameArea; ++i) {
    if (data[i] >= 0xCD)
      out += data[i] - 0xCC;
    else
      r.decoded[out++] = data[i];
  }
  for (int i = 0; i < gridBytes; ++i) {
    r.cells[2 * i] = r.decoded[i] & 0x0F;
    r.cells[2 * i + 1] = static_cast<std::uint8_t>(r.decoded[i] >> 4);
  }
}

class Random {
 public:
  explicit Random(unsigned seed) : state_(seed) {}
  unsigned Next(unsigned bound) {
    state_ = state_ * 1664525u + 1013904223u;
    return (state_ >> 8) % bound;
  }

 private:
  unsigned state_;
};

TEST(FrameDecode, MatchesByteByByteDecoding) {
  struct Case {
    int lines;
    int bytesPerLine;
    int dataLength;
    unsigned runPercent;  // share of zero-run bytes in the data
  };
  const Case cases[] = {
      {127, 24, 3048, 0},   {127, 24, 3048, 2}, {70, 24, 400, 60},  {70, 24, 1680, 10},
      {5, 3, 15, 0},        {5, 3, 13, 30},     {1, 1, 1, 0},       {127, 24, 6142, 40},
      {127, 24, 6142, 100}, {100, 30, 2999, 5}, {127, 24, 3047, 0}, {127, 24, 3049, 1},
  };
  Random random(99);
  for (const Case& c : cases) {
    for (int round = 0; round < 20; ++round) {
      Bytes data(static_cast<std::size_t>(c.dataLength));
      // Literal stretches of random length between runs exercise every
      // alignment of the eight-byte copies.
      for (std::size_t i = 0; i < data.size();) {
        const bool run = random.Next(100) < c.runPercent;
        const std::size_t stretch = run ? 1 : 1 + random.Next(20);
        for (std::size_t k = 0; k < stretch && i < data.size(); ++k, ++i)
          data[i] = static_cast<std::uint8_t>(run ? 0xCD + random.Next(51) : random.Next(0xCD));
      }
      const int gridBytes = c.lines * c.bytesPerLine;
      auto reference = std::make_unique<Reference>();
      Decode(data, gridBytes, *reference);

      auto frame = std::make_unique<DeviceFrame>();
      // A previous sheet's bytes must not show through.
      std::memset(frame->decoded, 0x5A, sizeof frame->decoded);
      const Bytes bytes =
          SheetFrame(static_cast<std::uint8_t>(c.lines), static_cast<std::uint8_t>(c.bytesPerLine), data);
      ASSERT_TRUE(frame->Unpack(bytes.data(), static_cast<int>(bytes.size())))
          << c.lines << "x" << c.bytesPerLine << ", " << c.dataLength << " bytes";
      ASSERT_EQ(std::memcmp(frame->decoded, reference->decoded, kFrameArea), 0)
          << c.lines << "x" << c.bytesPerLine << ", " << c.dataLength << " bytes, round " << round;
      ASSERT_EQ(std::memcmp(frame->cells, reference->cells, static_cast<std::size_t>(2 * gridBytes)), 0)
          << c.lines << "x" << c.bytesPerLine << ", " << c.dataLength << " bytes, round " << round;
    }
  }
}

}  // namespace
}  // namespace omr::test
