// The project store in one SQLite file: WAL journal, foreign keys, a schema
// version with one migration per version, bound parameters only.
#pragma once

#include <memory>
#include <string>

#include "store.h"

namespace omr::exam {

// The schema this build writes; older projects are migrated on open.
int SqliteSchemaVersion();

std::unique_ptr<Store> OpenSqliteStore(const std::string& path);
std::unique_ptr<Store> CreateSqliteStore(const std::string& path);

}  // namespace omr::exam
