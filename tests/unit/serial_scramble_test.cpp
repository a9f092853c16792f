#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "config/scramble.h"
#include "scripted_port.h"

namespace omr::test {
namespace {

TEST(Scramble, ThreeLettersGiveTheKnownBytes) {
  Bytes b = {0x61, 0x62, 0x63};
  ScrambleBytes(b.data(), 3);
  EXPECT_EQ(b, (Bytes{0x72, 0x01, 0x10}));
  UnscrambleBytes(b.data(), 3);
  EXPECT_EQ(b, (Bytes{0x61, 0x62, 0x63}));
}

TEST(Scramble, OneByteIsLost) {
  for (int value : {0x00, 0x41, 0xFF}) {
    std::uint8_t b = static_cast<std::uint8_t>(value);
    ScrambleBytes(&b, 1);
    EXPECT_EQ(b, 0x00) << value;
    UnscrambleBytes(&b, 1);
    EXPECT_EQ(b, 0x10) << value;
  }
}

TEST(Scramble, NothingChangesForNoBytes) {
  std::uint8_t b = 0x5A;
  ScrambleBytes(&b, 0);
  EXPECT_EQ(b, 0x5A);
  UnscrambleBytes(&b, 0);
  EXPECT_EQ(b, 0x5A);
}

TEST(Scramble, PassCountFollowsTheLength) {
  EXPECT_EQ(ScramblePasses(8), 23);
  EXPECT_EQ(ScramblePasses(128), 15);
  EXPECT_EQ(ScramblePasses(15), 30);
  EXPECT_EQ(ScramblePasses(255), 30);
}

TEST(Scramble, UnscrambleUndoesEveryLengthFromTwo) {
  std::mt19937 rng(7);
  for (int length = 2; length <= 300; ++length) {
    Bytes original(static_cast<std::size_t>(length));
    for (auto& b : original) b = static_cast<std::uint8_t>(rng());
    Bytes b = original;
    ScrambleBytes(b.data(), length);
    if (length >= 4) {
      EXPECT_NE(b, original) << length;
    }
    UnscrambleBytes(b.data(), length);
    ASSERT_EQ(b, original) << length;
  }
}

TEST(LooksPlain, SerialOfDigitsAndCapitals) {
  EXPECT_TRUE(LooksPlainSerial(reinterpret_cast<const std::uint8_t*>("12345678")));
  EXPECT_TRUE(LooksPlainSerial(reinterpret_cast<const std::uint8_t*>("AZ09XY7\x7F")));  // byte 8 untested
  EXPECT_TRUE(LooksPlainSerial(reinterpret_cast<const std::uint8_t*>("0123456\0")));
  for (const char* bad : {"a2345678", "123456z8", "@2345678", "[2345678", "/2345678", ":2345678", "123 5678"})
    EXPECT_FALSE(LooksPlainSerial(reinterpret_cast<const std::uint8_t*>(bad))) << bad;
}

Bytes Block(const Bytes& tail, std::uint8_t body = 'Q') {
  Bytes block(128 - tail.size(), body);
  block.insert(block.end(), tail.begin(), tail.end());
  return block;
}

TEST(LooksPlain, BlockNeedsSixSpacesAndNoControlByte) {
  EXPECT_TRUE(LooksPlainBlock(Block(Bytes(8, ' ')).data()));
  EXPECT_TRUE(LooksPlainBlock(Block(Bytes(6, ' ')).data()));
  EXPECT_FALSE(LooksPlainBlock(Block(Bytes(5, ' ')).data()));
  EXPECT_FALSE(LooksPlainBlock(Block({' ', ' ', ' ', ' ', ' ', 'x', ' ', ' ', ' ', ' ', ' '}).data()));
  EXPECT_FALSE(LooksPlainBlock(Block(Bytes(8, 0x00)).data()));
  Bytes withControl = Block(Bytes(8, ' '));
  withControl[3] = 0x1F;
  EXPECT_FALSE(LooksPlainBlock(withControl.data()));
  EXPECT_TRUE(LooksPlainBlock(Block(Bytes(8, ' '), 0xC8).data()));  // high bytes are plain text too
}

}  // namespace
}  // namespace omr::test
