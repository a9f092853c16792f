// The SQLite store on real files: creation, numbering, transactions,
// concurrency between connections, schema versions.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
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

}  // namespace
}  // namespace omr::exam
