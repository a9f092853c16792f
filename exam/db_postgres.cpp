// The database interface on a PostgreSQL server (libpq), shared by the
// stations and review desks of an exam centre. Statements go as unnamed
// ones with their parameters (PQsendQueryParams) and nothing is set for the
// session: each transaction sets its own time limits (SET LOCAL). So a
// connection pooler in transaction mode (PgBouncer's pool_mode =
// transaction) may hand every transaction another server connection.
#include <libpq-fe.h>
#include <poll.h>

#include <bit>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "db.h"

namespace omr::exam::db {

namespace {

constexpr int kLockWaitS = 15;
// A statement's answer is awaited this long before the server is asked
// whether it is there at all; a server that takes no new connection within
// kProbeS either (stopped, or the network cut) is given up: a station notices
// a frozen database within kAnswerWaitMs + kProbeS.
constexpr int kAnswerWaitMs = 5000;
constexpr const char* kProbeS = "3";  // libpq's connect_timeout: 2 at least
// Serialises schema changes of one database: "OMRE", as the SQLite files' id.
constexpr std::int64_t kSchemaLock = kSqliteApplicationId;
// Below this many rows a bulk insert is one INSERT (one round trip), from it on COPY.
constexpr std::size_t kCopyFrom = 64;
// Type oids of parameters and columns (pg_type.dat).
constexpr Oid kBool = 16;
constexpr Oid kBytea = 17;
constexpr Oid kInt8 = 20;
constexpr Oid kInt2 = 21;
constexpr Oid kInt4 = 23;
constexpr Oid kText = 25;
constexpr Oid kFloat4 = 700;
constexpr Oid kFloat8 = 701;

using Result = Handle<PGresult, PQclear>;
using Options = Handle<PQconninfoOption, PQconninfoFree>;

std::string Trim(std::string s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  return s;
}

// libpq's account of a lost connection runs over several lines ("FATAL:
// terminating connection ...", "server closed the connection ..."): the
// first says it.
std::string FirstLine(std::string s) {
  for (const char* prefix : {"FATAL:  ", "ERROR:  "})
    if (s.rfind(prefix, 0) == 0) s.erase(0, std::strlen(prefix));
  const std::size_t end = s.find('\n');
  return Trim(end == std::string::npos ? s : s.substr(0, end));
}

// Round-trips exactly through float8's input.
std::string Number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
  char text[32];
  const auto r = std::to_chars(text, text + sizeof text, v);
  return std::string(text, r.ptr);
}

// Values come and go in binary form: no number printed and parsed, no bytea
// in hex. Integers are big-endian there.
std::uint64_t BigEndian(const char* p, int n) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | static_cast<unsigned char>(p[i]);
  return v;
}

void PutBigEndian(std::string& out, std::uint64_t v) {
  for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>(v >> shift & 0xFF);
}

class PgRows final : public Rows {
 public:
  explicit PgRows(Result r) : r_(std::move(r)), rows_(PQntuples(r_.get())) {
    for (int c = 0; c < PQnfields(r_.get()); ++c) types_.push_back(PQftype(r_.get(), c));
  }
  bool Next() override { return ++row_ < rows_; }
  bool Null(int c) const override { return PQgetisnull(r_.get(), row_, c) != 0; }
  std::int64_t Int(int c) const override {
    const char* p = PQgetvalue(r_.get(), row_, c);
    switch (types_[static_cast<std::size_t>(c)]) {
      case kInt8:
        return static_cast<std::int64_t>(BigEndian(p, 8));
      case kInt4:
        return static_cast<std::int32_t>(BigEndian(p, 4));
      case kInt2:
        return static_cast<std::int16_t>(BigEndian(p, 2));
      case kBool:
        return p[0] != 0;
      case kFloat8:
      case kFloat4:
        return static_cast<std::int64_t>(Real(c));
      default:
        return 0;  // NULL, or not a number
    }
  }
  double Real(int c) const override {
    const char* p = PQgetvalue(r_.get(), row_, c);
    switch (types_[static_cast<std::size_t>(c)]) {
      case kFloat8:
        return std::bit_cast<double>(BigEndian(p, 8));
      case kFloat4:
        return std::bit_cast<float>(static_cast<std::uint32_t>(BigEndian(p, 4)));
      default:
        return static_cast<double>(Int(c));
    }
  }
  // Text and bytes as they are; a number as text.
  std::string Text(int c) const override {
    switch (types_[static_cast<std::size_t>(c)]) {
      case kInt8:
      case kInt4:
      case kInt2:
      case kBool:
        return Null(c) ? std::string() : std::to_string(Int(c));
      case kFloat8:
      case kFloat4:
        return Null(c) ? std::string() : Number(Real(c));
      default:
        return std::string(PQgetvalue(r_.get(), row_, c),
                           static_cast<std::size_t>(PQgetlength(r_.get(), row_, c)));
    }
  }

 private:
  Result r_;
  std::vector<Oid> types_;
  int rows_;
  int row_ = -1;
};

// A value as COPY's text format wants it.
void CopyField(std::string& out, const Params& p, std::size_t i) {
  switch (p.null(i) ? Params::Type::kNull : p.type(i)) {
    case Params::Type::kNull:
      out += "\\N";
      return;
    case Params::Type::kInt:
      out += std::to_string(p.int_at(i));
      return;
    case Params::Type::kReal:
      out += Number(p.real_at(i));
      return;
    case Params::Type::kText:
      for (const char c : p.text_at(i)) {
        if (c == '\\' || c == '\t' || c == '\n' || c == '\r') {
          out += '\\';
          out += c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : '\\';
        } else {
          out += c;
        }
      }
      return;
    case Params::Type::kBytes: {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\\\x";
      for (const char c : p.text_at(i)) {
        out += kHex[static_cast<unsigned char>(c) >> 4];
        out += kHex[static_cast<unsigned char>(c) & 15];
      }
      return;
    }
  }
}

class PgConnection final : public Connection {
 public:
  explicit PgConnection(std::string conninfo) : conninfo_(std::move(conninfo)) {}

  void Connect(bool create) {
    // The caller's text comes last and wins; these are defaults that keep a
    // dead server from hanging a station. The encoding goes in the start-up
    // message, which a pooler passes on.
    const char* const keys[] = {"connect_timeout",  "keepalives_idle",  "keepalives_interval",
                                "keepalives_count", "tcp_user_timeout", "application_name",
                                "client_encoding",  "dbname",           nullptr};
    const char* const values[] = {"10",   "10", "5", "2", "10000", "omrctl", "UTF8", conninfo_.c_str(),
                                  nullptr};
    conn_.reset(PQconnectdbParams(keys, values, 1));
    if (!conn_) throw StoreError("cannot connect to the project " + conninfo_ + ": out of memory");
    if (PQstatus(conn_.get()) != CONNECTION_OK) {
      std::string why = Trim(PQerrorMessage(conn_.get()));
      if (why.find("password") != std::string::npos)
        why += " (the password comes from ~/.pgpass, mode 0600, or PGPASSWORD; never from the command line)";
      throw UnavailableError("cannot connect to the project " + conninfo_ + ": " + why);
    }
    PQsetNoticeProcessor(
        conn_.get(), [](void*, const char*) {}, nullptr);
    // Every wait for the server is one of Await's, with its time-out.
    PQsetnonblocking(conn_.get(), 1);
    auto where = Query("SELECT current_schema()", {});
    if (!where->Next() || where->Null(0))
      throw StoreError("the project " + conninfo_ +
                       ": no schema to work in (the search_path names none that exists)");
    if (create) {
      auto encoding = Query("SELECT current_setting('server_encoding')", {});
      encoding->Next();
      if (encoding->Text(0) != "UTF8")
        throw StoreError("the database of " + conninfo_ + " has the encoding " + encoding->Text(0) +
                         "; an exam project needs UTF8 (createdb -E UTF8 -T template0)");
    }
  }

  const Dialect& dialect() const override { return DialectOf(Kind::kPostgres); }
  const std::string& Location() const override { return conninfo_; }

  void Begin() override {
    if (inTransaction_) throw StoreError("a transaction is already open on " + conninfo_);
    Reconnect();
    Simple("BEGIN ISOLATION LEVEL READ COMMITTED; SET LOCAL lock_timeout = '" + std::to_string(kLockWaitS) +
           "s'; SET LOCAL idle_in_transaction_session_timeout = '60s'");
    inTransaction_ = true;
  }
  void Commit() override {
    inTransaction_ = false;
    Simple("COMMIT");
  }
  void Rollback() noexcept override {
    if (!inTransaction_) return;
    inTransaction_ = false;
    if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) return;
    try {
      Simple("ROLLBACK");
    } catch (const StoreError&) {
      // The transaction ends with its connection.
    }
  }
  bool InTransaction() const override { return inTransaction_; }

  std::unique_ptr<Rows> Query(const std::string& sql, const Params& params) override {
    if (!inTransaction_) Reconnect();
    auto hit = numbered_.find(sql);
    if (hit == numbered_.end()) hit = numbered_.emplace(sql, NumberPlaceholders(sql)).first;
    const std::size_t n = params.size();
    std::vector<std::string> numbers(n);
    std::vector<const char*> values(n);
    std::vector<int> lengths(n);
    const std::vector<int> formats(n, 1);
    std::vector<Oid> types(n);
    for (std::size_t i = 0; i < n; ++i) {
      switch (params.type(i)) {
        case Params::Type::kNull:
          break;
        case Params::Type::kInt:
          types[i] = kInt8;
          PutBigEndian(numbers[i], static_cast<std::uint64_t>(params.int_at(i)));
          break;
        case Params::Type::kReal:
          types[i] = kFloat8;
          PutBigEndian(numbers[i], std::bit_cast<std::uint64_t>(params.real_at(i)));
          break;
        case Params::Type::kText:
          types[i] = kText;
          break;
        case Params::Type::kBytes:
          types[i] = kBytea;
          break;
      }
      if (params.null(i)) continue;  // a null pointer is NULL
      const bool number = params.type(i) == Params::Type::kInt || params.type(i) == Params::Type::kReal;
      const std::string& v = number ? numbers[i] : params.text_at(i);
      values[i] = v.data();
      lengths[i] = static_cast<int>(v.size());
    }
    return std::make_unique<PgRows>(
        Check(Await(PQsendQueryParams(Connection(), hit->second.c_str(), static_cast<int>(n), types.data(),
                                      values.data(), lengths.data(), formats.data(), 1))));
  }

  void Script(const std::string& sql) override { Simple(sql); }

  void BulkInsert(const std::string& table, const std::vector<std::string_view>& columns,
                  const Params& values, std::size_t rows) override {
    if (rows < kCopyFrom) {
      Run(InsertRows(table, columns, rows), values);
      return;
    }
    const std::size_t width = columns.size();
    // Params refused NUL bytes in texts, and bytes go as hex: nothing can
    // fail between the start of the COPY and its end but the connection.
    Check(Await(PQsendQuery(Connection(),
                            ("COPY " + table + "(" + ColumnList(columns) + ") FROM STDIN").c_str())),
          PGRES_COPY_IN);
    std::string buffer;
    bool sent = true;
    for (std::size_t r = 0; r < rows && sent; ++r) {
      for (std::size_t c = 0; c < width; ++c) {
        if (c) buffer += '\t';
        CopyField(buffer, values, r * width + c);
      }
      buffer += '\n';
      if (buffer.size() >= (1 << 20) || r + 1 == rows) {
        sent =
            Put([&] { return PQputCopyData(conn_.get(), buffer.data(), static_cast<int>(buffer.size())); });
        buffer.clear();
      }
    }
    if (!Put([&] { return PQputCopyEnd(conn_.get(), sent ? nullptr : "the data could not be sent"); }) ||
        !sent)
      Check(nullptr);
    // COPY's own result, and the end of the command.
    Check(Await(1));
  }

  std::vector<std::string> Tables() override {
    std::vector<std::string> out;
    auto rows = Query(
        "SELECT c.relname FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = "
        "current_schema() AND c.relkind IN ('r', 'p', 'v', 'm', 'f') ORDER BY c.relname",
        {});
    while (rows->Next()) out.push_back(rows->Text(0));
    return out;
  }

  void LockSchema() override { Run("SELECT pg_advisory_xact_lock(?)", Params().Int(kSchemaLock)); }

  void CopyTo(const std::string&) override {
    throw StoreError(conninfo_ +
                     " is a PostgreSQL project: back it up with the database's own tools, for example "
                     "pg_dump --format=custom --file=FILE 'postgresql://USER@HOST/DATABASE'");
  }

 private:
  // A connection lost earlier (a server restart) is made again for the next
  // transaction or read, as is one given up on a server that did not answer;
  // one lost inside a transaction fails that transaction.
  void Reconnect() {
    if (!conn_) {
      Connect(false);
      return;
    }
    if (PQstatus(conn_.get()) == CONNECTION_OK) return;
    PQreset(conn_.get());
    if (PQstatus(conn_.get()) != CONNECTION_OK)
      throw UnavailableError("lost the connection to the project " + conninfo_ + ": " +
                             FirstLine(PQerrorMessage(conn_.get())));
    PQsetnonblocking(conn_.get(), 1);
  }

  PGconn* Connection() {
    if (!conn_) throw NoAnswerError(lost_);
    return conn_.get();
  }

  // Fixed statements without parameters (transaction control, the schema).
  void Simple(const std::string& sql) { Check(Await(PQsendQuery(Connection(), sql.c_str()))); }

  // Copy data handed to libpq, waiting for the socket while its buffer is
  // full (`put` answers 1 queued, 0 full, -1 failed).
  template <class F>
  bool Put(F&& put) {
    for (;;) {
      const int done = put();
      if (done != 0) return done == 1;
      pollfd p{PQsocket(conn_.get()), POLLOUT, 0};
      if (::poll(&p, 1, kAnswerWaitMs) <= 0 || PQflush(conn_.get()) < 0) return false;
    }
  }

  // The result of what was just sent (`sent` 0: it could not be; Check then
  // says why), as PQexec gives it: the first failure, else the last result
  // (a COPY's start at once). Sends and reads as the socket lets it; past
  // kAnswerWaitMs without an answer, asks the server whether it is there, and
  // gives the connection up when it is not (a frozen server, a network that
  // drops packets) rather than waiting for ever.
  PGresult* Await(int sent) {
    if (!sent) return nullptr;
    PGconn* c = conn_.get();
    Result kept;
    auto since = std::chrono::steady_clock::now();
    for (;;) {
      const int flushed = PQflush(c);  // 0: all sent; 1: more to send; -1: failed
      if (flushed != 1) {
        PQconsumeInput(c);
        while (!PQisBusy(c)) {
          PGresult* r = PQgetResult(c);
          if (!r) return kept.release();
          if (PQresultStatus(r) == PGRES_COPY_IN) return r;
          if (kept && PQresultStatus(kept.get()) == PGRES_FATAL_ERROR)
            PQclear(r);
          else
            kept.reset(r);
        }
      }
      const auto waited =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
              .count();
      if (waited >= kAnswerWaitMs) {
        if (!ServerAnswers()) {
          GiveUp();
          throw NoAnswerError(lost_);
        }
        since = std::chrono::steady_clock::now();  // there, and busy: wait on
        continue;
      }
      pollfd p{PQsocket(c), static_cast<short>(POLLIN | (flushed == 1 ? POLLOUT : 0)), 0};
      if (::poll(&p, 1, static_cast<int>(kAnswerWaitMs - waited)) < 0 && errno != EINTR) {
        GiveUp();
        throw UnavailableError("lost the connection to the project " + conninfo_ + ": " +
                               std::strerror(errno));
      }
    }
  }

  // Whether the server takes a new connection (a ping: no login) within kProbeS.
  bool ServerAnswers() const {
    const char* const keys[] = {"dbname", "connect_timeout", nullptr};
    const char* const values[] = {conninfo_.c_str(), kProbeS, nullptr};
    return PQpingParams(keys, values, 1) != PQPING_NO_RESPONSE;
  }

  void GiveUp() {
    lost_ = "the database of the project " + conninfo_ + " did not answer for " +
            std::to_string(kAnswerWaitMs / 1000) + " s, nor did it take a new connection within " + kProbeS +
            " s (the server stopped, or the network to it is cut)";
    conn_.reset();  // non-blocking: closing it sends its goodbye without waiting
    inTransaction_ = false;
  }

  Result Check(PGresult* raw, ExecStatusType want = PGRES_TUPLES_OK) {
    Result r(raw);
    const ExecStatusType status = raw ? PQresultStatus(raw) : PGRES_FATAL_ERROR;
    if (status == want || status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return r;
    const char* field = raw ? PQresultErrorField(raw, PG_DIAG_SQLSTATE) : nullptr;
    const std::string state = field ? field : "";
    const char* primary = raw ? PQresultErrorField(raw, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    const std::string message = primary ? primary : conn_ ? Trim(PQerrorMessage(conn_.get())) : lost_;
    if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK || state.rfind("08", 0) == 0 || state == "57P01")
      throw UnavailableError("lost the connection to the project " + conninfo_ + ": " + FirstLine(message));
    if (state == "40001" || state == "40P01")
      throw RetryableError("the project " + conninfo_ + ": " + message);
    if (state == "55P03")
      throw UnavailableError("the project " + conninfo_ + " is busy: another program held the exam for " +
                             std::to_string(kLockWaitS) + " s");
    if (state == "23505") throw Duplicate("the project " + conninfo_ + ": " + message);
    if (state == "22021" || state == "22P05")
      throw StoreError("the project " + conninfo_ + ": a text to store is not UTF-8 or holds a NUL byte");
    throw StoreError("the project " + conninfo_ + ": " + message);
  }

  std::string conninfo_;
  Handle<PGconn, PQfinish> conn_;
  std::unordered_map<std::string, std::string> numbered_;  // the store's SQL -> with $n
  std::string lost_;                                       // why conn_ was given up
  bool inTransaction_ = false;
};

// The text must not carry a password: it would be on the command line, in
// the shell's history and in `ps` for everyone to see.
void RefusePassword(const std::string& conninfo) {
  const std::string where =
      "put it in ~/.pgpass (host:port:database:user:password, mode 0600) or in PGPASSWORD, and leave it out "
      "of "
      "the connection text";
  // Looked at before libpq parses it, so that no error message can repeat it.
  if (conninfo.rfind("postgresql://", 0) == 0 || conninfo.rfind("postgres://", 0) == 0) {
    const std::size_t start = conninfo.find("://") + 3;
    const std::size_t end = conninfo.find_first_of("/?", start);
    const std::string authority =
        conninfo.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos && authority.substr(0, at).find(':') != std::string::npos)
      throw StoreError("the connection URI holds a password: " + where);
  }
  char* error = nullptr;
  Options options(PQconninfoParse(conninfo.c_str(), &error));
  if (!options) {
    std::string why = error ? Trim(error) : "out of memory";
    PQfreemem(error);
    if (conninfo.find("password") != std::string::npos || conninfo.find('@') != std::string::npos)
      why = "check its syntax";  // the message might quote a password
    throw StoreError("cannot read the connection text of the project: " + why);
  }
  for (const PQconninfoOption* o = options.get(); o->keyword; ++o)
    if (std::strcmp(o->keyword, "password") == 0 && o->val && *o->val)
      throw StoreError("the connection text holds a password: " + where);
}

}  // namespace

std::string NumberPlaceholders(std::string_view sql) {
  std::string out;
  out.reserve(sql.size() + 16);
  int n = 0;
  char quote = 0;
  for (const char c : sql) {
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '?') {
      out += '$' + std::to_string(++n);
      continue;
    }
    out += c;
  }
  return out;
}

bool IsPostgresLocation(const std::string& location) {
  if (location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0) return true;
  // Key/value: the first word is one of libpq's keywords, then "=".
  std::size_t i = location.find_first_not_of(" \t");
  if (i == std::string::npos) return false;
  const std::size_t start = i;
  while (i < location.size() && (std::islower(static_cast<unsigned char>(location[i])) || location[i] == '_'))
    ++i;
  const std::string word = location.substr(start, i - start);
  i = location.find_first_not_of(" \t", i);
  if (word.empty() || i == std::string::npos || location[i] != '=') return false;
  Options defaults(PQconndefaults());
  if (!defaults) return false;
  for (const PQconninfoOption* o = defaults.get(); o->keyword; ++o)
    if (word == o->keyword) return true;
  return false;
}

std::unique_ptr<Connection> OpenPostgres(const std::string& conninfo, bool create) {
  RefusePassword(conninfo);
  auto db = std::make_unique<PgConnection>(conninfo);
  db->Connect(create);
  return db;
}

}  // namespace omr::exam::db
