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

struct Seen {
  QuestionDecision question;
  std::vector<CellDecision> cells;
};

class ObserverTest : public ::testing::Test {
 protected:
  std::string Evaluate(bool observed) {
    std::vector<std::uint8_t> out(16384, 0);
    int count = 0;
    seen.clear();
    RecognitionObserver observer = [this](const QuestionDecision& q) {
      seen.push_back({q, std::vector<CellDecision>(q.cells, q.cells + q.cellCount)});
    };
    EvaluateLayout(*layout, *frame, out.data(), 16384, count, observed ? observer : nullptr);
    return std::string(out.begin(), out.begin() + count);
  }

  std::unique_ptr<SheetLayout> layout = std::make_unique<SheetLayout>();
  std::unique_ptr<DeviceFrame> frame = std::make_unique<DeviceFrame>();
  std::vector<Seen> seen;
};

TEST_F(ObserverTest, SeesEveryQuestionAndChangesNothing) {
  AddLabel(*layout, 1, "ABCD");
  AddLabel(*layout, 2, "8421");
  AddField(*layout, 1, 1, 'U', 'S', 1, 3, 'R');
  AddField(*layout, 4, 1, 'U', 'B', 2, 0);  // a chain of two records
  AddField(*layout, 5, 1, 'U', 'B', 2, 1);
  AddField(*layout, 1, 5, 'R', 'm', 1, 2, 'U');
  const char* rows[][2] = {{"A000", "0A0A"}, {"0000", "AAAA"}, {"6C00", "2300"}, {"3333", "9999"}};
  for (const auto& r : rows) {
    SheetGrid grid(6, 8);
    grid.Row(1, 1, r[0]).Row(2, 1, r[1]).Row(3, 1, r[0]).Row(4, 1, r[1]).Row(5, 1, r[0]);
    auto value = [](char c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
    for (int line = 1; line <= 4; ++line) {  // slot 3 runs along columns 5 and 6
      grid.Set(line, 5, value(r[1][line - 1]));
      grid.Set(line, 6, value(r[0][line - 1]));
    }
    LoadGrid(*frame, grid);
    const std::string plain = Evaluate(false);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(Evaluate(true), plain);
    ASSERT_EQ(seen.size(), plain.size());
    for (std::size_t i = 0; i < seen.size(); ++i) {
      EXPECT_EQ(seen[i].question.number, static_cast<int>(i) + 1);
      EXPECT_EQ(seen[i].question.character, static_cast<std::uint8_t>(plain[i]));
    }
  }
  // Slots and cells: three questions of slot 0, the chain of slots 1 and 2,
  // then two questions of slot 3 running along the lines.
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_EQ(seen[2].question.repeatIndex, 2);
  EXPECT_EQ(seen[2].cells[0].line, 3);
  EXPECT_EQ(seen[3].question.firstSlot, 1);
  EXPECT_EQ(seen[3].question.lastSlot, 2);
  EXPECT_EQ(seen[3].cells.size(), 8u);
  EXPECT_EQ(seen[3].cells[4].line, 5);
  EXPECT_EQ(seen[5].question.firstSlot, 3);
  EXPECT_EQ(seen[5].cells[3].line, 4);
  EXPECT_EQ(seen[5].cells[3].column, 6);
}

TEST_F(ObserverTest, CellsCarryValueDecisionAndThresholds) {
  layout->grade = GradeRecord{3, 2, 2, 5};
  AddLabel(*layout, 1, "AB D");
  AddField(*layout, 2, 3, 'U', 'S', 1);
  LoadGrid(*frame, SheetGrid(2, 8).Row(2, 3, "0AA0"));
  EXPECT_EQ(Evaluate(true), "B");
  ASSERT_EQ(seen.size(), 1u);
  const auto& c = seen[0].cells;
  ASSERT_EQ(c.size(), 4u);
  EXPECT_EQ(c[1].line, 2);
  EXPECT_EQ(c[1].column, 4);
  EXPECT_EQ(c[1].value, 10);
  EXPECT_EQ(c[1].label, 'B');
  EXPECT_TRUE(c[1].marked);
  EXPECT_DOUBLE_EQ(c[1].averageLimit, 7.5);  // (20 + 20) / 4 x 0.75
  EXPECT_EQ(c[1].max, 10);
  EXPECT_EQ(c[1].tolerance, 2);
  EXPECT_FALSE(c[2].marked);  // a dark cell under a blank label is no option
}

struct Threshold {
  const char* name;
  const char* first;   // the observed question's cells
  const char* second;  // a second question's cells, for the pool average
  int position;
  bool marked;
  int threshold;
};

class ThresholdTest : public ObserverTest, public ::testing::WithParamInterface<Threshold> {};

TEST_P(ThresholdTest, LightestValueThatWouldBeMarked) {
  const Threshold& t = GetParam();
  layout->grade = GradeRecord{3, 2, 2, 5};
  AddLabel(*layout, 1, "ABCD");
  AddField(*layout, 1, 1, 'U', 'S', 1, 2, 'R');
  LoadGrid(*frame, SheetGrid(2, 4).Row(1, 1, t.first).Row(2, 1, t.second));
  Evaluate(true);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].cells[t.position].marked, t.marked);
  EXPECT_EQ(seen[0].cells[t.position].threshold, t.threshold);
}

// G2 2, G3 2; limit = 0.75 x the S pool average, others = the darkest other cell.
INSTANTIATE_TEST_SUITE_P(
    Cells, ThresholdTest,
    ::testing::Values(Threshold{"AtG2", "2000", "0000", 0, true, 2},           // limit 1.5: G2 decides
                      Threshold{"BelowG2", "1000", "0000", 0, false, 2},       // no pool: G2 decides
                      Threshold{"LoneMark", "A000", "0000", 0, true, 2},       // the darkest at any value
                      Threshold{"BesideMark", "A000", "0000", 1, false, 8},    // limit 7.5 before 10 - 2
                      Threshold{"AverageLimit", "C600", "0000", 1, false, 7},  // limit 6.75
                      Threshold{"Tolerance", "5400", "CCCC", 1, true, 4}),     // 5 - 4 is below 2
    [](const auto& info) { return info.param.name; });

TEST_F(ObserverTest, LabelBlankHasNoThreshold) {
  AddLabel(*layout, 1, "A B");
  AddField(*layout, 1, 1, 'U', 'S', 1);
  LoadGrid(*frame, SheetGrid(1, 4).Row(1, 1, "0A00"));
  Evaluate(true);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].cells[1].threshold, 16);
  EXPECT_LT(seen[0].cells[0].threshold, 16);
}

}  // namespace
}  // namespace omr::test
