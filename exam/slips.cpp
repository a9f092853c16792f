#include "slips.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>

#include "error.h"
#include "output_guard.h"
#include "project.h"
#include "report_common.h"
#include "report_pdf.h"
#include "results.h"
#include "text.h"
#include "vocabulary.h"
#include "write_file.h"

namespace omr::exam {

namespace {

constexpr const char* kStyle = R"(
*{box-sizing:border-box;-webkit-print-color-adjust:exact;print-color-adjust:exact}
body{margin:0;background:#eef1f4;color:#1b1f24;font:15px/1.4 system-ui,-apple-system,"Segoe UI",Roboto,"Noto Sans",Arial,sans-serif}
.slip{background:#fff;max-width:820px;margin:12px auto;padding:16px 18px;border-radius:8px}
.exam{margin:0;color:#5c6670;font-size:.9em}h1{margin:2px 0 0;font-size:1.6em;line-height:1.2}
.who{margin:2px 0 10px;color:#5c6670}
.figures{display:flex;flex-wrap:wrap;gap:8px;margin:8px 0}
.figures div{border:1px solid #d5dbe1;border-radius:6px;padding:4px 12px;min-width:88px}
.figures b{display:block;font-size:1.5em;font-variant-numeric:tabular-nums}.figures span{color:#5c6670;font-size:.8em}
h2{font-size:1em;margin:12px 0 4px;border-bottom:1px solid #d5dbe1}
table{border-collapse:collapse}th,td{padding:1px 6px;border-bottom:1px solid #e3e7eb;text-align:left}
th{background:#f3f5f7;font-weight:600}td.n,th.n{text-align:right;font-variant-numeric:tabular-nums}
.items{display:flex;flex-wrap:wrap;gap:4px 14px;align-items:flex-start}
.items td.a,.items td.k{font-family:ui-monospace,Menlo,Consolas,monospace;text-align:center}
tr.right td.a{color:#1f7a3d;font-weight:600}tr.wrong td.a,tr.multiple td.a{color:#b42318;font-weight:600}
tr.void td{color:#8a96a3}.doubt{color:#c2410c;font-weight:700}
.note{color:#5c6670;font-size:.8em;margin:6px 0 0}
.pic{position:relative;display:inline-block;margin:6px 0}.pic img{display:block;max-width:100%;height:auto}
.pic svg{position:absolute;left:0;top:0;width:100%;height:100%}.pic circle{fill:none;stroke:#1f7a3d;stroke-width:2.5}
.top,.main{display:flex;flex-wrap:wrap;gap:0 24px;align-items:flex-start}
.main>section:first-child{flex:0 1 auto;max-width:100%}.sheet{flex:1 1 0;min-width:40mm}
@page{size:A4;margin:0}
@media print{body{background:none;font-size:10pt}
.slip{width:210mm;height:296mm;max-width:none;margin:0;padding:12mm 14mm;border-radius:0;overflow:hidden;break-after:page}
.slip:last-child{break-after:auto}.main{flex-wrap:nowrap;gap:0 6mm}.pic img{max-height:150mm;width:auto}
.half .slip{height:148mm;padding:7mm 12mm;font-size:7.6pt;break-after:auto;border-bottom:1px dashed #9aa4ae}
.half .slip:nth-child(2n){break-after:page;border-bottom:none}.half .slip:last-child{break-after:auto}
.half .pic img{max-height:78mm}.half h1{font-size:1.45em}.half .figures div{padding:1px 8px}
.half h2{margin:6px 0 2px}.half td,.half th{padding:0 4px;line-height:1.2}.half .items{gap:2px 10px}
.half .who{margin-bottom:4px}}
)";

std::string Html(const std::string& text) {
  return EscapeHtml(text);
}

// A number of points as short as it reads exactly ("41.5", "-0.25").
std::string Points(double v) {
  return FormatNumber(v);
}

// The mark with the decimals its rounding step has (2 without one).
std::string MarkText(const GradeRules& rules, double mark) {
  int digits = 2;
  if (rules.step > 0) {
    digits = 0;
    while (digits < 6 && std::fabs(rules.step * std::pow(10.0, digits) -
                                   std::round(rules.step * std::pow(10.0, digits))) > 1e-9)
      ++digits;
  }
  return Fixed(mark, digits);
}

std::string Percent(const std::optional<double>& p) {
  return p ? Fixed(*p, 1) + "&nbsp;%" : std::string("&ndash;");
}

// The labels that score as right on this version: the key and its accepted
// options, every label of an all-of item; none on a void item.
std::string KeyedLabels(const Exam& exam, const VersionKey& key, int master) {
  const ItemRule& rule = exam.rules[static_cast<std::size_t>(master - 1)];
  if (rule.kind == ItemKind::kVoid) return "";
  if (!rule.all.empty()) return rule.all;
  std::string out;
  const char k = exam.KeyFor(key, master);
  if (k && k != '*') out += k;
  for (const char c : rule.accept)
    if (out.find(c) == std::string::npos) out += c;
  return out;
}

const char* OutcomeClass(Outcome o) {
  switch (o) {
    case Outcome::kCorrect:
    case Outcome::kBonus:
      return "right";
    case Outcome::kWrong:
    case Outcome::kPartial:
      return "wrong";
    case Outcome::kMultiple:
      return "multiple";
    case Outcome::kBlank:
      return "blank";
    case Outcome::kVoid:
      return "void";
    case Outcome::kAbsent:
      return "absent";
  }
  return "";
}

void Figure(std::string& h, const char* what, const std::string& value, const std::string& label) {
  h += std::string("<div data-figure=") + what + "><b>" + value + "</b><span>" + label + "</span></div>";
}

// The sheet's picture with a ring around every cell the key marks: each
// sheet of a candidate of an exam in parts, with the items read from it.
std::string Picture(Project& project, const Exam& exam, const SheetScore& score) {
  std::vector<int> numbers;
  if (score.sheets.empty()) numbers.push_back(score.number);
  for (const int n : score.sheets)
    for (const ItemScore& item : score.items)
      if (item.sheet == n) {
        numbers.push_back(n);
        break;
      }
  std::string h = numbers.size() > 1 ? "<h2>The sheets as read</h2>" : "<h2>The sheet as read</h2>";
  const VersionKey* key = exam.FindKey(score.version);
  for (const int number : numbers) {
    const SheetDetail d = project.Detail(number);
    if (d.grid.Empty()) {
      if (numbers.size() == 1) return "<p class=note>No picture: the reader kept no grid of this sheet.</p>";
      h += "<p class=note>No picture: the reader kept no grid of sheet " + std::to_string(number) + ".</p>";
      continue;
    }
    const std::vector<std::uint8_t> png = project.form().Picture(d.grid);
    const int width = kPictureMargin + kPictureCell * d.grid.columns;
    const int height = kPictureCell * d.grid.lines;
    std::string rings;
    for (const ItemScore& item : score.items) {
      if (!score.sheets.empty() && item.sheet != number) continue;
      const std::string keyed = key ? KeyedLabels(exam, *key, item.master) : std::string();
      for (const QuestionDetail& q : d.questions) {
        if (q.question != item.question) continue;
        for (const CellDetail& c : q.cells) {
          if (c.label == ' ' || keyed.find(c.label) == std::string::npos) continue;
          const double cx = kPictureMargin + (c.column - 1) * kPictureCell + kPictureCell / 2.0;
          const double cy = (d.grid.lines - c.line) * kPictureCell + kPictureCell / 2.0;
          rings += "<circle cx=\"" + Fixed(cx, 1) + "\" cy=\"" + Fixed(cy, 1) + "\" r=\"" +
                   Fixed(kPictureCell * 0.62, 1) + "\"/>";
        }
      }
    }
    h += "<div class=pic><img alt=\"the sheet as the reader saw it\" width=" + std::to_string(width) +
         " height=" + std::to_string(height) + " src=\"data:image/png;base64," +
         Base64(std::string_view(reinterpret_cast<const char*>(png.data()), png.size())) +
         "\"><svg viewBox=\"0 0 " + std::to_string(width) + " " + std::to_string(height) +
         "\" aria-hidden=true>" + rings + "</svg></div>";
  }
  return h + "<p class=note>Marks read are filled red; the key is ringed green.</p>";
}

// The items in the student's own order, in tables of at most a column's rows.
std::string Items(const Exam& exam, const SheetScore& score, const std::vector<int>& doubted,
                  const SlipOptions& options, bool& anyDoubt) {
  const VersionKey* key = exam.FindKey(score.version);
  if (!key) return "";
  const std::size_t n = key->order.size();
  // Rows a column: a page's height, less with the picture beside in half a page.
  const std::size_t most = !options.half ? 30 : options.picture ? 20 : 15;
  const std::size_t columns = std::max<std::size_t>(1, (n + most - 1) / most);
  const std::size_t rows = (n + columns - 1) / columns;
  std::string head = "<table><thead><tr><th class=n>No.</th><th>Answer</th>";
  if (options.key) head += "<th>Key</th><th class=n>Points</th>";
  head += "</tr></thead><tbody>";
  std::string h = "<h2>Answers</h2><div class=items>";
  for (std::size_t i = 0; i < n; ++i) {
    if (i % rows == 0) h += (i ? "</tbody></table>" : "") + head;
    const int master = key->order[i];
    const ItemScore& item = score.items[static_cast<std::size_t>(master - 1)];
    const bool doubt = std::find(doubted.begin(), doubted.end(), master) != doubted.end();
    anyDoubt = anyDoubt || doubt;
    h += std::string("<tr class=") + OutcomeClass(item.outcome) + " data-item=" + std::to_string(master) +
         "><td class=n>" + std::to_string(i + 1) + "</td><td class=a>" +
         (item.response.empty() ? "&ndash;" : Html(LabelsText(item.response)));
    if (doubt)
      h += " <span class=doubt title=\"the recognition doubted this answer and nobody has checked it "
           "yet\">?</span>";
    h += "</td>";
    if (options.key) {
      const std::string keyed = KeyedLabels(exam, *key, master);
      h += "<td class=k>" + (keyed.empty() ? std::string("&ndash;") : Html(LabelsText(keyed))) +
           "</td><td class=n>" +
           (item.outcome == Outcome::kVoid    ? std::string("void")
            : item.outcome == Outcome::kBonus ? "bonus " + Points(item.points)
                                              : Points(item.points)) +
           "</td>";
    }
    h += "</tr>";
  }
  h += "</tbody></table></div>";
  return h;
}

const GroupFigures* FindGroup(const ExamResults& r, const std::string& column, const std::string& value) {
  for (const GroupFigures& g : r.groups)
    if (g.column == column && (column.empty() || g.value == value)) return &g;
  return nullptr;
}

std::string SlipBody(Project& project, const ExamResults& results, const StudentResult& student,
                     const SlipOptions& options) {
  const Exam& exam = project.exam();
  const SheetScore& score = results.scores[static_cast<std::size_t>(student.score)];
  const std::string title = exam.title.empty() ? project.examName() : exam.title;
  std::string h = "<article class=slip data-student=\"" + Html(student.id) + "\"><header><p class=exam>" +
                  Html(title) + "</p><h1>" +
                  Html(student.name.empty() ? "Student " + student.id : student.name) +
                  "</h1><p class=who>ID " + Html(student.id) + " &middot; version " + Html(score.version);
  for (std::size_t c = 0; c < results.groupColumns.size(); ++c)
    if (!student.groups[c].empty())
      h += " &middot; " + Html(results.groupColumns[c]) + " " + Html(student.groups[c]);
  if (student.status == "several sheets")
    h += " &middot; sheet " + std::to_string(score.number) + " of several with this ID";
  h += "</p></header><div class=figures>";
  Figure(h, "total", Points(score.total), "of " + Points(score.maximum) + " points");
  Figure(h, "percent", Percent(score.percent), "percent");
  const GradeRules& rules = exam.grades;
  if (student.grade.mark)
    Figure(h, "mark", MarkText(rules, *student.grade.mark),
           rules.scaled ? "mark (" + Points(rules.toLow) + " to " + Points(rules.toHigh) + ")"
                        : std::string("mark"));
  if (!rules.bands.empty())
    Figure(h, "grade", student.grade.grade.empty() ? std::string("&ndash;") : Html(student.grade.grade),
           "grade");
  h += "</div>";

  // The topics beside the figures where there is room.
  h += "<div class=top>";
  std::vector<const GroupFigures*> classes;
  if (options.statistics) {
    classes.push_back(FindGroup(results, "", ""));
    for (std::size_t c = 0; c < results.groupColumns.size(); ++c)
      if (const GroupFigures* g = FindGroup(results, results.groupColumns[c], student.groups[c]);
          g && !student.groups[c].empty())
        classes.push_back(g);
  }
  auto className = [&](const GroupFigures* g) {
    return g->column.empty() ? std::string("all students") : Html(g->column) + " " + Html(g->value);
  };
  if (!exam.topics.empty()) {
    h += "<div><h2>Topics</h2><table><thead><tr><th>Topic</th><th class=n>Points</th><th class=n>Max</th><th "
         "class=n>Percent</th>";
    for (const GroupFigures* g : classes) h += "<th class=n>Mean, " + className(g) + "</th>";
    h += "</tr></thead><tbody>";
    for (std::size_t t = 0; t < exam.topics.size(); ++t) {
      const TopicScore& s = student.topics[t];
      h += "<tr data-topic=\"" + Html(exam.topics[t].name) + "\"><td>" + Html(exam.topics[t].name) +
           "</td><td class=n>" + Points(s.points) + "</td><td class=n>" + Points(s.maximum) +
           "</td><td class=n>" + Percent(s.percent) + "</td>";
      for (const GroupFigures* g : classes) h += "<td class=n>" + Percent(g->topicPercent[t]) + "</td>";
      h += "</tr>";
    }
    h += "</tbody></table></div>";
  }
  if (!classes.empty()) {
    h +=
        "<div><h2>The class</h2><table><thead><tr><th></th><th class=n>Students</th><th class=n>Mean</th><th "
        "class=n>Median</th><th class=n>Mean %</th></tr></thead><tbody>";
    for (const GroupFigures* g : classes) {
      const TestResult& t = g->analysis.test;
      h += "<tr><td>" + className(g) + "</td><td class=n>" + std::to_string(g->students) +
           "</td><td class=n>" + Fixed(t.mean, 2, "&ndash;") + "</td><td class=n>" +
           Fixed(t.median, 2, "&ndash;") + "</td><td class=n>" + Percent(g->meanPercent) + "</td></tr>";
    }
    h += "</tbody></table></div>";
  }
  h += "</div>";
  // The answers, and the picture beside them.
  bool doubt = false;
  h += "<div class=main>";
  if (options.answers) h += "<section>" + Items(exam, score, student.doubted, options, doubt) + "</section>";
  if (options.picture) h += "<section class=sheet>" + Picture(project, exam, score) + "</section>";
  h += "</div>";
  if (doubt)
    h += "<p class=note><span class=doubt>?</span> the recognition doubted this answer and nobody has "
         "checked it "
         "yet: ask for it to be looked at if it is not what you marked.</p>";
  h += "</article>";
  return h;
}

}  // namespace

std::string SlipFileName(const std::string& id) {
  std::string out;
  for (const char c : id.substr(0, 64))
    out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '_';
  return (out.empty() ? std::string("student") : out) + ".html";
}

std::vector<Slip> MakeSlips(Project& project, const SlipOptions& options) {
  std::vector<std::string> columns = project.exam().groups;
  if (!options.byGroup.empty() && std::find(columns.begin(), columns.end(), options.byGroup) == columns.end())
    columns.push_back(options.byGroup);
  const ExamResults results = BuildResults(project, columns);
  std::vector<const StudentResult*> chosen;
  if (options.students.empty()) {
    for (const StudentResult& s : results.students)
      if (s.Scored()) chosen.push_back(&s);
  } else {
    for (const std::string& id : options.students) {
      const StudentResult* s = FindStudent(results, id);
      if (!s) throw Error("no sheet and no roster entry has the student ID \"" + CleanUtf8(id) + "\"");
      if (!s->Scored())
        throw Error("student " + CleanUtf8(id) + " has no scored sheet (" + s->status + "): no slip to make");
      if (std::find(chosen.begin(), chosen.end(), s) == chosen.end()) chosen.push_back(s);
    }
    // Roster order, whatever the order asked in.
    std::sort(chosen.begin(), chosen.end());
  }
  if (!options.byGroup.empty()) {
    const std::size_t c = static_cast<std::size_t>(
        std::find(results.groupColumns.begin(), results.groupColumns.end(), options.byGroup) -
        results.groupColumns.begin());
    std::stable_sort(chosen.begin(), chosen.end(), [&](const StudentResult* a, const StudentResult* b) {
      const std::string& x = a->groups[c];
      const std::string& y = b->groups[c];
      if (x.empty() != y.empty()) return y.empty();
      return NaturalLess(x, y);
    });
  }
  std::vector<Slip> out;
  for (const StudentResult* s : chosen)
    out.push_back({s->id, s->name, SlipBody(project, results, *s, options)});
  return out;
}

std::string SlipsDocument(const std::string& title, const std::vector<Slip>& slips,
                          const SlipOptions& options) {
  std::string h =
      "<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8>"
      "<meta name=viewport content=\"width=device-width,initial-scale=1\">"
      "<link rel=icon href=\"data:,\"><title>" +
      Html(title) + "</title><style>" + kStyle + "</style></head><body" +
      (options.half ? " class=half" : "") + ">\n";
  for (const Slip& s : slips) h += s.body + "\n";
  return h + "</body></html>\n";
}

int WriteSlipsPdf(Project& project, const SlipOptions& options, const std::string& pdf) {
  const std::vector<Slip> slips = MakeSlips(project, options);
  if (slips.empty()) throw Error("no student has a scored sheet: no slip to print");
  const std::string title =
      "Results: " + (project.exam().title.empty() ? project.examName() : project.exam().title);
  std::string error;
  if (!PrintPdf(SlipsDocument(title, slips, options), pdf, error)) throw Error(error);
  return static_cast<int>(slips.size());
}

std::vector<SlipPage> SlipPages(Project& project, const SlipOptions& options) {
  const std::vector<Slip> slips = MakeSlips(project, options);
  std::vector<SlipPage> out;
  std::map<std::string, int> used;
  for (const Slip& s : slips) {
    std::string name = SlipFileName(s.id);
    // Two IDs that differ only in characters a file name cannot hold.
    if (const int n = used[name]++; n > 0)
      name = name.substr(0, name.size() - 5) + "-" + std::to_string(n + 1) + ".html";
    const std::string title = (s.name.empty() ? s.id : s.name) + ": " +
                              (project.exam().title.empty() ? project.examName() : project.exam().title);
    out.push_back({name, SlipsDocument(title, {s}, options)});
  }
  return out;
}

int WriteSlipsHtml(Project& project, const SlipOptions& options, const std::string& dir) {
  const std::vector<SlipPage> pages = SlipPages(project, options);
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) {
    if (::mkdir(dir.c_str(), 0700) != 0)
      throw Error("cannot make the folder " + dir + ": " + std::strerror(errno));
  }
  for (const SlipPage& page : pages) {
    const std::string path = (std::filesystem::path(dir) / page.name).string();
    if (std::string problem = omr::common::OutputProblem(path); !problem.empty()) throw Error(problem);
    std::string error;
    if (!omr::common::WriteFileWhole(path, page.html, omr::common::IfExists::kReplace, error))
      throw Error(error);
  }
  return static_cast<int>(pages.size());
}

}  // namespace omr::exam
