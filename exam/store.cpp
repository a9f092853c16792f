#include "store.h"

#include "pg_store.h"
#include "sqlite_store.h"

namespace omr::exam {

bool IsServerLocation(const std::string& location) {
  return IsPostgresLocation(location);
}

bool LooksLikeProject(const std::string& location) {
  return IsServerLocation(location) || IsSqliteDatabase(location);
}

std::unique_ptr<Store> OpenStore(const std::string& location, Access access) {
  return IsPostgresLocation(location) ? OpenPostgresStore(location) : OpenSqliteStore(location, access);
}

std::unique_ptr<Store> CreateStore(const std::string& location) {
  return IsPostgresLocation(location) ? CreatePostgresStore(location) : CreateSqliteStore(location);
}

}  // namespace omr::exam
