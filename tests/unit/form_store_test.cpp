#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "form/form_definition.h"
#include "form/form_line.h"

namespace omr::test {
namespace {

class FormStoreTest : public ::testing::Test {
 protected:
  // The store is large: keep it off the stack.
  std::unique_ptr<FormDefinition> store = std::make_unique<FormDefinition>();
  FormDefinition& forms = *store;

  bool Add(const std::string& line, int face = kFaceA) { return forms.AddLine(line[1], face, line.c_str()); }
  SheetLayout& L(int i) { return forms.Layout(kFaceA, i); }
  void AddAll(std::initializer_list<const char*> lines) {
    for (const char* line : lines) ASSERT_TRUE(Add(line)) << line;
  }
};

// ---- Routing and codes -----------------------------------------------------------

struct RouteCase {
  const char* name;
  std::string line;
  bool stored;
  int errorCode;   // the store's code afterwards
  int layoutCode;  // layout 0's code afterwards
  bool defined;    // layout 0 defined afterwards
};

class RoutingTest : public FormStoreTest, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(RoutingTest, StoresOrRejectsWithItsCode) {
  const RouteCase& c = GetParam();
  EXPECT_EQ(Add(c.line), c.stored);
  EXPECT_EQ(forms.errorCode, c.errorCode);
  EXPECT_EQ(L(0).code, c.layoutCode);
  EXPECT_EQ(L(0).defined != 0, c.defined);
  EXPECT_EQ(forms.currentIndex, 0);
}

INSTANTIATE_TEST_SUITE_P(
    FormStore, RoutingTest,
    ::testing::Values(RouteCase{"ValidT", "\"T A 001 02/\"", true, 0, 0, true},
                      RouteCase{"BlankT", "\"T   001 02/\"", false, 0, 6, false},
                      RouteCase{"ValidG", "\"G 03 02 02 05/\"", true, 0, 0, true},
                      RouteCase{"InvalidG", "\"G 00 02 02 05/\"", false, 6, 6, false},
                      RouteCase{"InvalidL", "\"L 070 00 24/\"", false, 6, 6, false},
                      RouteCase{"ValidM", "\"M 001 02 03/\"", true, 0, 0, true},
                      RouteCase{"InvalidM", "\"M 01 02 03/\"", false, 26, 26, false},
                      RouteCase{"ValidD", "\"D 01 AB/\"", true, 0, 0, true},
                      RouteCase{"InvalidD", "\"D  01 AB/\"", false, 6, 6, false},
                      RouteCase{"LongDText", "\"D 01 " + std::string(64, 'x') + "/\"", false, 6, 6, false},
                      RouteCase{"ValidF", "\"F   5  12U S  1   4R 0/\"", true, 0, 0, true},
                      RouteCase{"InvalidF", "\"F   5  12  S  1   4R 0/\"", false, 25, 25, false},
                      RouteCase{"ValidStar", "\"* 01 0.50 02/\"", true, 0, 0, true},
                      RouteCase{"InvalidStar", "\"* 01 0.50 02 \"", false, 6, 6, false},
                      RouteCase{"Plus", "\"+ 2/\"", true, 0, 0, true},
                      RouteCase{"H", "\"H 12/\"", true, 0, 0, true},
                      RouteCase{"C", "\"C 12/\"", true, 0, 0, true},
                      RouteCase{"E", "\"E B/\"", true, 0, 0, false},
                      RouteCase{"X", "\"X A B/\"", true, 0, 0, false},
                      RouteCase{"XWithoutQuote", "xX A B/\"", false, 6, 6, false},
                      RouteCase{"V", "\"V 08/\"", false, 0, 0, false},
                      RouteCase{"Line255", "\"H 1/" + std::string(250, ' '), true, 0, 0, true},
                      RouteCase{"Line256", "\"H 1/" + std::string(251, ' '), false, 6, 6, false}),
    [](const auto& info) { return info.param.name; });

TEST_F(FormStoreTest, StoredLineKeepsAnEarlierCode) {
  EXPECT_FALSE(Add("\"G 00 02 02 05/\""));
  EXPECT_TRUE(Add("\"L 070 30 24/\""));
  EXPECT_EQ(forms.errorCode, 6);
  forms.errorCode = 23;
  EXPECT_FALSE(Add("\"T   001 02/\""));  // a blank letter leaves the store's code alone
  EXPECT_EQ(forms.errorCode, 23);
}

TEST_F(FormStoreTest, NullLineOrUnknownFaceIsRejected) {
  EXPECT_FALSE(forms.AddLine('H', kFaceA, nullptr));
  EXPECT_EQ(forms.errorCode, 6);
  forms.errorCode = 0;
  EXPECT_FALSE(forms.AddLine('E', 2, "\"E B/\""));
  EXPECT_EQ(forms.errorCode, 6);
  EXPECT_EQ(forms.eLetter[0], 0);
}

// ---- Table limits ------------------------------------------------------------------

TEST_F(FormStoreTest, LabelTableHolds120AndRefusesRedefinition) {
  char line[32];
  for (int i = 0; i < 100; ++i) {
    std::snprintf(line, sizeof line, "\"D %02d L%d/\"", i, i);
    ASSERT_TRUE(Add(line)) << line;
  }
  EXPECT_FALSE(Add("\"D 05 again/\""));
  EXPECT_EQ(forms.errorCode, 23);
  EXPECT_STREQ(L(0).LabelText(5), "L5");
  // Two id columns give only 109 distinct ids (-9 to 99), so the last
  // records are filled directly with ids no line can name.
  for (int i = 100; i < kLabelRecords; ++i) {
    L(0).labels.records[i].used = 1;
    L(0).labels.records[i].id = static_cast<std::uint8_t>(i);
  }
  EXPECT_FALSE(Add("\"D -1 more/\""));  // id 255, not yet used, but the table is full
  EXPECT_EQ(forms.errorCode, 24);
  EXPECT_EQ(L(0).labels.code, 24);
  EXPECT_EQ(L(0).FindLabel(255), nullptr);
}

TEST_F(FormStoreTest, SameLabelIdInAnotherLayoutIsAllowed) {
  AddAll({"\"T A 001 01/\"", "\"D 01 AB/\"", "\"T B 001 02/\"", "\"D 01 CD/\""});
  EXPECT_FALSE(Add("\"D 01 EF/\""));
  EXPECT_EQ(forms.errorCode, 23);
  EXPECT_STREQ(L(0).LabelText(1), "AB");
  EXPECT_STREQ(L(1).LabelText(1), "CD");
}

TEST_F(FormStoreTest, FieldTableHolds350) {
  const std::string valid = "\"F   5  12U S  1   4R 0/\"";
  for (int i = 0; i < kFieldRecords; ++i) ASSERT_TRUE(Add(valid)) << i;
  EXPECT_FALSE(Add(valid));
  EXPECT_EQ(forms.errorCode, 25);
  EXPECT_EQ(L(0).fields.code, 25);
  EXPECT_EQ(L(0).fields.records[kFieldRecords - 1].line, 5);
}

TEST_F(FormStoreTest, BarTableHolds6) {
  for (int i = 0; i < kBarRecords; ++i) ASSERT_TRUE(Add("\"M 001 02 03/\"")) << i;
  EXPECT_FALSE(Add("\"M 001 02 03/\""));
  EXPECT_EQ(forms.errorCode, 26);
}

TEST_F(FormStoreTest, TwentySixLayoutsThenOverflow) {
  char line[32];
  for (int i = 0; i < kLayoutsPerFace; ++i) {
    std::snprintf(line, sizeof line, "\"T %c 001 02/\"", 'A' + i);
    ASSERT_TRUE(Add(line)) << line;
    EXPECT_EQ(forms.currentIndex, i);
  }
  EXPECT_EQ(L(25).ident.letter, 'Z');
  EXPECT_FALSE(Add("\"T a 001 02/\""));
  EXPECT_EQ(forms.errorCode, 2);
  EXPECT_EQ(forms.currentIndex, 25);
  EXPECT_EQ(L(25).ident.letter, 'Z');
  forms.errorCode = 0;
  EXPECT_FALSE(Add("\"T a 001 02/\"", kFaceB));
  EXPECT_EQ(forms.errorCode, 12);
  EXPECT_TRUE(Add("\"L 070 30 24/\""));  // later lines go to layout 25
  EXPECT_EQ(L(25).length.l1, 70);
}

// ---- T and "+" ----------------------------------------------------------------------

TEST_F(FormStoreTest, LinesBeforeTheFirstTBelongToLayoutZero) {
  AddAll({"\"L 070 30 24/\"", "\"T A 005 06/\"", "\"L 060 20 10/\"", "\"T B 007 08/\"", "\"L 050 20 10/\""});
  EXPECT_EQ(L(0).ident.letter, 'A');
  EXPECT_EQ(L(0).length.l1, 60);  // the second L line replaced the first
  EXPECT_EQ(L(1).ident.letter, 'B');
  EXPECT_EQ(L(1).ident.line, 7);
  EXPECT_EQ(L(1).ident.column, 8);
  EXPECT_EQ(L(1).length.l1, 50);
  EXPECT_EQ(forms.currentIndex, 1);
}

TEST_F(FormStoreTest, BlankTOpensALayoutThatTheNextTTakes) {
  AddAll({"\"T A 001 01/\""});
  EXPECT_FALSE(Add("\"T   003 04/\""));
  EXPECT_EQ(forms.currentIndex, 1);
  EXPECT_EQ(L(1).code, 6);
  EXPECT_EQ(L(1).ident.line, 3);
  EXPECT_EQ(L(1).defined, 0);
  EXPECT_TRUE(Add("\"T B 005 06/\""));
  EXPECT_EQ(forms.currentIndex, 1);
  EXPECT_EQ(L(1).ident.letter, 'B');
}

TEST_F(FormStoreTest, PlusBeforeTheFirstTHoldsForEveryLayout) {
  ASSERT_TRUE(Add("\"+ 3 */\""));
  for (int i = 0; i < kLayoutsPerFace; ++i) {
    EXPECT_EQ(L(i).defined, 1) << i;
    EXPECT_EQ(L(i).coding.mode, 3) << i;
    EXPECT_EQ(L(i).coding.emptyChar, '*') << i;
  }
  EXPECT_EQ(forms.Layout(kFaceB, 0).defined, 0);
  AddAll({"\"T A 001 01/\"", "\"T B 001 02/\"", "\"+ 2/\""});
  EXPECT_EQ(L(1).coding.mode, 2);
  EXPECT_EQ(L(0).coding.mode, 3);
  EXPECT_EQ(L(2).coding.mode, 3);
  EXPECT_EQ(forms.CountDefinedLayouts(), kLayoutsPerFace);
  AddAll({"\"L 070 30 24/\""});
  ASSERT_TRUE(forms.SummarizeLengths(kFaceA));
  // the 24 other layouts count with L3 = 0: (0 + 24) / 2
  EXPECT_EQ(forms.parameterBlock[11], 12);
}

// ---- Completion ----------------------------------------------------------------------

TEST_F(FormStoreTest, CompletionGivesLayoutZeroTheLetterA) {
  AddAll({"\"L 070 30 24/\""});
  forms.CompleteLayouts(kFaceA);
  EXPECT_EQ(L(0).ident.letter, 'A');
  EXPECT_EQ(L(0).ident.line, 0);
  EXPECT_EQ(L(0).defined, 1);

  auto empty = std::make_unique<FormDefinition>();
  empty->CompleteLayouts(kFaceA);
  EXPECT_EQ(empty->Layout(kFaceA, 0).ident.letter, 'A');
  EXPECT_EQ(empty->Layout(kFaceA, 0).defined, 1);
  EXPECT_EQ(empty->Layout(kFaceA, 1).defined, 0);
}

TEST_F(FormStoreTest, CompletionCopiesLabelsGradesLengthsAndBars) {
  AddAll({"\"T A 001 01/\"", "\"D 01 AB/\"", "\"D 02 CDE/\"", "\"G 04 03 03 06/\"", "\"L 070 30 24/\"",
          "\"M 001 02 03/\"", "\"M 070 02 03/\"", "\"F   5  12U S  1   4R 0/\"", "\"* 01 0.50 02/\"",
          "\"T B 001 02/\""});
  EXPECT_FALSE(Add("\"G 00 02 02 05/\""));  // layout 1: G1 of 0
  AddAll({"\"T C 001 03/\"", "\"D 05 X/\"", "\"L 050 20 10/\"", "\"T D 001 04/\""});
  forms.errorCode = 0;
  forms.CompleteLayouts(kFaceA);

  // Layout 1 takes everything but fields, star and coding from layout 0.
  EXPECT_STREQ(L(1).LabelText(1), "AB");
  EXPECT_STREQ(L(1).LabelText(2), "CDE");
  EXPECT_EQ(L(1).grade.g1, 4);
  EXPECT_EQ(L(1).grade.g4, 6);
  EXPECT_EQ(L(1).length.l1, 70);
  EXPECT_EQ(L(1).bars.records[1].line, 70);
  EXPECT_EQ(L(1).fields.records[0].used, 0);
  EXPECT_EQ(L(1).star.first, 0);
  // Layout 2 keeps its own labels and length but inherits what layout 1 inherited.
  EXPECT_STREQ(L(2).LabelText(5), "X");
  EXPECT_EQ(L(2).LabelLength(1), 0);
  EXPECT_EQ(L(2).length.l1, 50);
  EXPECT_EQ(L(2).bars.records[0].line, 1);
  EXPECT_EQ(L(2).grade.g1, 3);  // its own G, never invalid
  // Layout 3 inherits from layout 2.
  EXPECT_STREQ(L(3).LabelText(5), "X");
  EXPECT_EQ(L(3).length.l1, 50);
  EXPECT_EQ(L(3).length.l3, 10);
  // Nothing past the last defined layout.
  EXPECT_EQ(L(4).defined, 0);
  EXPECT_EQ(L(4).length.l1, 0);
  EXPECT_EQ(forms.errorCode, 0);
}

TEST_F(FormStoreTest, CompletionStopsAtTheFirstUndefinedLayout) {
  AddAll({"\"T A 001 01/\"", "\"L 070 30 24/\""});
  L(2).defined = 1;  // a gap at layout 1
  forms.CompleteLayouts(kFaceA);
  EXPECT_EQ(L(2).length.l1, 0);
}

TEST_F(FormStoreTest, CompletionRejectionMarksOnlyTheReceivingLayout) {
  AddAll({"\"T A 001 01/\"", "\"D 01 AB/\"", "\"L 070 30 24/\"", "\"T B 001 02/\"",
          "\"D 01 /\""});  // first label empty
  forms.CompleteLayouts(kFaceA);
  EXPECT_EQ(L(1).code, 23);
  EXPECT_EQ(forms.errorCode, 0);
  EXPECT_STREQ(L(1).LabelText(1), "");
}

TEST_F(FormStoreTest, LengthPassCopiesAnEmptyLengthAsAnInvalidLine) {
  AddAll({"\"T A 001 01/\"", "\"T B 001 02/\""});
  forms.CompleteLayouts(kFaceA);
  EXPECT_EQ(L(1).code, 6);
  EXPECT_EQ(L(1).length.l1, 0);
  EXPECT_EQ(forms.errorCode, 0);
}

TEST_F(FormStoreTest, WideValuesDoNotSurviveTheCopy) {
  AddAll({"\"T A 001 01/\"", "\"L 070 123 24/\"", "\"T B 001 02/\""});
  forms.CompleteLayouts(kFaceA);
  EXPECT_EQ(L(1).length.l2, 123);
  EXPECT_EQ(L(1).length.l3, 3);
}

// ---- Length summary ----------------------------------------------------------------------

TEST_F(FormStoreTest, SummaryOfOneTwoAndNoLayouts) {
  EXPECT_FALSE(forms.SummarizeLengths(kFaceA));
  EXPECT_EQ(forms.errorCode, 1);
  EXPECT_EQ(forms.parameterBlock[9], 74);
  EXPECT_EQ(forms.parameterBlock[10], 30);
  EXPECT_EQ(forms.parameterBlock[11], 24);

  AddAll({"\"T A 001 01/\"", "\"L 070 30 24/\""});
  EXPECT_TRUE(forms.SummarizeLengths(kFaceA));
  EXPECT_EQ(forms.errorCode, 0);
  EXPECT_EQ(forms.parameterBlock[9], 70);
  EXPECT_EQ(forms.parameterBlock[10], 30);
  EXPECT_EQ(forms.parameterBlock[11], 24);

  AddAll({"\"T B 001 02/\"", "\"L 060 20 10/\""});
  EXPECT_TRUE(forms.SummarizeLengths(kFaceA));
  EXPECT_EQ(forms.parameterBlock[9], 70);
  EXPECT_EQ(forms.parameterBlock[10], 30);
  EXPECT_EQ(forms.parameterBlock[11], 17);
}

TEST_F(FormStoreTest, SummaryKeepsLowBitsAndTruncatesTowardZero) {
  AddAll({"\"T A 001 01/\"", "\"L 300 30 24/\"", "\"T B 001 02/\""});
  EXPECT_FALSE(Add("\"L 060 20 -5/\""));  // stored though invalid
  ASSERT_TRUE(forms.SummarizeLengths(kFaceA));
  EXPECT_EQ(forms.parameterBlock[9], 44);
  EXPECT_EQ(forms.parameterBlock[11], (24 - 5) / 2);
  L(0).length.l3 = 0;
  ASSERT_TRUE(forms.SummarizeLengths(kFaceA));
  EXPECT_EQ(forms.parameterBlock[11], static_cast<std::uint8_t>(-2));  // -5 / 2
  L(0).length.l3 = 2147483647;
  L(1).length.l3 = 2147483647;
  ASSERT_TRUE(forms.SummarizeLengths(kFaceA));
  // the smallest L3 starts at 256: (256 + 2147483647) / 2 without overflow
  EXPECT_EQ(forms.parameterBlock[11], static_cast<std::uint8_t>((256LL + 2147483647LL) / 2));
}

// ---- Parameter block, H and C --------------------------------------------------------------

TEST_F(FormStoreTest, StarHAndCLinesWriteTheParameterBlock) {
  AddAll({"\"T A 001 01/\"", "\"* 12 0.50 34/\"", "\"H 4660/\"", "\"C 300/\""});
  const std::uint8_t expected[kFormParameterBlockSize] = {
      0xFA, 0x21, 0x19, 0x00, 0x5B, 0x42, 0x5D, 0x5B, 0x4C, 0,    0,    0,    0x5D, 0x5B, 0x2A,
      12,   0x88, 0x13, 34,   0x5D, 0x5B, 0x48, 0x34, 0x12, 0x5D, 0x5B, 0x43, 44,   0x5D};
  for (int i = 0; i < kFormParameterBlockSize; ++i)
    EXPECT_EQ(forms.parameterBlock[i], expected[i]) << "byte " << i;
  EXPECT_EQ(L(0).hValue, 0x1234);
  EXPECT_EQ(L(0).cValue, 44);
  EXPECT_EQ(L(0).star.third, 34);
}

struct StarBytesCase {
  const char* line;
  std::uint8_t b15, b16, b17, b18;
};

class StarBytesTest : public FormStoreTest, public ::testing::WithParamInterface<StarBytesCase> {};

TEST_P(StarBytesTest, Writes) {
  const StarBytesCase& c = GetParam();
  ASSERT_TRUE(Add(c.line));
  EXPECT_EQ(forms.parameterBlock[15], c.b15);
  EXPECT_EQ(forms.parameterBlock[16], c.b16);
  EXPECT_EQ(forms.parameterBlock[17], c.b17);
  EXPECT_EQ(forms.parameterBlock[18], c.b18);
}

INSTANTIATE_TEST_SUITE_P(FormStore, StarBytesTest,
                         ::testing::Values(StarBytesCase{"\"* 01 0.50 02/\"", 1, 0x88, 0x13, 2},
                                           // -2500: the high byte is -2500 / 256 = -9, not -10
                                           StarBytesCase{"\"* -1 -.25 -2/\"", 0xFF, 0x3C, 0xF7, 0xFE},
                                           StarBytesCase{"\"* 99 2.55 99/\"", 99, 0x9C, 0x63, 99},
                                           // 2.01 * 10000 is just below 20100: truncated to 20099
                                           StarBytesCase{"\"* 01 2.01 02/\"", 1, 0x83, 0x4E, 2},
                                           StarBytesCase{"\"* 01 9e99 02/\"", 1, 0xFF, 0xFF, 2}));

TEST_F(FormStoreTest, LastStarLineWinsAndInvalidOnesWriteNothing) {
  AddAll({"\"T A 001 01/\"", "\"* 01 0.50 02/\"", "\"T B 001 02/\"", "\"* 03 0.10 04/\""});
  EXPECT_FALSE(Add("\"* 05 0.20 06 \""));
  EXPECT_EQ(forms.parameterBlock[15], 3);
  EXPECT_EQ(forms.parameterBlock[16], 1000 & 0xFF);
  EXPECT_EQ(forms.parameterBlock[18], 4);
  EXPECT_EQ(L(0).star.first, 1);
  EXPECT_EQ(L(1).star.first, 3);
}

// ---- E, X and SelectLayout --------------------------------------------------------------------

TEST_F(FormStoreTest, EAndXSetPerFaceValues) {
  AddAll({"\"E B/\"", "\"X A Q/\""});
  EXPECT_EQ(forms.eLetter[kFaceA], 'B');
  EXPECT_EQ(forms.xFrom[kFaceA], 'A');
  EXPECT_EQ(forms.xTo[kFaceA], 'Q');
  EXPECT_EQ(forms.CountDefinedLayouts(), 0);
}

struct SelectCase {
  const char* name;
  const char* eLine;  // null: no E line
  int layoutsWithLetters;
  int expected;  // index, -1 for none
  int errorCode;
};

class SelectTest : public FormStoreTest, public ::testing::WithParamInterface<SelectCase> {};

TEST_P(SelectTest, Selects) {
  const SelectCase& c = GetParam();
  char line[32];
  for (int i = 0; i < c.layoutsWithLetters; ++i) {
    std::snprintf(line, sizeof line, "\"T %c 001 02/\"", 'A' + i);
    ASSERT_TRUE(Add(line));
  }
  if (c.eLine) {
    ASSERT_TRUE(Add(c.eLine));
  }
  forms.SelectLayout(kFaceA);
  EXPECT_EQ(forms.selected[kFaceA], c.expected < 0 ? nullptr : &L(c.expected));
  EXPECT_EQ(forms.errorCode, c.errorCode);
}

INSTANTIATE_TEST_SUITE_P(FormStore, SelectTest,
                         ::testing::Values(SelectCase{"ELetterFound", "\"E C/\"", 3, 2, 0},
                                           SelectCase{"ELetterNotFound", "\"E Q/\"", 3, 0, 0},
                                           SelectCase{"BlankELetter", "\"E  /\"", 3, 3, 0},
                                           SelectCase{"NoELetter", nullptr, 3, 0, 0},
                                           SelectCase{"NothingDefined", nullptr, 0, -1, 1},
                                           SelectCase{"ELetterNothingDefined", "\"E Q/\"", 0, -1, 1}),
                         [](const auto& info) { return info.param.name; });

// ---- Reset -----------------------------------------------------------------------------------

TEST_F(FormStoreTest, ResetKeepsGradesAndCoding) {
  AddAll({"\"T A 001 01/\"", "\"G 10 11 12 13/\"", "\"+ 3 * #/\"", "\"D 01 AB/\"", "\"M 001 02 03/\"",
          "\"F   5  12U S  1   4R 0/\"", "\"* 12 0.50 34/\"", "\"H 4660/\"", "\"C 7/\"", "\"E B/\"",
          "\"X A Q/\"", "\"T B 001 02/\""});
  EXPECT_FALSE(Add("\"D  01 bad/\""));
  forms.SelectLayout(kFaceA);
  forms.ResetForms();

  const SheetLayout& l = L(0);
  EXPECT_EQ(l.grade.g1, 10);
  EXPECT_EQ(l.grade.g4, 13);
  EXPECT_EQ(l.coding.mode, 3);
  EXPECT_EQ(l.coding.emptyChar, '*');
  EXPECT_EQ(l.coding.multipleChar, '#');
  EXPECT_EQ(l.ident.letter, ' ');
  EXPECT_EQ(l.defined, 0);
  EXPECT_EQ(l.labels.records[0].used, 0);
  EXPECT_EQ(l.bars.records[0].used, 0);
  EXPECT_EQ(l.fields.records[0].used, 0);
  EXPECT_EQ(l.hValue, 0xFFFF);
  EXPECT_EQ(l.cValue, 255);
  EXPECT_EQ(L(1).code, 0);
  EXPECT_EQ(L(1).grade.g1, 3);  // never given a G line
  EXPECT_EQ(forms.eLetter[kFaceA], 0);
  EXPECT_EQ(forms.xFrom[kFaceA], 0);
  EXPECT_EQ(forms.selected[kFaceA], nullptr);
  EXPECT_EQ(forms.currentIndex, 0);
  EXPECT_EQ(forms.errorCode, 0);
  EXPECT_EQ(forms.parameterBlock[15], 0);
  EXPECT_EQ(forms.parameterBlock[22], 0xFF);
  EXPECT_EQ(forms.parameterBlock[27], 0xFF);
}

}  // namespace
}  // namespace omr::test
