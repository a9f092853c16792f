#include "sim/synth.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "sim/predict.h"
#include "sim_test_util.h"

namespace omr::sim {
namespace {

using test::AddBar;
using test::AddField;
using test::AddLabel;
using test::StartLayout;

std::vector<std::pair<int, int>> Cells(const Question& q) {
  std::vector<std::pair<int, int>> out;
  for (const QuestionCell& c : q.cells) out.emplace_back(c.line, c.column);
  return out;
}

using CellList = std::vector<std::pair<int, int>>;

struct GeometryCase {
  const char* name;
  char cellDirection;
  char groupDirection;
  int gap;
  CellList question0;
  CellList question2;
};

class GeometryTest : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(GeometryTest, CellsAndGroupsMoveAsTheDirectionsSay) {
  const GeometryCase& c = GetParam();
  auto forms = std::make_unique<FormDefinition>();
  SheetLayout& l = StartLayout(*forms, 0, 'A', 60, 0, 0);
  AddLabel(l, 1, "ABC");
  AddField(l, 30, 20, c.cellDirection, 'S', 1, 3, c.groupDirection, c.gap);
  const std::vector<Question> q = LayoutQuestions(l);
  ASSERT_EQ(q.size(), 3u);
  EXPECT_EQ(Cells(q[0]), c.question0);
  EXPECT_EQ(Cells(q[2]), c.question2);
  EXPECT_EQ(q[2].group, 2);
  EXPECT_EQ(q[2].labels, "ABC");
}

INSTANTIATE_TEST_SUITE_P(
    Directions, GeometryTest,
    ::testing::Values(
        // Parallel: step = gap + 3.
        GeometryCase{"UpUp", 'U', 'U', 0, {{30, 20}, {30, 21}, {30, 22}}, {{30, 26}, {30, 27}, {30, 28}}},
        GeometryCase{
            "DownUpGap2", 'D', 'U', 2, {{30, 20}, {30, 19}, {30, 18}}, {{30, 30}, {30, 29}, {30, 28}}},
        GeometryCase{
            "RightRight", 'R', 'R', 1, {{30, 20}, {31, 20}, {32, 20}}, {{38, 20}, {39, 20}, {40, 20}}},
        GeometryCase{
            "LeftRight", 'L', 'R', 0, {{30, 20}, {29, 20}, {28, 20}}, {{36, 20}, {35, 20}, {34, 20}}},
        // Across: step = gap + 1.
        GeometryCase{"UpRight", 'U', 'R', 0, {{30, 20}, {30, 21}, {30, 22}}, {{32, 20}, {32, 21}, {32, 22}}},
        GeometryCase{
            "UpLeftGap1", 'U', 'L', 1, {{30, 20}, {30, 21}, {30, 22}}, {{26, 20}, {26, 21}, {26, 22}}},
        GeometryCase{"DownDown", 'D', 'D', 0, {{30, 20}, {30, 19}, {30, 18}}, {{30, 14}, {30, 13}, {30, 12}}},
        GeometryCase{"RightUp", 'R', 'U', 0, {{30, 20}, {31, 20}, {32, 20}}, {{30, 22}, {31, 22}, {32, 22}}},
        GeometryCase{
            "LeftDownGap3", 'L', 'D', 3, {{30, 20}, {29, 20}, {28, 20}}, {{30, 12}, {29, 12}, {28, 12}}}),
    [](const auto& info) { return info.param.name; });

TEST(GeometryTest, ChainsJoinRecordsUpToTheClosingOne) {
  auto forms = std::make_unique<FormDefinition>();
  SheetLayout& l = StartLayout(*forms, 0, 'A', 60, 0, 0);
  AddLabel(l, 1, "AB");
  AddLabel(l, 2, "CD");
  AddLabel(l, 3, "EFG");
  AddField(l, 5, 1, 'U', 'S', 1, 2, 'R', 0);  // two ordinary questions
  AddField(l, 10, 1, 'U', 'S', 1, 0, 'U', 0);
  AddField(l, 11, 1, 'U', 'S', 2, 0, 'U', 0);
  AddField(l, 12, 1, 'U', 'M', 3, 4, 'R', 0);  // closes the chain; its repeat count is not used further
  AddField(l, 20, 1, 'R', 's', 2, 1, 'U', 0);
  const std::vector<Question> q = LayoutQuestions(l);
  ASSERT_EQ(q.size(), 4u);
  EXPECT_EQ(q[2].labels, "ABCDEFG");
  EXPECT_EQ(q[2].firstRecord, 1);
  EXPECT_EQ(q[2].closingRecord, 3);
  EXPECT_EQ(q[2].type, 'M');
  EXPECT_EQ(q[2].labelId, 3);
  EXPECT_EQ(Cells(q[2]), (CellList{{10, 1}, {10, 2}, {11, 1}, {11, 2}, {12, 1}, {12, 2}, {12, 3}}));
  EXPECT_EQ(Cells(q[3]), (CellList{{20, 1}, {21, 1}}));
}

TEST(GeometryTest, UnclosedChainEndsAtTheLastRecordAndBlanksAreNotOptions) {
  auto forms = std::make_unique<FormDefinition>();
  SheetLayout& l = StartLayout(*forms, 0, 'A', 60, 0, 0);
  AddLabel(l, 1, "A C");
  AddField(l, 5, 1, 'U', 'S', 1, 0, 'U', 0);
  AddField(l, 6, 1, 'U', 'S', 1, 0, 'U', 0);
  AddField(l, 7, 1, 'U', 'S', 9, 0, 'U', 0);  // no such label: no cells
  const std::vector<Question> q = LayoutQuestions(l);
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].closingRecord, 2);
  EXPECT_EQ(q[0].cells.size(), 6u);
  EXPECT_EQ(q[0].Options(), (std::vector<int>{0, 2, 3, 5}));
}

// One question of a given type and label, coded from a mark string.
class CodingTest : public ::testing::Test {
 protected:
  char Code(char type, const char* label, const std::string& marks, int mode = 1) {
    forms = std::make_unique<FormDefinition>();
    SheetLayout& l = StartLayout(*forms, 0, 'A', 20, 0, 0);
    l.coding.mode = mode;
    AddLabel(l, 1, label);
    AddField(l, 5, 1, 'U', type, 1, 1, 'R', 0);
    return CodeQuestion(l, LayoutQuestions(l)[0], marks);
  }
  std::unique_ptr<FormDefinition> forms;
};

TEST_F(CodingTest, SingleChoice) {
  EXPECT_EQ(Code('S', "ABCD", "____"), '.');
  EXPECT_EQ(Code('S', "ABCD", "__1_"), 'C');
  EXPECT_EQ(Code('S', "ABCD", "1__1"), '>');
  EXPECT_EQ(Code('s', "ABCD", "1__1"), '0');
  EXPECT_EQ(Code('s', "ABCD", "_1__"), 'B');
}

TEST_F(CodingTest, WeightedDigits) {
  EXPECT_EQ(Code('B', "8421", "____"), '0');
  EXPECT_EQ(Code('B', "8421", "_1_1"), '5');
  EXPECT_EQ(Code('B', "8421", "1_11"), '>');  // 11
  EXPECT_EQ(Code('b', "8421", "1_11"), 'B');
  EXPECT_EQ(Code('b', "8421", "1111"), 'F');
  EXPECT_EQ(Code('b', "84218421", "11111111"), '\0');  // 30: beyond the table
  EXPECT_EQ(Code('B', "1248", "__11"), '>');
  EXPECT_EQ(Code('B', "1248", "_11_"), '6');
}

TEST_F(CodingTest, MultipleChoice) {
  EXPECT_EQ(Code('m', "ABC", "_1_"), '2');
  EXPECT_EQ(Code('M', "ABC", "_1_", 4), '2');
  EXPECT_EQ(Code('m', "ABCDE", "1___1"), 'A');  // 0x30 + 17
  EXPECT_EQ(Code('M', "ABCD", "1_1_", 3), 'E');
  EXPECT_EQ(Code('M', "ABCD", "____", 3), '*');
  EXPECT_EQ(Code('M', "ABCD", "1_1_", 2), 'F');          // table 2 [5]
  EXPECT_EQ(Code('M', "ABCDE", "____1", 1), 'E');        // table 1 [16]
  EXPECT_EQ(Code('M', "ABCDE", "____1", 2), '\0');       // 16 is beyond table 2
  EXPECT_EQ(Code('M', "01234", "11___", 3), 'C');        // digits from 0: bits 1 and 2
  EXPECT_EQ(Code('M', "12345", "_1___", 3), 'B');        // other digits from 1
  EXPECT_EQ(Code('M', "ABCDEFGH", "1_______", 4), '>');  // eight options
  EXPECT_EQ(Code('m', "ABCDEFGH", "1_______"), '>');
  // A blank label position is not an option: the third cell takes bit 2.
  EXPECT_EQ(Code('m', "A C", "__1"), '2');
}

TEST_F(CodingTest, CodingRecordCharacters) {
  forms = std::make_unique<FormDefinition>();
  SheetLayout& l = StartLayout(*forms, 0, 'A', 20, 0, 0);
  l.coding = CodingRecord{1, '-', '*'};
  AddLabel(l, 1, "ABCD");
  AddField(l, 5, 1, 'U', 'S', 1, 1, 'R', 0);
  const Question q = LayoutQuestions(l)[0];
  EXPECT_EQ(CodeQuestion(l, q, "____"), '-');
  EXPECT_EQ(CodeQuestion(l, q, "11__"), '*');
}

TEST(MarksForCharTest, FewestMarksThatCode) {
  auto forms = test::SmallExam();
  const SheetLayout& l = forms->layouts[kFaceA][0];
  const std::vector<Question> q = LayoutQuestions(l);
  std::vector<int> set;
  ASSERT_TRUE(MarksForChar(l, q[0], 'C', set));
  EXPECT_EQ(set, (std::vector<int>{2}));
  ASSERT_TRUE(MarksForChar(l, q[0], '.', set));
  EXPECT_TRUE(set.empty());
  ASSERT_TRUE(MarksForChar(l, q[0], '>', set));
  EXPECT_EQ(set.size(), 2u);
  ASSERT_TRUE(MarksForChar(l, q[4], '5', set));
  EXPECT_EQ(set, (std::vector<int>{1, 3}));  // 4 + 1
  EXPECT_FALSE(MarksForChar(l, q[0], 'E', set));
}

// 63 weighted options: only the first eight weights count and at most three
// marks are tried, so the search must find the same sets a full one would.
TEST(MarksForCharTest, LongBinaryLabelsGiveTheFewestLowestMarks) {
  auto forms = std::make_unique<FormDefinition>();
  SheetLayout& l = StartLayout(*forms, 0, 'A', 127, 0, 0);
  l.coding = CodingRecord{1, '-', '*'};
  std::string weights;
  for (int i = 0; i < 63; ++i) weights += "8421"[i % 4];
  AddLabel(l, 1, weights.c_str());
  AddField(l, 5, 1, 'U', 'B', 1, 1, 'R', 0);
  AddField(l, 6, 1, 'U', 'b', 1, 1, 'R', 0);
  const std::vector<Question> q = LayoutQuestions(l);
  ASSERT_EQ(q.size(), 2u);
  struct Case {
    int question;
    char wanted;
    bool found;
    std::vector<int> set;
  };
  const Case cases[] = {
      {0, '0', true, {}},        {0, '9', true, {0, 3}}, {0, '7', true, {1, 2, 3}}, {0, '*', true, {0, 1}},
      {1, 'E', true, {0, 1, 2}}, {1, 'F', false, {}},    {1, '0', true, {}},
  };
  for (const Case& c : cases) {
    std::vector<int> set;
    EXPECT_EQ(MarksForChar(l, q[static_cast<std::size_t>(c.question)], c.wanted, set), c.found)
        << c.question << " " << c.wanted;
    if (c.found) {
      EXPECT_EQ(set, c.set) << c.question << " " << c.wanted;
    }
  }
}

TEST(DrawSheetTest, IdentBarsAndMarksAreDrawnWhereTheLayoutSays) {
  auto forms = test::SmallExam();
  const SheetLayout& l = forms->layouts[kFaceA][0];
  SheetGrid grid;
  std::string error;
  ASSERT_TRUE(DrawSheet(
      l, {Answer::Char('B'), Answer::Blank(), Answer::Char('D'), Answer::Char('A'), Answer::Char('6')},
      DrawOptions{}, grid, error))
      << error;
  EXPECT_EQ(grid.Lines(), 20);
  EXPECT_EQ(grid.Columns(), 48);
  EXPECT_EQ(grid.At(2, 47), 11);
  for (int c = 1; c <= 20; ++c) EXPECT_EQ(grid.At(1, c), 11);
  EXPECT_EQ(grid.At(1, 21), 0);
  EXPECT_EQ(grid.At(5, 4), 11);  // question 1, B
  EXPECT_EQ(grid.At(5, 3), 0);
  EXPECT_EQ(grid.At(7, 6), 11);   // question 3, D
  EXPECT_EQ(grid.At(10, 4), 11);  // 6 = 4 + 2
  EXPECT_EQ(grid.At(10, 5), 11);
  EXPECT_EQ(grid.At(10, 3), 0);
  EXPECT_EQ(EvaluateLayout(l, grid), "B.DA6");
}

TEST(DrawSheetTest, ColumnsGrowWithTheLayout) {
  auto forms = std::make_unique<FormDefinition>();
  SheetLayout& l = StartLayout(*forms, 0, 'A', 10, 2, 60);
  AddLabel(l, 1, "AB");
  AddField(l, 5, 70, 'U', 'S', 1, 1, 'R', 0);
  SheetGrid grid;
  std::string error;
  ASSERT_TRUE(DrawSheet(l, {Answer::Char('B')}, DrawOptions{}, grid, error)) << error;
  EXPECT_EQ(grid.Columns(), 72);
  EXPECT_EQ(grid.At(5, 71), 11);
}

TEST(DrawSheetTest, RefusesWhatCannotBeDrawn) {
  auto forms = test::SmallExam();
  const SheetLayout& l = forms->layouts[kFaceA][0];
  SheetGrid grid;
  std::string error;
  EXPECT_FALSE(DrawSheet(l, std::vector<Answer>(6), DrawOptions{}, grid, error));  // 5 questions
  EXPECT_FALSE(DrawSheet(l, {Answer::Char('Z')}, DrawOptions{}, grid, error));
  EXPECT_NE(error.find("question 1"), std::string::npos);
  EXPECT_FALSE(DrawSheet(l, {Answer::Marks({{4}})}, DrawOptions{}, grid, error));  // 4 options
  DrawOptions odd;
  odd.columns = 47;
  EXPECT_FALSE(DrawSheet(l, {}, odd, grid, error));
  DrawOptions longSheet;
  longSheet.lines = 128;
  EXPECT_FALSE(DrawSheet(l, {}, longSheet, grid, error));
}

TEST(SynthesizeTest, FrameDecodesAndPredictionMatchesTheAnswers) {
  auto forms = test::SmallExam();
  SheetPlan plan;
  plan.answers = {Answer::Char('A'), Answer::Char('>'), Answer::Blank(), Answer::Marks({{3}}),
                  Answer::Char('9')};
  plan.draw.noise = 1;
  plan.draw.jitter = 2;
  plan.draw.seed = 77;
  SynthesizedSheet sheet;
  std::string error;
  ASSERT_TRUE(Synthesize(*forms, plan, sheet, error)) << error;
  EXPECT_EQ(sheet.expected.error, 0);
  EXPECT_EQ(sheet.expected.layout, 0);
  EXPECT_EQ(sheet.expected.letter, 'A');
  EXPECT_EQ(sheet.expected.text, "A>.D9");
  DecodedFrame decoded;
  ASSERT_TRUE(DecodeFrame(sheet.frame, decoded, error)) << error;
  EXPECT_EQ(decoded.headA.Cells(), sheet.grid.Cells());
  // Noise stays below the marked-cell minimum.
  for (std::uint8_t c : sheet.grid.Cells()) EXPECT_TRUE(c <= 1 || c >= 9);
}

TEST(SynthesizeTest, StrictCheckCatchesNoiseThatReadsAsMarks) {
  auto forms = test::SmallExam();
  SheetPlan plan;
  plan.answers = {Answer::Char('A'), Answer::Char('B'), Answer::Char('C'), Answer::Char('D')};
  plan.draw.noise = 9;
  SynthesizedSheet sheet;
  std::string error;
  EXPECT_FALSE(Synthesize(*forms, plan, sheet, error));
  EXPECT_NE(error.find("reads as"), std::string::npos);
  EXPECT_TRUE(Synthesize(*forms, plan, sheet, error, false));
}

TEST(SynthesizeTest, DegradedMarks) {
  auto forms = test::SmallExam();
  SheetPlan plan;
  plan.answers = {Answer::Marks({{1, MarkStyle::HalfErased}, {2}}),  // changed answer: reads C
                  Answer::Marks({{0, MarkStyle::Faint}}),            // too light: blank
                  Answer::Marks({{3, MarkStyle::HalfErased}}),       // alone: still the darkest, read
                  Answer::Marks({{0}, {1}})};                        // double
  SynthesizedSheet sheet;
  std::string error;
  ASSERT_TRUE(Synthesize(*forms, plan, sheet, error)) << error;
  EXPECT_EQ(sheet.expected.text, "C.D>0");
  EXPECT_GT(sheet.grid.At(5, 4), 0);  // the erased cell is not clean
  EXPECT_GT(sheet.grid.At(6, 3), 0);
}

TEST(SynthesizeTest, ReadFailuresArePredicted) {
  auto forms = test::SmallExam();
  SynthesizedSheet sheet;
  std::string error;

  SheetPlan missingBar;
  missingBar.draw.missingBar = 1;
  ASSERT_TRUE(Synthesize(*forms, missingBar, sheet, error)) << error;
  EXPECT_EQ(sheet.expected.error, 5);

  SheetPlan foreign;
  foreign.draw.lines = 21;
  ASSERT_TRUE(Synthesize(*forms, foreign, sheet, error)) << error;
  EXPECT_EQ(sheet.expected.error, 7);

  SheetPlan noIdent;  // falls back on the selected layout, which has the right length
  noIdent.draw.lightIdent = true;
  noIdent.answers = {Answer::Char('D')};
  ASSERT_TRUE(Synthesize(*forms, noIdent, sheet, error)) << error;
  EXPECT_EQ(sheet.expected.error, 0);
  EXPECT_EQ(sheet.expected.text.substr(0, 1), "D");

  SheetPlan doublePage;
  doublePage.status = 3;
  ASSERT_TRUE(Synthesize(*forms, doublePage, sheet, error)) << error;
  EXPECT_EQ(sheet.expected.error, 3);
  EXPECT_TRUE(sheet.frame.empty());
}

TEST(SynthesizeTest, SheetOfALayoutTheHostHasNotLoaded) {
  auto host = test::SmallExam();
  auto other = std::make_unique<FormDefinition>();
  SheetLayout& foreign = StartLayout(*other, 0, 'Q', 30, 2, 47);
  AddLabel(foreign, 1, "XY");
  AddField(foreign, 5, 3, 'U', 'S', 1, 3, 'R', 0);
  SheetPlan plan;
  plan.answers = {Answer::Char('Y')};
  SynthesizedSheet sheet;
  std::string error;
  ASSERT_TRUE(Synthesize(foreign, *host, plan, sheet, error)) << error;
  EXPECT_EQ(sheet.grid.Lines(), 30);
  EXPECT_EQ(sheet.expected.error, 7);
  // Same length as the host's layout: its identifying cell is dark too, so it is taken for A.
  foreign.length.l1 = 20;
  ASSERT_TRUE(Synthesize(foreign, *host, plan, sheet, error)) << error;
  EXPECT_EQ(sheet.expected.error, 5);  // but A's bar is missing
}

TEST(IdentifyTest, LineCountAndIdentifyingCellChooseTheLayout) {
  auto forms = std::make_unique<FormDefinition>();
  SheetLayout& a = StartLayout(*forms, 0, 'A', 40, 2, 47);
  SheetLayout& b = StartLayout(*forms, 1, 'B', 40, 2, 45);
  SheetLayout& c = StartLayout(*forms, 2, 'C', 60, 2, 45);
  for (SheetLayout* l : {&a, &b, &c}) {
    AddLabel(*l, 1, "AB");
    AddField(*l, 5, 3, 'U', 'S', 1, 2, 'R', 0);
  }
  forms->xFrom[kFaceA] = 'C';
  forms->xTo[kFaceA] = 'Z';
  SynthesizedSheet sheet;
  std::string error;
  for (int index : {0, 1, 2}) {
    SheetPlan plan;
    plan.layout = index;
    plan.answers = {Answer::Char('B')};
    ASSERT_TRUE(Synthesize(*forms, plan, sheet, error)) << error;
    EXPECT_EQ(sheet.expected.layout, index);
    EXPECT_EQ(sheet.expected.letter, "ABZ"[index]);
  }
  // Both 40-line identifying cells dark: ambiguous.
  SheetPlan plan;
  ASSERT_TRUE(Synthesize(*forms, plan, sheet, error)) << error;
  sheet.grid.Set(2, 45, 11);
  int code = 0;
  EXPECT_EQ(IdentifyLayout(*forms, sheet.grid, code), -1);
  EXPECT_EQ(code, 4);
  // Neither dark on a 60-line sheet: the selected layout (A) is 40 lines long.
  plan.layout = 2;
  plan.draw.lightIdent = true;
  ASSERT_TRUE(Synthesize(*forms, plan, sheet, error)) << error;
  EXPECT_EQ(sheet.expected.error, 4);
  // An E letter selects C instead.
  forms->eLetter[kFaceA] = 'C';
  ASSERT_TRUE(Synthesize(*forms, plan, sheet, error)) << error;
  EXPECT_EQ(sheet.expected.error, 0);
  EXPECT_EQ(sheet.expected.layout, 2);
}

TEST(EvaluateTest, PoolAverageAndToleranceDecideLighterMarks) {
  auto forms = std::make_unique<FormDefinition>();
  SheetLayout& l = StartLayout(*forms, 0, 'A', 20, 0, 0);
  AddLabel(l, 1, "ABCD");
  AddField(l, 5, 1, 'U', 'm', 1, 2, 'R', 0);
  SheetGrid grid(20, 48);
  // Pool BM: 12, 12 and 8 count twice, 3 (below 4) once: 67 / 7.
  grid.Set(5, 1, 12);
  grid.Set(5, 2, 8);  // 8 >= 0.75 * 9.6: marked although lighter than 12
  grid.Set(6, 1, 12);
  grid.Set(6, 2, 3);  // below 0.75 * average and 12 - 3 >= 5: not marked
  EXPECT_EQ(EvaluateLayout(l, grid), "31");
  grid.Set(6, 1, 6);  // now MAX - 3 < 5: marked
  EXPECT_EQ(EvaluateLayout(l, grid), "33");
}

TEST(EvaluateTest, ChainMaximumCarriesOverBetweenChains) {
  auto forms = std::make_unique<FormDefinition>();
  SheetLayout& l = StartLayout(*forms, 0, 'A', 20, 0, 0);
  AddLabel(l, 1, "AB");
  AddLabel(l, 2, "CD");
  AddField(l, 5, 1, 'U', 'm', 1, 0, 'U', 0);  // chain 1
  AddField(l, 6, 1, 'U', 'm', 2, 1, 'U', 0);
  AddField(l, 8, 1, 'U', 'm', 1, 0, 'U', 0);  // chain 2
  AddField(l, 9, 1, 'U', 'm', 2, 1, 'U', 0);
  SheetGrid grid(20, 48);
  grid.Set(5, 1, 12);
  grid.Set(8, 1, 4);  // below 0.75 * 8; alone in its chain, but MAX is still 12
  const std::vector<std::string> marks = DecideMarks(l, grid);
  ASSERT_EQ(marks.size(), 2u);
  EXPECT_EQ(marks[0], "1___");
  EXPECT_EQ(marks[1], "____");
  EXPECT_EQ(EvaluateLayout(l, grid), "10");
}

TEST(RandomAnswersTest, EveryRandomSheetReadsAsDrawn) {
  auto forms = std::make_unique<FormDefinition>();
  SheetLayout& l = StartLayout(*forms, 0, 'A', 40, 2, 47);
  l.coding.mode = 3;
  AddBar(l, 1, 1, 30);
  AddLabel(l, 1, "ABCDE");
  AddLabel(l, 2, "8421");
  AddLabel(l, 3, "ABCD");
  AddField(l, 5, 2, 'U', 'S', 1, 10, 'R', 0);
  AddField(l, 5, 10, 'U', 'B', 2, 5, 'R', 0);
  AddField(l, 5, 20, 'U', 'b', 2, 5, 'R', 0);
  AddField(l, 20, 2, 'L', 'M', 3, 5, 'U', 1);
  AddField(l, 30, 2, 'U', 'm', 1, 3, 'R', 1);
  AddField(l, 30, 20, 'R', 's', 1, 3, 'U', 1);
  std::mt19937 rng(5);
  for (int i = 0; i < 30; ++i) {
    SheetPlan plan;
    plan.answers = RandomAnswers(l, rng, RandomRates{0.1, 0.1});
    plan.draw.jitter = 2;
    plan.draw.noise = 1;
    plan.draw.seed = static_cast<std::uint32_t>(i);
    SynthesizedSheet sheet;
    std::string error;
    ASSERT_TRUE(Synthesize(*forms, plan, sheet, error)) << "sheet " << i << ": " << error;
    EXPECT_EQ(sheet.expected.text.size(), 31u);
    EXPECT_EQ(sheet.expected.text.find('\0'), std::string::npos);
  }
}

}  // namespace
}  // namespace omr::sim
