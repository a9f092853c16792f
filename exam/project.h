// An exam project: the operations the command line, the review server and
// tests share. Every change is one store transaction; scores are recomputed
// from the stored responses and corrections with the pure scoring function.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "exam_file.h"
#include "progress.h"
#include "recognition.h"
#include "rekey.h"
#include "roster.h"
#include "scoring.h"
#include "store.h"
#include "typed.h"
#include "vocabulary.h"

namespace omr::exam {

// An exam file with problems: every line says where and what.
class ExamFileError : public Error {
 public:
  explicit ExamFileError(const std::vector<std::string>& lines);
  std::vector<std::string> lines;
};

// What an exam file brings, read from disk: its text, the form and roster
// texts it names (paths relative to the exam file).
struct ExamSources {
  std::string examName;
  std::string examText;
  std::string formName;
  std::string formText;
  std::string rosterName;
  std::string rosterText;
  // Texts of a revision the project holds were checked when they came: they
  // are taken as they were then, not refused by a check added since (a
  // version's own answers that disagree with the master key, a roster ID a
  // spreadsheet mangled).
  bool examStored = false;
  bool rosterStored = false;
};

// Reads the exam file and the files it names; `keepForm` (rekey) takes the
// project's form instead of reading one. The roster comes out as UTF-8:
// converted from `rosterEncoding` (else the exam file's "roster_encoding"),
// or refused with its line when it is not UTF-8 and no character set is
// named. Throws ExamFileError.
ExamSources ReadExamSources(const std::string& examPath, const std::string* keepForm,
                            const std::string& rosterEncoding = "");

// A file name for the spool of a station: "spool-desk1-20250131T123456Z.omrexam".
std::string SpoolName(const std::string& station);

// The current UTC time as "2025-01-31T12:34:56Z"; with milliseconds,
// "2025-01-31T12:34:56.789Z" (the time a sheet was read).
std::string NowUtc(bool milliseconds = false);

// What a station hands over for one sheet.
struct SheetInput {
  std::string station = "local";
  Id batch = 0;
  std::string source = "read";  // read, import, typed
  std::string origin;           // the grid file of an import
  std::string author;           // who typed a typed sheet
  std::string serial;
  std::string firmware;
  std::string readAt;  // empty: now
  int code = 0;        // the read's result: 0, or the library's error
  bool hasGrid = false;
  // When hasGrid (also for codes 4, 5 and 7); a typed sheet's responses,
  // letter and result without a grid.
  DecodedSheet decoded;
  // An import of a reading kept elsewhere (a spool): skipped when the exam
  // has this station's sheet of the same time and grid already.
  bool once = false;
};

struct AddedSheet {
  int number = 0;  // 0: not added, the exam has it as `presentAs`
  int stationNumber = 0;
  int presentAs = 0;
  SheetScore score;
  std::vector<int> duplicateGridOf;  // other sheets with the same grid
};

// What an import of another project's sheets did.
struct ImportReport {
  int added = 0;
  int present = 0;     // the same readings were there already: skipped
  int duplicates = 0;  // added, but their grid was read before (flagged)
};

struct ExamStatus {
  std::string exam;
  int revision = 0;
  int sheets = 0;
  int notRead = 0;
  int typed = 0;  // sheets a person typed in
  int voided = 0;
  int scored = 0;
  int students = 0;                     // distinct valid student IDs among scored sheets
  int waiting = 0;                      // sheets with at least one review reason
  int reviewed = 0;                     // sheets that had review reasons and have none now
  std::map<std::string, int> byReason;  // sheets per reason
  int duplicateGrids = 0;               // sheets whose grid another sheet has too
  int corrections = 0;
  std::vector<StationCount> stations;
  std::vector<BatchRecord> unfinished;  // runs that never ended (killed)
  std::vector<ClaimRecord> claims;      // sheets open in the review page now
};

// A stored sheet as a person checks it: what was read, the cells behind it,
// the corrections made and the score they give now.
struct SheetDetail {
  SheetRecord sheet;  // without its grid bytes
  SheetGrid grid;     // expanded; 0 lines when the reader kept none
  std::vector<Response> responses;
  std::vector<QuestionDetail> questions;      // the grid decoded with the current form, cells and all
  std::vector<CorrectionRecord> corrections;  // oldest first
  SheetScore score;                           // with the reasons that depend on other sheets
};

struct RescanReport {
  int sheets = 0;   // grids decoded again
  int changed = 0;  // sheets whose responses or code changed
  int noGrid = 0;   // sheets the reader kept no grid of
};

class Project {
 public:
  // Creates the project and its first exam from an exam file; refuses to
  // replace an existing project. `add`: the project exists, the exam is
  // added to it (under a name it does not hold yet). Throws ExamFileError or
  // Error.
  static std::unique_ptr<Project> Create(const std::string& location, const std::string& examPath,
                                         const std::string& examName, const std::string& author,
                                         bool add = false, const std::string& rosterEncoding = "");
  // The same from texts at hand (a stored revision). `uid` "": the exam is
  // new and gets an identity of its own; else it is this one's (a spool).
  static std::unique_ptr<Project> Create(const std::string& location, const ExamSources& sources,
                                         const std::string& examName, const std::string& author, bool add,
                                         const std::string& uid = "");
  // `examName` "" selects the only exam of the project. `access` kRead for a
  // command that only reads (the project is opened read-only).
  static std::unique_ptr<Project> Open(const std::string& location, const std::string& examName,
                                       Access access = Access::kWrite);

  Project(std::unique_ptr<Store> store, Id exam, std::string examName);

  Store& store() { return *store_; }
  Id examId() const { return examId_; }
  const std::string& examName() const { return examName_; }
  int revision() const { return revision_.revision; }
  const RevisionRecord& revisionRecord() const { return revision_; }
  const Exam& exam() const { return exam_; }
  const FormShape& shape() const { return shape_; }
  const Roster& roster() const { return roster_; }
  const RecognitionForm& form() const { return *form_; }
  // What tells this exam from another made from the same files: the one it
  // was given when it was made (its spools and copies have it too), or, for
  // an exam made before exams kept one, one that follows from its first
  // revision (as the spools made of it then hold it).
  std::string Identity();
  // Whether the sheets of `from` are of this exam: the same identity, or,
  // made before exams kept one, a copy of one of this exam's revisions.
  bool SameExam(Project& from);

  // Stores a sheet with its responses and score in one transaction.
  AddedSheet AddSheet(const SheetInput& input);

  // Stores a sheet a person typed in (typed.h): checked against the exam,
  // scored like a read one. Throws Error naming what does not fit.
  AddedSheet AddTyped(const TypedSheet& typed);

  // Keeps a sheet that could not be stored here (the database is gone) in a
  // new SQLite project at `path` that holds this exam's current revision, for
  // `ImportSheets` later. Throws Error when that fails too.
  AddedSheet Spool(const std::string& path, const SheetInput& input);

  // Brings in every sheet of another project of this exam (a spool, an
  // offline station's project) with its station, time, reader and grid, a
  // batch of sheets a transaction; a reading already here is skipped, a grid read
  // before is added and flagged. `each` sees every sheet (number 0: skipped).
  // Throws Error when the sheets were read with another form, or belong to
  // another exam (SameExam) unless `asThisExam` says they are of this one.
  // `batch` sheets a transaction.
  ImportReport ImportSheets(Project& from,
                            const std::function<void(const AddedSheet&, const SheetRecord&)>& each,
                            bool asThisExam = false, std::size_t batch = 500);

  Id BeginBatch(const std::string& station);
  void EndBatch(Id batch, const std::string& outcome);

  // Appends a correction (no value: withdraw the target's corrections) and
  // re-scores what it touches. Throws Error for a target or value that does
  // not fit the exam.
  CorrectionRecord Correct(int sheet, const std::string& target, const std::optional<std::string>& value,
                           const std::string& author, const std::string& reason);

  // Appends a correction that undoes correction `id` of the sheet: what
  // counted before it counts again. Only the latest correction of its target
  // that is not undone yet can be undone. Throws Error otherwise.
  CorrectionRecord Undo(int sheet, Id id, const std::string& author, const std::string& reason);

  // A reviewer opens a sheet: it is his for `seconds` (renewed when he holds
  // it already) and his claim on any other sheet goes, unless another
  // reviewer's claim on it has not expired; that one stays. Answers the claim
  // that holds the sheet now. Throws Error for a sheet that does not exist, a
  // name as corrections refuse it, or `seconds` out of kMinHold..kMaxHold.
  ClaimRecord Claim(int sheet, const std::string& by, int seconds);
  // Drops his claim on the sheet (another reviewer's stays).
  void Release(int sheet, const std::string& by);
  // Claims that have not expired, by sheet.
  std::vector<ClaimRecord> Claims();

  // Reads the exam again when another process has changed it (rekey,
  // rescan) since this one loaded it; true when it did.
  bool Sync();

  // A sheet with its reading, cells, corrections and score. Throws Error
  // when there is no such sheet.
  SheetDetail Detail(int sheet);

  // Replaces the exam file (keys, scoring, roster; the form stays) and
  // re-scores every sheet; answers the sheets whose scores changed. A dry run
  // stores nothing. Throws ExamFileError.
  RekeyReport Rekey(const std::string& examPath, const std::string& author, bool dryRun = false,
                    const std::string& rosterEncoding = "");
  // The same for one master item changed in the current exam file (kept in
  // the history as a new revision holding the whole resulting file). Throws
  // Error for a change that does not fit the exam.
  RekeyReport Rekey(const ItemChange& change, const std::string& author, bool dryRun = false);

  // Replaces the whole exam (its file, form and roster) while no sheet is
  // stored: a new revision ("edit"). Throws ExamFileError, or Error once a
  // sheet is there (rekey and rescan change an exam that has sheets).
  void Edit(const ExamSources& sources, const std::string& author);

  // Decodes every stored grid again (with a new form when `formPath` is
  // given, kept as a new revision) and re-scores every sheet.
  RescanReport Rescan(const std::string* formPath, const std::string& author);

  // Recomputes and stores every score; answers the sheet count.
  int RescoreAll();

  // Transactions run again because another writer was in the way.
  int retries() const { return retries_; }

  // Told how far the steps over every sheet are (rescan, re-score, re-key,
  // import, ScoreAll and what is made from it); none by default.
  void SetProgress(ProgressFn progress) { progress_ = std::move(progress); }
  const ProgressFn& progress() const { return progress_; }

  // Every sheet scored now from the stored responses and corrections (the
  // input of statistics and exports), in sheet order, with grid hashes.
  std::vector<SheetScore> ScoreAll(std::vector<SheetRecord>* sheets = nullptr);
  // Every sheet's responses one byte a question, its corrections applied
  // (CompactScorer's input): a few bytes a sheet, read a chunk at a time.
  PackedSheets PackedResponses(const CompactScorer& scorer);

  ExamStatus Status();

  // What scoring reads of every sheet, in sheet order: scores of this exam
  // or of another (a re-key's preview) are then made in memory.
  struct ScoringInputs {
    std::vector<SheetRecord> sheets;  // without grids
    std::vector<SheetFacts> facts;
    std::vector<std::vector<Override>> overrides;
  };
  ScoringInputs ReadScoringInputs();
  // What ScoreAll gives, from inputs this project read.
  std::vector<SheetScore> ScoreInputs(const ScoringInputs& inputs) const;
  // What Rekey(change, author, true) answers, from inputs read at the
  // current revision and `before`, their scores. Throws Error as Rekey does.
  RekeyReport PreviewRekey(const ItemChange& change, const ScoringInputs& inputs,
                           const std::vector<SheetScore>& before) const;

  // A stored sheet's picture (PNG), drawn from its grid with the current form.
  // Throws Error when there is no such sheet or the reader kept no grid.
  std::vector<std::uint8_t> Picture(int sheet);

 private:
  void Load();
  // Builds the exam's derived rows after a migration left them out: the
  // recognition again on every grid, then every score.
  void Build();
  // The responses of the typed sheets made again from what was typed (their
  // result: they have no grid).
  void Retype();
  class Decoders;
  // Decodes every stored grid again with `form` (made from `text`, named
  // `name`) and stores what it reads (inside the caller's transaction).
  RescanReport Recognize(const RecognitionForm& form, const std::string& text, const std::string& name);
  // Runs `work` in a write transaction that holds the exam's lock, with the
  // exam's current revision loaded; runs it again when the database asks.
  template <class Work>
  auto Write(Work&& work) -> decltype(work());
  // Every sheet scored with `exam` and `roster`, with the reasons across
  // sheets, and when `store` written as the exam's scores (with this
  // project's revision); the scores come back without their items unless the
  // exam is in parts.
  std::vector<SheetScore> ScoreEverySheet(const Exam& exam, const Roster& roster, bool store,
                                          std::string_view what = step::kScore);
  SheetScore Evaluate(const SheetRecord& sheet, const std::vector<Response>& responses,
                      const std::vector<CorrectionRecord>& corrections) const;
  static SheetScore Evaluate(const Exam& exam, const SheetRecord& sheet,
                             const std::vector<Response>& responses,
                             const std::vector<CorrectionRecord>& corrections);
  // Brings in these sheets of another project (`origin`) in one transaction.
  void ImportBatch(const Decoders& decoders, const std::string& origin,
                   const std::vector<SheetRecord>& sheets, ImportReport& report,
                   const std::function<void(const AddedSheet&, const SheetRecord&)>& each);
  // Every sheet scored with `exam` and `roster` (ScoreAll with another exam).
  std::vector<SheetScore> ScoreAllWith(const Exam& exam, const Roster& roster,
                                       std::vector<SheetRecord>* sheets,
                                       std::string_view what = step::kScore);
  // Stores `src` as the exam's next revision and re-scores every sheet with
  // it (or, dry, only compares); the sheets whose scores change.
  RekeyReport Replace(const std::function<ExamSources()>& make, const std::string& author,
                      const std::string& note, bool dryRun);
  ScoreRecord ToRecord(const SheetScore& score) const;
  // The exam's texts with one item changed (throws Error when nothing changes).
  ExamSources ItemChangeSources(const ItemChange& change) const;
  // Re-scores these sheets and the cross-sheet reasons of every sheet that
  // shares an ID or grid with them (inside the caller's transaction).
  void Refresh(std::vector<int> numbers);
  // Scores these sheets again with the reasons they share with others.
  void RescoreWithOthers(const std::set<int>& numbers);
  void Across(SheetScore& score, const std::string& gridHash);
  // The stored sheets with these numbers as the reasons across sheets see them.
  std::vector<Peer> PeersOf(const std::vector<int>& numbers);
  std::optional<SheetRecord> FindSheetOrThrow(int sheet, bool withGrid);

  std::unique_ptr<Store> store_;
  Id examId_ = 0;
  std::string examName_;
  RevisionRecord revision_;
  Exam exam_;
  FormShape shape_;
  Roster roster_;
  std::unique_ptr<RecognitionForm> form_;
  std::string uid_;  // as stored; "" for an exam made before exams kept one
  int retries_ = 0;
  ProgressFn progress_;
};

// The text of a score's answers and points columns (stored and exported):
// one entry per master item; the points empty for a void item and for one of
// another part's sheet.
std::string JoinAnswers(const SheetScore& score);
std::string JoinPoints(const SheetScore& score);
// A number as text: shortest form that reads back exactly, "." as the point.
std::string FormatNumber(double value);
// "blank question 24 (item 14); doubtful question 30 (item 20); CODE (sheet 12)", each reason's
// code, question and detail: a question's item is named where its number differs (the item is
// the master item). A candidate's reasons name their sheet first ("sheet 7: CODE (part B)").
std::string DescribeReasons(const std::vector<Reason>& reasons);
// Grouped, for a terminal line: "blank questions 24 (item 14), 25 (item 15); doubtful question 30
// (item 20); CODE (sheet 12)"
std::string SummarizeReasons(const std::vector<Reason>& reasons);

}  // namespace omr::exam
