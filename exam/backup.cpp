#include "backup.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <thread>

#include "error.h"
#include "sqlite_store.h"
#include "store.h"
#include "write_file.h"

namespace omr::exam {
namespace {

struct CloseDb {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;

struct FinishBackup {
  void operator()(sqlite3_backup* b) const { sqlite3_backup_finish(b); }
};

struct FinalizeStatement {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};

Db OpenDb(const std::string& path, int flags, std::string& error) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  Db db(raw);
  if (rc != SQLITE_OK) {
    error = path + ": " + (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
    db.reset();
  }
  return db;
}

// The first column of the first row, as text ("" when there is none).
bool Single(sqlite3* db, const char* sql, std::string& value, std::string& error) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
    error = sqlite3_errmsg(db);
    return false;
  }
  std::unique_ptr<sqlite3_stmt, FinalizeStatement> statement(raw);
  const int rc = sqlite3_step(raw);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    error = sqlite3_errmsg(db);
    return false;
  }
  const unsigned char* text = rc == SQLITE_ROW ? sqlite3_column_text(raw, 0) : nullptr;
  value = text ? reinterpret_cast<const char*>(text) : "";
  return true;
}

// Copies every page of `from` into `to` in one read transaction, so the copy is
// one committed state. A writer holding the project past the wait gets tries again.
bool CopyPages(sqlite3* from, sqlite3* to, std::string& error) {
  constexpr int kAttempts = 50;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::unique_ptr<sqlite3_backup, FinishBackup> backup(sqlite3_backup_init(to, "main", from, "main"));
    if (!backup) {
      error = sqlite3_errmsg(to);
      return false;
    }
    const int rc = sqlite3_backup_step(backup.get(), -1);
    backup.reset();
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) {
      error = sqlite3_errstr(rc);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  error = "the project stayed busy for 5 s: try again when no program writes to it";
  return false;
}

}  // namespace

BackupReport BackupProject(const std::string& project, const std::string& target, bool replace) {
  if (IsServerLocation(project))
    throw Error(project +
                " is a PostgreSQL project: back it up with the database's own tools, for example "
                "pg_dump --format=custom --file=FILE 'postgresql://USER@HOST/DATABASE'");
  if (target.empty()) throw Error("give the file to write the copy to");
  // Replacing the project or its journal under the programs that have it open
  // would lose what they write next; an older copy may go (with --force).
  omr::common::OutputRules rules;
  rules.databaseMayGo = true;
  rules.keep = project;
  if (std::string problem = omr::common::OutputProblem(target, rules); !problem.empty()) throw Error(problem);
  BackupReport report;
  {
    // Checks that it is a project and brings its schema up to date, so the
    // copy opens as it is.
    const std::unique_ptr<Store> store = OpenSqliteStore(project);
    report.schema = store->SchemaVersion();
    for (const ExamRecord& exam : store->Exams()) report.sheets += store->SheetCount(exam.id);
  }
  std::string error;
  // Read-write only so that closing it, the last connection, tidies the WAL away.
  Db from = OpenDb(project, SQLITE_OPEN_READWRITE, error);
  if (!from) throw StoreError("cannot open the project " + error);
  sqlite3_busy_timeout(from.get(), 5000);

  const auto fill = [&](const std::string& temporary, std::string& why) {
    Db to = OpenDb(temporary, SQLITE_OPEN_READWRITE, why);
    if (!to || !CopyPages(from.get(), to.get(), why)) return false;
    // One file: no WAL beside it, whatever copies or opens it later.
    std::string value;
    if (!Single(to.get(), "PRAGMA journal_mode = DELETE", value, why)) return false;
    if (!Single(to.get(), "PRAGMA integrity_check", value, why)) return false;
    if (value != "ok") {
      why = "the copy failed its integrity check (" + value + "); the project itself is unchanged";
      return false;
    }
    to.reset();
    struct stat st {};
    if (::stat(temporary.c_str(), &st) == 0) report.bytes = st.st_size;
    return true;
  };
  if (!common::WriteFileWhole(target, replace ? common::IfExists::kReplace : common::IfExists::kKeep, fill,
                              error, rules))
    throw Error(error == common::ExistsError(target) ? error + ": give another name, or --force to replace it"
                                                     : error);
  return report;
}

}  // namespace omr::exam
