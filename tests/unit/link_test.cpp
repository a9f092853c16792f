#include "link/link.h"

#include <gtest/gtest.h>

#include <cstring>

#include "scripted_port.h"

namespace omr::test {
namespace {

class LinkTest : public ::testing::Test {
 protected:
  ScriptedPort port;
  CPort* active = &port;
  std::int32_t lastError = 0;
  Link link{active, lastError};
};

const std::uint8_t kVersionCmd[2] = {0xFA, 0x54};

TEST_F(LinkTest, ExchangeSucceedsOnMatchingReply) {
  port.On({0xFA, 0x54}, {0xFB, 0x54, 3, 1});
  std::uint8_t reply[4];
  EXPECT_TRUE(link.Command(kVersionCmd, 2, reply, 4, 333));
  EXPECT_EQ(lastError, 0);
  EXPECT_EQ(port.Purges(), 1);
  ASSERT_EQ(port.Reads().size(), 1u);
  EXPECT_EQ(port.Reads()[0].count, 4);
  EXPECT_EQ(port.Reads()[0].timeoutMs, 333);
}

struct BadExchange {
  const char* name;
  int writeLimit;
  Bytes reply;
};

class LinkFailureTest : public LinkTest, public ::testing::WithParamInterface<BadExchange> {};

TEST_P(LinkFailureTest, FailsWithCommunicationError) {
  const BadExchange& c = GetParam();
  if (c.writeLimit >= 0) port.LimitWrites(c.writeLimit);
  port.On({0xFA, 0x54}, c.reply);
  std::uint8_t reply[4];
  lastError = 3;
  EXPECT_FALSE(link.Command(kVersionCmd, 2, reply, 4, 333));
  EXPECT_EQ(lastError, 8);
}

INSTANTIATE_TEST_SUITE_P(Exchange, LinkFailureTest,
                         ::testing::Values(BadExchange{"ShortWrite", 1, {0xFB, 0x54, 1, 0}},
                                           BadExchange{"ShortReply", -1, {0xFB, 0x54, 1}},
                                           BadExchange{"NoReply", -1, {}},
                                           BadExchange{"WrongFirstByte", -1, {0xFA, 0x54, 1, 0}},
                                           BadExchange{"WrongCode", -1, {0xFB, 0x55, 1, 0}}),
                         [](const auto& info) { return info.param.name; });

TEST_F(LinkTest, ShortWriteReadsNothing) {
  port.LimitWrites(1);
  std::uint8_t reply[4];
  EXPECT_FALSE(link.Command(kVersionCmd, 2, reply, 4, 333));
  EXPECT_TRUE(port.Reads().empty());
}

TEST_F(LinkTest, LateReplyIsPurgedByNextCommand) {
  // The answer of a command that timed out arrives late; the next command
  // must not take it for its own.
  port.Queue({0xFB, 0x4E, 0x10, 0x00});
  port.On({0xFA, 0x54}, {0xFB, 0x54, 2, 9});
  char text[8] = {};
  EXPECT_TRUE(QueryVersion(link, text));
  EXPECT_STREQ(text, "2.9");
  EXPECT_EQ(port.Pending(), 0u);
}

TEST_F(LinkTest, NoActivePortTouchesNothing) {
  active = nullptr;
  std::uint8_t reply[4] = {1, 2, 3, 4};
  EXPECT_FALSE(link.Command(kVersionCmd, 2, reply, 4, 333));
  EXPECT_EQ(lastError, 8);
  EXPECT_TRUE(port.Writes().empty());
  EXPECT_EQ(port.Purges(), 0);
}

TEST_F(LinkTest, ClearReaderSucceedsWhenSettingsAreNotAnswered) {
  port.On({0xFA, 0x23}, {0xFB, 0x23}).On({0xFA, 0x06, 0x00, 0xFF, 0xFF}, {});
  EXPECT_TRUE(ClearReader(link));
  ASSERT_EQ(port.Reads().size(), 2u);
  EXPECT_EQ(port.Reads()[1].timeoutMs, 333);
  EXPECT_TRUE(port.ScriptUsedUp());
}

TEST_F(LinkTest, ClearReaderFailsOnWrongClearReply) {
  port.On({0xFA, 0x23}, {0xFB, 0x24});
  EXPECT_FALSE(ClearReader(link));
  EXPECT_EQ(lastError, 8);
  EXPECT_EQ(port.Writes().size(), 1u);
}

TEST_F(LinkTest, ClearReaderWithoutPortLeavesErrorAlone) {
  active = nullptr;
  lastError = 5;
  EXPECT_FALSE(ClearReader(link));
  EXPECT_EQ(lastError, 5);
}

TEST_F(LinkTest, VersionTextIsUnsignedDecimal) {
  port.On({0xFA, 0x54}, {0xFB, 0x54, 0x0A, 0x02});
  char text[8] = {};
  lastError = 8;
  EXPECT_TRUE(QueryVersion(link, text));
  EXPECT_STREQ(text, "10.2");
  EXPECT_EQ(lastError, 0);
}

TEST_F(LinkTest, VersionFailureLeavesTextAlone) {
  char text[8] = "keep";
  EXPECT_FALSE(QueryVersion(link, text));
  EXPECT_STREQ(text, "keep");
  EXPECT_EQ(lastError, 8);
}

TEST_F(LinkTest, ChannelCountIsStored) {
  port.On({0xFA, 0x4E}, {0xFB, 0x4E, 0x10, 0x00});
  std::int32_t channels = 0;
  int count = 0;
  lastError = 3;
  EXPECT_TRUE(QueryChannelCount(link, channels, &count));
  EXPECT_EQ(channels, 16);
  EXPECT_EQ(count, 16);
  EXPECT_EQ(lastError, 3);
}

TEST_F(LinkTest, ChannelCountFailureKeepsOldValue) {
  port.On({0xFA, 0x4E}, {0xFB, 0x4E, 0x10});
  std::int32_t channels = 48;
  EXPECT_FALSE(QueryChannelCount(link, channels, nullptr));
  EXPECT_EQ(channels, 48);
  EXPECT_EQ(lastError, 8);
}

TEST_F(LinkTest, SheetWaitBelowVersionThreeIsTwoSeconds) {
  port.On({0xFA, 0x54}, {0xFB, 0x54, 2, 9});
  EXPECT_EQ(ComputeSheetWait(link), 2000);
  EXPECT_EQ(port.Writes().size(), 1u);  // no FA 46
}

TEST_F(LinkTest, SheetWaitFromParameterBlock) {
  port.On({0xFA, 0x54}, {0xFB, 0x54, 3, 0}).On({0xFA, 0x46}, {0xFB, 0x46, 1, 2, 3, 4});
  EXPECT_EQ(ComputeSheetWait(link), 11000);
  ASSERT_EQ(port.Reads().size(), 2u);
  EXPECT_EQ(port.Reads()[1].count, 6);
  EXPECT_EQ(port.Reads()[1].timeoutMs, 1000);
}

TEST_F(LinkTest, SheetWaitForTwoDigitMajorQueriesParameterBlock) {
  port.On({0xFA, 0x54}, {0xFB, 0x54, 0x0A, 0x02}).On({0xFA, 0x46}, {0xFB, 0x46, 0, 0, 7, 0});
  EXPECT_EQ(ComputeSheetWait(link), 15000);
}

TEST_F(LinkTest, SheetWaitWhenParameterBlockFails) {
  port.On({0xFA, 0x54}, {0xFB, 0x54, 3, 0}).On({0xFA, 0x46}, {});
  EXPECT_EQ(ComputeSheetWait(link), 8000);
  EXPECT_EQ(lastError, 8);
}

TEST_F(LinkTest, SheetWaitWithoutVersionIsTwoSeconds) {
  EXPECT_EQ(ComputeSheetWait(link), 2000);
  EXPECT_EQ(lastError, 8);
}

TEST(ParseDecimal, IgnoresLocaleAndReadsPrefix) {
  EXPECT_DOUBLE_EQ(ParseDecimal("3.0"), 3.0);
  EXPECT_DOUBLE_EQ(ParseDecimal("  0.50xyz"), 0.5);
  EXPECT_DOUBLE_EQ(ParseDecimal("-1.25"), -1.25);
  EXPECT_DOUBLE_EQ(ParseDecimal("+2"), 2.0);
  EXPECT_DOUBLE_EQ(ParseDecimal(""), 0.0);
  EXPECT_DOUBLE_EQ(ParseDecimal("abc"), 0.0);
  EXPECT_DOUBLE_EQ(ParseDecimal(nullptr), 0.0);
}

}  // namespace
}  // namespace omr::test
