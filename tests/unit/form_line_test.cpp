#include "form/form_line.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <limits>
#include <locale>
#include <string>

namespace omr::test {
namespace {

constexpr std::int32_t kMax32 = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin32 = std::numeric_limits<std::int32_t>::min();

// ---- Envelope -------------------------------------------------------------

struct EnvelopeCase {
  const char* text;
  bool formLine;
};

class EnvelopeTest : public ::testing::TestWithParam<EnvelopeCase> {};

TEST_P(EnvelopeTest, Classifies) {
  EXPECT_EQ(IsFormLine(GetParam().text), GetParam().formLine) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    FormLine, EnvelopeTest,
    ::testing::Values(EnvelopeCase{"\"M/x", false},  // exactly 4 characters
                      EnvelopeCase{"\"M 1/", true}, EnvelopeCase{"\"G 03 02 02 05\"", false},
                      EnvelopeCase{"\"B 01/\"", false}, EnvelopeCase{"\"m 001 02 03/\"", false},
                      EnvelopeCase{"\" 001 02/\"", false}, EnvelopeCase{" \"M 001/\"", false},
                      EnvelopeCase{"M 001 02 03/", false}, EnvelopeCase{"", false}));

TEST(Envelope, EveryCommandLetterAndNoOther) {
  for (int c = 1; c < 256; ++c) {
    const char line[] = {'"', static_cast<char>(c), ' ', '1', '/', '"', '\0'};
    const bool command = std::strchr("CDEFGHLMTVX+*", c) != nullptr;
    EXPECT_EQ(IsFormLine(line), command) << "letter " << c;
  }
  EXPECT_FALSE(IsFormLine(nullptr));
}

// ---- Numbers ----------------------------------------------------------------

struct NumberCase {
  const char* line;
  std::size_t column;
  std::int32_t value;
};

class NumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberTest, Reads) {
  EXPECT_EQ(ReadFormNumber(GetParam().line, GetParam().column), GetParam().value) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    FormLine, NumberTest,
    ::testing::Values(NumberCase{"\"H 12/", 2, 12}, NumberCase{"\"H \t 12/", 2, 12},
                      NumberCase{"\"H +7/", 2, 7}, NumberCase{"\"H -7/", 2, -7}, NumberCase{"\"H - 7/", 2, 0},
                      NumberCase{"\"H x7/", 2, 0}, NumberCase{"\"H 1234", 9, 0},  // past the end
                      NumberCase{"\"H 12a34/", 2, 12},
                      // Beyond 32 bits the value saturates.
                      NumberCase{"\"H 2147483647/", 2, kMax32}, NumberCase{"\"H 2147483648/", 2, kMax32},
                      NumberCase{"\"H 99999999999999999999999/", 2, kMax32},
                      NumberCase{"\"H -2147483648/", 2, kMin32}, NumberCase{"\"H -2147483649/", 2, kMin32},
                      NumberCase{"\"H -99999999999999999999999/", 2, kMin32}));

struct DecimalCase {
  const char* text;
  double value;
};

class DecimalTest : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(DecimalTest, Reads) {
  EXPECT_DOUBLE_EQ(ReadFormDecimal(GetParam().text, 0), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(FormLine, DecimalTest,
                         ::testing::Values(DecimalCase{"0.50", 0.5}, DecimalCase{"  -1.25 ", -1.25},
                                           DecimalCase{"+.5", 0.5}, DecimalCase{"5.", 5.0},
                                           DecimalCase{"1e2", 100.0}, DecimalCase{"2.5E-1", 0.25},
                                           DecimalCase{"7e", 7.0}, DecimalCase{"0,50", 0.0},
                                           DecimalCase{"inf", 0.0}, DecimalCase{"nan", 0.0},
                                           DecimalCase{".", 0.0}, DecimalCase{"-", 0.0},
                                           DecimalCase{"x1", 0.0}, DecimalCase{"0x10", 0.0},
                                           DecimalCase{"1e999", 0.0}, DecimalCase{"", 0.0}));

// Switches the C and C++ locales to one whose decimal point is a comma, and back.
class CommaLocale {
 public:
  CommaLocale() {
    saved_ = std::setlocale(LC_ALL, nullptr);
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8", "fr_FR",
                             "nl_NL.UTF-8", "ru_RU.UTF-8", "es_ES.UTF-8", "it_IT.UTF-8"}) {
      if (std::setlocale(LC_ALL, name) != nullptr &&
          std::strcmp(std::localeconv()->decimal_point, ",") == 0) {
        try {
          std::locale::global(std::locale(name));
        } catch (...) {
        }
        active_ = true;
        return;
      }
    }
    std::setlocale(LC_ALL, saved_.c_str());
  }
  ~CommaLocale() {
    std::locale::global(std::locale::classic());
    std::setlocale(LC_ALL, saved_.c_str());
  }
  bool Active() const { return active_; }

 private:
  std::string saved_;
  bool active_ = false;
};

TEST(Decimal, PointIsAFullStopUnderACommaLocale) {
  CommaLocale comma;
  if (!comma.Active()) GTEST_SKIP() << "no locale with a decimal comma is installed";
  double viaC = 0.0;
  ASSERT_EQ(std::sscanf("0,5", "%lf", &viaC), 1);
  ASSERT_DOUBLE_EQ(viaC, 0.5);  // the locale really is in force
  EXPECT_DOUBLE_EQ(ReadFormDecimal("0.50", 0), 0.5);
  EXPECT_DOUBLE_EQ(ReadFormDecimal("-1.25e1", 0), -12.5);
  StarRecord star;
  ASSERT_TRUE(ParseStar("\"* 01 0.50 02/\"", star));
  EXPECT_DOUBLE_EQ(star.second, 0.5);
}

// ---- T, G, L ------------------------------------------------------------------

struct TCase {
  const char* line;
  bool valid;
  char letter;
  std::int32_t number;
  std::int32_t column;
};

class TLineTest : public ::testing::TestWithParam<TCase> {};

TEST_P(TLineTest, ParsesAndStoresEvenWhenInvalid) {
  const TCase& c = GetParam();
  IdentRecord r{'Q', 99, 99};
  EXPECT_EQ(ParseT(c.line, r), c.valid) << c.line;
  EXPECT_EQ(r.letter, c.letter);
  EXPECT_EQ(r.line, c.number);
  EXPECT_EQ(r.column, c.column);
}

INSTANTIATE_TEST_SUITE_P(FormLine, TLineTest,
                         ::testing::Values(TCase{"\"T A 012 34/\"", true, 'A', 12, 34},
                                           TCase{"\"T   012 34/\"", false, ' ', 12, 34},
                                           TCase{"\"T B/\"", true, 'B', 0, 0},
                                           // one column off: the column is read inside the line number
                                           TCase{"\"T A  012 34/\"", true, 'A', 12, 2},
                                           TCase{"\"T \xB0 012 34/\"", true, '\xB0', 12, 34}));

struct GradeCase {
  const char* line;
  bool valid;
  GradeRecord after;
};

class GLineTest : public ::testing::TestWithParam<GradeCase> {};

TEST_P(GLineTest, Parses) {
  const GradeCase& c = GetParam();
  GradeRecord r{9, 9, 9, 9};
  EXPECT_EQ(ParseG(c.line, r), c.valid) << c.line;
  EXPECT_EQ(r.g1, c.after.g1);
  EXPECT_EQ(r.g2, c.after.g2);
  EXPECT_EQ(r.g3, c.after.g3);
  EXPECT_EQ(r.g4, c.after.g4);
}

INSTANTIATE_TEST_SUITE_P(FormLine, GLineTest,
                         ::testing::Values(GradeCase{"\"G 03 02 02 05/\"", true, {3, 2, 2, 5}},
                                           GradeCase{"\"G 00 02 02 05/\"", false, {0, 2, 2, 5}},
                                           GradeCase{"\"G -1 02 02 05/\"", false, {-1, 2, 2, 5}},
                                           GradeCase{"\"G 3 2 2 5/\"", false, {3, 2, 5, 0}},
                                           GradeCase{"\"G  03 02 02 05/\"", true, {3, 3, 2, 2}},
                                           GradeCase{"xG 03 02 02 05/\"", false, {9, 9, 9, 9}}));

struct LengthCase {
  const char* line;
  bool valid;
  LengthRecord after;
};

class LLineTest : public ::testing::TestWithParam<LengthCase> {};

TEST_P(LLineTest, Parses) {
  const LengthCase& c = GetParam();
  LengthRecord r{9, 9, 9};
  EXPECT_EQ(ParseL(c.line, r), c.valid) << c.line;
  EXPECT_EQ(r.l1, c.after.l1);
  EXPECT_EQ(r.l2, c.after.l2);
  EXPECT_EQ(r.l3, c.after.l3);
}

INSTANTIATE_TEST_SUITE_P(FormLine, LLineTest,
                         ::testing::Values(LengthCase{"\"L 070 30 24/\"", true, {70, 30, 24}},
                                           LengthCase{"\"L 070 00 24/\"", false, {70, 0, 24}},
                                           LengthCase{"\"L 070 123 24/\"", true, {70, 123, 3}},
                                           LengthCase{"\"L 70/\"", false, {70, 0, 0}}));

// ---- M -------------------------------------------------------------------------

struct BarCase {
  const char* line;
  bool valid;
  std::int32_t number, first, last;
};

class MLineTest : public ::testing::TestWithParam<BarCase> {};

TEST_P(MLineTest, ParsesOrLeavesTheRecordEmpty) {
  const BarCase& c = GetParam();
  BarRecord r{1, 7, 7, 7};
  EXPECT_EQ(ParseM(c.line, r), c.valid) << c.line;
  EXPECT_EQ(r.line, c.number);
  EXPECT_EQ(r.first, c.first);
  EXPECT_EQ(r.last, c.last);
}

INSTANTIATE_TEST_SUITE_P(FormLine, MLineTest,
                         ::testing::Values(BarCase{"\"M 001 02 03/\"", true, 1, 2, 3},
                                           BarCase{"\"M 001 05 02/\"", true, 1, 5, 2},
                                           BarCase{"\"M -01 -2 03/\"", true, -1, -2, 3},
                                           BarCase{"\"M 001 02 03/\" trailing", true, 1, 2, 3},
                                           BarCase{"\"M 000 02 03/\"", false, 0, 0, 0},
                                           BarCase{"\"M 001 02 00/\"", false, 0, 0, 0},
                                           BarCase{"\"M 01 02 03/\"", false, 0, 0, 0},  // two-digit line
                                           BarCase{"\"M 001 02 03 /\"", false, 0, 0, 0},
                                           BarCase{"\"M 001 02 03/x", false, 0, 0, 0},
                                           BarCase{"\"M 001 02 03/", false, 0, 0, 0},
                                           BarCase{"\"M  01 02 03/\"", true, 1, 2, 3}));

// ---- D -------------------------------------------------------------------------

struct LabelCase {
  const char* line;
  bool valid;
  std::uint8_t id;
  const char* text;
};

class DLineTest : public ::testing::TestWithParam<LabelCase> {};

TEST_P(DLineTest, ParsesOrWritesNothing) {
  const LabelCase& c = GetParam();
  LabelRecord r;
  r.id = 77;
  std::memset(r.text, '#', sizeof r.text - 1);
  EXPECT_EQ(ParseD(c.line, r), c.valid) << c.line;
  EXPECT_EQ(r.id, c.id);
  EXPECT_STREQ(r.text, c.text);
}

const std::string kUntouchedText(kLabelTextSize - 1, '#');
const std::string kQ63(63, 'Q');
const std::string kText63 = "\"D 01 " + kQ63 + "/\"";
const std::string kText64 = "\"D 01 " + std::string(64, 'Q') + "/\"";

INSTANTIATE_TEST_SUITE_P(
    FormLine, DLineTest,
    ::testing::Values(LabelCase{"\"D 05 ABCD/\"", true, 5, "ABCD"}, LabelCase{"\"D 5  AB/\"", true, 5, "AB"},
                      LabelCase{"\"D  05 AB/\"", false, 77, kUntouchedText.c_str()},
                      LabelCase{"\"D 07 /\"", true, 7, ""}, LabelCase{"\"D 07 A B C/ x/\"", true, 7, "A B C"},
                      LabelCase{"\"D 07 ABC\"", true, 7, "ABC\""}, LabelCase{"\"D 07 ", true, 7, ""},
                      LabelCase{"\"D 07", false, 77, kUntouchedText.c_str()},
                      LabelCase{"\"D -1 X/\"", true, 255, "X"},
                      LabelCase{"\"D 99 \xB0\xA1/\"", true, 99, "\xB0\xA1"},
                      LabelCase{"\"D 300 X/\"", false, 77, kUntouchedText.c_str()},
                      LabelCase{"\"D 07A X/\"", false, 77, kUntouchedText.c_str()},
                      LabelCase{kText63.c_str(), true, 1, kQ63.c_str()},
                      LabelCase{kText64.c_str(), false, 77, kUntouchedText.c_str()}));

// ---- F -------------------------------------------------------------------------

struct FieldCase {
  const char* name;
  std::string line;
  bool valid;
  FieldRecord after;
};

std::string FLine(int line, int column, char cellDir, char type, int label, int repeat, char groupDir,
                  int gap) {
  char text[64];
  std::snprintf(text, sizeof text, "\"F%4d%4d%c %c%3d%4d%c %d/\"", line, column, cellDir, type, label, repeat,
                groupDir, gap);
  return text;
}

FieldRecord Field(int line, int column, char cellDir, char type, int label, int repeat, char groupDir,
                  int gap) {
  FieldRecord f;
  f.line = static_cast<std::uint8_t>(line);
  f.column = static_cast<std::uint8_t>(column);
  f.cellDirection = cellDir;
  f.type = type;
  f.labelId = static_cast<std::uint8_t>(label);
  f.repeat = static_cast<std::uint8_t>(repeat);
  f.groupDirection = groupDir;
  f.gap = static_cast<std::uint8_t>(gap);
  return f;
}

const FieldRecord kEmptyField;

class FLineTest : public ::testing::TestWithParam<FieldCase> {};

TEST_P(FLineTest, ParsesOrLeavesTheRecordEmpty) {
  const FieldCase& c = GetParam();
  FieldRecord r = Field(9, 9, 'U', 'S', 9, 9, 'U', 9);
  EXPECT_EQ(ParseF(c.line.c_str(), r), c.valid) << c.line;
  EXPECT_EQ(r.line, c.after.line);
  EXPECT_EQ(r.column, c.after.column);
  EXPECT_EQ(r.cellDirection, c.after.cellDirection);
  EXPECT_EQ(r.type, c.after.type);
  EXPECT_EQ(r.labelId, c.after.labelId);
  EXPECT_EQ(r.repeat, c.after.repeat);
  EXPECT_EQ(r.groupDirection, c.after.groupDirection);
  EXPECT_EQ(r.gap, c.after.gap);
  EXPECT_EQ(r.used, 0);
}

INSTANTIATE_TEST_SUITE_P(
    FormLine, FLineTest,
    ::testing::Values(
        FieldCase{"Valid", FLine(5, 12, 'U', 'S', 1, 4, 'R', 3), true, Field(5, 12, 'U', 'S', 1, 4, 'R', 3)},
        FieldCase{"LowerCaseType", FLine(5, 12, 'D', 'm', 2, 0, 'L', 0), true,
                  Field(5, 12, 'D', 'm', 2, 0, 'L', 0)},
        FieldCase{"TypeB", FLine(5, 12, 'L', 'b', 2, 1, 'D', 0), true, Field(5, 12, 'L', 'b', 2, 1, 'D', 0)},
        FieldCase{"Line300Is44", FLine(300, 12, 'U', 'S', 1, 4, 'R', 3), true,
                  Field(44, 12, 'U', 'S', 1, 4, 'R', 3)},
        FieldCase{"LabelCut", FLine(5, 12, 'U', 'M', 257, 4, 'R', 3), true,
                  Field(5, 12, 'U', 'M', 1, 4, 'R', 3)},
        FieldCase{"Line256", FLine(256, 12, 'U', 'S', 1, 4, 'R', 3), false, kEmptyField},
        FieldCase{"LineZero", FLine(0, 12, 'U', 'S', 1, 4, 'R', 3), false, kEmptyField},
        FieldCase{"ColumnZero", FLine(5, 0, 'U', 'S', 1, 4, 'R', 3), false, kEmptyField},
        FieldCase{"BlankCellDirection", FLine(5, 12, ' ', 'S', 1, 4, 'R', 3), false, kEmptyField},
        FieldCase{"LowerCaseDirection", FLine(5, 12, 'U', 'S', 1, 4, 'r', 3), false, kEmptyField},
        FieldCase{"UnknownType", FLine(5, 12, 'U', 'X', 1, 4, 'R', 3), false, kEmptyField},
        FieldCase{"DirectionPastTheEnd", "\"F   5  12U S/\"", false, kEmptyField},
        // exactly 23 characters: the digit at column 22 is not read
        FieldCase{"Length23", "\"F   5  12U S  1   4R 7", true, Field(5, 12, 'U', 'S', 1, 4, 'R', 0)},
        FieldCase{"Length24", "\"F   5  12U S  1   4R 7/", true, Field(5, 12, 'U', 'S', 1, 4, 'R', 7)},
        FieldCase{"GapOfTwoDigits", "\"F   5  12U S  1   4R 12/\"", true,
                  Field(5, 12, 'U', 'S', 1, 4, 'R', 12)},
        // one column off: the line number runs into the column field
        FieldCase{"ShiftedLine", "\"F 0005  12U S  1   4R 0/\"", false, kEmptyField}),
    [](const auto& info) { return info.param.name; });

// ---- * -------------------------------------------------------------------------

struct StarCase {
  const char* line;
  bool valid;
  StarRecord after;
};

class StarLineTest : public ::testing::TestWithParam<StarCase> {};

TEST_P(StarLineTest, ParsesOrWritesNothing) {
  const StarCase& c = GetParam();
  StarRecord r{9, 9.0, 9};
  EXPECT_EQ(ParseStar(c.line, r), c.valid) << c.line;
  EXPECT_EQ(r.first, c.after.first);
  EXPECT_DOUBLE_EQ(r.second, c.after.second);
  EXPECT_EQ(r.third, c.after.third);
}

INSTANTIATE_TEST_SUITE_P(FormLine, StarLineTest,
                         ::testing::Values(StarCase{"\"* 01 0.50 02/\"", true, {1, 0.5, 2}},
                                           StarCase{"\"* 12 -.25 34/\"", true, {12, -0.25, 34}},
                                           StarCase{"\"* 01 1e-2 02/\"", true, {1, 0.01, 2}},
                                           StarCase{"\"* 01      02/\"", true, {1, 2.0, 2}},
                                           StarCase{"\"* 01 0.50 02 \"", false, {9, 9.0, 9}},
                                           StarCase{"\"* 01 0.50 02/x", false, {9, 9.0, 9}},
                                           StarCase{"\"* 1 0.50 02/\"", false, {9, 9.0, 9}},
                                           StarCase{"\"*01 0.50 02/\"", false, {9, 9.0, 9}}));

// ---- +, H, C, E, X ---------------------------------------------------------------

struct PlusCase {
  const char* line;
  std::int32_t mode;
  char emptyChar;
  char multipleChar;
};

class PlusLineTest : public ::testing::TestWithParam<PlusCase> {};

TEST_P(PlusLineTest, Parses) {
  const PlusCase& c = GetParam();
  CodingRecord r{3, 'e', 'm'};
  ParsePlus(c.line, r);
  EXPECT_EQ(r.mode, c.mode) << c.line;
  EXPECT_EQ(r.emptyChar, c.emptyChar);
  EXPECT_EQ(r.multipleChar, c.multipleChar);
}

INSTANTIATE_TEST_SUITE_P(
    FormLine, PlusLineTest,
    ::testing::Values(PlusCase{"\"+ 2/\"", 2, '.', '>'}, PlusCase{"\"+ 3 */\"", 3, '*', '>'},
                      PlusCase{"\"+ 4 * #/\"", 4, '*', '#'}, PlusCase{"\"+ 9/\"", 4, '.', '>'},
                      PlusCase{"\"+  /\"", 1, '.', '>'}, PlusCase{"\"+ 0/\"", 1, '.', '>'},
                      PlusCase{"\"+ 1 ?/", 1, '?', '>'},
                      PlusCase{"\"+ 2x/\"", 2, '/', '\0'}));  // column 7 past the end

TEST(FormLine, HAndCKeepTheirWidth) {
  EXPECT_EQ(ParseH("\"H 300/\""), 300);
  EXPECT_EQ(ParseH("\"H 70000/\""), 70000 & 0xFFFF);
  EXPECT_EQ(ParseH("\"H -1/\""), 0xFFFF);
  EXPECT_EQ(ParseH("\"H/\""), 0);
  EXPECT_EQ(ParseC("\"C 12/\""), 12);
  EXPECT_EQ(ParseC("\"C 300/\""), 44);
  EXPECT_EQ(ParseC("\"C -1/\""), 255);
}

TEST(FormLine, EAndX) {
  EXPECT_EQ(ParseE("\"E B/\""), 'B');
  EXPECT_EQ(ParseE("\"E  /\""), ' ');
  char from = 'p';
  char to = 'q';
  EXPECT_TRUE(ParseX("\"X A B/\"", from, to));
  EXPECT_EQ(from, 'A');
  EXPECT_EQ(to, 'B');
  EXPECT_FALSE(ParseX("xX C D/\"", from, to));
  EXPECT_EQ(from, 'A');
  EXPECT_EQ(to, 'B');
}

// ---- V -------------------------------------------------------------------------

struct VCase {
  const char* line;
  std::uint8_t level, second, third;
};

class VLineTest : public ::testing::TestWithParam<VCase> {};

TEST_P(VLineTest, Parses) {
  const VCase& c = GetParam();
  ReaderSettings s{1, 2, 3};
  ParseV(c.line, s);
  EXPECT_EQ(s.level, c.level) << c.line;
  EXPECT_EQ(s.second, c.second);
  EXPECT_EQ(s.third, c.third);
}

INSTANTIATE_TEST_SUITE_P(
    FormLine, VLineTest,
    ::testing::Values(VCase{"\"V 08/\"", 8, 164, 255}, VCase{"\"V 16/\"", 16, 100, 255},
                      VCase{"\"V 00/\"", 0, 228, 255}, VCase{"\"V 20/\"", 16, 100, 255},
                      VCase{"\"V -1/\"", 16, 100, 255}, VCase{"\"V 8 /\"", 8, 164, 255},
                      VCase{"\"V 123/\"", 12, 255, 255},  // level from columns 3 and 4 only
                      VCase{"\"V 16 150 200/\"", 16, 150, 200}, VCase{"\"V 16 150/\"", 16, 150, 255},
                      VCase{"\"V 16  150 200/\"", 16, 150, 150}, VCase{"\"V 16 020 200/\"", 16, 255, 200},
                      VCase{"\"V 04 300 400/\"", 4, 44, 144}));

// ---- Canonical lines -----------------------------------------------------------------

TEST(Canonical, ExactTexts) {
  char out[kFormLineBufferSize];
  LabelRecord d;
  d.id = 7;
  std::strcpy(d.text, "AB C");
  FormatD(d, out);
  EXPECT_STREQ(out, "\"D 07 AB C/\"");
  FormatT(0, 0, out);
  EXPECT_STREQ(out, "\"T A 000 00/\"");
  FormatG(GradeRecord{3, 2, 2, 5}, out);
  EXPECT_STREQ(out, "\"G 03 02 02 05/\"");
  FormatM(BarRecord{1, 1, 2, 3}, out);
  EXPECT_STREQ(out, "\"M 001 02 03/\"");
  FormatL(LengthRecord{70, 30, 24}, out);
  EXPECT_STREQ(out, "\"L 070 30 24/\"");
}

TEST(Canonical, ValuesWithinTheirDigitsReadBack) {
  char out[kFormLineBufferSize];
  for (int v : {1, 9, 10, 42, 99}) {
    const GradeRecord g{v, 100 - v, v % 50 + 1, 99};
    FormatG(g, out);
    GradeRecord rg{};
    ASSERT_TRUE(ParseG(out, rg)) << out;
    EXPECT_EQ(rg.g1, g.g1);
    EXPECT_EQ(rg.g2, g.g2);
    EXPECT_EQ(rg.g3, g.g3);
    EXPECT_EQ(rg.g4, g.g4);
  }
  for (int line : {1, 99, 100, 999}) {
    for (int col : {1, 10, 99}) {
      const BarRecord m{1, line, col, 100 - col};
      FormatM(m, out);
      BarRecord rm;
      ASSERT_TRUE(ParseM(out, rm)) << out;
      EXPECT_EQ(rm.line, m.line);
      EXPECT_EQ(rm.first, m.first);
      EXPECT_EQ(rm.last, m.last);
      const LengthRecord l{line, col, 100 - col};
      FormatL(l, out);
      LengthRecord rl;
      ASSERT_TRUE(ParseL(out, rl)) << out;
      EXPECT_EQ(rl.l1, l.l1);
      EXPECT_EQ(rl.l2, l.l2);
      EXPECT_EQ(rl.l3, l.l3);
    }
  }
  for (int id : {0, 5, 99}) {
    LabelRecord d;
    d.id = static_cast<std::uint8_t>(id);
    std::memset(d.text, 'Z', kLabelTextSize - 1);
    FormatD(d, out);
    LabelRecord rd;
    ASSERT_TRUE(ParseD(out, rd)) << out;
    EXPECT_EQ(rd.id, d.id);
    EXPECT_STREQ(rd.text, d.text);
  }
  FormatT(0, 0, out);
  IdentRecord t;
  ASSERT_TRUE(ParseT(out, t));
  EXPECT_EQ(t.letter, 'A');
  EXPECT_EQ(t.line, 0);
  EXPECT_EQ(t.column, 0);
}

TEST(Canonical, WiderValuesDoNotReadBack) {
  char out[kFormLineBufferSize];
  FormatL(LengthRecord{70, 123, 24}, out);
  LengthRecord l;
  ParseL(out, l);
  EXPECT_EQ(l.l2, 123);
  EXPECT_EQ(l.l3, 3);
  FormatM(BarRecord{1, 1000, 2, 3}, out);
  BarRecord m;
  EXPECT_FALSE(ParseM(out, m));
  FormatG(GradeRecord{100, 2, 2, 5}, out);
  GradeRecord g;
  ParseG(out, g);
  EXPECT_EQ(g.g1, 100);
  EXPECT_EQ(g.g2, 0);
  LabelRecord d;
  d.id = 100;
  FormatD(d, out);
  EXPECT_FALSE(ParseD(out, d));
}

}  // namespace
}  // namespace omr::test
