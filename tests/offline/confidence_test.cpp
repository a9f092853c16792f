// Doubt and confidence of single questions on hand-made sheets: three clear
// questions set the sheet's levels (paper 0, mark 11), the fourth is the case.
// The expected bits follow from the levels and the thresholds worked out in
// each comment (G 3 2 2 5 unless the case sets another G line).
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "omr_offline.h"

namespace {

struct Case {
  const char* name;
  const char* extraLines;      // form lines after the F line
  std::map<char, int> fourth;  // question 4's option values
  int question;                // the question looked at, from 1
  int doubt;                   // its OMRO_DOUBT_ bits
};

constexpr const char* kForm =
    "\"T A 002 15/\"\n\"L 010 30 24/\"\n\"M 001 01 08/\"\n\"D 01 ABCD/\"\n\"F   3   2U S  1   4R 0/\"\n";

class ConfidenceTest : public ::testing::TestWithParam<Case> {};

TEST_P(ConfidenceTest, DoubtFromTheSheetsLevels) {
  const Case& c = GetParam();
  const std::string text = kForm + std::string(c.extraLines);
  omro_form* form = nullptr;
  ASSERT_EQ(omro_form_load_text(text.data(), text.size(), &form), OMRO_OK);
  std::unique_ptr<omro_form, decltype(&omro_form_free)> owned(form, omro_form_free);
  ASSERT_EQ(omro_form_status(form), 0);

  // 10 lines of 16 cells in sending order: row 0 is line 10.
  std::vector<unsigned char> cells(10 * 16, 0);
  auto set = [&cells](int line, int column, int value) {
    cells[static_cast<std::size_t>((10 - line) * 16 + column - 1)] = static_cast<unsigned char>(value);
  };
  for (int column = 1; column <= 8; ++column) set(1, column, 11);
  set(2, 15, 11);
  set(3, 2, 11);  // question 1: A
  set(4, 3, 11);  // question 2: B
  set(5, 4, 11);  // question 3: C
  for (const auto& [option, value] : c.fourth) set(6, 2 + (option - 'A'), value);

  omro_sheet* decoded = nullptr;
  ASSERT_EQ(omro_decode_grid(form, 10, 16, cells.data(), cells.size(), 0, &decoded), OMRO_OK);
  std::unique_ptr<omro_sheet, decltype(&omro_sheet_free)> sheet(decoded, omro_sheet_free);
  omro_sheet_info info{};
  ASSERT_EQ(omro_sheet_get_info(decoded, &info), OMRO_OK);
  EXPECT_EQ(info.code, 0);
  EXPECT_DOUBLE_EQ(info.paper, 0.0);
  EXPECT_DOUBLE_EQ(info.mark, 11.0);
  omro_question q{};
  ASSERT_EQ(omro_sheet_question(decoded, c.question - 1, &q), OMRO_OK);
  EXPECT_EQ(q.doubtful, c.doubt);
  if (c.doubt == 0) {
    EXPECT_GT(q.confidence, 0.5);
  } else if (c.doubt & OMRO_DOUBT_OFF_GRID) {
    EXPECT_EQ(q.confidence, 0.0);
  } else {
    EXPECT_LE(q.confidence, 0.5);
  }
  // The sheet counts the doubtful questions and keeps the lowest confidence.
  EXPECT_EQ(info.doubtful, c.doubt != 0 ? 1 : 0);
  EXPECT_LE(info.confidence, q.confidence);
  // Cell bits add up to the question's.
  int bits = 0;
  for (int i = 0; i < q.cell_count; ++i) {
    omro_cell cell{};
    ASSERT_EQ(omro_sheet_cell(decoded, c.question - 1, i, &cell), OMRO_OK);
    bits |= cell.doubtful;
  }
  EXPECT_EQ(bits, q.doubtful);
}

// Limits below are 0.75 x the S pool average (cells of 2 and more once, of 4
// and more once more); paper top 2.75 and mark floor 8.25 are a quarter of
// the spread (11) from the levels.
INSTANTIATE_TEST_SUITE_P(
    Questions, ConfidenceTest,
    ::testing::Values(
        Case{"ClearMark", "", {{'D', 11}}, 4, 0}, Case{"Blank", "", {}, 4, 0},
        // A lone 4: between the levels, the question's darkest, no mark beside it.
        Case{"LoneFaintMark", "", {{'C', 4}}, 4, OMRO_DOUBT_FAINT},
        // 5 beside a mark: limit 7.35 and 11 - 5 >= G3 leave it blank; it is between the levels.
        Case{"Erasure", "", {{'A', 11}, {'B', 5}}, 4, OMRO_DOUBT_ERASURE},
        // Two marks of a single choice one grey level apart.
        Case{"DoubleMarkNearTie", "", {{'A', 11}, {'B', 10}}, 4, OMRO_DOUBT_NEAR_TIE},
        // Limit 6.75: 7 is marked, 5 is not (7 - 5 is not below G3); both between the
        // levels; 5's threshold is 6 (7 - 6 < G3), half a level away.
        Case{"SplitNearTie",
             "",
             {{'A', 7}, {'B', 5}},
             4,
             OMRO_DOUBT_FAINT | OMRO_DOUBT_ERASURE | OMRO_DOUBT_NEAR_TIE | OMRO_DOUBT_MARGIN},
        // A 2 alone is the darkest, so G2 takes it for a mark: paper read as a mark,
        // two levels above its blank neighbours.
        Case{"PaperTakenForMark", "", {{'A', 2}}, 4, OMRO_DOUBT_FAINT | OMRO_DOUBT_NEAR_TIE},
        // G2 10 leaves a 9 blank although it is as dark as the sheet's marks.
        Case{"DarkLeftBlank", "\"G 03 10 02 05/\"\n", {{'A', 9}}, 4, OMRO_DOUBT_MARGIN},
        // A fifth question at columns 15 to 18 of a 16-column sheet.
        Case{"OffGrid", "\"F   3  15U S  1   1R 0/\"\n", {{'D', 11}}, 5, OMRO_DOUBT_OFF_GRID}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
