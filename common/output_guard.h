// The one check before anything writes a file under a name a person gave:
// what stands there now must be nothing or a regular file, and never an
// exam project (an SQLite database) nor the WAL, shared-memory or journal
// file beside one, since one mistyped name would lose a whole exam. It only
// looks (lstat, and an open that cannot block), so a named pipe or a device
// is refused at once instead of hanging the command.
#pragma once

#include <string>

namespace omr::common {

struct OutputRules {
  // An SQLite file there may be replaced (a backup replacing an older copy
  // with --force); `keep` and every project's journal files stay refused.
  bool databaseMayGo = false;
  // A project that is never written over, nor its journal files, whatever
  // its name is spelled like (compared by the file itself).
  std::string keep;
};

// "" when `path` may be written; else why not, naming `path` and what to do.
std::string OutputProblem(const std::string& path, const OutputRules& rules = {});

// True when `path` is a regular file that starts as an SQLite database does.
// Never blocks: a named pipe or a device is no database.
bool IsSqliteFile(const std::string& path);

}  // namespace omr::common
