// Sheets of the exam benchmarks: the exam form's first layout, and sheets
// drawn on it as the simulator draws them.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "form/form_loader.h"
#include "form/reader_settings.h"
#include "project.h"
#include "sim/synth.h"

namespace omr::bench {

class ExamForm {
 public:
  // False, with a line on stderr, when the form file cannot be read.
  bool Load(const std::string& path);
  const omr::SheetLayout& Layout() const { return forms_.Layout(omr::kFaceA, 0); }

 private:
  omr::FormDefinition forms_;
  omr::ReaderSettings settings_;
};

// The answers drawn (seed `seed`, light noise) and decoded with the project's
// form into `input`; false, with a line on stderr, when they cannot be drawn.
bool DrawnSheet(const omr::exam::Project& project, const omr::SheetLayout& layout,
                const std::vector<omr::sim::Answer>& answers, int seed, omr::exam::SheetInput& input);

// The exam file of the scale benchmarks: two versions of 60 items (version 2
// in a shuffled order), negative marking with a floor, a void, a bonus, an
// accepted pair and a partial-credit item.
std::string TwoVersionExam(const std::string& form);

// A project of `count` sheets of the exam form (60 items, one version, clean
// random answers), `doubts` of them with a planted doubt (a light mark, two
// marks or a blank; blanks go to review); 0, or 1 with a line on stderr.
int FillProject(const std::string& projectPath, const std::string& examPath, int count, double doubts);

// The servers' benchmarks time requests in milliseconds and report the median,
// the 90th percentile and the worst of the samples.
using Clock = std::chrono::steady_clock;

inline double Ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

struct Figures {
  double median = 0;
  double p90 = 0;
  double worst = 0;
};

// `v` must hold at least one sample.
inline Figures Summarize(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v[v.size() * 9 / 10], v.back()};
}

}  // namespace omr::bench
