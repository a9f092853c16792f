#include "sqlite_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <map>
#include <thread>
#include <vector>

#include "write_file.h"

namespace omr::exam {

namespace {

// "OMRE": marks the file as an exam project, so a stray SQLite file is refused.
constexpr int kApplicationId = 0x4F4D5245;
constexpr int kBusyMs = 15000;

// Migration i brings the schema from version i to i + 1.
const char* const kMigrations[] = {
    R"sql(
CREATE TABLE schema_version(version INTEGER NOT NULL);
INSERT INTO schema_version VALUES (0);
CREATE TABLE exams(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE,
  created_at TEXT NOT NULL,
  revision INTEGER NOT NULL DEFAULT 0);
CREATE TABLE revisions(
  exam_id INTEGER NOT NULL REFERENCES exams(id),
  revision INTEGER NOT NULL,
  created_at TEXT NOT NULL,
  author TEXT NOT NULL,
  kind TEXT NOT NULL,
  exam_name TEXT NOT NULL,
  exam_text BLOB NOT NULL,
  form_name TEXT NOT NULL,
  form_text BLOB NOT NULL,
  roster_name TEXT NOT NULL,
  roster_text BLOB NOT NULL,
  note TEXT NOT NULL,
  PRIMARY KEY(exam_id, revision));
CREATE TABLE batches(
  id INTEGER PRIMARY KEY,
  exam_id INTEGER NOT NULL REFERENCES exams(id),
  station TEXT NOT NULL,
  started_at TEXT NOT NULL,
  ended_at TEXT,
  sheets INTEGER NOT NULL DEFAULT 0,
  outcome TEXT);
CREATE TABLE sheets(
  id INTEGER PRIMARY KEY,
  exam_id INTEGER NOT NULL REFERENCES exams(id),
  number INTEGER NOT NULL,
  station TEXT NOT NULL,
  station_number INTEGER NOT NULL,
  batch_id INTEGER REFERENCES batches(id),
  read_at TEXT NOT NULL,
  source TEXT NOT NULL,
  origin TEXT NOT NULL,
  serial TEXT NOT NULL,
  firmware TEXT NOT NULL,
  letter TEXT NOT NULL,
  code INTEGER NOT NULL,
  result BLOB NOT NULL,
  grid_lines INTEGER NOT NULL,
  grid_columns INTEGER NOT NULL,
  grid BLOB,
  grid_hash TEXT NOT NULL,
  UNIQUE(exam_id, number),
  UNIQUE(exam_id, station, station_number));
CREATE INDEX sheets_by_grid ON sheets(exam_id, grid_hash);
CREATE TABLE responses(
  sheet_id INTEGER NOT NULL REFERENCES sheets(id),
  question INTEGER NOT NULL,
  marked TEXT NOT NULL,
  coded INTEGER NOT NULL,
  confidence REAL NOT NULL,
  doubtful INTEGER NOT NULL,
  PRIMARY KEY(sheet_id, question)) WITHOUT ROWID;
CREATE TABLE corrections(
  id INTEGER PRIMARY KEY,
  sheet_id INTEGER NOT NULL REFERENCES sheets(id),
  target TEXT NOT NULL,
  old_value TEXT,
  new_value TEXT,
  author TEXT NOT NULL,
  made_at TEXT NOT NULL,
  reason TEXT NOT NULL);
CREATE INDEX corrections_by_sheet ON corrections(sheet_id);
CREATE TABLE scores(
  sheet_id INTEGER PRIMARY KEY REFERENCES sheets(id),
  revision INTEGER NOT NULL,
  scored INTEGER NOT NULL,
  voided INTEGER NOT NULL,
  student_id TEXT NOT NULL,
  id_state TEXT NOT NULL,
  version TEXT NOT NULL,
  total REAL,
  maximum REAL,
  percent REAL,
  answers TEXT NOT NULL,
  points TEXT NOT NULL);
CREATE INDEX scores_by_student ON scores(student_id);
CREATE TABLE reasons(
  sheet_id INTEGER NOT NULL REFERENCES sheets(id),
  reason TEXT NOT NULL,
  question INTEGER NOT NULL,
  detail TEXT NOT NULL);
CREATE INDEX reasons_by_sheet ON reasons(sheet_id);
)sql",
    // The review queue: each sheet's confidence, whether it ever needed a
    // person, and undos. Projects scored before this take the least
    // confidence of all their questions until their next re-scoring.
    R"sql(
ALTER TABLE scores ADD COLUMN confidence REAL NOT NULL DEFAULT 1;
ALTER TABLE scores ADD COLUMN flagged INTEGER NOT NULL DEFAULT 0;
ALTER TABLE corrections ADD COLUMN undoes INTEGER REFERENCES corrections(id);
UPDATE scores SET flagged = 1 WHERE sheet_id IN (SELECT sheet_id FROM reasons);
UPDATE scores SET confidence = CASE
  WHEN (SELECT code FROM sheets WHERE id = scores.sheet_id) != 0 THEN 0
  ELSE COALESCE((SELECT MIN(confidence) FROM responses r WHERE r.sheet_id = scores.sheet_id), 1) END;
CREATE INDEX reasons_by_reason ON reasons(reason, sheet_id);
)sql",
    // Who has a sheet open in the review page; lapsed rows are dropped by
    // the next claim.
    R"sql(
CREATE TABLE claims(
  sheet_id INTEGER PRIMARY KEY REFERENCES sheets(id),
  holder TEXT NOT NULL,
  claimed_at TEXT NOT NULL,
  expires_at TEXT NOT NULL);
)sql",
    // Each exam's identity, to tell it from another made from the same files;
    // an exam made before keeps "" (its identity follows from its first revision).
    R"sql(
ALTER TABLE exams ADD COLUMN uid TEXT NOT NULL DEFAULT '';
)sql",
    // Who typed in a sheet the reader could not take ("" for sheets a reader
    // or an import brought); sheets counted by source without reading them.
    R"sql(
ALTER TABLE sheets ADD COLUMN author TEXT NOT NULL DEFAULT '';
CREATE INDEX sheets_by_source ON sheets(exam_id, source);
)sql",
};
// The database's clock in a form that sorts as it reads.
#define OMR_NOW "strftime('%Y-%m-%dT%H:%M:%fZ', 'now')"

constexpr int kLatest = static_cast<int>(sizeof kMigrations / sizeof kMigrations[0]);

struct DbClose {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtFinalize {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};

class SqliteStore;

// A prepared statement in use: bound, stepped, then reset for the next use.
class Query {
 public:
  Query(SqliteStore& store, sqlite3_stmt* stmt) : store_(store), stmt_(stmt) {}
  ~Query() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& Bind(std::int64_t v) { return Check(sqlite3_bind_int64(stmt_, ++index_, v)); }
  Query& Bind(int v) { return Check(sqlite3_bind_int64(stmt_, ++index_, v)); }
  Query& Bind(double v) { return Check(sqlite3_bind_double(stmt_, ++index_, v)); }
  Query& Bind(const std::string& v) {
    return Check(sqlite3_bind_text(stmt_, ++index_, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
  }
  Query& Blob(const std::string& v) {
    return Check(sqlite3_bind_blob(stmt_, ++index_, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
  }
  Query& Blob(const std::vector<std::uint8_t>& v) {
    if (v.empty()) return Check(sqlite3_bind_null(stmt_, ++index_));
    return Check(sqlite3_bind_blob(stmt_, ++index_, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
  }
  Query& Bind(const std::optional<std::string>& v) {
    return v ? Bind(*v) : Check(sqlite3_bind_null(stmt_, ++index_));
  }
  Query& Bind(const std::optional<double>& v) {
    return v ? Bind(*v) : Check(sqlite3_bind_null(stmt_, ++index_));
  }

  bool Step();  // true: a row
  void Run() {
    while (Step()) {
    }
  }

  std::int64_t Int(int c) const { return sqlite3_column_int64(stmt_, c); }
  double Real(int c) const { return sqlite3_column_double(stmt_, c); }
  bool Null(int c) const { return sqlite3_column_type(stmt_, c) == SQLITE_NULL; }
  std::string Text(int c) const {
    const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, c));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, c))) : std::string();
  }
  std::vector<std::uint8_t> Bytes(int c) const {
    const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, c));
    return p ? std::vector<std::uint8_t>(p, p + sqlite3_column_bytes(stmt_, c)) : std::vector<std::uint8_t>();
  }
  std::optional<std::string> MaybeText(int c) const {
    if (Null(c)) return std::nullopt;
    return Text(c);
  }

 private:
  Query& Check(int rc);
  SqliteStore& store_;
  sqlite3_stmt* stmt_;
  int index_ = 0;
};

class SqliteStore final : public Store {
 public:
  explicit SqliteStore(std::string path) : path_(std::move(path)) {}

  // `version` 0: the latest schema.
  void Open(Access access, bool create, int version = 0) {
    readOnly_ = access == Access::kRead;
    Connect(path_, readOnly_ ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE);
    int app = 0;
    try {
      app = static_cast<int>(Single("PRAGMA application_id"));
    } catch (const StoreError&) {
      const int code = sqlite3_errcode(db_.get()) & 0xFF;
      if (code == SQLITE_NOTADB) throw NotAProject();
      if (code == SQLITE_CORRUPT) throw Damaged(sqlite3_errmsg(db_.get()));
      if (!readOnly_ && sqlite3_db_readonly(db_.get(), "main") == 1) throw NotWritable();
      if (!readOnly_ || code != SQLITE_CANTOPEN) throw;
      OpenImmutable();
      app = static_cast<int>(Single("PRAGMA application_id"));
    }
    if (!create && app != kApplicationId) throw NotAProject();
    if (!readOnly_ && sqlite3_db_readonly(db_.get(), "main") == 1) throw NotWritable();
    // The file this store holds, to see it moved or deleted under it.
    struct stat st {};
    if (!readOnly_ && ::stat(path_.c_str(), &st) == 0) {
      held_ = true;
      device_ = st.st_dev;
      inode_ = st.st_ino;
    }
    // Before anything is written: a damaged file stays as it is.
    if (access == Access::kWrite && !create) QuickCheck();
    const int target = version ? version : kLatest;
    if (readOnly_) {
      const int have = HasTable("schema_version") ? SchemaVersion() : 0;
      if (have > kLatest) throw TooNew(have);
      if (have == target) return;
      // An older schema read without changing the file: migrated in a copy in memory.
      CopyToMemory();
      Migrate(target);
      return;
    }
    if (create) {
      Exec("PRAGMA journal_mode = WAL");
      Exec("PRAGMA application_id = " + std::to_string(kApplicationId));
    } else if (Text("PRAGMA journal_mode") != "wal") {
      Exec("PRAGMA journal_mode = WAL");
    }
    // A power cut loses at most the transaction in flight (WAL, synchronous NORMAL
    // would lose the last commits; FULL keeps them).
    Exec("PRAGMA synchronous = FULL");
    Migrate(target);
  }

  std::string Location() const override { return path_; }
  bool Shared() const override { return false; }
  int SchemaVersion() override { return static_cast<int>(Single("SELECT version FROM schema_version")); }

  void Begin() override {
    if (inTransaction_) throw StoreError("a transaction is already open on " + path_);
    Exec("BEGIN IMMEDIATE");
    inTransaction_ = true;
  }
  void Commit() override {
    Exec("COMMIT");
    inTransaction_ = false;
  }
  void Rollback() noexcept override {
    if (!inTransaction_) return;
    sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    inTransaction_ = false;
  }

  // BEGIN IMMEDIATE holds the one write lock of the file already.
  int LockExam(Id exam) override {
    Query q = Prepare("SELECT revision FROM exams WHERE id = ?");
    q.Bind(exam);
    if (!q.Step()) throw StoreError("there is no exam " + std::to_string(exam) + " in " + path_);
    return static_cast<int>(q.Int(0));
  }

  Id CreateExam(const std::string& name, const std::string& createdAt, const std::string& uid) override {
    Query q = Prepare("INSERT INTO exams(name, created_at, uid) VALUES (?, ?, ?)");
    q.Bind(name).Bind(createdAt).Bind(uid);
    try {
      q.Run();
    } catch (const StoreError&) {
      if (sqlite3_extended_errcode(db_.get()) == SQLITE_CONSTRAINT_UNIQUE)
        throw StoreError("the project " + path_ + " already holds an exam named " + name);
      throw;
    }
    return sqlite3_last_insert_rowid(db_.get());
  }

  std::vector<ExamRecord> Exams() override {
    std::vector<ExamRecord> out;
    Query q = Prepare("SELECT id, name, created_at, revision, uid FROM exams ORDER BY id");
    while (q.Step()) out.push_back({q.Int(0), q.Text(1), q.Text(2), static_cast<int>(q.Int(3)), q.Text(4)});
    return out;
  }

  int AddRevision(Id exam, const RevisionRecord& r) override {
    int next = 0;
    {
      Query q = Prepare("SELECT COALESCE(MAX(revision), 0) + 1 FROM revisions WHERE exam_id = ?");
      q.Bind(exam);
      q.Step();
      next = static_cast<int>(q.Int(0));
    }
    {
      Query q = Prepare(
          "INSERT INTO revisions(exam_id, revision, created_at, author, kind, exam_name, exam_text, "
          "form_name, "
          "form_text, roster_name, roster_text, note) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
      // The file texts as bytes: a roster or form need not be UTF-8.
      q.Bind(exam).Bind(next).Bind(r.createdAt).Bind(r.author).Bind(r.kind).Bind(r.examName).Blob(r.examText);
      q.Bind(r.formName).Blob(r.formText).Bind(r.rosterName).Blob(r.rosterText).Bind(r.note);
      q.Run();
    }
    Query q = Prepare("UPDATE exams SET revision = ? WHERE id = ?");
    q.Bind(next).Bind(exam);
    q.Run();
    return next;
  }

  RevisionRecord Revision(Id exam, int revision) override {
    Query q = Prepare(
        "SELECT revision, created_at, author, kind, exam_name, exam_text, form_name, form_text, roster_name, "
        "roster_text, note FROM revisions WHERE exam_id = ? AND revision = "
        "CASE WHEN ? = 0 THEN (SELECT revision FROM exams WHERE id = ?) ELSE ? END");
    q.Bind(exam).Bind(revision).Bind(exam).Bind(revision);
    if (!q.Step()) throw StoreError("the exam has no revision " + std::to_string(revision) + " in " + path_);
    return {static_cast<int>(q.Int(0)),
            q.Text(1),
            q.Text(2),
            q.Text(3),
            q.Text(4),
            q.Text(5),
            q.Text(6),
            q.Text(7),
            q.Text(8),
            q.Text(9),
            q.Text(10)};
  }

  std::vector<RevisionRecord> Revisions(Id exam) override {
    std::vector<RevisionRecord> out;
    Query q = Prepare(
        "SELECT revision, created_at, author, kind, exam_name, form_name, roster_name, note FROM revisions "
        "WHERE exam_id = ? ORDER BY revision");
    q.Bind(exam);
    while (q.Step()) {
      RevisionRecord r;
      r.revision = static_cast<int>(q.Int(0));
      r.createdAt = q.Text(1);
      r.author = q.Text(2);
      r.kind = q.Text(3);
      r.examName = q.Text(4);
      r.formName = q.Text(5);
      r.rosterName = q.Text(6);
      r.note = q.Text(7);
      out.push_back(std::move(r));
    }
    return out;
  }

  Id BeginBatch(Id exam, const std::string& station, const std::string& startedAt) override {
    Query q = Prepare("INSERT INTO batches(exam_id, station, started_at) VALUES (?, ?, ?)");
    q.Bind(exam).Bind(station).Bind(startedAt);
    q.Run();
    return sqlite3_last_insert_rowid(db_.get());
  }

  void EndBatch(Id batch, const std::string& endedAt, const std::string& outcome) override {
    Query q = Prepare("UPDATE batches SET ended_at = ?, outcome = ? WHERE id = ?");
    q.Bind(endedAt).Bind(outcome).Bind(batch);
    q.Run();
  }

  std::vector<BatchRecord> Batches(Id exam) override {
    std::vector<BatchRecord> out;
    Query q = Prepare(
        "SELECT id, station, started_at, COALESCE(ended_at, ''), sheets, COALESCE(outcome, '') FROM batches "
        "WHERE exam_id = ? ORDER BY id");
    q.Bind(exam);
    while (q.Step())
      out.push_back({q.Int(0), q.Text(1), q.Text(2), q.Text(3), static_cast<int>(q.Int(4)), q.Text(5)});
    return out;
  }

  void AddSheet(Id exam, SheetRecord& s) override {
    {
      Query q = Prepare(
          "SELECT (SELECT COALESCE(MAX(number), 0) + 1 FROM sheets WHERE exam_id = ?1), "
          "(SELECT COALESCE(MAX(station_number), 0) + 1 FROM sheets WHERE exam_id = ?1 AND station = ?2)");
      q.Bind(exam).Bind(s.station);
      q.Step();
      s.number = static_cast<int>(q.Int(0));
      s.stationNumber = static_cast<int>(q.Int(1));
    }
    {
      Query q = Prepare(
          "INSERT INTO sheets(exam_id, number, station, station_number, batch_id, read_at, source, origin, "
          "serial, "
          "firmware, letter, code, result, grid_lines, grid_columns, grid, grid_hash, author) "
          "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
      q.Bind(exam).Bind(s.number).Bind(s.station).Bind(s.stationNumber);
      if (s.batch)
        q.Bind(s.batch);
      else
        q.Bind(std::optional<std::string>());
      q.Bind(s.readAt).Bind(s.source).Bind(s.origin).Bind(s.serial).Bind(s.firmware);
      q.Bind(s.letter ? std::string(1, s.letter) : std::string()).Bind(s.code).Blob(s.result);
      q.Bind(s.lines).Bind(s.columns).Blob(s.grid).Bind(s.gridHash).Bind(s.author);
      q.Run();
      s.id = sqlite3_last_insert_rowid(db_.get());
    }
    if (s.batch) {
      Query q = Prepare("UPDATE batches SET sheets = sheets + 1 WHERE id = ?");
      q.Bind(s.batch);
      q.Run();
    }
  }

  void PutRecognition(Id sheet, int code, char letter, const std::string& result) override {
    Query q = Prepare("UPDATE sheets SET code = ?, letter = ?, result = ? WHERE id = ?");
    q.Bind(code).Bind(letter ? std::string(1, letter) : std::string()).Blob(result).Bind(sheet);
    q.Run();
  }

  void PutResponses(Id sheet, const std::vector<Response>& responses) override {
    {
      Query q = Prepare("DELETE FROM responses WHERE sheet_id = ?");
      q.Bind(sheet);
      q.Run();
    }
    for (const Response& r : responses) {
      Query q = Prepare(
          "INSERT INTO responses(sheet_id, question, marked, coded, confidence, doubtful) VALUES (?, ?, ?, "
          "?, ?, ?)");
      q.Bind(sheet).Bind(r.question).Bind(r.marked).Bind(static_cast<int>(r.character)).Bind(r.confidence);
      q.Bind(r.doubtful);
      q.Run();
    }
  }

  void PutScore(Id sheet, const ScoreRecord& s) override {
    {
      // An upsert, not a replace: "flagged" stays once set.
      Query q = Prepare(
          "INSERT INTO scores(sheet_id, revision, scored, voided, student_id, id_state, version, total, "
          "maximum, percent, answers, points, confidence, flagged) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
          "?, "
          "?, ?) ON CONFLICT(sheet_id) DO UPDATE SET revision = excluded.revision, scored = excluded.scored, "
          "voided = excluded.voided, student_id = excluded.student_id, id_state = excluded.id_state, "
          "version = excluded.version, total = excluded.total, maximum = excluded.maximum, "
          "percent = excluded.percent, answers = excluded.answers, points = excluded.points, "
          "confidence = excluded.confidence, flagged = MAX(scores.flagged, excluded.flagged)");
      q.Bind(sheet).Bind(s.revision).Bind(s.scored ? 1 : 0).Bind(s.voided ? 1 : 0).Bind(s.studentId);
      q.Bind(s.idState).Bind(s.version);
      q.Bind(s.scored ? std::optional<double>(s.total) : std::nullopt);
      q.Bind(s.scored ? std::optional<double>(s.maximum) : std::nullopt);
      q.Bind(s.scored ? s.percent : std::nullopt).Bind(s.answers).Bind(s.points);
      q.Bind(s.confidence).Bind(s.flagged || !s.reasons.empty() ? 1 : 0);
      q.Run();
    }
    {
      Query q = Prepare("DELETE FROM reasons WHERE sheet_id = ?");
      q.Bind(sheet);
      q.Run();
    }
    for (const Reason& r : s.reasons) {
      Query q = Prepare("INSERT INTO reasons(sheet_id, reason, question, detail) VALUES (?, ?, ?, ?)");
      q.Bind(sheet).Bind(r.code).Bind(r.question).Bind(r.detail);
      q.Run();
    }
  }

  // "+s.number": sorting a handful of rows beats walking every sheet in
  // number order, which the planner would otherwise choose.
  std::vector<int> SheetsWithGrid(Id exam, const std::string& hash) override {
    std::vector<int> out;
    Query q = Prepare(
        "SELECT s.number FROM sheets s LEFT JOIN scores c ON c.sheet_id = s.id WHERE s.exam_id = ? AND "
        "s.grid_hash = ? AND COALESCE(c.voided, 0) = 0 ORDER BY +s.number");
    q.Bind(exam).Bind(hash);
    while (q.Step()) out.push_back(static_cast<int>(q.Int(0)));
    return out;
  }

  std::vector<int> SheetsWithStudent(Id exam, const std::string& studentId) override {
    std::vector<int> out;
    Query q = Prepare(
        "SELECT s.number FROM scores c JOIN sheets s ON s.id = c.sheet_id WHERE s.exam_id = ? AND "
        "c.student_id = ? AND c.id_state = 'valid' AND c.voided = 0 ORDER BY +s.number");
    q.Bind(exam).Bind(studentId);
    while (q.Step()) out.push_back(static_cast<int>(q.Int(0)));
    return out;
  }

  std::optional<int> FindReading(Id exam, const std::string& station, const std::string& readAt,
                                 const std::string& gridHash) override {
    Query q = Prepare(
        "SELECT number FROM sheets WHERE exam_id = ? AND grid_hash = ? AND station = ? AND read_at = ? "
        "ORDER BY number LIMIT 1");
    q.Bind(exam).Bind(gridHash).Bind(station).Bind(readAt);
    if (!q.Step()) return std::nullopt;
    return static_cast<int>(q.Int(0));
  }

  static constexpr const char* kSheetColumns =
      "s.id, s.number, s.station, s.station_number, COALESCE(s.batch_id, 0), s.read_at, s.source, s.origin, "
      "s.serial, s.firmware, s.letter, s.code, s.result, s.grid_lines, s.grid_columns, s.grid_hash, s.author";

  static void ReadSheet(const Query& q, SheetRecord& s) {
    s.id = q.Int(0);
    s.number = static_cast<int>(q.Int(1));
    s.station = q.Text(2);
    s.stationNumber = static_cast<int>(q.Int(3));
    s.batch = q.Int(4);
    s.readAt = q.Text(5);
    s.source = q.Text(6);
    s.origin = q.Text(7);
    s.serial = q.Text(8);
    s.firmware = q.Text(9);
    const std::string letter = q.Text(10);
    s.letter = letter.empty() ? 0 : letter[0];
    s.code = static_cast<int>(q.Int(11));
    s.result = q.Text(12);
    s.lines = static_cast<int>(q.Int(13));
    s.columns = static_cast<int>(q.Int(14));
    s.gridHash = q.Text(15);
    s.author = q.Text(16);
  }

  std::optional<SheetRecord> FindSheet(Id exam, int number, bool withGrid) override {
    Query q = Prepare(std::string("SELECT ") + kSheetColumns +
                      ", s.grid FROM sheets s WHERE s.exam_id = ? AND s.number = ?");
    q.Bind(exam).Bind(number);
    if (!q.Step()) return std::nullopt;
    SheetRecord s;
    ReadSheet(q, s);
    if (withGrid) s.grid = q.Bytes(17);
    return s;
  }

  std::vector<Response> Responses(Id sheet) override {
    std::vector<Response> out;
    Query q = Prepare(
        "SELECT question, marked, coded, confidence, doubtful FROM responses WHERE sheet_id = ? ORDER BY "
        "question");
    q.Bind(sheet);
    while (q.Step())
      out.push_back({static_cast<int>(q.Int(0)), q.Text(1), static_cast<unsigned char>(q.Int(2)), q.Real(3),
                     static_cast<int>(q.Int(4))});
    return out;
  }

  void ForEachSheet(Id exam, bool withGrid,
                    const std::function<void(SheetRecord&, std::vector<Response>&)>& visit) override {
    // One pass over sheets joined with their responses, in key order.
    Query q = Prepare(
        std::string("SELECT ") + kSheetColumns + (withGrid ? ", s.grid" : ", NULL") +
        ", r.question, r.marked, r.coded, r.confidence, r.doubtful FROM sheets s "
        "LEFT JOIN responses r ON r.sheet_id = s.id WHERE s.exam_id = ? ORDER BY s.number, r.question");
    q.Bind(exam);
    SheetRecord sheet;
    std::vector<Response> responses;
    bool have = false;
    while (q.Step()) {
      const Id id = q.Int(0);
      if (!have || id != sheet.id) {
        if (have) visit(sheet, responses);
        sheet = SheetRecord{};
        responses.clear();
        ReadSheet(q, sheet);
        if (withGrid) sheet.grid = q.Bytes(17);
        have = true;
      }
      if (!q.Null(18))
        responses.push_back({static_cast<int>(q.Int(18)), q.Text(19), static_cast<unsigned char>(q.Int(20)),
                             q.Real(21), static_cast<int>(q.Int(22))});
    }
    if (have) visit(sheet, responses);
  }

  int SheetCount(Id exam) override {
    Query q = Prepare("SELECT COUNT(*) FROM sheets WHERE exam_id = ?");
    q.Bind(exam);
    q.Step();
    return static_cast<int>(q.Int(0));
  }

  int SheetCount(Id exam, const std::string& source) override {
    Query q = Prepare("SELECT COUNT(*) FROM sheets WHERE exam_id = ? AND source = ?");
    q.Bind(exam).Bind(source);
    q.Step();
    return static_cast<int>(q.Int(0));
  }

  std::vector<StationCount> Stations(Id exam) override {
    std::vector<StationCount> out;
    Query q =
        Prepare("SELECT station, COUNT(*) FROM sheets WHERE exam_id = ? GROUP BY station ORDER BY station");
    q.Bind(exam);
    while (q.Step()) out.push_back({q.Text(0), static_cast<int>(q.Int(1))});
    return out;
  }

  void AddCorrection(Id exam, CorrectionRecord& c) override {
    Id sheet = 0;
    {
      Query q = Prepare("SELECT id FROM sheets WHERE exam_id = ? AND number = ?");
      q.Bind(exam).Bind(c.sheet);
      if (!q.Step()) throw StoreError("there is no sheet " + std::to_string(c.sheet));
      sheet = q.Int(0);
    }
    Query q = Prepare(
        "INSERT INTO corrections(sheet_id, target, old_value, new_value, author, made_at, reason, undoes) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    q.Bind(sheet)
        .Bind(c.target)
        .Bind(c.oldValue)
        .Bind(c.newValue)
        .Bind(c.author)
        .Bind(c.madeAt)
        .Bind(c.reason);
    if (c.undoes)
      q.Bind(c.undoes);
    else
      q.Bind(std::optional<std::string>());
    q.Run();
    c.id = sqlite3_last_insert_rowid(db_.get());
  }

  std::vector<CorrectionRecord> Corrections(Id exam, int sheet) override {
    std::vector<CorrectionRecord> out;
    // One statement per case: "(? = 0 OR number = ?)" would keep the index out.
    Query q =
        Prepare(std::string("SELECT c.id, s.number, c.target, c.old_value, c.new_value, c.author, c.made_at, "
                            "c.reason, COALESCE(c.undoes, 0) FROM corrections c JOIN sheets s ON s.id = "
                            "c.sheet_id WHERE s.exam_id = ?") +
                (sheet ? " AND s.number = ? ORDER BY c.id" : " ORDER BY c.id"));
    q.Bind(exam);
    if (sheet) q.Bind(sheet);
    while (q.Step())
      out.push_back({q.Int(0), static_cast<int>(q.Int(1)), q.Text(2), q.MaybeText(3), q.MaybeText(4),
                     q.Text(5), q.Text(6), q.Text(7), q.Int(8)});
    return out;
  }

  std::vector<ScoreRecord> Scores(Id exam) override { return ReadScores(exam, 0); }

  std::optional<ScoreRecord> Score(Id exam, int sheet) override {
    std::vector<ScoreRecord> one = ReadScores(exam, sheet);
    if (one.empty()) return std::nullopt;
    return std::move(one.front());
  }

  std::vector<QueueEntry> ReviewQueue(Id exam, const std::string& reason, int offset, int limit) override {
    std::vector<QueueEntry> out;
    // The page of sheets first, then their reasons: sorting touches the
    // waiting sheets once, not their every reason.
    Query q = Prepare(
        "WITH page AS (SELECT c.sheet_id, s.number, c.student_id, c.id_state, c.confidence FROM scores c "
        "JOIN sheets s ON s.id = c.sheet_id WHERE s.exam_id = ?1 AND EXISTS (SELECT 1 FROM reasons w "
        "WHERE w.sheet_id = c.sheet_id AND (?2 = '' OR w.reason = ?2)) ORDER BY c.confidence, s.number "
        "LIMIT ?3 OFFSET ?4) "
        "SELECT p.number, p.student_id, p.id_state, p.confidence, r.reason, r.question, r.detail FROM page p "
        "JOIN reasons r ON r.sheet_id = p.sheet_id ORDER BY p.confidence, p.number, r.rowid");
    q.Bind(exam).Bind(reason).Bind(limit).Bind(offset);
    while (q.Step()) {
      const int number = static_cast<int>(q.Int(0));
      if (out.empty() || out.back().sheet != number)
        out.push_back({number, q.Text(1), q.Text(2), q.Real(3), {}});
      out.back().reasons.push_back({q.Text(4), static_cast<int>(q.Int(5)), q.Text(6)});
    }
    return out;
  }

  ReviewCounts CountReview(Id exam) override {
    ReviewCounts counts;
    {
      Query q = Prepare(
          "SELECT COALESCE(SUM(c.flagged OR w.sheet_id IS NOT NULL), 0), COUNT(w.sheet_id) FROM scores c "
          "JOIN sheets s ON s.id = c.sheet_id LEFT JOIN (SELECT DISTINCT sheet_id FROM reasons) w "
          "ON w.sheet_id = c.sheet_id WHERE s.exam_id = ?");
      q.Bind(exam);
      if (q.Step()) {
        counts.flagged = static_cast<int>(q.Int(0));
        counts.waiting = static_cast<int>(q.Int(1));
      }
    }
    Query q = Prepare(
        "SELECT r.reason, COUNT(DISTINCT r.sheet_id) FROM reasons r JOIN sheets s ON s.id = r.sheet_id "
        "WHERE s.exam_id = ? GROUP BY r.reason");
    q.Bind(exam);
    while (q.Step()) counts.byReason[q.Text(0)] = static_cast<int>(q.Int(1));
    return counts;
  }

  ClaimRecord Claim(Id exam, int sheet, const std::string& holder, int seconds) override {
    {
      // Per claim row, not per sheet of the exam: there are few claims.
      Query q = Prepare(
          "DELETE FROM claims WHERE (SELECT exam_id FROM sheets s WHERE s.id = claims.sheet_id) = ?1 AND "
          "(expires_at <= " OMR_NOW
          " OR (holder = ?2 AND sheet_id <> (SELECT id FROM sheets WHERE exam_id = ?1 AND number = ?3)))");
      q.Bind(exam).Bind(holder).Bind(sheet);
      q.Run();
    }
    {
      Query q = Prepare(
          "INSERT INTO claims(sheet_id, holder, claimed_at, expires_at) SELECT id, ?2, " OMR_NOW
          ", strftime('%Y-%m-%dT%H:%M:%fZ', 'now', printf('+%d seconds', ?4)) FROM sheets WHERE exam_id = ?1 "
          "AND number = ?3 ON CONFLICT(sheet_id) DO UPDATE SET holder = excluded.holder, claimed_at = CASE "
          "WHEN claims.holder = excluded.holder THEN claims.claimed_at ELSE excluded.claimed_at END, "
          "expires_at = excluded.expires_at WHERE claims.holder = excluded.holder OR claims.expires_at <= "
          "excluded.claimed_at");
      q.Bind(exam).Bind(holder).Bind(sheet).Bind(seconds);
      q.Run();
    }
    Query q = Prepare(
        "SELECT c.holder, c.claimed_at, c.expires_at FROM claims c JOIN sheets s ON s.id = c.sheet_id WHERE "
        "s.exam_id = ? AND s.number = ?");
    q.Bind(exam).Bind(sheet);
    if (!q.Step()) throw StoreError("there is no sheet " + std::to_string(sheet));
    return {sheet, q.Text(0), q.Text(1), q.Text(2)};
  }

  void Release(Id exam, int sheet, const std::string& holder) override {
    Query q = Prepare(
        "DELETE FROM claims WHERE holder = ? AND sheet_id = (SELECT id FROM sheets WHERE exam_id = ? AND "
        "number = ?)");
    q.Bind(holder).Bind(exam).Bind(sheet);
    q.Run();
  }

  std::vector<ClaimRecord> Claims(Id exam) override {
    std::vector<ClaimRecord> out;
    Query q = Prepare(
        "SELECT s.number, c.holder, c.claimed_at, c.expires_at FROM claims c JOIN sheets s ON s.id = "
        "c.sheet_id WHERE s.exam_id = ? AND c.expires_at > " OMR_NOW " ORDER BY s.number");
    q.Bind(exam);
    while (q.Step()) out.push_back({static_cast<int>(q.Int(0)), q.Text(1), q.Text(2), q.Text(3)});
    return out;
  }

  bool InPlace() override {
    if (!held_) return true;
    struct stat st {};
    return ::stat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_;
  }

  Relocation Secure() override {
    // The commits since the last checkpoint are in the WAL beside the old
    // name (the connection holds it): into the file they belong to.
    int frames = 0;
    int copied = 0;
    const int rc = sqlite3_wal_checkpoint_v2(db_.get(), "main", SQLITE_CHECKPOINT_TRUNCATE, &frames, &copied);
    if (rc != SQLITE_OK || frames != copied)
      throw StoreError("the project that was " + path_ + " did not take its last commits from " + path_ +
                       "-wal: " + sqlite3_errmsg(db_.get()) + "; keep that file");
    // SQLite leaves the journals of a moved file where they are when it
    // closes: empty now, they would only stand in the way of whatever comes
    // under the old name.
    for (const char* suffix : {"-wal", "-shm"})
      if (const std::string journal = path_ + suffix; Holds(journal)) ::unlink(journal.c_str());
    std::string now;
    if (HeldName(now)) return {now, false};
    // Only this program reaches the file now: a copy beside the old name.
    std::string error;
    for (const std::string& beside : {path_, Basename(path_)}) {
      for (int attempt = 1; attempt <= 9; ++attempt) {
        const std::string copy = RescueName(beside, attempt);
        if (common::WriteFileWhole(
                copy, common::IfExists::kKeep,
                [&](const std::string& temporary, std::string& why) { return CopyInto(temporary, why); },
                error))
          return {copy, true};
        if (error != common::ExistsError(copy)) break;
      }
    }
    throw StoreError("the project that was " + path_ + " has no name left and could not be copied (" + error +
                     ")");
  }

  // Used by Query.
  [[noreturn]] void Fail(int rc) {
    const std::string what = sqlite3_errmsg(db_.get());
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED || (rc & 0xFF) == SQLITE_BUSY)
      throw UnavailableError("the project " + path_ + " is busy: another program held it for " +
                             std::to_string(kBusyMs / 1000) + " s (" + what + ")");
    throw StoreError("the project " + path_ + ": " + what);
  }

 private:
  void Connect(const std::string& name, int flags) {
    statements_.clear();
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(name.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    db_.reset(raw);
    if (rc != SQLITE_OK)
      throw StoreError("cannot open the project " + path_ + ": " +
                       (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_busy_timeout(raw, kBusyMs);
    Exec("PRAGMA foreign_keys = ON");
  }

  StoreError NotAProject() const {
    return StoreError(path_ + " is not an exam project (make one with: omrctl exam new)");
  }
  StoreError NotWritable() const {
    return StoreError("the project " + path_ +
                      " cannot be written here (read-only media, or a file this user may not write): "
                      "commands that change it need a copy where it can be written");
  }
  StoreError TooNew(int version) const {
    return StoreError(path_ + " has schema version " + std::to_string(version) +
                      "; this omrctl knows up to " + std::to_string(kLatest) + ": use a newer omrctl");
  }

  // A WAL project whose -shm cannot be made (read-only media, a folder this
  // user may not write): no one writes the file there, so it is read as it
  // stands, unless commits still wait in its -wal.
  void OpenImmutable() {
    const std::string wal = path_ + "-wal";
    struct stat st {};
    if (::stat(wal.c_str(), &st) == 0 && st.st_size > 0)
      throw StoreError("the project " + path_ + " cannot be read here: its last commits are in " + wal +
                       ", and the " + path_ +
                       "-shm it needs cannot be made (read-only media?); copy both files to a place that "
                       "can be written and open the copy (omrctl exam backup makes a copy in one file)");
    std::string uri = "file:";
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const unsigned char c : path_) {
      if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
        uri += static_cast<char>(c);
      } else {
        uri += '%';
        uri += kHex[c >> 4];
        uri += kHex[c & 15];
      }
    }
    Connect(uri + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
  }

  void CopyToMemory() {
    sqlite3* raw = nullptr;
    sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    std::unique_ptr<sqlite3, DbClose> memory(raw);
    if (!raw) throw StoreError("cannot read the project " + path_ + ": out of memory");
    sqlite3_backup* backup = sqlite3_backup_init(raw, "main", db_.get(), "main");
    const int rc = backup ? sqlite3_backup_step(backup, -1) : SQLITE_NOMEM;
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE) throw StoreError("cannot read the project " + path_ + ": " + sqlite3_errstr(rc));
    statements_.clear();
    db_ = std::move(memory);
    sqlite3_extended_result_codes(raw, 1);
    Exec("PRAGMA foreign_keys = ON");
  }

  // SQLite's quick check: every page and index entry looked at once, without
  // matching index contents to their tables (what integrity_check adds).
  void QuickCheck() {
    std::string found;
    try {
      Query q = Prepare("PRAGMA quick_check(5)");
      while (q.Step()) {
        const std::string line = q.Text(0);
        if (line != "ok" && found.size() < 400) found += (found.empty() ? "" : "; ") + line;
      }
    } catch (const UnavailableError&) {
      throw;
    } catch (const StoreError&) {
      found = sqlite3_errmsg(db_.get());
    }
    if (!found.empty()) throw Damaged(found);
  }

  StoreError Damaged(const std::string& found) const {
    return StoreError("the project " + path_ + " is damaged (" + found +
                      "); nothing was written to it: go on with a backup of it (omrctl exam backup makes "
                      "them), or save what it still holds with: sqlite3 " +
                      path_ + " .recover | sqlite3 NEW-FILE");
  }

  // The links in /proc/self/fd of what this process has open of the file
  // `device`:`inode` (none where there is no /proc).
  static std::vector<std::string> Descriptors(dev_t device, ino_t inode) {
    std::vector<std::string> out;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return out;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string link = std::string("/proc/self/fd/") + entry->d_name;
      struct stat st {};
      if (entry->d_name[0] != '.' && ::stat(link.c_str(), &st) == 0 && st.st_dev == device &&
          st.st_ino == inode)
        out.push_back(link);
    }
    ::closedir(dir);
    return out;
  }

  // The name the file held goes by now; false when it has none (deleted,
  // or the file under the old name replaced it).
  bool HeldName(std::string& name) const {
    for (const std::string& link : Descriptors(device_, inode_)) {
      char target[PATH_MAX];
      const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
      if (n <= 0 || n >= static_cast<ssize_t>(sizeof target)) continue;
      name.assign(target, static_cast<std::size_t>(n));
      struct stat there {};
      if (::stat(name.c_str(), &there) == 0 && there.st_dev == device_ && there.st_ino == inode_) return true;
    }
    return false;
  }

  // Whether `name` is a file this process has open.
  static bool Holds(const std::string& name) {
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0 && !Descriptors(st.st_dev, st.st_ino).empty();
  }

  static std::string Basename(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
  }

  // "final.omrexam" -> "final-rescued-20250131T123456Z.omrexam" (or "-2" ... added).
  static std::string RescueName(const std::string& path, int attempt) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    std::string tag = std::string("-rescued-") + stamp + (attempt > 1 ? "-" + std::to_string(attempt) : "");
    const std::string extension = ".omrexam";
    const std::size_t base = Basename(path).size();
    if (base > extension.size() &&
        path.compare(path.size() - extension.size(), std::string::npos, extension) == 0)
      return path.substr(0, path.size() - extension.size()) + tag + extension;
    return path + tag;
  }

  // The whole database this store holds, into a new file, in one journal file.
  bool CopyInto(const std::string& file, std::string& why) {
    sqlite3* raw = nullptr;
    sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    std::unique_ptr<sqlite3, DbClose> to(raw);
    int rc = SQLITE_BUSY;
    for (int attempt = 0; raw && attempt < 50 && (rc == SQLITE_BUSY || rc == SQLITE_LOCKED); ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      sqlite3_backup* backup = sqlite3_backup_init(raw, "main", db_.get(), "main");
      rc = backup ? sqlite3_backup_step(backup, -1) : sqlite3_errcode(raw);
      sqlite3_backup_finish(backup);
    }
    if (rc != SQLITE_DONE) {
      why = raw ? sqlite3_errmsg(raw) : "out of memory";
      return false;
    }
    return true;
  }

  std::vector<ScoreRecord> ReadScores(Id exam, int sheet) {
    std::vector<ScoreRecord> out;
    {
      Query q =
          Prepare(std::string("SELECT s.number, c.revision, c.scored, c.voided, c.student_id, c.id_state, "
                              "c.version, c.total, c.maximum, c.percent, c.answers, c.points, c.confidence, "
                              "c.flagged FROM scores c "
                              "JOIN sheets s ON s.id = c.sheet_id WHERE s.exam_id = ?") +
                  (sheet ? " AND s.number = ?" : " ORDER BY s.number"));
      q.Bind(exam);
      if (sheet) q.Bind(sheet);
      while (q.Step()) {
        ScoreRecord r;
        r.sheet = static_cast<int>(q.Int(0));
        r.revision = static_cast<int>(q.Int(1));
        r.scored = q.Int(2) != 0;
        r.voided = q.Int(3) != 0;
        r.studentId = q.Text(4);
        r.idState = q.Text(5);
        r.version = q.Text(6);
        r.total = q.Real(7);
        r.maximum = q.Real(8);
        if (!q.Null(9)) r.percent = q.Real(9);
        r.answers = q.Text(10);
        r.points = q.Text(11);
        r.confidence = q.Real(12);
        r.flagged = q.Int(13) != 0;
        out.push_back(std::move(r));
      }
    }
    Query q =
        Prepare(std::string("SELECT s.number, r.reason, r.question, r.detail FROM reasons r JOIN sheets s ON "
                            "s.id = r.sheet_id WHERE s.exam_id = ?") +
                (sheet ? " AND s.number = ? ORDER BY r.rowid" : " ORDER BY s.number, r.rowid"));
    q.Bind(exam);
    if (sheet) q.Bind(sheet);
    std::size_t at = 0;
    while (q.Step()) {
      const int number = static_cast<int>(q.Int(0));
      while (at < out.size() && out[at].sheet < number) ++at;
      if (at < out.size() && out[at].sheet == number)
        out[at].reasons.push_back({q.Text(1), static_cast<int>(q.Int(2)), q.Text(3)});
    }
    return out;
  }

  Query Prepare(const std::string& sql) {
    auto hit = statements_.find(sql);
    if (hit == statements_.end()) {
      sqlite3_stmt* raw = nullptr;
      const int rc = sqlite3_prepare_v3(db_.get(), sql.c_str(), static_cast<int>(sql.size()),
                                        SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
      if (rc != SQLITE_OK) Fail(rc);
      hit = statements_.emplace(sql, std::unique_ptr<sqlite3_stmt, StmtFinalize>(raw)).first;
    }
    return Query(*this, hit->second.get());
  }

  void Exec(const std::string& sql) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
      const std::string what = message ? message : sqlite3_errstr(rc);
      sqlite3_free(message);
      if ((rc & 0xFF) == SQLITE_BUSY)
        throw UnavailableError("the project " + path_ + " is busy: another program held it for " +
                               std::to_string(kBusyMs / 1000) + " s");
      throw StoreError("the project " + path_ + ": " + what);
    }
  }

  std::int64_t Single(const std::string& sql) {
    Query q = Prepare(sql);
    return q.Step() ? q.Int(0) : 0;
  }
  std::string Text(const std::string& sql) {
    Query q = Prepare(sql);
    return q.Step() ? q.Text(0) : std::string();
  }

  bool HasTable(const std::string& name) {
    Query q = Prepare("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = ?");
    q.Bind(name);
    q.Step();
    return q.Int(0) > 0;
  }

  void Migrate(int target) {
    Begin();
    try {
      const int version = HasTable("schema_version") ? SchemaVersion() : 0;
      if (version > kLatest) throw TooNew(version);
      for (int v = version; v < target; ++v) {
        Exec(kMigrations[v]);
        Query q = Prepare("UPDATE schema_version SET version = ?");
        q.Bind(v + 1);
        q.Run();
      }
      Commit();
    } catch (...) {
      Rollback();
      throw;
    }
    // Statements prepared against the old schema are stale.
    statements_.clear();
  }

  std::string path_;
  std::unique_ptr<sqlite3, DbClose> db_;
  std::map<std::string, std::unique_ptr<sqlite3_stmt, StmtFinalize>> statements_;
  bool inTransaction_ = false;
  bool readOnly_ = false;
  bool held_ = false;  // device_ and inode_ name the file opened
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

bool Query::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  store_.Fail(rc);
}

Query& Query::Check(int rc) {
  if (rc != SQLITE_OK) store_.Fail(rc);
  return *this;
}

}  // namespace

int SqliteSchemaVersion() {
  return kLatest;
}

bool IsSqliteDatabase(const std::string& path) {
  struct stat st {};
  // Never a named pipe or a device: opening those could wait for ever.
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
  if (!vfs) return false;
  // The file layer closes its descriptor only once no connection here holds a lock on the file.
  std::vector<std::uint64_t> space((static_cast<std::size_t>(vfs->szOsFile) + 7) / 8 + 1);
  auto* file = reinterpret_cast<sqlite3_file*>(space.data());
  int flags = 0;
  if (vfs->xOpen(vfs, path.c_str(), file, SQLITE_OPEN_READONLY | SQLITE_OPEN_MAIN_DB, &flags) != SQLITE_OK) {
    if (file->pMethods) file->pMethods->xClose(file);
    return false;
  }
  char head[16] = {};
  const bool database = file->pMethods->xRead(file, head, sizeof head, 0) == SQLITE_OK &&
                        std::memcmp(head, "SQLite format 3", sizeof head) == 0;
  file->pMethods->xClose(file);
  return database;
}

std::unique_ptr<Store> OpenSqliteStore(const std::string& path, Access access) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    throw StoreError("there is no project " + path + ": " + std::strerror(errno) +
                     " (make one with: omrctl exam new)");
  // SQLite would wait on a named pipe for ever.
  if (!S_ISREG(st.st_mode)) throw StoreError(path + " is not an exam project: not a regular file");
  auto store = std::make_unique<SqliteStore>(path);
  store->Open(access, false);
  return store;
}

std::unique_ptr<Store> CreateSqliteStore(const std::string& path) {
  return CreateSqliteStoreAt(path, kLatest);
}

std::unique_ptr<Store> CreateSqliteStoreAt(const std::string& path, int version) {
  if (version < 1 || version > kLatest) throw StoreError("no schema version " + std::to_string(version));
  // A journal left by a project that was at this name (moved or deleted while
  // a program had it open) can hold its last commits: SQLite would delete it.
  for (const char* suffix : {"-wal", "-journal"}) {
    const std::string journal = path + suffix;
    struct stat st {};
    if (::lstat(journal.c_str(), &st) == 0 && (!S_ISREG(st.st_mode) || st.st_size > 0))
      throw StoreError(journal + " is there: it can hold the last sheets of a project that was at " + path +
                       " (moved or deleted while in use), and a new project there would delete it; put that "
                       "project back at " +
                       path + " and open it to keep them, or move " + journal +
                       " away if nothing in it is needed");
  }
  // O_EXCL: an existing file, even an empty one, is never taken over. For its
  // owner alone (SQLite gives its -wal and -shm the same mode).
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, common::kOwnerOnly);
  if (fd < 0) {
    if (errno == EEXIST)
      throw StoreError(path +
                       " exists: a new project is never written over an existing file (to add an exam to a "
                       "project, give --add)");
    throw StoreError("cannot create " + path + ": " + std::strerror(errno));
  }
  ::close(fd);
  try {
    auto store = std::make_unique<SqliteStore>(path);
    store->Open(Access::kWrite, true, version);
    return store;
  } catch (...) {
    ::unlink(path.c_str());
    throw;
  }
}

}  // namespace omr::exam
