// The SQLite store on real files: creation, numbering, transactions,
// concurrency between connections, schema versions.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <thread>

#include "sqlite_store.h"

namespace omr::exam {
namespace {

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("omr-store-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "p.omrexam").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static Id NewExam(Store& s) {
    WriteTransaction tx(s);
    const Id exam = s.CreateExam("exam", "2025-01-01T00:00:00Z");
    RevisionRecord r;
    r.kind = "new";
    r.examText = "{}";
    r.formText = std::string("\"T A/\"\n\0x", 9);
    s.AddRevision(exam, r);
    tx.Commit();
    return exam;
  }

  static SheetRecord Sheet(const std::string& station, Id batch = 0) {
    SheetRecord s;
    s.station = station;
    s.batch = batch;
    s.readAt = "2025-01-01T00:00:01Z";
    s.source = "read";
    s.result = std::string("AB\0C", 4);
    s.lines = 2;
    s.columns = 2;
    s.grid = {1, 2, 3};
    s.gridHash = "h";
    return s;
  }

  std::filesystem::path dir_;
  std::string path_;
};

TEST_F(StoreTest, CreateRefusesAnyExistingFileAndOpenRefusesStrangers) {
  { auto s = CreateSqliteStore(path_); }
  EXPECT_THROW(CreateSqliteStore(path_), StoreError);
  const std::string empty = (dir_ / "empty").string();
  {
    std::FILE* f = std::fopen(empty.c_str(), "w");
    std::fclose(f);
  }
  EXPECT_THROW(CreateSqliteStore(empty), StoreError);
  EXPECT_EQ(std::filesystem::file_size(empty), 0u);  // left as it was
  EXPECT_THROW(OpenSqliteStore((dir_ / "missing").string()), StoreError);
  // An SQLite file that is not a project.
  const std::string other = (dir_ / "other.db").string();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "CREATE TABLE t(x)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  EXPECT_THROW(OpenSqliteStore(other), StoreError);
}

TEST_F(StoreTest, SchemaVersionWalAndForeignKeys) {
  {
    auto s = CreateSqliteStore(path_);
    EXPECT_EQ(s->SchemaVersion(), SqliteSchemaVersion());
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &st, nullptr);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "wal");
  sqlite3_finalize(st);
  // A newer schema than this build knows is refused, untouched.
  sqlite3_exec(db, "UPDATE schema_version SET version = 99", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  EXPECT_THROW(OpenSqliteStore(path_), StoreError);

  auto s = CreateSqliteStore((dir_ / "fk").string());
  WriteTransaction tx(*s);
  SheetRecord orphan = Sheet("x");
  EXPECT_THROW(s->AddSheet(12345, orphan), StoreError);  // no such exam
}

TEST_F(StoreTest, NumberingContinuesAcrossRunsAndStations) {
  Id exam = 0;
  {
    auto s = CreateSqliteStore(path_);
    exam = NewExam(*s);
    const Id batch = s->BeginBatch(exam, "north", "t0");
    for (const char* station : {"north", "south", "north"}) {
      WriteTransaction tx(*s);
      SheetRecord sheet = Sheet(station, std::string(station) == "north" ? batch : 0);
      s->AddSheet(exam, sheet);
      tx.Commit();
    }
  }
  auto s = OpenSqliteStore(path_);
  WriteTransaction tx(*s);
  SheetRecord sheet = Sheet("south");
  s->AddSheet(exam, sheet);
  tx.Commit();
  EXPECT_EQ(sheet.number, 4);
  EXPECT_EQ(sheet.stationNumber, 2);
  std::vector<std::pair<int, int>> seen;
  s->ForEachSheet(exam, true, [&](SheetRecord& r, std::vector<Response>&) {
    seen.push_back({r.number, r.stationNumber});
    EXPECT_EQ(r.result, std::string("AB\0C", 4));
    EXPECT_EQ(r.grid, (std::vector<std::uint8_t>{1, 2, 3}));
  });
  EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{1, 1}, {2, 1}, {3, 2}, {4, 2}}));
  const std::vector<BatchRecord> batches = s->Batches(exam);
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0].sheets, 2);
  EXPECT_TRUE(batches[0].endedAt.empty());
  EXPECT_EQ(s->Revision(exam, 0).formText, std::string("\"T A/\"\n\0x", 9));
}

TEST_F(StoreTest, ARolledBackSheetLeavesNothing) {
  auto s = CreateSqliteStore(path_);
  const Id exam = NewExam(*s);
  try {
    WriteTransaction tx(*s);
    SheetRecord sheet = Sheet("a");
    s->AddSheet(exam, sheet);
    s->PutResponses(sheet.id, {{1, "A", 'A', 1.0, 0}});
    throw Error("power cut");
  } catch (const Error&) {
  }
  EXPECT_EQ(s->SheetCount(exam), 0);
  WriteTransaction tx(*s);
  SheetRecord sheet = Sheet("a");
  s->AddSheet(exam, sheet);
  tx.Commit();
  EXPECT_EQ(sheet.number, 1);
}

TEST_F(StoreTest, TwoConnectionsNeverShareANumber) {
  Id exam = 0;
  {
    auto s = CreateSqliteStore(path_);
    exam = NewExam(*s);
  }
  constexpr int kEach = 40;
  auto station = [&](const std::string& name) {
    auto s = OpenSqliteStore(path_);
    for (int i = 0; i < kEach; ++i) {
      WriteTransaction tx(*s);
      SheetRecord sheet = Sheet(name);
      s->AddSheet(exam, sheet);
      s->PutResponses(sheet.id, {{1, "B", 'B', 0.5, 1}, {2, "", '.', 1.0, 0}});
      tx.Commit();
    }
  };
  std::thread a(station, "a");
  std::thread b(station, "b");
  a.join();
  b.join();
  auto s = OpenSqliteStore(path_);
  std::vector<int> numbers;
  s->ForEachSheet(exam, false, [&](SheetRecord& r, std::vector<Response>& responses) {
    numbers.push_back(r.number);
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_EQ(responses[0].marked, "B");
    EXPECT_EQ(responses[0].doubtful, 1);
  });
  ASSERT_EQ(numbers.size(), 2u * kEach);
  for (int i = 0; i < 2 * kEach; ++i) EXPECT_EQ(numbers[static_cast<std::size_t>(i)], i + 1);
  for (const StationCount& c : s->Stations(exam)) EXPECT_EQ(c.sheets, kEach);
}

TEST_F(StoreTest, CorrectionsAppendAndScoresReplace) {
  auto s = CreateSqliteStore(path_);
  const Id exam = NewExam(*s);
  WriteTransaction tx(*s);
  SheetRecord sheet = Sheet("a");
  s->AddSheet(exam, sheet);
  CorrectionRecord c{0, 1, "12", std::nullopt, "B", "Ann", "t1", "smudge"};
  s->AddCorrection(exam, c);
  CorrectionRecord w{0, 1, "12", "B", std::nullopt, "Bo", "t2", ""};
  s->AddCorrection(exam, w);
  CorrectionRecord none{0, 9, "12", std::nullopt, "B", "Ann", "t1", ""};
  EXPECT_THROW(s->AddCorrection(exam, none), StoreError);
  ScoreRecord score;
  score.scored = true;
  score.total = 1.5;
  score.studentId = "7";
  score.idState = "valid";
  score.reasons = {{"blank", 12, ""}, {"duplicate-id", 0, "sheet 3"}};
  s->PutScore(sheet.id, score);
  score.reasons = {{"doubtful", 13, ""}};
  score.total = 2;
  s->PutScore(sheet.id, score);
  tx.Commit();

  const std::vector<CorrectionRecord> all = s->Corrections(exam, 0);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].newValue, std::optional<std::string>("B"));
  EXPECT_EQ(all[1].oldValue, std::optional<std::string>("B"));
  EXPECT_FALSE(all[1].newValue.has_value());
  const std::optional<ScoreRecord> back = s->Score(exam, 1);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->total, 2);
  ASSERT_EQ(back->reasons.size(), 1u);
  EXPECT_EQ(back->reasons[0].code, "doubtful");
  EXPECT_EQ(s->SheetsWithStudent(exam, "7"), std::vector<int>{1});
  EXPECT_EQ(s->SheetsWithGrid(exam, "h"), std::vector<int>{1});
}

TEST_F(StoreTest, TheReviewQueueOrdersFiltersAndCounts) {
  auto s = CreateSqliteStore(path_);
  const Id exam = NewExam(*s);
  struct Planted {
    double confidence;
    std::vector<Reason> reasons;
  };
  const std::vector<Planted> planted = {
      {0.3, {{"doubtful", 12, ""}}},    {1, {}},
      {0, {{"not-read", 0, "3"}}},      {0.6, {{"blank", 5, ""}, {"doubtful", 7, ""}}},
      {0.3, {{"unknown-id", 0, "99"}}},
  };
  std::vector<Id> ids;
  {
    WriteTransaction tx(*s);
    for (const Planted& p : planted) {
      SheetRecord sheet = Sheet("a");
      s->AddSheet(exam, sheet);
      ScoreRecord score;
      score.confidence = p.confidence;
      score.reasons = p.reasons;
      s->PutScore(sheet.id, score);
      ids.push_back(sheet.id);
    }
    tx.Commit();
  }
  auto numbers = [](const std::vector<QueueEntry>& entries) {
    std::vector<int> out;
    for (const QueueEntry& e : entries) out.push_back(e.sheet);
    return out;
  };
  // The least confident first, then by number; every reason of each sheet.
  const std::vector<QueueEntry> all = s->ReviewQueue(exam, "", 0, 100);
  EXPECT_EQ(numbers(all), (std::vector<int>{3, 1, 5, 4}));
  ASSERT_EQ(all[3].reasons.size(), 2u);
  EXPECT_EQ(all[3].reasons[1].code, "doubtful");
  EXPECT_EQ(all[3].reasons[1].question, 7);
  EXPECT_DOUBLE_EQ(all[3].confidence, 0.6);
  EXPECT_EQ(numbers(s->ReviewQueue(exam, "doubtful", 0, 100)), (std::vector<int>{1, 4}));
  EXPECT_EQ(numbers(s->ReviewQueue(exam, "", 1, 2)), (std::vector<int>{1, 5}));
  EXPECT_TRUE(s->ReviewQueue(exam, "duplicate-grid", 0, 100).empty());
  ReviewCounts counts = s->CountReview(exam);
  EXPECT_EQ(counts.flagged, 4);
  EXPECT_EQ(counts.waiting, 4);
  EXPECT_EQ(counts.byReason,
            (std::map<std::string, int>{{"blank", 1}, {"doubtful", 2}, {"not-read", 1}, {"unknown-id", 1}}));

  // Settled: out of the queue, still counted as flagged (reviewed); a sheet
  // that never had a reason is never flagged.
  {
    WriteTransaction tx(*s);
    ScoreRecord settled;
    s->PutScore(ids[0], settled);
    s->PutScore(ids[1], settled);
    tx.Commit();
  }
  counts = s->CountReview(exam);
  EXPECT_EQ(counts.flagged, 4);
  EXPECT_EQ(counts.waiting, 3);
  EXPECT_TRUE(s->Score(exam, 1)->flagged);
  EXPECT_FALSE(s->Score(exam, 2)->flagged);
  EXPECT_EQ(numbers(s->ReviewQueue(exam, "", 0, 100)), (std::vector<int>{3, 5, 4}));

  // An undo names the correction it undoes.
  WriteTransaction tx(*s);
  CorrectionRecord c{0, 1, "12", std::nullopt, "B", "Ann", "t1", ""};
  s->AddCorrection(exam, c);
  CorrectionRecord undo{0, 1, "12", "B", std::nullopt, "Ann", "t2", "", c.id};
  s->AddCorrection(exam, undo);
  tx.Commit();
  const std::vector<CorrectionRecord> back = s->Corrections(exam, 1);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].undoes, 0);
  EXPECT_EQ(back[1].undoes, c.id);
}

// A project written by the first schema opens migrated: each sheet's
// confidence and whether it waits are filled in from what it holds.
TEST_F(StoreTest, ASchemaOneProjectIsMigrated) {
  { auto old = CreateSqliteStoreAt(path_, 1); }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  const char* sql = R"sql(
INSERT INTO exams(id, name, created_at, revision) VALUES (1, 'exam', 't', 1);
INSERT INTO sheets(id, exam_id, number, station, station_number, read_at, source, origin, serial, firmware, letter,
  code, result, grid_lines, grid_columns, grid, grid_hash)
  VALUES (1, 1, 1, 'a', 1, 't', 'read', '', '', '', 'A', 0, 'AB', 0, 0, NULL, ''),
         (2, 1, 2, 'a', 2, 't', 'read', '', '', '', '', 3, '', 0, 0, NULL, ''),
         (3, 1, 3, 'a', 3, 't', 'read', '', '', '', 'A', 0, 'AB', 0, 0, NULL, '');
INSERT INTO responses VALUES (1, 1, 'A', 65, 0.4, 1), (1, 2, 'B', 66, 0.9, 0), (3, 1, 'A', 65, 1, 0);
INSERT INTO scores VALUES (1, 1, 1, 0, '7', 'valid', 'A', 1, 2, 50, 'A,B', '1,0'),
                          (2, 1, 0, 0, '', 'none', '', NULL, NULL, NULL, '', ''),
                          (3, 1, 1, 0, '8', 'valid', 'A', 2, 2, 100, 'A,B', '1,1');
INSERT INTO reasons VALUES (1, 'doubtful', 1, ''), (2, 'not-read', 0, '3');
INSERT INTO corrections(sheet_id, target, old_value, new_value, author, made_at, reason)
  VALUES (3, '2', 'A', 'B', 'Ann', 't', '');
)sql";
  char* error = nullptr;
  ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  sqlite3_close(db);

  auto s = OpenSqliteStore(path_);
  EXPECT_EQ(s->SchemaVersion(), 2);
  const std::vector<ScoreRecord> scores = s->Scores(1);
  ASSERT_EQ(scores.size(), 3u);
  EXPECT_DOUBLE_EQ(scores[0].confidence, 0.4);
  EXPECT_DOUBLE_EQ(scores[1].confidence, 0);  // not read
  EXPECT_DOUBLE_EQ(scores[2].confidence, 1);
  EXPECT_TRUE(scores[0].flagged && scores[1].flagged);
  EXPECT_FALSE(scores[2].flagged);
  const ReviewCounts counts = s->CountReview(1);
  EXPECT_EQ(counts.waiting, 2);
  ASSERT_EQ(s->ReviewQueue(1, "", 0, 10).size(), 2u);
  EXPECT_EQ(s->ReviewQueue(1, "", 0, 10)[0].sheet, 2);
  EXPECT_EQ(s->Corrections(1, 3).at(0).undoes, 0);
}

}  // namespace
}  // namespace omr::exam
