#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "api/driver_context.h"
#include "scripted_port.h"

namespace omr::test {
namespace {

constexpr std::uint8_t kFill = 0xEE;

class SysCmdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx->activePort = &port;
    ctx->lastError = 5;
    std::memset(arg, kFill, sizeof arg);
  }
  void TearDown() override { ctx->activePort = nullptr; }

  ScriptedPort port;
  std::unique_ptr<DriverContext> ctx = std::make_unique<DriverContext>();
  std::uint8_t arg[32];
};

TEST_F(SysCmdTest, CodesOutsideTheTableSelectNothing) {
  for (int code : {-1, 0, 1, 2, 31, 1000}) {
    EXPECT_EQ(ctx->SysCmd(code, arg), 0) << code;
    EXPECT_EQ(ctx->lastError, 5) << code;
  }
  EXPECT_TRUE(port.Writes().empty());
  EXPECT_EQ(port.Purges(), 0);
  EXPECT_EQ(arg[0], kFill);
}

TEST_F(SysCmdTest, NullArgumentIsRefusedBeforeAnythingIsSent) {
  for (int code : {3, 4, 6, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 23, 24, 25, 28, 29, 30}) {
    ctx->lastError = 5;
    EXPECT_EQ(ctx->SysCmd(code, nullptr), 0) << code;
    EXPECT_EQ(ctx->lastError, 6) << code;
  }
  EXPECT_TRUE(port.Writes().empty());
  EXPECT_EQ(port.Purges(), 0);
}

TEST_F(SysCmdTest, CodesThatIgnoreTheirArgumentRunWithNull) {
  port.On({0xFA, 0x43}, {0xFB, 0x43, 0x01, 0x00});
  EXPECT_EQ(ctx->SysCmd(5, nullptr), 1);
  EXPECT_EQ(ctx->lastError, 0);
}

TEST_F(SysCmdTest, WithoutReaderEveryDeviceCodeFailsWithoutTouchingAPort) {
  ctx->activePort = nullptr;
  for (int code = 3; code <= 30; ++code) {
    if (code == 11 || code == 25) continue;
    ctx->lastError = 5;
    std::memset(arg, kFill, sizeof arg);
    EXPECT_EQ(ctx->SysCmd(code, arg), 0) << code;
    EXPECT_EQ(ctx->lastError, 8) << code;
    EXPECT_EQ(arg[0], kFill) << code;
  }
  EXPECT_TRUE(port.Writes().empty());
  EXPECT_EQ(port.Purges(), 0);
}

TEST_F(SysCmdTest, ArrayFetchAndGridCopyWorkWithoutReader) {
  ctx->activePort = nullptr;
  ctx->capturePairCount = 2;
  ctx->captureArrays[1][0] = 0x11;
  ctx->captureArrays[1][1] = 0x22;
  arg[0] = 1;
  EXPECT_EQ(ctx->SysCmd(11, arg), 1);
  EXPECT_EQ(arg[0], 0x11);
  EXPECT_EQ(arg[1], 0x22);
  EXPECT_EQ(ctx->lastError, 0);
  ctx->lastError = 5;
  EXPECT_EQ(ctx->SysCmd(25, arg), 0);  // no sheet read yet
  EXPECT_EQ(ctx->lastError, 5);
}

// One request, one fixed-size reply.
struct Single {
  const char* name;
  int code;
  Bytes in;  // input bytes placed at arg
  Bytes request;
  Bytes reply;
  int timeoutMs;
  Bytes out;       // expected at arg after success (empty: arg untouched)
  int errorAfter;  // 0 when success clears, 5 when it keeps the older code
  bool ack;        // reply must be FB code 01 00
};

class SysCmdSingleTest : public SysCmdTest, public ::testing::WithParamInterface<Single> {
 protected:
  void PlaceInput() { std::copy(GetParam().in.begin(), GetParam().in.end(), arg); }
  void ExpectArgUntouchedBeyond(std::size_t from) {
    for (std::size_t i = from; i < sizeof arg; ++i) ASSERT_EQ(arg[i], kFill) << "byte " << i;
  }
};

TEST_P(SysCmdSingleTest, SucceedsOnTheRequiredReply) {
  const Single& s = GetParam();
  PlaceInput();
  port.On(s.request, s.reply);
  EXPECT_EQ(ctx->SysCmd(s.code, arg), 1);
  EXPECT_TRUE(port.ScriptUsedUp()) << Hex(port.AllWritten());
  EXPECT_EQ(ctx->lastError, s.errorAfter);
  EXPECT_EQ(port.Purges(), 1);
  ASSERT_EQ(port.Reads().size(), 1u);
  EXPECT_EQ(port.Reads()[0].count, static_cast<int>(s.reply.size()));
  EXPECT_EQ(port.Reads()[0].timeoutMs, s.timeoutMs);
  if (!s.out.empty()) {
    EXPECT_EQ(Bytes(arg, arg + s.out.size()), s.out);
    ExpectArgUntouchedBeyond(s.out.size());
  } else {
    ExpectArgUntouchedBeyond(s.in.size());
  }
}

TEST_P(SysCmdSingleTest, FailsWithCommunicationErrorAndKeepsArg) {
  const Single& s = GetParam();
  Bytes wrongCode = s.reply;
  wrongCode[1] ^= 0x01;
  Bytes shortReply(s.reply.begin(), s.reply.end() - 1);
  std::vector<std::pair<Bytes, int>> cases = {{{}, -1}, {wrongCode, -1}, {shortReply, -1}, {s.reply, 1}};
  if (s.ack) {
    Bytes nack = s.reply;
    nack[2] = 0x02;
    cases.push_back({nack, -1});
  }
  for (const auto& [reply, writeLimit] : cases) {
    ScriptedPort failing;
    ctx->activePort = &failing;
    ctx->lastError = 5;
    std::memset(arg, kFill, sizeof arg);
    PlaceInput();
    if (writeLimit >= 0) failing.LimitWrites(writeLimit);
    failing.On(s.request, reply);
    EXPECT_EQ(ctx->SysCmd(s.code, arg), 0) << Hex(reply) << " limit " << writeLimit;
    EXPECT_EQ(ctx->lastError, 8) << Hex(reply);
    ExpectArgUntouchedBeyond(s.in.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, SysCmdSingleTest,
    ::testing::Values(
        Single{"Action43", 5, {}, {0xFA, 0x43}, {0xFB, 0x43, 0x01, 0x00}, 1000, {}, 0, true},
        Single{"Action45", 7, {}, {0xFA, 0x45}, {0xFB, 0x45, 0x01, 0x00}, 1000, {}, 0, true},
        Single{
            "GetParameterBlock", 8, {}, {0xFA, 0x46}, {0xFB, 0x46, 1, 2, 3, 4}, 1000, {1, 2, 3, 4}, 0, false},
        Single{"SetParameterBlock",
               9,
               {0x0A, 0x0B, 0x0C, 0x0D},
               {0xFA, 0x47, 0x0A, 0x0B, 0x0C, 0x0D},
               {0xFB, 0x47, 0x01, 0x00},
               1000,
               {},
               0,
               true},
        Single{"SetWord4B",
               14,
               {0x78, 0x56, 0x34, 0x12},
               {0xFA, 0x4B, 0x78, 0x56, 0x34, 0x12},
               {0xFB, 0x4B, 0x01, 0x00},
               333,
               {},
               0,
               true},
        Single{"GetWord4C",
               15,
               {},
               {0xFA, 0x4C},
               {0xFB, 0x4C, 0x78, 0x56, 0x34, 0x12},
               333,
               {0x78, 0x56, 0x34, 0x12},
               5,
               false},
        Single{"SetValue4D",
               16,
               {0x34, 0x12},
               {0xFA, 0x4D, 0x34, 0x12},
               {0xFB, 0x4D, 0x01, 0x00},
               1000,
               {},
               5,
               true},
        Single{"QueryChannelCount",
               17,
               {},
               {0xFA, 0x4E},
               {0xFB, 0x4E, 0x30, 0x00},
               333,
               {0x30, 0, 0, 0},
               5,
               false},
        Single{"SetWord53",
               21,
               {1, 2, 3, 4},
               {0xFA, 0x53, 1, 2, 3, 4},
               {0xFB, 0x53, 0x01, 0x00},
               333,
               {},
               0,
               true},
        Single{"Action05", 22, {}, {0xFA, 0x05}, {0xFB, 0x05}, 2000, {}, 5, false},
        Single{"QueryVersion",
               23,
               {},
               {0xFA, 0x54},
               {0xFB, 0x54, 0x02, 0x0A},
               333,
               {'2', '.', '1', '0', 0},
               0,
               false}),
    [](const auto& info) { return info.param.name; });

TEST_F(SysCmdTest, ChannelCountQueryStoresN) {
  port.On({0xFA, 0x4E}, {0xFB, 0x4E, 0x30, 0x00});
  EXPECT_EQ(ctx->SysCmd(17, arg), 1);
  EXPECT_EQ(ctx->channelCount, 48);
}

TEST_F(SysCmdTest, FailedChannelCountQueryKeepsN) {
  ctx->channelCount = 7;
  port.On({0xFA, 0x4E}, {});
  EXPECT_EQ(ctx->SysCmd(17, arg), 0);
  EXPECT_EQ(ctx->channelCount, 7);
}

TEST_F(SysCmdTest, Value44ArrivesAfterAZeroStatus) {
  port.On({0xFA, 0x44}, {0xFB, 0x44, 0x00, 0x00, 0x34, 0x12});
  EXPECT_EQ(ctx->SysCmd(6, arg), 1);
  EXPECT_EQ(arg[0], 0x34);
  EXPECT_EQ(arg[1], 0x12);
  EXPECT_EQ(arg[2], kFill);
  EXPECT_EQ(ctx->lastError, 0);
  ASSERT_EQ(port.Reads().size(), 2u);
  EXPECT_EQ(port.Reads()[0].count, 4);
  EXPECT_EQ(port.Reads()[0].timeoutMs, 1000);
  EXPECT_EQ(port.Reads()[1].count, 2);
  EXPECT_EQ(port.Reads()[1].timeoutMs, 333);
}

TEST_F(SysCmdTest, Value44StatusBecomesLastErrorWithoutSecondRead) {
  port.On({0xFA, 0x44}, {0xFB, 0x44, 0x0D, 0x00, 0x34, 0x12});
  EXPECT_EQ(ctx->SysCmd(6, arg), 0);
  EXPECT_EQ(ctx->lastError, 13);
  EXPECT_EQ(port.Reads().size(), 1u);
  EXPECT_EQ(arg[0], kFill);
}

TEST_F(SysCmdTest, Value44MissingValueByteIsCommunicationError) {
  port.On({0xFA, 0x44}, {0xFB, 0x44, 0x00, 0x00, 0x34});
  EXPECT_EQ(ctx->SysCmd(6, arg), 0);
  EXPECT_EQ(ctx->lastError, 8);
  EXPECT_EQ(arg[0], kFill);
}

TEST_F(SysCmdTest, Value44WrongHeaderIsCommunicationError) {
  port.On({0xFA, 0x44}, {0xFB, 0x45, 0x00, 0x00, 0x34, 0x12});
  EXPECT_EQ(ctx->SysCmd(6, arg), 0);
  EXPECT_EQ(ctx->lastError, 8);
}

TEST_F(SysCmdTest, SetValue4DWantsTheNumberOne) {
  arg[0] = 1;
  arg[1] = 0;
  port.On({0xFA, 0x4D, 0x01, 0x00}, {0xFB, 0x4D, 0x02, 0x00});
  EXPECT_EQ(ctx->SysCmd(16, arg), 0);
  EXPECT_EQ(ctx->lastError, 8);
}

// Codes 26 and 27 ask the version first.
struct Gated {
  const char* name;
  int code;
  Bytes versionReply;
  Bytes commandReply;  // empty: nothing more may be sent
  int result;
  int errorAfter;
};

class SysCmdGatedTest : public SysCmdTest, public ::testing::WithParamInterface<Gated> {};

TEST_P(SysCmdGatedTest, FollowsTheFirmwareVersion) {
  const Gated& g = GetParam();
  const std::uint8_t code = g.code == 26 ? 0x60 : 0x61;
  port.On({0xFA, 0x54}, g.versionReply);
  if (!g.commandReply.empty()) port.On({0xFA, code, 0x24, 0x07}, g.commandReply);
  EXPECT_EQ(ctx->SysCmd(g.code, arg), g.result);
  EXPECT_EQ(ctx->lastError, g.errorAfter);
  EXPECT_TRUE(port.ScriptUsedUp());
  EXPECT_TRUE(port.Mismatches().empty());
  const std::size_t writes = g.commandReply.empty() ? 1u : 2u;
  ASSERT_EQ(port.Writes().size(), writes);
  if (writes == 2) {
    // The gated command follows the version query without a purge.
    EXPECT_EQ(port.Purges(), 2);
    EXPECT_EQ(port.Reads().back().count, 4);
    EXPECT_EQ(port.Reads().back().timeoutMs, 333);
  }
  EXPECT_EQ(arg[0], kFill);
}

INSTANTIATE_TEST_SUITE_P(
    Firmware, SysCmdGatedTest,
    ::testing::Values(Gated{"Command60On2_10", 26, {0xFB, 0x54, 2, 10}, {0xFB, 0x60, 0x01, 0x00}, 1, 0},
                      Gated{"Command61On3_0", 27, {0xFB, 0x54, 3, 0}, {0xFB, 0x61, 0x01, 0x00}, 1, 0},
                      Gated{"Command60On2_0Refused", 26, {0xFB, 0x54, 2, 0}, {0xFB, 0x60, 0x00, 0x00}, 0, 8},
                      Gated{"Command61NoAnswer", 27, {0xFB, 0x54, 2, 0}, {0xFB}, 0, 8},
                      Gated{"Command60On1_5", 26, {0xFB, 0x54, 1, 5}, {}, 0, 0},
                      Gated{"Command61On1_5", 27, {0xFB, 0x54, 1, 5}, {}, 1, 0},
                      Gated{"Command61On1_99", 27, {0xFB, 0x54, 1, 99}, {}, 1, 0},
                      // A reader that does not answer its version is not a success.
                      Gated{"Command60DeadLink", 26, {}, {}, 0, 8},
                      Gated{"Command61DeadLink", 27, {}, {}, 0, 8}),
    [](const auto& info) { return info.param.name; });

TEST_F(SysCmdTest, TotalCounterIsLittleEndianAndKeepsLastError) {
  port.On({0xFA, 0x4A}, {0xFB, 0x4A, 0x78, 0x56, 0x34, 0x12});
  EXPECT_EQ(ctx->ReadTotal(), 0x12345678);
  EXPECT_EQ(ctx->lastError, 5);
  ASSERT_EQ(port.Reads().size(), 1u);
  EXPECT_EQ(port.Reads()[0].count, 6);
  EXPECT_EQ(port.Reads()[0].timeoutMs, 333);
}

TEST_F(SysCmdTest, TotalCounterFailureIsZeroWithError8) {
  port.On({0xFA, 0x4A}, {0xFB, 0x4A, 0x78, 0x56, 0x34});
  EXPECT_EQ(ctx->ReadTotal(), 0);
  EXPECT_EQ(ctx->lastError, 8);
  ctx->activePort = nullptr;
  ctx->lastError = 5;
  EXPECT_EQ(ctx->ReadTotal(), 0);
  EXPECT_EQ(ctx->lastError, 8);
  EXPECT_EQ(port.Writes().size(), 1u);
}

}  // namespace
}  // namespace omr::test
