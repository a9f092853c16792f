#include <gtest/gtest.h>

#include <random>

#include "read/crc16.h"
#include "sim/sheet_frame.h"

namespace omr::sim {
namespace {

TEST(SheetGridTest, LineOneIsTheLastLineSent) {
  SheetGrid grid(3, 4);
  grid.Set(3, 1, 7);  // first cell sent
  grid.Set(1, 4, 9);  // last cell sent
  EXPECT_EQ(grid.Cells().front(), 7);
  EXPECT_EQ(grid.Cells().back(), 9);
  EXPECT_EQ(grid.At(3, 1), 7);
  EXPECT_EQ(grid.At(1, 4), 9);
  EXPECT_EQ(grid.At(0, 1), -1);
  EXPECT_EQ(grid.At(1, 5), -1);
  EXPECT_EQ(grid.At(4, 1), -1);
  grid.Set(0, 1, 5);  // outside: ignored
  EXPECT_EQ(grid.At(1, 1), 0);
}

TEST(SheetFrameTest, HeaderNibblesAndCrcAsAReaderSendsThem) {
  SheetGrid grid(3, 4);
  grid.Set(3, 1, 0x2);
  grid.Set(3, 2, 0xA);
  grid.Set(1, 3, 0x5);
  Bytes frame;
  std::string error;
  ASSERT_TRUE(EncodeFrame(grid, nullptr, frame, error)) << error;
  // Packed: A2 00 00 00 00 05 -> A2, run of 4 zeros (D0), 05.
  const Bytes data = {0xA2, 0xD0, 0x05};
  ASSERT_EQ(frame.size(), 10u + data.size() + 2u);
  EXPECT_EQ(frame[0], 0xFB);
  EXPECT_EQ(frame[1], 0x26);
  EXPECT_EQ(frame[2], 3);  // lines
  EXPECT_EQ(frame[3], 2);  // bytes per line
  EXPECT_EQ(frame[4] | frame[5] << 8, 3);
  EXPECT_EQ(frame[6], 0);
  EXPECT_EQ(frame[7], 0);
  EXPECT_EQ(frame[8] | frame[9] << 8, 0);
  EXPECT_EQ(Bytes(frame.begin() + 10, frame.begin() + 13), data);
  const std::uint16_t crc = Crc16(data.data(), 3, 0);
  EXPECT_EQ(frame[13], crc & 0xFF);  // low byte first
  EXPECT_EQ(frame[14], crc >> 8);
}

TEST(SheetFrameTest, RandomGridsRoundTrip) {
  std::mt19937 rng(42);
  for (int trial = 0; trial < 50; ++trial) {
    const int lines = std::uniform_int_distribution<int>(1, 127)(rng);
    const int columns = 2 * std::uniform_int_distribution<int>(1, 40)(rng);
    SheetGrid grid(lines, columns);
    // Mostly zeros (long runs), some light and dark cells, all sendable.
    for (std::uint8_t& c : grid.Cells()) {
      const int r = std::uniform_int_distribution<int>(0, 9)(rng);
      c = static_cast<std::uint8_t>(r < 6 ? 0 : r < 8 ? 1 + r % 3 : 11);
    }
    Bytes frame;
    std::string error;
    ASSERT_TRUE(EncodeFrame(grid, nullptr, frame, error)) << error;
    DecodedFrame decoded;
    ASSERT_TRUE(DecodeFrame(frame, decoded, error)) << error;
    EXPECT_EQ(decoded.headA.Lines(), lines);
    EXPECT_EQ(decoded.headA.Columns(), columns);
    EXPECT_EQ(decoded.headA.Cells(), grid.Cells());
  }
}

TEST(SheetFrameTest, HeadBFollowsHeadA) {
  SheetGrid a(2, 4);
  SheetGrid b(1, 6);
  a.Set(1, 1, 3);
  b.Set(1, 6, 4);
  Bytes frame;
  std::string error;
  ASSERT_TRUE(EncodeFrame(a, &b, frame, error)) << error;
  EXPECT_EQ(frame[6], 1);
  EXPECT_EQ(frame[7], 3);
  DecodedFrame decoded;
  ASSERT_TRUE(DecodeFrame(frame, decoded, error)) << error;
  EXPECT_EQ(decoded.headA.Cells(), a.Cells());
  EXPECT_EQ(decoded.headB.Cells(), b.Cells());
}

struct RunCase {
  int zeros;
  Bytes coded;
};

class ZeroRunTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(ZeroRunTest, RunsSplitAtFiftyOne) {
  const RunCase& c = GetParam();
  Bytes packed(static_cast<std::size_t>(c.zeros), 0);
  packed.push_back(0x11);
  Bytes expected = c.coded;
  expected.push_back(0x11);
  EXPECT_EQ(CodeZeroRuns(packed), expected);
}

INSTANTIATE_TEST_SUITE_P(Runs, ZeroRunTest,
                         ::testing::Values(RunCase{0, {}}, RunCase{1, {0xCD}}, RunCase{50, {0xFE}},
                                           RunCase{51, {0xFF}}, RunCase{52, {0xFF, 0xCD}},
                                           RunCase{102, {0xFF, 0xFF}}, RunCase{103, {0xFF, 0xFF, 0xCD}}));

TEST(ZeroRunTest, TrailingRunAndLiteralZeros) {
  EXPECT_EQ(CodeZeroRuns({0x12, 0, 0}), (Bytes{0x12, 0xCE}));
  EXPECT_EQ(CodeZeroRuns({0, 0x34, 0}, EncodeOptions{false}), (Bytes{0, 0x34, 0}));
  // Zeros sent as themselves decode all the same.
  SheetGrid grid(2, 4);
  grid.Set(1, 4, 6);
  Bytes frame;
  std::string error;
  ASSERT_TRUE(EncodeFrame(grid, nullptr, frame, error, EncodeOptions{false}));
  EXPECT_EQ(frame[4], 4);
  DecodedFrame decoded;
  ASSERT_TRUE(DecodeFrame(frame, decoded, error)) << error;
  EXPECT_EQ(decoded.headA.Cells(), grid.Cells());
}

struct RefusedCase {
  const char* name;
  int lines;
  int columns;
  int lowCell;   // value of the cell at column 1 (low nibble)
  int highCell;  // value of the cell at column 2 (high nibble)
};

class RefusedGridTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedGridTest, CannotTravel) {
  const RefusedCase& c = GetParam();
  SheetGrid grid(c.lines, c.columns);
  if (c.columns >= 2) {
    grid.Set(1, 1, c.lowCell);
    grid.Set(1, 2, c.highCell);
  }
  Bytes frame;
  std::string error;
  EXPECT_FALSE(EncodeFrame(grid, nullptr, frame, error));
  EXPECT_FALSE(error.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Grids, RefusedGridTest,
    ::testing::Values(RefusedCase{"HighNibble13", 2, 4, 0, 13}, RefusedCase{"HighNibble15", 2, 4, 15, 15},
                      RefusedCase{"TwelveBeside13", 2, 4, 13, 12},
                      RefusedCase{"TwelveBeside15", 2, 4, 15, 12}, RefusedCase{"ValueAbove15", 2, 4, 16, 0},
                      RefusedCase{"OddColumns", 2, 5, 0, 0}, RefusedCase{"TooManyLines", 128, 4, 0, 0},
                      RefusedCase{"TooManyColumns", 2, 256, 0, 0}),
    [](const auto& info) { return info.param.name; });

struct SendableCase {
  int lowCell;
  int highCell;
};

class SendablePairTest : public ::testing::TestWithParam<SendableCase> {};

TEST_P(SendablePairTest, TravelsUnchanged) {
  SheetGrid grid(1, 2);
  grid.Set(1, 1, GetParam().lowCell);
  grid.Set(1, 2, GetParam().highCell);
  Bytes frame;
  std::string error;
  ASSERT_TRUE(EncodeFrame(grid, nullptr, frame, error)) << error;
  DecodedFrame decoded;
  ASSERT_TRUE(DecodeFrame(frame, decoded, error)) << error;
  EXPECT_EQ(decoded.headA.Cells(), grid.Cells());
}

// 0xCC is the largest byte that travels as data; a low-nibble cell may be 15.
INSTANTIATE_TEST_SUITE_P(Pairs, SendablePairTest,
                         ::testing::Values(SendableCase{12, 12}, SendableCase{15, 11}, SendableCase{13, 0},
                                           SendableCase{0, 12}));

TEST(DecodeFrameTest, RejectsDamagedFrames) {
  SheetGrid grid(2, 4);
  grid.Set(2, 2, 9);
  Bytes frame;
  std::string error;
  ASSERT_TRUE(EncodeFrame(grid, nullptr, frame, error));
  DecodedFrame decoded;

  Bytes swapped = frame;  // CRC high byte first
  std::swap(swapped[swapped.size() - 1], swapped[swapped.size() - 2]);
  ASSERT_NE(swapped, frame);
  EXPECT_FALSE(DecodeFrame(swapped, decoded, error));
  EXPECT_EQ(error, "CRC mismatch");

  Bytes wrongCode = frame;
  wrongCode[1] = 0x24;
  EXPECT_FALSE(DecodeFrame(wrongCode, decoded, error));

  Bytes truncated(frame.begin(), frame.end() - 1);
  EXPECT_FALSE(DecodeFrame(truncated, decoded, error));

  Bytes moreLines = frame;  // header announces more cells than the data hold
  moreLines[2] = 3;
  EXPECT_FALSE(DecodeFrame(moreLines, decoded, error));
}

TEST(DecodeFrameTest, EmptyFrameDecodesToNoCells) {
  DecodedFrame decoded;
  std::string error;
  ASSERT_TRUE(DecodeFrame(EmptyFrame(), decoded, error)) << error;
  EXPECT_EQ(decoded.headA.Lines(), 0);
  EXPECT_TRUE(decoded.headA.Cells().empty());
}

}  // namespace
}  // namespace omr::sim
