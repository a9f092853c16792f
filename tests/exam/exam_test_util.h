// Shapes and exam texts shared by the exam-layer tests.
#pragma once

#include <string>
#include <utility>

#include "exam_file.h"

namespace omr::exam::testing {

// The questions of examples/exam60.form: 8 weighted digits (8421), two class
// digits, 60 single-choice questions A-E.
inline FormShape Exam60Shape() {
  LayoutShape l;
  l.letter = 'A';
  for (int q = 1; q <= 70; ++q) {
    if (q <= 8)
      l.questions.push_back({q, 'B', "8421"});
    else if (q <= 10)
      l.questions.push_back({q, 's', "0123456789"});
    else
      l.questions.push_back({q, 'S', "ABCDE"});
  }
  return FormShape{{l}};
}

// Two layouts: questions 1-2 the student ID, 3 the version, 4 the part (when
// a question tells it), then items: 5-7 on A, 5-6 on B.
inline FormShape TwoSheets() {
  FormShape shape;
  for (const auto& [letter, count] : {std::pair{'A', 7}, std::pair{'B', 6}}) {
    LayoutShape l;
    l.letter = letter;
    for (int q = 1; q <= count; ++q)
      l.questions.push_back({q, 'S', q <= 2 ? "0123456789" : q <= 4 ? "12" : "ABCDE"});
    shape.layouts.push_back(l);
  }
  return shape;
}

}  // namespace omr::exam::testing
