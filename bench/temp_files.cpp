// Form files the benchmarks write, removed when they end.
#include "temp_files.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace omr::bench {

namespace {

std::vector<std::string>& TempFiles() {
  static std::vector<std::string> files;
  return files;
}

}  // namespace

std::string WriteTempFile(const char* stem, const std::string& text) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/omr_bench_" + stem + "_" +
                     std::to_string(static_cast<long>(::getpid())) + ".form";
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  TempFiles().push_back(path);
  return path;
}

void RemoveTempFiles() {
  for (const std::string& path : TempFiles()) std::remove(path.c_str());
  TempFiles().clear();
}

}  // namespace omr::bench
