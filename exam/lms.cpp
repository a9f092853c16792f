#include "lms.h"

#include <algorithm>
#include <cctype>

#include "error.h"
#include "escape.h"
#include "exam_file.h"
#include "project.h"
#include "results.h"
#include "roster.h"
#include "text.h"

namespace omr::exam {

namespace {

using omr::common::CsvCell;
using omr::common::CsvLine;
using omr::common::CsvNumber;

// Every file ends its lines with CRLF, as RFC 4180 has it; each platform
// reads LF too.
constexpr const char* kEnd = "\r\n";

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// The roster column of a name column, for the platforms' name fields.
std::string NameColumn(const Roster& roster) {
  for (const std::string& c : roster.columns)
    if (Lower(c) == "name") return c;
  return "";
}

std::string ValueOf(const Roster& roster, const StudentResult& s, const std::string& column) {
  if (column == "id") return s.id;
  const auto at = std::find(roster.columns.begin(), roster.columns.end(), column);
  const std::size_t c = static_cast<std::size_t>(at - roster.columns.begin());
  return at != roster.columns.end() && c < s.columns.size() ? CleanUtf8(s.columns[c]) : std::string();
}

std::string Trim(const std::string& s) {
  const std::size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// What a platform's file is made with: checked against the exam and the
// roster before any student is looked at.
struct LmsPlan {
  const LmsPlatform* platform = nullptr;
  std::string item;      // the grade item
  std::string columnId;  // Blackboard's column ID
  std::string value;     // "points", "percent" or "mark"
  double possible = 0;
  std::vector<std::pair<std::string, std::string>> mapped;  // platform key -> roster column
  bool named = false;                                       // the exam file maps the columns
};

// Why the file cannot be made ("" when it can), with `plan` filled.
std::string PlanLms(const Exam& exam, const Roster& roster, const LmsOptions& options, LmsPlan& plan) {
  const LmsPlatform* platform = FindLmsPlatform(options.platform);
  if (!platform)
    return "--lms " + CleanUtf8(options.platform) + ": not a platform this system writes for (" +
           LmsPlatformNames() + ")";
  plan.platform = platform;
  const std::string name = platform->name;
  const bool blackboard = name == "blackboard";
  if (roster.Empty())
    return std::string(platform->title) +
           " finds students by the identifiers the roster gives, and the exam has no roster: name one in "
           "the exam file (\"student\": {\"roster\": ...}) and rekey";

  // The grade item: named on the command line, in the exam file, or the title.
  const std::string item = Trim(!options.itemName.empty() ? options.itemName
                                : !exam.lms.item.empty()  ? exam.lms.item
                                                          : exam.title);
  if (item.empty())
    return "name the grade item the platform's gradebook has: --item-name NAME (or \"lms\": {\"item\": ...} "
           "in the exam file)";
  if (item != CleanUtf8(item) || item.find_first_of("\r\n\t") != std::string::npos || item.size() > 200)
    return "the grade item's name must be one line of text (200 bytes at most)";
  if (std::string_view("=+-@").find(item.front()) != std::string_view::npos)
    return "the grade item's name \"" + item +
           "\" begins like a spreadsheet formula: a spreadsheet would change it and the platform would not "
           "find "
           "the item; rename it";
  if (blackboard && item.find('|') != std::string::npos)
    return "a Blackboard column's name cannot hold \"|\": the Grade Center reads the column ID after it";
  const std::string columnId = !options.columnId.empty() ? options.columnId : exam.lms.blackboardColumn;
  if (blackboard && columnId.find_first_of("\"\r\n|") != std::string::npos)
    return "--column-id " + CleanUtf8(columnId) + ": not a Grade Center column ID";
  plan.item = item;
  plan.columnId = columnId;

  // What the grade column holds.
  plan.value = !exam.lms.value.empty() ? exam.lms.value : exam.grades.scaled ? "mark" : "points";
  plan.possible = plan.value == "percent" ? 100.0
                  : plan.value == "mark"  ? std::max(exam.grades.toLow, exam.grades.toHigh)
                                          : exam.MaximumPoints();

  // The identifier columns and the roster columns behind them.
  std::vector<std::pair<std::string, std::string>>& mapped = plan.mapped;
  if (const auto hit = exam.lms.columns.find(name); hit != exam.lms.columns.end()) mapped = hit->second;
  plan.named = !mapped.empty();
  if (!options.idColumn.empty()) {
    if (platform->oneKey && !mapped.empty()) {
      mapped.front().second = options.idColumn;
    } else {
      const auto at = std::find_if(mapped.begin(), mapped.end(),
                                   [&](const auto& m) { return m.first == platform->primary; });
      if (at != mapped.end())
        at->second = options.idColumn;
      else
        mapped.emplace_back(platform->primary, options.idColumn);
    }
  }
  if (mapped.empty()) mapped.emplace_back(platform->primary, "id");
  if (name == "canvas" && !NameColumn(roster).empty() &&
      std::none_of(mapped.begin(), mapped.end(), [](const auto& m) { return m.first == "Student"; }))
    mapped.emplace_back("Student", NameColumn(roster));
  for (const auto& [key, column] : mapped) {
    if (column == "id" ||
        std::find(roster.columns.begin(), roster.columns.end(), column) != roster.columns.end())
      continue;
    std::string names = "id";
    for (const std::string& c : roster.columns) names += ", " + c;
    return "the roster has no column \"" + CleanUtf8(column) + "\" for " + platform->title + "'s " + key +
           " (its columns: " + names + ")";
  }
  return "";
}

}  // namespace

std::string LmsProblem(const Exam& exam, const Roster& roster, const LmsOptions& options) {
  LmsPlan plan;
  return PlanLms(exam, roster, options, plan);
}

LmsFile BuildLmsFile(const Exam& exam, const Roster& roster, const ExamResults& results,
                     const LmsOptions& options) {
  LmsPlan plan;
  if (std::string problem = PlanLms(exam, roster, options, plan); !problem.empty()) throw Error(problem);
  const LmsPlatform* platform = plan.platform;
  const std::string name = platform->name;
  const bool blackboard = name == "blackboard";
  const std::string& item = plan.item;
  const std::string& columnId = plan.columnId;
  const std::string& value = plan.value;
  const double possible = plan.possible;
  const std::vector<std::pair<std::string, std::string>>& mapped = plan.mapped;
  const bool named = plan.named;
  auto columnFor = [&](const std::string& key) -> const std::string* {
    for (const auto& m : mapped)
      if (m.first == key) return &m.second;
    return nullptr;
  };
  // The keys a row must have a value for: the primary one, or (Brightspace)
  // any of those named.
  std::vector<std::string> needed;
  for (const auto& [key, column] : mapped) {
    if (key == "Student" || key == "Section" || key == "Last Name" || key == "First Name") continue;
    needed.push_back(key);
  }

  LmsFile out;
  struct Row {
    const StudentResult* student;
    std::vector<std::string> keys;  // per platform key (or the one key)
    double grade;
  };
  std::vector<Row> rows;
  int absent = 0;
  int waiting = 0;
  bool allEmails = true;
  for (const StudentResult& s : results.students) {
    const std::string who = s.id + (s.name.empty() ? "" : " (" + CleanUtf8(s.name) + ")");
    if (s.sheets.empty()) {  // in the roster, no sheet
      ++absent;
      continue;
    }
    std::string sheets;
    for (const int n : s.sheets) sheets += (sheets.empty() ? "" : ", ") + std::to_string(n);
    if (!s.inRoster) {
      out.skipped.push_back(CleanUtf8(s.id) + " (sheet " + sheets + "): not in the roster");
      continue;
    }
    if (!s.Scored()) {
      out.skipped.push_back(
          who + (s.status == "missing part" ? ": a part not read (sheet " : ": no scored sheet (sheet ") +
          sheets + ")");
      continue;
    }
    if (s.status == "several sheets") {
      out.skipped.push_back(who + ": several sheets (" + sheets +
                            "): void the ones that do not count (exam correct PROJECT SHEET sheet void)");
      continue;
    }
    const SheetScore& score = results.scores[static_cast<std::size_t>(s.score)];
    std::optional<double> grade = value == "percent" ? score.percent
                                  : value == "mark"  ? s.grade.mark
                                                     : std::optional<double>(score.total);
    if (!grade) {
      out.skipped.push_back(who + ": no " + value + " (the exam's maximum is 0)");
      continue;
    }
    Row row{&s, {}, *grade};
    std::string missing;
    bool any = false;
    const std::vector<const char*> keys =
        platform->oneKey ? std::vector<const char*>{mapped.front().first.c_str()} : platform->keys;
    for (const char* key : keys) {
      const std::string* column = columnFor(key);
      row.keys.push_back(column ? Trim(ValueOf(roster, s, *column)) : std::string());
      const bool need = std::find(needed.begin(), needed.end(), key) != needed.end();
      if (need && row.keys.back().empty())
        missing += (missing.empty() ? "" : ", ") + std::string(key) + " (roster column " + *column + ")";
      if (need && !row.keys.back().empty()) any = true;
    }
    // Brightspace finds a user by either key; the others need every one named.
    if (name == "brightspace" ? !any : !missing.empty()) {
      out.skipped.push_back(who + ": the roster gives no " + missing);
      continue;
    }
    if (platform->oneKey) allEmails = allEmails && row.keys.front().find('@') != std::string::npos;
    if (!score.reasons.empty()) ++waiting;
    rows.push_back(std::move(row));
  }

  std::string& t = out.text;
  if (name == "moodle") {
    // One identifier column, mapped in the import to the user field it holds.
    std::string heading = mapped.front().first;
    if (!named && !rows.empty() && allEmails) heading = "Email address";
    t += CsvLine({heading, item}) + kEnd;
    for (const Row& r : rows) t += CsvLine({r.keys.front(), CsvNumber(FormatNumber(r.grade))}) + kEnd;
    out.notes.push_back("in Moodle's import, map \"" + heading + "\" to the user's " +
                        (heading == "Email address" ? "email address (useremail)"
                         : heading == "Username"    ? "username"
                                                    : "ID number (useridnumber)") +
                        " and \"" + item + "\" to the grade item");
  } else if (name == "canvas") {
    std::vector<CsvCell> header(platform->keys.begin(), platform->keys.end());
    header.emplace_back(item);
    t += CsvLine(header) + kEnd;
    // The row Canvas's own export carries: the points of a new assignment.
    std::vector<CsvCell> points = {"Points Possible", "", "", "", "", CsvNumber(FormatNumber(possible))};
    t += CsvLine(points) + kEnd;
    for (const Row& r : rows) {
      std::vector<CsvCell> cells(r.keys.begin(), r.keys.end());
      cells.push_back(CsvNumber(FormatNumber(r.grade)));
      t += CsvLine(cells) + kEnd;
    }
  } else if (blackboard) {
    // Comma-delimited, every field in quotes, as the Grade Center asks.
    std::vector<CsvCell> header(platform->keys.begin(), platform->keys.end());
    header.emplace_back(columnId.empty() ? item : item + " |" + columnId);
    t += CsvLine(header, true) + kEnd;
    for (const Row& r : rows) {
      std::vector<CsvCell> cells(r.keys.begin(), r.keys.end());
      cells.push_back(CsvNumber(FormatNumber(r.grade)));
      t += CsvLine(cells, true) + kEnd;
    }
    if (columnId.empty())
      out.notes.push_back(
          "no Grade Center column ID (--column-id, or \"lms\": {\"blackboard\": {\"column\": ...}}): "
          "the upload makes a new text column worth 0 points; give the ID of the column \"" +
          item + "\" (the number after \"|\" in a downloaded file) to fill it");
  } else {
    // Brightspace: the identifiers named, the points, the end-of-line column.
    std::vector<CsvCell> header;
    std::vector<bool> used;
    for (const char* key : platform->keys) {
      used.push_back(columnFor(key) != nullptr);
      if (used.back()) header.emplace_back(key);
    }
    header.emplace_back(item + " Points Grade");
    header.emplace_back("End-of-Line Indicator");
    t += CsvLine(header) + kEnd;
    for (const Row& r : rows) {
      std::vector<CsvCell> cells;
      // "#" before an identifier keeps a spreadsheet from dropping its leading zeros, as Brightspace's export
      // does.
      for (std::size_t k = 0; k < r.keys.size(); ++k)
        if (used[k]) cells.emplace_back(r.keys[k].empty() ? std::string() : "#" + r.keys[k]);
      cells.push_back(CsvNumber(FormatNumber(r.grade)));
      cells.emplace_back("#");
      t += CsvLine(cells) + kEnd;
    }
  }
  out.written = static_cast<int>(rows.size());
  if (absent > 0)
    out.notes.push_back(std::to_string(absent) + " student" + (absent == 1 ? "" : "s") +
                        " of the roster had no sheet and are not in the file");
  if (waiting > 0)
    out.notes.push_back(std::to_string(waiting) +
                        " of the sheets written still wait for review (exam status): their "
                        "grades may change");
  return out;
}

}  // namespace omr::exam
