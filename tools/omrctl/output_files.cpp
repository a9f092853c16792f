#include "output_files.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

#include "read_session.h"

namespace omrctl {

namespace {

bool FlushToDisk(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    error = FileError(path);
    if (fd >= 0) ::close(fd);
    return false;
  }
  ::close(fd);
  return true;
}

// Moves `temp` to `path` unless something is there already.
bool MoveIntoPlace(const std::string& temp, const std::string& path, std::string& error) {
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EEXIST) {
    error = path + " exists (--force replaces it)";
    return false;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    error = FileError(path);
    return false;
  }
  // A file system without the no-replace move: a hard link refuses an
  // existing name just as well.
  if (::link(temp.c_str(), path.c_str()) == 0) {
    ::unlink(temp.c_str());
    return true;
  }
  if (errno == EEXIST) {
    error = path + " exists (--force replaces it)";
    return false;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    error = path + " exists (--force replaces it)";
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) == 0) return true;
  error = FileError(path);
  return false;
}

}  // namespace

std::string FileError(const std::string& path) {
  return path + ": " + std::strerror(errno);
}

std::string TemporaryName(const std::string& path) {
  const std::filesystem::path p(path);
  return (p.parent_path() / ("." + p.filename().string() + ".omrctl-" + std::to_string(::getpid()))).string();
}

bool PublishFile(const std::string& path, Existing existing,
                 const std::function<bool(const std::string& temp, std::string& error)>& write,
                 std::string& error) {
  const std::string temp = TemporaryName(path);
  ::unlink(temp.c_str());
  // A stop at once must not leave the half-written file behind.
  const TemporaryFileGuard guard(temp);
  bool ok = write(temp, error);
  if (!ok) {
    // The writer names the temporary file; the operator knows the real one.
    for (std::size_t at = error.find(temp); at != std::string::npos; at = error.find(temp, at + path.size()))
      error.replace(at, temp.size(), path);
  }
  ok = ok && FlushToDisk(temp, error);
  if (ok && existing == Existing::Replace) {
    ok = ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) error = FileError(path);
  } else if (ok) {
    ok = MoveIntoPlace(temp, path, error);
  }
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

RowFile::~RowFile() {
  std::string ignored;
  Close(ignored);
}

bool RowFile::Open(const std::string& path, Existing existing, std::string& error) {
  path_ = path;
  created_ = false;
  wrote_ = false;
  int flags = O_WRONLY | O_APPEND | O_CLOEXEC;
  fd_ = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0666);
  if (fd_ >= 0) {
    created_ = true;
    return true;
  }
  if (errno != EEXIST) {
    error = "cannot write " + FileError(path);
    return false;
  }
  if (existing == Existing::Refuse) {
    error = path + " exists (--append adds to it, --force replaces it)";
    return false;
  }
  if (existing == Existing::Replace) {
    // A new file in its place, so that a failure before the first row
    // leaves no empty file behind.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      error = path + " is not a regular file";
      return false;
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      error = "cannot replace " + FileError(path);
      return false;
    }
    return Open(path, Existing::Refuse, error);
  }
  fd_ = ::open(path.c_str(), flags);
  if (fd_ < 0) {
    error = "cannot write " + FileError(path);
    return false;
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = path + " is not a regular file";
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  return true;
}

bool RowFile::Append(const std::string& bytes, std::string& error) {
  if (fd_ < 0) {
    error = path_ + " is not open";
    return false;
  }
  const off_t before = ::lseek(fd_, 0, SEEK_END);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = ENOSPC;
    error = "cannot write " + FileError(path_);
    // Only whole rows: cut off what went in of this one.
    if (done > 0 && before >= 0 && ::ftruncate(fd_, before) != 0)
      error += " (and the incomplete row could not be removed)";
    return false;
  }
  if (::fdatasync(fd_) != 0 && errno != EINVAL) {
    error = "cannot write " + FileError(path_);
    return false;
  }
  wrote_ = true;
  return true;
}

bool RowFile::Close(std::string& error) {
  if (fd_ < 0) return true;
  const bool ok = ::close(fd_) == 0;
  if (!ok) error = "cannot write " + FileError(path_);
  fd_ = -1;
  if (created_ && !wrote_) ::unlink(path_.c_str());
  return ok;
}

}  // namespace omrctl
