#include "results.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>

#include "error.h"
#include "project.h"
#include "project_analysis.h"
#include "project_integrity.h"

namespace omr::exam {

namespace {

constexpr double kSlack = 1e-9;

std::optional<double> MeanOf(const std::vector<double>& v) {
  if (v.empty()) return std::nullopt;
  double sum = 0;
  for (const double x : v) sum += x;
  return sum / static_cast<double>(v.size());
}

int ColumnIndex(const Roster& roster, const std::string& name) {
  const auto hit = std::find(roster.columns.begin(), roster.columns.end(), name);
  return hit == roster.columns.end() ? -1 : static_cast<int>(hit - roster.columns.begin());
}

}  // namespace

double RoundToStep(double value, double step, RoundMode mode) {
  if (step <= 0) return value;
  const double q = value / step;
  // The slack is relative: 2.675 / 0.01 is 267.49999999999997.
  const double slack = kSlack * std::max(1.0, std::fabs(q));
  double n = 0;
  switch (mode) {
    case RoundMode::kHalfUp:
      n = std::floor(q + 0.5 + slack);
      break;
    case RoundMode::kHalfEven: {
      const double down = std::floor(q + slack);
      const double frac = q - down;
      if (std::fabs(frac - 0.5) <= slack)
        n = std::fmod(down, 2.0) == 0 ? down : down + 1;
      else
        n = std::floor(q + 0.5);
      break;
    }
    case RoundMode::kDown:
      n = std::floor(q + slack);
      break;
    case RoundMode::kUp:
      n = std::ceil(q - slack);
      break;
  }
  const double out = n * step;
  return out == 0 ? 0 : out;  // no "-0"
}

GradeResult GradeOf(const GradeRules& rules, double total, double maximum) {
  GradeResult g;
  if (!rules.Any()) return g;
  if (rules.on == GradeBasis::kPercent) {
    if (maximum <= 0) return g;
    g.value = 100 * total / maximum;
  } else {
    g.value = total;
  }
  double v = *g.value;
  if (rules.scaled) {
    const double lo = rules.fromLow;
    const double hi = rules.fromHigh.value_or(rules.on == GradeBasis::kPercent ? 100.0 : maximum);
    if (hi > lo) {
      v = rules.toLow + (v - lo) * (rules.toHigh - rules.toLow) / (hi - lo);
      v = std::clamp(v, std::min(rules.toLow, rules.toHigh), std::max(rules.toLow, rules.toHigh));
    } else {
      v = rules.toLow;
    }
  }
  if (rules.step > 0) v = RoundToStep(v, rules.step, rules.mode);
  if (rules.scaled || rules.step > 0) g.mark = v;
  for (std::size_t b = 0; b < rules.bands.size(); ++b) {
    const double min = rules.bands[b].min;
    if (v >= min - kSlack * std::max(1.0, std::fabs(min))) {
      g.band = static_cast<int>(b);
      g.grade = rules.bands[b].grade;
      break;
    }
  }
  g.passed = BandPasses(rules, g.band);
  return g;
}

bool BandPasses(const GradeRules& rules, int band) {
  if (band < 0) return false;
  if (rules.pass.empty()) return band + 1 < static_cast<int>(rules.bands.size());
  for (std::size_t b = 0; b < rules.bands.size(); ++b)
    if (rules.bands[b].grade == rules.pass) return band <= static_cast<int>(b);
  return false;
}

AnswerCounts CountAnswers(const SheetScore& score) {
  AnswerCounts c;
  if (!score.scored) return c;
  for (const ItemScore& item : score.items) {
    switch (item.outcome) {
      case Outcome::kCorrect:
        ++c.right;
        break;
      case Outcome::kWrong:
      case Outcome::kPartial:
        ++c.wrong;
        break;
      case Outcome::kBlank:
        ++c.blank;
        break;
      case Outcome::kMultiple:
        ++c.multiple;
        break;
      case Outcome::kVoid:
      case Outcome::kBonus:
      case Outcome::kAbsent:
        break;
    }
  }
  return c;
}

std::vector<TopicScore> TopicScores(const Exam& exam, const SheetScore& score) {
  std::vector<TopicScore> out;
  for (const Topic& topic : exam.topics) {
    TopicScore t;
    for (const int m : topic.items) {
      const ItemRule& rule = exam.rules[static_cast<std::size_t>(m - 1)];
      if (rule.kind == ItemKind::kVoid) continue;
      t.maximum += rule.points;
      if (score.scored && static_cast<std::size_t>(m) <= score.items.size())
        t.points += score.items[static_cast<std::size_t>(m - 1)].points;
    }
    if (score.scored && t.maximum > 0) t.percent = 100 * t.points / t.maximum;
    out.push_back(t);
  }
  return out;
}

bool NaturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
    const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
    if (da && db) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
      while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
      // Leading zeros aside, the longer run is the larger number.
      std::string_view x(a.data() + i, ei - i), y(b.data() + j, ej - j);
      while (x.size() > 1 && x.front() == '0') x.remove_prefix(1);
      while (y.size() > 1 && y.front() == '0') y.remove_prefix(1);
      if (x.size() != y.size()) return x.size() < y.size();
      if (x != y) return x < y;
      i = ei;
      j = ej;
      continue;
    }
    if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
    ++i;
    ++j;
  }
  if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
  return a < b;
}

const StudentResult* FindStudent(const ExamResults& results, const std::string& id) {
  for (const StudentResult& s : results.students)
    if (s.id == id) return &s;
  return nullptr;
}

ExamResults BuildResults(const Exam& exam, const FormShape& shape, const Roster& roster,
                         std::vector<SheetScore> scores, std::vector<std::string> groupColumns) {
  ExamResults r;
  r.scores = CombineSheets(exam, std::move(scores));
  r.groupColumns = groupColumns.empty() ? exam.groups : std::move(groupColumns);
  std::vector<int> columnOf;
  for (const std::string& c : r.groupColumns) {
    const int index = ColumnIndex(roster, c);
    if (index < 0) {
      std::string names;
      for (const std::string& n : roster.columns) names += (names.empty() ? "" : ", ") + n;
      throw Error(
          "the roster has no column \"" + c + "\"" +
          (names.empty() ? std::string(" (it has none but the ID)") : " (its columns: " + names + ")"));
    }
    columnOf.push_back(index);
  }

  // Students: the roster's, then the valid IDs read that it lacks. The
  // latest scored candidate of an ID counts (of an exam of one sheet: its
  // sheet); several, or a part read twice, are shown for a person.
  std::map<std::string, std::vector<std::size_t>> byId;
  for (std::size_t i = 0; i < r.scores.size(); ++i)
    if (!r.scores[i].voided && r.scores[i].idState == IdState::kValid)
      byId[r.scores[i].studentId].push_back(i);
  std::vector<std::string> order = roster.ids;
  for (const auto& [id, list] : byId)
    if (!roster.Has(id)) order.push_back(id);
  for (const std::string& id : order) {
    StudentResult s;
    s.id = id;
    const auto row = roster.rows.find(id);
    s.inRoster = row != roster.rows.end();
    if (s.inRoster) {
      s.columns = row->second;
      s.name = roster.Name(id);
    }
    for (const int c : columnOf)
      s.groups.push_back(s.inRoster && static_cast<std::size_t>(c) < s.columns.size()
                             ? s.columns[static_cast<std::size_t>(c)]
                             : std::string());
    const auto hit = byId.find(id);
    if (hit == byId.end()) {
      s.status = "absent";
      s.topics = TopicScores(exam, SheetScore{});
      r.students.push_back(std::move(s));
      continue;
    }
    std::size_t chosen = hit->second.back();
    bool any = false;
    bool doubled = hit->second.size() > 1;
    for (const std::size_t i : hit->second) {
      const SheetScore& c = r.scores[i];
      if (c.sheets.empty())
        s.sheets.push_back(c.number);
      else
        s.sheets.insert(s.sheets.end(), c.sheets.begin(), c.sheets.end());
      doubled = doubled || c.doubled;
      if (c.scored) {
        chosen = i;
        any = true;
      }
    }
    const SheetScore& score = r.scores[chosen];
    s.shown = static_cast<int>(chosen);
    s.status = !any && !score.missing.empty()   ? "missing part"
               : !any                           ? "not scored"
               : doubled                        ? "several sheets"
               : !roster.Empty() && !s.inRoster ? "not in roster"
                                                : "scored";
    if (any) {
      s.score = static_cast<int>(chosen);
      s.grade = GradeOf(exam.grades, score.total, score.maximum);
      s.counts = CountAnswers(score);
      s.doubted = DoubtedItems(score);
    }
    s.topics = TopicScores(exam, any ? score : SheetScore{});
    r.students.push_back(std::move(s));
  }

  // The groups: every student with a scored sheet, then per column and value.
  AnalysisInput input = AnalysisInputOf(exam, shape, r.scores);
  r.items = input.items;
  std::map<std::int64_t, const AnalysisSheet*> sheetOf;
  for (const AnalysisSheet& a : input.sheets) sheetOf[a.number] = &a;
  std::vector<double> totals;
  for (const StudentResult& s : r.students)
    if (s.Scored()) totals.push_back(r.scores[static_cast<std::size_t>(s.score)].total);
  r.bins = Distribution(totals);

  auto figures = [&](const std::string& column, const std::string& value,
                     const std::vector<const StudentResult*>& members) {
    GroupFigures g;
    g.column = column;
    g.value = value;
    g.distribution.assign(r.bins.size(), 0);
    g.grades.assign(exam.grades.bands.size(), 0);
    std::vector<const AnalysisSheet*> sheets;
    std::vector<double> percents, marks;
    std::vector<std::vector<double>> topics(exam.topics.size());
    std::int64_t passed = 0;
    for (const StudentResult* s : members) {
      const SheetScore& score = r.scores[static_cast<std::size_t>(s->score)];
      ++g.students;
      if (const auto a = sheetOf.find(score.number); a != sheetOf.end()) sheets.push_back(a->second);
      if (!r.bins.empty()) {
        const double width = r.bins.front().high - r.bins.front().low;
        const double first = std::floor(r.bins.front().low / width + kSlack);
        const int index = static_cast<int>(std::floor(score.total / width + kSlack) - first);
        ++g.distribution[static_cast<std::size_t>(std::clamp(index, 0, static_cast<int>(r.bins.size()) - 1))];
      }
      if (s->grade.band >= 0) ++g.grades[static_cast<std::size_t>(s->grade.band)];
      passed += s->grade.passed ? 1 : 0;
      if (score.percent) percents.push_back(*score.percent);
      if (s->grade.mark) marks.push_back(*s->grade.mark);
      for (std::size_t t = 0; t < s->topics.size(); ++t)
        if (s->topics[t].percent) topics[t].push_back(*s->topics[t].percent);
    }
    if (!exam.grades.bands.empty() && g.students > 0)
      g.passRate = static_cast<double>(passed) / static_cast<double>(g.students);
    g.meanPercent = MeanOf(percents);
    g.meanMark = MeanOf(marks);
    for (const std::vector<double>& t : topics) g.topicPercent.push_back(MeanOf(t));
    g.analysis = AnalyzeSheets(input.items, sheets, "", true);
    return g;
  };

  std::vector<const StudentResult*> all;
  for (const StudentResult& s : r.students)
    if (s.Scored()) all.push_back(&s);
  r.groups.push_back(figures("", "", all));
  for (std::size_t c = 0; c < r.groupColumns.size(); ++c) {
    std::map<std::string, std::vector<const StudentResult*>> members;
    for (const StudentResult* s : all) members[s->groups[c]].push_back(s);
    std::vector<std::string> values;
    for (const auto& [value, list] : members) values.push_back(value);
    std::sort(values.begin(), values.end(), [](const std::string& a, const std::string& b) {
      if (a.empty() != b.empty()) return b.empty();
      return NaturalLess(a, b);
    });
    for (const std::string& v : values) r.groups.push_back(figures(r.groupColumns[c], v, members[v]));
  }
  return r;
}

ExamResults BuildResults(Project& project, std::vector<std::string> groupColumns) {
  return BuildResults(project.exam(), project.shape(), project.roster(), project.ScoreAll(),
                      std::move(groupColumns));
}

}  // namespace omr::exam
