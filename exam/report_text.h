// The item analysis for the terminal (`omrctl exam stats`) and as JSON
// (`--json`).
#pragma once

#include <string>
#include <string_view>

#include "statistics.h"

namespace omr::exam {

// The analysis of one version, or of all versions for an empty name; null
// when the exam has no such version.
const Analysis* FindAnalysis(const ExamAnalysis& exam, std::string_view version);

// The test figures, then one line per item (key, p, r, D, flags, the share
// of each option in percent), then why each flagged item is flagged. Figures
// that cannot be computed show as "-".
std::string StatsText(const ExamAnalysis& exam, const Analysis& analysis);

// Every figure of every analysis (all versions, then each version) at full
// precision; a figure that cannot be computed is null.
std::string StatsJson(const ExamAnalysis& exam);

struct ExamResults;

// The item analysis of each group of a roster column (as BuildResults groups
// its students): a heading per group, then its analysis as StatsText shows
// it; as JSON, {"group", "groups": [{"value", "students", "analysis"}]}.
std::string GroupStatsText(const ExamAnalysis& exam, const ExamResults& results, const std::string& column);
std::string GroupStatsJson(const ExamAnalysis& exam, const ExamResults& results, const std::string& column);

}  // namespace omr::exam
