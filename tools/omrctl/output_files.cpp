#include "output_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "output_guard.h"
#include "read_loop.h"
#include "write_file.h"

namespace omrctl {

using omr::reading::HeldSignals;
using omr::reading::TemporaryFileGuard;

std::string FileError(const std::string& path) {
  return path + ": " + std::strerror(errno);
}

bool RefusedOutput(const std::string& path, std::string& error) {
  error = omr::common::OutputProblem(path);
  return !error.empty();
}

bool PublishFile(const std::string& path, Existing existing,
                 const std::function<bool(const std::string& temp, std::string& error)>& write,
                 std::string& error) {
  // A stop at once must not leave the half-written file behind; the guard
  // lives until the file is in place.
  std::optional<TemporaryFileGuard> guard;
  const auto ifExists =
      existing == Existing::Replace ? omr::common::IfExists::kReplace : omr::common::IfExists::kKeep;
  const bool ok = omr::common::WriteFileWhole(
      path, ifExists,
      [&](const std::string& temp, std::string& e) {
        guard.emplace(temp);
        return write(temp, e);
      },
      error);
  if (!ok && error == omr::common::ExistsError(path)) error += " (--force replaces it)";
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
  if (RefusedOutput(path, error)) return false;
  int flags = O_WRONLY | O_APPEND | O_CLOEXEC;
  fd_ = ::open(path.c_str(), flags | O_CREAT | O_EXCL, omr::common::kOwnerOnly);
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
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      error = "cannot replace " + FileError(path);
      return false;
    }
    return Open(path, Existing::Refuse, error);
  }
  fd_ = ::open(path.c_str(), flags | O_NONBLOCK);  // a named pipe put there since must not hang us
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
  // A second stop signal ends the process at once: not inside a row.
  const HeldSignals held;
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
