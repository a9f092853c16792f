// Classical item analysis of a scored exam: difficulty, discrimination,
// option analysis, reliability and the flags that point at items needing a
// decision. A pure function of the scored sheets: no store, no I/O.
//
// Conventions, for every figure below:
// - n is the number of sheets analysed, x_i a sheet's points on item i, m_i
//   the item's maximum, X the sum of x_i over the items that are not void,
//   and u_i how much of item i the sheet answered right: 1 or 0, or x_i / m_i
//   on a partial-credit item.
// - Item figures, the groups and alpha use X; the figures of the totals
//   (mean, median, SD, minimum, maximum, histogram, SEM) use T, the total
//   the student gets (X after a floor).
// - Variances and SDs are sample ones (divided by n - 1), as in R and
//   spreadsheets.
// - A figure that cannot be computed (no sheet, no variance, a zero maximum)
//   is an empty std::optional, never NaN or infinity.
// - Values that differ by less than 1e-9 of their size count as equal, so
//   that sums of fractional points that differ only by rounding show no
//   variance.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace omr::exam {

// One item of the exam, in the master numbering (the first version's order).
// An option label is one character, as in the keys.
struct AnalysisItem {
  int master = 0;       // master item number, from 1
  double maximum = 0;   // m_i: the points of a fully right answer
  std::string options;  // the item's option labels in form order ("ABCDE")
  std::string keyed;    // labels scored right: key, accepted answers, all labels of an all-of item
  std::map<std::string, std::string> versionKeys;  // versions whose keyed labels differ from `keyed`
  bool multiAnswer = false;  // an all-of item: a label's row counts every sheet that marked it
  bool isVoid = false;       // left out of every figure
  bool bonus = false;        // full points for everyone: in the totals, never flagged
};

// One scored sheet, corrections applied.
struct AnalysisSheet {
  std::int64_t number = 0;  // sheet number; breaks ties between equal totals
  std::string version;
  std::vector<double> points;  // x_i per item, in the order of AnalysisInput::items
  // u_i per item: 1 answered right (the key or an accepted option; bonus: 1),
  // 0 not (wrong, blank, several marks); x_i / m_i on a partial-credit item.
  std::vector<double> right;
  std::vector<std::string> marked;  // per item, the labels marked ("" blank, "AC" two marks)
  std::optional<double> total;      // T; empty: X (no floor)
};

struct AnalysisInput {
  std::vector<AnalysisItem> items;
  std::vector<AnalysisSheet> sheets;  // the scored sheets: read, version known
  // Every version of the exam, also those without sheets. Versions named only
  // by sheets are added after these, in byte order.
  std::vector<std::string> versions;
};

enum Flag : unsigned {
  kFlagKey = 1u << 0,       // "key?": an unkeyed option beats the key
  kFlagNegative = 1u << 1,  // r < 0
  kFlagWeak = 1u << 2,      // 0 <= r < 0.15
  kFlagHard = 1u << 3,      // p < 0.2
  kFlagEasy = 1u << 4,      // p > 0.95
};
inline constexpr unsigned kAllFlags[] = {kFlagKey, kFlagNegative, kFlagWeak, kFlagHard, kFlagEasy};
// "key?", "negative", "weak", "hard", "easy".
std::string_view FlagName(unsigned flag);
// The names of the flags set, separated by `separator`.
std::string FlagNames(unsigned flags, std::string_view separator = " ");

inline constexpr double kWeakBelow = 0.15;
inline constexpr double kHardBelow = 0.2;
inline constexpr double kEasyAbove = 0.95;
inline constexpr int kKeyRivalPercent = 5;  // share of sheets an option needs to raise "key?"

struct OptionRow {
  enum class Kind { kLabel, kBlank, kMultiple };
  Kind kind = Kind::kLabel;
  char label = 0;      // kLabel only
  bool keyed = false;  // kLabel only
  bool listed = true;  // kLabel: one of the item's options (not a stray mark)
  std::int64_t count = 0;
  std::optional<double> share;       // count / n
  std::optional<double> upperShare;  // within the upper group
  std::optional<double> lowerShare;  // within the lower group
  // Pearson correlation of choosing this row (0/1) with X - x_i.
  std::optional<double> pointBiserial;
};

struct ItemResult {
  int master = 0;
  double maximum = 0;
  std::string keyed;  // the keyed labels this analysis used
  bool isVoid = false;
  bool bonus = false;
  bool multiAnswer = false;
  // Over all versions only: the versions key this item differently, so no
  // option row is marked keyed and "key?" is taken from the versions.
  bool keyVaries = false;
  std::optional<double> mean;           // mean(x_i): the mean points
  std::optional<double> p;              // mean(u_i): the share answered right
  std::optional<double> pointBiserial;  // corr(u_i, X): item-total
  std::optional<double> r;              // corr(u_i, X - x_i): corrected item-rest
  std::optional<double> d;              // p(upper) - p(lower)
  std::optional<double> pUpper;         // p within the upper group
  std::optional<double> pLower;         // p within the lower group
  // Alpha over the other items alpha counts; empty for an item alpha does
  // not count, or when fewer than two items would be left.
  std::optional<double> alphaIfDeleted;
  // Options in the item's order, stray labels (marked but not an option) in
  // byte order, then blank and "multiple". A single-answer sheet counts in
  // exactly one row; on an all-of item a sheet counts in the row of every
  // label it marked, and in "multiple" too when it marked more than one.
  std::vector<OptionRow> options;
  unsigned flags = 0;
  int keyRival = -1;  // index in `options` of the option that raised "key?"
  int keyRow = -1;    // index of the keyed option the rival beat (-1: none)
};

struct Bin {
  double low = 0;  // low <= X < high; the last bin also holds X == high
  double high = 0;
  std::int64_t count = 0;
};

struct TestResult {
  std::int64_t n = 0;        // sheets
  int k = 0;                 // items that are not void
  int alphaItems = 0;        // items whose points vary among these sheets: the k of alpha
  double maximum = 0;        // sum of m_i over the items that are not void
  std::int64_t group = 0;    // ceil(0.27 n): the size of the upper and the lower group
  std::int64_t floored = 0;  // sheets whose T differs from X (raised to the floor)
  std::optional<double> mean, median, sd, min, max;  // of T; sd divides by n - 1
  // Cronbach's alpha over the items whose points vary (as R's psych::alpha,
  // which drops the others): bonus and void items never count.
  std::optional<double> alpha;
  std::optional<double> sem;      // sd * sqrt(1 - alpha)
  std::vector<Bin> distribution;  // of T
};

struct Analysis {
  std::string version;  // empty: all versions
  bool allVersions = false;
  TestResult test;
  std::vector<ItemResult> items;  // in the order of AnalysisInput::items, void items included
};

struct ExamAnalysis {
  Analysis overall;
  std::vector<Analysis> versions;
};

// Checks the input: finite points, shares right, totals and maxima, one
// entry per item on every sheet, unique sheet numbers and master numbers, at
// most 255 options an item.
// Empty when it is sound, otherwise what is wrong and where.
std::string CheckAnalysisInput(const AnalysisInput& input);

// Analyses all sheets together and each version on its own. False, with the
// reason in `error`, when CheckAnalysisInput finds a fault.
bool AnalyzeExam(const AnalysisInput& input, ExamAnalysis& out, std::string& error);

// The analysis of one set of sheets (already checked). `version` selects the
// version keys of the items; empty with allVersions for the pooled analysis.
Analysis AnalyzeSheets(const std::vector<AnalysisItem>& items,
                       const std::vector<const AnalysisSheet*>& sheets, const std::string& version,
                       bool allVersions);

// The histogram of totals: bins of a width 1, 2 or 5 times a power of ten
// (at least 1 when every total is whole), at most 40 bins.
std::vector<Bin> Distribution(const std::vector<double>& totals);

}  // namespace omr::exam
