#include <gtest/gtest.h>

#include <climits>
#include <memory>

#include "form/form_definition.h"
#include "read/device_frame.h"
#include "read/recognition.h"
#include "sheet_builder.h"

namespace omr::test {
namespace {

class IdentifyTest : public ::testing::Test {
 protected:
  SheetLayout& Layout(int i) { return forms->layouts[kFaceA][i]; }
  SheetLayout* Identify() {
    error = 0;
    return IdentifyLayout(*forms, *frame, error);
  }

  std::unique_ptr<FormDefinition> forms = std::make_unique<FormDefinition>();
  std::unique_ptr<DeviceFrame> frame = std::make_unique<DeviceFrame>();
  std::int32_t error = 0;
};

TEST_F(IdentifyTest, NothingDefinedGivesNoLayout) {
  LoadGrid(*frame, SheetGrid(4, 4));
  EXPECT_EQ(Identify(), nullptr);
  EXPECT_EQ(error, 0);
}

TEST_F(IdentifyTest, LayoutsWithoutLettersTakeLayoutZeroUnchecked) {
  DefineLayout(Layout(0), ' ', 1, 1, 40);
  DefineLayout(Layout(1), ' ', 1, 1, 4);
  LoadGrid(*frame, SheetGrid(4, 4));
  EXPECT_EQ(Identify(), &Layout(0));
}

TEST_F(IdentifyTest, NoLayoutWithTheLineCountIsError7) {
  DefineLayout(Layout(0), 'A', 1, 1, 5);
  DefineLayout(Layout(1), 'B', 1, 1, 6);
  LoadGrid(*frame, SheetGrid(4, 4).Set(1, 1, 12));
  EXPECT_EQ(Identify(), nullptr);
  EXPECT_EQ(error, 7);
}

struct IdentifyCase {
  const char* name;
  int darkA;  // identifying cell of layout A (line 4, column 1)
  int darkB;  // identifying cell of layout B (line 4, column 2)
  bool selectB;
  int lengthB;
  int expectedIndex;  // -1: none
  int expectedError;
};

class IdentifyCaseTest : public IdentifyTest, public ::testing::WithParamInterface<IdentifyCase> {};

TEST_P(IdentifyCaseTest, PicksTheDarkCandidate) {
  const IdentifyCase& c = GetParam();
  DefineLayout(Layout(0), 'A', 4, 1, 4);
  DefineLayout(Layout(1), 'B', 4, 2, c.lengthB);
  DefineLayout(Layout(2), 'C', 4, 3, 9);  // not a candidate: its cell is dark
  if (c.selectB) forms->selected[kFaceA] = &Layout(1);
  LoadGrid(*frame, SheetGrid(4, 4).Set(4, 1, c.darkA).Set(4, 2, c.darkB).Set(4, 3, 12));
  SheetLayout* found = Identify();
  EXPECT_EQ(found, c.expectedIndex < 0 ? nullptr : &Layout(c.expectedIndex));
  EXPECT_EQ(error, c.expectedError);
}

INSTANTIATE_TEST_SUITE_P(
    Identify, IdentifyCaseTest,
    ::testing::Values(IdentifyCase{"OnlyFirstDark", 3, 0, false, 4, 0, 0},
                      IdentifyCase{"OnlySecondDark", 0, 12, false, 4, 1, 0},
                      // G2 is 2: the cell must exceed it.
                      IdentifyCase{"AtG2IsNotDark", 2, 3, false, 4, 1, 0},
                      IdentifyCase{"BothDark", 9, 9, false, 4, -1, 4},
                      IdentifyCase{"BothDarkEvenWhenOneIsSelected", 9, 9, true, 4, -1, 4},
                      IdentifyCase{"NoneDarkNoneSelected", 0, 0, false, 4, -1, 4},
                      IdentifyCase{"NoneDarkSelectedFallback", 0, 0, true, 4, 1, 0},
                      IdentifyCase{"SelectedHasOtherLength", 0, 0, true, 5, -1, 4},
                      IdentifyCase{"DarkCellOfNonCandidateIgnored", 0, 12, false, 5, -1, 4}),
    [](const auto& info) { return info.param.name; });

TEST_F(IdentifyTest, EachLayoutUsesItsOwnG2) {
  DefineLayout(Layout(0), 'A', 2, 1, 2).grade.g2 = 8;
  DefineLayout(Layout(1), 'B', 2, 2, 2).grade.g2 = 8;
  LoadGrid(*frame, SheetGrid(2, 2).Set(2, 1, 8).Set(2, 2, 9));
  EXPECT_EQ(Identify(), &Layout(1));
}

class BarsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DefineLayout(*layout, 'A', 1, 1, 3);
    SheetGrid grid(3, 6);
    grid.Row(1, 1, "333333").Row(3, 2, "39");
    LoadGrid(*frame, grid);
  }
  std::unique_ptr<SheetLayout> layout = std::make_unique<SheetLayout>();
  std::unique_ptr<DeviceFrame> frame = std::make_unique<DeviceFrame>();
};

TEST_F(BarsTest, EveryCellAtLeastG1Passes) {
  AddBar(*layout, 1, 1, 6);  // G1 is 3: cells of exactly 3 pass
  AddBar(*layout, 3, 3, 3);
  EXPECT_TRUE(CheckBars(*layout, *frame));
  layout->grade.g1 = 4;
  EXPECT_FALSE(CheckBars(*layout, *frame));
}

TEST_F(BarsTest, OneLightCellFails) {
  AddBar(*layout, 1, 1, 6);
  AddBar(*layout, 3, 2, 3);  // column 2 holds 3, column 3 holds 9
  layout->grade.g1 = 3;
  EXPECT_TRUE(CheckBars(*layout, *frame));
  AddBar(*layout, 2, 6, 6);  // a 0 on line 2
  EXPECT_FALSE(CheckBars(*layout, *frame));
}

TEST_F(BarsTest, OffGridCellFails) {
  AddBar(*layout, 1, 2, 7);  // column 7 is off the grid
  EXPECT_FALSE(CheckBars(*layout, *frame));
}

TEST_F(BarsTest, OffGridLineFails) {
  AddBar(*layout, 4, 1, 1);
  EXPECT_FALSE(CheckBars(*layout, *frame));
}

TEST_F(BarsTest, ReversedBarChecksNothing) {
  AddBar(*layout, 2, 5, 4);
  EXPECT_TRUE(CheckBars(*layout, *frame));
}

TEST_F(BarsTest, NegativeG1AcceptsOffGridCellsOfAnyRange) {
  // -1 is at least -1: an off-grid cell passes, and the widest range ends at once.
  layout->grade.g1 = -1;
  AddBar(*layout, 1, INT_MIN, INT_MAX);
  AddBar(*layout, 99, 1, INT_MAX);
  EXPECT_TRUE(CheckBars(*layout, *frame));
}

TEST_F(BarsTest, NoBarsPass) {
  EXPECT_TRUE(CheckBars(*layout, *frame));
}

}  // namespace
}  // namespace omr::test
