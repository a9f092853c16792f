// The database interface on one SQLite file: WAL journal, foreign keys,
// synchronous FULL (a power cut loses at most the transaction in flight),
// statements prepared once and kept, a write transaction that takes the
// file's write lock at its start (so writers wait for each other instead of
// failing at their first write).
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "db.h"

namespace omr::exam::db {

namespace {

constexpr int kBusyMs = 15000;
// Rows one INSERT of a bulk write holds at most.
constexpr std::size_t kInsertRows = 256;

using Db = Handle<sqlite3, sqlite3_close_v2>;
using Stmt = Handle<sqlite3_stmt, sqlite3_finalize>;

class SqliteConnection;

// The rows of a prepared statement; the statement is reset when they go.
class SqliteRows final : public Rows {
 public:
  // `owned` holds the statement when it is not the kept one (a second use
  // of one text while the first is still being read).
  SqliteRows(SqliteConnection& db, sqlite3_stmt* stmt, Stmt owned, bool row)
      : db_(db), stmt_(stmt), owned_(std::move(owned)), pending_(row), done_(!row) {}
  ~SqliteRows() override {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  bool Next() override;
  bool Null(int c) const override { return sqlite3_column_type(stmt_, c) == SQLITE_NULL; }
  std::int64_t Int(int c) const override { return sqlite3_column_int64(stmt_, c); }
  double Real(int c) const override { return sqlite3_column_double(stmt_, c); }
  std::string Text(int c) const override {
    const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, c));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, c))) : std::string();
  }

 private:
  SqliteConnection& db_;
  sqlite3_stmt* stmt_;
  Stmt owned_;
  bool pending_;  // the first row, stepped to when the statement ran
  bool done_;
};

class SqliteConnection final : public Connection {
 public:
  explicit SqliteConnection(std::string path) : path_(std::move(path)) {}

  void Open(bool create) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    db_.reset(raw);
    if (rc != SQLITE_OK)
      throw StoreError("cannot open the project " + path_ + ": " +
                       (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_busy_timeout(raw, kBusyMs);
    std::int64_t app = 0;
    try {
      Exec("PRAGMA foreign_keys = ON");
      app = Single("PRAGMA application_id");
    } catch (const StoreError&) {
      if ((sqlite3_errcode(db_.get()) & 0xFF) != SQLITE_NOTADB) throw;
      throw StoreError(path_ + " is not an exam project (make one with: omrctl exam new)");
    }
    if (create) {
      Exec("PRAGMA journal_mode = WAL");
      Exec("PRAGMA application_id = " + std::to_string(kSqliteApplicationId));
    } else if (app != kSqliteApplicationId) {
      throw StoreError(path_ + " is not an exam project (make one with: omrctl exam new)");
    } else if (Word("PRAGMA journal_mode") != "wal") {
      Exec("PRAGMA journal_mode = WAL");
    }
    Exec("PRAGMA synchronous = FULL");
  }

  const Dialect& dialect() const override { return DialectOf(Kind::kSqlite); }
  const std::string& Location() const override { return path_; }

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
  bool InTransaction() const override { return inTransaction_; }

  std::unique_ptr<Rows> Query(const std::string& sql, const Params& params) override {
    Stmt owned;
    sqlite3_stmt* stmt = Prepare(sql, owned);
    if (static_cast<int>(params.size()) != sqlite3_bind_parameter_count(stmt))
      throw StoreError("a statement of the store has " + std::to_string(sqlite3_bind_parameter_count(stmt)) +
                       " parameters, given " + std::to_string(params.size()));
    // Copied: the rows may be read after the caller's parameters are gone.
    for (std::size_t i = 0; i < params.size(); ++i)
      Bind(stmt, static_cast<int>(i) + 1, params, i, SQLITE_TRANSIENT);
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      sqlite3_reset(stmt);
      sqlite3_clear_bindings(stmt);
      Fail(rc);
    }
    return std::make_unique<SqliteRows>(*this, stmt, std::move(owned), rc == SQLITE_ROW);
  }

  void Script(const std::string& sql) override { Exec(sql); }

  void BulkInsert(const std::string& table, const std::vector<std::string_view>& columns,
                  const Params& values, std::size_t rows) override {
    const std::size_t width = columns.size();
    const std::size_t each =
        std::max<std::size_t>(1, std::min(kInsertRows, DialectOf(Kind::kSqlite).maxParams / width));
    for (std::size_t from = 0; from < rows; from += each) {
      const std::size_t n = std::min(each, rows - from);
      // The full statement is kept; a last, shorter one is not.
      Stmt owned;
      sqlite3_stmt* stmt = Prepare(InsertRows(table, columns, n), owned, n == each);
      for (std::size_t i = 0; i < n * width; ++i)
        Bind(stmt, static_cast<int>(i) + 1, values, from * width + i, SQLITE_STATIC);
      const int rc = sqlite3_step(stmt);
      sqlite3_reset(stmt);
      sqlite3_clear_bindings(stmt);
      if (rc != SQLITE_DONE) Fail(rc);
    }
  }

  std::vector<std::string> Tables() override {
    std::vector<std::string> out;
    auto rows = Query("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name", {});
    while (rows->Next()) out.push_back(rows->Text(0));
    return out;
  }

  // BEGIN IMMEDIATE holds the file's one write lock already.
  void LockSchema() override {}

  void CopyTo(const std::string& path) override;

  [[noreturn]] void Fail(int rc) {
    const std::string what = sqlite3_errmsg(db_.get());
    const int primary = rc & 0xFF;
    if (rc == SQLITE_BUSY_SNAPSHOT) throw RetryableError("the project " + path_ + ": " + what);
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
      throw UnavailableError("the project " + path_ + " is busy: another program held it for " +
                             std::to_string(kBusyMs / 1000) + " s (" + what + ")");
    if (rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY)
      throw Duplicate("the project " + path_ + ": " + what);
    throw StoreError("the project " + path_ + ": " + what);
  }

 private:
  // The statement kept for this text, prepared on its first use; or, while
  // the kept one is being read (or `keep` is false), one of its own.
  sqlite3_stmt* Prepare(const std::string& sql, Stmt& owned, bool keep = true) {
    auto hit = statements_.find(sql);
    if (hit != statements_.end() && !sqlite3_stmt_busy(hit->second.get())) return hit->second.get();
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v3(db_.get(), sql.c_str(), static_cast<int>(sql.size()),
                                      keep ? SQLITE_PREPARE_PERSISTENT : 0, &raw, nullptr);
    if (rc != SQLITE_OK) Fail(rc);
    if (hit != statements_.end() || !keep) {
      owned.reset(raw);
      return raw;
    }
    return statements_.emplace(sql, Stmt(raw)).first->second.get();
  }

  void Bind(sqlite3_stmt* stmt, int at, const Params& p, std::size_t i, sqlite3_destructor_type keep) {
    int rc = SQLITE_OK;
    switch (p.null(i) ? Params::Type::kNull : p.type(i)) {
      case Params::Type::kNull:
        rc = sqlite3_bind_null(stmt, at);
        break;
      case Params::Type::kInt:
        rc = sqlite3_bind_int64(stmt, at, p.int_at(i));
        break;
      case Params::Type::kReal:
        rc = sqlite3_bind_double(stmt, at, p.real_at(i));
        break;
      case Params::Type::kText:
        rc = sqlite3_bind_text(stmt, at, p.text_at(i).data(), static_cast<int>(p.text_at(i).size()), keep);
        break;
      case Params::Type::kBytes:
        rc = sqlite3_bind_blob(stmt, at, p.text_at(i).data(), static_cast<int>(p.text_at(i).size()), keep);
        break;
    }
    if (rc != SQLITE_OK) Fail(rc);
  }

  void Exec(const std::string& sql) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &message);
    if (rc == SQLITE_OK) return;
    const std::string what = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    if ((rc & 0xFF) == SQLITE_BUSY)
      throw UnavailableError("the project " + path_ + " is busy: another program held it for " +
                             std::to_string(kBusyMs / 1000) + " s");
    throw StoreError("the project " + path_ + ": " + what);
  }

  std::int64_t Single(const std::string& sql) {
    auto rows = Query(sql, {});
    return rows->Next() ? rows->Int(0) : 0;
  }
  std::string Word(const std::string& sql) {
    auto rows = Query(sql, {});
    return rows->Next() ? rows->Text(0) : std::string();
  }

  std::string path_;
  Db db_;
  std::map<std::string, Stmt, std::less<>> statements_;
  bool inTransaction_ = false;
};

bool SqliteRows::Next() {
  if (pending_) {
    pending_ = false;
    return true;
  }
  if (done_) return false;
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  done_ = true;
  if (rc != SQLITE_DONE) db_.Fail(rc);
  return false;
}

// The first column of the first row as text, on a connection of its own.
std::string Pragma(sqlite3* db, const char* sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) throw StoreError(sqlite3_errmsg(db));
  const Stmt statement(raw);
  const int rc = sqlite3_step(raw);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw StoreError(sqlite3_errmsg(db));
  const unsigned char* text = rc == SQLITE_ROW ? sqlite3_column_text(raw, 0) : nullptr;
  return text ? reinterpret_cast<const char*>(text) : "";
}

// Every page of the project in one read transaction, so the copy is one
// committed state; a writer holding the project past the wait gets tries
// again. Then the copy is one file (no WAL beside it) that passed SQLite's
// integrity check.
void SqliteConnection::CopyTo(const std::string& path) {
  sqlite3* raw = nullptr;
  const int opened =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  const Db to(raw);
  if (opened != SQLITE_OK)
    throw StoreError("cannot write the copy " + path + ": " +
                     (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(opened)));
  constexpr int kAttempts = 50;
  int rc = SQLITE_BUSY;
  for (int attempt = 0; attempt < kAttempts && rc != SQLITE_DONE; ++attempt) {
    if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const Handle<sqlite3_backup, sqlite3_backup_finish> backup(
        sqlite3_backup_init(raw, "main", db_.get(), "main"));
    if (!backup) throw StoreError("cannot write the copy " + path + ": " + sqlite3_errmsg(raw));
    rc = sqlite3_backup_step(backup.get(), -1);
    if (rc != SQLITE_DONE && rc != SQLITE_BUSY && rc != SQLITE_LOCKED)
      throw StoreError("cannot copy the project " + path_ + ": " + sqlite3_errstr(rc));
  }
  if (rc != SQLITE_DONE)
    throw UnavailableError("the project " + path_ +
                           " stayed busy for 5 s: try again when no program writes to it");
  Pragma(raw, "PRAGMA journal_mode = DELETE");
  const std::string check = Pragma(raw, "PRAGMA integrity_check");
  if (check != "ok")
    throw StoreError("the copy failed its integrity check (" + check + "); the project itself is unchanged");
}

}  // namespace

std::unique_ptr<Connection> OpenSqlite(const std::string& path, bool create) {
  if (create) {
    // O_EXCL: an existing file, even an empty one, is never taken over.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == EEXIST)
        throw StoreError(path +
                         " exists: a new project is never written over an existing file (to add an exam to a "
                         "project, give --add)");
      throw StoreError("cannot create " + path + ": " + std::strerror(errno));
    }
    ::close(fd);
  } else {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
      throw StoreError("there is no project " + path + ": " + std::strerror(errno) +
                       " (make one with: omrctl exam new)");
    // SQLite would wait on a named pipe for ever.
    if (!S_ISREG(st.st_mode)) throw StoreError(path + " is not an exam project: not a regular file");
  }
  auto db = std::make_unique<SqliteConnection>(path);
  try {
    db->Open(create);
  } catch (...) {
    db.reset();
    if (create) ::unlink(path.c_str());
    throw;
  }
  return db;
}

}  // namespace omr::exam::db
