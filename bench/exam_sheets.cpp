#include "exam_sheets.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>

namespace omr::bench {

bool ExamForm::Load(const std::string& path) {
  std::int32_t error = 0;
  if (!omr::ReadFormFile(forms_, settings_, path.c_str(), error)) {
    std::fprintf(stderr, "cannot read %s (error %d)\n", path.c_str(), error);
    return false;
  }
  forms_.SelectLayout(omr::kFaceA);
  return true;
}

bool DrawnSheet(const omr::exam::Project& project, const omr::SheetLayout& layout,
                const std::vector<omr::sim::Answer>& answers, int seed, omr::exam::SheetInput& input) {
  omr::sim::DrawOptions draw;
  draw.seed = static_cast<std::uint32_t>(seed);
  draw.noise = 1;
  omr::sim::SheetGrid grid;
  std::string why;
  if (!omr::sim::DrawSheet(layout, answers, draw, grid, why)) {
    std::fprintf(stderr, "cannot draw a sheet: %s\n", why.c_str());
    return false;
  }
  input.hasGrid = true;
  input.decoded = project.form().Decode(
      {grid.Lines(), grid.Columns(), std::vector<std::uint8_t>(grid.Cells().begin(), grid.Cells().end())});
  return true;
}

std::string TwoVersionExam(const std::string& form) {
  std::vector<int> order;
  std::mt19937 rng(5);
  std::string key1;
  for (int i = 0; i < 60; ++i) key1 += "ABCDE"[rng() % 5];
  order.resize(60);
  for (int i = 0; i < 60; ++i) order[static_cast<std::size_t>(i)] = i + 1;
  std::shuffle(order.begin(), order.end(), rng);
  std::string key2;
  std::string list;
  for (const int m : order) {
    key2 += key1[static_cast<std::size_t>(m - 1)];
    list += (list.empty() ? "" : ",") + std::to_string(m);
  }
  return "{\"form\": \"" + form +
         "\", \"student\": {\"questions\": \"1-8\"}, \"version\": {\"question\": 10}, \"items\": \"11-70\",\n"
         " \"keys\": {\"1\": \"" +
         key1 + "\", \"2\": {\"answers\": \"" + key2 + "\", \"order\": [" + list +
         "]}},\n"
         " \"scoring\": {\"wrong\": -0.25, \"floor\": 0, \"items\": {\"5\": \"void\", \"7\": \"bonus\", "
         "\"9\": {\"accept\": \"BC\"}, \"12\": {\"all\": \"AC\", \"partial\": true}}}}\n";
}

int FillProject(const std::string& projectPath, const std::string& examPath, int count, double doubts) {
  const std::string form = OMR_BENCH_EXAM_FORM;
  std::string key;
  std::mt19937 rng(5);
  for (int i = 0; i < 60; ++i) key += "ABCDE"[rng() % 5];
  std::ofstream(examPath)
      << "{\"form\": \"" << form
      << "\", \"student\": {\"questions\": \"1-8\"}, \"items\": \"11-70\", \"keys\": {\"A\": \"" << key
      << "\"}, \"review\": {\"blank\": true}}\n";  // the planted blanks wait for a person too
  omr::bench::ExamForm forms;
  if (!forms.Load(form)) return 1;
  const omr::SheetLayout& layout = forms.Layout();
  auto project = omr::exam::Project::Create(projectPath, examPath, "exam", "bench");
  for (int n = 0; n < count; ++n) {
    omr::sim::RandomRates clean;
    clean.blank = 0;
    clean.doubleMark = 0;
    std::vector<omr::sim::Answer> answers = omr::sim::RandomAnswers(layout, rng, clean);
    if (std::uniform_real_distribution<double>(0, 1)(rng) < doubts) {
      const std::size_t q = 10 + rng() % 60;
      const int option = static_cast<int>(rng() % 5);
      switch (rng() % 3) {
        case 0:
          answers[q] = omr::sim::Answer::Marks({{option, omr::sim::MarkStyle::Light}});
          break;
        case 1:
          answers[q] = omr::sim::Answer::Marks({{option}, {(option + 2) % 5}});
          break;
        default:
          answers[q] = omr::sim::Answer::Blank();
      }
    }
    omr::exam::SheetInput input;
    if (!omr::bench::DrawnSheet(*project, layout, answers, n + 1, input)) return 1;
    input.station = "bench";
    project->AddSheet(input);
  }
  return 0;
}

}  // namespace omr::bench
