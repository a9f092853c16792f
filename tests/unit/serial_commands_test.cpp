#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "api/driver_context.h"
#include "config/scramble.h"
#include "read/crc16.h"
#include "scripted_port.h"

namespace omr::test {
namespace {

constexpr std::uint8_t kFill = 0xEE;

Bytes Scrambled(Bytes b) {
  ScrambleBytes(b.data(), static_cast<int>(b.size()));
  return b;
}

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

Bytes CrcBytes(const Bytes& data) {
  const std::uint16_t crc = Crc16(data.data(), static_cast<int>(data.size()), 0);
  return {static_cast<std::uint8_t>(crc & 0xFF), static_cast<std::uint8_t>(crc >> 8)};
}

Bytes Concat(std::initializer_list<Bytes> pieces) {
  Bytes all;
  for (const Bytes& p : pieces) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes SerialReply(const Bytes& field) {
  Bytes reply = Concat({{0xFB, 0x48}, field});
  reply.resize(20, 0x00);
  return reply;
}

class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx->activePort = &port;
    ctx->lastError = 5;
  }
  void TearDown() override { ctx->activePort = nullptr; }

  std::vector<std::uint8_t> Out(std::size_t size) { return std::vector<std::uint8_t>(size, kFill); }
  char* Chars(std::vector<std::uint8_t>& v) { return reinterpret_cast<char*>(v.data()); }

  ScriptedPort port;
  std::unique_ptr<DriverContext> ctx = std::make_unique<DriverContext>();
};

// Serial query.
TEST_F(SerialTest, PlainSerialIsReturnedUnchanged) {
  port.On({0xFA, 0x48}, SerialReply(Text("12345678")));
  auto out = Out(19);
  EXPECT_EQ(ctx->GetSerial(Chars(out)), 8);
  EXPECT_STREQ(Chars(out), "12345678");
  EXPECT_EQ(ctx->lastError, 5);
  EXPECT_EQ(port.Purges(), 1);
  ASSERT_EQ(port.Reads().size(), 1u);
  EXPECT_EQ(port.Reads()[0].count, 20);
  EXPECT_EQ(port.Reads()[0].timeoutMs, 333);
}

TEST_F(SerialTest, EighthSerialByteIsNotTested) {
  port.On({0xFA, 0x48}, SerialReply(Text("1234567\x7F")));
  auto out = Out(19);
  EXPECT_EQ(ctx->GetSerial(Chars(out)), 8);
  EXPECT_EQ(out[7], 0x7F);
}

TEST_F(SerialTest, PlainSerialRunsToItsFirstZero) {
  port.On({0xFA, 0x48}, SerialReply(Concat({Text("ABCDEFGHIJ"), {0x00}, Text("XYZ")})));
  auto out = Out(19);
  EXPECT_EQ(ctx->GetSerial(Chars(out)), 10);
  EXPECT_STREQ(Chars(out), "ABCDEFGHIJ");
}

TEST_F(SerialTest, PlainSerialWithoutZeroIsCutAt18Bytes) {
  port.On({0xFA, 0x48}, SerialReply(Bytes(18, 'A')));
  auto out = Out(19);  // exactly the size the caller must provide
  EXPECT_EQ(ctx->GetSerial(Chars(out)), 18);
  EXPECT_EQ(out[17], 'A');
  EXPECT_EQ(out[18], 0);
}

TEST_F(SerialTest, ScrambledSerialIsUnscrambled) {
  const Bytes field = Scrambled(Text("AB123456"));
  ASSERT_FALSE(LooksPlainSerial(field.data()));
  port.On({0xFA, 0x48}, SerialReply(Concat({field, Bytes(10, 'Z')})));
  auto out = Out(19);
  EXPECT_EQ(ctx->GetSerial(Chars(out)), 8);
  EXPECT_STREQ(Chars(out), "AB123456");
}

TEST_F(SerialTest, SerialWithLowerCaseLetterIsUnscrambled) {
  const Bytes field = Text("1a345678");
  Bytes expected = field;
  UnscrambleBytes(expected.data(), 8);
  expected.push_back(0);
  port.On({0xFA, 0x48}, SerialReply(field));
  auto out = Out(19);
  const int length = ctx->GetSerial(Chars(out));
  EXPECT_EQ(length, static_cast<int>(strnlen(reinterpret_cast<const char*>(expected.data()), 8)));
  EXPECT_EQ(Bytes(out.begin(), out.begin() + length + 1),
            Bytes(expected.begin(), expected.begin() + length + 1));
  EXPECT_NE(Bytes(out.begin(), out.begin() + 8), field);
}

TEST_F(SerialTest, ShortScrambledSerialEndsAtItsZero) {
  port.On({0xFA, 0x48}, SerialReply(Scrambled({'X', 'Y', '1', '2', 0, 0, 0, 0})));
  auto out = Out(19);
  EXPECT_EQ(ctx->GetSerial(Chars(out)), 4);
  EXPECT_STREQ(Chars(out), "XY12");
}

struct SerialFault {
  const char* name;
  Bytes reply;
  int writeLimit;
};

class SerialFaultTest : public SerialTest, public ::testing::WithParamInterface<SerialFault> {};

TEST_P(SerialFaultTest, FailsWithCommunicationError) {
  if (GetParam().writeLimit >= 0) port.LimitWrites(GetParam().writeLimit);
  port.On({0xFA, 0x48}, GetParam().reply);
  auto out = Out(19);
  EXPECT_EQ(ctx->GetSerial(Chars(out)), -1);
  EXPECT_EQ(ctx->lastError, 8);
  EXPECT_EQ(out[0], kFill);
}

INSTANTIATE_TEST_SUITE_P(
    Serial, SerialFaultTest,
    ::testing::Values(SerialFault{"NoAnswer", {}, -1}, SerialFault{"OneByte", {0xFB}, -1},
                      SerialFault{"WrongCode", Concat({{0xFB, 0x49}, Text("12345678")}), -1},
                      SerialFault{"ShortWrite", SerialReply(Text("12345678")), 1}),
    [](const auto& info) { return info.param.name; });

TEST_F(SerialTest, SerialWithoutReaderOrBufferTouchesNothing) {
  auto out = Out(19);
  EXPECT_EQ(ctx->GetSerial(nullptr), -1);
  EXPECT_EQ(ctx->lastError, 6);
  ctx->activePort = nullptr;
  EXPECT_EQ(ctx->GetSerial(Chars(out)), -1);
  EXPECT_EQ(ctx->lastError, 8);
  EXPECT_TRUE(port.Writes().empty());
  EXPECT_EQ(out[0], kFill);
}

// Serial write (code 18).
TEST_F(SerialTest, WriteSerialSendsTheScrambledBytes) {
  Bytes serial = Text("12345678");
  port.On(Concat({{0xFA, 0x4F}, Scrambled(serial)}), {0xFB, 0x4F, 0x01, 0x00});
  EXPECT_EQ(ctx->SysCmd(18, serial.data()), 1);
  EXPECT_TRUE(port.ScriptUsedUp()) << Hex(port.AllWritten());
  EXPECT_EQ(serial, Text("12345678"));  // the caller's bytes stay as they were
  EXPECT_EQ(ctx->lastError, 0);
  EXPECT_EQ(port.Reads()[0].timeoutMs, 333);
}

TEST_F(SerialTest, WriteSerialFailures) {
  for (const Bytes& reply : {Bytes{}, Bytes{0xFB, 0x4F, 0x00, 0x00}, Bytes{0xFB, 0x4E, 0x01, 0x00}}) {
    ScriptedPort reader;
    ctx->activePort = &reader;
    ctx->lastError = 5;
    Bytes serial = Text("12345678");
    reader.On({}, reply);
    EXPECT_EQ(ctx->SysCmd(18, serial.data()), 0) << Hex(reply);
    EXPECT_EQ(ctx->lastError, 8);
  }
  ctx->activePort = nullptr;
}

// Information block (codes 19 and 20).
Bytes PlainBlock() {
  Bytes block;
  for (int i = 0; i < 120; ++i) block.push_back(static_cast<std::uint8_t>('A' + i % 26));
  block.resize(128, ' ');
  return block;
}

TEST_F(SerialTest, WriteInfoBlockCrcCoversScrambledSerialAndBlock) {
  Bytes block = PlainBlock();
  const Bytes scrambledBlock = Scrambled(block);
  const Bytes crc = CrcBytes(Concat({Scrambled(Text("12345678")), scrambledBlock}));
  port.On({0xFA, 0x48}, SerialReply(Text("12345678")))
      .On(Concat({{0xFA, 0x51}, scrambledBlock, crc}), {0xFB, 0x51, 0x01, 0x00});
  EXPECT_EQ(ctx->SysCmd(19, block.data()), 1);
  EXPECT_TRUE(port.Mismatches().empty()) << port.Mismatches().front();
  EXPECT_TRUE(port.ScriptUsedUp());
  EXPECT_EQ(block, PlainBlock());
  EXPECT_EQ(ctx->lastError, 0);
  ASSERT_EQ(port.Writes().size(), 2u);
  EXPECT_EQ(port.Writes()[1].size(), 132u);
  EXPECT_EQ(port.Reads()[1].count, 4);
  EXPECT_EQ(port.Reads()[1].timeoutMs, 1000);
}

TEST_F(SerialTest, WriteInfoBlockTakesEightSerialBytesZeroFilled) {
  struct Case {
    Bytes serialField;
    Bytes crcSerial;
  };
  const Case cases[] = {
      {Text("ABCDEFGHIJ"), Text("ABCDEFGH")},  // longer plain text: first 8
      {Scrambled({'X', 'Y', '1', '2', 0, 0, 0, 0}), {'X', 'Y', '1', '2', 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    ScriptedPort reader;
    ctx->activePort = &reader;
    Bytes block = PlainBlock();
    const Bytes scrambledBlock = Scrambled(block);
    reader.On({0xFA, 0x48}, SerialReply(c.serialField))
        .On(Concat(
                {{0xFA, 0x51}, scrambledBlock, CrcBytes(Concat({Scrambled(c.crcSerial), scrambledBlock}))}),
            {0xFB, 0x51, 0x01, 0x00});
    EXPECT_EQ(ctx->SysCmd(19, block.data()), 1) << Hex(c.crcSerial);
    EXPECT_TRUE(reader.Mismatches().empty()) << reader.Mismatches().front();
  }
  ctx->activePort = nullptr;
}

TEST_F(SerialTest, WriteInfoBlockGoesOnWhenSerialQueryFails) {
  Bytes block = PlainBlock();
  const Bytes scrambledBlock = Scrambled(block);
  const Bytes crc = CrcBytes(Concat({Scrambled(Bytes(8, 0)), scrambledBlock}));
  port.On({0xFA, 0x48}, {}).On(Concat({{0xFA, 0x51}, scrambledBlock, crc}), {0xFB, 0x51, 0x01, 0x00});
  EXPECT_EQ(ctx->SysCmd(19, block.data()), 1);
  EXPECT_TRUE(port.Mismatches().empty()) << port.Mismatches().front();
  EXPECT_EQ(ctx->lastError, 0);
}

TEST_F(SerialTest, WriteInfoBlockRefusedIsCommunicationError) {
  Bytes block = PlainBlock();
  port.On({0xFA, 0x48}, SerialReply(Text("12345678"))).On({}, {0xFB, 0x51, 0x00, 0x00});
  EXPECT_EQ(ctx->SysCmd(19, block.data()), 0);
  EXPECT_EQ(ctx->lastError, 8);
}

TEST_F(SerialTest, ReadInfoBlockPlainIsReturnedUnchanged) {
  port.On({0xFA, 0x52}, Concat({{0xFB, 0x52}, PlainBlock()}));
  auto out = Out(129);
  EXPECT_EQ(ctx->SysCmd(20, out.data()), 1);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 128), PlainBlock());
  EXPECT_EQ(out[128], 0);
  EXPECT_EQ(ctx->lastError, 5);
  EXPECT_EQ(port.Reads()[0].count, 130);
  EXPECT_EQ(port.Reads()[0].timeoutMs, 333);
}

TEST_F(SerialTest, ReadInfoBlockScrambledIsUnscrambled) {
  port.On({0xFA, 0x52}, Concat({{0xFB, 0x52}, Scrambled(PlainBlock())}));
  auto out = Out(129);
  EXPECT_EQ(ctx->SysCmd(20, out.data()), 1);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 128), PlainBlock());
}

TEST_F(SerialTest, ReadInfoBlockPaddedWithZerosCountsAsScrambled) {
  Bytes block = PlainBlock();
  std::fill(block.begin() + 120, block.end(), 0x00);
  Bytes expected = block;
  UnscrambleBytes(expected.data(), 128);
  port.On({0xFA, 0x52}, Concat({{0xFB, 0x52}, block}));
  auto out = Out(129);
  EXPECT_EQ(ctx->SysCmd(20, out.data()), 1);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 128), expected);
  EXPECT_NE(expected, block);
}

TEST_F(SerialTest, ReadInfoBlockShortReplyFails) {
  port.On({0xFA, 0x52}, Concat({{0xFB, 0x52}, Bytes(127, ' ')}));
  auto out = Out(129);
  EXPECT_EQ(ctx->SysCmd(20, out.data()), 0);
  EXPECT_EQ(ctx->lastError, 8);
  EXPECT_EQ(out[0], kFill);
}

// User text (codes 28 and 29).
TEST_F(SerialTest, WriteUserTextSendsLengthScrambledTextAndCrc) {
  port.On(Concat({{0xFA, 0x62, 0x03, 0x00, 0x72, 0x01, 0x10}, CrcBytes({0x72, 0x01, 0x10})}),
          {0xFB, 0x62, 0x01, 0x00});
  char text[] = "abc";
  EXPECT_EQ(ctx->SysCmd(28, text), 1);
  EXPECT_TRUE(port.ScriptUsedUp()) << Hex(port.AllWritten());
  EXPECT_STREQ(text, "abc");
  EXPECT_EQ(ctx->lastError, 5);
  EXPECT_EQ(port.Purges(), 1);
  ASSERT_EQ(port.Reads().size(), 1u);
  EXPECT_EQ(port.Reads()[0].count, 4);
  EXPECT_EQ(port.Reads()[0].timeoutMs, 1000);
}

TEST_F(SerialTest, WriteEmptyUserText) {
  port.On({0xFA, 0x62, 0x00, 0x00, 0x00, 0x00}, {0xFB, 0x62, 0x01, 0x00});
  char text[] = "";
  EXPECT_EQ(ctx->SysCmd(28, text), 1);
  EXPECT_TRUE(port.ScriptUsedUp()) << Hex(port.AllWritten());
}

TEST_F(SerialTest, OneCharacterUserTextGoesOutWithItsZeroByte) {
  const Bytes data = Scrambled({'Q', 0x00});
  port.On(Concat({{0xFA, 0x62, 0x02, 0x00}, data, CrcBytes(data)}), {0xFB, 0x62, 0x01, 0x00});
  char text[] = "Q";
  EXPECT_EQ(ctx->SysCmd(28, text), 1);
  EXPECT_TRUE(port.ScriptUsedUp()) << Hex(port.AllWritten());
}

TEST_F(SerialTest, OneCharacterUserTextReadsBackUnchanged) {
  char text[] = "Q";
  port.On({}, {0xFB, 0x62, 0x01, 0x00});
  ASSERT_EQ(ctx->SysCmd(28, text), 1);
  // What the reader stored is what the host sent after the header.
  const Bytes sent = port.Writes()[0];
  ScriptedPort reader;
  ctx->activePort = &reader;
  reader.On({0xFA, 0x63}, Concat({{0xFB, 0x63}, Bytes(sent.begin() + 2, sent.end())}));
  auto out = Out(8);
  EXPECT_EQ(ctx->SysCmd(29, out.data()), 1);
  EXPECT_STREQ(Chars(out), "Q");
}

TEST_F(SerialTest, LongestUserTextIs255Bytes) {
  std::string text(255, 'x');
  port.On({}, {0xFB, 0x62, 0x01, 0x00});
  EXPECT_EQ(ctx->SysCmd(28, text.data()), 1);
  ASSERT_EQ(port.Writes().size(), 1u);
  EXPECT_EQ(port.Writes()[0].size(), 261u);
  EXPECT_EQ(port.Writes()[0][2], 0xFF);
  EXPECT_EQ(port.Writes()[0][3], 0x00);
}

TEST_F(SerialTest, LongerUserTextIsRefusedUnsent) {
  std::string text(256, 'x');
  EXPECT_EQ(ctx->SysCmd(28, text.data()), 0);
  // An unterminated buffer is not read past its 256th byte.
  std::vector<char> unterminated(256, 'y');
  EXPECT_EQ(ctx->SysCmd(28, unterminated.data()), 0);
  EXPECT_TRUE(port.Writes().empty());
  EXPECT_EQ(ctx->lastError, 5);
}

TEST_F(SerialTest, WriteUserTextFailuresKeepLastError) {
  for (const Bytes& reply :
       {Bytes{}, Bytes{0xFB, 0x62, 0x01}, Bytes{0xFB, 0x62, 0x00, 0x00}, Bytes{0xFB, 0x63, 0x01, 0x00}}) {
    ScriptedPort reader;
    ctx->activePort = &reader;
    reader.On({}, reply);
    char text[] = "abc";
    EXPECT_EQ(ctx->SysCmd(28, text), 0) << Hex(reply);
    EXPECT_EQ(ctx->lastError, 5);
  }
  ctx->activePort = nullptr;
}

TEST_F(SerialTest, WriteUserTextDoesNotTestTheCountWritten) {
  port.LimitWrites(3);
  port.On({}, {0xFB, 0x62, 0x01, 0x00});
  char text[] = "abc";
  EXPECT_EQ(ctx->SysCmd(28, text), 1);
}

TEST_F(SerialTest, ReadUserTextWithoutPurge) {
  port.Queue({0x00});  // a stale byte is not dropped before FA 63
  port.On({0xFA, 0x63}, {});
  auto out = Out(8);
  EXPECT_EQ(ctx->SysCmd(29, out.data()), 0);
  EXPECT_EQ(port.Purges(), 0);
}

TEST_F(SerialTest, ReadUserTextUnscramblesTheStoredBytes) {
  port.On({0xFA, 0x63}, Concat({{0xFB, 0x63, 0x03, 0x00, 0x72, 0x01, 0x10}, CrcBytes({0x72, 0x01, 0x10})}));
  auto out = Out(8);
  EXPECT_EQ(ctx->SysCmd(29, out.data()), 1);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 5), (Bytes{'a', 'b', 'c', 0, kFill}));
  EXPECT_EQ(ctx->lastError, 5);
  EXPECT_EQ(port.Purges(), 0);
  ASSERT_EQ(port.Reads().size(), 3u);
  EXPECT_EQ(port.Reads()[0].count, 4);
  EXPECT_EQ(port.Reads()[0].timeoutMs, 1000);
  EXPECT_EQ(port.Reads()[1].count, 3);
  EXPECT_EQ(port.Reads()[1].timeoutMs, 333);
  EXPECT_EQ(port.Reads()[2].count, 2);
  EXPECT_EQ(port.Reads()[2].timeoutMs, 333);
}

TEST_F(SerialTest, OneByteTextOfAnOlderClientReadsBackAs0x10) {
  port.On({0xFA, 0x63}, Concat({{0xFB, 0x63, 0x01, 0x00, 0x00}, CrcBytes({0x00})}));
  auto out = Out(4);
  EXPECT_EQ(ctx->SysCmd(29, out.data()), 1);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 3), (Bytes{0x10, 0x00, kFill}));
}

TEST_F(SerialTest, EmptyStoredText) {
  port.On({0xFA, 0x63}, {0xFB, 0x63, 0x00, 0x00, 0x00, 0x00});
  auto out = Out(2);
  EXPECT_EQ(ctx->SysCmd(29, out.data()), 1);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], kFill);
}

TEST_F(SerialTest, StoredTextOf512BytesFitsAndLongerIsRefused) {
  std::mt19937 rng(3);
  Bytes stored(512);
  for (auto& b : stored) b = static_cast<std::uint8_t>(rng());
  port.On({0xFA, 0x63}, Concat({{0xFB, 0x63, 0x00, 0x02}, stored, CrcBytes(stored)}));
  auto out = Out(513);
  EXPECT_EQ(ctx->SysCmd(29, out.data()), 1);
  EXPECT_EQ(out[512], 0);

  ScriptedPort reader;
  ctx->activePort = &reader;
  stored.push_back(0x01);
  reader.On({0xFA, 0x63}, Concat({{0xFB, 0x63, 0x01, 0x02}, stored, CrcBytes(stored)}));
  auto refused = Out(514);
  EXPECT_EQ(ctx->SysCmd(29, refused.data()), 0);
  EXPECT_EQ(refused[0], kFill);
  EXPECT_EQ(reader.Reads().size(), 1u);  // the text is never asked for
  EXPECT_EQ(ctx->lastError, 5);
  ctx->activePort = nullptr;
}

struct UserTextFault {
  const char* name;
  Bytes reply;
};

class UserTextFaultTest : public SerialTest, public ::testing::WithParamInterface<UserTextFault> {};

TEST_P(UserTextFaultTest, LeavesArgAndLastErrorUntouched) {
  port.On({0xFA, 0x63}, GetParam().reply);
  auto out = Out(8);
  EXPECT_EQ(ctx->SysCmd(29, out.data()), 0);
  EXPECT_EQ(ctx->lastError, 5);
  EXPECT_EQ(out, Out(8));
}

const Bytes kAbcCrc = CrcBytes({0x72, 0x01, 0x10});

INSTANTIATE_TEST_SUITE_P(
    UserText, UserTextFaultTest,
    ::testing::Values(
        UserTextFault{"WrongCrcLow", Concat({{0xFB, 0x63, 0x03, 0x00, 0x72, 0x01, 0x10},
                                             {static_cast<std::uint8_t>(kAbcCrc[0] ^ 1), kAbcCrc[1]}})},
        UserTextFault{"WrongCrcHigh", Concat({{0xFB, 0x63, 0x03, 0x00, 0x72, 0x01, 0x10},
                                              {kAbcCrc[0], static_cast<std::uint8_t>(kAbcCrc[1] ^ 0x80)}})},
        UserTextFault{"MissingBytes", {0xFB, 0x63, 0x03, 0x00, 0x72, 0x01}},
        UserTextFault{"WrongCode", Concat({{0xFB, 0x62, 0x03, 0x00, 0x72, 0x01, 0x10}, kAbcCrc})},
        UserTextFault{"ShortHeader", {0xFB, 0x63, 0x03}}, UserTextFault{"NoAnswer", {}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace omr::test
