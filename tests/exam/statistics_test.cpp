// Item analysis against figures computed here from the textbook formulas,
// two passes over plain vectors, on small hand-made exams (the degenerate
// ones included) and on a seeded simulated exam with planted items.
#include "statistics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "exam_sim.h"

namespace omr::exam {
namespace {

constexpr double kTolerance = 1e-9;

// ---- Reference computation ------------------------------------------------

double Mean(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += x;
  return s / static_cast<double>(v.size());
}

// Sample variance: divided by n - 1.
double SampleVariance(const std::vector<double>& v) {
  const double m = Mean(v);
  double s = 0;
  for (double x : v) s += (x - m) * (x - m);
  return s / static_cast<double>(v.size() - 1);
}

bool AllEqual(const std::vector<double>& v) {
  for (double x : v) {
    if (std::fabs(x - v[0]) > 1e-9) return false;
  }
  return true;
}

std::optional<double> Correlation(const std::vector<double>& x, const std::vector<double>& y) {
  if (x.empty() || AllEqual(x) || AllEqual(y)) return std::nullopt;
  const double mx = Mean(x), my = Mean(y);
  double sxy = 0, sxx = 0, syy = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    sxy += (x[i] - mx) * (y[i] - my);
    sxx += (x[i] - mx) * (x[i] - mx);
    syy += (y[i] - my) * (y[i] - my);
  }
  return sxy / std::sqrt(sxx * syy);
}

struct RefOption {
  std::int64_t count = 0;
  std::optional<double> share, upper, lower, pb;
};

struct RefItem {
  std::optional<double> mean, p, pb, r, d, alphaDrop;
  std::map<std::string, RefOption> options;  // "A", "blank", "multiple"
  unsigned flags = 0;
};

struct RefAnalysis {
  std::int64_t n = 0, group = 0, alphaItems = 0, floored = 0;
  std::optional<double> mean, median, sd, min, max, alpha, sem;
  std::vector<RefItem> items;
};

std::string Chosen(const std::string& marked) {
  std::set<char> set(marked.begin(), marked.end());
  if (set.empty()) return "blank";
  if (set.size() > 1) return "multiple";
  return std::string(1, *set.begin());
}

// Cronbach's alpha of these item columns from their covariance matrix, as
// psych::alpha has it: k/(k-1) (1 - trace / sum).
std::optional<double> Alpha(const std::vector<std::vector<double>>& columns) {
  const std::size_t k = columns.size();
  if (k < 2) return std::nullopt;
  const std::size_t n = columns[0].size();
  double trace = 0, sum = 0;
  for (std::size_t a = 0; a < k; ++a) {
    for (std::size_t b = 0; b < k; ++b) {
      const double ma = Mean(columns[a]), mb = Mean(columns[b]);
      double c = 0;
      for (std::size_t s = 0; s < n; ++s) c += (columns[a][s] - ma) * (columns[b][s] - mb);
      c /= static_cast<double>(n - 1);
      sum += c;
      if (a == b) trace += c;
    }
  }
  if (sum <= 1e-12) return std::nullopt;
  return static_cast<double>(k) / static_cast<double>(k - 1) * (1 - trace / sum);
}

// X: the sum of item points, groups and item figures on right/wrong; T
// (the given total, else X) for the figures of the totals.
RefAnalysis Reference(const std::vector<AnalysisItem>& items, const std::vector<AnalysisSheet>& sheets,
                      const std::string& version) {
  RefAnalysis ref;
  const std::size_t n = sheets.size();
  ref.n = static_cast<std::int64_t>(n);
  ref.group = static_cast<std::int64_t>(std::ceil(27.0 * static_cast<double>(n) / 100.0));
  std::vector<double> total(n, 0);
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].isVoid) continue;
    for (std::size_t s = 0; s < n; ++s) total[s] += sheets[s].points[i];
  }
  // Upper group: the first g by total descending, lowest sheet number first
  // among ties; lower group: the last g of the same order.
  std::vector<std::size_t> order(n);
  for (std::size_t s = 0; s < n; ++s) order[s] = s;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (total[a] != total[b]) return total[a] > total[b];
    return sheets[a].number < sheets[b].number;
  });
  const std::size_t g = static_cast<std::size_t>(ref.group);
  std::vector<std::size_t> upper(order.begin(), order.begin() + g);
  std::vector<std::size_t> lower(order.end() - g, order.end());

  // Alpha's items: those whose points vary.
  std::vector<std::vector<double>> varying;
  std::vector<std::size_t> varyingIndex;
  for (std::size_t i = 0; i < items.size() && n > 1; ++i) {
    std::vector<double> x(n);
    for (std::size_t s = 0; s < n; ++s) x[s] = sheets[s].points[i];
    if (items[i].isVoid || AllEqual(x)) continue;
    varying.push_back(x);
    varyingIndex.push_back(i);
  }
  ref.alphaItems = static_cast<std::int64_t>(varying.size());

  for (std::size_t i = 0; i < items.size(); ++i) {
    RefItem item;
    const AnalysisItem& def = items[i];
    if (def.isVoid) {
      ref.items.push_back(item);
      continue;
    }
    std::vector<double> x(n), u(n), rest(n);
    for (std::size_t s = 0; s < n; ++s) {
      x[s] = sheets[s].points[i];
      u[s] = sheets[s].right[i];
      rest[s] = total[s] - x[s];
    }
    if (n > 0) {
      item.mean = Mean(x);
      item.p = Mean(u);
      item.pb = Correlation(u, total);
      item.r = Correlation(u, rest);
      double up = 0, low = 0;
      for (std::size_t s : upper) up += u[s];
      for (std::size_t s : lower) low += u[s];
      item.d = up / g - low / g;
      const auto at = std::find(varyingIndex.begin(), varyingIndex.end(), i);
      if (at != varyingIndex.end()) {
        std::vector<std::vector<double>> others = varying;
        others.erase(others.begin() + (at - varyingIndex.begin()));
        item.alphaDrop = Alpha(others);
      }
    }
    auto key = def.versionKeys.count(version) ? def.versionKeys.at(version) : def.keyed;
    std::vector<std::string> rows;
    for (char c : def.options) rows.push_back(std::string(1, c));
    rows.push_back("blank");
    rows.push_back("multiple");
    for (const std::string& row : rows) {
      RefOption o;
      std::vector<double> chose(n);
      for (std::size_t s = 0; s < n; ++s) chose[s] = Chosen(sheets[s].marked[i]) == row ? 1 : 0;
      for (double c : chose) o.count += c;
      if (n > 0) {
        o.share = Mean(chose);
        double up = 0, low = 0;
        for (std::size_t s : upper) up += chose[s];
        for (std::size_t s : lower) low += chose[s];
        o.upper = up / g;
        o.lower = low / g;
        o.pb = Correlation(chose, rest);
      }
      item.options[row] = o;
    }
    if (!def.bonus) {
      if (item.r && *item.r < 0) item.flags |= kFlagNegative;
      if (item.r && *item.r >= 0 && *item.r < 0.15) item.flags |= kFlagWeak;
      if (item.p && *item.p < 0.2) item.flags |= kFlagHard;
      if (item.p && *item.p > 0.95) item.flags |= kFlagEasy;
      // "key?": an unkeyed option with >= 5 % of the sheets and a higher
      // point-biserial than the best keyed option (a key nobody chose has none).
      std::optional<double> best;
      for (char c : key) {
        const auto& pb = item.options[std::string(1, c)].pb;
        if (pb && (!best || *pb > *best)) best = pb;
      }
      for (char c : def.options) {
        if (key.find(c) != std::string::npos || key.empty() || n == 0) continue;
        const RefOption& o = item.options[std::string(1, c)];
        if (o.count * 100 >= 5 * static_cast<std::int64_t>(n) && o.pb && (!best || *o.pb > *best)) {
          item.flags |= kFlagKey;
        }
      }
    }
    ref.items.push_back(item);
  }
  if (n > 0) {
    std::vector<double> got(n);
    for (std::size_t s = 0; s < n; ++s) {
      got[s] = sheets[s].total.value_or(total[s]);
      ref.floored += got[s] != total[s];
    }
    ref.mean = Mean(got);
    std::vector<double> sorted = got;
    std::sort(sorted.begin(), sorted.end());
    ref.min = sorted.front();
    ref.max = sorted.back();
    ref.median = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    ref.alpha = Alpha(varying);
    if (n > 1) {
      ref.sd = AllEqual(got) ? 0.0 : std::sqrt(SampleVariance(got));
      if (ref.alpha) ref.sem = *ref.sd * std::sqrt(1 - *ref.alpha);
    }
  }
  return ref;
}

// ---- Comparison -------------------------------------------------------------

void Near(const std::optional<double>& got, const std::optional<double>& want, const std::string& what) {
  ASSERT_EQ(got.has_value(), want.has_value()) << what;
  if (want) {
    EXPECT_TRUE(std::isfinite(*got)) << what;
    EXPECT_NEAR(*got, *want, kTolerance) << what;
  }
}

std::string Name(const OptionRow& row) {
  if (row.kind == OptionRow::Kind::kBlank) return "blank";
  if (row.kind == OptionRow::Kind::kMultiple) return "multiple";
  return std::string(1, row.label);
}

void Compare(const Analysis& got, const RefAnalysis& want, const std::string& where) {
  EXPECT_EQ(got.test.n, want.n) << where;
  EXPECT_EQ(got.test.group, want.group) << where;
  Near(got.test.mean, want.mean, where + " mean");
  Near(got.test.median, want.median, where + " median");
  Near(got.test.sd, want.sd, where + " sd");
  Near(got.test.min, want.min, where + " min");
  Near(got.test.max, want.max, where + " max");
  Near(got.test.alpha, want.alpha, where + " alpha");
  Near(got.test.sem, want.sem, where + " sem");
  EXPECT_EQ(got.test.alphaItems, want.alphaItems) << where;
  EXPECT_EQ(got.test.floored, want.floored) << where;
  std::int64_t binned = 0;
  for (const Bin& b : got.test.distribution) binned += b.count;
  EXPECT_EQ(binned, want.n) << where << " distribution";
  ASSERT_EQ(got.items.size(), want.items.size());
  for (std::size_t i = 0; i < want.items.size(); ++i) {
    const std::string at = where + " item " + std::to_string(got.items[i].master);
    Near(got.items[i].mean, want.items[i].mean, at + " mean");
    Near(got.items[i].p, want.items[i].p, at + " p");
    Near(got.items[i].pointBiserial, want.items[i].pb, at + " point-biserial");
    Near(got.items[i].r, want.items[i].r, at + " r");
    Near(got.items[i].d, want.items[i].d, at + " D");
    Near(got.items[i].alphaIfDeleted, want.items[i].alphaDrop, at + " alpha if deleted");
    EXPECT_EQ(FlagNames(got.items[i].flags), FlagNames(want.items[i].flags)) << at;
    std::set<std::string> seen;
    for (const OptionRow& row : got.items[i].options) {
      const std::string name = Name(row);
      seen.insert(name);
      ASSERT_TRUE(want.items[i].options.count(name)) << at << " unexpected row " << name;
      const RefOption& o = want.items[i].options.at(name);
      EXPECT_EQ(row.count, o.count) << at << " " << name;
      Near(row.share, o.share, at + " " + name + " share");
      Near(row.upperShare, o.upper, at + " " + name + " upper");
      Near(row.lowerShare, o.lower, at + " " + name + " lower");
      Near(row.pointBiserial, o.pb, at + " " + name + " point-biserial");
    }
    EXPECT_EQ(seen.size(), want.items[i].options.size()) << at;
  }
}

// Checks the pooled analysis and every version against the reference.
void CompareAll(const AnalysisInput& input, const ExamAnalysis& got) {
  Compare(got.overall, Reference(input.items, input.sheets, ""), "all versions");
  for (const Analysis& v : got.versions) {
    std::vector<AnalysisSheet> mine;
    for (const AnalysisSheet& s : input.sheets) {
      if (s.version == v.version) mine.push_back(s);
    }
    Compare(v, Reference(input.items, mine, v.version), "version " + v.version);
  }
}

// ---- Hand-made exams --------------------------------------------------------

// A sheet row: "VERSION NUMBER RESPONSES", a response per item: a label, "."
// for blank, "(AB)" for several marks. Points: the maximum for the key, `wrong`
// for another single label, 0 for blank and several marks.
struct HandExam {
  std::string name;
  std::string keys;            // one keyed label per item
  std::vector<double> maxima;  // empty: 1 each
  std::string voids;           // 'v' at an item's position voids it
  double wrong = 0;
  std::vector<std::string> versions;  // declared versions
  std::vector<std::string> rows;
  std::vector<std::string> flags;  // expected flags per item, when given
  std::optional<double> floor;     // the least total a student gets
};

AnalysisInput Build(const HandExam& exam) {
  AnalysisInput in;
  in.versions = exam.versions;
  for (std::size_t i = 0; i < exam.keys.size(); ++i) {
    AnalysisItem item;
    item.master = static_cast<int>(i + 1);
    item.maximum = exam.maxima.empty() ? 1.0 : exam.maxima[i];
    item.options = "ABCD";
    item.keyed = std::string(1, exam.keys[i]);
    item.isVoid = i < exam.voids.size() && exam.voids[i] == 'v';
    in.items.push_back(item);
  }
  for (const std::string& row : exam.rows) {
    std::istringstream fields(row);
    AnalysisSheet sheet;
    std::string responses;
    fields >> sheet.version >> sheet.number >> responses;
    for (std::size_t p = 0; p < responses.size(); ++p) {
      std::string marked;
      if (responses[p] == '(') {
        const std::size_t close = responses.find(')', p);
        marked = responses.substr(p + 1, close - p - 1);
        p = close;
      } else if (responses[p] != '.') {
        marked = std::string(1, responses[p]);
      }
      const AnalysisItem& item = in.items[sheet.marked.size()];
      sheet.points.push_back(marked.size() != 1 ? 0.0 : marked == item.keyed ? item.maximum : exam.wrong);
      sheet.right.push_back(marked == item.keyed ? 1.0 : 0.0);
      sheet.marked.push_back(marked);
    }
    if (exam.floor) {
      double sum = 0;
      for (std::size_t i = 0; i < in.items.size(); ++i) sum += in.items[i].isVoid ? 0 : sheet.points[i];
      sheet.total = std::max(sum, *exam.floor);
    }
    in.sheets.push_back(sheet);
  }
  return in;
}

class HandExamTest : public ::testing::TestWithParam<HandExam> {};

TEST_P(HandExamTest, FiguresMatchTheFormulas) {
  const AnalysisInput input = Build(GetParam());
  ExamAnalysis got;
  std::string error;
  ASSERT_TRUE(AnalyzeExam(input, got, error)) << error;
  CompareAll(input, got);
  for (std::size_t i = 0; i < GetParam().flags.size(); ++i) {
    EXPECT_EQ(FlagNames(got.overall.items[i].flags), GetParam().flags[i]) << "item " << i + 1;
  }
}

const HandExam kHandExams[] = {
    {"mixed",
     "ABCD",
     {},
     "",
     0,
     {"A", "B"},
     {"A 1 ABCD", "A 2 ABCA", "B 3 AB.D", "B 4 BBCD", "A 5 (AB)CCD", "B 6 CDAB", "A 7 DBCC", "B 8 A.BD",
      "A 9 ABDD", "B 10 BACD"},
     {},
     {}},
    // Items 1, 5-8 follow ability; 2 is keyed B where the able answer C;
    // the able leave 3 blank while the rest get it right; everyone gets 4.
    {"planted",
     "ABCDAAAA",
     {},
     "",
     0,
     {},
     {"X 1 AC.DAAAA", "X 2 AC.DAAAA", "X 3 AC.DAAAA", "X 4 AC.DAAAA", "X 5 ACCDAABA", "X 6 ABCDABBA",
      "X 7 ABCDBBBA", "X 8 BBCDBBBA", "X 9 BBCDBBBB", "X 10 BDCDBBBB"},
     {"", "key? negative", "negative", "easy", "", "", "", ""},
     {}},
    {"one sheet", "ABC", {}, "", 0, {"A"}, {"A 5 AB."}, {"easy", "easy", "hard"}, {}},
    {"identical sheets",
     "ABC",
     {},
     "",
     0,
     {"A"},
     {"A 1 ABD", "A 2 ABD", "A 3 ABD", "A 4 ABD"},
     {"easy", "easy", "hard"},
     {}},
    {"an item nobody answered",
     "ABC",
     {},
     "",
     0,
     {"A"},
     {"A 1 A.C", "A 2 B.C", "A 3 A.D", "A 4 C.C", "A 5 A.A"},
     {},
     {}},
    {"a version with no sheets",
     "ABCA",
     {},
     "",
     0,
     {"A", "B", "C"},
     {"A 1 ABCA", "B 2 ABCB", "A 3 BBCA", "B 4 AACC", "A 5 CDCA", "B 6 ABDA"},
     {},
     {}},
    {"void item, weights, negative marking",
     "ABCDA",
     {1, 2, 1, 3, 0.5},
     " v",
     -0.25,
     {"A"},
     {"A 11 ABCDA", "A 12 ACCDB", "A 13 BBC.A", "A 14 DD(CD)DA", "A 15 AACBA", "A 16 .BBDC", "A 17 CCCCC"},
     {},
     1.0},  // sheet 17 (0.25 points) is raised to the floor
    {"one item", "A", {}, "", 0, {"A"}, {"A 1 A", "A 2 B", "A 3 A", "A 4 ."}, {}, {}},
    // Equal totals everywhere: the groups come from the sheet numbers.
    {"ties",
     "AB",
     {},
     "",
     0,
     {"A"},
     {"A 9 AC", "A 3 CB", "A 5 AC", "A 1 CB", "A 7 AC", "A 2 CB", "A 4 AC"},
     {},
     {}},
    {"no sheets", "AB", {}, "", 0, {"A"}, {}, {}, {}},
};

INSTANTIATE_TEST_SUITE_P(Exams, HandExamTest, ::testing::ValuesIn(kHandExams), [](const auto& info) {
  std::string name;
  for (char c : info.param.name) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
});

TEST(Statistics, DegenerateCasesGiveDefinedResults) {
  // One sheet: no variance anywhere, the sheet is both groups, D is 0.
  ExamAnalysis one;
  std::string error;
  ASSERT_TRUE(AnalyzeExam(Build(kHandExams[2]), one, error));
  EXPECT_EQ(one.overall.test.group, 1);
  EXPECT_FALSE(one.overall.test.alpha);
  EXPECT_FALSE(one.overall.test.sd);  // a sample SD needs two sheets
  EXPECT_FALSE(one.overall.items[0].r);
  ASSERT_TRUE(one.overall.items[0].d);
  EXPECT_EQ(*one.overall.items[0].d, 0.0);
  // A version without sheets: nothing defined, nothing flagged, counts 0.
  ExamAnalysis empty;
  ASSERT_TRUE(AnalyzeExam(Build(kHandExams[5]), empty, error));
  ASSERT_EQ(empty.versions.size(), 3u);
  const Analysis& c = empty.versions[2];
  EXPECT_EQ(c.version, "C");
  EXPECT_EQ(c.test.n, 0);
  EXPECT_FALSE(c.test.mean || c.test.median || c.test.sd || c.test.alpha);
  EXPECT_TRUE(c.test.distribution.empty());
  for (const ItemResult& item : c.items) {
    EXPECT_FALSE(item.p || item.r || item.d);
    EXPECT_EQ(item.flags, 0u);
    for (const OptionRow& row : item.options) {
      EXPECT_EQ(row.count, 0);
      EXPECT_FALSE(row.share || row.pointBiserial);
    }
  }
}

// ---- Simulated exam with planted items ------------------------------------

TEST(Statistics, SimulatedExamFlagsExactlyThePlantedItems) {
  for (std::uint64_t seed : {1u, 7u, 2024u}) {
    testing::SimulationPlan plan;
    plan.seed = seed;
    plan.sheets = 200;
    plan.items = 30;
    plan.voidItem = 20;
    plan.bonusItem = 25;
    plan.acceptItem = 14;
    plan.wrong = -0.25;
    plan.floor = 0;
    const testing::SimulatedExam sim = testing::SimulateExam(plan);
    ExamAnalysis got;
    std::string error;
    ASSERT_TRUE(AnalyzeExam(sim.input, got, error)) << error;
    CompareAll(sim.input, got);
    // Under negative marking p is still the share of the keyed rows, never negative.
    for (const ItemResult& item : got.overall.items) {
      if (item.isVoid || item.bonus) continue;
      double keyed = 0;
      for (const OptionRow& row : item.options) keyed += row.keyed ? *row.share : 0;
      EXPECT_NEAR(*item.p, keyed, kTolerance) << "item " << item.master;
    }
    EXPECT_LT(got.overall.test.alphaItems, got.overall.test.k);  // not the bonus item
    std::set<int> flagged;
    for (const ItemResult& item : got.overall.items) {
      if (item.flags) flagged.insert(item.master);
    }
    EXPECT_EQ(flagged, (std::set<int>{3, 7, 11})) << "seed " << seed;
    EXPECT_TRUE(got.overall.items[2].flags & kFlagKey) << "seed " << seed;
    EXPECT_TRUE(got.overall.items[6].flags & kFlagNegative) << "seed " << seed;
    EXPECT_TRUE(got.overall.items[10].flags & kFlagEasy) << "seed " << seed;
  }
}

// ---- Rules the hand-made tables do not reach --------------------------------

AnalysisInput TwoVersionsOneItem() {
  // Item 2 is keyed B in version A and C in version B; version B's key is
  // wrong: its able students answer D.
  AnalysisInput in;
  in.versions = {"A", "B"};
  in.items = {{1, 1, "ABCD", "A", {}, false, false, false},
              {2, 1, "ABCD", "B", {{"B", "C"}}, false, false, false}};
  const char* rows[] = {"A 1 AB", "A 2 AB", "A 3 BB", "A 4 BC",  "A 5 AB",  "A 6 CA",
                        "B 7 AD", "B 8 AD", "B 9 BC", "B 10 CC", "B 11 AD", "B 12 BC"};
  for (const char* row : rows) {
    AnalysisSheet s;
    std::istringstream f(row);
    std::string r;
    f >> s.version >> s.number >> r;
    for (std::size_t i = 0; i < r.size(); ++i) {
      const std::string& key =
          i == 1 && s.version == "B" ? in.items[1].versionKeys.at("B") : in.items[i].keyed;
      s.marked.push_back(std::string(1, r[i]));
      s.points.push_back(key == std::string(1, r[i]) ? 1 : 0);
      s.right.push_back(s.points.back());
    }
    in.sheets.push_back(s);
  }
  return in;
}

TEST(Statistics, VersionsThatKeyAnItemDifferently) {
  const AnalysisInput in = TwoVersionsOneItem();
  ExamAnalysis got;
  std::string error;
  ASSERT_TRUE(AnalyzeExam(in, got, error)) << error;
  CompareAll(in, got);
  const ItemResult& pooled = got.overall.items[1];
  EXPECT_TRUE(pooled.keyVaries);
  for (const OptionRow& row : pooled.options) EXPECT_FALSE(row.keyed) << Name(row);
  EXPECT_EQ(got.versions[1].items[1].keyed, "C");
  ASSERT_TRUE(got.versions[1].items[1].flags & kFlagKey);
  EXPECT_EQ(Name(got.versions[1].items[1].options[got.versions[1].items[1].keyRival]), "D");
  // The pooled item takes "key?" from version B.
  EXPECT_TRUE(pooled.flags & kFlagKey);
  EXPECT_EQ(pooled.keyRival, -1);
}

TEST(Statistics, OptionRowsForStrayLabelsAndAllOfItems) {
  AnalysisInput in;
  in.items = {{1, 2, "ABC", "AC", {}, true, false, false}, {2, 1, "AB", "A", {}, false, false, false}};
  // Item 1 is an all-of item (A and C); item 2 gets a stray mark "Z".
  const std::pair<std::string, std::string> marks[] = {
      {"AC", "A"}, {"A", "Z"}, {"", "B"}, {"ABC", "A"}, {"C", "AB"}};
  std::int64_t number = 1;
  for (const auto& [m1, m2] : marks) {
    AnalysisSheet s;
    s.number = number++;
    s.marked = {m1, m2};
    s.points = {m1 == "AC" ? 2.0 : 0.0, m2 == "A" ? 1.0 : 0.0};
    s.right = {m1 == "AC" ? 1.0 : 0.0, m2 == "A" ? 1.0 : 0.0};
    in.sheets.push_back(s);
  }
  ExamAnalysis got;
  std::string error;
  ASSERT_TRUE(AnalyzeExam(in, got, error)) << error;
  std::map<std::string, std::int64_t> counts1, counts2;
  for (const OptionRow& row : got.overall.items[0].options) counts1[Name(row)] = row.count;
  for (const OptionRow& row : got.overall.items[1].options) counts2[Name(row)] = row.count;
  // A marked on sheets 1, 2, 4; B on 4; C on 1, 4, 5; two or more on 1 and 4.
  EXPECT_EQ(counts1, (std::map<std::string, std::int64_t>{
                         {"A", 3}, {"B", 1}, {"C", 3}, {"blank", 1}, {"multiple", 2}}));
  EXPECT_EQ(counts2, (std::map<std::string, std::int64_t>{
                         {"A", 2}, {"B", 1}, {"Z", 1}, {"blank", 0}, {"multiple", 1}}));
  const OptionRow& stray = got.overall.items[1].options[2];
  EXPECT_EQ(Name(stray), "Z");
  EXPECT_FALSE(stray.listed);
  EXPECT_TRUE(got.overall.items[0].options[0].keyed && got.overall.items[0].options[2].keyed);
}

TEST(Statistics, KeyNobodyChoseLosesToAnyChosenOption) {
  AnalysisInput in;
  in.items = {{1, 1, "AB", "A", {}, false, false, false}, {2, 1, "ABC", "C", {}, false, false, false}};
  const char* rows[] = {"AA", "AA", "AB", "BB", "BA", "BB"};
  std::int64_t number = 1;
  for (const char* r : rows) {
    AnalysisSheet s;
    s.number = number++;
    s.marked = {std::string(1, r[0]), std::string(1, r[1])};
    s.points = {r[0] == 'A' ? 1.0 : 0.0, 0.0};
    s.right = s.points;
    in.sheets.push_back(s);
  }
  ExamAnalysis got;
  std::string error;
  ASSERT_TRUE(AnalyzeExam(in, got, error));
  const ItemResult& item = got.overall.items[1];
  EXPECT_TRUE(item.flags & kFlagKey);
  EXPECT_EQ(Name(item.options[item.keyRival]), "A");
  EXPECT_EQ(Name(item.options[item.keyRow]), "C");
  EXPECT_TRUE(item.flags & kFlagHard);
}

TEST(Statistics, DistributionBins) {
  struct Case {
    std::vector<double> totals;
    double width;
    std::size_t bins;
  };
  const Case cases[] = {
      {{0, 1, 2, 2, 5}, 1, 6},     {{0, 100}, 5, 21}, {{0.25, 0.5, 2.75}, 0.1, 26},
      {{0.1, 0.2, 0.3}, 0.01, 21}, {{-3, 4}, 1, 8},   {{7, 7, 7}, 1, 1},
  };
  for (const Case& c : cases) {
    const std::vector<Bin> bins = Distribution(c.totals);
    ASSERT_EQ(bins.size(), c.bins);
    std::int64_t sum = 0;
    for (const Bin& b : bins) {
      EXPECT_NEAR(b.high - b.low, c.width, 1e-12);
      sum += b.count;
    }
    EXPECT_EQ(sum, static_cast<std::int64_t>(c.totals.size()));
    for (double x : c.totals) {
      const bool inside = std::any_of(bins.begin(), bins.end(),
                                      [&](const Bin& b) { return x >= b.low - 1e-9 && x <= b.high + 1e-9; });
      EXPECT_TRUE(inside) << x;
    }
  }
  EXPECT_TRUE(Distribution({}).empty());
}

TEST(Statistics, BadInputIsRefusedWithItsPlace) {
  const AnalysisInput good = Build(kHandExams[0]);
  struct Case {
    const char* expect;
    void (*spoil)(AnalysisInput&);
  };
  const Case cases[] = {
      {"sheet 1: sheet number used twice", [](AnalysisInput& in) { in.sheets[1].number = 1; }},
      {"sheet 3: 3 points, 4 shares right and 4 responses",
       [](AnalysisInput& in) { in.sheets[2].points.pop_back(); }},
      {"sheet 2, item 1: the share right is not a finite number",
       [](AnalysisInput& in) { in.sheets[1].right[0] = std::nan(""); }},
      {"sheet 4: the total is not a finite number",
       [](AnalysisInput& in) { in.sheets[3].total = std::numeric_limits<double>::infinity(); }},
      {"sheet 1, item 2: points are not a finite number",
       [](AnalysisInput& in) { in.sheets[0].points[1] = std::nan(""); }},
      {"item 3 (master 3): the maximum", [](AnalysisInput& in) { in.items[2].maximum = -1; }},
      {"item 2 (master 1): master number used twice", [](AnalysisInput& in) { in.items[1].master = 1; }},
      {"more than 255 marked labels",
       [](AnalysisInput& in) { in.sheets[0].marked[0] = std::string(300, 'A'); }},
  };
  for (const Case& c : cases) {
    AnalysisInput in = good;
    c.spoil(in);
    ExamAnalysis out;
    std::string error;
    EXPECT_FALSE(AnalyzeExam(in, out, error)) << c.expect;
    EXPECT_NE(error.find(c.expect), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace omr::exam
