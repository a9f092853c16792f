// The database interface under the store, on both databases: values go in
// and come back as they were (by single statements and by bulk inserts, which
// take other paths: multi-row INSERTs, COPY), errors say what happened, the
// clock is the database's, a copy of an SQLite project is whole.
#include "db.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>

#include "store_backends.h"

namespace omr::exam {
namespace {

using db::Params;
using testing::BackendTest;

class DbTest : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    location_ = backend_->NewLocation();
    db_ = GetParam() == "sqlite" ? db::OpenSqlite(location_, true) : db::OpenPostgres(location_, true);
    const db::Dialect& d = db_->dialect();
    db_->Script("CREATE TABLE t(id " + std::string(d.idColumn) + ", i " + std::string(d.keyType) + ", r " +
                std::string(d.realType) + ", s TEXT, b " + std::string(d.bytesType) + ", u TEXT UNIQUE)");
  }
  std::string location_;
  std::unique_ptr<db::Connection> db_;
};

struct Row {
  std::optional<std::int64_t> i;
  std::optional<double> r;
  std::optional<std::string> s;
  std::optional<std::string> b;
};

const std::vector<Row> kRows = {
    {0, 0.0, "", std::string()},
    {std::numeric_limits<std::int64_t>::max(), 0.1, "it's \"quoted\"", std::string("\0\x01\xff", 3)},
    {std::numeric_limits<std::int64_t>::min(), -1e-300, "tab\there\nline\rand \\ back",
     std::string("\\x41\t\n\\")},
    {-1, DBL_MAX, "UTF-8: \xc3\xa9\xe4\xb8\xad", std::string(300, '\xcd')},
    {std::nullopt, std::nullopt, std::nullopt, std::nullopt},
    {42, 1.0 / 3, "?", std::string("?")},
};

void Put(Params& p, const Row& row) {
  if (row.i)
    p.Int(*row.i);
  else
    p.Key(0);
  p.Real(row.r).Text(row.s);
  if (row.b)
    p.Bytes(*row.b);
  else
    p.BytesOrNull("");
}

void ExpectRows(db::Connection& db, const std::vector<Row>& want) {
  auto rows = db.Query("SELECT i, r, s, b FROM t ORDER BY id");
  for (std::size_t n = 0; n < want.size(); ++n) {
    ASSERT_TRUE(rows->Next()) << "row " << n;
    const Row& w = want[n];
    EXPECT_EQ(rows->Null(0), !w.i) << n;
    if (w.i) {
      EXPECT_EQ(rows->Int(0), *w.i) << n;
    }
    EXPECT_EQ(rows->Null(1), !w.r) << n;
    if (w.r) {
      EXPECT_EQ(rows->Real(1), *w.r) << n;
    }
    EXPECT_EQ(rows->MaybeText(2), w.s) << n;
    EXPECT_EQ(rows->MaybeText(3), w.b) << n;
  }
  EXPECT_FALSE(rows->Next());
}

TEST_P(DbTest, ValuesComeBackAsTheyWentIn) {
  for (const Row& row : kRows) {
    Params p;
    Put(p, row);
    db_->Run("INSERT INTO t(i, r, s, b) VALUES (?, ?, ?, ?)", p);
  }
  ExpectRows(*db_, kRows);
  EXPECT_THROW(Params().Text(std::string("a\0b", 3)), StoreError);
}

// Bulk inserts of a handful of rows and of more than one statement (or one
// COPY buffer) takes: the same values back, in order.
TEST_P(DbTest, BulkInsertsKeepEveryValueAndTheOrder) {
  for (const std::size_t count : {std::size_t{3}, std::size_t{700}}) {
    db_->Run("DELETE FROM t");
    std::vector<Row> want;
    Params values;
    for (std::size_t n = 0; n < count; ++n) {
      Row row = kRows[n % kRows.size()];
      if (row.i) *row.i ^= static_cast<std::int64_t>(n % 2);  // the extremes stay in range
      if (row.s) *row.s += std::to_string(n);
      want.push_back(row);
      Put(values, row);
    }
    db_->Begin();
    db_->Insert("t", {"i", "r", "s", "b"}, values);
    db_->Commit();
    ExpectRows(*db_, want);
  }
  EXPECT_THROW(db_->Insert("t", {"i", "r"}, Params().Int(1)), StoreError);  // half a row
}

TEST_P(DbTest, TransactionsDuplicatesAndStatementsReadTwiceAtOnce) {
  db_->Begin();
  EXPECT_THROW(db_->Begin(), StoreError);
  db_->Run("INSERT INTO t(u) VALUES (?)", Params().Text("a"));
  db_->Rollback();
  EXPECT_FALSE(db_->Query("SELECT u FROM t")->Next());

  db_->Begin();
  db_->Run("INSERT INTO t(u) VALUES (?)", Params().Text("a"));
  db_->Run("INSERT INTO t(u) VALUES (?)", Params().Text("b"));
  db_->Commit();
  EXPECT_THROW(db_->Run("INSERT INTO t(u) VALUES (?)", Params().Text("a")), db::Duplicate);
  EXPECT_THROW(db_->Run("INSERT INTO nowhere VALUES (1)"), StoreError);

  // The same text again while its rows are being read; the parameters gone
  // before the rows are.
  const std::string sql = "SELECT u FROM t WHERE u >= ? ORDER BY u";
  auto outer = db_->Query(sql, Params().Text(std::string("a")));
  std::vector<std::string> pairs;
  while (outer->Next()) {
    auto inner = db_->Query(sql, Params().Text(outer->Text(0)));
    while (inner->Next()) pairs.push_back(outer->Text(0) + inner->Text(0));
  }
  EXPECT_EQ(pairs, (std::vector<std::string>{"aa", "ab", "bb"}));
  EXPECT_EQ(db_->Tables(), std::vector<std::string>{"t"});
}

// The clock is the database's, in UTC, as text that sorts; a time later by
// a number of seconds is that many seconds on.
TEST_P(DbTest, TheDatabasesClock) {
  const db::Dialect& d = db_->dialect();
  auto r =
      db_->Query("SELECT " + std::string(d.now) + ", " + std::string(d.nowPlusSeconds), Params().Int(90));
  ASSERT_TRUE(r->Next());
  const std::string now = r->Text(0);
  const std::string later = r->Text(1);
  ASSERT_EQ(now.size(), 24u) << now;
  EXPECT_EQ(now[10], 'T');
  EXPECT_EQ(now.back(), 'Z');
  auto seconds = [](const std::string& t) {
    return std::stoi(t.substr(11, 2)) * 3600 + std::stoi(t.substr(14, 2)) * 60 + std::stod(t.substr(17, 6));
  };
  EXPECT_NEAR(std::fmod(seconds(later) - seconds(now) + 86400, 86400), 90, 1e-6);
  EXPECT_LT(now, later);
}

TEST_P(DbTest, ACopyOfAnSqliteProjectIsOneWholeFile) {
  db_->Run("INSERT INTO t(s, b) VALUES (?, ?)", Params().Text("kept").Bytes(std::string("\0\1", 2)));
  const std::string copy = location_ + ".copy";
  if (GetParam() != "sqlite") {
    try {
      db_->CopyTo(copy);
      ADD_FAILURE() << "a server's database was copied to a file";
    } catch (const StoreError& e) {
      EXPECT_NE(std::string(e.what()).find("pg_dump"), std::string::npos) << e.what();
    }
    return;
  }
  std::fclose(std::fopen(copy.c_str(), "w"));
  db_->CopyTo(copy);
  EXPECT_FALSE(std::filesystem::exists(copy + "-wal"));
  auto back = db::OpenSqlite(copy, false);
  auto r = back->Query("SELECT s, b FROM t");
  ASSERT_TRUE(r->Next());
  EXPECT_EQ(r->Text(0), "kept");
  EXPECT_EQ(r->Text(1), std::string("\0\1", 2));
  std::filesystem::remove(copy);
}

OMR_FOR_EACH_BACKEND(DbTest);

TEST(Placeholders, NumberedForPostgresOutsideQuotes) {
  const std::pair<const char*, const char*> cases[] = {
      {"SELECT 1", "SELECT 1"},
      {"a = ? AND b = ?", "a = $1 AND b = $2"},
      {"s = '?' AND t = ?", "s = '?' AND t = $1"},
      {"\"odd?\" = ? OR x = 'it''s ?' OR y = ?", "\"odd?\" = $1 OR x = 'it''s ?' OR y = $2"},
  };
  for (const auto& [sql, numbered] : cases) EXPECT_EQ(db::NumberPlaceholders(sql), numbered) << sql;
}

}  // namespace
}  // namespace omr::exam
