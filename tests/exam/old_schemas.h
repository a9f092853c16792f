// Projects as older builds made them, for the tests of the migrations: the
// schema of each version as it was written then (frozen here; the store
// itself knows only the current schema and how to migrate to it).
#pragma once

#include <string>

namespace omr::exam::testing {

// The first version that is not kept here: the current schema's line of
// versions (schema.sql) starts there.
inline constexpr int kOldestCurrent = 6;

// An empty project of schema `version` (1 to kOldestCurrent - 1) at a new
// location of the backend ("sqlite" or "postgresql"); fill it with raw SQL.
void MakeOldProject(const std::string& backend, const std::string& location, int version);

}  // namespace omr::exam::testing
