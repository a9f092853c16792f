#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "api/driver_context.h"
#include "scripted_port.h"

namespace omr::test {
namespace {

constexpr std::uint8_t kFill = 0xEE;

// A reply to FA 35 or FA 32: header, 46 bytes for positions 4..49, then the stream.
Bytes PairReply(std::uint8_t code, const Bytes& stream, Bytes skipped = Bytes(46, 0x00), int status = 0) {
  Bytes reply = {0xFB, code, static_cast<std::uint8_t>(status), 0x00};
  skipped.resize(46, 0x00);
  reply.insert(reply.end(), skipped.begin(), skipped.end());
  reply.insert(reply.end(), stream.begin(), stream.end());
  return reply;
}

class PairCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx->activePort = &port;
    ctx->lastError = 5;
    std::memset(arg, kFill, sizeof arg);
  }
  void TearDown() override { ctx->activePort = nullptr; }

  Bytes Array(int index) const {
    return Bytes(ctx->captureArrays[index], ctx->captureArrays[index] + ctx->capturePairCount);
  }
  std::int32_t ArgCount() const {
    return static_cast<std::int32_t>(arg[0] | (arg[1] << 8) | (arg[2] << 16) |
                                     (static_cast<std::uint32_t>(arg[3]) << 24));
  }

  ScriptedPort port;
  std::unique_ptr<DriverContext> ctx = std::make_unique<DriverContext>();
  std::uint8_t arg[64];
};

TEST_F(PairCaptureTest, AllPairsDecodeMarkersAndReverse) {
  port.On({0xFA, 0x35}, PairReply(0x35, {0x01, 0x10, 0x20, 0xF0, 0x30, 0x40}));
  EXPECT_EQ(ctx->SysCmd(30, arg), 1);
  EXPECT_EQ(ArgCount(), 2);
  EXPECT_EQ(arg[4], kFill);
  EXPECT_EQ(ctx->capturePairCount, 2);
  EXPECT_EQ(Array(0), (Bytes{0x30, 0x10}));
  EXPECT_EQ(Array(1), (Bytes{0xF0, 0x01}));
  EXPECT_EQ(Array(2), (Bytes{0x40, 0x20}));
  EXPECT_EQ(Array(3), (Bytes{0xF0, 0x01}));
  EXPECT_EQ(ctx->lastError, 0);
  EXPECT_EQ(port.Purges(), 1);
  ASSERT_EQ(port.Reads().size(), 2u);
  EXPECT_EQ(port.Reads()[0].count, 4);
  EXPECT_EQ(port.Reads()[0].timeoutMs, 2000);
  EXPECT_EQ(port.Reads()[1].count, 8192);
  EXPECT_EQ(port.Reads()[1].timeoutMs, 820);
}

TEST_F(PairCaptureTest, ChannelCaptureRefreshesCountAndBoundsTheChannel) {
  port.On({0xFA, 0x4E}, {0xFB, 0x4E, 0x30, 0x00})
      .On({0xFA, 0x32, 0x30}, PairReply(0x32, {0x01, 0x10, 0x20, 0xF0, 0x30, 0x40}));
  arg[0] = 0x7F;
  EXPECT_EQ(ctx->SysCmd(10, arg), 1);
  EXPECT_TRUE(port.ScriptUsedUp()) << Hex(port.AllWritten());
  EXPECT_EQ(ArgCount(), 2);
  EXPECT_EQ(ctx->channelCount, 48);
  EXPECT_EQ(Array(0), (Bytes{0x30, 0x10}));
  EXPECT_EQ(port.Purges(), 2);
}

TEST_F(PairCaptureTest, ChannelCaptureWithFailedRefreshSendsNothingMore) {
  port.On({0xFA, 0x4E}, {});
  arg[0] = 3;
  EXPECT_EQ(ctx->SysCmd(10, arg), 0);
  EXPECT_EQ(ctx->lastError, 8);
  EXPECT_EQ(port.Writes().size(), 1u);
  EXPECT_EQ(arg[1], kFill);
}

TEST_F(PairCaptureTest, ValueAndMarkerClassesAndAnUnfinishedPair) {
  // 05 is a marker, 06 and EF are values, F0 and FF are markers; the last
  // first half has no second and is not counted.
  port.On({0xFA, 0x35}, PairReply(0x35, {0x05, 0x06, 0xEF, 0xF0, 0xFF, 0x06}));
  EXPECT_EQ(ctx->SysCmd(30, arg), 1);
  EXPECT_EQ(ctx->capturePairCount, 1);
  EXPECT_EQ(Array(0), (Bytes{0x06}));
  EXPECT_EQ(Array(1), (Bytes{0x05}));
  EXPECT_EQ(Array(2), (Bytes{0xEF}));
  EXPECT_EQ(Array(3), (Bytes{0x05}));
}

TEST_F(PairCaptureTest, ValuesAmongTheSkippedPositionsOnlySetThePhase) {
  for (int a = 0; a < 4; ++a) std::memset(ctx->captureArrays[a], 0xAA, 8);
  // One value byte in positions 4..49: the stream starts with a second half.
  port.On({0xFA, 0x35}, PairReply(0x35, {0x01, 0x10, 0x20, 0xF0, 0x30}, {0, 0, 0, 0, 0, 0x50}));
  EXPECT_EQ(ctx->SysCmd(30, arg), 1);
  ASSERT_EQ(ctx->capturePairCount, 2);
  // The pair without a first half in this capture gets zeros, not old bytes.
  EXPECT_EQ(Array(0), (Bytes{0x20, 0x00}));
  EXPECT_EQ(Array(1), (Bytes{0x01, 0x00}));
  EXPECT_EQ(Array(2), (Bytes{0x30, 0x10}));
  EXPECT_EQ(Array(3), (Bytes{0xF0, 0x01}));
}

TEST_F(PairCaptureTest, EvenValuesAmongSkippedPositionsChangeNothing) {
  port.On({0xFA, 0x35}, PairReply(0x35, {0x10, 0x20}, {0x50, 0x01, 0x60}));
  EXPECT_EQ(ctx->SysCmd(30, arg), 1);
  EXPECT_EQ(ctx->capturePairCount, 1);
  EXPECT_EQ(Array(0), (Bytes{0x10}));
  EXPECT_EQ(Array(1), (Bytes{0xFF}));  // no marker seen yet
}

TEST_F(PairCaptureTest, OddPairCountKeepsTheMiddleInPlace) {
  port.On({0xFA, 0x35}, PairReply(0x35, {0x10, 0x11, 0x20, 0x21, 0x30, 0x31}));
  EXPECT_EQ(ctx->SysCmd(30, arg), 1);
  EXPECT_EQ(Array(0), (Bytes{0x30, 0x20, 0x10}));
  EXPECT_EQ(Array(2), (Bytes{0x31, 0x21, 0x11}));
}

TEST_F(PairCaptureTest, EmptyDataIsZeroPairsAndSuccess) {
  ctx->capturePairCount = 5;
  port.On({0xFA, 0x35}, {0xFB, 0x35, 0x00, 0x00});
  EXPECT_EQ(ctx->SysCmd(30, arg), 1);
  EXPECT_EQ(ArgCount(), 0);
  EXPECT_EQ(ctx->capturePairCount, 0);
  EXPECT_EQ(ctx->lastError, 0);
  std::memset(arg, kFill, sizeof arg);
  arg[0] = 2;
  EXPECT_EQ(ctx->SysCmd(11, arg), 1);
  EXPECT_EQ(arg[0], 2);  // no bytes copied
  EXPECT_EQ(arg[1], kFill);
}

TEST_F(PairCaptureTest, HeaderOfTwoBytesReadsStatusAsZero) {
  port.On({0xFA, 0x35}, {0xFB, 0x35});
  EXPECT_EQ(ctx->SysCmd(30, arg), 1);
  EXPECT_EQ(ctx->capturePairCount, 0);
  EXPECT_EQ(ctx->lastError, 0);
}

TEST_F(PairCaptureTest, FullDataReadDecodesEveryPair) {
  Bytes stream;
  for (int i = 0; i < 8192 - 46; ++i) stream.push_back(static_cast<std::uint8_t>(0x06 + (i % 200)));
  port.On({0xFA, 0x35}, PairReply(0x35, stream));
  EXPECT_EQ(ctx->SysCmd(30, arg), 1);
  const int pairs = (8192 - 46) / 2;
  ASSERT_EQ(ctx->capturePairCount, pairs);
  // After the reversal the last pair received comes first.
  EXPECT_EQ(ctx->captureArrays[0][0], stream[stream.size() - 2]);
  EXPECT_EQ(ctx->captureArrays[2][0], stream[stream.size() - 1]);
  EXPECT_EQ(ctx->captureArrays[0][pairs - 1], stream[0]);
}

struct CaptureFault {
  const char* name;
  Bytes reply;
  int writeLimit;
  int error;
};

class PairCaptureFaultTest : public PairCaptureTest, public ::testing::WithParamInterface<CaptureFault> {};

TEST_P(PairCaptureFaultTest, LeavesArraysAndArgAsTheyWere) {
  const CaptureFault& f = GetParam();
  ctx->capturePairCount = 3;
  for (int a = 0; a < 4; ++a) std::memset(ctx->captureArrays[a], 0x40 + a, 3);
  if (f.writeLimit >= 0) port.LimitWrites(f.writeLimit);
  port.On({0xFA, 0x35}, f.reply);
  EXPECT_EQ(ctx->SysCmd(30, arg), 0);
  EXPECT_EQ(ctx->lastError, f.error);
  EXPECT_EQ(ctx->capturePairCount, 3);
  EXPECT_EQ(Array(0), (Bytes{0x40, 0x40, 0x40}));
  EXPECT_EQ(Array(3), (Bytes{0x43, 0x43, 0x43}));
  EXPECT_EQ(arg[0], kFill);
}

INSTANTIATE_TEST_SUITE_P(
    Captures, PairCaptureFaultTest,
    ::testing::Values(CaptureFault{"Status", PairReply(0x35, {0x10, 0x20}, {}, 3), -1, 3},
                      CaptureFault{"WrongCode", PairReply(0x32, {0x10, 0x20}), -1, 8},
                      CaptureFault{"WrongFirstByte", {0xFA, 0x35, 0, 0, 0x10, 0x20}, -1, 8},
                      CaptureFault{"NoAnswer", {}, -1, 8}, CaptureFault{"OneByte", {0xFB}, -1, 8},
                      CaptureFault{"ShortWrite", PairReply(0x35, {0x10, 0x20}), 1, 8}),
    [](const auto& info) { return info.param.name; });

TEST_F(PairCaptureTest, FetchCopiesOneArrayByNumber) {
  port.On({0xFA, 0x35}, PairReply(0x35, {0x01, 0x10, 0x20, 0xF0, 0x30, 0x40}));
  ASSERT_EQ(ctx->SysCmd(30, arg), 1);
  const Bytes expected[4] = {{0x30, 0x10}, {0xF0, 0x01}, {0x40, 0x20}, {0xF0, 0x01}};
  for (std::uint8_t index = 0; index < 4; ++index) {
    std::memset(arg, kFill, sizeof arg);
    arg[0] = index;
    ctx->lastError = 5;
    EXPECT_EQ(ctx->SysCmd(11, arg), 1);
    EXPECT_EQ(Bytes(arg, arg + 2), expected[index]) << int{index};
    EXPECT_EQ(arg[2], kFill);
    EXPECT_EQ(ctx->lastError, 0);
  }
  EXPECT_EQ(port.Writes().size(), 1u);  // the fetch sends nothing
}

TEST_F(PairCaptureTest, FetchRefusesArrayNumbersOutside0To3) {
  ctx->capturePairCount = 2;
  for (std::uint8_t index : {std::uint8_t{4}, std::uint8_t{0xFF}, std::uint8_t{0x80}}) {
    std::memset(arg, kFill, sizeof arg);
    arg[0] = index;
    ctx->lastError = 5;
    EXPECT_EQ(ctx->SysCmd(11, arg), 0);
    EXPECT_EQ(ctx->lastError, 1);
    EXPECT_EQ(arg[0], index);
    EXPECT_EQ(arg[1], kFill);
  }
}

}  // namespace
}  // namespace omr::test
