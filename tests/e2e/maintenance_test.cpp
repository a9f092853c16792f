// Transport control and maintenance through the exports against the simulated
// reader: motor and sheet commands, the serial number, the info block and the
// user text written and read back, the total counter, the settings words and
// the channel tables and captures.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace omr::e2e {
namespace {

class Maintenance : public SimulatorSuite {
 protected:
  static void SetUpTestSuite() {
    StartSuite(
        {"--form", ExamplePath("exam60.form"), "--random", "8", "--seed", "21", "--empty-status", "16"},
        ExamplePath("exam60.form"));
  }
  static void TearDownTestSuite() { StopSuite(); }

  static int SysCmd(int code, void* arg) { return Omr().MR_SysCmd(code, arg); }
};

TEST_F(Maintenance, MotorAndReadControlAnswerAndLeaveTheLastError) {
  // Code 11 with array 4 sets error 1 without the reader; none of the transport
  // commands clears it.
  std::uint8_t index[4] = {4, 0, 0, 0};
  EXPECT_EQ(SysCmd(11, index), 0);
  EXPECT_EQ(Omr().MR_StartMotor(), 0x01FB);
  EXPECT_EQ(Omr().MR_StopMotor(), 0x02FB);
  EXPECT_EQ(Omr().MR_IsReading(), 0);
  EXPECT_EQ(Omr().MR_StopRead(), 0x27FB);
  EXPECT_EQ(Omr().MR_GetLastError(), 1);
}

TEST_F(Maintenance, PassSheetTakesOneSheetUnreadAndTotalCountsReadSheets) {
  ASSERT_GE(SheetsLeft(), 3u);
  const int total = Omr().MR_ReadTotal();
  EXPECT_EQ(Omr().MR_PassSheet(), 1);
  TakeSheet();  // passed, not read
  ExpectRead(TakeSheet(), ReadEntry::Read, "sheet after the passed one");
  ExpectRead(TakeSheet(), ReadEntry::Read, "next sheet");
  EXPECT_EQ(Omr().MR_ReadTotal(), total + 2);
}

TEST_F(Maintenance, SheetGridOfTheLastRead) {
  ASSERT_GE(SheetsLeft(), 1u);
  ExpectRead(TakeSheet(), ReadEntry::Read, "sheet");
  std::vector<std::uint8_t> grid(2 + 70 * 48 + 8, 0xEE);
  ASSERT_EQ(SysCmd(25, grid.data()), 1);
  EXPECT_EQ(grid[0], 70);
  EXPECT_EQ(grid[1], 48);
  int dark = 0;
  for (int i = 0; i < 70 * 48; ++i) {
    ASSERT_LE(grid[2 + i], 15) << i;
    dark += grid[2 + i] >= 8;
  }
  EXPECT_GT(dark, 70) << "bars, identifying cell and marks";
  EXPECT_EQ(grid[2 + 70 * 48], 0xEE) << "wrote past the grid";
}

TEST_F(Maintenance, SerialNumberWrittenAndReadBack) {
  char serial[32];
  std::memset(serial, 0x5A, sizeof serial);
  ASSERT_GT(Omr().MR_GetSerial(serial), 0);

  char written[9] = "AB123456";
  ASSERT_EQ(SysCmd(18, written), 1);
  EXPECT_STREQ(written, "AB123456") << "the argument is not scrambled in place";
  std::memset(serial, 0x5A, sizeof serial);
  EXPECT_EQ(Omr().MR_GetSerial(serial), 8);
  EXPECT_STREQ(serial, "AB123456");
  EXPECT_EQ(Omr().MR_GetLastError(), 0);
}

TEST_F(Maintenance, InfoBlockWrittenAndReadBack) {
  // The reader checks the block's CRC, which is made over the current serial
  // number and the block: a write it accepts proves both halves.
  char serial[9] = "ZX987654";
  ASSERT_EQ(SysCmd(18, serial), 1);
  for (const char* text : {"Examination office, building 3, room 12", "\x01\x02 not plain text \x7F"}) {
    std::array<char, 128> block;
    block.fill(' ');
    std::memcpy(block.data(), text, std::strlen(text));
    ASSERT_EQ(SysCmd(19, block.data()), 1) << text;
    std::array<char, 140> read;
    read.fill(0x5A);
    ASSERT_EQ(SysCmd(20, read.data()), 1) << text;
    EXPECT_EQ(std::memcmp(read.data(), block.data(), 128), 0) << text;
    EXPECT_EQ(read[128], '\0');
    EXPECT_EQ(read[129], 0x5A) << "wrote past the block";
  }
}

TEST_F(Maintenance, UserTextWrittenAndReadBack) {
  const std::string longest(255, 'w');
  for (const std::string& text : {std::string("Class 7b, spring term"), std::string("x"), std::string(""),
                                  std::string("ab"), longest, std::string("\xB2\xE2\xCA\xD4")}) {
    ASSERT_EQ(SysCmd(28, const_cast<char*>(text.c_str())), 1) << text;
    std::vector<char> read(600, 0x5A);
    ASSERT_EQ(SysCmd(29, read.data()), 1) << text;
    EXPECT_EQ(std::string(read.data()), text);
    // A one-character text is stored with its zero byte and comes back as
    // both, followed by the terminating zero.
    const std::size_t written = text.size() == 1 ? 3 : text.size() + 1;
    EXPECT_EQ(read[written], 0x5A) << "wrote past the text";
  }
}

TEST_F(Maintenance, OneCharacterUserTextTravelsWithAZeroByte) {
  char text[] = "Q";
  ASSERT_EQ(SysCmd(28, text), 1);
  // Stored as two bytes, the character and a zero, so scrambling keeps it.
  EXPECT_NE(sim_->Log().find("host   FA 62 02 00"), std::string::npos) << sim_->Log();
  char read[16];
  std::memset(read, 0x5A, sizeof read);
  ASSERT_EQ(SysCmd(29, read), 1);
  EXPECT_STREQ(read, "Q");
}

TEST_F(Maintenance, OverlongUserTextIsRefusedAndTheStoredOneStays) {
  char kept[] = "kept";
  ASSERT_EQ(SysCmd(28, kept), 1);
  std::string tooLong(256, 'y');
  EXPECT_EQ(SysCmd(28, tooLong.data()), 0);
  char read[600];
  ASSERT_EQ(SysCmd(29, read), 1);
  EXPECT_STREQ(read, "kept");
}

TEST_F(Maintenance, SettingsWordsAndQueries) {
  std::int32_t value = 0;
  ASSERT_EQ(SysCmd(17, &value), 1);
  EXPECT_EQ(value, 48);
  char version[8] = {};
  ASSERT_EQ(SysCmd(23, version), 1);
  EXPECT_STREQ(version, "3.0");

  std::uint32_t word = 0x12345678;
  ASSERT_EQ(SysCmd(14, &word), 1);
  std::uint32_t back = 0;
  ASSERT_EQ(SysCmd(15, &back), 1);
  EXPECT_EQ(back, 0x12345678u);

  std::uint8_t saved[4] = {}, block[4] = {7, 9, 0, 11}, read[4] = {};
  ASSERT_EQ(SysCmd(8, saved), 1);
  ASSERT_EQ(SysCmd(9, block), 1);
  ASSERT_EQ(SysCmd(8, read), 1);
  EXPECT_EQ(std::memcmp(read, block, 4), 0);
  ASSERT_EQ(SysCmd(9, saved), 1);  // the third byte sets the read wait of the next connection

  std::uint16_t value44 = 0;
  ASSERT_EQ(SysCmd(6, &value44), 1);
  EXPECT_EQ(value44, 0x0123);
  std::uint16_t value4D = 5;
  EXPECT_EQ(SysCmd(16, &value4D), 1);
  std::uint32_t word53 = 99;
  EXPECT_EQ(SysCmd(21, &word53), 1);
  for (int code : {5, 7, 22, 26, 27}) EXPECT_EQ(SysCmd(code, nullptr), 1) << code;
  EXPECT_EQ(Omr().MR_GetLastError(), 0);

  // Codes outside 3..30 select nothing.
  std::uint8_t scratch[8] = {};
  EXPECT_EQ(SysCmd(2, scratch), 0);
  EXPECT_EQ(SysCmd(31, scratch), 0);
}

TEST_F(Maintenance, ChannelTablesHaveTheirLengths) {
  // N = 48: code 3 gives 2N+4 bytes, code 4 2N+4, code 12 N+2.
  struct Table {
    int code;
    std::size_t length;
  };
  for (const Table& t : {Table{3, 100}, Table{4, 100}, Table{12, 50}}) {
    std::vector<std::uint8_t> out(t.length + 8, 0xEE);
    ASSERT_EQ(SysCmd(t.code, out.data()), 1) << t.code;
    EXPECT_EQ(out[t.length], 0xEE) << "code " << t.code << " wrote past its table";
    EXPECT_NE(out[t.length - 1], 0xEE) << "code " << t.code << " left its table short";
  }
  // The simulator's tables are counting patterns: words from 512 in steps of 9
  // (code 3), from 700 in steps of 5 (code 4), bytes from 40 (code 12).
  std::vector<std::uint8_t> words(108), block(108), bytes(58);
  ASSERT_EQ(SysCmd(3, words.data()), 1);
  ASSERT_EQ(SysCmd(4, block.data()), 1);
  ASSERT_EQ(SysCmd(12, bytes.data()), 1);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(words[2 * i] | words[2 * i + 1] << 8, 512 + 9 * i) << i;
    EXPECT_EQ(block[2 * i] | block[2 * i + 1] << 8, 700 + 5 * i) << i;
    EXPECT_EQ(bytes[i], 40 + i) << i;
  }
}

TEST_F(Maintenance, RunSearchMatchesTheCapturedMatrix) {
  std::vector<std::uint8_t> matrix(2 + 16378, 0);
  matrix[0] = 0x7F;  // channel: the smaller of 127 and N
  ASSERT_EQ(SysCmd(13, matrix.data()), 1);
  const int rows = matrix[0], columns = matrix[1];
  ASSERT_GT(rows, 0);
  ASSERT_GT(columns, 0);
  EXPECT_NE(sim_->Log().find("host   FA 29 30"), std::string::npos);

  std::vector<std::uint8_t> runs(256, 0xEE);
  ASSERT_EQ(SysCmd(24, runs.data()), 1);
  EXPECT_EQ(runs[0], rows);
  const int entries = runs[2];
  ASSERT_GT(entries, 0);
  EXPECT_EQ(runs[3 + 3 * entries], 0xEE) << "wrote past the run list";
  int greatestStart = 0;
  for (int e = 0; e < entries; ++e) {
    const int r = runs[3 + 3 * e], end = runs[4 + 3 * e], start = runs[5 + 3 * e];
    ASSERT_GE(r, 1);
    ASSERT_LE(r, rows);
    if (e > 0) {
      EXPECT_GT(r, runs[3 * e]) << "rows in increasing order";
    }
    ASSERT_GE(start - end + 1, 10) << "a stretch of at least 10";
    greatestStart = std::max(greatestStart, start);
    // Row r is the r-th row from the end; position x is column x - 1.
    const std::uint8_t* row = &matrix[2 + static_cast<std::size_t>(rows - r) * columns];
    for (int x = end; x <= start; ++x) EXPECT_GT(row[x - 1], 5) << "row " << r << " position " << x;
    // The stretch is bounded by low bytes (or the row's ends).
    if (start < columns) {
      EXPECT_LE(row[start], 5) << "row " << r << " starts at " << start;
    }
    if (end > 1) {
      EXPECT_LE(row[end - 2], 5) << "row " << r << " ends at " << end;
    }
  }
  EXPECT_EQ(runs[1], greatestStart);
}

TEST_F(Maintenance, PairCaptureAndArrayFetch) {
  std::int32_t count = -1;
  ASSERT_EQ(SysCmd(30, &count), 1);
  // The simulator's capture: 46 lead-in bytes, then 16 pairs, pair i behind the
  // marker i % 6 (even i) or 0xF0 + i (odd i), values 6 + 13i % 200 and
  // 6 + (29i + 7) % 200. The library stores them last pair first.
  ASSERT_EQ(count, 16);
  std::array<std::array<std::uint8_t, 24>, 4> arrays;
  for (int a = 0; a < 4; ++a) {
    arrays[a].fill(0xEE);
    arrays[a][0] = static_cast<std::uint8_t>(a);
    ASSERT_EQ(SysCmd(11, arrays[a].data()), 1) << a;
    EXPECT_EQ(arrays[a][16], 0xEE) << "array " << a << " wrote past its pairs";
  }
  for (int m = 0; m < 16; ++m) {
    const int i = 15 - m;
    const int marker = i % 2 ? 0xF0 + i : i % 6;
    EXPECT_EQ(arrays[0][m], 6 + (i * 13) % 200) << m;
    EXPECT_EQ(arrays[1][m], marker) << m;
    EXPECT_EQ(arrays[2][m], 6 + (i * 29 + 7) % 200) << m;
    EXPECT_EQ(arrays[3][m], marker) << m;
  }
  std::uint8_t bad[4] = {0xFF, 0, 0, 0};
  EXPECT_EQ(SysCmd(11, bad), 0);
  EXPECT_EQ(Omr().MR_GetLastError(), 1);
}

TEST_F(Maintenance, ReadingAnEmptyTrayReports16) {
  while (SheetsLeft() > 0) TakeSheet();
  for (std::size_t i = 0; i < 8; ++i)  // whatever the other tests left in the tray
    if (Omr().MR_Read() != 0) break;
  EXPECT_EQ(Omr().MR_Read(), -1);
  EXPECT_EQ(Omr().MR_GetLastError(), 16);
}

}  // namespace
}  // namespace omr::e2e
