// A ZIP archive of files made in memory (deflated, UTF-8 names), for a
// download that holds several files.
#pragma once

#include <string>
#include <vector>

namespace omr::exam {

struct ZipEntry {
  std::string name;   // the path inside the archive
  std::string bytes;  // the file's content
};

// The archive's bytes; its files dated now and readable by their owner only.
// Throws Error when the archive would pass the format's 4 GiB or 65,535 files.
std::string ZipArchive(const std::vector<ZipEntry>& entries);

}  // namespace omr::exam
