#include <gtest/gtest.h>

#include "link/link.h"
#include "read/crc16.h"
#include "sim/firmware.h"
#include "sim/sheet_frame.h"
#include "sim/sim_port.h"

namespace omr::sim {
namespace {

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port.Open();
    SheetGrid grid(4, 6);
    grid.Set(2, 3, 11);
    std::string error;
    ASSERT_TRUE(EncodeFrame(grid, nullptr, frame, error)) << error;
  }

  void QueueSheet(std::uint16_t status = 0) { firmware.QueueSheet(Sheet{status, frame, "sheet"}); }

  Bytes Send(const Bytes& command, int timeoutMs = 100) {
    port.Write(command.data(), static_cast<int>(command.size()));
    Bytes reply(4096);
    reply.resize(
        static_cast<std::size_t>(port.Read(reply.data(), static_cast<int>(reply.size()), timeoutMs)));
    return reply;
  }

  Firmware firmware;
  SimPort port{firmware};
  Bytes frame;
};

TEST_F(FaultTest, SilenceOnceThenNormal) {
  firmware.AddFault(0x04, Fault{FaultKind::Silence});
  EXPECT_TRUE(Send({0xFA, 0x04}).empty());
  EXPECT_EQ(Send({0xFA, 0x04}), (Bytes{0xFB, 0x04}));
  EXPECT_EQ(firmware.FaultsPending(), 0u);
}

TEST_F(FaultTest, AlwaysKeepsFiring) {
  firmware.AddFault(0x54, Fault{FaultKind::WrongCode, -1, false});
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Send({0xFA, 0x54}), (Bytes{0xFB, 0x55, 3, 0}));
  EXPECT_EQ(firmware.FaultsPending(), 1u);
  firmware.ClearFaults();
  EXPECT_EQ(Send({0xFA, 0x54}), (Bytes{0xFB, 0x54, 3, 0}));
}

TEST_F(FaultTest, SilenceOnReadLeavesTheSheetInTheTray) {
  QueueSheet();
  firmware.AddFault(0x24, Fault{FaultKind::Silence});
  EXPECT_TRUE(Send({0xFA, 0x24}).empty());
  EXPECT_EQ(firmware.SheetsWaiting(), 1u);
  EXPECT_EQ(Send({0xFA, 0x24}), (Bytes{0xFB, 0x24, 0, 0}));
}

TEST_F(FaultTest, DelayedReplyMissesAShortTimeoutAndStaysForLater) {
  firmware.AddFault(0x46, Fault{FaultKind::Delay, 1500});
  const Bytes query{0xFA, 0x46};
  port.Write(query.data(), 2);
  std::uint8_t reply[6];
  EXPECT_EQ(port.Read(reply, 6, 1000), 0);  // the host gives up
  EXPECT_EQ(port.NowMs(), 1000);
  port.Purge();  // too early: the late reply is still on its way
  EXPECT_EQ(port.Read(reply, 6, 1000), 6);
  EXPECT_EQ(port.NowMs(), 1500);
  EXPECT_EQ(reply[1], 0x46);
}

TEST_F(FaultTest, LaterRepliesDoNotOvertakeADelayedOne) {
  firmware.AddFault(0x04, Fault{FaultKind::Delay, 300});
  const Bytes probe{0xFA, 0x04};
  const Bytes version{0xFA, 0x54};
  port.Write(probe.data(), 2);
  port.Write(version.data(), 2);
  std::uint8_t reply[6];
  ASSERT_EQ(port.Read(reply, 6, 1000), 6);
  EXPECT_EQ(Bytes(reply, reply + 6), (Bytes{0xFB, 0x04, 0xFB, 0x54, 3, 0}));
}

TEST_F(FaultTest, ShortReply) {
  firmware.AddFault(0x4E, Fault{FaultKind::ShortReply});
  EXPECT_EQ(Send({0xFA, 0x4E}), (Bytes{0xFB, 0x4E, 48}));
  firmware.AddFault(0x4E, Fault{FaultKind::ShortReply, 1});
  EXPECT_EQ(Send({0xFA, 0x4E}), (Bytes{0xFB}));
}

TEST_F(FaultTest, ShortFrameFailsTheLinkExchange) {
  QueueSheet();
  firmware.AddFault(0x26, Fault{FaultKind::ShortReply, 8});
  CPort* active = &port;
  std::int32_t lastError = 0;
  Link link(active, lastError);
  const std::uint8_t start[] = {0xFA, 0x24};
  std::uint8_t reply[16];
  ASSERT_TRUE(link.Command(start, 2, reply, 4, 8000));
  const std::uint8_t fetch[] = {0xFA, 0x26};
  EXPECT_FALSE(link.Command(fetch, 2, reply, 10, 2000, PurgeFirst::No));
  EXPECT_EQ(lastError, 8);
}

struct StatusCase {
  const char* name;
  Bytes command;
  int value;
  Bytes reply;
};

class StatusFaultTest : public FaultTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusFaultTest, ReplacesTheStatusWord) {
  const StatusCase& c = GetParam();
  QueueSheet();
  firmware.AddFault(c.command[1], Fault{FaultKind::Status, c.value});
  EXPECT_EQ(Send(c.command), c.reply);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, StatusFaultTest,
    ::testing::Values(StatusCase{"DoublePage", {0xFA, 0x24}, -1, {0xFB, 0x24, 3, 0}},
                      StatusCase{"NoSheet", {0xFA, 0x2B, 1}, 16, {0xFB, 0x2B, 16, 0}},
                      StatusCase{"MatrixDataDropped", {0xFA, 0x29, 1}, 13, {0xFB, 0x29, 8, 64, 13, 0}},
                      StatusCase{"ChannelBlockDataDropped", {0xFA, 0x42}, 16, {0xFB, 0x42, 16, 0}},
                      StatusCase{"Value44", {0xFA, 0x44}, 13, {0xFB, 0x44, 13, 0}},
                      StatusCase{"AckRefused", {0xFA, 0x43}, -1, {0xFB, 0x43, 0, 0}},
                      StatusCase{"SetValueNotOne", {0xFA, 0x4D, 1, 0}, 2, {0xFB, 0x4D, 2, 0}},
                      StatusCase{
                          "FormBlockRefused",
                          {0xFA, 0x21, 0x19, 0, '[', 'B', ']', '[',  'L',  1,   1,   1,   ']',  '[', '*',
                           0,    0,    0,    0, ']', '[', 'H', 0xFF, 0xFF, ']', '[', 'C', 0xFF, ']'},
                          -1,
                          {0xFB, 0x21, 0, 0}}),
    [](const auto& info) { return info.param.name; });

TEST_F(FaultTest, StatusOnReadLeavesTheSheetInTheTray) {
  QueueSheet();
  firmware.AddFault(0x24, Fault{FaultKind::Status, 3});
  EXPECT_EQ(Send({0xFA, 0x24}), (Bytes{0xFB, 0x24, 3, 0}));
  EXPECT_EQ(firmware.SheetsWaiting(), 1u);
}

TEST_F(FaultTest, CorruptedFrameCrcFailsTheDecode) {
  QueueSheet();
  firmware.AddFault(0x26, Fault{FaultKind::CorruptCrc});
  Send({0xFA, 0x24});
  const Bytes damaged = Send({0xFA, 0x26});
  ASSERT_EQ(damaged.size(), frame.size());
  EXPECT_EQ(Bytes(damaged.begin(), damaged.end() - 2), Bytes(frame.begin(), frame.end() - 2));
  DecodedFrame decoded;
  std::string error;
  EXPECT_FALSE(DecodeFrame(damaged, decoded, error));
  EXPECT_EQ(error, "CRC mismatch");
  EXPECT_TRUE(DecodeFrame(Send({0xFA, 0x26}), decoded, error)) << error;  // once
}

TEST_F(FaultTest, CorruptedUserTextCrc) {
  firmware.SetStoredUserText({0x72, 0x01, 0x10});
  firmware.AddFault(0x63, Fault{FaultKind::CorruptCrc});
  const Bytes reply = Send({0xFA, 0x63});
  ASSERT_EQ(reply.size(), 9u);
  const std::uint16_t crc = Crc16(reply.data() + 4, 3, 0);
  EXPECT_NE(reply[7] | reply[8] << 8, crc);
}

TEST_F(FaultTest, OversizeHeaders) {
  QueueSheet();
  Send({0xFA, 0x24});
  firmware.AddFault(0x26, Fault{FaultKind::OversizeHeader});
  Bytes reply = Send({0xFA, 0x26});
  ASSERT_GE(reply.size(), 10u);
  EXPECT_EQ(reply[2], 127);
  EXPECT_EQ(reply[3], 127);
  EXPECT_EQ(reply[4] | reply[5] << 8, 0xFFFF);

  firmware.AddFault(0x26, Fault{FaultKind::OversizeHeader, 7000});
  reply = Send({0xFA, 0x26});
  EXPECT_EQ(reply[4] | reply[5] << 8, 7000);

  firmware.AddFault(0x29, Fault{FaultKind::OversizeHeader});
  reply = Send({0xFA, 0x29, 1});
  EXPECT_EQ(reply[2] * reply[3], 255 * 255);

  firmware.AddFault(0x63, Fault{FaultKind::OversizeHeader, 600});
  reply = Send({0xFA, 0x63});
  EXPECT_EQ(reply[2] | reply[3] << 8, 600);
}

TEST_F(FaultTest, HangUpInTheMiddleOfAFrame) {
  QueueSheet();
  QueueSheet();
  firmware.AddFault(0x26, Fault{FaultKind::HangUp});
  Send({0xFA, 0x24});
  const Bytes part = Send({0xFA, 0x26}, 2000);
  EXPECT_EQ(part.size(), frame.size() / 2);
  EXPECT_EQ(part, Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(part.size())));
  EXPECT_TRUE(port.HungUp());
  const std::int64_t before = port.NowMs();
  std::uint8_t more[4];
  EXPECT_EQ(port.Read(more, 4, 333), 0);
  EXPECT_EQ(port.NowMs(), before);  // a hung-up line answers at once
  const Bytes probe{0xFA, 0x04};
  EXPECT_EQ(port.Write(probe.data(), 2), 0);

  // Reconnecting: a fresh line; the reader kept its tray.
  port.Close(port.GetHandle());
  port.Open();
  EXPECT_FALSE(port.HungUp());
  EXPECT_EQ(Send({0xFA, 0x04}), (Bytes{0xFB, 0x04}));
  EXPECT_EQ(Send({0xFA, 0x24}), (Bytes{0xFB, 0x24, 0, 0}));
  EXPECT_EQ(Send({0xFA, 0x26}), frame);
}

TEST_F(FaultTest, HangUpAfterGivenBytes) {
  firmware.AddFault(0x54, Fault{FaultKind::HangUp, 0});
  EXPECT_TRUE(Send({0xFA, 0x54}).empty());
  EXPECT_TRUE(port.HungUp());
  const CPort& host = port;
  EXPECT_TRUE(host.HungUp());  // what the library sees
}

TEST_F(FaultTest, AfterLetsTheFirstCommandsThrough) {
  Fault fault{FaultKind::Silence};
  fault.after = 2;
  firmware.AddFault(0x04, fault);
  EXPECT_EQ(Send({0xFA, 0x04}), (Bytes{0xFB, 0x04}));
  EXPECT_EQ(Send({0xFA, 0x04}), (Bytes{0xFB, 0x04}));
  EXPECT_TRUE(Send({0xFA, 0x04}).empty());
  EXPECT_EQ(Send({0xFA, 0x04}), (Bytes{0xFB, 0x04}));
  EXPECT_EQ(firmware.FaultsPending(), 0u);
}

TEST_F(FaultTest, DripSendsOneByteAtATime) {
  firmware.AddFault(0x54, Fault{FaultKind::Drip, 100});
  const Bytes cmd{0xFA, 0x54};
  ASSERT_EQ(port.Write(cmd.data(), 2), 2);
  const std::int64_t start = port.NowMs();
  std::uint8_t reply[4] = {};
  // Each 50 ms read brings at most the one byte that came in it.
  int got = 0;
  for (int i = 0; i < 8 && got < 4; ++i) got += port.Read(reply + got, 4 - got, 50);
  EXPECT_EQ(got, 4);
  EXPECT_EQ(Bytes(reply, reply + 4), (Bytes{0xFB, 0x54, 3, 0}));
  EXPECT_EQ(port.NowMs() - start, 300);  // the last byte three steps after the first
}

struct ParseCase {
  const char* text;
  bool ok;
  std::uint8_t code;
  FaultKind kind;
  int value;
  bool once;
  int after = 0;
};

ParseCase Bad(const char* text) {
  return ParseCase{text, false, 0, FaultKind::Silence, -1, true};
}

class ParseFaultTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseFaultTest, Parses) {
  const ParseCase& c = GetParam();
  std::uint8_t code = 0;
  Fault fault;
  std::string error;
  ASSERT_EQ(ParseFault(c.text, code, fault, error), c.ok) << error;
  if (!c.ok) {
    EXPECT_FALSE(error.empty());
    return;
  }
  EXPECT_EQ(code, c.code);
  EXPECT_EQ(fault.kind, c.kind);
  EXPECT_EQ(fault.value, c.value);
  EXPECT_EQ(fault.once, c.once);
  EXPECT_EQ(fault.after, c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseFaultTest,
    ::testing::Values(ParseCase{"26:crc", true, 0x26, FaultKind::CorruptCrc, -1, true},
                      ParseCase{"0x24:delay=500:always", true, 0x24, FaultKind::Delay, 500, false},
                      ParseCase{"24:status=3:once", true, 0x24, FaultKind::Status, 3, true},
                      ParseCase{"26:hangup=40", true, 0x26, FaultKind::HangUp, 40, true},
                      ParseCase{"26:drip=300:always", true, 0x26, FaultKind::Drip, 300, false},
                      ParseCase{"24:hangup=0:after=3", true, 0x24, FaultKind::HangUp, 0, true, 3},
                      ParseCase{"4e:short", true, 0x4E, FaultKind::ShortReply, -1, true},
                      ParseCase{"54:wrong-code", true, 0x54, FaultKind::WrongCode, -1, true},
                      ParseCase{"26:oversize=0x2000", true, 0x26, FaultKind::OversizeHeader, 0x2000, true},
                      ParseCase{"04:silence:always", true, 0x04, FaultKind::Silence, -1, false}, Bad("26"),
                      Bad("zz:crc"), Bad("126:crc"), Bad("26:boom"), Bad("26:crc=1"), Bad("26:delay=-5"),
                      Bad("26:crc:twice"), Bad("24:status:after=x")));

}  // namespace
}  // namespace omr::sim
