// Every statement of the project store, one text for both databases: `?`
// parameters, and the Dialect's words where the two differ (the clock, the
// exam's row lock). Bulk work goes a chunk of rows a statement.
#include "store.h"

#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <map>

#include "derived_rows.h"
#include "output_guard.h"
#include "schema.h"
#include "vocabulary.h"

namespace omr::exam {

namespace {

using db::Params;

// Rows one statement of bulk work reads or writes.
constexpr std::size_t kChunk = 1000;

constexpr const char* kSheetColumns =
    "s.id, s.number, s.station, s.station_number, COALESCE(s.batch_id, 0), s.read_at, s.source, s.origin, "
    "s.serial, s.firmware, s.letter, s.code, s.result, s.grid_lines, s.grid_columns, s.grid_hash, s.author";
constexpr int kGridColumn = 17;  // after kSheetColumns

void ReadSheet(const db::Rows& r, SheetRecord& s) {
  s.id = r.Int(0);
  s.number = r.Int32(1);
  s.station = r.Text(2);
  s.stationNumber = r.Int32(3);
  s.batch = r.Int(4);
  s.readAt = r.Text(5);
  s.source = r.Text(6);
  s.origin = r.Text(7);
  s.serial = r.Text(8);
  s.firmware = r.Text(9);
  const std::string letter = r.Text(10);
  s.letter = letter.empty() ? 0 : letter[0];
  s.code = r.Int32(11);
  s.result = r.Text(12);
  s.lines = r.Int32(13);
  s.columns = r.Int32(14);
  s.gridHash = r.Text(15);
  s.author = r.Text(16);
}

std::string Letter(char c) {
  return c ? std::string(1, c) : std::string();
}

// The responses of a row whose columns start at `from` (none when NULL).
std::vector<Response> ReadResponses(const db::Rows& r, int from, int sheet) {
  std::vector<Response> out;
  if (r.Null(from)) return out;
  if (!UnpackResponses(r.Text(from), r.Text(from + 1), r.Text(from + 2), r.Text(from + 3), out))
    throw StoreError("the responses of sheet " + std::to_string(sheet) + " are stored damaged");
  return out;
}

void AddResponses(Params& p, Id sheet, const std::vector<Response>& responses) {
  PackedResponses packed = PackResponses(responses);
  p.Int(sheet)
      .Text(std::move(packed.marked))
      .Bytes(std::move(packed.coded))
      .Bytes(std::move(packed.doubtful));
  p.Bytes(std::move(packed.confidence));
}

// A score's values in the order of kScoreColumns.
void AddScore(Params& p, Id sheet, Id exam, const ScoreRecord& s) {
  p.Int(sheet).Int(exam).Int(s.sheet).Int(s.revision).Int(s.scored ? 1 : 0).Int(s.voided ? 1 : 0);
  p.Text(s.studentId).Text(s.idState).Text(s.version);
  p.Real(s.scored ? std::optional<double>(s.total) : std::nullopt);
  p.Real(s.scored ? std::optional<double>(s.maximum) : std::nullopt);
  p.Real(s.scored ? s.percent : std::nullopt);
  p.Text(s.answers).Text(s.points).Real(s.confidence).Int(ReasonMask(s.reasons)).Text(PackReasons(s.reasons));
}

const std::vector<std::string_view> kResponseColumns = {"sheet_id", "marked", "coded", "doubtful",
                                                        "confidence"};
const std::vector<std::string_view> kScoreColumns = {
    "sheet_id",   "exam_id",  "number",     "revision",    "scored",  "voided",
    "student_id", "id_state", "version",    "total",       "maximum", "percent",
    "answers",    "points",   "confidence", "reason_mask", "reasons"};

// "?, ?, ?" for n values.
std::string Marks(std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += i ? ", ?" : "?";
  return out;
}

}  // namespace

Store::Store(std::unique_ptr<db::Connection> db) : db_(std::move(db)) {}

Store::~Store() = default;

const std::string& Store::Location() const {
  return db_->Location();
}

bool Store::Shared() const {
  return db_->dialect().kind == db::Kind::kPostgres;
}

int Store::SchemaVersion() {
  auto r = db_->Query("SELECT version FROM schema_version");
  return r->Next() ? r->Int32(0) : 0;
}

void Store::Begin() {
  db_->Begin();
  lockedExam_ = 0;
}

void Store::Commit() {
  lockedExam_ = 0;
  db_->Commit();
}

void Store::Rollback() noexcept {
  lockedExam_ = 0;
  db_->Rollback();
}

int Store::LockExam(Id exam) {
  auto r = db_->Query("SELECT revision FROM exams WHERE id = ?" + std::string(db_->dialect().lockRow),
                      Params().Int(exam));
  if (!r->Next()) throw StoreError("there is no exam " + std::to_string(exam) + " in " + Location());
  lockedExam_ = exam;
  return r->Int32(0);
}

void Store::Locked(Id exam) {
  if (lockedExam_ != exam) LockExam(exam);
}

Id Store::CreateExam(const std::string& name, const std::string& createdAt, const std::string& uid) {
  Id id = 0;
  try {
    auto r = db_->Query("INSERT INTO exams(name, created_at, uid) VALUES (?, ?, ?) RETURNING id",
                        Params().Text(name).Text(createdAt).Text(uid));
    r->Next();
    id = r->Int(0);
  } catch (const db::Duplicate&) {
    throw StoreError("the project " + Location() + " already holds an exam named " + name);
  }
  MarkBuilt(id, createdAt);  // nothing to build yet
  return id;
}

std::vector<ExamRecord> Store::Exams() {
  std::vector<ExamRecord> out;
  auto r = db_->Query("SELECT id, name, created_at, revision, uid FROM exams ORDER BY id");
  while (r->Next()) out.push_back({r->Int(0), r->Text(1), r->Text(2), r->Int32(3), r->Text(4)});
  return out;
}

int Store::AddRevision(Id exam, const RevisionRecord& rev) {
  Locked(exam);
  int next = 0;
  {
    auto r = db_->Query("SELECT COALESCE(MAX(revision), 0) + 1 FROM revisions WHERE exam_id = ?",
                        Params().Int(exam));
    r->Next();
    next = r->Int32(0);
  }
  // The file texts as bytes: a roster or form need not be UTF-8.
  Params p;
  p.Int(exam).Int(next).Text(rev.createdAt).Text(rev.author).Text(rev.kind).Text(rev.examName);
  p.Bytes(rev.examText).Text(rev.formName).Bytes(rev.formText).Text(rev.rosterName).Bytes(rev.rosterText);
  p.Text(rev.note);
  db_->Run(
      "INSERT INTO revisions(exam_id, revision, created_at, author, kind, exam_name, exam_text, form_name, "
      "form_text, roster_name, roster_text, note) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
      p);
  db_->Run("UPDATE exams SET revision = ? WHERE id = ?", Params().Int(next).Int(exam));
  return next;
}

RevisionRecord Store::Revision(Id exam, int revision) {
  auto r = db_->Query(
      "SELECT revision, created_at, author, kind, exam_name, exam_text, form_name, form_text, roster_name, "
      "roster_text, note FROM revisions WHERE exam_id = ? AND revision = "
      "CASE WHEN ? = 0 THEN (SELECT revision FROM exams WHERE id = ?) ELSE ? END",
      Params().Int(exam).Int(revision).Int(exam).Int(revision));
  if (!r->Next())
    throw StoreError("the exam has no revision " + std::to_string(revision) + " in " + Location());
  return {r->Int32(0), r->Text(1), r->Text(2), r->Text(3), r->Text(4), r->Text(5),
          r->Text(6),  r->Text(7), r->Text(8), r->Text(9), r->Text(10)};
}

std::vector<RevisionRecord> Store::Revisions(Id exam) {
  std::vector<RevisionRecord> out;
  auto r = db_->Query(
      "SELECT revision, created_at, author, kind, exam_name, form_name, roster_name, note FROM revisions "
      "WHERE exam_id = ? ORDER BY revision",
      Params().Int(exam));
  while (r->Next()) {
    RevisionRecord rev;
    rev.revision = r->Int32(0);
    rev.createdAt = r->Text(1);
    rev.author = r->Text(2);
    rev.kind = r->Text(3);
    rev.examName = r->Text(4);
    rev.formName = r->Text(5);
    rev.rosterName = r->Text(6);
    rev.note = r->Text(7);
    out.push_back(std::move(rev));
  }
  return out;
}

bool Store::Built(Id exam) {
  return db_->Query("SELECT built_at FROM derived WHERE exam_id = ?", Params().Int(exam))->Next();
}

void Store::MarkBuilt(Id exam, const std::string& at) {
  db_->Run(
      "INSERT INTO derived(exam_id, built_at) VALUES (?, ?) ON CONFLICT(exam_id) DO UPDATE SET built_at = "
      "excluded.built_at",
      Params().Int(exam).Text(at));
}

Id Store::BeginBatch(Id exam, const std::string& station, const std::string& startedAt) {
  auto r = db_->Query("INSERT INTO batches(exam_id, station, started_at) VALUES (?, ?, ?) RETURNING id",
                      Params().Int(exam).Text(station).Text(startedAt));
  r->Next();
  return r->Int(0);
}

void Store::EndBatch(Id batch, const std::string& endedAt, const std::string& outcome) {
  db_->Run("UPDATE batches SET ended_at = ?, outcome = ? WHERE id = ?",
           Params().Text(endedAt).Text(outcome).Int(batch));
}

std::vector<BatchRecord> Store::Batches(Id exam) {
  std::vector<BatchRecord> out;
  auto r = db_->Query(
      "SELECT id, station, started_at, COALESCE(ended_at, ''), sheets, COALESCE(outcome, '') FROM batches "
      "WHERE exam_id = ? ORDER BY id",
      Params().Int(exam));
  while (r->Next()) out.push_back({r->Int(0), r->Text(1), r->Text(2), r->Text(3), r->Int32(4), r->Text(5)});
  return out;
}

// The exam's lock makes the two maxima safe: each statement sees what the
// writer before committed.
void Store::AddSheet(Id exam, SheetRecord& s) {
  Locked(exam);
  Params p;
  p.Int(exam).Int(exam).Text(s.station).Int(exam).Text(s.station).Key(s.batch);
  p.Text(s.readAt).Text(s.source).Text(s.origin).Text(s.serial).Text(s.firmware);
  p.Text(Letter(s.letter)).Int(s.code).Bytes(s.result);
  p.Int(s.lines).Int(s.columns).BytesOrNull(std::string(s.grid.begin(), s.grid.end())).Text(s.gridHash);
  p.Text(s.author);
  {
    auto r = db_->Query(
        "INSERT INTO sheets(exam_id, number, station, station_number, batch_id, read_at, source, origin, "
        "serial, "
        "firmware, letter, code, result, grid_lines, grid_columns, grid, grid_hash, author) VALUES (?, "
        "(SELECT COALESCE(MAX(number), 0) + 1 FROM sheets WHERE exam_id = ?), ?, "
        "(SELECT COALESCE(MAX(station_number), 0) + 1 FROM sheets WHERE exam_id = ? AND station = ?), "
        "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id, number, station_number",
        p);
    r->Next();
    s.id = r->Int(0);
    s.number = r->Int32(1);
    s.stationNumber = r->Int32(2);
  }
  if (s.batch) db_->Run("UPDATE batches SET sheets = sheets + 1 WHERE id = ?", Params().Int(s.batch));
}

void Store::AddSheets(Id exam, std::vector<SheetRecord>& sheets) {
  if (sheets.empty()) return;
  Locked(exam);
  int next = 0;
  {
    auto r = db_->Query("SELECT COALESCE(MAX(number), 0) FROM sheets WHERE exam_id = ?", Params().Int(exam));
    r->Next();
    next = r->Int32(0);
  }
  std::map<std::string, int> stations;
  for (const SheetRecord& s : sheets) stations[s.station] = 0;
  for (auto at = stations.begin(); at != stations.end();) {
    Params p;
    p.Int(exam);
    std::size_t n = 0;
    for (auto it = at; it != stations.end() && n < kChunk; ++it, ++n) p.Text(it->first);
    auto r = db_->Query("SELECT station, MAX(station_number) FROM sheets WHERE exam_id = ? AND station IN (" +
                            Marks(n) + ") GROUP BY station",
                        p);
    while (r->Next()) stations[r->Text(0)] = r->Int32(1);
    std::advance(at, static_cast<std::ptrdiff_t>(n));
  }
  std::map<Id, int> batches;
  for (SheetRecord& s : sheets) {
    s.number = ++next;
    s.stationNumber = ++stations[s.station];
    if (s.batch) ++batches[s.batch];
  }
  static const std::vector<std::string_view> kColumns = {
      "exam_id", "number",     "station",      "station_number", "batch_id",  "read_at",
      "source",  "origin",     "serial",       "firmware",       "letter",    "code",
      "result",  "grid_lines", "grid_columns", "grid",           "grid_hash", "author"};
  for (std::size_t from = 0; from < sheets.size(); from += kChunk) {
    const std::size_t to = std::min(sheets.size(), from + kChunk);
    Params p;
    for (std::size_t i = from; i < to; ++i) {
      const SheetRecord& s = sheets[i];
      p.Int(exam).Int(s.number).Text(s.station).Int(s.stationNumber).Key(s.batch);
      p.Text(s.readAt).Text(s.source).Text(s.origin).Text(s.serial).Text(s.firmware);
      p.Text(Letter(s.letter)).Int(s.code).Bytes(s.result);
      p.Int(s.lines).Int(s.columns).BytesOrNull(std::string(s.grid.begin(), s.grid.end())).Text(s.gridHash);
      p.Text(s.author);
    }
    std::map<int, Id> ids;
    {
      auto r = db_->Query(db::InsertRows("sheets", kColumns, to - from) + " RETURNING number, id", p);
      while (r->Next()) ids[r->Int32(0)] = r->Int(1);
    }
    for (std::size_t i = from; i < to; ++i) sheets[i].id = ids.at(sheets[i].number);
  }
  for (const auto& [batch, count] : batches)
    db_->Run("UPDATE batches SET sheets = sheets + ? WHERE id = ?", Params().Int(count).Int(batch));
}

void Store::PutRecognitions(const std::vector<RecognitionRecord>& sheets) {
  for (std::size_t from = 0; from < sheets.size(); from += kChunk) {
    const std::size_t to = std::min(sheets.size(), from + kChunk);
    Params p;
    std::string rows;
    for (std::size_t i = from; i < to; ++i) {
      p.Int(sheets[i].sheet).Int(sheets[i].code).Text(Letter(sheets[i].letter)).Bytes(sheets[i].result);
      rows += (i > from ? ", (" : "(") + Marks(4) + ")";
    }
    // VALUES names its columns column1, column2, ... in both databases.
    db_->Run("UPDATE sheets SET code = v.column2, letter = v.column3, result = v.column4 FROM (VALUES " +
                 rows + ") AS v WHERE sheets.id = v.column1",
             p);
  }
}

void Store::PutResponses(Id sheet, const std::vector<Response>& responses) {
  if (responses.empty()) {
    db_->Run("DELETE FROM responses WHERE sheet_id = ?", Params().Int(sheet));
    return;
  }
  Params p;
  AddResponses(p, sheet, responses);
  db_->Run(
      "INSERT INTO responses(sheet_id, marked, coded, doubtful, confidence) VALUES (?, ?, ?, ?, ?) "
      "ON CONFLICT(sheet_id) DO UPDATE SET marked = excluded.marked, coded = excluded.coded, doubtful = "
      "excluded.doubtful, confidence = excluded.confidence",
      p);
}

void Store::PutResponses(const std::vector<std::pair<Id, const std::vector<Response>*>>& sheets) {
  for (std::size_t from = 0; from < sheets.size(); from += kChunk) {
    const std::size_t to = std::min(sheets.size(), from + kChunk);
    Params ids;
    Params rows;
    for (std::size_t i = from; i < to; ++i) {
      ids.Int(sheets[i].first);
      if (!sheets[i].second->empty()) AddResponses(rows, sheets[i].first, *sheets[i].second);
    }
    db_->Run("DELETE FROM responses WHERE sheet_id IN (" + Marks(ids.size()) + ")", ids);
    db_->Insert("responses", kResponseColumns, rows);
  }
}

void Store::PutScore(Id sheet, const ScoreRecord& score) {
  Params p;
  AddScore(p, sheet, 0, score);
  // The exam and number are the sheet's.
  db_->Run(
      "INSERT INTO scores(sheet_id, exam_id, number, revision, scored, voided, student_id, id_state, "
      "version, "
      "total, maximum, percent, answers, points, confidence, reason_mask, reasons) "
      "SELECT s.id, s.exam_id, s.number, v.column4, v.column5, v.column6, v.column7, v.column8, v.column9, "
      "v.column10, v.column11, v.column12, v.column13, v.column14, v.column15, v.column16, v.column17 FROM "
      "(VALUES (" +
          Marks(kScoreColumns.size()) +
          ")) AS v JOIN sheets s ON s.id = v.column1 WHERE true ON CONFLICT(sheet_id) DO UPDATE SET "
          "revision = excluded.revision, scored = excluded.scored, voided = excluded.voided, student_id = "
          "excluded.student_id, id_state = excluded.id_state, version = excluded.version, total = "
          "excluded.total, "
          "maximum = excluded.maximum, percent = excluded.percent, answers = excluded.answers, points = "
          "excluded.points, confidence = excluded.confidence, reason_mask = excluded.reason_mask, reasons = "
          "excluded.reasons",
      p);
  if (!score.reasons.empty())
    db_->Run("INSERT INTO flags(sheet_id) VALUES (?) ON CONFLICT DO NOTHING", Params().Int(sheet));
}

void Store::PutScores(Id exam, const std::vector<std::pair<Id, const ScoreRecord*>>& scores) {
  for (std::size_t from = 0; from < scores.size(); from += kChunk) {
    const std::size_t to = std::min(scores.size(), from + kChunk);
    Params ids;
    Params flagged;
    Params rows;
    for (std::size_t i = from; i < to; ++i) {
      ids.Int(scores[i].first);
      if (!scores[i].second->reasons.empty()) flagged.Int(scores[i].first);
      AddScore(rows, scores[i].first, exam, *scores[i].second);
    }
    db_->Run("DELETE FROM scores WHERE sheet_id IN (" + Marks(ids.size()) + ")", ids);
    db_->Insert("scores", kScoreColumns, rows);
    if (!flagged.empty())
      db_->Run(db::InsertRows("flags", {"sheet_id"}, flagged.size()) + " ON CONFLICT DO NOTHING", flagged);
  }
}

void Store::ReplaceScores(Id exam, const std::vector<std::pair<Id, const ScoreRecord*>>& scores) {
  db_->Run("DELETE FROM scores WHERE exam_id = ?", Params().Int(exam));
  for (std::size_t from = 0; from < scores.size(); from += kChunk) {
    const std::size_t to = std::min(scores.size(), from + kChunk);
    Params rows;
    rows.reserve((to - from) * kScoreColumns.size());
    for (std::size_t i = from; i < to; ++i) AddScore(rows, scores[i].first, exam, *scores[i].second);
    db_->Insert("scores", kScoreColumns, rows);
  }
  db_->Run(
      "INSERT INTO flags(sheet_id) SELECT sheet_id FROM scores WHERE exam_id = ? AND reason_mask <> 0 ON "
      "CONFLICT DO NOTHING",
      Params().Int(exam));
}

// "+s.number": sorting a handful of rows beats walking every sheet in
// number order, which a planner might otherwise choose.
std::vector<int> Store::SheetsWithGrid(Id exam, const std::string& hash) {
  std::vector<int> out;
  auto r = db_->Query(
      "SELECT s.number FROM sheets s LEFT JOIN scores c ON c.sheet_id = s.id WHERE s.exam_id = ? AND "
      "s.grid_hash = ? AND COALESCE(c.voided, 0) = 0 ORDER BY +s.number",
      Params().Int(exam).Text(hash));
  while (r->Next()) out.push_back(r->Int32(0));
  return out;
}

std::vector<int> Store::SheetsWithStudent(Id exam, const std::string& studentId) {
  std::vector<int> out;
  auto r = db_->Query(
      "SELECT number FROM scores WHERE exam_id = ? AND student_id = ? AND id_state = 'valid' AND voided = 0 "
      "ORDER BY +number",
      Params().Int(exam).Text(studentId));
  while (r->Next()) out.push_back(r->Int32(0));
  return out;
}

std::vector<SheetKey> Store::SheetsWithGrids(Id exam, const std::vector<std::string>& hashes) {
  std::vector<SheetKey> out;
  for (std::size_t from = 0; from < hashes.size(); from += kChunk) {
    const std::size_t to = std::min(hashes.size(), from + kChunk);
    Params p;
    p.Int(exam);
    for (std::size_t i = from; i < to; ++i) p.Text(hashes[i]);
    auto r = db_->Query(
        "SELECT s.number, s.station, s.read_at, s.grid_hash, COALESCE(c.voided, 0) FROM sheets s LEFT JOIN "
        "scores c "
        "ON c.sheet_id = s.id WHERE s.exam_id = ? AND s.grid_hash IN (" +
            Marks(to - from) + ")",
        p);
    while (r->Next()) out.push_back({r->Int32(0), r->Text(1), r->Text(2), r->Text(3), r->Int(4) != 0});
  }
  return out;
}

std::vector<std::pair<std::string, int>> Store::SheetsWithStudents(Id exam,
                                                                   const std::vector<std::string>& ids) {
  std::vector<std::pair<std::string, int>> out;
  for (std::size_t from = 0; from < ids.size(); from += kChunk) {
    const std::size_t to = std::min(ids.size(), from + kChunk);
    Params p;
    p.Int(exam);
    for (std::size_t i = from; i < to; ++i) p.Text(ids[i]);
    auto r = db_->Query(
        "SELECT student_id, number FROM scores WHERE exam_id = ? AND id_state = 'valid' AND voided = 0 AND "
        "student_id IN (" +
            Marks(to - from) + ")",
        p);
    while (r->Next()) out.emplace_back(r->Text(0), r->Int32(1));
  }
  return out;
}

std::optional<int> Store::FindReading(Id exam, const std::string& station, const std::string& readAt,
                                      const std::string& gridHash) {
  auto r = db_->Query(
      "SELECT number FROM sheets WHERE exam_id = ? AND grid_hash = ? AND station = ? AND read_at = ? ORDER "
      "BY "
      "number LIMIT 1",
      Params().Int(exam).Text(gridHash).Text(station).Text(readAt));
  if (!r->Next()) return std::nullopt;
  return r->Int32(0);
}

std::optional<SheetRecord> Store::FindSheet(Id exam, int number, bool withGrid) {
  auto r = db_->Query(std::string("SELECT ") + kSheetColumns + (withGrid ? ", s.grid" : ", NULL") +
                          " FROM sheets s WHERE s.exam_id = ? AND s.number = ?",
                      Params().Int(exam).Int(number));
  if (!r->Next()) return std::nullopt;
  SheetRecord s;
  ReadSheet(*r, s);
  if (withGrid) {
    const std::string grid = r->Text(kGridColumn);
    s.grid.assign(grid.begin(), grid.end());
  }
  return s;
}

std::vector<Response> Store::Responses(Id sheet) {
  auto r = db_->Query("SELECT marked, coded, doubtful, confidence FROM responses WHERE sheet_id = ?",
                      Params().Int(sheet));
  if (!r->Next()) return {};
  return ReadResponses(*r, 0, 0);
}

// A chunk of sheets at a time, then their responses by key (a join would let
// a planner read every response for each chunk): memory stays bounded however
// large the exam, and no statement is open while `visit` runs.
void Store::ForEachSheet(Id exam, bool withGrid,
                         const std::function<void(SheetRecord&, std::vector<Response>&)>& visit) {
  const std::string sql = std::string("SELECT ") + kSheetColumns + (withGrid ? ", s.grid" : ", NULL") +
                          " FROM sheets s WHERE s.exam_id = ? AND s.number > ? ORDER BY s.number LIMIT " +
                          std::to_string(kChunk);
  std::vector<SheetRecord> sheets;
  std::vector<std::vector<Response>> responses;
  for (int after = 0;;) {
    sheets.clear();
    {
      auto r = db_->Query(sql, Params().Int(exam).Int(after));
      while (r->Next()) {
        SheetRecord& s = sheets.emplace_back();
        ReadSheet(*r, s);
        if (withGrid) {
          const std::string grid = r->Text(kGridColumn);
          s.grid.assign(grid.begin(), grid.end());
        }
      }
    }
    if (sheets.empty()) return;
    responses.assign(sheets.size(), {});
    std::map<Id, std::size_t> at;
    Params ids;
    for (std::size_t i = 0; i < sheets.size(); ++i) {
      at[sheets[i].id] = i;
      ids.Int(sheets[i].id);
    }
    {
      auto r = db_->Query(
          "SELECT sheet_id, marked, coded, doubtful, confidence FROM responses WHERE sheet_id IN (" +
              Marks(ids.size()) + ")",
          ids);
      while (r->Next()) {
        const std::size_t i = at.at(r->Int(0));
        responses[i] = ReadResponses(*r, 1, sheets[i].number);
      }
    }
    for (std::size_t i = 0; i < sheets.size(); ++i) visit(sheets[i], responses[i]);
    if (sheets.size() < kChunk) return;
    after = sheets.back().number;
  }
}

int Store::SheetCount(Id exam) {
  auto r = db_->Query("SELECT COUNT(*) FROM sheets WHERE exam_id = ?", Params().Int(exam));
  r->Next();
  return r->Int32(0);
}

std::string Store::LastRead(Id exam) {
  auto r = db_->Query("SELECT read_at FROM sheets WHERE exam_id = ? ORDER BY number DESC LIMIT 1",
                      Params().Int(exam));
  return r->Next() ? r->Text(0) : std::string();
}

int Store::SheetCount(Id exam, const std::string& source) {
  auto r = db_->Query("SELECT COUNT(*) FROM sheets WHERE exam_id = ? AND source = ?",
                      Params().Int(exam).Text(source));
  r->Next();
  return r->Int32(0);
}

std::vector<StationCount> Store::Stations(Id exam) {
  std::vector<StationCount> out;
  auto r = db_->Query("SELECT station, COUNT(*) FROM sheets WHERE exam_id = ? GROUP BY station",
                      Params().Int(exam));
  while (r->Next()) out.push_back({r->Text(0), r->Int32(1)});
  // By their bytes, whatever the database's collation.
  std::sort(out.begin(), out.end(),
            [](const StationCount& a, const StationCount& b) { return a.station < b.station; });
  return out;
}

// Under the exam's lock, ids follow the order of the commits: the later
// correction of a question is the one with the larger id.
void Store::AddCorrection(Id exam, CorrectionRecord& c) {
  Locked(exam);
  Params p;
  p.Text(c.target)
      .Text(c.oldValue)
      .Text(c.newValue)
      .Text(c.author)
      .Text(c.madeAt)
      .Text(c.reason)
      .Key(c.undoes);
  p.Int(exam).Int(c.sheet);
  auto r = db_->Query(
      "INSERT INTO corrections(sheet_id, target, old_value, new_value, author, made_at, reason, undoes) "
      "SELECT s.id, ?, ?, ?, ?, ?, ?, ? FROM sheets s WHERE s.exam_id = ? AND s.number = ? RETURNING id",
      p);
  if (!r->Next()) throw StoreError("there is no sheet " + std::to_string(c.sheet));
  c.id = r->Int(0);
}

std::vector<CorrectionRecord> Store::Corrections(Id exam, int sheet) {
  std::vector<CorrectionRecord> out;
  // One statement per case: "(? = 0 OR number = ?)" would keep the index out.
  const std::string head =
      "SELECT c.id, s.number, c.target, c.old_value, c.new_value, c.author, c.made_at, c.reason, "
      "COALESCE(c.undoes, 0) FROM corrections c JOIN sheets s ON s.id = c.sheet_id WHERE s.exam_id = ?";
  auto r = sheet ? db_->Query(head + " AND s.number = ? ORDER BY c.id", Params().Int(exam).Int(sheet))
                 : db_->Query(head + " ORDER BY c.id", Params().Int(exam));
  while (r->Next())
    out.push_back({r->Int(0), r->Int32(1), r->Text(2), r->MaybeText(3), r->MaybeText(4), r->Text(5),
                   r->Text(6), r->Text(7), r->Int(8)});
  return out;
}

std::vector<ScoreRecord> Store::Scores(Id exam) {
  return ReadScores(exam, 0);
}

std::optional<ScoreRecord> Store::Score(Id exam, int sheet) {
  std::vector<ScoreRecord> one = ReadScores(exam, sheet);
  if (one.empty()) return std::nullopt;
  return std::move(one.front());
}

std::vector<ScoreRecord> Store::LatestScores(Id exam, int count) {
  std::vector<ScoreRecord> out = ReadScores(exam, 0, std::max(count, 0));
  std::reverse(out.begin(), out.end());
  return out;
}

std::vector<ScoreRecord> Store::ReadScores(Id exam, int sheet, int latest) {
  std::vector<ScoreRecord> out;
  const std::string head =
      "SELECT c.number, c.revision, c.scored, c.voided, c.student_id, c.id_state, c.version, c.total, "
      "c.maximum, "
      "c.percent, c.answers, c.points, c.confidence, c.reasons, CASE WHEN f.sheet_id IS NULL THEN 0 ELSE 1 "
      "END "
      "FROM scores c LEFT JOIN flags f ON f.sheet_id = c.sheet_id WHERE c.exam_id = ?";
  auto r = sheet    ? db_->Query(head + " AND c.number = ?", Params().Int(exam).Int(sheet))
           : latest ? db_->Query(head + " ORDER BY c.number DESC LIMIT ?", Params().Int(exam).Int(latest))
                    : db_->Query(head + " ORDER BY c.number", Params().Int(exam));
  while (r->Next()) {
    ScoreRecord s;
    s.sheet = r->Int32(0);
    s.revision = r->Int32(1);
    s.scored = r->Int(2) != 0;
    s.voided = r->Int(3) != 0;
    s.studentId = r->Text(4);
    s.idState = r->Text(5);
    s.version = r->Text(6);
    s.total = r->Null(7) ? 0 : r->Real(7);
    s.maximum = r->Null(8) ? 0 : r->Real(8);
    if (!r->Null(9)) s.percent = r->Real(9);
    s.answers = r->Text(10);
    s.points = r->Text(11);
    s.confidence = r->Real(12);
    if (!UnpackReasons(r->Text(13), s.reasons))
      throw StoreError("the review reasons of sheet " + std::to_string(s.sheet) + " are stored damaged");
    s.flagged = r->Int(14) != 0;
    out.push_back(std::move(s));
  }
  return out;
}

namespace {

// "SUM((reason_mask >> 0) & 1), ..." a column per reason of the vocabulary.
std::string PerReasonSums() {
  std::string out;
  for (std::size_t bit = 0; bit < Reasons().size(); ++bit)
    out += ", COALESCE(SUM((reason_mask >> " + std::to_string(bit) + ") & 1), 0)";
  return out;
}

void ReadPerReason(const db::Rows& r, int from, std::map<std::string, int>& out) {
  for (std::size_t bit = 0; bit < Reasons().size(); ++bit)
    if (const int n = r.Int32(from + static_cast<int>(bit))) out[std::string(Reasons()[bit].code)] = n;
}

}  // namespace

ScoreCounts Store::CountScores(Id exam) {
  ScoreCounts c;
  auto r = db_->Query(
      "SELECT COUNT(*), COALESCE(SUM(voided), 0), COALESCE(SUM(scored), 0), COUNT(DISTINCT CASE WHEN scored "
      "<> 0 "
      "AND id_state = 'valid' THEN student_id END), COALESCE(SUM(CASE WHEN reason_mask <> 0 THEN 1 ELSE 0 "
      "END), 0)" +
          PerReasonSums() + " FROM scores WHERE exam_id = ?",
      Params().Int(exam));
  r->Next();
  c.sheets = r->Int32(0);
  c.voided = r->Int32(1);
  c.scored = r->Int32(2);
  c.students = r->Int32(3);
  c.waiting = r->Int32(4);
  ReadPerReason(*r, 5, c.byReason);
  return c;
}

std::vector<QueueEntry> Store::ReviewQueue(Id exam, const std::string& reason, int offset, int limit) {
  std::vector<QueueEntry> out;
  const unsigned bit = reason.empty() ? 0 : ReasonBit(reason);
  if (!reason.empty() && !bit) return out;  // no sheet has a reason that is none
  Params p;
  p.Int(exam);
  if (bit) p.Int(bit);
  p.Int(std::max(limit, 0)).Int(std::max(offset, 0));
  // "reason_mask <> 0" as the queue's index has it.
  auto r = db_->Query(
      std::string("SELECT number, student_id, id_state, confidence, reasons FROM scores WHERE "
                  "exam_id = ? AND reason_mask <> 0") +
          (bit ? " AND (reason_mask & ?) <> 0" : "") + " ORDER BY confidence, number LIMIT ? OFFSET ?",
      p);
  while (r->Next()) {
    QueueEntry e{r->Int32(0), r->Text(1), r->Text(2), r->Real(3), {}};
    if (!UnpackReasons(r->Text(4), e.reasons))
      throw StoreError("the review reasons of sheet " + std::to_string(e.sheet) + " are stored damaged");
    out.push_back(std::move(e));
  }
  return out;
}

ReviewCounts Store::CountReview(Id exam) {
  ReviewCounts counts;
  {
    // A project of one exam (the usual) counts its flags without reaching
    // into the sheets: PostgreSQL would read every sheet row for the join.
    bool alone = false;
    {
      auto e = db_->Query("SELECT COUNT(*) FROM exams");
      alone = e->Next() && e->Int(0) == 1;
    }
    auto r = alone
                 ? db_->Query("SELECT COUNT(*) FROM flags")
                 : db_->Query(
                       "SELECT COUNT(*) FROM flags f JOIN sheets s ON s.id = f.sheet_id WHERE s.exam_id = ?",
                       Params().Int(exam));
    r->Next();
    counts.flagged = r->Int32(0);
  }
  auto r =
      db_->Query("SELECT COUNT(*)" + PerReasonSums() + " FROM scores WHERE exam_id = ? AND reason_mask <> 0",
                 Params().Int(exam));
  r->Next();
  counts.waiting = r->Int32(0);
  ReadPerReason(*r, 1, counts.byReason);
  return counts;
}

// The database's clock: every process on the project sees one time. Two
// claims of one sheet at once: the upsert of the second waits for the first
// (PostgreSQL) or for the file (SQLite) and then finds its row.
ClaimRecord Store::Claim(Id exam, int sheet, const std::string& holder, int seconds) {
  const db::Dialect& d = db_->dialect();
  // Per claim row, not per sheet of the exam: there are few claims.
  db_->Run(
      "DELETE FROM claims WHERE (SELECT exam_id FROM sheets s WHERE s.id = claims.sheet_id) = ? AND "
      "(expires_at <= " +
          std::string(d.now) +
          " OR (holder = ? AND sheet_id <> (SELECT id FROM sheets WHERE exam_id = ? AND number = ?)))",
      Params().Int(exam).Text(holder).Int(exam).Int(sheet));
  db_->Run("INSERT INTO claims(sheet_id, holder, claimed_at, expires_at) SELECT id, ?, " +
               std::string(d.now) + ", " + std::string(d.nowPlusSeconds) +
               " FROM sheets WHERE exam_id = ? AND number = ? ON CONFLICT(sheet_id) DO UPDATE SET holder = "
               "excluded.holder, claimed_at = CASE WHEN claims.holder = excluded.holder THEN "
               "claims.claimed_at ELSE "
               "excluded.claimed_at END, expires_at = excluded.expires_at WHERE claims.holder = "
               "excluded.holder OR "
               "claims.expires_at <= excluded.claimed_at",
           Params().Text(holder).Int(seconds).Int(exam).Int(sheet));
  auto r = db_->Query(
      "SELECT c.holder, c.claimed_at, c.expires_at FROM claims c JOIN sheets s ON s.id = c.sheet_id WHERE "
      "s.exam_id = ? AND s.number = ?",
      Params().Int(exam).Int(sheet));
  if (!r->Next()) throw StoreError("there is no sheet " + std::to_string(sheet));
  return {sheet, r->Text(0), r->Text(1), r->Text(2)};
}

void Store::Release(Id exam, int sheet, const std::string& holder) {
  db_->Run(
      "DELETE FROM claims WHERE holder = ? AND sheet_id = (SELECT id FROM sheets WHERE exam_id = ? AND "
      "number = ?)",
      Params().Text(holder).Int(exam).Int(sheet));
}

std::vector<ClaimRecord> Store::Claims(Id exam) {
  std::vector<ClaimRecord> out;
  auto r = db_->Query(
      "SELECT s.number, c.holder, c.claimed_at, c.expires_at FROM claims c JOIN sheets s ON s.id = "
      "c.sheet_id "
      "WHERE s.exam_id = ? AND c.expires_at > " +
          std::string(db_->dialect().now) + " ORDER BY s.number",
      Params().Int(exam));
  while (r->Next()) out.push_back({r->Int32(0), r->Text(1), r->Text(2), r->Text(3)});
  return out;
}

void Store::CopyTo(const std::string& path) {
  db_->CopyTo(path);
}

bool Store::InPlace() {
  return db_->InPlace();
}

Relocation Store::Secure() {
  return db_->Secure();
}

bool Store::ReadOnly() const {
  return db_->ReadOnly();
}

void Store::CopyToMemory() {
  db_->CopyToMemory();
}

void Store::PrepareSchema(bool create) {
  if (db_->ReadOnly()) {
    // Nothing written to the file: an older schema is migrated in a copy in memory.
    const std::vector<std::string> tables = db_->Tables();
    const int version =
        std::find(tables.begin(), tables.end(), "schema_version") != tables.end() ? SchemaVersion() : 0;
    if (version > schema::Version())
      throw StoreError(Location() + " has schema version " + std::to_string(version) +
                       "; this omrctl knows up to " + std::to_string(schema::Version()) +
                       ": use a newer omrctl");
    if (version == 0)
      throw StoreError(Location() + " holds no exam project (make one with: omrctl exam new)");
    if (version == schema::Version()) return;
    db_->CopyToMemory();
  }
  db_->Begin();
  try {
    db_->LockSchema();
    const std::vector<std::string> tables = db_->Tables();
    const bool hasVersion = std::find(tables.begin(), tables.end(), "schema_version") != tables.end();
    if (!hasVersion && !tables.empty())
      throw StoreError(Location() + " is not an exam project: it holds other tables (" + tables[0] +
                       (tables.size() > 1 ? ", ..." : "") + "); give an empty database");
    if (!hasVersion && !create)
      throw StoreError(Location() + " holds no exam project (make one with: omrctl exam new)");
    if (hasVersion && create)
      throw StoreError(
          Location() +
          " holds an exam project already: a new one is never made over it (add an exam to it with: "
          "omrctl exam new --add)");
    if (!hasVersion) {
      db_->Script(schema::CreateAll(db_->dialect()));
    } else if (const int version = SchemaVersion(); version > schema::Version()) {
      throw StoreError(Location() + " has schema version " + std::to_string(version) +
                       "; this omrctl knows up to " + std::to_string(schema::Version()) +
                       ": use a newer omrctl");
    } else if (version < schema::Version()) {
      schema::Migrate(*db_, version);
    }
    db_->Commit();
  } catch (...) {
    db_->Rollback();
    throw;
  }
}

bool IsServerLocation(const std::string& location) {
  return db::IsPostgresLocation(location);
}

bool LooksLikeProject(const std::string& location) {
  return IsServerLocation(location) || db::IsSqliteDatabase(location);
}

namespace {

std::unique_ptr<Store> MakeStore(const std::string& location, bool create, Access access) {
  const bool server = IsServerLocation(location);
  auto store = std::make_unique<Store>(server ? db::OpenPostgres(location, create)
                                              : db::OpenSqlite(location, create, access));
  try {
    store->PrepareSchema(create);
  } catch (...) {
    store.reset();
    // A file made just now for the project goes again.
    if (create && !server) ::unlink(location.c_str());
    throw;
  }
  return store;
}

}  // namespace

std::unique_ptr<Store> OpenStore(const std::string& location, Access access) {
  return MakeStore(location, false, access);
}

std::unique_ptr<Store> CreateStore(const std::string& location) {
  return MakeStore(location, true, Access::kWrite);
}

int LatestSchemaVersion() {
  return schema::Version();
}

}  // namespace omr::exam
