// The project store in one SQLite file: WAL journal, foreign keys, a schema
// version with one migration per version, bound parameters only.
#pragma once

#include <memory>
#include <string>

#include "store.h"

namespace omr::exam {

// The schema this build writes; older projects are migrated on open.
int SqliteSchemaVersion();

std::unique_ptr<Store> OpenSqliteStore(const std::string& path, Access access = Access::kWrite);
std::unique_ptr<Store> CreateSqliteStore(const std::string& path);
// A new project at an older schema version, for tests of the migrations: only
// raw SQL may write it (the store's statements are the latest schema's).
std::unique_ptr<Store> CreateSqliteStoreAt(const std::string& path, int version);

// Whether `path` is a regular file that begins as an SQLite database, read
// through SQLite's own file layer: a plain open() and close() of a project
// this process has open would drop its connections' locks (POSIX locks
// belong to the process), and another program closing the project would
// then take itself for the last one and remove the write-ahead log that the
// next commits here still go to.
bool IsSqliteDatabase(const std::string& path);

}  // namespace omr::exam
