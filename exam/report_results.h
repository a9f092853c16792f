// The report's sections on results: per group of students (class, room) the
// figures of their totals, their grades and the pass rate; per topic the
// mean percent of each group. Empty when the exam grades nothing, tags no
// topic and names no group.
#pragma once

#include <string>

#include "exam_file.h"
#include "results.h"

namespace omr::exam {

std::string ResultsSection(const Exam& exam, const ExamResults& results);

}  // namespace omr::exam
