// The thin database interface under the project store: one connection,
// statements with `?` parameters bound (never values written into SQL), rows
// read by column, transactions, bulk inserts, and what the two databases spell
// differently (the Dialect). Two implementations: an SQLite file (db_sqlite.cpp)
// and a PostgreSQL server (db_postgres.cpp). The store (store.cpp) holds every
// statement and is written once over this.
//
// Failures throw the exam layer's errors (error.h): UnavailableError when the
// database was busy past its wait or the connection was lost, RetryableError
// when the server gave up on the transaction because of another writer (run
// it again: InTransaction does), Duplicate for a unique key already taken,
// StoreError for the rest.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "error.h"

namespace omr::exam {

// How a command uses a project.
enum class Access {
  kRead,    // reads only: opened read-only, so a copy on read-only media opens too; never changed
  kWrite,   // writes: a project file is checked first (SQLite's quick check, in time proportional to
            // its size), so that nothing is written into a damaged one
  kReopen,  // writes, to a project this process checked when it opened it first
};

// What became of a project file that is no longer under its name.
struct Relocation {
  std::string path;   // where the project is now: the file's new name, or the copy made of it
  bool copy = false;  // the file had no name left (deleted, or replaced): `path` is a copy of it
};

}  // namespace omr::exam

namespace omr::exam::db {

// A C library's handle, freed by `Free` when it goes (the implementations' RAII).
template <auto Free>
struct Freer {
  template <class T>
  void operator()(T* handle) const {
    Free(handle);
  }
};
template <class T, auto Free>
using Handle = std::unique_ptr<T, Freer<Free>>;

// A row with this unique key exists already.
class Duplicate : public StoreError {
 public:
  using StoreError::StoreError;
};

// The values of a statement's `?` parameters, in order. Text must be UTF-8
// without NUL bytes; bytes are stored as they are (BLOB, BYTEA).
class Params {
 public:
  enum class Type : std::uint8_t { kNull, kInt, kReal, kText, kBytes };

  Params& Null();
  Params& Int(std::int64_t v);
  Params& Real(double v);
  Params& Text(std::string v);
  Params& Text(const char* v) { return Text(std::string(v)); }
  Params& Bytes(std::string v);
  // NULL when empty; the type goes with it (a server must know a NULL's type
  // where nothing around it says).
  Params& Real(const std::optional<double>& v) { return v ? Real(*v) : Typed(Type::kReal); }
  Params& Text(const std::optional<std::string>& v) { return v ? Text(*v) : Typed(Type::kText); }
  Params& BytesOrNull(std::string v) { return v.empty() ? Typed(Type::kBytes) : Bytes(std::move(v)); }
  // A row id; 0 is none (NULL).
  Params& Key(std::int64_t v) { return v ? Int(v) : Typed(Type::kInt); }

  std::size_t size() const { return values_.size(); }
  bool empty() const { return values_.empty(); }
  void clear() { values_.clear(); }
  void reserve(std::size_t n) { values_.reserve(n); }
  Type type(std::size_t i) const { return values_[i].type; }
  bool null(std::size_t i) const { return values_[i].null; }
  std::int64_t int_at(std::size_t i) const { return values_[i].number; }
  double real_at(std::size_t i) const { return values_[i].real; }
  // Text or bytes.
  const std::string& text_at(std::size_t i) const { return values_[i].text; }

 private:
  Params& Typed(Type type);
  struct Value {
    Type type = Type::kNull;
    bool null = true;
    std::int64_t number = 0;
    double real = 0;
    std::string text;
  };
  std::vector<Value> values_;
};

// The rows of a statement, read one at a time. Columns count from 0.
class Rows {
 public:
  virtual ~Rows() = default;
  // Moves to the next row; false after the last.
  virtual bool Next() = 0;
  virtual bool Null(int column) const = 0;
  virtual std::int64_t Int(int column) const = 0;
  virtual double Real(int column) const = 0;
  // Text or bytes as stored ("" for NULL).
  virtual std::string Text(int column) const = 0;
  std::optional<std::string> MaybeText(int column) const {
    if (Null(column)) return std::nullopt;
    return Text(column);
  }
  int Int32(int column) const { return static_cast<int>(Int(column)); }
};

enum class Kind { kSqlite, kPostgres };

// What the two databases spell differently; the store builds its statements
// from these so that one text serves both.
struct Dialect {
  Kind kind;
  // The database's clock in UTC, as text that sorts as it reads
  // ("2025-01-31T12:34:56.789Z"); the same `?` seconds later.
  std::string_view now;
  std::string_view nowPlusSeconds;
  // After a SELECT of one row: holds that row for the transaction (a server
  // with writers at once); nothing where the transaction holds the whole file.
  std::string_view lockRow;
  // The schema's words for types that differ (schema.sql).
  std::string_view idColumn;  // a row id the database gives
  std::string_view keyType;   // a column that holds a row id
  std::string_view bytesType;
  std::string_view realType;
  // Largest number of `?` a statement may hold.
  std::size_t maxParams;
};

// The words of SQLite or PostgreSQL.
const Dialect& DialectOf(Kind kind);

class Connection {
 public:
  virtual ~Connection() = default;

  virtual const Dialect& dialect() const = 0;
  // Where the database is (a path, or a connection text without password).
  virtual const std::string& Location() const = 0;

  // One write transaction at a time; Begin() inside one is an error.
  // SQLite takes the file's write lock at once; PostgreSQL sets the
  // transaction's time limits (a pooler in transaction mode keeps no
  // session state, so nothing is set outside a transaction).
  virtual void Begin() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() noexcept = 0;
  virtual bool InTransaction() const = 0;

  // Runs one statement; its rows are read before the next statement runs.
  virtual std::unique_ptr<Rows> Query(const std::string& sql, const Params& params = {}) = 0;
  // Runs one statement whose rows, if any, are not wanted.
  void Run(const std::string& sql, const Params& params = {}) { Query(sql, params); }
  // Statements without parameters, separated by semicolons (the schema).
  virtual void Script(const std::string& sql) = 0;
  // Inserts rows (`values` holds columns.size() values a row, row after row)
  // by the database's bulk means: multi-row INSERTs in SQLite, COPY in
  // PostgreSQL.
  void Insert(const std::string& table, const std::vector<std::string_view>& columns, const Params& values);

  // The tables of the project's schema.
  virtual std::vector<std::string> Tables() = 0;
  // Inside a transaction: other connections changing the schema wait until
  // it ends (two programs migrating or creating one project at once).
  virtual void LockSchema() = 0;
  // Writes a consistent copy of the whole database into a new file (an
  // SQLite backup); a server refuses (its own tools make copies).
  virtual void CopyTo(const std::string& path) = 0;

  // Opened for reading only (nothing may be written).
  virtual bool ReadOnly() const { return false; }
  // A file opened for reading only goes on in a copy of it in memory, which
  // may be written (an older schema migrated, derived rows built) while the
  // file stays as it is.
  virtual void CopyToMemory() {}
  // A file: false once its path no longer names the file held (moved,
  // deleted or replaced under the program).
  virtual bool InPlace() { return true; }
  // For a file no longer in place: every commit put into the file held (none
  // left only in the journal beside the old name), and where that file is
  // now: its new name, or, when it has none, a copy made beside the old path.
  virtual Relocation Secure() { return {Location(), false}; }

 protected:
  // Insert's work: `values` holds `rows` whole rows (at least one).
  virtual void BulkInsert(const std::string& table, const std::vector<std::string_view>& columns,
                          const Params& values, std::size_t rows) = 0;
};

// "a, b, c"
std::string ColumnList(const std::vector<std::string_view>& columns);
// INSERT INTO table(columns) VALUES (?, ...), ... for `rows` rows.
std::string InsertRows(const std::string& table, const std::vector<std::string_view>& columns,
                       std::size_t rows);

// How InTransaction runs a transaction again after a RetryableError: up to
// `attempts` runs in all, with a random pause that grows from about 5 ms to
// 500 ms, so that writers that collided do not collide again.
struct RetryPolicy {
  int attempts = 8;
  void Pause(int attempt) const {
    thread_local std::minstd_rand jitter(std::random_device{}());
    const int ceiling = std::min(5 << std::min(attempt, 10), 500);  // ms
    std::this_thread::sleep_for(std::chrono::milliseconds(
        ceiling / 2 + static_cast<int>(jitter() % static_cast<unsigned>(ceiling / 2 + 1))));
  }
};

// The application id of an SQLite project file ("OMRE"), so that a stray
// SQLite file is refused.
inline constexpr int kSqliteApplicationId = 0x4F4D5245;

// An SQLite project file. `create`: the file is made (only where nothing is,
// nor a journal that may hold another project's last commits) and becomes a
// project (WAL, the project's application id, for its owner alone); else it
// must be one already, opened as `access` says: read-only (as it stands on
// read-only media unless commits wait in its WAL), or to write, after
// SQLite's quick check (kWrite) found it whole.
std::unique_ptr<Connection> OpenSqlite(const std::string& path, bool create, Access access = Access::kWrite);

// Whether `path` is a regular file that begins as an SQLite database, read
// through SQLite's own file layer: a plain open() and close() of a project
// this process has open would drop its connections' locks (POSIX locks
// belong to the process), and another program closing the project would
// then take itself for the last one and remove the write-ahead log that the
// next commits here still go to.
bool IsSqliteDatabase(const std::string& path);

// A PostgreSQL database; the text must hold no password (libpq takes it from
// ~/.pgpass or PGPASSWORD). `create`: the database must have the encoding a
// project needs and a schema to work in.
std::unique_ptr<Connection> OpenPostgres(const std::string& conninfo, bool create);
// A postgresql:// or postgres:// URI, or libpq's key/value form.
bool IsPostgresLocation(const std::string& location);

// The same `?` placeholders numbered for PostgreSQL ($1, $2, ...), quoted
// texts and identifiers left as they are.
std::string NumberPlaceholders(std::string_view sql);

}  // namespace omr::exam::db
