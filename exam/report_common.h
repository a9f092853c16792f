// What every form of the item analysis (HTML, terminal, JSON, XLSX) shows the
// same way: numbers, labels, keys and the advice for a flagged item.
#pragma once

#include <filesystem>
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

// One sentence per flag of the item: why it is flagged and what to consider.
std::vector<std::string> FlagAdvice(const ExamAnalysis& exam, const Analysis& analysis, std::size_t index);

// Writes `content` to a new file beside `path`, then renames it over `path`:
// a failed write leaves whatever was there. False with the reason in `error`.
bool WriteFileReplacing(const std::filesystem::path& path, std::string_view content, std::string& error);

}  // namespace omr::exam
