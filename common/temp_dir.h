// A private folder for files that are gone when the work is done.
#pragma once

#include <filesystem>
#include <string>

namespace omr::common {

// Makes $TMPDIR/STEM-XXXXXX (/tmp without TMPDIR), mode 0700; removes it
// with everything in it when it goes.
class TemporaryDirectory {
 public:
  explicit TemporaryDirectory(const std::string& stem);
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  // Empty when the folder could not be made (errno says why).
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace omr::common
