#include "export.h"

#include <xlsxwriter.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>

#include "escape.h"
#include "project_analysis.h"
#include "project_integrity.h"
#include "report_pdf.h"
#include "report_xlsx.h"
#include "temp_dir.h"
#include "write_file.h"
#include "zip.h"

namespace omr::exam {

namespace {

std::string Numbers(const std::vector<int>& numbers) {
  std::string out;
  for (const int n : numbers) out += (out.empty() ? "" : ";") + std::to_string(n);
  return out;
}

// The items whose answer the recognition doubted and nobody reviewed: one
// is a number, several a list ("3;17").
Cell Doubted(const SheetScore& s) {
  const std::vector<int> items = DoubtedItems(s);
  if (items.size() == 1) return Cell::Number(items.front());
  return items.empty() ? Cell{} : Cell::Text(Numbers(items));
}

Cell Maybe(const std::optional<double>& v) {
  return v ? Cell::Number(*v) : Cell{};
}

void ItemHeader(const Exam& exam, std::vector<std::string>& header) {
  for (int m = 1; m <= exam.ItemCount(); ++m) {
    header.push_back("item" + std::to_string(m));
    header.push_back("item" + std::to_string(m) + "_points");
  }
}

void ItemCells(const Exam& exam, const SheetScore& s, std::vector<Cell>& row) {
  for (int m = 1; m <= exam.ItemCount(); ++m) {
    if (!s.scored) {
      row.emplace_back();
      row.emplace_back();
      continue;
    }
    const ItemScore& item = s.items[static_cast<std::size_t>(m - 1)];
    if (item.outcome == Outcome::kAbsent) {  // on the sheet of another part
      row.emplace_back();
      row.emplace_back();
      continue;
    }
    row.push_back(Cell::Text(item.response));
    row.push_back(item.outcome == Outcome::kVoid ? Cell{} : Cell::Number(item.points));
  }
}

// Right, wrong, blank and multiple answers (empty for a sheet not scored).
void CountHeader(std::vector<std::string>& header) {
  header.insert(header.end(), {"right", "wrong", "blank", "multiple"});
}

void CountCells(const SheetScore& s, std::vector<Cell>& row) {
  const AnswerCounts c = CountAnswers(s);
  for (const int n : {c.right, c.wrong, c.blank, c.multiple})
    row.push_back(s.scored ? Cell::Number(n) : Cell{});
}

// Per group of students (all of them first): the figures of their totals,
// grades and topics; and the item analysis of each group.
void GroupTables(const Exam& exam, const ExamResults& results, ExportTables& t) {
  t.groups.name = "Groups";
  t.groups.header = {"group", "value", "students", "mean", "median", "sd", "min", "max", "mean_percent"};
  const bool marked = exam.grades.scaled || exam.grades.step > 0;
  if (marked) t.groups.header.push_back("mean_mark");
  if (!exam.grades.bands.empty()) {
    t.groups.header.push_back("pass_rate");
    for (const GradeBand& b : exam.grades.bands) t.groups.header.push_back("grade_" + b.grade);
  }
  for (const Topic& topic : exam.topics) t.groups.header.push_back("topic_" + topic.name + "_percent");
  t.groupItems.name = "Group items";
  t.groupItems.header = {"group", "value", "item", "sheets",         "maximum", "mean_points",
                         "p",     "d",     "r",    "point_biserial", "flags"};
  for (const GroupFigures& g : results.groups) {
    const TestResult& test = g.analysis.test;
    std::vector<Cell> row = {Cell::Text(g.column),
                             Cell::Text(g.column.empty() ? "" : g.value),
                             Cell::Number(static_cast<double>(g.students)),
                             Maybe(test.mean),
                             Maybe(test.median),
                             Maybe(test.sd),
                             Maybe(test.min),
                             Maybe(test.max),
                             Maybe(g.meanPercent)};
    if (marked) row.push_back(Maybe(g.meanMark));
    if (!exam.grades.bands.empty()) {
      row.push_back(Maybe(g.passRate));
      for (const std::int64_t n : g.grades) row.push_back(Cell::Number(static_cast<double>(n)));
    }
    for (const std::optional<double>& p : g.topicPercent) row.push_back(Maybe(p));
    t.groups.rows.push_back(std::move(row));
    for (const ItemResult& item : g.analysis.items) {
      t.groupItems.rows.push_back({Cell::Text(g.column), Cell::Text(g.column.empty() ? "" : g.value),
                                   Cell::Number(item.master), Cell::Number(static_cast<double>(test.n)),
                                   Cell::Number(item.maximum), Maybe(item.mean), Maybe(item.p), Maybe(item.d),
                                   Maybe(item.r), Maybe(item.pointBiserial),
                                   Cell::Text(item.isVoid ? "void" : FlagNames(item.flags, " "))});
    }
  }
}

const char* KindName(const ItemRule& r) {
  if (r.kind == ItemKind::kVoid) return "void";
  if (r.kind == ItemKind::kBonus) return "bonus";
  if (!r.all.empty()) return r.partial ? "all, partial" : "all";
  return "single";
}

// The workbook into `temporary`; false with the reason.
bool FillXlsx(const ExportTables& tables, const std::string& temporary, std::string& error) {
  lxw_workbook* book = workbook_new(temporary.c_str());
  if (!book) {
    error = "cannot write " + temporary;
    return false;
  }
  lxw_format* bold = workbook_add_format(book);
  format_set_bold(bold);
  std::vector<const Table*> written = {&tables.students, &tables.sheets, &tables.items, &tables.review};
  if (tables.HasResults()) written.push_back(&tables.groups);
  if (tables.HasGroups()) written.push_back(&tables.groupItems);
  for (const Table* table : written) {
    lxw_worksheet* sheet = workbook_add_worksheet(book, table->name.c_str());
    for (std::size_t c = 0; c < table->header.size(); ++c)
      worksheet_write_string(sheet, 0, static_cast<lxw_col_t>(c), CleanUtf8(table->header[c]).c_str(), bold);
    worksheet_freeze_panes(sheet, 1, 0);
    for (std::size_t r = 0; r < table->rows.size(); ++r) {
      const auto row = static_cast<lxw_row_t>(r + 1);
      for (std::size_t c = 0; c < table->rows[r].size(); ++c) {
        const Cell& cell = table->rows[r][c];
        const auto col = static_cast<lxw_col_t>(c);
        if (cell.kind == Cell::Kind::kNumber)
          worksheet_write_number(sheet, row, col, cell.number, nullptr);
        else if (cell.kind == Cell::Kind::kText && !cell.text.empty())
          worksheet_write_string(sheet, row, col, CleanUtf8(cell.text).c_str(), nullptr);
      }
    }
  }
  std::string analysisError;
  const bool analysed = AddAnalysisWorksheets(book, tables.analysis, analysisError);
  const lxw_error rc = workbook_close(book);
  if (!analysed || rc != LXW_NO_ERROR) {
    error = "cannot write " + temporary + ": " + (analysed ? lxw_strerror(rc) : analysisError);
    return false;
  }
  return true;
}

}  // namespace

ExportTables BuildTables(Project& project) {
  const Exam& exam = project.exam();
  const Roster& roster = project.roster();
  std::vector<SheetRecord> sheets;
  const std::vector<SheetScore> scores = project.ScoreAll(&sheets);
  ExportTables t;
  // The sheets table lists sheets; the others count candidates.
  t.results = BuildResults(exam, project.shape(), roster, scores);
  const std::vector<SheetScore>& candidates = t.results.scores;
  t.analysis = AnalyzeScores(exam, project.shape(), candidates);

  // Sheets.
  t.sheets.name = "Sheets";
  t.sheets.header = {"sheet",    "station", "station_sheet", "read_at", "source",  "typed_by",
                     "code",     "form",    "student_id",    "id_state", "version", "scored",
                     "voided",   "total",   "maximum",       "percent",  "review",  "doubted"};
  CountHeader(t.sheets.header);
  ItemHeader(exam, t.sheets.header);
  for (std::size_t i = 0; i < scores.size(); ++i) {
    const SheetScore& s = scores[i];
    const SheetRecord& r = sheets[i];
    std::vector<Cell> row = {Cell::Number(r.number),
                             Cell::Text(r.station),
                             Cell::Number(r.stationNumber),
                             Cell::Text(r.readAt),
                             Cell::Text(r.source),
                             Cell::Text(r.author),
                             Cell::Number(r.code),
                             r.letter ? Cell::Text(VisibleAscii(std::string(1, r.letter))) : Cell{},
                             Cell::Text(s.studentId),
                             Cell::Text(s.idState == IdState::kValid     ? "valid"
                                        : s.idState == IdState::kInvalid ? "invalid"
                                                                         : ""),
                             Cell::Text(s.version),
                             Cell::Number(s.scored ? 1 : 0),
                             Cell::Number(s.voided ? 1 : 0),
                             s.scored ? Cell::Number(s.total) : Cell{},
                             s.scored ? Cell::Number(s.maximum) : Cell{},
                             s.scored ? Maybe(s.percent) : Cell{},
                             Cell::Text(DescribeReasons(s.reasons)),
                             Doubted(s)};
    CountCells(s, row);
    ItemCells(exam, s, row);
    t.sheets.rows.push_back(std::move(row));
  }

  // Students: the roster's, then the valid IDs read that it lacks.
  t.students.name = "Students";
  t.students.header = {"id"};
  for (const std::string& c : roster.columns) t.students.header.push_back(c);
  for (const char* c : {"sheet", "version", "total", "maximum", "percent"}) t.students.header.push_back(c);
  const bool marked = exam.grades.scaled || exam.grades.step > 0;
  const bool banded = !exam.grades.bands.empty();
  if (marked) t.students.header.push_back("mark");
  if (banded) t.students.header.push_back("grade");
  t.students.header.push_back("status");
  // In parts: the parts none of the candidate's sheets is.
  const bool inParts = !exam.parts.empty();
  if (inParts) t.students.header.push_back("missing");
  for (const char* c : {"review", "doubted"}) t.students.header.push_back(c);
  CountHeader(t.students.header);
  for (const Topic& topic : exam.topics)
    for (const char* what : {"_points", "_maximum", "_percent"})
      t.students.header.push_back("topic_" + topic.name + what);
  ItemHeader(exam, t.students.header);
  for (const StudentResult& student : t.results.students) {
    std::vector<Cell> row = {Cell::Text(student.id)};
    for (std::size_t c = 0; c < roster.columns.size(); ++c)
      row.push_back(c < student.columns.size() ? Cell::Text(student.columns[c]) : Cell{});
    const bool read = !student.sheets.empty();
    const SheetScore& s = read ? candidates[static_cast<std::size_t>(student.shown)] : SheetScore{};
    // One sheet is a number; several are a list for a person to settle.
    row.push_back(!read                        ? Cell{}
                  : student.sheets.size() == 1 ? Cell::Number(student.sheets.front())
                                               : Cell::Text(Numbers(student.sheets)));
    row.push_back(read ? Cell::Text(s.version) : Cell{});
    row.push_back(s.scored ? Cell::Number(s.total) : Cell{});
    row.push_back(s.scored ? Cell::Number(s.maximum) : Cell{});
    row.push_back(s.scored ? Maybe(s.percent) : Cell{});
    if (marked) row.push_back(Maybe(student.grade.mark));
    if (banded) row.push_back(student.grade.grade.empty() ? Cell{} : Cell::Text(student.grade.grade));
    row.push_back(Cell::Text(student.status));
    if (inParts) {
      std::string missing;
      for (const std::string& m : s.missing) missing += (missing.empty() ? "" : ", ") + m;
      row.push_back(read ? Cell::Text(missing) : Cell{});
    }
    row.push_back(read ? Cell::Text(DescribeReasons(s.reasons)) : Cell{});
    row.push_back(read ? Doubted(s) : Cell{});
    CountCells(s, row);
    for (const TopicScore& topic : student.topics) {
      row.push_back(s.scored ? Cell::Number(topic.points) : Cell{});
      row.push_back(Cell::Number(topic.maximum));
      row.push_back(Maybe(topic.percent));
    }
    ItemCells(exam, s, row);
    t.students.rows.push_back(std::move(row));
  }
  GroupTables(exam, t.results, t);
  t.withResults = exam.grades.Any() || !exam.topics.empty() || !exam.groups.empty();

  // Items.
  t.items.name = "Items";
  t.items.header = {"item", "question", "key"};
  for (const VersionKey& k : exam.keys) {
    t.items.header.push_back("question_" + k.name);
    t.items.header.push_back("key_" + k.name);
  }
  for (const char* c : {"kind", "accept", "all", "maximum", "sheets", "correct", "partial", "wrong", "blank",
                        "multiple", "mean_points"})
    t.items.header.push_back(c);
  for (int m = 1; m <= exam.ItemCount(); ++m) {
    const ItemRule& rule = exam.rules[static_cast<std::size_t>(m - 1)];
    const VersionKey& master = exam.keys.front();
    std::vector<Cell> row = {Cell::Number(m), Cell::Number(exam.items[static_cast<std::size_t>(m - 1)]),
                             Cell::Text(std::string(1, exam.KeyFor(master, m)))};
    for (const VersionKey& k : exam.keys) {
      int question = 0;
      for (std::size_t i = 0; i < k.order.size(); ++i)
        if (k.order[i] == m) question = exam.items[i];
      row.push_back(Cell::Number(question));
      row.push_back(Cell::Text(std::string(1, exam.KeyFor(k, m))));
    }
    std::map<Outcome, int> counts;
    int count = 0;
    double sum = 0;
    for (const SheetScore& s : candidates) {
      if (!s.scored) continue;
      const ItemScore& item = s.items[static_cast<std::size_t>(m - 1)];
      ++counts[item.outcome];
      ++count;
      sum += item.points;
    }
    row.push_back(Cell::Text(KindName(rule)));
    row.push_back(Cell::Text(rule.accept));
    row.push_back(Cell::Text(rule.all));
    row.push_back(Cell::Number(rule.kind == ItemKind::kVoid ? 0 : rule.points));
    row.push_back(Cell::Number(count));
    for (const Outcome o :
         {Outcome::kCorrect, Outcome::kPartial, Outcome::kWrong, Outcome::kBlank, Outcome::kMultiple})
      row.push_back(Cell::Number(counts[o]));
    row.push_back(count > 0 && rule.kind != ItemKind::kVoid ? Cell::Number(sum / count) : Cell{});
    t.items.rows.push_back(std::move(row));
  }

  // Review reasons.
  t.review.name = "Review";
  t.review.header = {"sheet", "student_id", "reason", "question", "detail"};
  for (const SheetScore& s : scores)
    for (const Reason& r : s.reasons)
      t.review.rows.push_back({Cell::Number(s.number), Cell::Text(s.studentId), Cell::Text(r.code),
                               r.question ? Cell::Number(r.question) : Cell{}, Cell::Text(r.detail)});
  return t;
}

const Table* ExportTables::Find(const std::string& name) const {
  if (name == "students") return &students;
  if (name == "sheets") return &sheets;
  if (name == "items") return &items;
  if (name == "review") return &review;
  if (name == "groups") return &groups;
  if (name == "group-items") return &groupItems;
  return nullptr;
}

void WriteCsv(const Table& table, const std::string& path, bool excel) {
  std::string error;
  if (!omr::common::WriteFileWhole(path, CsvText(table, excel), omr::common::IfExists::kReplace, error))
    throw Error(error);
}

std::string CsvText(const Table& table, bool excel) {
  // A spreadsheet opened with a double click takes UTF-8 only after a byte-order mark.
  const char* end = excel ? "\r\n" : "\n";
  std::string text =
      (excel ? "\xEF\xBB\xBF" : "") + omr::common::CsvLine({table.header.begin(), table.header.end()}) + end;
  for (const std::vector<Cell>& row : table.rows) {
    // Numbers stay numbers (a negative total); text is neutralised.
    std::vector<omr::common::CsvCell> fields;
    for (const Cell& c : row)
      fields.push_back(c.kind == Cell::Kind::kNumber ? omr::common::CsvNumber(FormatNumber(c.number))
                                                     : c.text);
    text += omr::common::CsvLine(fields) + end;
  }
  return text;
}

void WriteXlsx(const ExportTables& tables, const std::string& path) {
  std::string error;
  if (!omr::common::WriteFileWhole(
          path, omr::common::IfExists::kReplace,
          [&](const std::string& temporary, std::string& e) { return FillXlsx(tables, temporary, e); },
          error))
    throw Error(error);
}

std::string ExportJson(const Project& project, const ExportTables& tables) {
  using Json = nlohmann::ordered_json;
  Json root;
  root["exam"] = CleanUtf8(project.examName());
  root["title"] = CleanUtf8(project.exam().title);
  root["revision"] = project.revision();
  auto rows = [](const Table& t) {
    Json out = Json::array();
    for (const std::vector<Cell>& r : t.rows) {
      Json o = Json::object();
      for (std::size_t c = 0; c < r.size() && c < t.header.size(); ++c) {
        const Cell& cell = r[c];
        if (cell.kind == Cell::Kind::kNumber && cell.number == std::floor(cell.number) &&
            std::fabs(cell.number) < 1e15)
          o[t.header[c]] = static_cast<long long>(cell.number);
        else if (cell.kind == Cell::Kind::kNumber)
          o[t.header[c]] = cell.number;
        else if (cell.kind == Cell::Kind::kText)
          o[t.header[c]] = CleanUtf8(cell.text);
        else
          o[t.header[c]] = nullptr;
      }
      out.push_back(std::move(o));
    }
    return out;
  };
  root["students"] = rows(tables.students);
  root["sheets"] = rows(tables.sheets);
  root["items"] = rows(tables.items);
  root["review"] = rows(tables.review);
  if (tables.HasResults()) root["groups"] = rows(tables.groups);
  if (tables.HasGroups()) root["group_items"] = rows(tables.groupItems);
  return root.dump(1);
}

namespace {

std::string ReadWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error("cannot read " + path.string() + " back");
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A file name to offer: the exam's title with runs of anything but letters,
// digits and "_" as one "-" (no path, quote or control character), then `what`.
std::string OfferedName(const Project& project, const std::string& what) {
  std::string stem;
  const std::string& title = project.exam().title.empty() ? project.examName() : project.exam().title;
  for (const char c : CleanUtf8(title)) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || u == '_' || u >= 0x80)
      stem += c;
    else if (!stem.empty() && stem.back() != '-')
      stem += '-';
  }
  while (!stem.empty() && stem.back() == '-') stem.pop_back();
  if (stem.size() > 80) stem = CleanUtf8(stem.substr(0, 80));
  return (stem.empty() ? std::string("exam") : stem) + "-" + what;
}

}  // namespace

std::string ExportFormatNames() {
  return "csv, xlsx, json, " + LmsPlatformNames() + ", slips-pdf, slips-zip";
}

std::string ExportProblem(Project& project, const ExportRequest& request) {
  if (!FindLmsPlatform(request.format)) return "";
  LmsOptions lms = request.lms;
  lms.platform = request.format;
  return LmsProblem(project.exam(), project.roster(), lms);
}

ExportFile ExportBytes(Project& project, const ExportRequest& request) {
  ExportFile out;
  const std::string& f = request.format;
  if (f == "csv" || f == "xlsx" || f == "json") {
    const ExportTables tables = BuildTables(project);
    if (f == "json") {
      out.bytes = ExportJson(project, tables) + "\n";
      out.contentType = "application/json";
      out.fileName = OfferedName(project, "results.json");
      return out;
    }
    if (f == "csv") {
      const Table* table = tables.Find(request.table);
      if (!table)
        throw Error("there is no table \"" + CleanUtf8(request.table) +
                    "\": students, sheets, items, review, groups or group-items");
      out.bytes = CsvText(*table, request.excel);
      out.contentType = "text/csv; charset=utf-8";
      out.fileName = OfferedName(project, request.table + ".csv");
      return out;
    }
    const omr::common::TemporaryDirectory dir("omr-export");
    if (dir.path().empty())
      throw Error(std::string("cannot make a temporary folder: ") + std::strerror(errno));
    WriteXlsx(tables, (dir.path() / "export.xlsx").string());
    out.bytes = ReadWhole(dir.path() / "export.xlsx");
    out.contentType = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";
    out.fileName = OfferedName(project, "results.xlsx");
    return out;
  }
  if (FindLmsPlatform(f)) {
    LmsOptions lms = request.lms;
    lms.platform = f;
    LmsFile file = BuildLmsFile(project.exam(), project.roster(), BuildResults(project), lms);
    out.bytes = std::move(file.text);
    out.contentType = "text/csv; charset=utf-8";
    out.fileName = OfferedName(project, f + ".csv");
    out.records = file.written;
    out.skipped = std::move(file.skipped);
    out.notes = std::move(file.notes);
    return out;
  }
  if (f == "slips-zip") {
    std::vector<ZipEntry> files;
    for (SlipPage& page : SlipPages(project, request.slips))
      files.push_back({std::move(page.name), std::move(page.html)});
    if (files.empty()) throw Error("no student has a scored sheet: no slip to make");
    out.records = static_cast<int>(files.size());
    out.bytes = ZipArchive(files);
    out.contentType = "application/zip";
    out.fileName = OfferedName(project, "slips.zip");
    return out;
  }
  if (f == "slips-pdf") {
    const omr::common::TemporaryDirectory dir("omr-slips");
    if (dir.path().empty())
      throw Error(std::string("cannot make a temporary folder: ") + std::strerror(errno));
    out.records = WriteSlipsPdf(project, request.slips, (dir.path() / "slips.pdf").string());
    out.bytes = ReadWhole(dir.path() / "slips.pdf");
    out.contentType = "application/pdf";
    out.fileName = OfferedName(project, "slips.pdf");
    return out;
  }
  throw Error("no export format \"" + CleanUtf8(f) + "\": " + ExportFormatNames());
}

std::string StatusJson(const ExamStatus& s) {
  using Json = nlohmann::ordered_json;
  Json root;
  root["exam"] = CleanUtf8(s.exam);
  root["revision"] = s.revision;
  root["sheets"] = s.sheets;
  root["students"] = s.students;
  root["scored"] = s.scored;
  root["not_read"] = s.notRead;
  root["typed"] = s.typed;
  root["void"] = s.voided;
  root["waiting"] = s.waiting;
  root["reviewed"] = s.reviewed;
  root["by_reason"] = Json::object();
  for (const auto& [reason, count] : s.byReason) root["by_reason"][reason] = count;
  root["duplicate_grids"] = s.duplicateGrids;
  root["corrections"] = s.corrections;
  root["stations"] = Json::array();
  for (const StationCount& c : s.stations)
    root["stations"].push_back({{"station", CleanUtf8(c.station)}, {"sheets", c.sheets}});
  root["unfinished"] = Json::array();
  for (const BatchRecord& b : s.unfinished)
    root["unfinished"].push_back(
        {{"station", CleanUtf8(b.station)}, {"started_at", b.startedAt}, {"sheets", b.sheets}});
  root["held"] = Json::array();
  for (const ClaimRecord& c : s.claims)
    root["held"].push_back({{"sheet", c.sheet}, {"by", CleanUtf8(c.holder)}, {"until", c.expires}});
  return root.dump(1);
}

}  // namespace omr::exam
