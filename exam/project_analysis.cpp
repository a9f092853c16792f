#include "project_analysis.h"

#include <algorithm>
#include <cctype>

#include "error.h"
#include "report_results.h"
#include "results.h"

namespace omr::exam {

namespace {

// The options of the question that carries master item `master` on the
// version `key`.
std::string OptionsOf(const Exam& exam, const FormShape& shape, const VersionKey& key, int master) {
  for (std::size_t i = 0; i < key.order.size() && i < exam.items.size(); ++i)
    if (key.order[i] == master) return exam.OptionsAt(shape, key, i);
  return {};
}

std::string Keyed(const Exam& exam, const VersionKey& key, int master) {
  const ItemRule& rule = exam.rules[static_cast<std::size_t>(master - 1)];
  if (!rule.all.empty()) return rule.all;
  std::string keyed;
  if (const char k = exam.KeyFor(key, master)) keyed += k;
  for (char c : rule.accept) {
    if (keyed.find(c) == std::string::npos) keyed += c;
  }
  return keyed;
}

// How much of the item the sheet answered right: the outcome scoring gave
// it, or on a partial-credit item its share of the points.
double RightShare(const ItemRule& rule, const ItemScore& item) {
  if (rule.partial && !rule.all.empty()) return rule.points > 0 ? item.points / rule.points : 0.0;
  return item.outcome == Outcome::kCorrect || item.outcome == Outcome::kBonus ? 1.0 : 0.0;
}

std::string Sorted(std::string s) {
  std::sort(s.begin(), s.end());
  return s;
}

// The roster column that names a student: "name" when there is one.
int NameColumn(const Roster& roster) {
  for (std::size_t i = 0; i < roster.columns.size(); ++i) {
    std::string c = roster.columns[i];
    std::transform(c.begin(), c.end(), c.begin(), [](unsigned char ch) { return std::tolower(ch); });
    if (c == "name") return static_cast<int>(i);
  }
  return roster.columns.empty() ? -1 : 0;
}

}  // namespace

void AddAnalysisSheet(const Exam& exam, const SheetScore& s, AnalysisInput& in) {
  const std::size_t count = static_cast<std::size_t>(exam.ItemCount());
  // A sheet of one part is analysed in its candidate (CombineSheets).
  if (!s.scored || s.voided || !s.part.empty() || s.items.size() != count) return;
  AnalysisSheet sheet;
  sheet.number = s.number;
  sheet.version = s.version;
  sheet.points.reserve(count);
  sheet.right.reserve(count);
  sheet.marked.reserve(count);
  for (std::size_t m = 0; m < s.items.size(); ++m) {
    const ItemScore& item = s.items[m];
    sheet.points.push_back(item.points);
    sheet.right.push_back(RightShare(exam.rules[m], item));
    sheet.marked.push_back(item.response);
  }
  sheet.total = s.total;
  in.sheets.push_back(std::move(sheet));
}

AnalysisInput AnalysisInputOf(const Exam& exam, const FormShape& shape,
                              const std::vector<SheetScore>& scores) {
  AnalysisInput in;
  for (const VersionKey& key : exam.keys) in.versions.push_back(key.name);
  const int count = exam.ItemCount();
  for (int m = 1; m <= count; ++m) {
    const ItemRule& rule = exam.rules[static_cast<std::size_t>(m - 1)];
    AnalysisItem item;
    item.master = m;
    item.maximum = rule.kind == ItemKind::kVoid ? 0 : rule.points;
    item.isVoid = rule.kind == ItemKind::kVoid;
    item.bonus = rule.kind == ItemKind::kBonus;
    item.multiAnswer = !rule.all.empty();
    if (!exam.keys.empty()) {
      item.options = OptionsOf(exam, shape, exam.keys.front(), m);
      item.keyed = Keyed(exam, exam.keys.front(), m);
      for (std::size_t v = 1; v < exam.keys.size(); ++v) {
        const std::string keyed = Keyed(exam, exam.keys[v], m);
        if (Sorted(keyed) != Sorted(item.keyed)) item.versionKeys[exam.keys[v].name] = keyed;
      }
    }
    in.items.push_back(std::move(item));
  }
  for (const SheetScore& s : scores) AddAnalysisSheet(exam, s, in);
  return in;
}

namespace {

// The analysis of these scores, each score's items let go once the input
// has them.
ExamAnalysis AnalyzeTaking(const Exam& exam, const FormShape& shape, std::vector<SheetScore>& scores) {
  AnalysisInput in = AnalysisInputOf(exam, shape, {});
  in.sheets.reserve(scores.size());
  for (SheetScore& s : scores) {
    AddAnalysisSheet(exam, s, in);
    std::vector<ItemScore>().swap(s.items);  // the input has them now
  }
  ExamAnalysis analysis;
  std::string error;
  if (!AnalyzeExam(in, analysis, error)) throw Error("cannot analyse the exam: " + error);
  return analysis;
}

}  // namespace

std::vector<ReviewEntry> WaitingOf(const std::vector<SheetScore>& scores, const Roster& roster) {
  const int nameColumn = NameColumn(roster);
  std::vector<ReviewEntry> out;
  for (const SheetScore& s : scores) {
    if (s.reasons.empty()) continue;
    ReviewEntry e;
    e.sheet = s.number;
    e.student = s.studentId;
    const auto row = roster.rows.find(s.studentId);
    if (nameColumn >= 0 && row != roster.rows.end() &&
        static_cast<std::size_t>(nameColumn) < row->second.size()) {
      e.name = row->second[static_cast<std::size_t>(nameColumn)];
    }
    e.reasons = SummarizeReasons(s.reasons);
    out.push_back(std::move(e));
  }
  return out;
}

ExamAnalysis AnalyzeScores(const Exam& exam, const FormShape& shape, const std::vector<SheetScore>& scores) {
  ExamAnalysis analysis;
  std::string error;
  if (!AnalyzeExam(AnalysisInputOf(exam, shape, scores), analysis, error)) {
    throw Error("cannot analyse the exam: " + error);
  }
  return analysis;
}

ProjectReport AnalyzeProject(Project& project) {
  const Exam& exam = project.exam();
  std::vector<SheetScore> scores = project.ScoreAll();
  ProjectReport report;
  report.info.title = exam.title.empty() ? project.examName() : exam.title;
  report.info.generated = NowUtc();
  if (!exam.parts.empty()) report.info.counted = "candidates";
  report.info.waiting = WaitingOf(scores, project.roster());
  ExamResults results = BuildResults(exam, project.shape(), project.roster(), std::move(scores));
  report.info.sections = ResultsSection(exam, results);
  // Last, from the results' candidates, letting each one's items go as the
  // analysis takes them: a million sheets are never held twice.
  report.analysis = AnalyzeTaking(exam, project.shape(), results.scores);
  return report;
}

}  // namespace omr::exam
