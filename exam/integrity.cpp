#include "integrity.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <queue>
#include <set>

namespace omr::exam {

namespace {

// The keyed labels of an item for a sheet's version.
const std::string& KeyedFor(const AnalysisItem& item, const std::string& version) {
  const auto it = item.versionKeys.find(version);
  return it == item.versionKeys.end() ? item.keyed : it->second;
}

bool Analysed(const AnalysisItem& item) {
  return !item.isVoid && !item.bonus;
}

// Answered right in full (the item analysis's u_i is 1).
bool Right(const AnalysisSheet& sheet, std::size_t item) {
  return sheet.right[item] >= 1 - 1e-9;
}

// The sheets and items in the shape every analysis reads: right (full
// points) per item, and per single-answer item the wrong answer as an option
// code (0: no wrong answer).
struct Prepared {
  std::vector<std::size_t> items;         // analysed items (indexes into analysis.items)
  std::vector<bool> single;               // per analysed item: single-answer
  std::vector<std::uint8_t> right;        // sheets x items, row-major
  std::vector<std::uint8_t> answer;       // sheets x items: the code of a single marked option, else 0
  std::vector<std::uint8_t> wrong;        // sheets x items: the code of a wrong single answer, else 0
  std::vector<std::vector<char>> labels;  // per analysed item: the label of each code - 1
  std::vector<int> scores;                // per sheet: right answers over the analysed items
  std::vector<double> totals;             // per sheet: its points over every item that is not void
  std::size_t k = 0;
  std::size_t n = 0;

  std::uint8_t Right(std::size_t sheet, std::size_t item) const { return right[sheet * k + item]; }
  std::uint8_t Answer(std::size_t sheet, std::size_t item) const { return answer[sheet * k + item]; }
  std::uint8_t Wrong(std::size_t sheet, std::size_t item) const { return wrong[sheet * k + item]; }
};

Prepared Prepare(const AnalysisInput& in) {
  Prepared p;
  for (std::size_t i = 0; i < in.items.size(); ++i) {
    if (!Analysed(in.items[i])) continue;
    p.items.push_back(i);
    p.single.push_back(!in.items[i].multiAnswer);
  }
  p.k = p.items.size();
  p.n = in.sheets.size();
  p.right.assign(p.n * p.k, 0);
  p.answer.assign(p.n * p.k, 0);
  p.wrong.assign(p.n * p.k, 0);
  p.labels.resize(p.k);
  p.scores.assign(p.n, 0);
  std::vector<std::array<std::uint8_t, 256>> codes(p.k);
  for (std::size_t j = 0; j < p.k; ++j) {
    codes[j].fill(0);
    for (const char c : in.items[p.items[j]].options) {
      auto& code = codes[j][static_cast<unsigned char>(c)];
      if (code == 0 && p.labels[j].size() < 255) {
        p.labels[j].push_back(c);
        code = static_cast<std::uint8_t>(p.labels[j].size());
      }
    }
  }
  p.totals.assign(p.n, 0.0);
  for (std::size_t s = 0; s < p.n; ++s) {
    const AnalysisSheet& sheet = in.sheets[s];
    for (std::size_t i = 0; i < in.items.size(); ++i)
      if (!in.items[i].isVoid) p.totals[s] += sheet.points[i];
    for (std::size_t j = 0; j < p.k; ++j) {
      const AnalysisItem& item = in.items[p.items[j]];
      const std::size_t i = p.items[j];
      const bool right = Right(sheet, i);
      p.right[s * p.k + j] = right;
      p.scores[s] += right;
      const std::string& marked = sheet.marked[i];
      if (!p.single[j] || marked.size() != 1) continue;
      auto& code = codes[j][static_cast<unsigned char>(marked[0])];
      if (code == 0 && p.labels[j].size() < 255) {
        p.labels[j].push_back(marked[0]);
        code = static_cast<std::uint8_t>(p.labels[j].size());
      }
      p.answer[s * p.k + j] = code;
      if (!right && KeyedFor(item, sheet.version).find(marked[0]) == std::string::npos)
        p.wrong[s * p.k + j] = code;
    }
  }
  return p;
}

// The columns the comparisons use: the one asked for, or all.
std::vector<std::size_t> Columns(const IntegrityInput& in, const IntegrityOptions& o) {
  std::vector<std::size_t> out;
  for (std::size_t c = 0; c < in.groupColumns.size(); ++c)
    if (o.group.empty() || in.groupColumns[c] == o.group) out.push_back(c);
  return out;
}

}  // namespace

double BinomialUpperTail(std::int64_t x, std::int64_t n, double p) {
  if (x <= 0) return 1.0;
  if (x > n || p <= 0) return 0.0;
  if (p >= 1) return 1.0;
  const double q = 1 - p;
  const double lp = std::log(p), lq = std::log1p(-p);
  auto logPmf = [&](std::int64_t k) {
    return std::lgamma(n + 1.0) - std::lgamma(k + 1.0) - std::lgamma(static_cast<double>(n - k) + 1.0) +
           static_cast<double>(k) * lp + static_cast<double>(n - k) * lq;
  };
  if (static_cast<double>(x) > static_cast<double>(n) * p) {
    // Above the mean: the terms from x up fall away quickly.
    double term = std::exp(logPmf(x));
    double sum = 0;
    for (std::int64_t k = x; k <= n && term > 0; ++k) {
      sum += term;
      if (term < sum * 1e-17) break;
      term *= static_cast<double>(n - k) / static_cast<double>(k + 1) * (p / q);
    }
    return std::min(1.0, sum);
  }
  // At or below the mean: one minus the lower tail, summed from x - 1 down.
  double term = std::exp(logPmf(x - 1));
  double sum = 0;
  for (std::int64_t k = x - 1; k >= 0 && term > 0; --k) {
    sum += term;
    if (term < sum * 1e-17) break;
    term *= static_cast<double>(k) / static_cast<double>(n - k + 1) * (q / p);
  }
  return std::clamp(1.0 - sum, 0.0, 1.0);
}

// ---------------------------------------------------------------- erasures --

ErasureResult AnalyzeErasures(const IntegrityInput& in, const IntegrityOptions& o) {
  ErasureResult out;
  const AnalysisInput& a = in.analysis;
  std::vector<ErasureCounts> counts(a.sheets.size());
  std::vector<std::vector<int>> wrongToRight(a.sheets.size());
  std::vector<bool> known(a.sheets.size(), false);
  for (std::size_t s = 0; s < a.sheets.size(); ++s) {
    const IntegritySheet& extra = in.sheets[s];
    if (extra.erased.size() != a.items.size()) continue;
    known[s] = true;
    ++out.sheetsWithGrid;
    const AnalysisSheet& sheet = a.sheets[s];
    for (std::size_t i = 0; i < a.items.size(); ++i) {
      const AnalysisItem& item = a.items[i];
      if (!Analysed(item) || item.multiAnswer) continue;
      ErasureCounts& c = counts[s];
      ++c.items;
      const std::string& erased = extra.erased[i];
      if (erased.empty()) continue;
      const std::string& keyed = KeyedFor(item, sheet.version);
      const bool before = std::any_of(erased.begin(), erased.end(),
                                      [&](char l) { return keyed.find(l) != std::string::npos; });
      const bool after = Right(sheet, i);
      if (!before && after) {
        ++c.wrongToRight;
        wrongToRight[s].push_back(item.master);
      } else if (before && !after) {
        ++c.rightToWrong;
      } else if (!before && !after) {
        ++c.wrongToWrong;
      }
    }
    out.total.wrongToRight += counts[s].wrongToRight;
    out.total.rightToWrong += counts[s].rightToWrong;
    out.total.wrongToWrong += counts[s].wrongToWrong;
    out.total.items += counts[s].items;
  }
  if (out.total.items > 0)
    out.rate = static_cast<double>(out.total.wrongToRight) / static_cast<double>(out.total.items);

  // Each against everyone else: a binomial over its items at the others' rate.
  auto test = [&](const ErasureCounts& c, double threshold) {
    ErasureTest t;
    const std::int64_t otherItems = out.total.items - c.items;
    const std::int64_t otherCount = out.total.wrongToRight - c.wrongToRight;
    t.rate = otherItems > 0 ? static_cast<double>(otherCount) / static_cast<double>(otherItems) : 0.0;
    t.expected = static_cast<double>(c.items) * t.rate;
    t.p = BinomialUpperTail(c.wrongToRight, c.items, t.rate);
    t.flagged = c.wrongToRight > 0 && t.p < threshold;
    return t;
  };
  out.studentThreshold = out.sheetsWithGrid > 0 ? o.alpha / static_cast<double>(out.sheetsWithGrid) : 0.0;
  for (std::size_t s = 0; s < a.sheets.size(); ++s) {
    const ErasureCounts& c = counts[s];
    if (!known[s] || c.wrongToRight + c.rightToWrong + c.wrongToWrong == 0) continue;
    StudentErasures e;
    e.sheet = s;
    e.number = a.sheets[s].number;
    e.student = in.sheets[s].student;
    e.counts = c;
    e.wrongToRightItems = wrongToRight[s];
    e.test = test(c, out.studentThreshold);
    out.students.push_back(std::move(e));
  }

  // Groups, on their students not flagged on their own: one student's
  // erasures do not make a pattern of his room.
  std::vector<bool> alone(a.sheets.size(), false);
  for (const StudentErasures& e : out.students) alone[e.sheet] = e.test.flagged;
  for (const std::size_t column : Columns(in, o)) {
    std::map<std::string, GroupErasures> groups;
    for (std::size_t s = 0; s < a.sheets.size(); ++s) {
      const std::string& value = in.sheets[s].groups[column];
      if (!known[s] || value.empty()) continue;
      GroupErasures& g = groups[value];
      g.column = in.groupColumns[column];
      g.value = value;
      if (alone[s]) {
        ++g.flaggedAlone;
        continue;
      }
      ++g.sheets;
      g.counts.wrongToRight += counts[s].wrongToRight;
      g.counts.rightToWrong += counts[s].rightToWrong;
      g.counts.wrongToWrong += counts[s].wrongToWrong;
      g.counts.items += counts[s].items;
    }
    // A column with one group compares it with nobody.
    if (groups.size() < 2) continue;
    for (auto& [value, g] : groups) out.groups.push_back(std::move(g));
  }
  out.groupsTested = static_cast<std::int64_t>(out.groups.size());
  out.groupThreshold = out.groupsTested > 0 ? o.alpha / static_cast<double>(out.groupsTested) : 0.0;
  for (GroupErasures& g : out.groups) {
    // The others are the sheets of the same column outside the group.
    ErasureCounts column{};
    for (const GroupErasures& h : out.groups) {
      if (h.column != g.column) continue;
      column.wrongToRight += h.counts.wrongToRight;
      column.items += h.counts.items;
    }
    ErasureTest t;
    const std::int64_t otherItems = column.items - g.counts.items;
    const std::int64_t otherCount = column.wrongToRight - g.counts.wrongToRight;
    t.rate = otherItems > 0 ? static_cast<double>(otherCount) / static_cast<double>(otherItems) : 0.0;
    t.expected = static_cast<double>(g.counts.items) * t.rate;
    t.p = BinomialUpperTail(g.counts.wrongToRight, g.counts.items, t.rate);
    t.flagged = g.counts.wrongToRight > 0 && t.p < out.groupThreshold;
    g.test = t;
  }
  auto byP = [](const auto& x, const auto& y) {
    if (x.test.p != y.test.p) return x.test.p < y.test.p;
    return x.counts.wrongToRight > y.counts.wrongToRight;
  };
  std::stable_sort(out.students.begin(), out.students.end(), byP);
  std::stable_sort(out.groups.begin(), out.groups.end(), byP);
  return out;
}

// ------------------------------------------------------ answer similarity --

namespace {

struct Candidate {
  double p;
  std::size_t source, copier;
  bool operator<(const Candidate& o) const { return p < o.p; }  // max-heap on p
};

// P(X >= m) for X the number of successes of independent trials with these
// probabilities (the Poisson-binomial distribution), by the usual recursion.
double MatchTail(const std::vector<double>& pi, int m, std::vector<double>& dist) {
  const std::size_t n = pi.size();
  if (m <= 0) return 1.0;
  if (static_cast<std::size_t>(m) > n) return 0.0;
  dist.assign(n + 1, 0.0);
  dist[0] = 1;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t x = i + 1; x >= 1; --x) dist[x] = dist[x] * (1 - pi[i]) + dist[x - 1] * pi[i];
    dist[0] *= 1 - pi[i];
  }
  double tail = 0;
  for (std::size_t x = static_cast<std::size_t>(m); x <= n; ++x) tail += dist[x];
  return std::min(1.0, tail);
}

}  // namespace

SimilarityResult AnalyzeSimilarity(const IntegrityInput& in, const IntegrityOptions& o) {
  SimilarityResult out;
  const AnalysisInput& a = in.analysis;
  const Prepared p = Prepare(a);
  const std::size_t n = p.n, k = p.k;
  if (n < 2 || k == 0) return out;

  // Option response curves: per total score t, the kernel-weighted count of
  // the students choosing each option of each item, and of all students.
  std::vector<std::size_t> base(k + 1, 0);
  for (std::size_t j = 0; j < k; ++j) base[j + 1] = base[j] + p.labels[j].size() + 1;
  const std::size_t codes = base[k];
  std::vector<double> atScore(k + 1, 0.0);
  std::vector<double> chosenAt((k + 1) * codes, 0.0);
  std::vector<double> chosen(codes, 0.0);
  double mean = 0, square = 0;
  for (std::size_t s = 0; s < n; ++s) {
    const std::size_t t = static_cast<std::size_t>(p.scores[s]);
    atScore[t] += 1;
    mean += p.scores[s];
    square += static_cast<double>(p.scores[s]) * p.scores[s];
    for (std::size_t j = 0; j < k; ++j) {
      chosenAt[t * codes + base[j] + p.Answer(s, j)] += 1;
      chosen[base[j] + p.Answer(s, j)] += 1;
    }
  }
  mean /= static_cast<double>(n);
  const double sd = std::sqrt(std::max(0.0, square / static_cast<double>(n) - mean * mean));
  out.bandwidth = std::max(0.5, 1.1 * std::pow(static_cast<double>(n), -0.2) * sd);
  std::vector<double> weight((k + 1) * (k + 1));
  for (std::size_t t = 0; t <= k; ++t)
    for (std::size_t u = 0; u <= k; ++u) {
      const double z = (static_cast<double>(t) - static_cast<double>(u)) / out.bandwidth;
      weight[t * (k + 1) + u] = std::exp(-0.5 * z * z);
    }
  std::vector<double> sumAt(k + 1, 0.0), smooth((k + 1) * codes, 0.0);
  for (std::size_t t = 0; t <= k; ++t)
    for (std::size_t u = 0; u <= k; ++u) {
      const double w = weight[t * (k + 1) + u];
      if (atScore[u] == 0 || w < 1e-12) continue;
      sumAt[t] += w * atScore[u];
      for (std::size_t c = 0; c < codes; ++c) smooth[t * codes + c] += w * chosenAt[u * codes + c];
    }
  // A small prior (the option's share of the whole exam) keeps a probability
  // off zero where nobody of a score chose the option.
  std::vector<double> prior(codes);
  for (std::size_t j = 0; j < k; ++j) {
    const double options = static_cast<double>(p.labels[j].size() + 1);
    for (std::size_t c = base[j]; c < base[j + 1]; ++c)
      prior[c] = (chosen[c] + 0.5) / (static_cast<double>(n) + 0.5 * options);
  }

  // Which pairs: the scope asked for, or all up to kMaxAllPairs students.
  PairScope scope = o.pairs;
  std::optional<std::size_t> column;
  for (std::size_t c = 0; c < in.groupColumns.size(); ++c)
    if (!o.group.empty() && in.groupColumns[c] == o.group) column = c;
  if (scope == PairScope::kAuto)
    scope = column ? PairScope::kGroup : n <= kMaxAllPairs ? PairScope::kAll : PairScope::kRun;
  if (scope == PairScope::kGroup && !column) scope = PairScope::kRun;
  out.scope = scope;
  if (column) out.column = in.groupColumns[*column];

  // Blocks of sheets whose pairs are tested; in a run, sheets at most
  // runWindow places apart.
  std::vector<std::vector<std::size_t>> blocks;
  std::vector<std::string> blockNames;
  if (scope == PairScope::kAll) {
    blocks.emplace_back(n);
    std::iota(blocks.back().begin(), blocks.back().end(), 0);
    blockNames.emplace_back();
  } else {
    std::map<std::string, std::vector<std::size_t>> byKey;
    for (std::size_t s = 0; s < n; ++s) {
      const std::string& key = scope == PairScope::kGroup ? in.sheets[s].groups[*column] : in.sheets[s].run;
      if (!key.empty()) byKey[key].push_back(s);
    }
    for (auto& [key, members] : byKey) {
      if (scope == PairScope::kRun)
        std::stable_sort(members.begin(), members.end(), [&](std::size_t x, std::size_t y) {
          return in.sheets[x].position < in.sheets[y].position;
        });
      blocks.push_back(std::move(members));
      blockNames.push_back(key);
    }
  }
  const std::size_t window =
      scope == PairScope::kRun ? static_cast<std::size_t>(std::max(1, o.runWindow)) : n;
  std::vector<std::size_t> blockOf(n, 0), place(n, 0);
  std::vector<bool> inBlock(n, false);
  for (std::size_t b = 0; b < blocks.size(); ++b)
    for (std::size_t x = 0; x < blocks[b].size(); ++x) {
      blockOf[blocks[b][x]] = b;
      place[blocks[b][x]] = x;
      inBlock[blocks[b][x]] = true;
    }
  auto partners = [&](std::size_t s) {
    const std::size_t size = blocks[blockOf[s]].size(), x = place[s];
    return std::make_pair(x >= window ? x - window : 0, std::min(size, x + window + 1));
  };
  for (std::size_t s = 0; s < n; ++s) {
    if (!inBlock[s]) continue;
    const auto [from, to] = partners(s);
    out.pairsTested += static_cast<std::int64_t>(to - from - 1);
  }
  out.threshold = out.pairsTested > 0 ? o.alpha / static_cast<double>(out.pairsTested) : 0.0;

  // The probabilities that a copier of score t matches the source, the pair
  // itself left out of the curves.
  std::vector<double> pi;
  auto probabilities = [&](std::size_t s, std::size_t c) {
    pi.clear();
    const std::size_t t = static_cast<std::size_t>(p.scores[c]), ts = static_cast<std::size_t>(p.scores[s]);
    const double ws = weight[t * (k + 1) + ts];
    const double total = sumAt[t] - 1 - ws + 1;
    for (std::size_t j = 0; j < k; ++j) {
      const std::uint8_t answer = p.Answer(s, j);
      if (!answer) continue;
      const std::size_t code = base[j] + answer;
      const double count = std::max(0.0, smooth[t * codes + code] - (p.Answer(c, j) == answer) - ws);
      pi.push_back(std::clamp((count + prior[code]) / total, 1e-9, 1 - 1e-9));
    }
  };
  // A quick screen first: the match count against the curves with the pair
  // in them (per source and copier score); the exact tail only where the
  // count is well above that mean.
  const bool screen = n >= 100;
  std::vector<double> screenMean(k + 1), screenSd(k + 1);
  std::vector<Candidate> flagged;
  std::priority_queue<Candidate> best;
  const std::size_t keep = 2 * o.pairsShown;
  std::vector<double> dist;
  for (std::size_t s = 0; s < n; ++s) {
    if (!inBlock[s]) continue;
    if (screen) {
      for (std::size_t t = 0; t <= k; ++t) {
        double mu = 0, var = 0;
        for (std::size_t j = 0; j < k; ++j) {
          const std::uint8_t answer = p.Answer(s, j);
          if (!answer) continue;
          const std::size_t code = base[j] + answer;
          const double q = (smooth[t * codes + code] + prior[code]) / (sumAt[t] + 1);
          mu += q;
          var += q * (1 - q);
        }
        screenMean[t] = mu;
        screenSd[t] = std::sqrt(var);
      }
    }
    const std::uint8_t* src = &p.answer[s * k];
    const std::vector<std::size_t>& block = blocks[blockOf[s]];
    const auto [from, to] = partners(s);
    for (std::size_t y = from; y < to; ++y) {
      const std::size_t c = block[y];
      if (c == s) continue;
      const std::uint8_t* cop = &p.answer[c * k];
      int m = 0;
      for (std::size_t j = 0; j < k; ++j) m += (src[j] != 0) & (src[j] == cop[j]);
      const std::size_t t = static_cast<std::size_t>(p.scores[c]);
      if (screen && m <= screenMean[t] + 1.5 * screenSd[t]) continue;
      probabilities(s, c);
      const double tail = MatchTail(pi, m, dist);
      const Candidate cand{tail, s, c};
      if (tail < out.threshold) {
        flagged.push_back(cand);
      } else if (keep > 0 && (best.size() < keep || tail < best.top().p)) {
        best.push(cand);
        if (best.size() > keep) best.pop();
      }
    }
  }

  // Each pair once, in the direction with the smaller p.
  std::vector<Candidate> all = flagged;
  for (; !best.empty(); best.pop()) all.push_back(best.top());
  std::sort(all.begin(), all.end(), [](const Candidate& x, const Candidate& y) {
    if (x.p != y.p) return x.p < y.p;
    return std::make_pair(x.source, x.copier) < std::make_pair(y.source, y.copier);
  });
  std::set<std::pair<std::size_t, std::size_t>> seen;
  std::size_t others = 0;
  for (const Candidate& c : all) {
    if (!seen.insert(std::minmax(c.source, c.copier)).second) continue;
    const bool isFlagged = c.p < out.threshold;
    if (!isFlagged && others++ >= o.pairsShown) continue;
    PairSimilarity pair;
    pair.source = c.source;
    pair.copier = c.copier;
    pair.sourceNumber = a.sheets[c.source].number;
    pair.copierNumber = a.sheets[c.copier].number;
    pair.sourceStudent = in.sheets[c.source].student;
    pair.copierStudent = in.sheets[c.copier].student;
    probabilities(c.source, c.copier);
    pair.compared = static_cast<int>(pi.size());
    pair.expected = std::accumulate(pi.begin(), pi.end(), 0.0);
    for (std::size_t j = 0; j < k; ++j) {
      const std::uint8_t answer = p.Answer(c.source, j);
      if (answer == 0 || answer != p.Answer(c.copier, j)) continue;
      ++pair.identical;
      if (p.Wrong(c.source, j))
        pair.sharedWrong.emplace_back(a.items[p.items[j]].master, p.labels[j][answer - 1u]);
    }
    pair.p = c.p;
    pair.flagged = isFlagged;
    if (scope != PairScope::kAll) pair.scope = blockNames[blockOf[c.source]];
    out.pairs.push_back(std::move(pair));
  }
  return out;
}

// ------------------------------------------------------------------- DIF --

const char* DifClassName(DifClass c) {
  switch (c) {
    case DifClass::kA:
      return "A";
    case DifClass::kB:
      return "B";
    case DifClass::kC:
      return "C";
    case DifClass::kNone:
      break;
  }
  return "-";
}

DifItem MantelHaenszel(const std::vector<std::array<double, 4>>& strata) {
  DifItem out;
  double r = 0, s = 0, pr = 0, psqr = 0, qs = 0;
  double observed = 0, expected = 0, variance = 0;
  for (const auto& [a, b, c, d] : strata) {
    const double n = a + b + c + d;
    if (n < 2) continue;
    const double rk = a * d / n, sk = b * c / n;
    const double pk = (a + d) / n, qk = (b + c) / n;
    r += rk;
    s += sk;
    pr += pk * rk;
    psqr += pk * sk + qk * rk;
    qs += qk * sk;
    observed += a;
    expected += (a + b) * (a + c) / n;
    variance += (a + b) * (c + d) * (a + c) * (b + d) / (n * n * (n - 1));
  }
  if (variance > 0) {
    const double delta = std::fabs(observed - expected);
    const double yates = delta >= 0.5 ? 0.5 : 0.0;  // as mantelhaen.test corrects
    out.chiSquare = (delta - yates) * (delta - yates) / variance;
    out.p = std::erfc(std::sqrt(*out.chiSquare / 2));
  }
  if (r > 0 && s > 0) {
    out.oddsRatio = r / s;
    out.logSe = std::sqrt(pr / (2 * r * r) + psqr / (2 * r * s) + qs / (2 * s * s));
    out.delta = -2.35 * std::log(*out.oddsRatio);
    out.deltaSe = 2.35 * *out.logSe;
    if (out.p) out.category = EtsClass(*out.delta, *out.deltaSe, *out.p);
  } else if ((r > 0 || s > 0) && out.p) {
    // An odds ratio of 0 or infinity: in every stratum one group answered
    // alike where the other did not. No D-DIF, but as far from 0 as it gets:
    // C when the chi-square is significant, else A.
    out.oddsRatio = s > 0 ? 0.0 : std::numeric_limits<double>::infinity();
    out.category = *out.p < 0.05 ? DifClass::kC : DifClass::kA;
  }
  return out;
}

DifClass EtsClass(double delta, double deltaSe, double p) {
  const double size = std::fabs(delta);
  if (size < 1.0 || p >= 0.05) return DifClass::kA;
  if (size >= 1.5 && deltaSe > 0 && (size - 1.0) / deltaSe > 1.645) return DifClass::kC;
  return DifClass::kB;
}

DifResult AnalyzeDif(const IntegrityInput& in, const IntegrityOptions& o) {
  DifResult out;
  const AnalysisInput& a = in.analysis;
  const Prepared p = Prepare(a);
  // Strata: the sheets' totals.
  std::map<double, std::size_t> strata;
  for (const double t : p.totals) strata.emplace(std::round(t * 1e6) / 1e6, 0);
  std::size_t next = 0;
  for (auto& [total, index] : strata) index = next++;
  std::vector<std::size_t> stratum(p.n);
  for (std::size_t s = 0; s < p.n; ++s) stratum[s] = strata[std::round(p.totals[s] * 1e6) / 1e6];

  // Comparisons: by version, then by each group column; two groups face each
  // other (the larger is the reference), more are each against the others.
  struct Split {
    std::string column;
    std::vector<std::string> values;  // per sheet, "" for none
  };
  std::vector<Split> splits;
  {
    Split v{"version", {}};
    for (const AnalysisSheet& sheet : a.sheets) v.values.push_back(sheet.version);
    splits.push_back(std::move(v));
  }
  for (const std::size_t c : Columns(in, o)) {
    const std::string& name = in.groupColumns[c];
    if (o.group != name &&
        std::find(in.placeColumns.begin(), in.placeColumns.end(), name) != in.placeColumns.end())
      continue;
    Split g{name, {}};
    for (const IntegritySheet& sheet : in.sheets) g.values.push_back(sheet.groups[c]);
    splits.push_back(std::move(g));
  }
  for (const Split& split : splits) {
    std::map<std::string, std::int64_t> sizes;
    for (const std::string& v : split.values)
      if (!v.empty()) ++sizes[v];
    if (sizes.size() < 2) continue;
    std::vector<std::string> focals;
    std::string pairedReference;
    if (sizes.size() == 2) {
      auto first = sizes.begin(), second = std::next(first);
      const bool firstIsReference = first->second >= second->second;
      focals.push_back(firstIsReference ? second->first : first->first);
      pairedReference = firstIsReference ? first->first : second->first;
    } else {
      for (const auto& [value, size] : sizes) focals.push_back(value);
    }
    for (const std::string& focal : focals) {
      DifComparison cmp;
      cmp.column = split.column;
      cmp.focal = focal;
      cmp.reference = pairedReference.empty() ? "others" : pairedReference;
      // counts[stratum][item] = {ref right, ref not, focal right, focal not}
      std::vector<std::array<double, 4>> counts(strata.size() * p.k, {0, 0, 0, 0});
      for (std::size_t s = 0; s < p.n; ++s) {
        const std::string& v = split.values[s];
        if (v.empty()) continue;
        const bool isFocal = v == focal;
        if (!isFocal && !pairedReference.empty() && v != pairedReference) continue;
        (isFocal ? cmp.focalSheets : cmp.referenceSheets)++;
        for (std::size_t j = 0; j < p.k; ++j)
          counts[stratum[s] * p.k + j][(isFocal ? 2 : 0) + (p.Right(s, j) ? 0 : 1)] += 1;
      }
      cmp.classified = cmp.focalSheets >= o.difMinimum && cmp.referenceSheets >= o.difMinimum;
      std::vector<std::array<double, 4>> table(strata.size());
      for (std::size_t j = 0; j < p.k; ++j) {
        for (std::size_t t = 0; t < strata.size(); ++t) table[t] = counts[t * p.k + j];
        DifItem item = MantelHaenszel(table);
        item.master = a.items[p.items[j]].master;
        if (!cmp.classified) item.category = DifClass::kNone;
        cmp.items.push_back(item);
      }
      out.comparisons.push_back(std::move(cmp));
    }
  }
  for (const DifComparison& c : out.comparisons)
    if (c.classified) out.tests += static_cast<std::int64_t>(c.items.size());
  out.threshold = out.tests > 0 ? o.alpha / static_cast<double>(out.tests) : 0.0;
  for (DifComparison& c : out.comparisons)
    for (DifItem& d : c.items) d.beyondChance = c.classified && d.p && *d.p < out.threshold;
  return out;
}

// ------------------------------------------------------------- key fixes --

std::vector<KeyFix> ProposeKeys(const ExamAnalysis& analysis) {
  std::vector<KeyFix> out;
  auto propose = [&](const ItemResult& item, const std::string& version) {
    if (!(item.flags & kFlagKey) || item.isVoid || item.bonus) return;
    KeyFix fix;
    fix.master = item.master;
    fix.version = version;
    fix.keyed = item.keyed;
    const OptionRow* best = nullptr;
    for (const OptionRow& row : item.options) {
      if (row.kind != OptionRow::Kind::kLabel || !row.listed || !row.pointBiserial) continue;
      if (row.keyed) {
        if (!fix.keyedR || *row.pointBiserial > *fix.keyedR) fix.keyedR = row.pointBiserial;
        continue;
      }
      if (!best || *row.pointBiserial > *best->pointBiserial) best = &row;
    }
    if (!best || (fix.keyedR && *best->pointBiserial <= *fix.keyedR)) return;
    fix.proposed = best->label;
    fix.proposedR = best->pointBiserial;
    fix.proposedShare = best->share;
    out.push_back(fix);
  };
  for (const ItemResult& item : analysis.overall.items) {
    if (!item.keyVaries) {
      propose(item, "");
      continue;
    }
    for (const Analysis& v : analysis.versions)
      for (const ItemResult& vi : v.items)
        if (vi.master == item.master) propose(vi, v.version);
  }
  return out;
}

// ---------------------------------------------------------------- all --

std::string CheckIntegrityInput(const IntegrityInput& in) {
  if (std::string e = CheckAnalysisInput(in.analysis); !e.empty()) return e;
  if (in.sheets.size() != in.analysis.sheets.size())
    return "the integrity input has " + std::to_string(in.sheets.size()) + " sheets for " +
           std::to_string(in.analysis.sheets.size()) + " scored sheets";
  const std::size_t items = in.analysis.items.size();
  for (std::size_t s = 0; s < in.sheets.size(); ++s) {
    const IntegritySheet& sheet = in.sheets[s];
    const std::string where = "sheet " + std::to_string(in.analysis.sheets[s].number);
    if (!sheet.erased.empty() && sheet.erased.size() != items)
      return where + ": erasures for " + std::to_string(sheet.erased.size()) + " items, not " +
             std::to_string(items);
    if (!sheet.doubted.empty() && sheet.doubted.size() != items)
      return where + ": doubts for " + std::to_string(sheet.doubted.size()) + " items, not " +
             std::to_string(items);
    if (sheet.groups.size() != in.groupColumns.size())
      return where + ": " + std::to_string(sheet.groups.size()) + " group values for " +
             std::to_string(in.groupColumns.size()) + " group columns";
  }
  return {};
}

bool AnalyzeIntegrity(const IntegrityInput& input, const IntegrityOptions& options,
                      const ExamAnalysis* analysis, IntegrityResult& out, std::string& error) {
  error = CheckIntegrityInput(input);
  if (!error.empty()) return false;
  if (!(options.alpha > 0 && options.alpha < 1)) {
    error = "the false-alarm rate must lie between 0 and 1";
    return false;
  }
  if (!options.group.empty() && std::find(input.groupColumns.begin(), input.groupColumns.end(),
                                          options.group) == input.groupColumns.end()) {
    std::string names;
    for (const std::string& c : input.groupColumns) names += (names.empty() ? "" : ", ") + c;
    error = "there is no group column \"" + options.group + "\"" +
            (names.empty() ? std::string(": the exam has none") : "; the columns are " + names);
    return false;
  }
  out = IntegrityResult{};
  out.options = options;
  out.sheets = static_cast<std::int64_t>(input.analysis.sheets.size());
  out.erasures = AnalyzeErasures(input, options);
  out.similarity = AnalyzeSimilarity(input, options);
  out.dif = AnalyzeDif(input, options);
  out.rasch = AnalyzeRasch(input.analysis);
  if (analysis) out.keyFixes = ProposeKeys(*analysis);
  out.doubtedAnswers.assign(input.analysis.items.size(), 0);
  for (const IntegritySheet& sheet : input.sheets)
    for (std::size_t i = 0; i < sheet.doubted.size(); ++i) out.doubtedAnswers[i] += sheet.doubted[i];
  return true;
}

}  // namespace omr::exam
