#include "sim/answers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "sim_test_util.h"

namespace omr::sim {
namespace {

class AnswersTest : public ::testing::Test {
 protected:
  bool Parse(const std::string& line) {
    error.clear();
    return ParseAnswersLine(*forms, line, DrawOptions{}, plan, isSheet, error);
  }
  std::unique_ptr<FormDefinition> forms = test::SmallExam();
  SheetPlan plan;
  bool isSheet = false;
  std::string error;
};

TEST_F(AnswersTest, CommentsAndBlankLinesAreNoSheets) {
  EXPECT_TRUE(Parse(""));
  EXPECT_FALSE(isSheet);
  EXPECT_TRUE(Parse("   # a comment"));
  EXPECT_FALSE(isSheet);
}

TEST_F(AnswersTest, CharactersBracketsAndEscapes) {
  ASSERT_TRUE(Parse("A B[1,3h][]\\x3E\\.")) << error;
  EXPECT_TRUE(isSheet);
  EXPECT_EQ(plan.layout, 0);
  ASSERT_EQ(plan.answers.size(), 5u);
  EXPECT_EQ(plan.answers[0].kind, Answer::Kind::Char);
  EXPECT_EQ(plan.answers[0].wanted, 'B');
  ASSERT_EQ(plan.answers[1].kind, Answer::Kind::Marks);
  ASSERT_EQ(plan.answers[1].marks.size(), 2u);
  EXPECT_EQ(plan.answers[1].marks[0].option, 0);
  EXPECT_EQ(plan.answers[1].marks[0].style, MarkStyle::Normal);
  EXPECT_EQ(plan.answers[1].marks[1].option, 2);
  EXPECT_EQ(plan.answers[1].marks[1].style, MarkStyle::HalfErased);
  EXPECT_EQ(plan.answers[2].kind, Answer::Kind::Blank);
  EXPECT_EQ(plan.answers[3].wanted, '>');
  EXPECT_EQ(plan.answers[4].wanted, '.');
  EXPECT_FALSE(Parse("A ABCD99"));  // one answer too many
}

// The planted styles: drawn levels follow the sheet's noise, darkness and
// jitter (paper noise / 2, mark darkness - jitter / 2), and the planted file
// names each question with one.
TEST_F(AnswersTest, PlantedStylesLevelsAndPlantedLine) {
  ASSERT_TRUE(Parse("A [2l][1,3e][4,2t][1,2] noise=2 jitter=2")) << error;
  ASSERT_EQ(plan.answers.size(), 4u);
  EXPECT_EQ(plan.answers[0].marks[0].style, MarkStyle::Light);
  EXPECT_EQ(plan.answers[1].marks[1].style, MarkStyle::Erasure);
  EXPECT_EQ(plan.answers[2].marks[1].style, MarkStyle::Tie);
  EXPECT_EQ(FormatPlanted(forms->layouts[kFaceA][0], plan.answers), "1:faint 2:erased 3:near-tie 4:near-tie");
  SheetGrid grid;
  ASSERT_TRUE(DrawSheet(forms->layouts[kFaceA][0], plan.answers, plan.draw, grid, error)) << error;
  // Paper 1, mark 10, spread 9: a light mark above 3.25 and below 5, an
  // erasure between 3.25 and 7.75 (the middle integer), a tie 0 to 2 below
  // its question's mark.
  const std::vector<Question> q = LayoutQuestions(forms->layouts[kFaceA][0]);
  auto value = [&](int question, int option) {
    const QuestionCell& c = q[question].cells[static_cast<std::size_t>(q[question].Options()[option])];
    return grid.At(c.line, c.column);
  };
  EXPECT_EQ(value(0, 1), 4);
  EXPECT_EQ(value(1, 2), 5);
  EXPECT_GE(value(2, 1), value(2, 3) - 2);
  EXPECT_LE(value(2, 1), value(2, 3));
  EXPECT_GE(value(2, 3), 9);
  // No grey left between noise 6 and darkness 8 for a light mark.
  plan.draw.noise = 6;
  plan.draw.darkness = 8;
  EXPECT_FALSE(DrawSheet(forms->layouts[kFaceA][0], plan.answers, plan.draw, grid, error));
  EXPECT_NE(error.find("no grey is left for a faint mark"), std::string::npos) << error;
}

TEST_F(AnswersTest, Options) {
  ASSERT_TRUE(
      Parse("A [2f] status=3 dark=9 jitter=2 noise=1 seed=4 nobar noident lines=21 columns=50 name=x1"))
      << error;
  EXPECT_EQ(plan.answers[0].marks[0].style, MarkStyle::Faint);
  EXPECT_EQ(plan.status, 3);
  EXPECT_EQ(plan.draw.darkness, 9);
  EXPECT_EQ(plan.draw.jitter, 2);
  EXPECT_EQ(plan.draw.noise, 1);
  EXPECT_EQ(plan.draw.seed, 4u);
  EXPECT_EQ(plan.draw.missingBar, 1);
  EXPECT_TRUE(plan.draw.lightIdent);
  EXPECT_EQ(plan.draw.lines, 21);
  EXPECT_EQ(plan.draw.columns, 50);
  EXPECT_EQ(plan.name, "x1");
  ASSERT_TRUE(Parse("A . nobar=2")) << error;
  EXPECT_EQ(plan.draw.missingBar, 2);
}

TEST_F(AnswersTest, Errors) {
  for (const char* bad : {"Q ABC", "AB ABC", "A", "A [1", "A [x]", "A [0]", "A ABC dark=13", "A ABC nobar=7",
                          "A ABC lines=0", "A ABC colour=red", "A ABC\\"}) {
    EXPECT_FALSE(Parse(bad)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST_F(AnswersTest, FileGivesEachSheetItsOwnSeedAndName) {
  const std::string path = ::testing::TempDir() + "/answers_test.txt";
  {
    std::ofstream out(path);
    out << "# two sheets\nA ABCD noise=1\n\nA DCBA9 noise=1\n";
  }
  std::vector<SheetPlan> plans;
  std::string err;
  DrawOptions defaults;
  defaults.seed = 100;
  ASSERT_TRUE(ReadAnswersFile(*forms, path, defaults, plans, err)) << err;
  ASSERT_EQ(plans.size(), 2u);
  EXPECT_NE(plans[0].draw.seed, plans[1].draw.seed);
  EXPECT_EQ(plans[1].name, path + ":4");
  SynthesizedSheet a, b;
  ASSERT_TRUE(Synthesize(*forms, plans[0], a, err)) << err;
  ASSERT_TRUE(Synthesize(*forms, plans[1], b, err)) << err;
  EXPECT_EQ(FormatExpected(a.expected), "A ABCD0");
  EXPECT_EQ(FormatExpected(b.expected), "A DCBA9");
  EXPECT_NE(a.grid.Cells(), b.grid.Cells());

  {
    std::ofstream out(path);
    out << "A ABCD\nA ABCDEFG\n";
  }
  plans.clear();
  EXPECT_FALSE(ReadAnswersFile(*forms, path, defaults, plans, err));
  EXPECT_NE(err.find(":2:"), std::string::npos);
  std::remove(path.c_str());
  EXPECT_FALSE(ReadAnswersFile(*forms, path, defaults, plans, err));
}

TEST(ExpectedTest, EscapesAndErrors) {
  EXPECT_EQ(EscapeText(std::string("A b\\\0\x7F", 6)), "A\\x20b\\x5C\\x00\\x7F");
  Prediction failed;
  failed.error = 5;
  EXPECT_EQ(FormatExpected(failed), "! 5");
  Prediction read;
  read.letter = 'B';
  read.text = std::string("1\0", 2);
  EXPECT_EQ(FormatExpected(read), "B 1\\x00");
}

}  // namespace
}  // namespace omr::sim
