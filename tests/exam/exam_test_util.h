// Shapes and exam texts shared by the exam-layer tests.
#pragma once

#include <string>

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

}  // namespace omr::exam::testing
