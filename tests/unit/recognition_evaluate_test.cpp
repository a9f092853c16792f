#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "form/form_definition.h"
#include "read/device_frame.h"
#include "read/recognition.h"
#include "sheet_builder.h"

namespace omr::test {
namespace {

class EvaluateTest : public ::testing::Test {
 protected:
  std::string Evaluate(int capacity = 16384) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(capacity) + 1, 0xEE);
    int count = 0;
    ok = EvaluateLayout(*layout, *frame, out.data(), capacity, count);
    EXPECT_EQ(out[static_cast<std::size_t>(capacity)], 0xEE) << "written past the capacity";
    return std::string(out.begin(), out.begin() + count);
  }

  std::unique_ptr<SheetLayout> layout = std::make_unique<SheetLayout>();
  std::unique_ptr<DeviceFrame> frame = std::make_unique<DeviceFrame>();
  bool ok = false;
};

// One question on line 2 from column 1 upwards; cells given as "0".."9", "A".."C".
struct Coding {
  const char* name;
  char type;
  int mode;
  const char* label;
  const char* cells;
  std::string expected;
};

class CodingTest : public EvaluateTest, public ::testing::WithParamInterface<Coding> {};

TEST_P(CodingTest, OneCharacterPerQuestion) {
  const Coding& c = GetParam();
  layout->coding.mode = c.mode;
  AddLabel(*layout, 7, c.label);
  AddField(*layout, 2, 1, 'U', c.type, 7);
  SheetGrid grid(3, 16);
  grid.Row(2, 1, c.cells);
  LoadGrid(*frame, grid);
  EXPECT_EQ(Evaluate(), c.expected);
  EXPECT_TRUE(ok);
}

INSTANTIATE_TEST_SUITE_P(
    Types, CodingTest,
    ::testing::Values(
        Coding{"S_None", 'S', 1, "ABCD", "0000", "."}, Coding{"S_One", 'S', 1, "ABCD", "0A00", "B"},
        Coding{"S_Two", 'S', 1, "ABCD", "A0A0", ">"}, Coding{"s_None", 's', 1, "ABCD", "0000", "."},
        Coding{"s_One", 's', 1, "ABCD", "00A0", "C"}, Coding{"s_Two", 's', 1, "ABCD", "A0A0", "0"},
        Coding{"B_FourAndOne", 'B', 1, "8421", "0A0A", "5"},
        Coding{"B_EightTwoOne", 'B', 1, "8421", "A0AA", ">"}, Coding{"B_Nine", 'B', 1, "8421", "A00A", "9"},
        Coding{"B_None", 'B', 1, "8421", "0000", "0"}, Coding{"b_All", 'b', 1, "8421", "AAAA", "F"},
        Coding{"b_EightTwo", 'b', 1, "8421", "A0A0", "A"}, Coding{"b_None", 'b', 1, "8421", "0000", "0"},
        Coding{"b_OtherLabelsWeighNothing", 'b', 1, "8X21", "AAAA", "B"},
        Coding{"m_Second", 'm', 1, "ABC", "0A0", "2"}, Coding{"m_All", 'm', 1, "ABCDEFG", "AAAAAAA", "\xAF"},
        Coding{"m_EightOptions", 'm', 1, "ABCDEFGH", "0A000000", ">"},
        Coding{"M4_Second", 'M', 4, "ABC", "0A0", "2"},
        Coding{"M4_EightOptions", 'M', 4, "ABCDEFGH", "0A000000", ">"},
        Coding{"M3_FirstAndThird", 'M', 3, "ABCD", "A0A0", "E"},
        Coding{"M3_None", 'M', 3, "ABCD", "0000", "*"},
        Coding{"M3_BeyondTable", 'M', 3, "ABCDE", "0000A", std::string(1, '\0')},
        Coding{"M1_FirstTwo", 'M', 1, "ABCDE", "AA000", "H"},
        Coding{"M1_FirstAndFifth", 'M', 1, "ABCDE", "A000A", "Q"},
        Coding{"M1_None", 'M', 1, "ABCDE", "00000", "."},
        Coding{"M1_Backslash", 'M', 1, "ABCDE", "00AAA", "\\"},
        Coding{"M1_BeyondTable", 'M', 1, "ABCDEF", "00000A", std::string(1, '\0')},
        Coding{"M2_ZeroAlphabet", 'M', 2, "0123", "AA00", "E"},
        Coding{"M2_DigitAlphabet", 'M', 2, "1234", "0A0A", "I"},
        Coding{"M2_None", 'M', 2, "1234", "0000", "P"},
        Coding{"M2_OtherAlphabetIgnoresLetters", 'M', 2, "abcd", "AA00", "P"},
        Coding{"Blank_m", 'm', 1, "A C", "AAA", "3"}, Coding{"Blank_S", 'S', 1, "A C", "0A0", "."},
        Coding{"Blank_S_Others", 'S', 1, "A C", "AA0", "A"}),
    [](const auto& info) { return info.param.name; });

TEST_F(EvaluateTest, CodingCharactersComeFromTheLayout) {
  layout->coding = CodingRecord{1, '-', '*'};
  AddLabel(*layout, 1, "ABCD");
  AddField(*layout, 1, 1, 'U', 'S', 1, 2);  // lines 1 and 2
  LoadGrid(*frame, SheetGrid(2, 4).Row(1, 1, "0000").Row(2, 1, "AA00"));
  EXPECT_EQ(Evaluate(), "-*");
}

TEST_F(EvaluateTest, MissingLabelStillGivesOneCharacter) {
  AddField(*layout, 1, 1, 'S', 'S', 9);
  AddField(*layout, 1, 1, 'U', 'B', 9);
  AddField(*layout, 1, 1, 'U', 'M', 9);  // mode 1, code 0
  LoadGrid(*frame, SheetGrid(2, 4).Row(1, 1, "CCCC"));
  EXPECT_EQ(Evaluate(), ".0.");
}

TEST_F(EvaluateTest, NoUsedFieldIsAFailure) {
  AddLabel(*layout, 1, "AB");
  LoadGrid(*frame, SheetGrid(2, 4));
  EXPECT_EQ(Evaluate(), "");
  EXPECT_FALSE(ok);
}

// G3 decides for S: cells 12 and 7. Pool S: (12 + 12 + 7 + 7) / 4 = 9.5,
// three quarters 7.125; 7 is below, so only MAX - 7 = 5 < G3 marks it.
TEST_F(EvaluateTest, ToleranceMarksCellsBelowTheAverageRule) {
  AddLabel(*layout, 1, "ABCD");
  AddField(*layout, 1, 1, 'U', 'S', 1);
  LoadGrid(*frame, SheetGrid(2, 4).Row(1, 1, "C700"));
  layout->grade.g3 = 5;
  EXPECT_EQ(Evaluate(), "A");
  layout->grade.g3 = 6;
  EXPECT_EQ(Evaluate(), ">");
  // G4 is the tolerance of the other types.
  layout->fields.records[0].type = 'm';
  layout->grade.g4 = 5;
  EXPECT_EQ(Evaluate(), "1");
  layout->grade.g4 = 6;
  EXPECT_EQ(Evaluate(), "3");
}

// The same question, with light marks elsewhere in the pool: (12 + 12 + 7 +
// 7 + 4 + 4 + 4 + 4) / 8 = 6.75, three quarters 5.06, so 7 is marked even
// though the 12 beside it is far darker.
TEST_F(EvaluateTest, AverageRuleMarksDespiteADarkerCell) {
  AddLabel(*layout, 1, "ABCD");
  AddLabel(*layout, 2, "AB");
  AddField(*layout, 1, 1, 'U', 'S', 1);
  AddField(*layout, 2, 1, 'U', 'S', 2);
  LoadGrid(*frame, SheetGrid(2, 4).Row(1, 1, "C700").Row(2, 1, "44"));
  EXPECT_EQ(Evaluate(), ">>");
}

TEST_F(EvaluateTest, PoolsAreSeparate) {
  // The light S question does not lower the average of the B/M pool.
  AddLabel(*layout, 1, "ABCD");
  AddLabel(*layout, 2, "AB");
  AddField(*layout, 1, 1, 'U', 'm', 1);
  AddField(*layout, 2, 1, 'U', 'S', 2);
  LoadGrid(*frame, SheetGrid(2, 4).Row(1, 1, "C700").Row(2, 1, "44"));
  EXPECT_EQ(Evaluate(), "1>");
  // Type s belongs to the B/M pool: now it lowers that average.
  layout->fields.records[1].type = 's';
  EXPECT_EQ(Evaluate(), "30");
}

TEST_F(EvaluateTest, LabelTypeRecordsStayOutOfBothPools) {
  // Type b adds nothing: with it the m question still has its own average.
  AddLabel(*layout, 1, "ABCD");
  AddLabel(*layout, 2, "8421");
  AddField(*layout, 1, 1, 'U', 'm', 1);
  AddField(*layout, 2, 1, 'U', 'b', 2);
  LoadGrid(*frame, SheetGrid(2, 4).Row(1, 1, "C700").Row(2, 1, "4444"));
  EXPECT_EQ(Evaluate(), "1F");
}

// Cells 2, 2, 2, 2, 10, 3 with G2 = 2 and no tolerance (G3 = 0): the 2s and
// the 3 count once, the 10 twice: (8 + 3 + 20) / 7 = 4.43, three quarters
// 3.32, so 3 is not marked. Counting every cell once (21 / 6) or every cell
// twice would mark it.
TEST_F(EvaluateTest, CellsOfAtLeastFourCountTwiceInTheAverage) {
  layout->grade.g3 = 0;
  AddLabel(*layout, 1, "ABCDEF");
  AddField(*layout, 1, 1, 'U', 'S', 1);
  LoadGrid(*frame, SheetGrid(2, 6).Row(1, 1, "2222A3"));
  EXPECT_EQ(Evaluate(), "E");
}

TEST_F(EvaluateTest, CellsBelowG2AreNeverMarked) {
  // With an empty pool the average rule marks anything of at least G2.
  layout->grade.g2 = 5;
  AddLabel(*layout, 1, "ABC");
  AddField(*layout, 1, 1, 'U', 'b', 1);
  LoadGrid(*frame, SheetGrid(2, 4).Row(1, 1, "456"));
  EXPECT_EQ(Evaluate(), "0");  // b weighs only 1, 2, 4, 8 labels
  layout->fields.records[0].type = 'm';
  EXPECT_EQ(Evaluate(), "6");  // B and C: bits 2 and 4
}

// Three questions of four S options; the marked cells, one per question at
// option k of question k, are given by hand so that the output is "ABC".
struct Geometry {
  const char* name;
  char cellDirection;
  char groupDirection;
  int gap;
  int line;
  int column;
  int marks[3][2];
};

class GeometryTest : public EvaluateTest, public ::testing::WithParamInterface<Geometry> {};

TEST_P(GeometryTest, QuestionsStartWhereTheGroupStepLeads) {
  const Geometry& g = GetParam();
  AddLabel(*layout, 1, "ABCD");
  AddField(*layout, g.line, g.column, g.cellDirection, 'S', 1, 3, g.groupDirection, g.gap);
  SheetGrid grid(20, 20);
  for (const auto& m : g.marks) grid.Set(m[0], m[1], 10);
  LoadGrid(*frame, grid);
  EXPECT_EQ(Evaluate(), "ABC");
}

INSTANTIATE_TEST_SUITE_P(Directions, GeometryTest,
                         ::testing::Values(
                             // Crossing directions step gap + 1; parallel ones gap + 4.
                             Geometry{"UpThenRight", 'U', 'R', 0, 5, 5, {{5, 5}, {6, 6}, {7, 7}}},
                             Geometry{"UpThenUp", 'U', 'U', 0, 5, 1, {{5, 1}, {5, 6}, {5, 11}}},
                             Geometry{"UpThenUpGap2", 'U', 'U', 2, 5, 1, {{5, 1}, {5, 8}, {5, 15}}},
                             Geometry{"DownThenLeftGap1", 'D', 'L', 1, 10, 10, {{10, 10}, {8, 9}, {6, 8}}},
                             Geometry{"DownThenDown", 'D', 'D', 0, 3, 18, {{3, 18}, {3, 13}, {3, 8}}},
                             Geometry{"RightThenRightGap1", 'R', 'R', 1, 1, 3, {{1, 3}, {7, 3}, {13, 3}}},
                             Geometry{"RightThenUpGap3", 'R', 'U', 3, 2, 2, {{2, 2}, {3, 6}, {4, 10}}},
                             Geometry{"LeftThenDown", 'L', 'D', 0, 10, 10, {{10, 10}, {9, 9}, {8, 8}}},
                             Geometry{"LeftThenLeftGap2", 'L', 'L', 2, 18, 4, {{18, 4}, {11, 4}, {4, 4}}}),
                         [](const auto& info) { return info.param.name; });

TEST_F(EvaluateTest, CellsOffTheGridAreNotMarked) {
  AddLabel(*layout, 1, "ABCD");
  AddField(*layout, 1, 3, 'U', 'S', 1, 2, 'R');  // columns 3..6 of a 4-column grid
  LoadGrid(*frame, SheetGrid(2, 4).Row(1, 1, "00AA").Row(2, 1, "000A"));
  EXPECT_EQ(Evaluate(), ">B");
}

TEST_F(EvaluateTest, MaxStartsAgainForEveryQuestion) {
  // Question 1 alone has MAX 7, so its 6 is within G3 = 3 of it; had the 12
  // of question 0 been kept, it would not be.
  layout->grade.g3 = 3;
  AddLabel(*layout, 1, "ABCD");
  AddField(*layout, 1, 1, 'U', 'S', 1, 2, 'R');
  LoadGrid(*frame, SheetGrid(2, 4).Row(1, 1, "C000").Row(2, 1, "6070"));
  EXPECT_EQ(Evaluate(), "A>");
}

TEST_F(EvaluateTest, ChainJoinsRecordsIntoOneQuestion) {
  AddLabel(*layout, 1, "AB");
  AddLabel(*layout, 2, "CD");
  AddField(*layout, 1, 1, 'U', 'S', 1, 0);
  AddField(*layout, 2, 1, 'U', 'S', 2, 1);
  AddField(*layout, 2, 3, 'U', 'S', 1, 1);  // a question of its own after the chain
  SheetGrid grid(2, 4);
  grid.Row(2, 1, "0A").Row(2, 3, "A0");
  LoadGrid(*frame, grid);
  EXPECT_EQ(Evaluate(), "DA");
  grid.Set(1, 1, 10);
  LoadGrid(*frame, grid);
  EXPECT_EQ(Evaluate(), ">A");
}

TEST_F(EvaluateTest, ChainOfWeightsUsesTheWholeLabelString) {
  // "84" then "21": the closing record's text decides positions 0 and 1, the
  // joined string the rest; marks on 4 and 1 weigh 5.
  AddLabel(*layout, 1, "84");
  AddLabel(*layout, 2, "21");
  AddField(*layout, 1, 1, 'U', 'B', 1, 0);
  AddField(*layout, 2, 1, 'U', 'B', 2, 3);  // the repeat count of the closing record is not used
  LoadGrid(*frame, SheetGrid(2, 2).Row(1, 1, "0A").Row(2, 1, "0A"));
  EXPECT_EQ(Evaluate(), "5");
}

TEST_F(EvaluateTest, UnclosedChainEndsAtTheLastUsedRecord) {
  AddLabel(*layout, 1, "AB");
  AddField(*layout, 1, 1, 'U', 'S', 1, 2, 'R');
  AddField(*layout, 1, 3, 'U', 'S', 1, 0);
  AddField(*layout, 2, 3, 'U', 'S', 1, 0);
  LoadGrid(*frame, SheetGrid(2, 4).Row(1, 1, "A0").Row(2, 1, "0A").Row(2, 3, "0A"));
  EXPECT_EQ(Evaluate(), "ABB");
}

TEST_F(EvaluateTest, ChainStringsStopAtTheWorkingSize) {
  // Three members of 63 options: the second member's cells from its 58th on,
  // and all of the third's, lie beyond the 120 working characters.
  const std::string text(63, 'X');
  AddLabel(*layout, 1, text.c_str());
  AddField(*layout, 1, 1, 'R', 'S', 1, 0);
  AddField(*layout, 1, 2, 'R', 'S', 1, 0);
  AddField(*layout, 1, 3, 'R', 'S', 1, 1);
  struct {
    int line, column;
    const char* expected;
  } cases[] = {{57, 2, "X"}, {58, 2, "."}, {1, 3, "."}, {63, 3, "."}};
  for (const auto& c : cases) {
    SheetGrid grid(64, 4);
    grid.Set(c.line, c.column, 10);
    LoadGrid(*frame, grid);
    EXPECT_EQ(Evaluate(), c.expected) << c.line << "," << c.column;
  }
}

TEST_F(EvaluateTest, MaxCarriesFromChainToChain) {
  // Chain 2's 6 is marked by the tolerance only when MAX restarts at its 7;
  // carried over from chain 1 (12) it is not. Pool S: (24 + 14 + 12) / 6,
  // three quarters 6.25, so 7 is marked by the average and 6 is not.
  layout->grade.g3 = 3;
  AddLabel(*layout, 1, "AB");
  AddLabel(*layout, 2, "CD");
  AddField(*layout, 1, 1, 'U', 'S', 1, 0);
  AddField(*layout, 1, 3, 'U', 'S', 2, 1);
  AddField(*layout, 2, 1, 'U', 'S', 1, 0);
  AddField(*layout, 2, 3, 'U', 'S', 2, 1);
  LoadGrid(*frame, SheetGrid(2, 4).Row(1, 1, "C000").Row(2, 1, "6070"));
  EXPECT_EQ(Evaluate(), "AC");
  EXPECT_EQ(Evaluate(), "AC");  // and starts again with every evaluation
}

TEST_F(EvaluateTest, OutputStopsAtTheCapacity) {
  AddLabel(*layout, 1, "A");
  AddField(*layout, 1, 1, 'U', 'S', 1, 200);
  AddField(*layout, 1, 1, 'U', 'S', 1, 0);
  AddField(*layout, 1, 1, 'U', 'S', 1, 1);
  LoadGrid(*frame, SheetGrid(2, 2));
  EXPECT_EQ(Evaluate(1000).size(), 201u);
  EXPECT_EQ(Evaluate(150), std::string(150, '.'));
  EXPECT_EQ(Evaluate(200).size(), 200u);
}

TEST_F(EvaluateTest, FreeSlotsAreSkipped) {
  AddLabel(*layout, 1, "AB");
  AddField(*layout, 1, 1, 'U', 'S', 1);
  layout->fields.records[5] = layout->fields.records[0];
  layout->fields.records[5].line = 2;
  LoadGrid(*frame, SheetGrid(2, 2).Row(1, 1, "A0").Row(2, 1, "0A"));
  EXPECT_EQ(Evaluate(), "AB");
}

}  // namespace
}  // namespace omr::test
