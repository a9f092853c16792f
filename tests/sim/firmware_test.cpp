#include "sim/firmware.h"

#include <gtest/gtest.h>

#include <cstring>

#include "link/link.h"
#include "read/crc16.h"
#include "config/scramble.h"
#include "sim/sim_port.h"

namespace omr::sim {
namespace {

Bytes ParameterBlock() {
  return {0xFA, 0x21, 0x19, 0x00, '[', 'B', ']', '[',  'L',  70,  30,  24,  ']',  '[', '*',
          0,    0,    0,    0,    ']', '[', 'H', 0xFF, 0xFF, ']', '[', 'C', 0xFF, ']'};
}

class FirmwareTest : public ::testing::Test {
 protected:
  void SetUp() override { port.Open(); }

  // Writes a command and collects every byte the reader sends within `timeoutMs`.
  Bytes Send(const Bytes& command, int timeoutMs = 100) {
    EXPECT_EQ(port.Write(command.data(), static_cast<int>(command.size())), static_cast<int>(command.size()));
    Bytes reply(20000);
    const int n = port.Read(reply.data(), static_cast<int>(reply.size()), timeoutMs);
    reply.resize(static_cast<std::size_t>(n));
    return reply;
  }

  Firmware firmware;
  SimPort port{firmware};
};

struct CommandCase {
  const char* name;
  Bytes command;
  std::size_t replyLength;  // every byte of the exchange, N = 48
  bool acknowledged;        // FB code 01 00
};

class CommandTableTest : public FirmwareTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandTableTest, RepliesWithFramingAndLength) {
  const CommandCase& c = GetParam();
  const Bytes reply = Send(c.command);
  ASSERT_EQ(reply.size(), c.replyLength);
  EXPECT_EQ(reply[0], 0xFB);
  EXPECT_EQ(reply[1], c.command[1]);
  if (c.acknowledged) {
    EXPECT_EQ(reply[2], 1);
    EXPECT_EQ(reply[3], 0);
  }
  EXPECT_EQ(port.GetInQueue(), 0);
}

Bytes UserTextCommand(const Bytes& text) {
  Bytes scrambled = text;
  ScrambleBytes(scrambled.data(), static_cast<int>(scrambled.size()));
  // FA 62, length, scrambled text, CRC.
  Bytes cmd(4 + scrambled.size());
  cmd[0] = 0xFA;
  cmd[1] = 0x62;
  cmd[2] = static_cast<std::uint8_t>(text.size());
  cmd[3] = static_cast<std::uint8_t>(text.size() >> 8);
  std::copy(scrambled.begin(), scrambled.end(), cmd.begin() + 4);
  const std::uint16_t crc = Crc16(scrambled.data(), static_cast<int>(scrambled.size()), 0);
  cmd.push_back(static_cast<std::uint8_t>(crc));
  cmd.push_back(static_cast<std::uint8_t>(crc >> 8));
  return cmd;
}

// The request a host builds to store `block` on a reader whose serial text is `serial`.
Bytes InfoBlockCommand(const char* block, const char* serial) {
  std::uint8_t area[128];
  std::memset(area, ' ', sizeof area);
  std::memcpy(area, block, std::strlen(block));
  ScrambleBytes(area, 128);
  std::uint8_t key[8] = {};
  std::memcpy(key, serial, std::min<std::size_t>(8, std::strlen(serial)));
  ScrambleBytes(key, 8);
  const std::uint16_t crc = Crc16(area, 128, Crc16(key, 8, 0));
  Bytes cmd{0xFA, 0x51};
  cmd.insert(cmd.end(), area, area + 128);
  cmd.push_back(static_cast<std::uint8_t>(crc));
  cmd.push_back(static_cast<std::uint8_t>(crc >> 8));
  return cmd;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandTableTest,
    ::testing::Values(
        CommandCase{"StartMotor", {0xFA, 0x01}, 2, false}, CommandCase{"StopMotor", {0xFA, 0x02}, 2, false},
        CommandCase{"PassSheet", {0xFA, 0x03}, 2, false}, CommandCase{"Probe", {0xFA, 0x04}, 2, false},
        CommandCase{"Action05", {0xFA, 0x05}, 2, false},
        CommandCase{"Settings", {0xFA, 0x06, 0x00, 0xFF, 0xFF}, 2, false},
        CommandCase{"ParameterBlock", ParameterBlock(), 4, true},
        CommandCase{"Clear", {0xFA, 0x23}, 2, false}, CommandCase{"IsReading", {0xFA, 0x25}, 4, false},
        CommandCase{"FetchWithoutSheet", {0xFA, 0x26}, 12, false},
        CommandCase{"StopRead", {0xFA, 0x27}, 2, false},
        CommandCase{"Matrix", {0xFA, 0x29, 0x07}, 6 + 8 * 64, false},
        CommandCase{"Pairs", {0xFA, 0x32, 0x05}, 4 + 46 + 48, false},
        CommandCase{"ChannelBytes", {0xFA, 0x33}, 48 + 4, false},
        CommandCase{"AllPairs", {0xFA, 0x35}, 4 + 46 + 48, false},
        CommandCase{"ChannelWords", {0xFA, 0x41}, 2 * 48 + 6, false},
        CommandCase{"ChannelBlock", {0xFA, 0x42}, 4 + 2 * 48 + 4, false},
        CommandCase{"Action43", {0xFA, 0x43}, 4, true}, CommandCase{"Value44", {0xFA, 0x44}, 6, false},
        CommandCase{"Action45", {0xFA, 0x45}, 4, true}, CommandCase{"GetParameters", {0xFA, 0x46}, 6, false},
        CommandCase{"SetParameters", {0xFA, 0x47, 1, 2, 3, 4}, 4, true},
        CommandCase{"Serial", {0xFA, 0x48}, 20, false}, CommandCase{"Total", {0xFA, 0x4A}, 6, false},
        CommandCase{"SetWord4B", {0xFA, 0x4B, 1, 2, 3, 4}, 4, true},
        CommandCase{"GetWord4C", {0xFA, 0x4C}, 6, false},
        CommandCase{"SetValue4D", {0xFA, 0x4D, 5, 0}, 4, true},
        CommandCase{"ChannelCount", {0xFA, 0x4E}, 4, false},
        CommandCase{"WriteSerial", {0xFA, 0x4F, 1, 2, 3, 4, 5, 6, 7, 8}, 4, true},
        CommandCase{"WriteInfoBlock", InfoBlockCommand("Block", "SIM00001"), 4, true},
        CommandCase{"ReadInfoBlock", {0xFA, 0x52}, 130, false},
        CommandCase{"SetWord53", {0xFA, 0x53, 9, 9, 9, 9}, 4, true},
        CommandCase{"Version", {0xFA, 0x54}, 4, false},
        CommandCase{"Command60", {0xFA, 0x60, 0x24, 0x07}, 4, true},
        CommandCase{"Command61", {0xFA, 0x61, 0x24, 0x07}, 4, true},
        CommandCase{"WriteUserText", UserTextCommand({'a', 'b', 'c'}), 4, true},
        CommandCase{"ReadUserText", {0xFA, 0x63}, 6, false}),
    [](const auto& info) { return info.param.name; });

TEST_F(FirmwareTest, LinkExchangesSucceedAgainstTheModel) {
  CPort* active = &port;
  std::int32_t lastError = 0;
  Link link(active, lastError);
  char version[16] = {};
  ASSERT_TRUE(QueryVersion(link, version));
  EXPECT_STREQ(version, "3.0");
  std::int32_t channels = 0;
  int count = 0;
  ASSERT_TRUE(QueryChannelCount(link, channels, &count));
  EXPECT_EQ(count, 48);
  EXPECT_EQ(ComputeSheetWait(link), 8000);  // third parameter byte 0
  firmware.Config().parameters[2] = 7;
  EXPECT_EQ(ComputeSheetWait(link), 15000);
  const std::uint8_t ack[] = {0xFA, 0x43};
  EXPECT_TRUE(link.Acknowledged(ack, 2, 1000));
}

TEST_F(FirmwareTest, CommandsArriveInPiecesAndStrayBytesAreSkipped) {
  const Bytes version{0x00, 0x7F, 0xFA, 0x54};
  for (std::uint8_t b : version) port.Write(&b, 1);
  std::uint8_t reply[8];
  EXPECT_EQ(port.Read(reply, 8, 50), 4);
  EXPECT_EQ(reply[0], 0xFB);
  EXPECT_EQ(reply[1], 0x54);
  EXPECT_EQ(firmware.StrayBytes(), 2u);
}

TEST_F(FirmwareTest, IncompleteCommandIsDroppedAfterAPause) {
  const Bytes start{0xFA, 0x47, 1};  // three of six bytes
  port.Write(start.data(), 3);
  port.AdvanceMs(2000);
  EXPECT_EQ(Send({0xFA, 0x04}), (Bytes{0xFB, 0x04}));
}

TEST_F(FirmwareTest, UnknownCodeGetsNoAnswer) {
  EXPECT_TRUE(Send({0xFA, 0x99}).empty());
  EXPECT_EQ(Send({0xFA, 0x04}), (Bytes{0xFB, 0x04}));
}

TEST_F(FirmwareTest, SettingsAndParameterBlockAreKeptUntilClear) {
  Send({0xFA, 0x06, 112, 100, 255});
  EXPECT_EQ(firmware.Settings(), (std::array<std::uint8_t, 3>{112, 100, 255}));
  EXPECT_EQ(Send(ParameterBlock()), (Bytes{0xFB, 0x21, 1, 0}));
  ASSERT_TRUE(firmware.ParameterBlock().has_value());
  EXPECT_EQ((*firmware.ParameterBlock())[9], 70);
  Send({0xFA, 0x23});
  EXPECT_EQ(firmware.Settings(), (std::array<std::uint8_t, 3>{0, 255, 255}));
  EXPECT_FALSE(firmware.ParameterBlock().has_value());
}

TEST_F(FirmwareTest, MalformedParameterBlockIsNotAcknowledged) {
  Bytes block = ParameterBlock();
  block[12] = 'x';
  EXPECT_EQ(Send(block), (Bytes{0xFB, 0x21, 0, 0}));
  EXPECT_FALSE(firmware.ParameterBlock().has_value());
}

TEST_F(FirmwareTest, StoredWordsComeBack) {
  Send({0xFA, 0x47, 1, 2, 9, 4});
  EXPECT_EQ(Send({0xFA, 0x46}), (Bytes{0xFB, 0x46, 1, 2, 9, 4}));
  Send({0xFA, 0x4B, 0x78, 0x56, 0x34, 0x12});
  EXPECT_EQ(Send({0xFA, 0x4C}), (Bytes{0xFB, 0x4C, 0x78, 0x56, 0x34, 0x12}));
  Send({0xFA, 0x4D, 0x34, 0x12});
  EXPECT_EQ(firmware.Value4D(), 0x1234);
  Send({0xFA, 0x53, 1, 0, 0, 0});
  EXPECT_EQ(firmware.Word53(), 1u);
  EXPECT_EQ(Send({0xFA, 0x60, 0x24, 0x08}), (Bytes{0xFB, 0x60, 0, 0}));
}

TEST_F(FirmwareTest, SerialIsReturnedAsWritten) {
  Bytes reply = Send({0xFA, 0x48});
  EXPECT_EQ(Bytes(reply.begin() + 2, reply.begin() + 10), (Bytes{'S', 'I', 'M', '0', '0', '0', '0', '1'}));
  EXPECT_EQ(Bytes(reply.begin() + 10, reply.end()), Bytes(10, 0));
  std::uint8_t serial[8] = {'1', '2', '3', '4', '5', '6', '7', '8'};
  ScrambleBytes(serial, 8);
  Bytes write{0xFA, 0x4F};
  write.insert(write.end(), serial, serial + 8);
  EXPECT_EQ(Send(write), (Bytes{0xFB, 0x4F, 1, 0}));
  reply = Send({0xFA, 0x48});
  EXPECT_EQ(Bytes(reply.begin() + 2, reply.begin() + 10), Bytes(serial, serial + 8));
}

TEST_F(FirmwareTest, InfoBlockCrcCoversTheSerialTheHostReads) {
  // Default plain serial.
  EXPECT_EQ(Send(InfoBlockCommand("First block", "SIM00001")), (Bytes{0xFB, 0x51, 1, 0}));
  // A scrambled serial: the host unscrambles it before building the CRC.
  std::uint8_t serial[8] = {'A', 'B', 'C', '1', '2', '3', 0, 0};
  ScrambleBytes(serial, 8);
  Bytes write{0xFA, 0x4F};
  write.insert(write.end(), serial, serial + 8);
  Send(write);
  EXPECT_EQ(Send(InfoBlockCommand("Wrong key", "SIM00001")), (Bytes{0xFB, 0x51, 0, 0}));
  EXPECT_EQ(firmware.CrcRejections(), 1u);
  const Bytes command = InfoBlockCommand("Second block", "ABC123");
  EXPECT_EQ(Send(command), (Bytes{0xFB, 0x51, 1, 0}));
  const Bytes reply = Send({0xFA, 0x52});
  EXPECT_EQ(Bytes(reply.begin() + 2, reply.end()), Bytes(command.begin() + 2, command.begin() + 130));
}

TEST_F(FirmwareTest, UserTextRoundTripsWithItsCrc) {
  const Bytes command = UserTextCommand({'a', 'b', 'c'});
  EXPECT_EQ(Bytes(command.begin(), command.begin() + 7), (Bytes{0xFA, 0x62, 3, 0, 0x72, 0x01, 0x10}));
  EXPECT_EQ(Send(command), (Bytes{0xFB, 0x62, 1, 0}));
  const Bytes reply = Send({0xFA, 0x63});
  ASSERT_EQ(reply.size(), 4u + 3u + 2u);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 7), (Bytes{0xFB, 0x63, 3, 0, 0x72, 0x01, 0x10}));
  const std::uint16_t crc = Crc16(reply.data() + 4, 3, 0);
  EXPECT_EQ(reply[7], crc & 0xFF);
  EXPECT_EQ(reply[8], crc >> 8);

  Bytes damaged = UserTextCommand({'x', 'y'});
  damaged.back() ^= 1;
  EXPECT_EQ(Send(damaged), (Bytes{0xFB, 0x62, 0, 0}));
  EXPECT_EQ(firmware.StoredUserText(), (Bytes{0x72, 0x01, 0x10}));
}

TEST_F(FirmwareTest, EmptyUserTextHasCrcZero) {
  EXPECT_EQ(Send({0xFA, 0x62, 0, 0, 0, 0}), (Bytes{0xFB, 0x62, 1, 0}));
  EXPECT_EQ(Send({0xFA, 0x63}), (Bytes{0xFB, 0x63, 0, 0, 0, 0}));
}

TEST_F(FirmwareTest, SheetsAreReadInOrderWithTheirStatus) {
  firmware.QueueSheet(Sheet{0, {0xFB, 0x26, 1, 1, 1, 0, 0, 0, 0, 0, 0x21, 0x12, 0x34}, "first"});
  firmware.QueueSheet(Sheet{3, {}, "double"});
  firmware.QueueSheet(Sheet{0, {0xFB, 0x26, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "third"});
  EXPECT_EQ(Send({0xFA, 0x24}), (Bytes{0xFB, 0x24, 0, 0}));
  EXPECT_EQ(Send({0xFA, 0x26}), (Bytes{0xFB, 0x26, 1, 1, 1, 0, 0, 0, 0, 0, 0x21, 0x12, 0x34}));
  EXPECT_EQ(Send({0xFA, 0x24}), (Bytes{0xFB, 0x24, 3, 0}));
  EXPECT_EQ(Send({0xFA, 0x26}).size(), 12u);  // no data after a failed read
  EXPECT_EQ(Send({0xFA, 0x2B, 0x34}), (Bytes{0xFB, 0x2B, 0, 0}));
  EXPECT_EQ(firmware.LastReadLine(), 0x34);
  EXPECT_EQ(firmware.SheetsWaiting(), 0u);
  EXPECT_EQ(Send({0xFA, 0x4A}), (Bytes{0xFB, 0x4A, 2, 0, 0, 0}));
}

TEST_F(FirmwareTest, EmptyTrayIsSilentUnlessAStatusIsConfigured) {
  const Bytes start{0xFA, 0x24};
  port.Write(start.data(), 2);
  std::uint8_t reply[4];
  const std::int64_t before = port.NowMs();
  EXPECT_EQ(port.Read(reply, 4, 8000), 0);
  EXPECT_EQ(port.NowMs() - before, 8000);
  firmware.Config().emptyTrayStatus = 16;
  EXPECT_EQ(Send({0xFA, 0x24}), (Bytes{0xFB, 0x24, 16, 0}));
}

TEST_F(FirmwareTest, PassSheetTakesOneUnread) {
  firmware.QueueSheet(Sheet{0, EmptyFrame(), "a"});
  firmware.QueueSheet(Sheet{0, EmptyFrame(), "b"});
  EXPECT_EQ(Send({0xFA, 0x03}), (Bytes{0xFB, 0x03}));
  EXPECT_EQ(firmware.SheetsWaiting(), 1u);
  EXPECT_EQ(firmware.SheetsPassed(), 1u);
  EXPECT_EQ(firmware.Config().totalCounter, 0u);
}

TEST_F(FirmwareTest, FeedDelayHoldsTheStatusReply) {
  firmware.Config().feedDelayMs = 1500;
  firmware.QueueSheet(Sheet{0, EmptyFrame(), "slow"});
  const Bytes start{0xFA, 0x24};
  port.Write(start.data(), 2);
  std::uint8_t reply[4];
  EXPECT_EQ(port.Read(reply, 4, 1000), 0);
  EXPECT_EQ(port.Read(reply, 4, 1000), 4);
  EXPECT_EQ(port.NowMs(), 1500);
}

TEST_F(FirmwareTest, MaintenanceDataFollowsTheChannelCount) {
  firmware.Config().channels = 10;
  EXPECT_EQ(Send({0xFA, 0x41}).size(), 2u * 10 + 6);
  EXPECT_EQ(Send({0xFA, 0x42}).size(), 4u + 2 * 10 + 4);
  EXPECT_EQ(Send({0xFA, 0x33}).size(), 10u + 4);
  firmware.SetMatrix(2, 3, {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F});
  EXPECT_EQ(Send({0xFA, 0x29, 0x30}), (Bytes{0xFB, 0x29, 2, 3, 0, 0, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}));
  EXPECT_EQ(firmware.LastCaptureChannel(), 0x30);
  firmware.SetPairStream({1, 0x10, 0x20});
  EXPECT_EQ(Send({0xFA, 0x35}), (Bytes{0xFB, 0x35, 0, 0, 1, 0x10, 0x20}));
}

}  // namespace
}  // namespace omr::sim
