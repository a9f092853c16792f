// The confidence over a few thousand simulated sheets of the example forms:
// light noise and jitter give almost no doubtful question, every planted
// faint mark, erasure and near tie is flagged, and so is every question the
// recognition reads otherwise than drawn. What was drawn and what it codes to
// come from the simulator, not from the library under test.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "form/form_loader.h"
#include "omr_offline.h"
#include "sim/answers.h"
#include "sim/synth.h"

namespace omr::sim {
namespace {

struct Tally {
  long sheets = 0;
  long clean = 0;       // neither planted nor misread
  long falseFlags = 0;  // clean but flagged
  long planted[3] = {};
  long missed[3] = {};  // planted without its flag
  long misread = 0;
  long misreadUnflagged = 0;
};

constexpr const char* kKinds[3] = {"faint", "erased", "near-tie"};
constexpr int kBits[3] = {OMRO_DOUBT_FAINT, OMRO_DOUBT_ERASURE, OMRO_DOUBT_NEAR_TIE};

int KindIndex(const std::string& kind) {
  for (int k = 0; k < 3; ++k)
    if (kind == kKinds[k]) return k;
  return -1;
}

// What the drawn marks of an answer code to, as the simulator sees them.
char Intended(const SheetLayout& layout, const Question& q, const Answer& a) {
  if (a.kind == Answer::Kind::Char) return a.wanted;
  std::string marks(q.cells.size(), '_');
  const std::vector<int> options = q.Options();
  for (const Mark& m : a.marks)
    marks[static_cast<std::size_t>(options[static_cast<std::size_t>(m.option)])] = '1';
  return CodeQuestion(layout, q, marks);
}

void RunForm(const std::string& name, int darkness, int sheetsPerSetting, Tally& t) {
  const std::string path = std::string(OMR_SOURCE_DIR) + "/examples/" + name;
  auto forms = std::make_unique<FormDefinition>();
  ReaderSettings settings;
  std::int32_t code = 0;
  ASSERT_TRUE(ReadFormFile(*forms, settings, path.c_str(), code)) << path;
  omro_form* form = nullptr;
  ASSERT_EQ(omro_form_load(path.c_str(), &form), OMRO_OK);
  std::unique_ptr<omro_form, decltype(&omro_form_free)> owned(form, omro_form_free);
  std::vector<int> layouts;
  for (int i = 0; i < kLayoutsPerFace; ++i)
    if (forms->layouts[kFaceA][i].defined && forms->layouts[kFaceA][i].fields.records[0].used)
      layouts.push_back(i);

  RandomRates rates;
  rates.faint = 0.03;
  rates.erased = 0.03;
  rates.nearTie = 0.05;
  std::mt19937 rng(20);
  for (int noise = 0; noise <= 2; ++noise) {
    for (int jitter = 0; jitter <= 2; ++jitter) {
      for (int n = 0; n < sheetsPerSetting; ++n) {
        SheetPlan plan;
        plan.layout = layouts[static_cast<std::size_t>(n) % layouts.size()];
        const SheetLayout& layout = forms->layouts[kFaceA][plan.layout];
        plan.answers = RandomAnswers(layout, rng, rates);
        plan.draw.darkness = darkness;
        plan.draw.noise = noise;
        plan.draw.jitter = jitter;
        plan.draw.seed = static_cast<std::uint32_t>(rng());
        SynthesizedSheet sheet;
        std::string error;
        ASSERT_TRUE(Synthesize(*forms, plan, sheet, error, false)) << error;
        ASSERT_EQ(sheet.expected.error, 0);
        const SheetGrid& g = sheet.grid;
        omro_sheet* decoded = nullptr;
        ASSERT_EQ(
            omro_decode_grid(form, g.Lines(), g.Columns(), g.Cells().data(), g.Cells().size(), 0, &decoded),
            OMRO_OK);
        std::unique_ptr<omro_sheet, decltype(&omro_sheet_free)> s(decoded, omro_sheet_free);
        char result[512];
        std::size_t length = 0;
        ASSERT_EQ(omro_sheet_result(decoded, result, sizeof result, &length), OMRO_OK);
        ASSERT_EQ(std::string(result, length), sheet.expected.text);
        ++t.sheets;

        const std::vector<Question> questions = LayoutQuestions(layout);
        for (std::size_t i = 0; i < questions.size(); ++i) {
          const Answer a = i < plan.answers.size() ? plan.answers[i] : Answer::Blank();
          omro_question q{};
          ASSERT_EQ(omro_sheet_question(decoded, static_cast<int>(i), &q), OMRO_OK);
          const int kind = KindIndex(PlantedDoubt(questions[i], a));
          if (kind >= 0) {
            ++t.planted[kind];
            if ((q.doubtful & kBits[kind]) == 0) {
              ++t.missed[kind];
              ADD_FAILURE() << name << " darkness " << darkness << " noise " << noise << " jitter " << jitter
                            << " sheet " << n << " question " << i + 1 << ": planted " << kKinds[kind]
                            << " not flagged (doubt " << q.doubtful << ")";
            }
          } else if (static_cast<char>(q.character) != Intended(layout, questions[i], a)) {
            ++t.misread;
            if (q.doubtful == 0) ++t.misreadUnflagged;
          } else {
            ++t.clean;
            if (q.doubtful != 0) ++t.falseFlags;
          }
        }
      }
    }
  }
}

TEST(ConfidenceSimTest, LightNoiseIsClearAndEveryPlantedDoubtIsFlagged) {
  Tally t;
  // Darkness 9 to 12: the marks a pencil leaves; the default is 11.
  for (const int darkness : {9, 11, 12})
    for (const char* name : {"exam60.form", "survey.form", "twolayout.form"}) RunForm(name, darkness, 40, t);
  std::printf(
      "%ld sheets: %ld clean questions, %ld flagged (%.3f%%); planted faint %ld, erased %ld, near tie %ld, "
      "missed %ld/%ld/%ld; misread %ld, unflagged %ld\n",
      t.sheets, t.clean, t.falseFlags,
      100.0 * static_cast<double>(t.falseFlags) / static_cast<double>(t.clean), t.planted[0], t.planted[1],
      t.planted[2], t.missed[0], t.missed[1], t.missed[2], t.misread, t.misreadUnflagged);
  EXPECT_GE(t.sheets, 2000);
  for (long p : t.planted) EXPECT_GT(p, 100);
  for (long m : t.missed) EXPECT_EQ(m, 0);
  EXPECT_EQ(t.misreadUnflagged, 0);
  EXPECT_LT(static_cast<double>(t.falseFlags), 0.01 * static_cast<double>(t.clean));
}

}  // namespace
}  // namespace omr::sim
