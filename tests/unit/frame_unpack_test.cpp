#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "read/crc16.h"
#include "read/device_frame.h"
#include "sheet_builder.h"

namespace omr::test {
namespace {

bool Unpack(DeviceFrame& frame, const Bytes& bytes) {
  return frame.Unpack(bytes.data(), static_cast<int>(bytes.size()));
}

TEST(Crc16, CheckValueAndContinuation) {
  const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(Crc16(digits, 9, 0), 0x31C3);
  // A caller can continue over pieces with the previous value as initial.
  EXPECT_EQ(Crc16(digits + 4, 5, Crc16(digits, 4, 0)), 0x31C3);
  EXPECT_EQ(Crc16(digits, 0, 0x1234), 0x1234);
}

class FrameTest : public ::testing::Test {
 protected:
  std::unique_ptr<DeviceFrame> frame = std::make_unique<DeviceFrame>();
};

TEST_F(FrameTest, EmptyUntilTheFirstFrame) {
  EXPECT_EQ(frame->CellAt(1, 1), -1);
  std::uint8_t out[4] = {9, 9, 9, 9};
  EXPECT_FALSE(frame->CopyGrid(out));
  EXPECT_EQ(out[0], 9);
}

TEST_F(FrameTest, CellAtCountsLinesFromTheLastReceived) {
  // 3 lines of 2 bytes: cells 1..12 in the order they are sent.
  ASSERT_TRUE(Unpack(*frame, SheetFrame(3, 2, {0x21, 0x43, 0x65, 0x87, 0xA9, 0xCB})));
  EXPECT_EQ(frame->lines, 3);
  EXPECT_EQ(frame->columns, 4);
  EXPECT_EQ(frame->CellAt(3, 1), 1);
  EXPECT_EQ(frame->CellAt(3, 2), 2);
  EXPECT_EQ(frame->CellAt(2, 1), 5);
  EXPECT_EQ(frame->CellAt(1, 4), 12);
  EXPECT_EQ(frame->CellAt(0, 1), -1);
  EXPECT_EQ(frame->CellAt(1, 5), -1);
  EXPECT_EQ(frame->CellAt(4, 1), -1);
  EXPECT_EQ(frame->CellAt(2, 0), -1);

  std::uint8_t out[2 + 12] = {};
  ASSERT_TRUE(frame->CopyGrid(out));
  const std::uint8_t expected[] = {3, 4, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_EQ(std::memcmp(out, expected, sizeof expected), 0);
}

TEST_F(FrameTest, BuilderGridReadsBackThroughCellAt) {
  SheetGrid grid(5, 6);
  grid.Set(1, 1, 7).Set(5, 6, 12).Set(3, 4, 9);
  LoadGrid(*frame, grid);
  for (int line = 1; line <= 5; ++line)
    for (int column = 1; column <= 6; ++column)
      EXPECT_EQ(frame->CellAt(line, column), grid.At(line, column)) << line << "," << column;
}

TEST_F(FrameTest, ZeroRunsExpand) {
  ASSERT_TRUE(Unpack(*frame, SheetFrame(1, 3, {0x12, 0xCD, 0x34})));
  EXPECT_EQ(frame->decoded[0], 0x12);
  EXPECT_EQ(frame->decoded[1], 0x00);
  EXPECT_EQ(frame->decoded[2], 0x34);
  EXPECT_EQ(frame->CellAt(1, 1), 2);
  EXPECT_EQ(frame->CellAt(1, 2), 1);
  EXPECT_EQ(frame->CellAt(1, 5), 4);

  // FF stands for 51 zero bytes; the byte after them is the 52nd.
  ASSERT_TRUE(Unpack(*frame, SheetFrame(1, 52, {0xFF, 0x07})));
  for (int i = 0; i < 51; ++i) EXPECT_EQ(frame->decoded[i], 0) << i;
  EXPECT_EQ(frame->decoded[51], 0x07);
  EXPECT_EQ(frame->CellAt(1, 103), 7);
  EXPECT_EQ(frame->CellAt(1, 1), 0);
}

TEST_F(FrameTest, HeadBFollowsHeadAButIsNotAddressed) {
  ASSERT_TRUE(Unpack(*frame, SheetFrame(1, 1, {0x21}, 1, 1, {0x43})));
  EXPECT_EQ(frame->cells[2], 3);
  EXPECT_EQ(frame->cells[3], 4);
  EXPECT_EQ(frame->CellAt(1, 2), 2);
  EXPECT_EQ(frame->CellAt(1, 3), -1);
}

TEST_F(FrameTest, CrcStoredHighByteFirstKeepsThePreviousCells) {
  ASSERT_TRUE(Unpack(*frame, SheetFrame(1, 2, {0x21, 0x43})));
  const Bytes swapped = SheetFrame(1, 2, {0x65, 0x87}, 0, 0, {}, CrcOrder::HighFirst);
  ASSERT_NE(swapped[12], swapped[13]) << "a CRC whose bytes are equal cannot show the order";
  EXPECT_FALSE(Unpack(*frame, swapped));
  EXPECT_EQ(frame->frameError, 20);
  EXPECT_EQ(frame->CellAt(1, 1), 1);
  EXPECT_EQ(frame->CellAt(1, 4), 4);
  // The frame itself was still taken in.
  EXPECT_EQ(std::memcmp(frame->receivedFrame, swapped.data(), swapped.size()), 0);
}

TEST_F(FrameTest, NegativeHeaderCountsGiveAnEmptyGrid) {
  // 0x80 is -128: as lines, as bytes per line and as both (whose product
  // would otherwise be positive and far too large).
  for (auto [lines, bytes] : {std::pair<std::uint8_t, std::uint8_t>{0x80, 2}, {2, 0x80}, {0x80, 0x80}}) {
    ASSERT_TRUE(Unpack(*frame, SheetFrame(lines, bytes, {0x11, 0x11})));
    EXPECT_EQ(frame->CellAt(1, 1), -1);
    EXPECT_EQ(frame->CellAt(-1, -1), -1);
    std::uint8_t out[8];
    EXPECT_FALSE(frame->CopyGrid(out));
  }
  EXPECT_EQ(frame->lines, -128);
  EXPECT_EQ(frame->columns, -256);
}

TEST_F(FrameTest, ZeroRunStopsAtTheEndOfTheDecodedArea) {
  // Zeros up to two bytes past the area, then data bytes that have nowhere
  // to go (written anyway they would land in the members behind the area).
  Bytes toMembers(120, 0xFF);  // 6120 zeros
  toMembers.push_back(0xCC + 36);
  toMembers.insert(toMembers.end(), {0x05, 0x05, 0x05, 0x05});
  // Zeros far beyond the whole frame object.
  Bytes farOut(200, 0xFF);
  farOut.push_back(0x05);
  for (const Bytes& data : {toMembers, farOut}) {
    ASSERT_TRUE(Unpack(*frame, SheetFrame(1, 2, data)));
    EXPECT_EQ(frame->lines, 1);
    EXPECT_EQ(frame->columns, 4);
    EXPECT_EQ(frame->frameError, 0);
    EXPECT_EQ(frame->decoded[kFrameArea - 1], 0);
  }
}

TEST_F(FrameTest, LongestFittingFrameIsTaken) {
  const Bytes data(kFrameArea - 12, 0x01);
  ASSERT_TRUE(Unpack(*frame, SheetFrame(1, 2, data)));
  EXPECT_EQ(frame->decoded[kFrameArea - 13], 0x01);
  EXPECT_EQ(frame->CellAt(1, 1), 1);
}

struct Oversize {
  const char* name;
  Bytes frame;
};

class FrameOversizeTest : public FrameTest, public ::testing::WithParamInterface<Oversize> {};

TEST_P(FrameOversizeTest, RefusedWithoutTouchingTheGrid) {
  ASSERT_TRUE(Unpack(*frame, SheetFrame(1, 2, {0x21, 0x43})));
  const Bytes& bytes = GetParam().frame;
  EXPECT_FALSE(DeviceFrame::Fits(bytes.data()));
  EXPECT_FALSE(Unpack(*frame, bytes));
  EXPECT_EQ(frame->frameError, 8);
  EXPECT_EQ(frame->lines, 1);
  EXPECT_EQ(frame->columns, 4);
  EXPECT_EQ(frame->CellAt(1, 4), 4);
  EXPECT_EQ(frame->receivedFrame[2], 1);
}

INSTANTIATE_TEST_SUITE_P(Frame, FrameOversizeTest,
                         ::testing::Values(
                             // One data byte more than the received-frame area holds.
                             Oversize{"DataBeyondFrameArea", SheetFrame(1, 2, Bytes(kFrameArea - 11, 0x01))},
                             // 127 lines of 127 bytes: far more cells than the area.
                             Oversize{"CellsOfHeadA", SheetFrame(127, 127, {0x01})},
                             // 25 x 123 + 1 x 3 bytes = 3078 bytes = 6156 cells, two too many.
                             Oversize{"CellsOfBothHeads", SheetFrame(25, 123, {0x01}, 1, 3, {0x01})}),
                         [](const auto& info) { return info.param.name; });

TEST_F(FrameTest, CellsFillingTheAreaExactlyFit) {
  // 25 x 123 + 1 x 2 bytes = 3077 bytes = 6154 cells.
  const Bytes bytes = SheetFrame(25, 123, {0x0C}, 1, 2, {0x0B});
  EXPECT_TRUE(DeviceFrame::Fits(bytes.data()));
  ASSERT_TRUE(Unpack(*frame, bytes));
  EXPECT_EQ(frame->CellAt(25, 1), 12);
  // Bytes the data do not reach read as 0.
  EXPECT_EQ(frame->CellAt(1, 246), 0);
}

TEST_F(FrameTest, TruncatedFrameIsRefused) {
  Bytes bytes = SheetFrame(1, 2, {0x21, 0x43});
  EXPECT_FALSE(frame->Unpack(bytes.data(), static_cast<int>(bytes.size()) - 1));
  EXPECT_FALSE(frame->Unpack(bytes.data(), 11));
  EXPECT_FALSE(frame->Unpack(nullptr, 0));
  EXPECT_EQ(frame->CellAt(1, 1), -1);
}

}  // namespace
}  // namespace omr::test
