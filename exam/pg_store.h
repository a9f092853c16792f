// The project store in a PostgreSQL database (libpq), shared by the stations
// and review desks of an exam centre. The same schema versions as the SQLite
// store; values are bound as parameters, never written into the SQL.
#pragma once

#include <memory>
#include <string>

#include "store.h"

namespace omr::exam {

// The schema this build writes; older databases are migrated on open.
int PostgresSchemaVersion();

// A postgresql:// or postgres:// URI, or libpq's key/value form.
bool IsPostgresLocation(const std::string& location);

// The connection text must not carry a password: libpq takes it from
// ~/.pgpass (or PGPASSFILE) or PGPASSWORD. Open wants the schema in place;
// Create makes it in a database (its current schema) that holds no tables.
std::unique_ptr<Store> OpenPostgresStore(const std::string& conninfo);
std::unique_ptr<Store> CreatePostgresStore(const std::string& conninfo);
// The tables at an older schema version, for tests of the migrations: only
// raw SQL may write them (the store's statements are the latest schema's).
std::unique_ptr<Store> CreatePostgresStoreAt(const std::string& conninfo, int version);

}  // namespace omr::exam
