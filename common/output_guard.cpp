#include "output_guard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace omr::common {

namespace {

constexpr const char* kJournals[] = {"-wal", "-shm", "-journal"};

const char* KindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISSOCK(mode)) return "a socket";
  return "something other than a file";
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// The database a journal file's name belongs to ("x.omrexam-wal" -> "x.omrexam"); "" for another name.
std::string JournalOwner(const std::string& path) {
  for (const char* suffix : kJournals) {
    const std::size_t n = std::strlen(suffix);
    if (path.size() > n && path.compare(path.size() - n, n, suffix) == 0)
      return path.substr(0, path.size() - n);
  }
  return {};
}

}  // namespace

bool IsSqliteFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  char head[16] = {};
  const bool database = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                        ::read(fd, head, sizeof head) == sizeof head &&
                        std::memcmp(head, "SQLite format 3", sizeof head) == 0;
  ::close(fd);
  return database;
}

std::string OutputProblem(const std::string& path, const OutputRules& rules) {
  const std::string lose = ": writing there would lose it; give the output another name";
  if (!rules.keep.empty()) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
      if (SameFile(path, rules.keep + suffix))
        return path + " is the project " + rules.keep +
               (*suffix ? " (its " + std::string(suffix + 1) + " file)" : std::string()) + " itself" + lose;
  }
  if (const std::string owner = JournalOwner(path); !owner.empty() && IsSqliteFile(owner))
    return path + " belongs to the database " + owner + " (an exam project?)" + lose;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return {};  // nothing there; the write says what else is wrong
    return "cannot write " + path + ": " + std::strerror(errno);
  }
  if (!S_ISREG(st.st_mode))
    return path + " is " + KindOf(st.st_mode) + ", not a regular file: give the name of a file to write";
  if (!rules.databaseMayGo && IsSqliteFile(path)) return path + " is a database (an exam project?)" + lose;
  return {};
}

}  // namespace omr::common
