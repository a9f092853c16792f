#include "schema.h"

#include <cctype>
#include <cstdlib>
#include <functional>
#include <set>

namespace omr::exam {
extern const char kSchemaText[];  // schema.sql, compiled in (cmake/embed_text.cmake)
}

namespace omr::exam::schema {

namespace {

// One statement of the file: its text without comments, and what it makes.
struct Statement {
  std::string text;
  std::string table;  // the table it creates or indexes
  std::string name;   // the table's or the index's
  bool createsTable = false;
  bool derived = false;
};

struct Parsed {
  int version = 0;
  std::vector<Statement> statements;
};

std::string Word(const std::string& text, std::size_t& at) {
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  const std::size_t start = at;
  while (at < text.size() && (std::isalnum(static_cast<unsigned char>(text[at])) || text[at] == '_')) ++at;
  return text.substr(start, at - start);
}

Parsed Parse() {
  Parsed out;
  const std::string text = kSchemaText;
  bool derived = false;
  std::string current;
  std::size_t line = 0;
  while (line < text.size()) {
    std::size_t end = text.find('\n', line);
    if (end == std::string::npos) end = text.size();
    std::string l = text.substr(line, end - line);
    line = end + 1;
    if (l.rfind("-- @version ", 0) == 0) out.version = std::atoi(l.c_str() + 12);
    if (l == "-- @derived") derived = true;
    if (const std::size_t dash = l.find("--"); dash != std::string::npos) l.erase(dash);
    while (!l.empty() && std::isspace(static_cast<unsigned char>(l.back()))) l.pop_back();
    if (l.empty()) continue;
    current += (current.empty() ? "" : "\n") + l;
    if (current.back() != ';') continue;
    Statement s;
    s.text = current;
    s.derived = derived;
    std::size_t at = 0;
    Word(current, at);  // CREATE
    const std::string what = Word(current, at);
    std::string name = Word(current, at);
    s.createsTable = what == "TABLE";
    s.name = name;
    if (!s.createsTable) {
      Word(current, at);  // ON
      name = Word(current, at);
    }
    s.table = name;
    out.statements.push_back(std::move(s));
    current.clear();
  }
  return out;
}

const Parsed& Schema() {
  static const Parsed parsed = Parse();
  return parsed;
}

std::string InDialect(std::string text, const db::Dialect& d) {
  const std::pair<std::string_view, std::string_view> words[] = {
      {"{ID}", d.idColumn}, {"{KEY}", d.keyType}, {"{BYTES}", d.bytesType}, {"{REAL}", d.realType}};
  for (const auto& [from, to] : words)
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
      text.replace(at, from.size(), to);
  return text;
}

// The statements of one table (its CREATE and its indexes), or of every
// derived table.
std::string StatementsOf(const db::Dialect& d, const std::function<bool(const Statement&)>& which) {
  std::string out;
  for (const Statement& s : Schema().statements)
    if (which(s)) out += InDialect(s.text, d) + "\n";
  return out;
}

}  // namespace

int Version() {
  return Schema().version;
}

std::string_view Text() {
  return kSchemaText;
}

std::vector<Table> Tables() {
  std::vector<Table> out;
  for (const Statement& s : Schema().statements) {
    if (!s.createsTable) continue;
    Table t{s.table, s.derived, {}};
    // One column a line after the opening parenthesis; constraints are not columns.
    std::size_t at = s.text.find('(') + 1;
    for (std::size_t next; at < s.text.size(); at = next + 1) {
      next = s.text.find('\n', at);
      if (next == std::string::npos) next = s.text.size();
      std::size_t word = 0;
      const std::string name = Word(s.text.substr(at, next - at), word);
      static const std::set<std::string> kConstraints = {"PRIMARY", "UNIQUE", "FOREIGN", "CHECK"};
      if (!name.empty() && !kConstraints.count(name)) t.columns.push_back(name);
    }
    out.push_back(std::move(t));
  }
  return out;
}

std::string CreateAll(const db::Dialect& d) {
  return StatementsOf(d, [](const Statement&) { return true; }) + "INSERT INTO schema_version VALUES (" +
         std::to_string(Version()) + ");\n";
}

void Migrate(db::Connection& db, int from) {
  const db::Dialect& d = db.dialect();
  auto table = [&](std::string_view name) {
    return StatementsOf(d, [&](const Statement& s) { return s.table == name; });
  };
  // Facts the older versions lack.
  if (from < 2)
    db.Script(InDialect("ALTER TABLE corrections ADD COLUMN undoes {KEY} REFERENCES corrections(id)", d));
  if (from < 3) {
    db.Script(table("claims"));
  } else if (from < 6 && d.kind == db::Kind::kPostgres) {
    // Claims' times were timestamps there; now text as everywhere.
    std::string alter = "ALTER TABLE claims";
    const char* separator = " ";
    for (const std::string column : {"claimed_at", "expires_at"}) {
      alter += separator + std::string("ALTER COLUMN ") + column + " TYPE TEXT USING to_char(" + column +
               " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
      separator = ", ";
    }
    db.Script(alter);
  }
  if (from < 4) db.Script("ALTER TABLE exams ADD COLUMN uid TEXT NOT NULL DEFAULT ''");
  if (from < 5) {
    db.Script("ALTER TABLE sheets ADD COLUMN author TEXT NOT NULL DEFAULT ''");
    db.Script(StatementsOf(d, [](const Statement& s) { return s.name == "sheets_by_source"; }));
  }
  if (from < 6) {
    // Whether a sheet ever waited for a person was a column of its score (and
    // before that, whether it had reasons): the one fact among the scores.
    db.Script(table("flags"));
    db.Script(from < 2 ? "INSERT INTO flags(sheet_id) SELECT DISTINCT sheet_id FROM reasons"
                       : "INSERT INTO flags(sheet_id) SELECT sheet_id FROM scores WHERE flagged <> 0 UNION "
                         "SELECT sheet_id FROM reasons");
    // The derived tables of those versions.
    db.Script("DROP TABLE reasons; DROP TABLE scores; DROP TABLE responses");
  }
  // Every derived table made again, empty: the exams' next opening builds them.
  std::string drop;
  for (const Table& t : Tables())
    if (t.derived) drop += "DROP TABLE IF EXISTS " + t.name + ";\n";
  db.Script(drop);
  db.Script(StatementsOf(d, [](const Statement& s) { return s.derived; }));
  db.Run("UPDATE schema_version SET version = ?", db::Params().Int(Version()));
}

}  // namespace omr::exam::schema
