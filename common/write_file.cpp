#include "write_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace omr::common {

namespace {

std::string Reason(const std::string& path, int error) {
  return "cannot write " + path + ": " + std::strerror(error);
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // 0, or the errno of a failed close: a delayed write error shows here.
  int Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd >= 0 && ::close(fd) != 0 ? errno : 0;
  }

 private:
  int fd_;
};

// The new file beside its target (a rename never crosses file systems),
// removed unless it was moved into place.
class Temporary {
 public:
  Temporary() = default;
  ~Temporary() {
    if (!name_.empty()) ::unlink(name_.c_str());
  }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;

  // The open file, or -1 with errno set. O_EXCL with a fresh number: never
  // a file or link someone else put there.
  int Create(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path p(path);
    const std::string stem = (p.parent_path() / ("." + p.filename().string() + ".tmp-")).string() +
                             std::to_string(::getpid()) + "-";
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = stem + std::to_string(counter++);
      const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kOwnerOnly);
      if (fd >= 0) {
        name_ = std::move(name);
        return fd;
      }
      if (errno != EEXIST) return -1;
    }
    return -1;
  }
  const std::string& name() const { return name_; }
  void Kept() { name_.clear(); }

 private:
  std::string name_;
};

int SyncByName(const std::string& name) {
  Fd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return errno;
  if (::fsync(fd.get()) != 0) return errno;
  return fd.Close();
}

// 0, EEXIST when kKeep finds a file under `path`, or another errno.
int MoveIntoPlace(const std::string& temp, const std::string& path, IfExists ifExists) {
  if (ifExists == IfExists::kReplace) return ::rename(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without the no-replace move: a hard link refuses an
  // existing name just as well.
  if (::link(temp.c_str(), path.c_str()) == 0) {
    ::unlink(temp.c_str());
    return 0;
  }
  if (errno == EEXIST) return EEXIST;
  // Nor hard links: look, then move.
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) return EEXIST;
  return ::rename(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
}

bool Publish(Temporary& temp, const std::string& path, IfExists ifExists, std::string& error) {
  // A file replaced keeps the permissions someone gave it (shared with a group on purpose).
  struct stat old {};
  if (ifExists == IfExists::kReplace && ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode))
    ::chmod(temp.name().c_str(), old.st_mode & 07777);
  const int moved = MoveIntoPlace(temp.name(), path, ifExists);
  if (moved == 0) {
    temp.Kept();
    return true;
  }
  error = moved == EEXIST && ifExists == IfExists::kKeep ? ExistsError(path) : Reason(path, moved);
  return false;
}

}  // namespace

std::string ExistsError(const std::string& path) {
  return path + " exists";
}

bool WriteFileWhole(const std::string& path, IfExists ifExists, const FillFile& fill, std::string& error,
                    const OutputRules& rules) {
  error = OutputProblem(path, rules);
  if (!error.empty()) return false;
  Temporary temp;
  Fd created(temp.Create(path));
  if (created.get() < 0) {
    error = Reason(path, errno);
    return false;
  }
  created.Close();  // the writer opens it by name
  std::string why;
  if (!fill(temp.name(), why)) {
    for (std::size_t at = why.find(temp.name()); at != std::string::npos;
         at = why.find(temp.name(), at + path.size()))
      why.replace(at, temp.name().size(), path);
    error = why.empty() ? "cannot write " + path : why;
    return false;
  }
  // The writer may have replaced the file: synced by name.
  if (const int synced = SyncByName(temp.name()); synced != 0) {
    error = Reason(path, synced);
    return false;
  }
  return Publish(temp, path, ifExists, error);
}

bool WriteFileWhole(const std::string& path, std::string_view content, IfExists ifExists, std::string& error,
                    const OutputRules& rules) {
  error = OutputProblem(path, rules);
  if (!error.empty()) return false;
  Temporary temp;
  Fd fd(temp.Create(path));
  if (fd.get() < 0) {
    error = Reason(path, errno);
    return false;
  }
  int failure = 0;
  while (!content.empty()) {
    const ssize_t n = ::write(fd.get(), content.data(), content.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure = n < 0 ? errno : EIO;
      break;
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
  if (failure == 0 && ::fsync(fd.get()) != 0) failure = errno;
  if (const int closed = fd.Close(); failure == 0) failure = closed;
  if (failure != 0) {
    error = Reason(path, failure);
    return false;
  }
  return Publish(temp, path, ifExists, error);
}

}  // namespace omr::common
