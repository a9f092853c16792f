// The item analysis in an XLSX export: worksheets added to a workbook the
// caller owns (the export's other sheets come from elsewhere).
#pragma once

#include <xlsxwriter.h>

#include <string>

#include "statistics.h"

namespace omr::exam {

inline constexpr const char* kTestSheetName = "Test statistics";
inline constexpr const char* kItemSheetName = "Item analysis";
inline constexpr const char* kOptionSheetName = "Option analysis";

// Adds three worksheets: the test figures, the items (p, r, D, flags per
// version and over all versions) and the options, one row per option of
// each item. Figures are number cells with the full value (a display format
// rounds them); a figure that cannot be computed is an empty cell. False,
// with the reason in `error`, when a sheet of these names exists or a cell
// cannot be written.
bool AddAnalysisWorksheets(lxw_workbook* workbook, const ExamAnalysis& exam, std::string& error);

}  // namespace omr::exam
