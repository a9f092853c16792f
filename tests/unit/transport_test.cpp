#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "api/driver_context.h"
#include "scripted_port.h"

namespace omr::test {
namespace {

using Call = std::function<int(DriverContext&)>;

const Call kStartMotor = [](DriverContext& c) { return c.StartMotor(); };
const Call kStopMotor = [](DriverContext& c) { return c.StopMotor(); };
const Call kPassSheet = [](DriverContext& c) { return c.PassSheet() ? 1 : 0; };
const Call kIsReading = [](DriverContext& c) { return c.IsReading(); };
const Call kStopRead = [](DriverContext& c) { return c.StopRead(); };

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx->activePort = &port;
    ctx->lastError = 5;  // success must leave an older code alone
  }
  void TearDown() override { ctx->activePort = nullptr; }

  ScriptedPort port;
  std::unique_ptr<DriverContext> ctx = std::make_unique<DriverContext>();
};

struct Confirmed {
  const char* name;
  Call call;
  Bytes request;
  Bytes reply;
  int readCount;
  int timeoutMs;
  int expected;
};

class TransportConfirmedTest : public TransportTest, public ::testing::WithParamInterface<Confirmed> {};

TEST_P(TransportConfirmedTest, ReturnsItsValueAndKeepsLastError) {
  const Confirmed& c = GetParam();
  port.On(c.request, c.reply);
  EXPECT_EQ(c.call(*ctx), c.expected);
  EXPECT_EQ(ctx->lastError, 5);
  EXPECT_TRUE(port.ScriptUsedUp()) << Hex(port.AllWritten());
  EXPECT_EQ(port.Purges(), 1);
  ASSERT_EQ(port.Reads().size(), 1u);
  EXPECT_EQ(port.Reads()[0].count, c.readCount);
  EXPECT_EQ(port.Reads()[0].timeoutMs, c.timeoutMs);
}

INSTANTIATE_TEST_SUITE_P(
    Transport, TransportConfirmedTest,
    ::testing::Values(
        Confirmed{"StartMotor", kStartMotor, {0xFA, 0x01}, {0xFB, 0x01}, 2, 2000, 507},
        Confirmed{"StopMotor", kStopMotor, {0xFA, 0x02}, {0xFB, 0x02}, 2, 2000, 763},
        Confirmed{"PassSheet", kPassSheet, {0xFA, 0x03}, {0xFB, 0x03}, 2, 2000, 1},
        Confirmed{"IsReading", kIsReading, {0xFA, 0x25}, {0xFB, 0x25, 0x01, 0x00}, 4, 333, 1},
        Confirmed{"IsReadingHighByte", kIsReading, {0xFA, 0x25}, {0xFB, 0x25, 0xFF, 0xFF}, 4, 333, 65535},
        Confirmed{"StopRead", kStopRead, {0xFA, 0x27}, {0xFB, 0x27}, 2, 333, 10235}),
    [](const auto& info) { return info.param.name; });

struct Failed {
  const char* name;
  Call call;
  int writeLimit;  // -1: no limit
  Bytes reply;
  int expected;
  bool reads;  // whether the answer is still awaited
};

class TransportFailedTest : public TransportTest, public ::testing::WithParamInterface<Failed> {};

TEST_P(TransportFailedTest, SetsCommunicationError) {
  const Failed& c = GetParam();
  if (c.writeLimit >= 0) port.LimitWrites(c.writeLimit);
  port.On({}, c.reply);
  EXPECT_EQ(c.call(*ctx), c.expected);
  EXPECT_EQ(ctx->lastError, 8);
  EXPECT_EQ(!port.Reads().empty(), c.reads);
}

INSTANTIATE_TEST_SUITE_P(Transport, TransportFailedTest,
                         ::testing::Values(
                             // Motor commands return the last count or value handled.
                             Failed{"StartMotorNoAnswer", kStartMotor, -1, {}, 0, true},
                             Failed{"StartMotorShortWrite", kStartMotor, 1, {0xFB, 0x01}, 1, false},
                             Failed{"StartMotorShortAnswer", kStartMotor, -1, {0xFB}, 1, true},
                             Failed{"StartMotorWrongCode", kStartMotor, -1, {0xFB, 0x02}, 0x02FB, true},
                             Failed{"StopMotorWrongFirstByte", kStopMotor, -1, {0xFA, 0x02}, 0x02FA, true},
                             Failed{"StopMotorNoAnswer", kStopMotor, -1, {}, 0, true},
                             Failed{"PassSheetWrongCode", kPassSheet, -1, {0xFB, 0x01}, 0, true},
                             Failed{"PassSheetShortWrite", kPassSheet, 0, {0xFB, 0x03}, 0, false},
                             Failed{"IsReadingWrongCode", kIsReading, -1, {0xFB, 0x24, 0x01, 0x00}, -1, true},
                             Failed{"IsReadingShortAnswer", kIsReading, -1, {0xFB, 0x25, 0x01}, -1, true},
                             // StopRead still waits for the answer after a short write and
                             // returns whatever arrived.
                             Failed{"StopReadShortWrite", kStopRead, 1, {0xFB, 0x27}, 0x27FB, true},
                             Failed{"StopReadOneByte", kStopRead, -1, {0xFB}, 0xFB, true},
                             Failed{"StopReadWrongCode", kStopRead, -1, {0xFB, 0x26}, 0x26FB, true},
                             Failed{"StopReadNoAnswer", kStopRead, -1, {}, 0, true}),
                         [](const auto& info) { return info.param.name; });

struct Unplugged {
  const char* name;
  Call call;
  int expected;
};

class TransportUnpluggedTest : public TransportTest, public ::testing::WithParamInterface<Unplugged> {};

TEST_P(TransportUnpluggedTest, FailsWithoutTouchingAPort) {
  ctx->activePort = nullptr;
  EXPECT_EQ(GetParam().call(*ctx), GetParam().expected);
  EXPECT_EQ(ctx->lastError, 8);
  EXPECT_TRUE(port.Writes().empty());
  EXPECT_EQ(port.Purges(), 0);
}

INSTANTIATE_TEST_SUITE_P(Transport, TransportUnpluggedTest,
                         ::testing::Values(Unplugged{"StartMotor", kStartMotor, 0},
                                           Unplugged{"StopMotor", kStopMotor, 0},
                                           Unplugged{"PassSheet", kPassSheet, 0},
                                           Unplugged{"IsReading", kIsReading, -1},
                                           Unplugged{"StopRead", kStopRead, 0}),
                         [](const auto& info) { return info.param.name; });

TEST_F(TransportTest, LateAnswerOfEarlierCommandIsDropped) {
  port.Queue({0xFB, 0x02});
  port.On({0xFA, 0x01}, {0xFB, 0x01});
  EXPECT_EQ(ctx->StartMotor(), 507);
  EXPECT_EQ(port.Pending(), 0u);
}

}  // namespace
}  // namespace omr::test
