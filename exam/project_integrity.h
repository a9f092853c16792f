// The integrity analyses of an exam project: its scored sheets, the erasures
// the recognition sees on their stored grids, the answers it doubted that no
// person reviewed, the roster's group columns and the stations' runs.
#pragma once

#include <string>
#include <vector>

#include "integrity.h"
#include "project.h"

namespace omr::exam {

// The roster columns that group students (class, room): at least two
// values, and at most half as many values as students have one. The group
// `wanted` is taken whatever its values ("" for none); "station" follows.
std::vector<std::string> GroupColumnsOf(const Roster& roster, const std::string& wanted);

// The master items (from 1, in order) whose answer on this sheet the
// recognition doubted and no person has reviewed (corrected or confirmed):
// the sheet's "doubtful" reasons on item questions.
std::vector<int> DoubtedItems(const SheetScore& score);

// The erased option labels of each question of a decoded grid (cells the
// recognition saw between the paper and the mark levels, not taken for a
// mark), by question number from 1.
std::vector<std::string> ErasedLabels(const std::vector<QuestionDetail>& questions);

// The input of AnalyzeIntegrity from scores (as Project::ScoreAll gives them,
// with their sheet records: combined into candidates here) and the grids the
// store keeps. Throws Error for a
// group that is neither a roster column nor "station".
IntegrityInput IntegrityInputOf(Project& project, const std::vector<SheetScore>& scores,
                                const std::vector<SheetRecord>& sheets, const std::string& group);

struct ProjectIntegrity {
  ExamAnalysis analysis;  // the item analysis of the same scores ("key?")
  IntegrityResult result;
  std::string title;
  std::string generated;
};

// Every integrity analysis of the project as it is now. Throws Error.
ProjectIntegrity AnalyzeProjectIntegrity(Project& project, const IntegrityOptions& options);

// The exam report of the project as it is now: the item analysis with the
// integrity screening (its defaults) as a section. The one page both
// `exam report` writes and the office and review pages open. Throws Error.
std::string RenderProjectReport(Project& project);

}  // namespace omr::exam
