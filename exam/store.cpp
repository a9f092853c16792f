#include "store.h"

#include <cstring>
#include <fstream>

#include "pg_store.h"
#include "sqlite_store.h"

namespace omr::exam {

bool IsServerLocation(const std::string& location) {
  return IsPostgresLocation(location);
}

bool LooksLikeProject(const std::string& location) {
  if (IsServerLocation(location)) return true;
  char head[16] = {};
  std::ifstream in(location, std::ios::binary);
  return in.read(head, sizeof head) && std::memcmp(head, "SQLite format 3", 16) == 0;
}

std::unique_ptr<Store> OpenStore(const std::string& location) {
  return IsPostgresLocation(location) ? OpenPostgresStore(location) : OpenSqliteStore(location);
}

std::unique_ptr<Store> CreateStore(const std::string& location) {
  return IsPostgresLocation(location) ? CreatePostgresStore(location) : CreateSqliteStore(location);
}

}  // namespace omr::exam
