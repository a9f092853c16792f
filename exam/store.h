// The project store: every read and write of an exam project goes through
// this interface; the SQL of each database lives in its implementation only.
// Facts (sheets with their grids, corrections, exam revisions) are appended;
// responses and scores are derived and replaced when recomputed.
//
// Conventions: numbers (sheet numbers, station sequence numbers, revisions)
// come from the database inside the caller's write transaction, so stations
// writing concurrently never share one. Times are ISO 8601 UTC texts made by
// the caller. Failures throw StoreError; RetryableError when running the
// whole transaction again may succeed (InTransaction does).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

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
  bool flagged = false;   // it had review reasons at some time: once stored true, PutScore keeps it
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

struct StationCount {
  std::string station;
  int sheets = 0;
};

// What became of a project file that is no longer under its name.
struct Relocation {
  std::string path;   // where the project is now: the file's new name, or the copy made of it
  bool copy = false;  // the file had no name left (deleted, or replaced): `path` is a copy of it
};

class Store {
 public:
  virtual ~Store() = default;

  // Where the project is (a path or a connection text without its password).
  virtual std::string Location() const = 0;
  // True for a database server that several stations share: a station that
  // loses it keeps the sheet in flight in a local spool.
  virtual bool Shared() const = 0;
  virtual int SchemaVersion() = 0;

  // One write transaction at a time per store object; a second Begin()
  // without Commit() or Rollback() is an error.
  virtual void Begin() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() noexcept = 0;

  // Makes the writers of an exam take turns until the transaction ends, so
  // that numbers, the order of corrections and the reasons that span sheets
  // are decided by one writer at a time. Answers the exam's current revision.
  virtual int LockExam(Id exam) = 0;

  // Exams (a project may hold several).
  virtual Id CreateExam(const std::string& name, const std::string& createdAt, const std::string& uid) = 0;
  virtual std::vector<ExamRecord> Exams() = 0;
  // Appends a revision and makes it current; answers its number.
  virtual int AddRevision(Id exam, const RevisionRecord& revision) = 0;
  // `revision` 0: the current one.
  virtual RevisionRecord Revision(Id exam, int revision) = 0;
  // Every revision, without their texts.
  virtual std::vector<RevisionRecord> Revisions(Id exam) = 0;

  // Batches: a run of `exam read` at one station.
  virtual Id BeginBatch(Id exam, const std::string& station, const std::string& startedAt) = 0;
  virtual void EndBatch(Id batch, const std::string& endedAt, const std::string& outcome) = 0;
  virtual std::vector<BatchRecord> Batches(Id exam) = 0;

  // Adds a sheet: fills in its id, number and station number. Counts it in
  // its batch.
  virtual void AddSheet(Id exam, SheetRecord& sheet) = 0;
  // Replaces what the recognition made of a sheet's grid (a rescan).
  virtual void PutRecognition(Id sheet, int code, char letter, const std::string& result) = 0;
  // Replaces the responses of a sheet.
  virtual void PutResponses(Id sheet, const std::vector<Response>& responses) = 0;
  // Replaces the score and review reasons of a sheet.
  virtual void PutScore(Id sheet, const ScoreRecord& score) = 0;
  // The same for many sheets (a re-scoring): by sheet id.
  virtual void PutScores(const std::vector<std::pair<Id, const ScoreRecord*>>& scores) {
    for (const auto& [sheet, score] : scores) PutScore(sheet, *score);
  }
  // Numbers of the sheets with this grid hash, but those made void.
  virtual std::vector<int> SheetsWithGrid(Id exam, const std::string& hash) = 0;
  // Numbers of the sheets whose stored score has this valid student ID.
  virtual std::vector<int> SheetsWithStudent(Id exam, const std::string& studentId) = 0;

  // The number of the sheet this station read at this time with this grid
  // (hash "" for none): the same reading brought in again by an import.
  virtual std::optional<int> FindReading(Id exam, const std::string& station, const std::string& readAt,
                                         const std::string& gridHash) = 0;

  virtual std::optional<SheetRecord> FindSheet(Id exam, int number, bool withGrid) = 0;
  virtual std::vector<Response> Responses(Id sheet) = 0;
  // Every sheet in number order with its responses (and grid when asked).
  virtual void ForEachSheet(Id exam, bool withGrid,
                            const std::function<void(SheetRecord&, std::vector<Response>&)>& visit) = 0;
  virtual int SheetCount(Id exam) = 0;
  // Sheets of one source ("typed", ...).
  virtual int SheetCount(Id exam, const std::string& source) = 0;
  virtual std::vector<StationCount> Stations(Id exam) = 0;

  // Corrections are appended, never changed; filled in with id and sheet.
  virtual void AddCorrection(Id exam, CorrectionRecord& correction) = 0;
  // Every correction of the exam (sheet 0) or of one sheet, oldest first.
  virtual std::vector<CorrectionRecord> Corrections(Id exam, int sheet) = 0;

  // Stored scores in sheet order (with their reasons).
  virtual std::vector<ScoreRecord> Scores(Id exam) = 0;
  virtual std::optional<ScoreRecord> Score(Id exam, int sheet) = 0;

  // Sheets with review reasons, the least confident first (then by number),
  // with every reason of each; `reason` "" for all, else only sheets with
  // that reason. At most `limit` sheets from the `offset`-th.
  virtual std::vector<QueueEntry> ReviewQueue(Id exam, const std::string& reason, int offset, int limit) = 0;
  virtual ReviewCounts CountReview(Id exam) = 0;

  // Claims, compared with the database's clock, so that every process on the
  // project sees one time. Inside the caller's write transaction: takes (or
  // renews) the sheet for `holder` for `seconds` and drops the holder's other
  // claims in the exam, unless another holder's claim on it has not expired;
  // answers the claim that holds the sheet now (its holder says who won).
  // The sheet must exist.
  virtual ClaimRecord Claim(Id exam, int sheet, const std::string& holder, int seconds) = 0;
  // Drops the holder's claim on the sheet; another holder's stays.
  virtual void Release(Id exam, int sheet, const std::string& holder) = 0;
  // Claims that have not expired, by sheet number.
  virtual std::vector<ClaimRecord> Claims(Id exam) = 0;

  // A project in a file: false once its path no longer names the file this
  // store has open (it was moved, deleted or replaced under the program).
  virtual bool InPlace() { return true; }
  // For a store no longer in place: puts every commit into the file it holds
  // (none stays only in the journal beside the old name) and answers where
  // that file is now: its new name, or, when it has none, a copy made beside
  // the old path (never over a file). Throws StoreError.
  virtual Relocation Secure() { return {Location(), false}; }
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
  thread_local std::minstd_rand jitter(std::random_device{}());
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
      if (attempt >= attempts) throw;
      if (retries) ++*retries;
      const int ceiling = std::min(5 << attempt, 500);  // ms
      std::this_thread::sleep_for(std::chrono::milliseconds(
          ceiling / 2 + static_cast<int>(jitter() % static_cast<unsigned>(ceiling / 2 + 1))));
    }
  }
}

// True for a PostgreSQL connection text: a postgresql:// or postgres:// URI,
// or libpq's key/value form ("host=... dbname=..."). Anything else is a path.
bool IsServerLocation(const std::string& location);
// A server location, or a regular file that is an SQLite database (not a
// grid file, nor a named pipe: it never blocks).
bool LooksLikeProject(const std::string& location);

// How a command uses a project.
enum class Access {
  kRead,    // reads only: opened read-only, so a copy on read-only media opens too; never changed
  kWrite,   // writes: a project file is checked first (SQLite's quick check, in time proportional to
            // its size), so that nothing is written into a damaged one
  kReopen,  // writes, to a project this process checked when it opened it first
};

// Opens an existing project (migrating an older schema) or creates a new one
// (refusing to replace anything). The location picks the implementation.
std::unique_ptr<Store> OpenStore(const std::string& location, Access access = Access::kWrite);
std::unique_ptr<Store> CreateStore(const std::string& location);

}  // namespace omr::exam
