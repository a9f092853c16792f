#include "report_results.h"

#include <algorithm>

#include "report_common.h"

namespace omr::exam {

namespace {

// A figure shown with `digits` decimals, read back (data-v) at full precision.
void Cell(std::string& h, const std::optional<double>& v, int digits, const char* suffix = "") {
  if (v)
    h += "<td class=n data-v=\"" + Fixed(*v, 9) + "\">" + Fixed(*v, digits) + suffix + "</td>";
  else
    h += "<td class=\"n none\" data-v=\"\">&ndash;</td>";
}

std::string GroupName(const GroupFigures& g) {
  if (g.column.empty()) return "all students";
  return g.value.empty() ? std::string(kNoGroup) : EscapeHtml(g.value);
}

std::string Row(const GroupFigures& g) {
  return "<tr data-group=\"" + EscapeHtml(g.column) + "\" data-value=\"" + EscapeHtml(g.value) + "\"" +
         (g.column.empty() ? " class=all" : "") + "><td>" + GroupName(g) + "</td>";
}

// The totals of a group in the bins every group shares: one bar a bin.
std::string Bars(const GroupFigures& g, const ExamResults& r) {
  if (r.bins.empty() || g.students == 0) return "<td></td>";
  std::int64_t most = 1;
  for (const std::int64_t c : g.distribution) most = std::max(most, c);
  const double w = 140.0 / static_cast<double>(g.distribution.size());
  std::string h =
      "<td><svg class=bars width=140 height=22 viewBox=\"0 0 140 22\" role=img aria-label=\"totals of " +
      GroupName(g) + "\">";
  for (std::size_t i = 0; i < g.distribution.size(); ++i) {
    const double bh = 20.0 * static_cast<double>(g.distribution[i]) / static_cast<double>(most);
    h += "<rect fill=\"#5b7fa6\" x=\"" + Fixed(w * static_cast<double>(i), 1) + "\" y=\"" +
         Fixed(21 - bh, 1) + "\" width=\"" + Fixed(std::max(0.6, w - 0.6), 1) + "\" height=\"" +
         Fixed(bh, 1) + "\"><title>" + Fixed(r.bins[i].low, 2) + " to " + Fixed(r.bins[i].high, 2) + ": " +
         std::to_string(g.distribution[i]) + "</title></rect>";
  }
  return h + "</svg></td>";
}

// "1-20, 25": sorted numbers with their runs shortened.
std::string Ranges(const std::vector<int>& items) {
  std::string out;
  for (std::size_t i = 0; i < items.size();) {
    std::size_t j = i;
    while (j + 1 < items.size() && items[j + 1] == items[j] + 1) ++j;
    out +=
        (out.empty() ? "" : ", ") + std::to_string(items[i]) + (j > i ? "-" + std::to_string(items[j]) : "");
    i = j + 1;
  }
  return out;
}

}  // namespace

std::string ResultsSection(const Exam& exam, const ExamResults& r) {
  const GradeRules& rules = exam.grades;
  if (!rules.Any() && exam.topics.empty() && r.groupColumns.empty()) return "";
  const bool marked = rules.scaled || rules.step > 0;
  std::string h =
      "<section id=groups><h2>Results by group</h2><p class=note>One student counts once: the sheet "
      "the exports count for each student. Totals as the students get them (after the floor); SD "
      "divides by n &minus; 1.";
  if (!rules.bands.empty())
    h +=
        " Pass: a grade of " +
        EscapeHtml(rules.pass.empty() ? rules.bands[rules.bands.size() > 1 ? rules.bands.size() - 2 : 0].grade
                                      : rules.pass) +
        " or better.";
  h += "</p>";
  std::vector<std::string> columns = {""};
  columns.insert(columns.end(), r.groupColumns.begin(), r.groupColumns.end());
  for (std::size_t c = 0; c < columns.size(); ++c) {
    if (c == 0 && columns.size() > 1) continue;  // the overall row heads every group's table
    const std::string& column = columns[c];
    h += "<h3>" + (column.empty() ? std::string("All students") : "By " + EscapeHtml(column)) +
         "</h3><table class=sortable id=\"groups-" + EscapeHtml(column.empty() ? "all" : column) +
         "\"><thead><tr><th>" + (column.empty() ? std::string("Students") : EscapeHtml(column)) +
         "</th><th class=n>Students</th><th class=n>Mean</th><th class=n>Median</th><th class=n>SD</th><th "
         "class=n>Min</th><th class=n>Max</th><th class=n>Mean %</th>";
    if (marked) h += "<th class=n>Mean mark</th>";
    if (!rules.bands.empty()) {
      h += "<th class=n>Pass rate</th>";
      for (const GradeBand& b : rules.bands) h += "<th class=n>" + EscapeHtml(b.grade) + "</th>";
    }
    h += "<th>Distribution of totals</th></tr></thead><tbody>";
    for (const GroupFigures& g : r.groups) {
      if (!g.column.empty() && g.column != column) continue;
      const TestResult& t = g.analysis.test;
      h += Row(g) + "<td class=n data-v=\"" + std::to_string(g.students) + "\">" +
           std::to_string(g.students) + "</td>";
      Cell(h, t.mean, 2);
      Cell(h, t.median, 2);
      Cell(h, t.sd, 2);
      Cell(h, t.min, 2);
      Cell(h, t.max, 2);
      Cell(h, g.meanPercent, 1);
      if (marked) Cell(h, g.meanMark, 2);
      if (!rules.bands.empty()) {
        Cell(h, g.passRate ? std::optional<double>(*g.passRate * 100) : std::nullopt, 1, "&nbsp;%");
        for (const std::int64_t n : g.grades) {
          const double share =
              g.students ? 100.0 * static_cast<double>(n) / static_cast<double>(g.students) : 0;
          h += "<td class=n data-v=\"" + std::to_string(n) + "\" title=\"" + Fixed(share, 1) + " %\">" +
               std::to_string(n) + "</td>";
        }
      }
      h += Bars(g, r) + "</tr>";
    }
    h += "</tbody></table>";
  }
  h += "</section>\n";

  if (exam.topics.empty()) return h;
  h += "<section id=topics><h2>Topics</h2><p class=note>The mean of the students' percents on each topic's "
       "items (void items left out).</p><table class=sortable id=topic-table><thead><tr><th>Group</th><th "
       "class=n>Students</th>";
  for (const Topic& t : exam.topics)
    h += "<th class=n title=\"master items " + Ranges(t.items) + "\">" + EscapeHtml(t.name) + "</th>";
  h += "</tr></thead><tbody>";
  for (const GroupFigures& g : r.groups) {
    std::string row = Row(g);
    if (!g.column.empty()) row.insert(row.size() - 5 - GroupName(g).size(), EscapeHtml(g.column) + " ");
    h += row + "<td class=n>" + std::to_string(g.students) + "</td>";
    for (const std::optional<double>& p : g.topicPercent) Cell(h, p, 1, "&nbsp;%");
    h += "</tr>";
  }
  h += "</tbody></table></section>\n";
  return h;
}

}  // namespace omr::exam
