#include "temp_dir.h"

#include <stdlib.h>

#include <cstdlib>

namespace omr::common {

TemporaryDirectory::TemporaryDirectory(const std::string& stem) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + stem + "-XXXXXX";
  if (::mkdtemp(pattern.data())) path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

}  // namespace omr::common
