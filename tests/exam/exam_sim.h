// Simulated scored exams for the item analysis tests and benchmarks: students
// of normally distributed ability answer items of known difficulty, with a
// planted wrong key, a planted item the strong students get wrong and a
// planted easy item.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "statistics.h"

namespace omr::exam::testing {

struct SimulationPlan {
  std::uint64_t seed = 1;
  int sheets = 200;
  int items = 30;
  std::string options = "ABCDE";
  std::vector<std::string> versions = {"A", "B"};
  bool plant = true;            // items 3 (wrong key), 7 (negative) and 11 (easy); needs 11 items
  int voidItem = 0;             // master number of a void item, 0 for none
  int bonusItem = 0;            // master number of a bonus item, 0 for none
  int acceptItem = 0;           // master number of an item that accepts a second option too, 0 for none
  double wrong = 0;             // points for a wrong answer (negative marking)
  std::optional<double> floor;  // the least total a student gets
  double blankRate = 0.01;
  double multipleRate = 0.005;
};

struct SimulatedExam {
  AnalysisInput input;
  std::vector<int> wrongKey, negative, easy;  // planted master numbers
};

SimulatedExam SimulateExam(const SimulationPlan& plan);

}  // namespace omr::exam::testing
