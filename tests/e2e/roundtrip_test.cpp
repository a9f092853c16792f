// Sheets drawn by the simulator come back through the library's exports over
// the pty: every example form with its answers file, and random sheets of every
// form (all field types, coding modes 1 to 4, every result mode).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace omr::e2e {
namespace {

struct Session {
  const char* name;
  std::string form;
  std::vector<std::string> options;  // besides --form
};

void PrintTo(const Session& s, std::ostream* os) {
  *os << s.name;
}

// One simulator per case: each draws its own sheets from its own form.
class RoundTrip : public LibraryTest, public ::testing::WithParamInterface<Session> {
 protected:
  void TearDown() override {
    Omr().MR_Close();
    if (HasFailure()) std::fprintf(stderr, "omrsim log:\n%s\n", sim.Log().c_str());
    EXPECT_TRUE(sim.Stop());
    LibraryTest::TearDown();
  }
  Simulator sim;
};

TEST_P(RoundTrip, EverySheetReadsAsDrawn) {
  const Session& s = GetParam();
  std::vector<std::string> args{"--form", s.form, "--empty-status", "16"};
  args.insert(args.end(), s.options.begin(), s.options.end());
  std::string error;
  ASSERT_TRUE(sim.Start(args, error)) << error;
  ASSERT_FALSE(sim.Expected().empty());

  ASSERT_NE(Connect(sim), 0);
  ASSERT_EQ(Omr().MR_LoadForm(s.form.c_str(), ""), 0) << "error " << Omr().MR_GetLastError();

  // The three read entries take turns.
  const ReadEntry entries[] = {ReadEntry::Read, ReadEntry::ReadNoWait, ReadEntry::ReadWithLine};
  for (std::size_t i = 0; i < sim.Expected().size(); ++i)
    ExpectRead(sim.Expected()[i], entries[i % 3], std::string(s.name) + " sheet " + std::to_string(i + 1));

  // Every queued sheet was taken: the reader now reports an empty tray.
  EXPECT_EQ(Omr().MR_Read(), -1);
  EXPECT_EQ(Omr().MR_GetLastError(), 16);
}

std::string TestForm(const char* name) {
  return std::string(OMR_E2E_DATA_DIR) + "/" + name;
}

INSTANTIATE_TEST_SUITE_P(
    ExampleAnswers, RoundTrip,
    ::testing::Values(
        Session{"exam60", ExamplePath("exam60.form"), {"--answers", ExamplePath("exam60.answers")}},
        Session{"survey", ExamplePath("survey.form"), {"--answers", ExamplePath("survey.answers")}},
        Session{"twolayout", ExamplePath("twolayout.form"), {"--answers", ExamplePath("twolayout.answers")}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    RandomAnswers, RoundTrip,
    ::testing::Values(Session{"exam60", ExamplePath("exam60.form"), {"--random", "9", "--seed", "7"}},
                      Session{"exam60_noisy",
                              ExamplePath("exam60.form"),
                              {"--random", "6", "--seed", "12", "--noise", "1", "--jitter", "2"}},
                      Session{"survey", ExamplePath("survey.form"), {"--random", "12", "--seed", "3"}},
                      Session{"twolayout", ExamplePath("twolayout.form"), {"--random", "12", "--seed", "5"}},
                      Session{"codings", TestForm("codings.form"), {"--random", "16", "--seed", "9"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A second text makes MR_LoadForm answer -100, yet the form is loaded and sent.
using LoadForm = LibraryTest;

TEST_F(LoadForm, SecondTextGivesMinus100AndTheFormStillReads) {
  Simulator sim;
  std::string error;
  ASSERT_TRUE(sim.Start({"--form", ExamplePath("survey.form"), "--random", "1", "--seed", "4"}, error))
      << error;
  ASSERT_NE(Connect(sim), 0);
  EXPECT_EQ(Omr().MR_LoadForm(ExamplePath("survey.form").c_str(), "second.form"), -100);
  EXPECT_EQ(Omr().MR_GetLastError(), 0);
  ExpectRead(sim.Expected().at(0), ReadEntry::Read, "survey sheet");
  Omr().MR_Close();
  EXPECT_TRUE(sim.Stop());
}

}  // namespace
}  // namespace omr::e2e
