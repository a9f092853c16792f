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

}  // namespace omr::exam
