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

void RefuseOverProject(const std::string& output) {
  std::string base = output;
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    const std::size_t n = std::strlen(suffix);
    if (base.size() > n && base.compare(base.size() - n, n, suffix) == 0) base.resize(base.size() - n);
  }
  if (IsServerLocation(output)) return;
  if (LooksLikeProject(output) || (base != output && LooksLikeProject(base)))
    throw Error(output +
                " is an exam project or one of its files (an SQLite database): writing there would lose "
                "it; give the output another name");
}

std::unique_ptr<Store> OpenStore(const std::string& location) {
  return IsPostgresLocation(location) ? OpenPostgresStore(location) : OpenSqliteStore(location);
}

std::unique_ptr<Store> CreateStore(const std::string& location) {
  return IsPostgresLocation(location) ? CreatePostgresStore(location) : CreateSqliteStore(location);
}

}  // namespace omr::exam
