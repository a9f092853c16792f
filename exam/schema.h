// The project's schema as exam/schema.sql writes it: its version, its
// statements in either database's words, which tables are facts and which
// derived, and the migration of every older version. Nothing else in the
// tree writes a CREATE statement.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "db.h"

namespace omr::exam::schema {

// The version this build writes; older projects are migrated on open.
int Version();

// The text of schema.sql as it stands.
std::string_view Text();

struct Table {
  std::string name;
  bool derived = false;
  std::vector<std::string> columns;  // in order
};

// Every table, facts first, in the file's order.
std::vector<Table> Tables();

// The statements that create the whole schema (version row included), in
// the dialect's words.
std::string CreateAll(const db::Dialect& dialect);

// Inside the caller's transaction, with the schema locked: brings a project
// of version `from` (1 up to Version() - 1) to Version(). Facts are kept;
// derived tables are dropped and made again, empty.
void Migrate(db::Connection& db, int from);

}  // namespace omr::exam::schema
