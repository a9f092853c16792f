// What every form of the item analysis (HTML, terminal, JSON, XLSX) shows the
// same way: numbers, labels, keys and the advice for a flagged item.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "statistics.h"
#include "text.h"

namespace omr::exam {

// A number with `digits` decimals and "." as the point whatever the locale;
// never "-0.00".
std::string Fixed(double value, int digits);
// Fixed, or `none` for a figure that could not be computed.
std::string Fixed(const std::optional<double>& value, int digits, std::string_view none);

// The text as valid UTF-8 (CleanUtf8), then & < > " ' as character
// references.
std::string EscapeHtml(std::string_view text);

// An option label as shown: the character itself when it is visible ASCII,
// otherwise \xHH (a label is one byte of the form's label text).
std::string LabelText(char label);
// Several labels, each as LabelText.
std::string LabelsText(std::string_view labels);
// "A", "blank" or "multiple".
std::string RowName(const OptionRow& row);

// The key of item `index` as shown: its labels, or "A: B, B: C" per version
// when the versions key it differently.
std::string KeyText(const ExamAnalysis& exam, const Analysis& analysis, std::size_t index);

// Under the test figures: which totals they use (the students', after the
// floor, with how many were raised to it) and how SD and SEM are computed.
std::string TotalsNote(const TestResult& test);

// The item columns of the terminal's table, one by one.
inline constexpr const char* kItemColumnsNote =
    "Max: the item's points. Mean: its mean points. p: the share of sheets that answered it right (the key "
    "or\n"
    "an accepted option; partial credit: Mean / Max). D: p in the upper minus p in the lower group (27 % "
    "each,\n"
    "ranked by the sum of item points). r.tot: the correlation of right/wrong (partial credit: the points) "
    "with\n"
    "the sum of item points; r.rest: the same with the rest of that sum, which the flags use. a.del: alpha\n"
    "without the item (- where alpha does not count it).";

// One sentence per flag of the item: why it is flagged and what to consider.
std::vector<std::string> FlagAdvice(const ExamAnalysis& exam, const Analysis& analysis, std::size_t index);

}  // namespace omr::exam
