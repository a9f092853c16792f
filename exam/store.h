// The project store: every read and write of an exam project goes through
// this class, written once over the database interface (db.h) for an SQLite
// file and a PostgreSQL server alike; its statements are in store.cpp, the
// tables they use in schema.sql. Facts (sheets with their grids,
// corrections, claims, exam revisions) are appended; responses, scores and
// review reasons are derived and replaced when recomputed.
//
// Conventions: numbers (sheet numbers, station sequence numbers, revisions)
// come from the database inside the caller's write transaction, so stations
// writing concurrently never share one. Times are ISO 8601 UTC texts made by
// the caller. Failures throw StoreError; RetryableError when running the
// whole transaction again may succeed (InTransaction does).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "db.h"
#include "error.h"
#include "scoring.h"

namespace omr::exam {

using Id = std::int64_t;

struct ExamRecord {
  Id id = 0;
  std::string name;
  std::string createdAt;
  int revision = 0;  // the current one
  // Tells the exam from another made from the same files: random when it is
  // made, copied into its spools; "" for an exam made before exams kept one.
  std::string uid;
};

// One version of the exam definition: created by "new", replaced by "rekey"
// (new keys and scoring), "rescan" (a new form) or, before any sheet, "edit"
// (everything). Kept for ever.
struct RevisionRecord {
  int revision = 0;
  std::string createdAt;
  std::string author;
  std::string kind;  // new, rekey, rescan, edit
  std::string examName;
  std::string examText;
  std::string formName;
  std::string formText;  // form bytes
  std::string rosterName;
  std::string rosterText;  // empty when there is none
  std::string note;
};

struct BatchRecord {
  Id id = 0;
  std::string station;
  std::string startedAt;
  std::string endedAt;  // empty: the run did not finish (killed, power cut)
  int sheets = 0;
  std::string outcome;
};

struct SheetRecord {
  Id id = 0;
  int number = 0;  // exam-wide, from 1 (given by the store)
  std::string station;
  int stationNumber = 0;  // per station, from 1 (given by the store)
  Id batch = 0;           // 0: not read by a batch (imported)
  std::string readAt;
  std::string source;  // read, import, typed
  std::string origin;  // the grid file an imported sheet came from
  std::string author;  // who typed in a typed sheet; "" for the others
  std::string serial;
  std::string firmware;
  char letter = 0;
  int code = 0;
  std::string result;  // the result text (any bytes)
  int lines = 0;
  int columns = 0;
  std::vector<std::uint8_t> grid;  // compressed (grid_codec.h); empty when the reader kept none
  std::string gridHash;            // "" when there is no grid
};

struct CorrectionRecord {
  Id id = 0;
  int sheet = 0;                        // sheet number
  std::string target;                   // "12" (a question), "id", "version", "sheet"
  std::optional<std::string> oldValue;  // what counted before; none: the reading
  std::optional<std::string> newValue;  // none: withdrawn (the reading counts again)
  std::string author;
  std::string madeAt;
  std::string reason;
  Id undoes = 0;  // the correction this one undoes (it restores what counted before that one); 0: none
};

// The derived score of a sheet as stored for queries (status, review queue,
// Python); recomputed whenever the exam, the responses or corrections change.
struct ScoreRecord {
  int sheet = 0;  // sheet number
  int revision = 0;
  bool scored = false;
  bool voided = false;
  std::string studentId;
  std::string idState;  // none, valid, invalid
  std::string version;
  double total = 0;
  double maximum = 0;
  std::optional<double> percent;
  std::string answers;  // per master item, the marked options, comma-separated
  std::string points;   // per master item, the points ("" for void), comma-separated
  std::vector<Reason> reasons;
  double confidence = 1;  // the least confidence of the questions it still reads from the sheet; 0: not read
  bool flagged = false;   // it had review reasons at some time (a fact the store keeps: read only)
};

// What a re-scan made of a sheet's grid.
struct RecognitionRecord {
  Id sheet = 0;
  int code = 0;
  char letter = 0;
  std::string result;
};

// The stored scores of an exam in figures (status).
struct ScoreCounts {
  int sheets = 0;  // scored or not
  int voided = 0;
  int scored = 0;
  int students = 0;                     // distinct valid student IDs among the scored sheets
  int waiting = 0;                      // sheets with review reasons
  std::map<std::string, int> byReason;  // sheets per reason
};

// A sheet waiting for a person, as the review queue lists it.
struct QueueEntry {
  int sheet = 0;  // sheet number
  std::string studentId;
  std::string idState;
  double confidence = 1;
  std::vector<Reason> reasons;
};

// The review queue in figures: "to review" is every sheet that was flagged,
// "reviewed" those of them that no longer have a reason.
struct ReviewCounts {
  int flagged = 0;
  int waiting = 0;                      // sheets with review reasons now
  std::map<std::string, int> byReason;  // waiting sheets per reason
};

// A reviewer who has a sheet open, until the claim expires unless renewed.
// Times are UTC in the database's clock ("2025-01-31T12:34:56.789Z").
struct ClaimRecord {
  int sheet = 0;  // sheet number
  std::string holder;
  std::string since;    // when this holder took it
  std::string expires;  // when it lapses unless renewed
};

// A stored sheet as an import compares it: the same reading, the same grid.
struct SheetKey {
  int number = 0;
  std::string station;
  std::string readAt;
  std::string gridHash;
  bool voided = false;
};

struct StationCount {
  std::string station;
  int sheets = 0;
};

class Store {
 public:
  explicit Store(std::unique_ptr<db::Connection> db);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Where the project is (a path or a connection text without its password).
  const std::string& Location() const;
  // True for a database server that several stations share: a station that
  // loses it keeps the sheet in flight in a local spool.
  bool Shared() const;
  int SchemaVersion();

  // One write transaction at a time per store object; a second Begin()
  // without Commit() or Rollback() is an error.
  void Begin();
  void Commit();
  void Rollback() noexcept;

  // Makes the writers of an exam take turns until the transaction ends, so
  // that numbers, the order of corrections and the reasons that span sheets
  // are decided by one writer at a time. Answers the exam's current revision.
  int LockExam(Id exam);

  // Exams (a project may hold several).
  Id CreateExam(const std::string& name, const std::string& createdAt, const std::string& uid);
  std::vector<ExamRecord> Exams();
  // Appends a revision and makes it current; answers its number.
  int AddRevision(Id exam, const RevisionRecord& revision);
  // `revision` 0: the current one.
  RevisionRecord Revision(Id exam, int revision);
  // Every revision, without their texts.
  std::vector<RevisionRecord> Revisions(Id exam);

  // Whether the exam's derived rows (responses, scores, reasons) are built:
  // false after a migration until MarkBuilt (the project re-scans and
  // re-scores to build them).
  bool Built(Id exam);
  void MarkBuilt(Id exam, const std::string& at);

  // Batches: a run of `exam read` at one station.
  Id BeginBatch(Id exam, const std::string& station, const std::string& startedAt);
  void EndBatch(Id batch, const std::string& endedAt, const std::string& outcome);
  std::vector<BatchRecord> Batches(Id exam);

  // Adds a sheet: fills in its id, number and station number. Counts it in
  // its batch.
  void AddSheet(Id exam, SheetRecord& sheet);
  // The same for many sheets in their order (an import), a chunk a statement.
  void AddSheets(Id exam, std::vector<SheetRecord>& sheets);
  // Replaces what the recognition made of sheets' grids (a re-scan).
  void PutRecognitions(const std::vector<RecognitionRecord>& sheets);
  // Replaces the responses of a sheet (none: it has none).
  void PutResponses(Id sheet, const std::vector<Response>& responses);
  // The same for many sheets at once (a re-scan), by sheet id.
  void PutResponses(const std::vector<std::pair<Id, const std::vector<Response>*>>& sheets);
  // Replaces the score and review reasons of a sheet; a sheet with reasons
  // is flagged for good.
  void PutScore(Id sheet, const ScoreRecord& score);
  // The same for many sheets at once, by sheet id; each record's `sheet` is
  // that sheet's number.
  void PutScores(Id exam, const std::vector<std::pair<Id, const ScoreRecord*>>& scores);
  // Replaces every score of the exam with these (a re-scoring), by sheet id;
  // each record's `sheet` is that sheet's number.
  void ReplaceScores(Id exam, const std::vector<std::pair<Id, const ScoreRecord*>>& scores);
  // Numbers of the sheets with this grid hash, but those made void.
  std::vector<int> SheetsWithGrid(Id exam, const std::string& hash);
  // Numbers of the sheets whose stored score has this valid student ID.
  std::vector<int> SheetsWithStudent(Id exam, const std::string& studentId);
  // The same for many: every stored sheet with one of these grid hashes (made
  // void or not); every sheet, not void, with one of these valid student IDs
  // (the ID, the number).
  std::vector<SheetKey> SheetsWithGrids(Id exam, const std::vector<std::string>& hashes);
  std::vector<std::pair<std::string, int>> SheetsWithStudents(Id exam, const std::vector<std::string>& ids);

  // The number of the sheet this station read at this time with this grid
  // (hash "" for none): the same reading brought in again by an import.
  std::optional<int> FindReading(Id exam, const std::string& station, const std::string& readAt,
                                 const std::string& gridHash);

  std::optional<SheetRecord> FindSheet(Id exam, int number, bool withGrid);
  std::vector<Response> Responses(Id sheet);
  // Every sheet in number order with its responses (and grid when asked),
  // read a chunk at a time: `visit` may write to the store.
  void ForEachSheet(Id exam, bool withGrid,
                    const std::function<void(SheetRecord&, std::vector<Response>&)>& visit);
  int SheetCount(Id exam);
  // When the exam's latest stored sheet was read ("" before any).
  std::string LastRead(Id exam);
  // Sheets of one source ("typed", ...).
  int SheetCount(Id exam, const std::string& source);
  std::vector<StationCount> Stations(Id exam);

  // Corrections are appended, never changed; filled in with id and sheet.
  void AddCorrection(Id exam, CorrectionRecord& correction);
  // Every correction of the exam (sheet 0) or of one sheet, oldest first.
  std::vector<CorrectionRecord> Corrections(Id exam, int sheet);

  // Stored scores in sheet order (with their reasons).
  std::vector<ScoreRecord> Scores(Id exam);
  std::optional<ScoreRecord> Score(Id exam, int sheet);
  // The scores of the `count` sheets stored last, in sheet order.
  std::vector<ScoreRecord> LatestScores(Id exam, int count);
  ScoreCounts CountScores(Id exam);

  // Sheets with review reasons, the least confident first (then by number),
  // with every reason of each; `reason` "" for all, else only sheets with
  // that reason. At most `limit` sheets from the `offset`-th.
  std::vector<QueueEntry> ReviewQueue(Id exam, const std::string& reason, int offset, int limit);
  ReviewCounts CountReview(Id exam);

  // Claims, compared with the database's clock, so that every process on the
  // project sees one time. Inside the caller's write transaction: takes (or
  // renews) the sheet for `holder` for `seconds` and drops the holder's other
  // claims in the exam, unless another holder's claim on it has not expired;
  // answers the claim that holds the sheet now (its holder says who won).
  // The sheet must exist.
  ClaimRecord Claim(Id exam, int sheet, const std::string& holder, int seconds);
  // Drops the holder's claim on the sheet; another holder's stays.
  void Release(Id exam, int sheet, const std::string& holder);
  // Claims that have not expired, by sheet number.
  std::vector<ClaimRecord> Claims(Id exam);

  // Writes one consistent copy of the whole project into the new file
  // `path` (SQLite; a server refuses: its own tools copy it).
  void CopyTo(const std::string& path);

  // A project in a file: false once its path no longer names the file this
  // store has open (it was moved, deleted or replaced under the program).
  bool InPlace();
  // For a store no longer in place: puts every commit into the file it holds
  // (none stays only in the journal beside the old name) and answers where
  // that file is now: its new name, or, when it has none, a copy made beside
  // the old path (never over a file). Throws StoreError.
  Relocation Secure();
  // Opened for reading only; CopyToMemory goes on in a copy in memory that
  // may be written (derived rows built) while the file stays as it is.
  bool ReadOnly() const;
  void CopyToMemory();

  // Brings the schema to this build's version (creating it when `create`);
  // OpenStore and CreateStore call it. Read-only, an older schema is
  // migrated in a copy in memory.
  void PrepareSchema(bool create);

 private:
  void Locked(Id exam);
  // One sheet's (`sheet`), the latest `latest` newest first, or all in sheet order.
  std::vector<ScoreRecord> ReadScores(Id exam, int sheet, int latest = 0);

  std::unique_ptr<db::Connection> db_;
  Id lockedExam_ = 0;
};

// Commits on Commit(); rolls back when left otherwise (an exception).
class WriteTransaction {
 public:
  explicit WriteTransaction(Store& store) : store_(store) { store_.Begin(); }
  ~WriteTransaction() {
    if (!done_) store_.Rollback();
  }
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;
  void Commit() {
    store_.Commit();
    done_ = true;
  }

 private:
  Store& store_;
  bool done_ = false;
};

// Runs `work` in a write transaction and commits. When the database gives up
// on it because of another writer (RetryableError), it runs again from the
// start after a random pause that grows, at most `attempts` times in all;
// `retries` counts the runs again.
template <class Work>
auto InTransaction(Store& store, Work&& work, int* retries = nullptr, int attempts = 8) -> decltype(work()) {
  const db::RetryPolicy policy{attempts};
  for (int attempt = 1;; ++attempt) {
    try {
      WriteTransaction tx(store);
      if constexpr (std::is_void_v<decltype(work())>) {
        work();
        tx.Commit();
        return;
      } else {
        auto result = work();
        tx.Commit();
        return result;
      }
    } catch (const RetryableError&) {
      if (attempt >= policy.attempts) throw;
      if (retries) ++*retries;
      policy.Pause(attempt);
    }
  }
}

// True for a PostgreSQL connection text: a postgresql:// or postgres:// URI,
// or libpq's key/value form ("host=... dbname=..."). Anything else is a path.
bool IsServerLocation(const std::string& location);
// A server location, or a regular file that is an SQLite database (not a
// grid file, nor a named pipe: it never blocks).
bool LooksLikeProject(const std::string& location);

// Access (how a command uses a project) and Relocation are in db.h.

// Opens an existing project (migrating an older schema) or creates a new one
// (refusing to replace anything). The location picks the implementation.
std::unique_ptr<Store> OpenStore(const std::string& location, Access access = Access::kWrite);
std::unique_ptr<Store> CreateStore(const std::string& location);

// The schema version this build writes.
int LatestSchemaVersion();

}  // namespace omr::exam
