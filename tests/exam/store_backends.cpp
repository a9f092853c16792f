#include "store_backends.h"

#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace omr::exam::testing {

namespace {

namespace fs = std::filesystem;

std::atomic<int> gCounter{0};

std::string Unique() {
  return std::to_string(::getpid()) + "_" + std::to_string(++gCounter);
}

class SqliteBackend final : public Backend {
 public:
  SqliteBackend() : dir_(fs::temp_directory_path() / ("omr-store-" + Unique())) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  ~SqliteBackend() override { fs::remove_all(dir_); }
  std::string Name() const override { return "sqlite"; }
  std::string NewLocation() override { return (dir_ / ("p" + Unique() + ".omrexam")).string(); }
  void Execute(const std::string& location, const std::string& sql) override {
    sqlite3* db = nullptr;
    sqlite3_open(location.c_str(), &db);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    const std::string what = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    if (rc != SQLITE_OK) throw std::runtime_error(sql + ": " + what);
  }
  std::string Query(const std::string& location, const std::string& sql) override {
    sqlite3* db = nullptr;
    sqlite3_open(location.c_str(), &db);
    sqlite3_stmt* st = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
      const auto* p = sqlite3_column_text(st, 0);
      out = p ? reinterpret_cast<const char*>(p) : "";
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
  }

 private:
  fs::path dir_;
};

struct ConnFinish {
  void operator()(PGconn* c) const { PQfinish(c); }
};
using Conn = std::unique_ptr<PGconn, ConnFinish>;

Conn Connect(const std::string& conninfo) {
  Conn c(PQconnectdb(conninfo.c_str()));
  if (PQstatus(c.get()) != CONNECTION_OK)
    throw std::runtime_error("cannot connect to " + conninfo + ": " + PQerrorMessage(c.get()));
  return c;
}

std::string Exec(PGconn* c, const std::string& sql) {
  PGresult* r = PQexec(c, sql.c_str());
  const ExecStatusType status = PQresultStatus(r);
  std::string out;
  if (status == PGRES_TUPLES_OK && PQntuples(r) > 0) out = PQgetvalue(r, 0, 0);
  const std::string error = PQresultErrorMessage(r);
  PQclear(r);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) throw std::runtime_error(sql + ": " + error);
  return out;
}

// PGHOST, PGPORT, PGUSER, PGPASSWORD, PGDATABASE from the file the cluster's
// script wrote ("export A=1 B=2" lines), unless they are set already.
bool LoadEnvironment(std::string& reason) {
  if (std::getenv("PGHOST") && std::getenv("PGPORT")) return true;
  const char* file = std::getenv("OMR_PG_ENV");
  if (!file || !*file) {
    reason =
        "no PostgreSQL to test with: set OMR_PG_ENV to the env file of scripts/pg-test-server (CTest does)";
    return false;
  }
  std::ifstream in(file);
  if (!in) {
    reason = std::string("cannot read ") + file + ": is the cluster of scripts/pg-test-server running?";
    return false;
  }
  std::string word;
  while (in >> word) {
    const std::size_t eq = word.find('=');
    if (word != "export" && eq != std::string::npos)
      ::setenv(word.substr(0, eq).c_str(), word.substr(eq + 1).c_str(), 1);
  }
  return true;
}

std::string DatabaseOf(const std::string& location) {
  const std::string key = "dbname=";
  const std::size_t at = location.find(key);
  return at == std::string::npos ? std::string() : location.substr(at + key.size());
}

// Each location is a database of its own, made from template0 in UTF8.
class PgBackend final : public Backend {
 public:
  PgBackend() : admin_(Connect("")) {}
  ~PgBackend() override {
    for (const std::string& db : made_) {
      try {
        Exec(admin_.get(), "DROP DATABASE IF EXISTS " + db + " WITH (FORCE)");
      } catch (const std::exception&) {
      }
    }
  }
  std::string Name() const override { return "postgresql"; }
  std::string NewLocation() override {
    const std::string db = "omr_t_" + Unique();
    Exec(admin_.get(), "CREATE DATABASE " + db + " TEMPLATE template0 ENCODING 'UTF8'");
    made_.push_back(db);
    return "dbname=" + db;
  }
  void Execute(const std::string& location, const std::string& sql) override {
    Exec(Connect(location).get(), sql);
  }
  std::string Query(const std::string& location, const std::string& sql) override {
    return Exec(Connect(location).get(), sql);
  }

 private:
  Conn admin_;
  std::vector<std::string> made_;
};

}  // namespace

std::unique_ptr<Backend> MakeBackend(const std::string& name, std::string& reason) {
  if (name == "sqlite") return std::make_unique<SqliteBackend>();
  if (!LoadEnvironment(reason)) return nullptr;
  try {
    return std::make_unique<PgBackend>();
  } catch (const std::exception& e) {
    reason = e.what();
    return nullptr;
  }
}

std::vector<std::string> BackendNames() {
  return {"sqlite", "postgresql"};
}

void TerminateSessions(const std::string& location) {
  const Conn admin = Connect("");
  Exec(admin.get(), "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" +
                        DatabaseOf(location) + "' AND pid <> pg_backend_pid()");
}

}  // namespace omr::exam::testing
