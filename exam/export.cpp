#include "export.h"

#include <xlsxwriter.h>

#include <cmath>
#include <map>
#include <nlohmann/json.hpp>

#include "escape.h"
#include "project_analysis.h"
#include "project_integrity.h"
#include "report_xlsx.h"
#include "write_file.h"

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
    row.push_back(Cell::Text(item.response));
    row.push_back(item.outcome == Outcome::kVoid ? Cell{} : Cell::Number(item.points));
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
  for (const Table* table : {&tables.students, &tables.sheets, &tables.items, &tables.review}) {
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
  t.analysis = AnalyzeScores(exam, project.shape(), scores);

  // Sheets.
  t.sheets.name = "Sheets";
  t.sheets.header = {"sheet",  "station", "station_sheet", "read_at",  "source",  "typed_by",
                     "code",   "form",    "student_id",    "id_state", "version", "scored",
                     "voided", "total",   "maximum",       "percent",  "review",  "doubted"};
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
    ItemCells(exam, s, row);
    t.sheets.rows.push_back(std::move(row));
  }

  // Students: every valid ID read, and the roster's students without a sheet.
  std::map<std::string, std::vector<std::size_t>> byId;
  for (std::size_t i = 0; i < scores.size(); ++i)
    if (!scores[i].voided && scores[i].idState == IdState::kValid) byId[scores[i].studentId].push_back(i);
  std::vector<std::string> order = roster.ids;
  for (const auto& [id, list] : byId)
    if (!roster.Has(id)) order.push_back(id);
  t.students.name = "Students";
  t.students.header = {"id"};
  for (const std::string& c : roster.columns) t.students.header.push_back(c);
  for (const char* c : {"sheet", "version", "total", "maximum", "percent", "status", "review", "doubted"})
    t.students.header.push_back(c);
  ItemHeader(exam, t.students.header);
  for (const std::string& id : order) {
    std::vector<Cell> row = {Cell::Text(id)};
    const auto r = roster.rows.find(id);
    for (std::size_t c = 0; c < roster.columns.size(); ++c)
      row.push_back(r != roster.rows.end() ? Cell::Text(r->second[c]) : Cell{});
    const auto hit = byId.find(id);
    if (hit == byId.end()) {
      row.insert(row.end(), {Cell{}, Cell{}, Cell{}, Cell{}, Cell{}, Cell::Text("absent"), Cell{}, Cell{}});
      ItemCells(exam, SheetScore{}, row);
      t.students.rows.push_back(std::move(row));
      continue;
    }
    // The latest scored sheet counts; several sheets are shown for a person to settle.
    std::vector<int> numbers;
    std::size_t chosen = hit->second.back();
    for (const std::size_t i : hit->second) {
      numbers.push_back(scores[i].number);
      if (scores[i].scored) chosen = i;
    }
    const SheetScore& s = scores[chosen];
    const char* status = !s.scored                                   ? "not scored"
                         : numbers.size() > 1                        ? "several sheets"
                         : !roster.Empty() && r == roster.rows.end() ? "not in roster"
                                                                     : "scored";
    // One sheet is a number; several are a list for a person to settle.
    row.push_back(numbers.size() == 1 ? Cell::Number(numbers.front()) : Cell::Text(Numbers(numbers)));
    row.push_back(Cell::Text(s.version));
    row.push_back(s.scored ? Cell::Number(s.total) : Cell{});
    row.push_back(s.scored ? Cell::Number(s.maximum) : Cell{});
    row.push_back(s.scored ? Maybe(s.percent) : Cell{});
    row.push_back(Cell::Text(status));
    row.push_back(Cell::Text(DescribeReasons(s.reasons)));
    row.push_back(Doubted(s));
    ItemCells(exam, s, row);
    t.students.rows.push_back(std::move(row));
  }

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
    for (const SheetScore& s : scores) {
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

void WriteCsv(const Table& table, const std::string& path, bool excel) {
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
  std::string error;
  if (!omr::common::WriteFileWhole(path, text, omr::common::IfExists::kReplace, error)) throw Error(error);
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
  return root.dump(1);
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
