// The database interface on one SQLite file: WAL journal, foreign keys,
// synchronous FULL (a power cut loses at most the transaction in flight),
// statements prepared once and kept, a write transaction that takes the
// file's write lock at its start (so writers wait for each other instead of
// failing at their first write).
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

#include "db.h"
#include "write_file.h"

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

  void Open(bool create, Access access) {
    readOnly_ = access == Access::kRead;
    Connect(path_, readOnly_ ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE);
    std::int64_t app = 0;
    try {
      app = Single("PRAGMA application_id");
    } catch (const StoreError&) {
      const int code = sqlite3_errcode(db_.get()) & 0xFF;
      if (code == SQLITE_NOTADB) throw NotAProject();
      if (code == SQLITE_CORRUPT) throw Damaged(sqlite3_errmsg(db_.get()));
      if (!readOnly_ && sqlite3_db_readonly(db_.get(), "main") == 1) throw NotWritable();
      if (!readOnly_ || code != SQLITE_CANTOPEN) throw;
      OpenImmutable();
      app = Single("PRAGMA application_id");
    }
    if (!create && app != kSqliteApplicationId) throw NotAProject();
    if (!readOnly_ && sqlite3_db_readonly(db_.get(), "main") == 1) throw NotWritable();
    // The file this connection holds, to see it moved or deleted under it.
    struct stat st {};
    if (!readOnly_ && ::stat(path_.c_str(), &st) == 0) {
      held_ = true;
      device_ = st.st_dev;
      inode_ = st.st_ino;
    }
    // Before anything is written: a damaged file stays as it is.
    if (access == Access::kWrite && !create) QuickCheck();
    if (readOnly_) return;
    if (create) {
      Exec("PRAGMA journal_mode = WAL");
      Exec("PRAGMA application_id = " + std::to_string(kSqliteApplicationId));
    } else if (Word("PRAGMA journal_mode") != "wal") {
      Exec("PRAGMA journal_mode = WAL");
    }
    // A power cut loses at most the transaction in flight (WAL, synchronous
    // NORMAL would lose the last commits; FULL keeps them).
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

  bool ReadOnly() const override { return readOnly_; }

  void CopyToMemory() override {
    if (!readOnly_) return;
    sqlite3* raw = nullptr;
    sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    Db memory(raw);
    if (!raw) throw StoreError("cannot read the project " + path_ + ": out of memory");
    sqlite3_backup* backup = sqlite3_backup_init(raw, "main", db_.get(), "main");
    const int rc = backup ? sqlite3_backup_step(backup, -1) : SQLITE_NOMEM;
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE) throw StoreError("cannot read the project " + path_ + ": " + sqlite3_errstr(rc));
    statements_.clear();
    db_ = std::move(memory);
    sqlite3_extended_result_codes(raw, 1);
    Exec("PRAGMA foreign_keys = ON");
    readOnly_ = false;
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
  StoreError Damaged(const std::string& found) const {
    return StoreError("the project " + path_ + " is damaged (" + found +
                      "); nothing was written to it: go on with a backup of it (omrctl exam backup makes "
                      "them), or save what it still holds with: sqlite3 " +
                      path_ + " .recover | sqlite3 NEW-FILE");
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

  // SQLite's quick check: every page and index entry looked at once, without
  // matching index contents to their tables (what integrity_check adds).
  void QuickCheck() {
    std::string found;
    try {
      auto rows = Query("PRAGMA quick_check(5)", {});
      while (rows->Next()) {
        const std::string line = rows->Text(0);
        if (line != "ok" && found.size() < 400) found += (found.empty() ? "" : "; ") + line;
      }
    } catch (const UnavailableError&) {
      throw;
    } catch (const StoreError&) {
      found = sqlite3_errmsg(db_.get());
    }
    if (!found.empty()) throw Damaged(found);
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

  // Every page of the database into `file`, in one read transaction (one
  // committed state); a writer holding it past the wait gets tries again.
  bool CopyInto(const std::string& file, std::string& why) {
    sqlite3* raw = nullptr;
    sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    const Db to(raw);
    int rc = SQLITE_BUSY;
    for (int attempt = 0; raw && attempt < 50 && (rc == SQLITE_BUSY || rc == SQLITE_LOCKED); ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      sqlite3_backup* backup = sqlite3_backup_init(raw, "main", db_.get(), "main");
      rc = backup ? sqlite3_backup_step(backup, -1) : sqlite3_errcode(raw);
      sqlite3_backup_finish(backup);
    }
    if (rc == SQLITE_DONE) return true;
    why = !raw ? "out of memory"
          : rc == SQLITE_BUSY || rc == SQLITE_LOCKED
              ? "the project " + path_ + " stayed busy for 5 s: try again when no program writes to it"
              : std::string(sqlite3_errmsg(raw));
    return false;
  }

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
  bool readOnly_ = false;
  bool held_ = false;  // device_ and inode_ name the file opened
  dev_t device_ = 0;
  ino_t inode_ = 0;
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

// A copy in one file (no WAL beside it) that passed SQLite's integrity check.
void SqliteConnection::CopyTo(const std::string& path) {
  std::string why;
  if (!CopyInto(path, why)) throw StoreError("cannot copy the project into " + path + ": " + why);
  sqlite3* raw = nullptr;
  const int opened =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  const Db to(raw);
  if (opened != SQLITE_OK)
    throw StoreError("cannot write the copy " + path + ": " +
                     (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(opened)));
  Pragma(raw, "PRAGMA journal_mode = DELETE");
  const std::string check = Pragma(raw, "PRAGMA integrity_check");
  if (check != "ok")
    throw StoreError("the copy failed its integrity check (" + check + "); the project itself is unchanged");
}

}  // namespace

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

std::unique_ptr<Connection> OpenSqlite(const std::string& path, bool create, Access access) {
  if (create) {
    // A journal left by a project that was at this name (moved or deleted
    // while a program had it open) can hold its last commits: SQLite would
    // delete it.
    for (const char* suffix : {"-wal", "-journal"}) {
      const std::string journal = path + suffix;
      struct stat st {};
      if (::lstat(journal.c_str(), &st) == 0 && (!S_ISREG(st.st_mode) || st.st_size > 0))
        throw StoreError(
            journal + " is there: it can hold the last sheets of a project that was at " + path +
            " (moved or deleted while in use), and a new project there would delete it; put that "
            "project back at " +
            path + " and open it to keep them, or move " + journal + " away if nothing in it is needed");
    }
    // O_EXCL: an existing file, even an empty one, is never taken over. For
    // its owner alone (SQLite gives its -wal and -shm the same mode).
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, common::kOwnerOnly);
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
    db->Open(create, create ? Access::kWrite : access);
  } catch (...) {
    db.reset();
    if (create) ::unlink(path.c_str());
    throw;
  }
  return db;
}

}  // namespace omr::exam::db
