#include "integrity_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>

#include "project.h"
#include "report_common.h"
#include "report_html.h"

namespace omr::exam {

namespace {

using Json = nlohmann::ordered_json;

// Groups and pairs shown in full; the rest are counted.
constexpr std::size_t kRowsShown = 30;

std::string PValue(double p) {
  if (p <= 0) return "<1e-300";
  char b[32];
  std::snprintf(b, sizeof b, p < 0.001 ? "%.1e" : "%.3f", p);
  return b;
}

std::string Percent(double share) {
  return Fixed(100 * share, 2) + " %";
}

std::string Items(const std::vector<int>& masters) {
  std::string out;
  for (const int m : masters) out += (out.empty() ? "" : " ") + std::to_string(m);
  return out;
}

std::string SharedWrong(const PairSimilarity& p) {
  std::string out;
  for (const auto& [item, label] : p.sharedWrong)
    out += (out.empty() ? "" : " ") + std::to_string(item) + ":" + LabelText(label);
  return out;
}

std::string Student(std::int64_t sheet, const std::string& student) {
  return "sheet " + std::to_string(sheet) + (student.empty() ? "" : " (" + CleanUtf8(student) + ")");
}

const char* ScopeText(const SimilarityResult& s) {
  switch (s.scope) {
    case PairScope::kAll:
      return "every pair of students";
    case PairScope::kGroup:
      return "pairs within each group of the column";
    case PairScope::kRun:
      return "pairs of sheets read close to each other in one run";
    case PairScope::kAuto:
      break;
  }
  return "";
}

std::string Scope(const SimilarityResult& s) {
  std::string out = ScopeText(s);
  if (s.scope == PairScope::kGroup) out += " \"" + CleanUtf8(s.column) + "\"";
  return out;
}

std::string Comparison(const DifComparison& c) {
  return CleanUtf8(c.column) + " " + CleanUtf8(c.focal) + " against " +
         (c.reference == "others" ? std::string("the others") : CleanUtf8(c.reference));
}

// Why a DIF class: which group the item favours.
std::string Favours(const DifComparison& c, const DifItem& d) {
  if (!d.oddsRatio || *d.oddsRatio == 1) return "";
  return *d.oddsRatio < 1 ? "easier for " + CleanUtf8(c.focal) + " than their totals say"
                          : "harder for " + CleanUtf8(c.focal) + " than their totals say";
}

// "+2.45", or "-" where there is no D-DIF (an odds ratio of 0 or infinity).
std::string Signed(const std::optional<double>& v) {
  if (!v) return "-";
  return (*v > 0 ? "+" : "") + Fixed(*v, 2);
}

std::string Ratio(const std::optional<double>& v) {
  if (!v) return "-";
  return std::isinf(*v) ? "infinite" : Fixed(*v, 3);
}

struct DifFlag {
  const DifComparison* comparison;
  const DifItem* item;
};

// Items in B and C, C first, then by the size of the D-DIF.
std::vector<DifFlag> DifFlags(const DifResult& dif) {
  std::vector<DifFlag> out;
  for (const DifComparison& c : dif.comparisons)
    for (const DifItem& d : c.items)
      if (d.category == DifClass::kB || d.category == DifClass::kC) out.push_back({&c, &d});
  std::stable_sort(out.begin(), out.end(), [](const DifFlag& a, const DifFlag& b) {
    if (a.item->category != b.item->category) return a.item->category > b.item->category;
    const auto size = [](const DifItem& d) {
      return d.delta ? std::fabs(*d.delta) : std::numeric_limits<double>::infinity();
    };
    return size(*a.item) > size(*b.item);
  });
  return out;
}

std::int64_t FlaggedStudents(const ErasureResult& e) {
  return std::count_if(e.students.begin(), e.students.end(), [](const auto& s) { return s.test.flagged; });
}

const IntegrityMethod& Method(std::string_view id) {
  for (const IntegrityMethod& m : IntegrityMethods())
    if (id == m.id) return m;
  return IntegrityMethods().front();
}

constexpr const char* kScreening =
    "Screening figures: each points at sheets, pairs, groups or items a person may want to look at; none "
    "says what happened. Each screen is set so that an exam where nothing happened shows any flag at all "
    "with a chance of at most ";

}  // namespace

const std::vector<IntegrityMethod>& IntegrityMethods() {
  static const std::vector<IntegrityMethod> methods = {
      {"erasures",
       "Wrong-to-right erasures: each student's and each group's count against a binomial over its items at "
       "the rate of everyone else (upper tail), with a Bonferroni correction for the number tested",
       "Cizek, G. J., & Wollack, J. A. (Eds.). (2017). Handbook of Quantitative Methods for Detecting "
       "Cheating on Tests (part on test tampering and erasures). Routledge; Dunn, O. J. (1961). Multiple "
       "comparisons among means. Journal of the American Statistical Association, 56(293), 52-64."},
      {"similarity",
       "Generalized binomial test of identical answers (GBT), with the chance of a match taken from option "
       "response curves smoothed over the total score",
       "van der Linden, W. J., & Sotaridona, L. S. (2006). Detecting answer copying when the regular "
       "response "
       "process follows a known response model. Journal of Educational and Behavioral Statistics, 31(3), "
       "283-304; Ramsay, J. O. (1991). Kernel smoothing approaches to nonparametric item characteristic "
       "curve estimation. Psychometrika, 56(4), 611-630."},
      {"dif",
       "Mantel-Haenszel common odds ratio over total-score strata, its MH D-DIF = -2.35 ln(alpha), the MH "
       "chi-square with continuity correction, and the Robins-Breslow-Greenland standard error",
       "Mantel, N., & Haenszel, W. (1959). Statistical aspects of the analysis of data from retrospective "
       "studies of disease. Journal of the National Cancer Institute, 22(4), 719-748; Holland, P. W., & "
       "Thayer, D. T. (1988). Differential item performance and the Mantel-Haenszel "
       "procedure. In H. Wainer & H. I. Braun (Eds.), Test Validity (pp. 129-145). Erlbaum; Robins, J., "
       "Breslow, N., & Greenland, S. (1986). Estimators of the Mantel-Haenszel variance consistent in both "
       "sparse data and large-strata limiting models. Biometrics, 42(2), 311-323."},
      {"dif-classes",
       "ETS classes: A when |MH D-DIF| < 1 or the chi-square is not significant at 5 %; C when |MH D-DIF| >= "
       "1.5 and significantly above 1 (one-sided 5 %); B otherwise",
       "Zwick, R. (2012). A review of ETS differential item functioning assessment procedures (ETS Research "
       "Report RR-12-08). Educational Testing Service."},
      {"rasch",
       "Rasch model by conditional maximum likelihood (difficulties centred to a mean of 0); person measures "
       "by maximum likelihood given the difficulties, the extreme scores by a natural cubic spline through "
       "all the other scores' measures; infit and outfit mean squares",
       "Fischer, G. H., & Molenaar, I. W. (Eds.). (1995). Rasch Models: Foundations, Recent Developments, "
       "and Applications. Springer; Mair, P., & Hatzinger, R. (2007). Extended Rasch modeling: The eRm "
       "package. Journal of Statistical Software, 20(9); Wright, B. D., & Masters, G. N. (1982). Rating "
       "Scale Analysis. MESA Press."},
      {"key",
       "Key fix: on an item flagged \"key?\", the option whose choice correlates best with the rest of the "
       "test (item-rest point-biserial) is proposed as the key",
       "Haladyna, T. M., & Rodriguez, M. C. (2013). Developing and Validating Test Items. Routledge (item "
       "analysis: distractors and mis-keyed items)."},
  };
  return methods;
}

// ------------------------------------------------------------------ text --

std::string IntegrityText(const IntegrityResult& r) {
  std::string t;
  char b[512];
  auto line = [&](const std::string& s) { t += s + "\n"; };
  line("Integrity screening of " + std::to_string(r.sheets) + " scored sheets.");
  line(std::string(kScreening) + Fixed(100 * r.options.alpha, 0) + " %.");

  const ErasureResult& e = r.erasures;
  line("");
  line("Answer changes (erasures)");
  if (e.sheetsWithGrid == 0) {
    line("  No scored sheet has its grid kept: erasures are unknown.");
  } else {
    const std::int64_t changes = e.total.wrongToRight + e.total.rightToWrong + e.total.wrongToWrong;
    line("  " + std::to_string(e.sheetsWithGrid) + " sheets with their grid; " + std::to_string(changes) +
         " erasures beside an answer: " + std::to_string(e.total.wrongToRight) + " wrong to right, " +
         std::to_string(e.total.rightToWrong) + " right to wrong, " + std::to_string(e.total.wrongToWrong) +
         " wrong to wrong; " + (e.rate ? Percent(*e.rate) : std::string("-")) +
         " of the items changed wrong to right.");
    line("  Students flagged (p below " + PValue(e.studentThreshold) +
         "): " + std::to_string(FlaggedStudents(e)));
    if (FlaggedStudents(e) > 0) {
      line("    sheet     student       WR  RW  WW  expected        p  items changed wrong to right");
      for (const StudentErasures& s : e.students) {
        if (!s.test.flagged) continue;
        std::snprintf(
            b, sizeof b, "    %-9lld %-12s %3lld %3lld %3lld  %8.2f  %7s  ", static_cast<long long>(s.number),
            CleanUtf8(s.student).c_str(), static_cast<long long>(s.counts.wrongToRight),
            static_cast<long long>(s.counts.rightToWrong), static_cast<long long>(s.counts.wrongToWrong),
            s.test.expected, PValue(s.test.p).c_str());
        line(b + Items(s.wrongToRightItems));
      }
    }
    if (e.groupsTested > 0) {
      line("  Groups (p below " + PValue(e.groupThreshold) + " flagged), the least probable first:");
      std::size_t shown = 0;
      for (const GroupErasures& g : e.groups) {
        if (shown++ >= 10 && !g.test.flagged) continue;
        std::snprintf(b, sizeof b, "    %s %-10s %4lld WR over %4lld sheets (%s), expected %.1f, p %s%s",
                      CleanUtf8(g.column).c_str(), CleanUtf8(g.value).c_str(),
                      static_cast<long long>(g.counts.wrongToRight), static_cast<long long>(g.sheets),
                      g.counts.items
                          ? Percent(static_cast<double>(g.counts.wrongToRight) / g.counts.items).c_str()
                          : "-",
                      g.test.expected, PValue(g.test.p).c_str(), g.test.flagged ? "  FLAGGED" : "");
        line(b);
      }
      if (e.groups.size() > 10)
        line("    (" + std::to_string(e.groups.size()) + " groups in all: --json lists them)");
    }
  }
  line("  Method: " + std::string(Method("erasures").name) + ".");

  const SimilarityResult& s = r.similarity;
  line("");
  line("Answer similarity");
  line("  " + Scope(s) + ": " +
       (s.pairsTested == 0
            ? std::string("no pair to test.")
            : std::to_string(s.pairsTested) + " ordered pairs tested, flagged when p is below " +
                  PValue(s.threshold) + "."));
  const auto flaggedPairs =
      std::count_if(s.pairs.begin(), s.pairs.end(), [](const auto& p) { return p.flagged; });
  line("  Pairs flagged: " + std::to_string(flaggedPairs) +
       (s.pairs.empty() ? "" : "; the most similar pairs:"));
  for (const PairSimilarity& p : s.pairs) {
    std::snprintf(b, sizeof b, "    %s%s and %s: %d of %d answers alike, %.1f expected, p %s",
                  p.flagged ? "* " : "  ", Student(p.copierNumber, p.copierStudent).c_str(),
                  Student(p.sourceNumber, p.sourceStudent).c_str(), p.identical, p.compared, p.expected,
                  PValue(p.p).c_str());
    line(b + std::string(p.sharedWrong.empty() ? "" : "; wrong answers alike: " + SharedWrong(p)));
  }
  line("  Method: " + std::string(Method("similarity").name) +
       (s.pairsTested ? " (bandwidth " + Fixed(s.bandwidth, 2) + " points)." : std::string(".")));

  line("");
  line("Item bias (DIF)");
  if (r.dif.comparisons.empty())
    line("  No comparison: fewer than two versions, and no group column with two groups, have sheets.");
  for (const DifComparison& c : r.dif.comparisons)
    line("  " + Comparison(c) + ": " + std::to_string(c.focalSheets) + " and " +
         std::to_string(c.referenceSheets) + " sheets" +
         (c.classified ? ""
                       : " (not classified: fewer than " + std::to_string(r.options.difMinimum) +
                             " sheets in a group)"));
  const std::vector<DifFlag> flags = DifFlags(r.dif);
  if (!r.dif.comparisons.empty())
    line("  Items in B or C: " + std::to_string(flags.size()) + " of " + std::to_string(r.dif.tests) +
         " item comparisons classified (each tested at 5 %, so some reach B or C by chance; \"beyond "
         "chance\": p "
         "below " +
         PValue(r.dif.threshold) + ")" + (flags.empty() ? "" : ", C first:"));
  for (const DifFlag& f : flags) {
    std::snprintf(b, sizeof b,
                  "    %s item %d, %s: MH D-DIF %s (SE %s), odds ratio %s, chi-square %s, p %s; ",
                  DifClassName(f.item->category), f.item->master, Comparison(*f.comparison).c_str(),
                  Signed(f.item->delta).c_str(), Fixed(f.item->deltaSe, 2, "-").c_str(),
                  Ratio(f.item->oddsRatio).c_str(), Fixed(f.item->chiSquare, 2, "-").c_str(),
                  PValue(f.item->p.value_or(1)).c_str());
    line(b + Favours(*f.comparison, *f.item) +
         (f.item->beyondChance ? "; beyond chance over all comparisons" : ""));
  }
  line("  Method: " + std::string(Method("dif").name) + "; " + Method("dif-classes").name + ".");

  const RaschResult& ra = r.rasch;
  line("");
  line("Rasch measures (conditional maximum likelihood)");
  if (!ra.estimated) {
    line("  Not estimated: " + ra.why + ".");
  } else {
    line("  " + std::to_string(ra.persons) + " persons carry the estimates (" +
         std::to_string(ra.extremePersons) + " more with a score of 0 or full); " +
         std::to_string(ra.iterations) + " iterations.");
    line("    item  difficulty     SE  infit  outfit");
    for (const RaschItem& i : ra.items) {
      if (!i.estimated) {
        line("    " + std::to_string(i.master) + "  left out: " + i.left);
        continue;
      }
      std::snprintf(b, sizeof b, "    %4d  %10.3f  %5.3f  %5s  %6s", i.master, i.difficulty, i.se,
                    Fixed(i.infit, 2, "-").c_str(), Fixed(i.outfit, 2, "-").c_str());
      line(b);
    }
    line("    score  measure     SE  persons");
    for (const RaschScore& sc : ra.scores) {
      std::snprintf(b, sizeof b, "    %5d  %7.3f  %5s  %7lld%s", sc.score, sc.measure,
                    Fixed(sc.se, 3, "-").c_str(), static_cast<long long>(sc.persons),
                    sc.extrapolated ? "  (extrapolated)" : "");
      line(b);
    }
  }
  line("  Method: " + std::string(Method("rasch").name) + ".");

  line("");
  line("Key fixes");
  if (r.keyFixes.empty()) line("  No item is flagged \"key?\".");
  for (const KeyFix& k : r.keyFixes) {
    line("  item " + std::to_string(k.master) +
         (k.version.empty() ? "" : " (version " + CleanUtf8(k.version) + ")") + ", keyed " +
         LabelsText(k.keyed) + ": " + LabelText(k.proposed) + " behaves like the key (item-rest r " +
         Fixed(k.proposedR, 2, "-") + " against " + Fixed(k.keyedR, 2, "-") + " for the key; chosen by " +
         Fixed(k.proposedShare ? std::optional<double>(100 * *k.proposedShare) : std::nullopt, 1, "-") +
         " %)");
    if (k.preview) {
      line("    accepting it changes the totals of " + std::to_string(k.preview->changed.size()) +
           " sheets (" + std::to_string(k.preview->unchanged) + " stay):");
      std::size_t shown = 0;
      for (const ScoreChange& c : k.preview->changed) {
        if (shown++ == kRowsShown) {
          line("      ... " + std::to_string(k.preview->changed.size() - kRowsShown) +
               " more (--json lists them)");
          break;
        }
        line("      " + Student(c.sheet, c.studentId) + (c.name.empty() ? "" : " " + CleanUtf8(c.name)) +
             ": " + FormatNumber(c.totalBefore) + " -> " + FormatNumber(c.totalAfter));
      }
    }
    if (!k.command.empty()) line("    to accept it: " + k.command);
  }

  std::int64_t doubted = 0;
  for (const std::int64_t d : r.doubtedAnswers) doubted += d;
  line("");
  line("Answers the recognition doubted and nobody reviewed: " + std::to_string(doubted) +
       (doubted ? " (the exports mark them in their doubted column)" : ""));
  return t;
}

// ------------------------------------------------------------------ JSON --

namespace {

Json Optional(const std::optional<double>& v) {
  return v ? Json(*v) : Json(nullptr);
}

Json Counts(const ErasureCounts& c) {
  return {{"wrong_to_right", c.wrongToRight},
          {"right_to_wrong", c.rightToWrong},
          {"wrong_to_wrong", c.wrongToWrong},
          {"items", c.items}};
}

Json Test(const ErasureTest& t) {
  return {{"rate", t.rate}, {"expected", t.expected}, {"p", t.p}, {"flagged", t.flagged}};
}

const char* ScopeName(PairScope s) {
  switch (s) {
    case PairScope::kAll:
      return "all";
    case PairScope::kGroup:
      return "group";
    case PairScope::kRun:
      return "run";
    case PairScope::kAuto:
      break;
  }
  return "auto";
}

}  // namespace

std::string IntegrityJson(const IntegrityResult& r) {
  Json j;
  j["sheets"] = r.sheets;
  j["alpha"] = r.options.alpha;
  j["group"] = r.options.group.empty() ? Json(nullptr) : Json(CleanUtf8(r.options.group));
  Json methods = Json::object();
  for (const IntegrityMethod& m : IntegrityMethods())
    methods[m.id] = {{"name", m.name}, {"reference", m.reference}};
  j["methods"] = methods;

  const ErasureResult& e = r.erasures;
  Json students = Json::array();
  for (const StudentErasures& s : e.students)
    students.push_back({{"sheet", s.number},
                        {"student", CleanUtf8(s.student)},
                        {"counts", Counts(s.counts)},
                        {"wrong_to_right_items", s.wrongToRightItems},
                        {"test", Test(s.test)}});
  Json groups = Json::array();
  for (const GroupErasures& g : e.groups)
    groups.push_back({{"column", CleanUtf8(g.column)},
                      {"value", CleanUtf8(g.value)},
                      {"sheets", g.sheets},
                      {"flagged_alone", g.flaggedAlone},
                      {"counts", Counts(g.counts)},
                      {"test", Test(g.test)}});
  j["erasures"] = {{"sheets_with_grid", e.sheetsWithGrid},
                   {"total", Counts(e.total)},
                   {"rate", Optional(e.rate)},
                   {"student_threshold", e.studentThreshold},
                   {"group_threshold", e.groupThreshold},
                   {"groups_tested", e.groupsTested},
                   {"students", students},
                   {"groups", groups}};

  const SimilarityResult& s = r.similarity;
  Json pairs = Json::array();
  for (const PairSimilarity& p : s.pairs) {
    Json wrong = Json::array();
    for (const auto& [item, label] : p.sharedWrong)
      wrong.push_back({{"item", item}, {"label", LabelText(label)}});
    pairs.push_back({{"source", {{"sheet", p.sourceNumber}, {"student", CleanUtf8(p.sourceStudent)}}},
                     {"copier", {{"sheet", p.copierNumber}, {"student", CleanUtf8(p.copierStudent)}}},
                     {"compared", p.compared},
                     {"identical", p.identical},
                     {"expected", p.expected},
                     {"p", p.p},
                     {"flagged", p.flagged},
                     {"scope", CleanUtf8(p.scope)},
                     {"shared_wrong", wrong}});
  }
  j["similarity"] = {
      {"scope", ScopeName(s.scope)}, {"column", s.column.empty() ? Json(nullptr) : Json(CleanUtf8(s.column))},
      {"bandwidth", s.bandwidth},    {"pairs_tested", s.pairsTested},
      {"threshold", s.threshold},    {"pairs", pairs}};

  Json comparisons = Json::array();
  for (const DifComparison& c : r.dif.comparisons) {
    Json items = Json::array();
    for (const DifItem& d : c.items)
      items.push_back({{"item", d.master},
                       {"odds_ratio", Optional(d.oddsRatio)},
                       {"log_se", Optional(d.logSe)},
                       {"delta", Optional(d.delta)},
                       {"delta_se", Optional(d.deltaSe)},
                       {"chi_square", Optional(d.chiSquare)},
                       {"p", Optional(d.p)},
                       {"class", DifClassName(d.category)},
                       {"beyond_chance", d.beyondChance}});
    comparisons.push_back({{"column", CleanUtf8(c.column)},
                           {"focal", CleanUtf8(c.focal)},
                           {"reference", CleanUtf8(c.reference)},
                           {"focal_sheets", c.focalSheets},
                           {"reference_sheets", c.referenceSheets},
                           {"classified", c.classified},
                           {"items", items}});
  }
  j["dif"] = {{"tests", r.dif.tests}, {"threshold", r.dif.threshold}, {"comparisons", comparisons}};

  const RaschResult& ra = r.rasch;
  Json items = Json::array();
  for (const RaschItem& i : ra.items) {
    Json item = {{"item", i.master}, {"estimated", i.estimated}};
    if (i.estimated) {
      item["difficulty"] = i.difficulty;
      item["se"] = i.se;
      item["infit"] = Optional(i.infit);
      item["outfit"] = Optional(i.outfit);
      item["right"] = i.right;
    } else {
      item["left_out"] = i.left;
    }
    items.push_back(item);
  }
  Json scores = Json::array();
  for (const RaschScore& sc : ra.scores)
    scores.push_back({{"score", sc.score},
                      {"measure", sc.measure},
                      {"se", Optional(sc.se)},
                      {"extrapolated", sc.extrapolated},
                      {"persons", sc.persons}});
  Json information = Json::array();
  for (const auto& [theta, info] : ra.information) information.push_back({theta, info});
  j["rasch"] = {{"estimated", ra.estimated},
                {"why", ra.estimated ? Json(nullptr) : Json(ra.why)},
                {"iterations", ra.iterations},
                {"persons", ra.persons},
                {"extreme_persons", ra.extremePersons},
                {"items", items},
                {"scores", scores},
                {"information", information}};

  Json fixes = Json::array();
  for (const KeyFix& k : r.keyFixes)
    fixes.push_back({{"item", k.master},
                     {"version", k.version.empty() ? Json(nullptr) : Json(CleanUtf8(k.version))},
                     {"keyed", LabelsText(k.keyed)},
                     {"proposed", LabelText(k.proposed)},
                     {"keyed_r", Optional(k.keyedR)},
                     {"proposed_r", Optional(k.proposedR)},
                     {"proposed_share", Optional(k.proposedShare)},
                     {"command", k.command.empty() ? Json(nullptr) : Json(k.command)},
                     {"preview", k.preview ? Json::parse(RekeyJson(*k.preview, true)) : Json(nullptr)}});
  j["key_fixes"] = fixes;
  j["doubted_answers"] = r.doubtedAnswers;
  return j.dump(2) + "\n";
}

// ------------------------------------------------------------------ HTML --

namespace {

void Cell(std::string& h, const std::string& text, bool number = false) {
  h += number ? "<td class=n>" : "<td>";
  h += text;
  h += "</td>";
}

void Head(std::string& h, std::initializer_list<std::pair<const char*, bool>> columns, bool sortable = true) {
  h += sortable ? "<table class=sortable><thead><tr>" : "<table><thead><tr>";
  for (const auto& [name, number] : columns)
    h += std::string(number ? "<th class=n>" : "<th>") + name + "</th>";
  h += "</tr></thead><tbody>";
}

void MethodNote(std::string& h, std::initializer_list<const char*> ids) {
  h += "<p class=note>";
  bool first = true;
  for (const char* id : ids) {
    const IntegrityMethod& m = Method(id);
    h += std::string(first ? "" : " ") + "<b>Method:</b> " + EscapeHtml(m.name) + ". <i>" +
         EscapeHtml(m.reference) + "</i>";
    first = false;
  }
  h += "</p>";
}

void ErasuresHtml(std::string& h, const ErasureResult& e) {
  h += "<h3 id=integrity-erasures>Answer changes (erasures)</h3>";
  if (e.sheetsWithGrid == 0) {
    h += "<p class=none>No scored sheet has its grid kept: erasures are unknown.</p>";
    MethodNote(h, {"erasures"});
    return;
  }
  h += "<div class=figures>";
  auto figure = [&](const std::string& value, const char* label) {
    h += "<div><b>" + value + "</b><span>" + label + "</span></div>";
  };
  figure(std::to_string(e.sheetsWithGrid), "sheets with their grid");
  figure(std::to_string(e.total.wrongToRight), "wrong to right");
  figure(std::to_string(e.total.rightToWrong), "right to wrong");
  figure(std::to_string(e.total.wrongToWrong), "wrong to wrong");
  figure(e.rate ? Percent(*e.rate) : "&ndash;", "of items changed wrong to right");
  figure(std::to_string(FlaggedStudents(e)), "students flagged");
  h += "</div>";
  if (FlaggedStudents(e) > 0) {
    h += "<p>Students whose wrong-to-right count is improbable at everyone else's rate (p below " +
         PValue(e.studentThreshold) + "):</p>";
    Head(h, {{"Sheet", true},
             {"Student", false},
             {"Wrong to right", true},
             {"Right to wrong", true},
             {"Wrong to wrong", true},
             {"Expected", true},
             {"p", true},
             {"Items changed wrong to right", false}});
    for (const StudentErasures& s : e.students) {
      if (!s.test.flagged) continue;
      h += "<tr class=hit>";
      Cell(h, std::to_string(s.number), true);
      Cell(h, EscapeHtml(s.student));
      Cell(h, std::to_string(s.counts.wrongToRight), true);
      Cell(h, std::to_string(s.counts.rightToWrong), true);
      Cell(h, std::to_string(s.counts.wrongToWrong), true);
      Cell(h, Fixed(s.test.expected, 2), true);
      Cell(h, PValue(s.test.p), true);
      Cell(h, Items(s.wrongToRightItems));
      h += "</tr>";
    }
    h += "</tbody></table>";
  }
  if (!e.groups.empty()) {
    h += "<p>Groups, the least probable first (flagged when p is below " + PValue(e.groupThreshold) +
         "; students flagged on their own are left out of their group):</p>";
    Head(h, {{"Column", false},
             {"Group", false},
             {"Sheets", true},
             {"Wrong to right", true},
             {"Rate", true},
             {"Expected", true},
             {"p", true},
             {"", false}});
    std::size_t shown = 0;
    for (const GroupErasures& g : e.groups) {
      if (shown >= kRowsShown && !g.test.flagged) continue;
      ++shown;
      h += g.test.flagged ? "<tr class=hit>" : "<tr>";
      Cell(h, EscapeHtml(g.column));
      Cell(h, EscapeHtml(g.value));
      Cell(h, std::to_string(g.sheets), true);
      Cell(h, std::to_string(g.counts.wrongToRight), true);
      Cell(h,
           g.counts.items ? Percent(static_cast<double>(g.counts.wrongToRight) / g.counts.items) : "&ndash;",
           true);
      Cell(h, Fixed(g.test.expected, 1), true);
      Cell(h, PValue(g.test.p), true);
      Cell(h, g.test.flagged ? "<span class=flag>flagged</span>" : "");
      h += "</tr>";
    }
    h += "</tbody></table>";
    if (shown < e.groups.size())
      h += "<p class=note>" + std::to_string(e.groups.size() - shown) +
           " more groups: <code>omrctl exam integrity "
           "--json</code> lists them all.</p>";
  }
  MethodNote(h, {"erasures"});
}

void SimilarityHtml(std::string& h, const SimilarityResult& s) {
  h += "<h3 id=integrity-similarity>Answer similarity</h3>";
  h += "<p>" + EscapeHtml(Scope(s)) + ": " +
       (s.pairsTested == 0 ? std::string("no pair to test.")
                           : std::to_string(s.pairsTested) +
                                 " ordered pairs tested (each pair both ways), flagged when p is below " +
                                 PValue(s.threshold) + ".") +
       "</p>";
  if (s.pairs.empty()) {
    h += "<p class=none>No pair shares more answers than chance would give.</p>";
  } else {
    Head(h, {{"Sheet", true},
             {"Student", false},
             {"Alike with sheet", true},
             {"Student", false},
             {"Answers alike", true},
             {"Expected", true},
             {"p", true},
             {"Wrong answers alike (item:option)", false}});
    for (const PairSimilarity& p : s.pairs) {
      h += p.flagged ? "<tr class=hit>" : "<tr>";
      Cell(h, std::to_string(p.copierNumber), true);
      Cell(h, EscapeHtml(p.copierStudent));
      Cell(h, std::to_string(p.sourceNumber), true);
      Cell(h, EscapeHtml(p.sourceStudent));
      Cell(h, std::to_string(p.identical) + " of " + std::to_string(p.compared), true);
      Cell(h, Fixed(p.expected, 1), true);
      Cell(h, PValue(p.p) + (p.flagged ? " <span class=flag>flagged</span>" : ""), true);
      Cell(h, EscapeHtml(SharedWrong(p)));
      h += "</tr>";
    }
    h += "</tbody></table><p class=note>The first sheet's answers are tested against the second's (the "
         "direction with the smaller p). Unflagged rows show how close the most similar honest-looking pairs "
         "come.</p>";
  }
  MethodNote(h, {"similarity"});
}

void DifHtml(std::string& h, const DifResult& dif, std::int64_t minimum) {
  h += "<h3 id=integrity-dif>Item bias (DIF)</h3>";
  if (dif.comparisons.empty()) {
    h += "<p class=none>No comparison: fewer than two versions, and no group column with two groups, have "
         "sheets.</p>";
    MethodNote(h, {"dif", "dif-classes"});
    return;
  }
  h += "<p>Compared: ";
  for (std::size_t i = 0; i < dif.comparisons.size(); ++i) {
    const DifComparison& c = dif.comparisons[i];
    h += (i ? "; " : "") + EscapeHtml(Comparison(c)) + " (" + std::to_string(c.focalSheets) + " and " +
         std::to_string(c.referenceSheets) + " sheets" + (c.classified ? ")" : ", not classified)");
  }
  h += ".</p>";
  if (std::any_of(dif.comparisons.begin(), dif.comparisons.end(),
                  [](const auto& c) { return !c.classified; }))
    h += "<p class=note>A comparison with fewer than " + std::to_string(minimum) +
         " sheets in a group is not classified: its figures are in the JSON, but so few sheets make the "
         "Mantel-Haenszel estimate unstable.</p>";
  const std::vector<DifFlag> flags = DifFlags(dif);
  h += "<p>" + std::to_string(dif.tests) +
       " item comparisons classified. The ETS rule tests each at 5 %, so among many some reach B or C by "
       "chance; <i>beyond chance</i> marks those whose p is below " +
       PValue(dif.threshold) + " (5 % over all of them).</p>";
  if (flags.empty()) {
    h += "<p class=none>Every item is in class A in every comparison.</p>";
  } else {
    Head(h, {{"Item", true},
             {"Class", false},
             {"Comparison", false},
             {"MH D-DIF", true},
             {"SE", true},
             {"Odds ratio", true},
             {"Chi-square", true},
             {"p", true},
             {"Reading", false}});
    for (const DifFlag& f : flags) {
      const bool c = f.item->category == DifClass::kC;
      h += c ? "<tr class=hit>" : "<tr>";
      Cell(h,
           "<a href=\"#integrity-item-" + std::to_string(f.item->master) + "\">" +
               std::to_string(f.item->master) + "</a>",
           true);
      Cell(h, c ? "<span class=flag>C</span>" : "B");
      Cell(h, EscapeHtml(Comparison(*f.comparison)));
      Cell(h, EscapeHtml(Signed(f.item->delta)), true);
      Cell(h, Fixed(f.item->deltaSe, 2, "&ndash;"), true);
      Cell(h, EscapeHtml(Ratio(f.item->oddsRatio)), true);
      Cell(h, Fixed(f.item->chiSquare, 2, "&ndash;"), true);
      Cell(h, PValue(f.item->p.value_or(1)) + (f.item->beyondChance ? " <i>beyond chance</i>" : ""), true);
      Cell(h, EscapeHtml(Favours(*f.comparison, *f.item)));
      h += "</tr>";
    }
    h += "</tbody></table>";
  }
  MethodNote(h, {"dif", "dif-classes"});
}

// The test information I(theta), with the items' difficulties as ticks.
void InformationSvg(std::string& h, const RaschResult& ra) {
  if (ra.information.size() < 2) return;
  const double W = 760, H = 240, left = 46, right = 12, top = 12, bottom = 40;
  const double pw = W - left - right, ph = H - top - bottom;
  const double lo = ra.information.front().first, hi = ra.information.back().first;
  double most = 0;
  for (const auto& [theta, info] : ra.information) most = std::max(most, info);
  const double ymax = std::max(1.0, std::ceil(most));
  auto x = [&](double theta) { return left + (theta - lo) / (hi - lo) * pw; };
  auto y = [&](double info) { return top + ph - info / ymax * ph; };
  h += "<svg class=hist viewBox=\"0 0 760 240\" role=img aria-label=\"Test information by measure\">";
  const double step = ymax <= 5 ? 1 : ymax <= 10 ? 2 : ymax <= 25 ? 5 : 10;
  for (double v = 0; v <= ymax + 1e-9; v += step) {
    h += "<line class=axis x1=\"" + Fixed(left - 4, 1) + "\" x2=\"" + Fixed(left + pw, 1) + "\" y1=\"" +
         Fixed(y(v), 1) + "\" y2=\"" + Fixed(y(v), 1) + "\" stroke-opacity=\"" + (v == 0 ? "1" : "0.25") +
         "\"/>";
    h += "<text x=\"" + Fixed(left - 8, 1) + "\" y=\"" + Fixed(y(v) + 4, 1) + "\" text-anchor=end>" +
         Fixed(v, 0) + "</text>";
  }
  for (double t = std::ceil(lo); t <= hi + 1e-9; t += 1) {
    h += "<text x=\"" + Fixed(x(t), 1) + "\" y=\"" + Fixed(top + ph + 16, 1) + "\" text-anchor=middle>" +
         Fixed(t, 0) + "</text>";
  }
  std::string path;
  for (const auto& [theta, info] : ra.information)
    path += (path.empty() ? "M" : " L") + Fixed(x(theta), 1) + " " + Fixed(y(info), 1);
  h += "<path d=\"" + path + "\" fill=none stroke=\"#5b7fa6\" stroke-width=2/>";
  for (const RaschItem& i : ra.items) {
    if (!i.estimated) continue;
    h += "<line x1=\"" + Fixed(x(i.difficulty), 1) + "\" x2=\"" + Fixed(x(i.difficulty), 1) + "\" y1=\"" +
         Fixed(top + ph, 1) + "\" y2=\"" + Fixed(top + ph - 8, 1) + "\" stroke=\"#c2410c\"><title>item " +
         std::to_string(i.master) + ": " + Fixed(i.difficulty, 2) + "</title></line>";
  }
  h += "<text x=\"" + Fixed(left + pw / 2, 1) + "\" y=\"" + Fixed(H - 6, 1) +
       "\" text-anchor=middle>measure (logits); ticks: item difficulties</text><text x=\"12\" y=\"" +
       Fixed(top + ph / 2, 1) + "\" text-anchor=middle transform=\"rotate(-90 12 " + Fixed(top + ph / 2, 1) +
       ")\">information</text></svg>";
}

void RaschHtml(std::string& h, const IntegrityResult& r) {
  const RaschResult& ra = r.rasch;
  h += "<h3 id=integrity-rasch>Items: Rasch measures, bias and keys</h3>";
  if (!ra.estimated) h += "<p class=none>The Rasch model was not estimated: " + EscapeHtml(ra.why) + ".</p>";
  // The worst DIF class of each item, and its key fix.
  std::map<int, std::pair<DifClass, std::string>> worst;
  for (const DifComparison& c : r.dif.comparisons)
    for (const DifItem& d : c.items) {
      auto& w = worst[d.master];
      if (d.category > w.first) w = {d.category, Comparison(c)};
    }
  std::map<int, const KeyFix*> fixes;
  for (const KeyFix& k : r.keyFixes) fixes[k.master] = &k;
  Head(h, {{"Item", true},
           {"Difficulty", true},
           {"SE", true},
           {"Infit", true},
           {"Outfit", true},
           {"DIF", false},
           {"Key", false}});
  for (const RaschItem& i : ra.items) {
    const auto w = worst.find(i.master);
    const auto fix = fixes.find(i.master);
    const bool c = w != worst.end() && w->second.first == DifClass::kC;
    h += (c || fix != fixes.end()) ? "<tr class=hit id=\"integrity-item-" : "<tr id=\"integrity-item-";
    h += std::to_string(i.master) + "\">";
    Cell(h, std::to_string(i.master), true);
    if (i.estimated) {
      Cell(h, Fixed(i.difficulty, 3), true);
      Cell(h, Fixed(i.se, 3), true);
      const auto fit = [](const std::optional<double>& v) {
        const std::string text = Fixed(v, 2, "&ndash;");
        return v && (*v < 0.7 || *v > 1.3) ? "<span class=flag>" + text + "</span>" : text;
      };
      Cell(h, fit(i.infit), true);
      Cell(h, fit(i.outfit), true);
    } else {
      h += "<td colspan=4 class=none>left out: " + EscapeHtml(i.left) + "</td>";
    }
    if (w == worst.end() || w->second.first == DifClass::kNone)
      Cell(h, "&ndash;");
    else if (w->second.first == DifClass::kA)
      Cell(h, "A");
    else
      Cell(h, std::string(c ? "<span class=flag>C</span>" : "B") + " (" + EscapeHtml(w->second.second) + ")");
    if (fix != fixes.end())
      Cell(h, "<span class=flag>key?</span> " + EscapeHtml(LabelsText(fix->second->keyed)) + " &rarr; " +
                  EscapeHtml(LabelText(fix->second->proposed)));
    else
      Cell(h, "");
    h += "</tr>";
  }
  h +=
      "</tbody></table><p class=note>Infit and outfit mean squares outside 0.7 to 1.3 are marked: the item's "
      "answers fit the model less (above) or more predictably (below) than the model expects. DIF: the "
      "item's worst class over the comparisons above.</p>";
  if (ra.estimated) {
    h += "<p>Test information: how precisely the test measures at each measure (the standard error there is "
         "1/&radic;information).</p>";
    InformationSvg(h, ra);
    h += "<details><summary>Person measures for every score</summary>";
    Head(h, {{"Score", true}, {"Measure", true}, {"SE", true}, {"Persons", true}}, false);
    for (const RaschScore& s : ra.scores) {
      h += "<tr>";
      Cell(h, std::to_string(s.score), true);
      Cell(h, Fixed(s.measure, 3) + (s.extrapolated ? " *" : ""), true);
      Cell(h, Fixed(s.se, 3, "&ndash;"), true);
      Cell(h, std::to_string(s.persons), true);
      h += "</tr>";
    }
    h += "</tbody></table><p class=note>* 0 and the full score have no finite maximum-likelihood measure: "
         "extrapolated from the others.</p></details>";
  }
  MethodNote(h, {"rasch"});
  if (!r.keyFixes.empty()) {
    h += "<h4>Key fixes</h4>";
    for (const KeyFix& k : r.keyFixes) {
      h += "<p>Item " + std::to_string(k.master) +
           (k.version.empty() ? std::string() : " (version " + EscapeHtml(k.version) + ")") + ", keyed " +
           EscapeHtml(LabelsText(k.keyed)) + ": <b>" + EscapeHtml(LabelText(k.proposed)) +
           "</b> behaves like the key (item-rest correlation " + Fixed(k.proposedR, 2, "&ndash;") +
           " against " + Fixed(k.keyedR, 2, "&ndash;") + " for the key; chosen by " +
           Fixed(k.proposedShare ? std::optional<double>(100 * *k.proposedShare) : std::nullopt, 1,
                 "&ndash;") +
           "% of the sheets).</p>";
      if (k.preview) {
        h += "<p>Accepting it changes the totals of " + std::to_string(k.preview->changed.size()) +
             " sheets (" + std::to_string(k.preview->unchanged) + " stay):</p>";
        Head(h, {{"Sheet", true},
                 {"Student", false},
                 {"Name", false},
                 {"Total now", true},
                 {"Total then", true}});
        std::size_t shown = 0;
        for (const ScoreChange& c : k.preview->changed) {
          if (shown++ == kRowsShown) break;
          h += "<tr>";
          Cell(h, std::to_string(c.sheet), true);
          Cell(h, EscapeHtml(c.studentId));
          Cell(h, EscapeHtml(c.name));
          Cell(h, FormatNumber(c.totalBefore), true);
          Cell(h, FormatNumber(c.totalAfter), true);
          h += "</tr>";
        }
        h += "</tbody></table>";
        if (k.preview->changed.size() > kRowsShown)
          h += "<p class=note>" + std::to_string(k.preview->changed.size() - kRowsShown) +
               " more: the command's <code>--dry-run</code> lists them all.</p>";
      }
      if (!k.command.empty()) h += "<p>To accept it: <code>" + EscapeHtml(k.command) + "</code></p>";
    }
    MethodNote(h, {"key"});
  }
}

}  // namespace

std::string IntegritySection(const IntegrityResult& r) {
  std::string h;
  h.reserve(64 * 1024);
  h += "<section id=integrity><h2>Integrity screening</h2><p class=sub>" + EscapeHtml(kScreening) +
       Fixed(100 * r.options.alpha, 0) + "%. Separate from the item analysis above; " +
       std::to_string(r.sheets) + " scored sheets.</p>";
  ErasuresHtml(h, r.erasures);
  SimilarityHtml(h, r.similarity);
  DifHtml(h, r.dif, r.options.difMinimum);
  RaschHtml(h, r);
  std::int64_t doubted = 0;
  for (const std::int64_t d : r.doubtedAnswers) doubted += d;
  h += "<h3 id=integrity-doubt>Answers the recognition doubted</h3>";
  if (doubted == 0) {
    h += "<p class=none>Every answer the recognition doubted has been reviewed.</p>";
  } else {
    std::string items;
    for (std::size_t i = 0; i < r.doubtedAnswers.size(); ++i)
      if (r.doubtedAnswers[i] > 0)
        items += (items.empty() ? "" : ", ") + std::to_string(i + 1) + " (" +
                 std::to_string(r.doubtedAnswers[i]) + ")";
    h +=
        "<p>" + std::to_string(doubted) +
        " answers were doubted by the recognition and not reviewed by anyone; they count as read. By item: " +
        items + ". The exports list them per sheet in their <code>doubted</code> column.</p>";
  }
  h += "</section>\n";
  return h;
}

std::string RenderIntegrityPage(const IntegrityResult& result, const std::string& title,
                                const std::string& generated) {
  std::string sub = generated.empty() ? std::string() : "Made " + EscapeHtml(generated) + " &middot; ";
  sub += std::to_string(result.sheets) + " scored sheets";
  return RenderHtmlPage("Integrity screening: " + title, sub, IntegritySection(result));
}

}  // namespace omr::exam
