#include "statistics.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <set>

namespace omr::exam {

namespace {

constexpr std::size_t kMaxMarked = 255;
constexpr std::size_t kMaxOptions = 255;
constexpr int kMaxBins = 40;

bool SameValue(double a, double b) {
  return std::fabs(a - b) <= 1e-9 * std::max({1.0, std::fabs(a), std::fabs(b)});
}

// No variance: every value equal to the others within rounding.
bool Constant(const std::vector<double>& v) {
  if (v.empty()) return true;
  const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
  return SameValue(*lo, *hi);
}

double Mean(const std::vector<double>& v) {
  return std::accumulate(v.begin(), v.end(), 0.0) / v.size();
}

// The sample variance (n - 1); 0 for fewer than two values or values that
// are equal within rounding.
double Variance(const std::vector<double>& v) {
  if (v.size() < 2 || Constant(v)) return 0;
  const double mean = Mean(v);
  double sum = 0;
  for (double x : v) sum += (x - mean) * (x - mean);
  return sum / static_cast<double>(v.size() - 1);
}

std::optional<double> Pearson(const std::vector<double>& x, const std::vector<double>& y) {
  if (x.empty() || Constant(x) || Constant(y)) return std::nullopt;
  const double mx = Mean(x), my = Mean(y);
  double sxy = 0, sxx = 0, syy = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    sxy += (x[i] - mx) * (y[i] - my);
    sxx += (x[i] - mx) * (x[i] - mx);
    syy += (y[i] - my) * (y[i] - my);
  }
  if (sxx <= 0 || syy <= 0) return std::nullopt;
  return std::clamp(sxy / std::sqrt(sxx * syy), -1.0, 1.0);
}

// Labels as a set: each byte once, in byte order.
std::string LabelSet(std::string_view labels) {
  std::string s(labels);
  std::sort(s.begin(), s.end());
  s.erase(std::unique(s.begin(), s.end()), s.end());
  return s;
}

const std::string& KeyFor(const AnalysisItem& item, const std::string& version) {
  const auto it = item.versionKeys.find(version);
  return it == item.versionKeys.end() ? item.keyed : it->second;
}

std::string Describe(const AnalysisSheet& sheet) {
  return "sheet " + std::to_string(sheet.number);
}

struct RowSums {
  std::int64_t upper = 0;
  std::int64_t lower = 0;
  double restDeviation = 0;  // sum over choosing sheets of (R - mean R)
};

// Which rows a response counts in: a single-answer item gives one row, an
// all-of item one per label plus "multiple" when it has more than one.
template <typename F>
void ForEachRow(const std::array<int, 256>& labelRow, int blankRow, int multipleRow, bool multiAnswer,
                std::string_view marked, F&& f) {
  std::array<bool, 256> seen{};
  int distinct = 0;
  int single = -1;
  for (char c : marked) {
    const auto b = static_cast<unsigned char>(c);
    if (seen[b]) continue;
    seen[b] = true;
    ++distinct;
    single = labelRow[b];
    if (multiAnswer) f(labelRow[b]);
  }
  if (distinct == 0) {
    f(blankRow);
  } else if (distinct == 1) {
    if (!multiAnswer) f(single);
  } else {
    f(multipleRow);
  }
}

void SetFlags(ItemResult& item, std::int64_t n) {
  if (item.isVoid || item.bonus) return;
  if (item.r) {
    if (*item.r < 0) {
      item.flags |= kFlagNegative;
    } else if (*item.r < kWeakBelow) {
      item.flags |= kFlagWeak;
    }
  }
  if (item.p) {
    if (*item.p < kHardBelow) item.flags |= kFlagHard;
    if (*item.p > kEasyAbove) item.flags |= kFlagEasy;
  }
  if (item.keyVaries || n == 0) return;
  // The best keyed option; a key nobody chose has no point-biserial and
  // loses to any option that has one.
  int keyRow = -1;
  for (int i = 0; i < static_cast<int>(item.options.size()); ++i) {
    const OptionRow& row = item.options[i];
    if (row.kind != OptionRow::Kind::kLabel || !row.keyed) continue;
    if (keyRow < 0 || (row.pointBiserial && (!item.options[keyRow].pointBiserial ||
                                             *row.pointBiserial > *item.options[keyRow].pointBiserial))) {
      keyRow = i;
    }
  }
  if (keyRow < 0) return;
  const std::optional<double> keyR = item.options[keyRow].pointBiserial;
  int rival = -1;
  for (int i = 0; i < static_cast<int>(item.options.size()); ++i) {
    const OptionRow& row = item.options[i];
    if (row.kind != OptionRow::Kind::kLabel || row.keyed || !row.listed || !row.pointBiserial) continue;
    if (row.count * 100 < static_cast<std::int64_t>(kKeyRivalPercent) * n) continue;
    if (keyR && *row.pointBiserial <= *keyR) continue;
    if (rival < 0 || *row.pointBiserial > *item.options[rival].pointBiserial) rival = i;
  }
  if (rival >= 0) {
    item.flags |= kFlagKey;
    item.keyRival = rival;
    item.keyRow = keyRow;
  }
}

}  // namespace

std::string_view FlagName(unsigned flag) {
  switch (flag) {
    case kFlagKey:
      return "key?";
    case kFlagNegative:
      return "negative";
    case kFlagWeak:
      return "weak";
    case kFlagHard:
      return "hard";
    case kFlagEasy:
      return "easy";
    default:
      return "";
  }
}

std::string FlagNames(unsigned flags, std::string_view separator) {
  std::string out;
  for (unsigned f : kAllFlags) {
    if (!(flags & f)) continue;
    if (!out.empty()) out += separator;
    out += FlagName(f);
  }
  return out;
}

std::string CheckAnalysisInput(const AnalysisInput& input) {
  std::set<int> masters;
  for (std::size_t i = 0; i < input.items.size(); ++i) {
    const AnalysisItem& item = input.items[i];
    const std::string where =
        "item " + std::to_string(i + 1) + " (master " + std::to_string(item.master) + ")";
    if (!masters.insert(item.master).second) return where + ": master number used twice";
    if (!std::isfinite(item.maximum) || item.maximum < 0) return where + ": the maximum is not a number >= 0";
    if (item.options.size() > kMaxOptions) return where + ": more than 255 option labels";
    if (item.keyed.size() > kMaxOptions) return where + ": more than 255 keyed labels";
    for (const auto& [version, key] : item.versionKeys) {
      if (key.size() > kMaxOptions) return where + ": more than 255 keyed labels for version " + version;
    }
  }
  std::set<std::int64_t> numbers;
  for (const AnalysisSheet& sheet : input.sheets) {
    if (!numbers.insert(sheet.number).second) return Describe(sheet) + ": sheet number used twice";
    if (sheet.points.size() != input.items.size() || sheet.right.size() != input.items.size() ||
        sheet.marked.size() != input.items.size()) {
      return Describe(sheet) + ": " + std::to_string(sheet.points.size()) + " points, " +
             std::to_string(sheet.right.size()) + " shares right and " + std::to_string(sheet.marked.size()) +
             " responses for " + std::to_string(input.items.size()) + " items";
    }
    if (sheet.total && (!std::isfinite(*sheet.total) || std::fabs(*sheet.total) > 1e12)) {
      return Describe(sheet) + ": the total is not a finite number";
    }
    for (std::size_t i = 0; i < sheet.points.size(); ++i) {
      if (!std::isfinite(sheet.points[i]) || std::fabs(sheet.points[i]) > 1e9) {
        return Describe(sheet) + ", item " + std::to_string(i + 1) + ": points are not a finite number";
      }
      if (!std::isfinite(sheet.right[i]) || std::fabs(sheet.right[i]) > 1e9) {
        return Describe(sheet) + ", item " + std::to_string(i + 1) +
               ": the share right is not a finite number";
      }
      if (sheet.marked[i].size() > kMaxMarked) {
        return Describe(sheet) + ", item " + std::to_string(i + 1) + ": more than 255 marked labels";
      }
    }
  }
  return {};
}

std::vector<Bin> Distribution(const std::vector<double>& totals) {
  std::vector<Bin> bins;
  if (totals.empty()) return bins;
  const auto [lo, hi] = std::minmax_element(totals.begin(), totals.end());
  const bool whole = std::all_of(totals.begin(), totals.end(), [](double x) { return x == std::floor(x); });
  // floor with a little slack: 0.3 / 0.1 is 2.9999999999999996.
  const auto slot = [](double x, double w) { return std::floor(x / w + 1e-9); };
  double width = 0;
  for (int exponent = -3; exponent <= 12 && width == 0; ++exponent) {
    for (double step : {1.0, 2.0, 5.0}) {
      const double w = step * std::pow(10.0, exponent);
      if (whole && w < 1) continue;
      if (slot(*hi, w) - slot(*lo, w) + 1 <= kMaxBins) {
        width = w;
        break;
      }
    }
  }
  if (width == 0) width = std::max(1.0, (*hi - *lo) / kMaxBins);  // totals beyond 1e12: never from points
  const double first = slot(*lo, width);
  const int count = static_cast<int>(std::min<double>(kMaxBins, slot(*hi, width) - first + 1));
  for (int i = 0; i < count; ++i) bins.push_back({(first + i) * width, (first + i + 1) * width, 0});
  for (double x : totals) {
    const int index = std::clamp(static_cast<int>(slot(x, width) - first), 0, count - 1);
    ++bins[index].count;
  }
  return bins;
}

Analysis AnalyzeSheets(const std::vector<AnalysisItem>& items,
                       const std::vector<const AnalysisSheet*>& sheets, const std::string& version,
                       bool allVersions) {
  Analysis out;
  out.version = version;
  out.allVersions = allVersions;
  const std::size_t n = sheets.size();
  TestResult& test = out.test;
  test.n = static_cast<std::int64_t>(n);
  // ceil(0.27 n) in integers: 0.27 * 100 is 27.000000000000004 in binary.
  test.group = (27 * test.n + 99) / 100;

  std::set<std::string> versionsPresent;
  if (allVersions) {
    for (const AnalysisSheet* s : sheets) versionsPresent.insert(s->version);
  }

  // X: the sum of the points of the items that are not void.
  std::vector<double> sums(n, 0.0);
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].isVoid) continue;
    ++test.k;
    test.maximum += items[i].maximum;
    for (std::size_t s = 0; s < n; ++s) sums[s] += sheets[s]->points[i];
  }

  // One ranking: X descending, ties by sheet number ascending; the upper
  // group is its head, the lower group its tail. Sums are compared to a
  // millionth of a point so that rounding does not break ties.
  std::vector<std::size_t> rank(n);
  std::iota(rank.begin(), rank.end(), 0);
  std::vector<double> rankKey(n);
  for (std::size_t s = 0; s < n; ++s) rankKey[s] = std::round(sums[s] * 1e6);
  std::sort(rank.begin(), rank.end(), [&](std::size_t a, std::size_t b) {
    if (rankKey[a] != rankKey[b]) return rankKey[a] > rankKey[b];
    return sheets[a]->number < sheets[b]->number;
  });
  const std::size_t g = static_cast<std::size_t>(test.group);
  std::vector<char> inUpper(n, 0), inLower(n, 0);
  for (std::size_t j = 0; j < g && j < n; ++j) {
    inUpper[rank[j]] = 1;
    inLower[rank[n - 1 - j]] = 1;
  }

  // Alpha counts the items whose points vary; their variances are kept for
  // alpha if an item is deleted.
  const double sumsVariance = Variance(sums);
  std::vector<double> itemVariance(items.size(), 0.0);
  double sumItemVariance = 0;
  std::vector<double> x(n), u(n), rest(n);
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].isVoid) continue;
    for (std::size_t s = 0; s < n; ++s) x[s] = sheets[s]->points[i];
    itemVariance[i] = Variance(x);
    if (itemVariance[i] > 0) {
      ++test.alphaItems;
      sumItemVariance += itemVariance[i];
    }
  }
  const auto alpha = [](double k, double itemVariances, double totalVariance) -> std::optional<double> {
    if (k < 2 || totalVariance <= 0) return std::nullopt;
    return k / (k - 1) * (1 - itemVariances / totalVariance);
  };

  for (std::size_t i = 0; i < items.size(); ++i) {
    const AnalysisItem& def = items[i];
    ItemResult item;
    item.master = def.master;
    item.maximum = def.maximum;
    item.isVoid = def.isVoid;
    item.bonus = def.bonus;
    item.multiAnswer = def.multiAnswer;
    item.keyed = allVersions ? def.keyed : KeyFor(def, version);
    if (allVersions) {
      for (const std::string& v : versionsPresent) {
        if (LabelSet(KeyFor(def, v)) != LabelSet(def.keyed)) item.keyVaries = true;
      }
    }
    if (def.isVoid) {
      out.items.push_back(std::move(item));
      continue;
    }

    for (std::size_t s = 0; s < n; ++s) {
      x[s] = sheets[s]->points[i];
      u[s] = sheets[s]->right[i];
      rest[s] = sums[s] - x[s];
    }
    const double restVariance = Variance(rest);
    if (n > 0) {
      item.mean = Mean(x);
      item.p = Mean(u);
      item.pointBiserial = Pearson(u, sums);
      item.r = Pearson(u, rest);
      double up = 0, low = 0;
      for (std::size_t s = 0; s < n; ++s) {
        if (inUpper[s]) up += u[s];
        if (inLower[s]) low += u[s];
      }
      item.pUpper = up / static_cast<double>(g);
      item.pLower = low / static_cast<double>(g);
      item.d = *item.pUpper - *item.pLower;
      if (itemVariance[i] > 0) {
        item.alphaIfDeleted = alpha(test.alphaItems - 1, sumItemVariance - itemVariance[i], restVariance);
      }
    }

    // Option rows: the item's labels, stray labels, blank, "multiple".
    const std::string keyed = LabelSet(item.keyed);
    std::array<int, 256> labelRow;
    labelRow.fill(-1);
    const auto addLabel = [&](char c, bool listed) {
      const auto b = static_cast<unsigned char>(c);
      if (labelRow[b] >= 0) return;
      labelRow[b] = static_cast<int>(item.options.size());
      OptionRow row;
      row.label = c;
      row.listed = listed;
      row.keyed = !item.keyVaries && keyed.find(c) != std::string::npos;
      item.options.push_back(row);
    };
    for (char c : def.options) addLabel(c, true);
    std::string stray;
    for (const AnalysisSheet* s : sheets) {
      for (char c : s->marked[i]) {
        if (labelRow[static_cast<unsigned char>(c)] < 0) stray += c;
      }
    }
    for (char c : keyed) {
      if (labelRow[static_cast<unsigned char>(c)] < 0) stray += c;
    }
    // With no option labels given, whatever was marked is the options.
    for (char c : LabelSet(stray)) addLabel(c, def.options.empty());
    const int blankRow = static_cast<int>(item.options.size());
    const int multipleRow = blankRow + 1;
    item.options.resize(item.options.size() + 2);
    item.options[blankRow].kind = OptionRow::Kind::kBlank;
    item.options[multipleRow].kind = OptionRow::Kind::kMultiple;

    std::vector<RowSums> rowSums(item.options.size());
    const double restMean = n > 0 ? Mean(rest) : 0.0;
    for (std::size_t s = 0; s < n; ++s) {
      ForEachRow(labelRow, blankRow, multipleRow, def.multiAnswer, sheets[s]->marked[i], [&](int row) {
        ++item.options[row].count;
        rowSums[row].upper += inUpper[s];
        rowSums[row].lower += inLower[s];
        rowSums[row].restDeviation += rest[s] - restMean;
      });
    }
    // The option rows use population moments throughout: q (1 - q) is one.
    const double restPopulationVariance =
        n > 1 ? restVariance * static_cast<double>(n - 1) / static_cast<double>(n) : 0;
    for (std::size_t r = 0; r < item.options.size(); ++r) {
      OptionRow& row = item.options[r];
      if (n == 0) continue;
      const double dn = static_cast<double>(n);
      row.share = static_cast<double>(row.count) / dn;
      row.upperShare = static_cast<double>(rowSums[r].upper) / static_cast<double>(g);
      row.lowerShare = static_cast<double>(rowSums[r].lower) / static_cast<double>(g);
      // cov(c, R) = (1/n) sum c (R - mean R): the other term is q times a sum of zero.
      if (row.count > 0 && row.count < test.n && restPopulationVariance > 0) {
        const double q = *row.share;
        const double cov = rowSums[r].restDeviation / dn;
        row.pointBiserial = std::clamp(cov / std::sqrt(q * (1 - q) * restPopulationVariance), -1.0, 1.0);
      }
    }
    SetFlags(item, test.n);
    out.items.push_back(std::move(item));
  }

  if (n > 0) {
    test.alpha = alpha(test.alphaItems, sumItemVariance, sumsVariance);
    // The figures of the totals: T, the total the student gets.
    std::vector<double> totals(n);
    for (std::size_t s = 0; s < n; ++s) {
      totals[s] = sheets[s]->total.value_or(sums[s]);
      if (!SameValue(totals[s], sums[s])) ++test.floored;
    }
    std::vector<double> sorted = totals;
    std::sort(sorted.begin(), sorted.end());
    test.mean = Mean(totals);
    test.min = sorted.front();
    test.max = sorted.back();
    test.median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    if (n > 1) {
      test.sd = std::sqrt(Variance(totals));
      if (test.alpha) test.sem = *test.sd * std::sqrt(std::max(0.0, 1 - *test.alpha));
    }
    test.distribution = Distribution(totals);
  }
  return out;
}

bool AnalyzeExam(const AnalysisInput& input, ExamAnalysis& out, std::string& error) {
  error = CheckAnalysisInput(input);
  if (!error.empty()) return false;
  out = ExamAnalysis{};

  std::vector<std::string> versions = input.versions;
  std::set<std::string> extra;
  for (const AnalysisSheet& s : input.sheets) {
    if (std::find(versions.begin(), versions.end(), s.version) == versions.end()) extra.insert(s.version);
  }
  versions.insert(versions.end(), extra.begin(), extra.end());

  std::vector<const AnalysisSheet*> all;
  all.reserve(input.sheets.size());
  for (const AnalysisSheet& s : input.sheets) all.push_back(&s);
  std::set<std::string> seen;
  for (const std::string& v : versions) {
    if (!seen.insert(v).second) continue;
    std::vector<const AnalysisSheet*> mine;
    for (const AnalysisSheet* s : all) {
      if (s->version == v) mine.push_back(s);
    }
    out.versions.push_back(AnalyzeSheets(input.items, mine, v, false));
  }
  out.overall = AnalyzeSheets(input.items, all, {}, true);
  // Where the versions key an item differently the pooled option table
  // compares unlike answers: "key?" comes from the versions.
  for (std::size_t i = 0; i < out.overall.items.size(); ++i) {
    ItemResult& item = out.overall.items[i];
    if (!item.keyVaries || item.bonus || item.isVoid) continue;
    for (const Analysis& v : out.versions) {
      if (v.items[i].flags & kFlagKey) item.flags |= kFlagKey;
    }
  }
  return true;
}

}  // namespace omr::exam
