// The example forms and answers files: every sheet can be drawn and reads back
// as its answers say, with the library's own form reader.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "form/form_loader.h"
#include "sim/answers.h"

namespace omr::sim {
namespace {

struct ExampleCase {
  const char* name;
  int layouts;  // lettered layouts with fields
  std::size_t sheets;
};

void PrintTo(const ExampleCase& c, std::ostream* os) {
  *os << c.name;
}

class ExampleTest : public ::testing::TestWithParam<ExampleCase> {};

TEST_P(ExampleTest, AnswersReadBackAsWritten) {
  const ExampleCase& c = GetParam();
  const std::string base = std::string(OMR_SOURCE_DIR) + "/examples/" + c.name;
  ASSERT_TRUE(std::ifstream(base + ".form").good());
  auto forms = std::make_unique<FormDefinition>();
  ReaderSettings settings;
  int code = 0;
  ASSERT_TRUE(ReadFormFile(*forms, settings, (base + ".form").c_str(), code)) << "error " << code;
  ASSERT_EQ(code, 0);
  int withFields = 0;
  for (const SheetLayout& l : forms->layouts[kFaceA]) withFields += l.defined && l.fields.records[0].used;
  EXPECT_EQ(withFields, c.layouts);

  std::vector<SheetPlan> plans;
  std::string error;
  ASSERT_TRUE(ReadAnswersFile(*forms, base + ".answers", DrawOptions{}, plans, error)) << error;
  ASSERT_EQ(plans.size(), c.sheets);
  for (const SheetPlan& plan : plans) {
    SynthesizedSheet sheet;
    ASSERT_TRUE(Synthesize(*forms, plan, sheet, error)) << plan.name << ": " << error;
    if (sheet.expected.error != 0) continue;
    // Clean answers given as characters come back as they were written.
    std::string written;
    bool plain = true;
    for (const Answer& a : plan.answers) {
      plain &= a.kind == Answer::Kind::Char;
      written.push_back(a.wanted);
    }
    if (plain) {
      EXPECT_EQ(sheet.expected.text.substr(0, written.size()), written) << plan.name;
    }
    EXPECT_EQ(sheet.expected.letter, forms->layouts[kFaceA][plan.layout].ident.letter) << plan.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleTest,
                         ::testing::Values(ExampleCase{"exam60", 1, 9}, ExampleCase{"survey", 1, 5},
                                           ExampleCase{"twolayout", 2, 6}, ExampleCase{"twopart", 2, 4}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace omr::sim
