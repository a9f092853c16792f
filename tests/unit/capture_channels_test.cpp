#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "api/driver_context.h"
#include "scripted_port.h"

namespace omr::test {
namespace {

constexpr std::uint8_t kFill = 0xEE;

Bytes Reply(std::uint8_t code, int payload, std::uint8_t first = 1) {
  Bytes reply = {0xFB, code};
  for (int i = 0; i < payload; ++i) reply.push_back(static_cast<std::uint8_t>(first + i));
  return reply;
}

Bytes ChannelCount(int n) {
  return {0xFB, 0x4E, static_cast<std::uint8_t>(n & 0xFF), static_cast<std::uint8_t>(n >> 8)};
}

class ChannelTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx->activePort = &port;
    ctx->lastError = 5;
  }
  void TearDown() override { ctx->activePort = nullptr; }

  // An argument buffer exactly `size` bytes long, so that a write past it is caught.
  std::vector<std::uint8_t> Arg(std::size_t size) { return std::vector<std::uint8_t>(size, kFill); }

  ScriptedPort port;
  std::unique_ptr<DriverContext> ctx = std::make_unique<DriverContext>();
};

TEST_F(ChannelTableTest, WordsOf48ChannelsRead102BytesAndCopy100) {
  port.On({0xFA, 0x4E}, ChannelCount(48)).On({0xFA, 0x41}, Reply(0x41, 100));
  auto arg = Arg(100);
  EXPECT_EQ(ctx->SysCmd(3, arg.data()), 1);
  EXPECT_EQ(ctx->channelCount, 48);
  EXPECT_EQ(ctx->lastError, 5);
  ASSERT_EQ(port.Reads().size(), 2u);
  EXPECT_EQ(port.Reads()[1].count, 102);
  EXPECT_EQ(port.Reads()[1].timeoutMs, 333);
  EXPECT_EQ(arg.front(), 1);
  EXPECT_EQ(arg.back(), 100);
}

TEST_F(ChannelTableTest, BytesOf48ChannelsUseStoredCountRead52AndCopy50) {
  ctx->channelCount = 48;
  port.On({0xFA, 0x33}, Reply(0x33, 50));
  auto arg = Arg(50);
  EXPECT_EQ(ctx->SysCmd(12, arg.data()), 1);
  EXPECT_EQ(ctx->lastError, 0);
  ASSERT_EQ(port.Writes().size(), 1u);  // no channel-count query
  ASSERT_EQ(port.Reads().size(), 1u);
  EXPECT_EQ(port.Reads()[0].count, 52);
  EXPECT_EQ(port.Reads()[0].timeoutMs, 333);
  EXPECT_EQ(arg.front(), 1);
  EXPECT_EQ(arg.back(), 50);
}

TEST_F(ChannelTableTest, BlockOf48ChannelsReads4Then100) {
  Bytes reply = {0xFB, 0x42, 0x00, 0x00};
  for (int i = 0; i < 100; ++i) reply.push_back(static_cast<std::uint8_t>(i + 1));
  port.On({0xFA, 0x4E}, ChannelCount(48)).On({0xFA, 0x42}, reply);
  auto arg = Arg(100);
  EXPECT_EQ(ctx->SysCmd(4, arg.data()), 1);
  EXPECT_EQ(ctx->lastError, 0);
  ASSERT_EQ(port.Reads().size(), 3u);
  EXPECT_EQ(port.Reads()[1].count, 4);
  EXPECT_EQ(port.Reads()[1].timeoutMs, 1200);
  EXPECT_EQ(port.Reads()[2].count, 100);
  EXPECT_EQ(port.Reads()[2].timeoutMs, 1200);
  EXPECT_EQ(arg.front(), 1);
  EXPECT_EQ(arg.back(), 100);
}

TEST_F(ChannelTableTest, BlockStatusBecomesLastErrorWithoutSecondRead) {
  port.On({0xFA, 0x4E}, ChannelCount(48)).On({0xFA, 0x42}, {0xFB, 0x42, 0x10, 0x00});
  auto arg = Arg(100);
  EXPECT_EQ(ctx->SysCmd(4, arg.data()), 0);
  EXPECT_EQ(ctx->lastError, 16);
  EXPECT_EQ(port.Reads().size(), 2u);
  EXPECT_EQ(arg.front(), kFill);
}

TEST_F(ChannelTableTest, BlockShortSecondReadIsCommunicationError) {
  Bytes reply = {0xFB, 0x42, 0x00, 0x00};
  reply.resize(4 + 99, 0x01);
  port.On({0xFA, 0x4E}, ChannelCount(48)).On({0xFA, 0x42}, reply);
  auto arg = Arg(100);
  EXPECT_EQ(ctx->SysCmd(4, arg.data()), 0);
  EXPECT_EQ(ctx->lastError, 8);
  EXPECT_EQ(arg.front(), kFill);
}

TEST_F(ChannelTableTest, FailedCountRefreshStopsTheCommand) {
  for (int code : {3, 4, 13, 24}) {
    ScriptedPort silent;
    ctx->activePort = &silent;
    ctx->channelCount = 7;
    ctx->lastError = 5;
    auto arg = Arg(8);
    arg[0] = 1;
    EXPECT_EQ(ctx->SysCmd(code, arg.data()), 0) << code;
    EXPECT_EQ(ctx->lastError, 8) << code;
    EXPECT_EQ(ctx->channelCount, 7) << code;
    EXPECT_EQ(silent.Writes().size(), 1u) << code;
  }
  ctx->activePort = nullptr;
}

struct TableReplyFault {
  const char* name;
  int code;
  Bytes reply;
};

class ChannelTableFaultTest : public ChannelTableTest,
                              public ::testing::WithParamInterface<TableReplyFault> {};

TEST_P(ChannelTableFaultTest, BadReplyIsCommunicationError) {
  const TableReplyFault& f = GetParam();
  ctx->channelCount = 2;
  if (f.code != 12) port.On({0xFA, 0x4E}, ChannelCount(2));
  port.On({}, f.reply);
  auto arg = Arg(8);
  EXPECT_EQ(ctx->SysCmd(f.code, arg.data()), 0);
  EXPECT_EQ(ctx->lastError, 8);
  EXPECT_EQ(arg.front(), kFill);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, ChannelTableFaultTest,
    ::testing::Values(TableReplyFault{"WordsShort", 3, Reply(0x41, 7)},
                      TableReplyFault{"WordsWrongCode", 3, Reply(0x42, 8)},
                      TableReplyFault{"BlockWrongCode", 4, {0xFB, 0x41, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}},
                      TableReplyFault{"BytesShort", 12, Reply(0x33, 3)},
                      TableReplyFault{"BytesWrongFirstByte", 12, {0xFA, 0x33, 1, 2, 3, 4}}),
    [](const auto& info) { return info.param.name; });

// The tables arrive in a 128-byte area: 61, 62 and 124 channels at most.
struct TableLimit {
  const char* name;
  int code;
  std::uint8_t request;
  int maxChannels;
  int perChannel;  // output bytes per channel
};

class ChannelTableLimitTest : public ChannelTableTest, public ::testing::WithParamInterface<TableLimit> {
 protected:
  void Script(int n) {
    const TableLimit& t = GetParam();
    const int output = t.perChannel * n + t.perChannel * 2;
    if (t.code == 12)
      ctx->channelCount = n;
    else
      port.On({0xFA, 0x4E}, ChannelCount(n));
    Bytes reply = {0xFB, t.request};
    if (t.code == 4) reply.insert(reply.end(), {0x00, 0x00});
    reply.resize(reply.size() + static_cast<std::size_t>(output), 0x33);
    port.On({0xFA, t.request}, reply);
  }
};

TEST_P(ChannelTableLimitTest, LargestCountThatFitsIsRead) {
  const TableLimit& t = GetParam();
  Script(t.maxChannels);
  auto arg = Arg(static_cast<std::size_t>(t.perChannel * (t.maxChannels + 2)));
  EXPECT_EQ(ctx->SysCmd(t.code, arg.data()), 1);
  EXPECT_EQ(arg.back(), 0x33);
}

TEST_P(ChannelTableLimitTest, OneChannelMoreIsRefusedUnsent) {
  const TableLimit& t = GetParam();
  Script(t.maxChannels + 1);
  auto arg = Arg(static_cast<std::size_t>(t.perChannel * (t.maxChannels + 3)));
  EXPECT_EQ(ctx->SysCmd(t.code, arg.data()), 0);
  EXPECT_EQ(ctx->lastError, 8);
  for (const Bytes& w : port.Writes()) EXPECT_NE(w[1], t.request);
  EXPECT_EQ(arg.front(), kFill);
}

INSTANTIATE_TEST_SUITE_P(Tables, ChannelTableLimitTest,
                         ::testing::Values(TableLimit{"Words", 3, 0x41, 61, 2},
                                           TableLimit{"Block", 4, 0x42, 62, 2},
                                           TableLimit{"Bytes", 12, 0x33, 124, 1}),
                         [](const auto& info) { return info.param.name; });

// Matrix capture (code 13) and run search (code 24).
class MatrixTest : public ChannelTableTest {
 protected:
  static Bytes Capture(int rows, int columns, const Bytes& data, int status = 0) {
    Bytes reply = {0xFB,
                   0x29,
                   static_cast<std::uint8_t>(rows),
                   static_cast<std::uint8_t>(columns),
                   static_cast<std::uint8_t>(status),
                   0x00};
    reply.insert(reply.end(), data.begin(), data.end());
    return reply;
  }
};

TEST_F(MatrixTest, ChannelIsBoundedByChannelCount) {
  struct Case {
    std::uint8_t channel;
    std::uint8_t sent;
  };
  for (const Case& c :
       {Case{0x7F, 0x30}, Case{0xFF, 0xFF}, Case{0x05, 0x05}, Case{0x30, 0x30}, Case{0x80, 0x80}}) {
    ScriptedPort reader;
    ctx->activePort = &reader;
    reader.On({0xFA, 0x4E}, ChannelCount(48)).On({0xFA, 0x29, c.sent}, Capture(1, 1, {0x09}));
    std::uint8_t arg[3] = {c.channel, kFill, kFill};
    EXPECT_EQ(ctx->SysCmd(13, arg), 1) << int{c.channel};
    EXPECT_TRUE(reader.Mismatches().empty()) << reader.Mismatches().front();
  }
  ctx->activePort = nullptr;
}

TEST_F(MatrixTest, CaptureWritesRowsColumnsAndData) {
  port.On({0xFA, 0x4E}, ChannelCount(48))
      .On({0xFA, 0x29, 0x02}, Capture(2, 3, {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}));
  auto arg = Arg(8);
  arg[0] = 2;
  EXPECT_EQ(ctx->SysCmd(13, arg.data()), 1);
  EXPECT_EQ(Bytes(arg.begin(), arg.end()), (Bytes{0x02, 0x03, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}));
  EXPECT_EQ(ctx->lastError, 0);
  ASSERT_EQ(port.Reads().size(), 3u);
  EXPECT_EQ(port.Reads()[1].count, 6);
  EXPECT_EQ(port.Reads()[1].timeoutMs, 5000);
  EXPECT_EQ(port.Reads()[2].count, 6);
  EXPECT_EQ(port.Reads()[2].timeoutMs, 2000);
}

TEST_F(MatrixTest, StatusBecomesLastErrorWithoutDataRead) {
  port.On({0xFA, 0x4E}, ChannelCount(48)).On({0xFA, 0x29, 0x00}, Capture(2, 3, {1, 2, 3, 4, 5, 6}, 7));
  auto arg = Arg(8);
  arg[0] = 0;
  EXPECT_EQ(ctx->SysCmd(13, arg.data()), 0);
  EXPECT_EQ(ctx->lastError, 7);
  EXPECT_EQ(port.Reads().size(), 2u);
  EXPECT_EQ(arg[1], kFill);
}

TEST_F(MatrixTest, ShortDataIsCommunicationError) {
  port.On({0xFA, 0x4E}, ChannelCount(48)).On({0xFA, 0x29, 0x00}, Capture(2, 3, {1, 2, 3, 4, 5}));
  auto arg = Arg(8);
  arg[0] = 0;
  EXPECT_EQ(ctx->SysCmd(13, arg.data()), 0);
  EXPECT_EQ(ctx->lastError, 8);
  EXPECT_EQ(arg[1], kFill);
}

TEST_F(MatrixTest, LargestCaptureThatFitsIsTaken) {
  const int rows = 255, columns = 64;  // 16,320 of at most 16,378 bytes
  port.On({0xFA, 0x4E}, ChannelCount(48))
      .On({0xFA, 0x29, 0x01}, Capture(rows, columns, Bytes(rows * columns, 0x44)));
  auto arg = Arg(2 + rows * columns);
  arg[0] = 1;
  EXPECT_EQ(ctx->SysCmd(13, arg.data()), 1);
  EXPECT_EQ(arg[0], rows);
  EXPECT_EQ(arg[1], columns);
  EXPECT_EQ(arg.back(), 0x44);
}

TEST_F(MatrixTest, CaptureAboveTheAreaIsRefusedUnread) {
  for (auto [rows, columns] : {std::pair{128, 128}, std::pair{255, 255}, std::pair{255, 65}}) {
    ScriptedPort reader;
    ctx->activePort = &reader;
    reader.On({0xFA, 0x4E}, ChannelCount(48)).On({0xFA, 0x29, 0x01}, Capture(rows, columns, Bytes(64, 0x44)));
    auto arg = Arg(8);
    arg[0] = 1;
    EXPECT_EQ(ctx->SysCmd(13, arg.data()), 0);
    EXPECT_EQ(ctx->lastError, 8);
    EXPECT_EQ(reader.Reads().size(), 2u);  // the data is never asked for
    EXPECT_EQ(arg[1], kFill);
  }
  ctx->activePort = nullptr;
}

TEST_F(MatrixTest, RunSearchFindsTheExampleStretch) {
  const Bytes row = {0x00, 0x09, 0x09, 0x09, 0x09, 0x09, 0x09, 0x09, 0x09, 0x09, 0x09, 0x00};
  port.On({0xFA, 0x4E}, ChannelCount(48)).On({0xFA, 0x29, 46}, Capture(1, 12, row));
  auto arg = Arg(6);
  EXPECT_EQ(ctx->SysCmd(24, arg.data()), 1);
  EXPECT_EQ(Bytes(arg.begin(), arg.end()), (Bytes{0x01, 0x0B, 0x01, 0x01, 0x02, 0x0B}));
  EXPECT_EQ(ctx->lastError, 0);
  // The capture itself is left in the result buffer.
  EXPECT_EQ(ctx->resultBuffer[0], 1);
  EXPECT_EQ(ctx->resultBuffer[1], 12);
  EXPECT_EQ(ctx->resultBuffer[3], 0x09);
}

TEST_F(MatrixTest, RunSearchUsesFewerChannelsWhenReaderHasThem) {
  port.On({0xFA, 0x4E}, ChannelCount(20)).On({0xFA, 0x29, 20}, Capture(1, 1, {0}));
  auto arg = Arg(3);
  EXPECT_EQ(ctx->SysCmd(24, arg.data()), 1);
  EXPECT_EQ(Bytes(arg.begin(), arg.end()), (Bytes{1, 0, 0}));
}

TEST_F(MatrixTest, RunSearchRowsCountFromTheLastReceived) {
  const int columns = 14;
  Bytes data;
  auto addRow = [&](const Bytes& positions) {  // positions 1..14, i.e. columns 0..13
    ASSERT_EQ(positions.size(), static_cast<std::size_t>(columns));
    data.insert(data.end(), positions.begin(), positions.end());
  };
  // Received first: row 4. Twelve bytes above 5 at positions 1..12.
  addRow({6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 0, 0});
  // Row 3: only nine in a row (5 is not above 5).
  addRow({5, 7, 7, 7, 7, 7, 7, 7, 7, 7, 5, 0, 0, 0});
  // Row 2: a short stretch at 12..14 is dropped, then 1..10 counts.
  addRow({8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 0, 8, 8, 8});
  // Row 1: the stretch from 14 down to 3 ends the scan at position 2.
  addRow({0x10, 0, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10});
  port.On({0xFA, 0x4E}, ChannelCount(48)).On({0xFA, 0x29, 46}, Capture(4, columns, data));
  auto arg = Arg(3 + 3 * 3);
  EXPECT_EQ(ctx->SysCmd(24, arg.data()), 1);
  EXPECT_EQ(Bytes(arg.begin(), arg.end()), (Bytes{4, 14, 3, 1, 3, 14, 2, 1, 10, 4, 1, 12}));
}

TEST_F(MatrixTest, RunSearchWithFailedCaptureWritesTwoZeros) {
  port.On({0xFA, 0x4E}, ChannelCount(48)).On({0xFA, 0x29, 46}, {0xFB, 0x29, 1});
  auto arg = Arg(4);
  EXPECT_EQ(ctx->SysCmd(24, arg.data()), 0);
  EXPECT_EQ(ctx->lastError, 8);
  EXPECT_EQ(Bytes(arg.begin(), arg.end()), (Bytes{0, 0, kFill, kFill}));
}

TEST_F(MatrixTest, RunSearchWithCaptureStatusKeepsTheStatus) {
  port.On({0xFA, 0x4E}, ChannelCount(48)).On({0xFA, 0x29, 46}, Capture(1, 1, {0}, 9));
  auto arg = Arg(4);
  EXPECT_EQ(ctx->SysCmd(24, arg.data()), 0);
  EXPECT_EQ(ctx->lastError, 9);
  EXPECT_EQ(Bytes(arg.begin(), arg.end()), (Bytes{0, 0, kFill, kFill}));
}

TEST_F(MatrixTest, RunListHoldsAtMost84Entries) {
  const int columns = 10;
  // 84 rows each with one stretch: the full list of 255 bytes.
  port.On({0xFA, 0x4E}, ChannelCount(48))
      .On({0xFA, 0x29, 46}, Capture(84, columns, Bytes(84 * columns, 0x20)));
  auto arg = Arg(3 + 3 * 84);
  EXPECT_EQ(ctx->SysCmd(24, arg.data()), 1);
  EXPECT_EQ(arg[2], 84);
  EXPECT_EQ(arg[3 + 3 * 83], 84);  // last entry: row 84

  // 85 stretches cannot be listed: refused, with the failure's two zero bytes.
  ScriptedPort reader;
  ctx->activePort = &reader;
  reader.On({0xFA, 0x4E}, ChannelCount(48))
      .On({0xFA, 0x29, 46}, Capture(85, columns, Bytes(85 * columns, 0x20)));
  auto refused = Arg(3 + 3 * 84);
  EXPECT_EQ(ctx->SysCmd(24, refused.data()), 0);
  EXPECT_EQ(ctx->lastError, 8);
  EXPECT_EQ(refused[0], 0);
  EXPECT_EQ(refused[1], 0);
  EXPECT_EQ(refused[2], kFill);
  ctx->activePort = nullptr;
}

TEST_F(MatrixTest, RunSearchScansCountsAbove127Unsigned) {
  // 200 rows of 20 columns; only the first row received (row 200) has a stretch.
  Bytes data(200 * 20, 0);
  for (int x = 0; x < 20; ++x) data[static_cast<std::size_t>(x)] = 0x30;
  port.On({0xFA, 0x4E}, ChannelCount(48)).On({0xFA, 0x29, 46}, Capture(200, 20, data));
  auto arg = Arg(6);
  EXPECT_EQ(ctx->SysCmd(24, arg.data()), 1);
  EXPECT_EQ(Bytes(arg.begin(), arg.end()), (Bytes{200, 20, 1, 200, 1, 20}));
}

TEST_F(MatrixTest, SheetGridBeforeAnySheetWritesNothing) {
  auto arg = Arg(4);
  EXPECT_EQ(ctx->SysCmd(25, arg.data()), 0);
  EXPECT_EQ(ctx->lastError, 5);
  EXPECT_EQ(arg[0], kFill);
  EXPECT_TRUE(port.Writes().empty());
}

TEST_F(MatrixTest, SheetGridCopiesTheFrame) {
  ctx->frame.lines = 2;
  ctx->frame.columns = 3;
  for (int i = 0; i < 6; ++i) ctx->frame.cells[i] = static_cast<std::uint8_t>(i + 1);
  std::uint8_t direct[16];
  std::memset(direct, kFill, sizeof direct);
  if (!ctx->frame.CopyGrid(direct)) GTEST_SKIP() << "the sheet frame's grid copy is not available yet";
  auto arg = Arg(9);
  EXPECT_EQ(ctx->SysCmd(25, arg.data()), 1);
  EXPECT_EQ(ctx->lastError, 5);
  EXPECT_EQ(arg[0], 2);
  EXPECT_EQ(arg[1], 3);
  EXPECT_EQ(Bytes(arg.begin(), arg.begin() + 8), Bytes(direct, direct + 8));
  EXPECT_EQ(arg[8], kFill);
  EXPECT_TRUE(port.Writes().empty());
}

}  // namespace
}  // namespace omr::test
