// Grid packing and hashing, and the roster CSV.
#include <gtest/gtest.h>

#include <random>

#include "escape.h"
#include "grid_codec.h"
#include "roster.h"

namespace omr::exam {
namespace {

TEST(GridCodec, Sha256KnownVectors) {
  const std::string abc = "abc";
  EXPECT_EQ(Sha256Hex(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex(nullptr, 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";  // two blocks
  EXPECT_EQ(Sha256Hex(reinterpret_cast<const std::uint8_t*>(two.data()), two.size()),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(GridCodec, RoundTripsAndRefusesDamage) {
  std::mt19937 random(7);
  for (const auto& [lines, columns] :
       std::vector<std::pair<int, int>>{{70, 48}, {1, 2}, {127, 48}, {3, 254}}) {
    SheetGrid grid{lines, columns, std::vector<std::uint8_t>(static_cast<std::size_t>(lines * columns))};
    for (std::uint8_t& c : grid.cells) c = static_cast<std::uint8_t>(random() % 16);
    std::string error;
    ASSERT_TRUE(ValidGrid(grid, error)) << error;
    const std::vector<std::uint8_t> packed = CompressGrid(grid);
    SheetGrid back;
    ASSERT_TRUE(ExpandGrid(lines, columns, packed, back, error)) << error;
    EXPECT_EQ(back.cells, grid.cells);
    EXPECT_EQ(GridHash(back), GridHash(grid));
    std::vector<std::uint8_t> damaged = packed;
    damaged.resize(damaged.size() / 2);
    EXPECT_FALSE(ExpandGrid(lines, columns, damaged, back, error));
    EXPECT_FALSE(ExpandGrid(lines + 1, columns, packed, back, error));  // another size
  }
  std::string error;
  EXPECT_FALSE(ValidGrid({128, 48, std::vector<std::uint8_t>(128 * 48)}, error));
  EXPECT_FALSE(ValidGrid({2, 2, {0, 1, 16, 0}}, error));
  SheetGrid one{2, 2, {0, 1, 2, 3}};
  SheetGrid other = one;
  other.cells[3] = 4;
  EXPECT_NE(GridHash(one), GridHash(other));
}

TEST(Roster, ReadsQuotedFieldsAndCarriesColumns) {
  Roster r;
  std::string error;
  ASSERT_TRUE(ParseRoster(
      "\xEF\xBB\xBFname,id,class\r\n\"Smith, Ann\",1001,7A\r\n\"Lee \"\"Jo\"\"\",1002,\"7\nB\"\n", r, error))
      << error;
  EXPECT_EQ(r.columns, (std::vector<std::string>{"name", "class"}));
  EXPECT_EQ(r.ids, (std::vector<std::string>{"1001", "1002"}));
  EXPECT_EQ(r.rows.at("1001"), (std::vector<std::string>{"Smith, Ann", "7A"}));
  EXPECT_EQ(r.rows.at("1002"), (std::vector<std::string>{"Lee \"Jo\"", "7\nB"}));
  EXPECT_EQ(omr::common::CsvLine({"a,b", "say \"x\"", "plain"}), "\"a,b\",\"say \"\"x\"\"\",plain");
}

TEST(Roster, TheIdColumnInAnyCase) {
  Roster r;
  std::string error;
  ASSERT_TRUE(ParseRoster("Name, ID \nAnn, 1001 \n", r, error)) << error;
  EXPECT_EQ(r.ids, (std::vector<std::string>{"1001"}));
  EXPECT_EQ(r.Name("1001"), "Ann");
  // A roster a project holds already opens as it was taken, spreadsheet IDs and all.
  ASSERT_TRUE(ParseRoster("id,name\n2.0251E+07,Bo\n", r, error, true)) << error;
  EXPECT_EQ(r.ids, (std::vector<std::string>{"2.0251E+07"}));
}

// Text that is not UTF-8 is refused with its line and a way out, or
// converted from the character set named.
TEST(Roster, CharacterSets) {
  const std::string gbk = "id,name\n1,\xD5\xC5\xC8\xFD\n2,\xC0\xEE\xCB\xC4\n";  // 张三, 李四 in GBK
  const std::string latin1 = "id,name\n1,Ann\n2,\xDCmit\n";                     // Ümit in Latin-1
  struct Case {
    const char* name;
    std::string text;
    std::string encoding;
    std::string utf8;  // "" when refused
    std::string says;
  };
  const std::vector<Case> cases = {
      {"UTF-8 as it is", "id,name\n1,\xE5\xBC\xA0\n", "", "id,name\n1,\xE5\xBC\xA0\n", ""},
      {"GBK named", gbk, "gbk", "id,name\n1,\xE5\xBC\xA0\xE4\xB8\x89\n2,\xE6\x9D\x8E\xE5\x9B\x9B\n", ""},
      {"Latin-1 named", latin1, "latin1", "id,name\n1,Ann\n2,\xC3\x9Cmit\n", ""},
      {"GBK not named", gbk, "", "",
       "2:3: this line is not UTF-8 text (byte 0xD5): the roster looks like GBK"},
      {"Latin-1 not named", latin1, "", "",
       "3:3: this line is not UTF-8 text (byte 0xDC): the roster looks like Latin-1"},
      {"the way out", gbk, "", "", "--roster-encoding gbk (or \"roster_encoding\": \"gbk\""},
      {"the converter", gbk, "", "", "iconv -f GBK -t UTF-8 students.csv > students.csv.utf8.csv"},
      {"a byte GBK does not have", "id\n1\xFF\n", "gbk", "",
       "2:2: this line is not gbk text (bytes 0xFF 0x0A)"},
      {"an unknown set", "id\n1\n", "klingon", "", "not a character set"},
  };
  for (const Case& c : cases) {
    std::string out;
    std::string error;
    EXPECT_EQ(RosterToUtf8(c.text, c.encoding, "students.csv", out, error), !c.utf8.empty()) << c.name;
    EXPECT_EQ(out, c.utf8) << c.name;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
  }
}

TEST(Roster, ProblemsNameTheLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"name\nAnn\n", "1:1: the header has no \"id\" column"},
      {"id,name\n1,Ann\n2\n", "3:1: this row has 1 fields, the header 2"},
      {"id,name\n1,\"Ann\n\n2,Bob\n", "quoted field is not closed"},
      {"id\n1\n\n1\n", "4:1: the id 1 is in the roster twice"},
      {"id,name\n,Ann\n", "2:1: this row has no id"},
      {"id,id\n", "1:2: the column \"id\" is named twice"},
      {"ID,name,Id\n", "1:3: two ID columns (\"ID\" and \"Id\")"},
      {"", "the roster is empty"},
      // What spreadsheets do to rosters.
      {"id;name;class\n1;Ann;7A\n",
       "1:1: the header has no \"id\" column: its fields are separated by \";\""},
      {"name\tID\nAnn\t1\n", "separated by tabs"},
      {"id,name\n20251429,Ann\n2.0251E+07,Bob\n",
       "3:1: the id \"2.0251E+07\" is a number a spreadsheet wrote in "
       "scientific notation"},
  };
  for (const auto& [text, says] : cases) {
    Roster r;
    std::string error;
    EXPECT_FALSE(ParseRoster(text, r, error)) << text;
    EXPECT_NE(error.find(says), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace omr::exam
