// What a student gets and what a class did: grades, topic subscores, counts
// of right and wrong answers per student, and the figures of each group of
// students (class, room). Pure functions of the exam, the roster and the
// scores, so that slips, exports, platforms' files and the report show the
// same figures.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "exam_file.h"
#include "roster.h"
#include "scoring.h"
#include "statistics.h"

namespace omr::exam {

class Project;

// `value` rounded to a multiple of `step` by `mode`; values within 1e-9 of a
// step's half (or of a step) count as on it, so that sums of fractional
// points that fall just short by binary noise round as written.
double RoundToStep(double value, double step, RoundMode mode);

struct GradeResult {
  std::optional<double> value;  // what the exam grades on: the percent or the total points
  std::optional<double> mark;   // the value rescaled and rounded (only with "scale" or "round")
  std::string grade;            // the band the mark (else the value) reaches; "" without bands or below all
  int band = -1;                // its index in GradeRules::bands (highest first)
  bool passed = false;          // at or above the pass grade
};

// The grade of a total out of `maximum`. Without grade rules everything is
// empty; a percent without a maximum (every item void) is empty too.
GradeResult GradeOf(const GradeRules& rules, double total, double maximum);

// Whether band `band` passes: at or above the pass grade, or any band but the
// lowest when none is named.
bool BandPasses(const GradeRules& rules, int band);

// Answers on the items that are neither void nor bonus: right (the key or an
// accepted option; an all-of item fully right), wrong (also partly right),
// blank and multiple (several marks on a single-answer item).
struct AnswerCounts {
  int right = 0;
  int wrong = 0;
  int blank = 0;
  int multiple = 0;
};
AnswerCounts CountAnswers(const SheetScore& score);

// A topic's subscore: the sum of the points on its items (no floor) out of
// their maximum (void items count in neither).
struct TopicScore {
  double points = 0;
  double maximum = 0;
  std::optional<double> percent;
};
std::vector<TopicScore> TopicScores(const Exam& exam, const SheetScore& score);

// A student as exports, slips and platforms' files see them.
struct StudentResult {
  std::string id;
  bool inRoster = false;
  std::vector<std::string> columns;  // the roster's other columns; empty when not in the roster
  std::string name;                  // the roster's name, "" when unknown
  // "scored", "absent" (in the roster, no sheet), "not scored", "missing part" (of an exam in parts:
  // not scored while a part has no sheet), "several sheets" (or a part on several), "not in roster".
  std::string status;
  std::vector<int> sheets;  // numbers of the sheets (not void) with this ID
  int score = -1;           // index in ExamResults::scores of the candidate that counts; -1: none
  int shown = -1;           // the one shown: that one, else the latest; -1: no sheet
  GradeResult grade;
  AnswerCounts counts;
  std::vector<TopicScore> topics;   // per exam topic
  std::vector<std::string> groups;  // per group column of ExamResults, "" when none
  std::vector<int> doubted;         // master items the recognition doubted and nobody reviewed

  bool Scored() const { return score >= 0; }
};

// The figures of one group of students: those with a scored sheet.
struct GroupFigures {
  std::string column;  // "" for all students together
  std::string value;
  std::int64_t students = 0;
  std::vector<std::int64_t> distribution;  // totals in ExamResults::bins
  std::vector<std::int64_t> grades;        // per band of the exam's grades
  std::optional<double> passRate;          // share at or above the pass grade (with bands)
  std::optional<double> meanPercent;
  std::optional<double> meanMark;                   // with a scale or rounding
  std::vector<std::optional<double>> topicPercent;  // per topic: the mean of the students' percents
  Analysis analysis;  // the item analysis of their sheets: test figures of the totals, items
};

struct ExamResults {
  std::vector<SheetScore> scores;         // every candidate (CombineSheets of what Project::ScoreAll gives)
  std::vector<std::string> groupColumns;  // the exam's groups, or those asked for
  std::vector<StudentResult> students;    // roster order, then IDs the roster lacks in ID order
  std::vector<Bin> bins;                  // of every counted total, shared by the groups
  // All students first, then per group column its values in natural order
  // ("7A" before "10A"; students without a value last, as "").
  std::vector<GroupFigures> groups;
  std::vector<AnalysisItem> items;  // the analysis input's items (keys, maxima)
};

// The results of these sheet scores (as Project::ScoreAll gives them: they
// are combined into candidates here). `groupColumns`: roster columns to group by
// (the exam's "groups" when empty); throws Error for one the roster lacks.
ExamResults BuildResults(const Exam& exam, const FormShape& shape, const Roster& roster,
                         std::vector<SheetScore> scores, std::vector<std::string> groupColumns = {});
ExamResults BuildResults(Project& project, std::vector<std::string> groupColumns = {});

// The student of this ID; null when there is none.
const StudentResult* FindStudent(const ExamResults& results, const std::string& id);

// "7A" < "10A": digit runs compare as numbers.
bool NaturalLess(const std::string& a, const std::string& b);

// The value shown for a group without one.
inline constexpr const char* kNoGroup = "(none)";

}  // namespace omr::exam
