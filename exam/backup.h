// A copy of an SQLite project taken while stations and reviewers may be
// writing to it: one consistent state, in a single file, checked before it
// takes its name. Copying the project file with cp can miss the last commits,
// which wait in the WAL file beside it until a checkpoint.
#pragma once

#include <cstdint>
#include <string>

namespace omr::exam {

struct BackupReport {
  std::int64_t bytes = 0;
  int schema = 0;
  int sheets = 0;  // in every exam of the project
};

// Copies `project` to `target`; an existing `target` is replaced only with
// `replace`, and only once the copy is complete and passed SQLite's integrity
// check. Throws Error with the place and what to do.
BackupReport BackupProject(const std::string& project, const std::string& target, bool replace);

}  // namespace omr::exam
