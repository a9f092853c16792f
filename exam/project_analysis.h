// The item analysis of an exam project: its current scores as the analysis
// input, its review queue as the report's list of waiting sheets.
#pragma once

#include <string>
#include <vector>

#include "project.h"
#include "report_html.h"
#include "statistics.h"

namespace omr::exam {

// Every scored candidate (CombineSheets: for an exam of one sheet, every
// sheet read, of a known version, not voided): per master item
// its points, whether it was answered right (a share on a partial-credit
// item) and the labels marked after corrections; the total it gets (after
// the floor). Items carry their
// maximum, the keyed labels of each version (with accepted answers; every
// required label of an all-of item), the option labels of the question on
// the form and whether they are void or bonus.
AnalysisInput AnalysisInputOf(const Exam& exam, const FormShape& shape,
                              const std::vector<SheetScore>& scores);
// The same for one more sheet (none for a sheet not scored, void or of one part).
void AddAnalysisSheet(const Exam& exam, const SheetScore& sheet, AnalysisInput& in);

// The sheets with review reasons, in sheet order, with the roster's name.
std::vector<ReviewEntry> WaitingOf(const std::vector<SheetScore>& scores, const Roster& roster);

// The analysis of these candidates' scores. Throws Error when they cannot be analysed.
ExamAnalysis AnalyzeScores(const Exam& exam, const FormShape& shape, const std::vector<SheetScore>& scores);

struct ProjectReport {
  ExamAnalysis analysis;
  ReportInfo info;  // title, time made, waiting sheets
};

// The analysis and report details of an open project, from the scores as
// they are now. Throws Error when the scores cannot be analysed.
ProjectReport AnalyzeProject(Project& project);

}  // namespace omr::exam
