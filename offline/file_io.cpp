#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace omr::offline {

bool ReadRegularFile(const std::string& path, std::size_t maxBytes, const char* what, std::string& text,
                     std::string& error) {
  const std::string name = std::string(what) + " " + path;
  const std::string tooLarge = "cannot read " + name + ": too large for a " + what + " (more than " +
                               std::to_string(maxBytes) + " bytes)";
  // Non-blocking, so that a FIFO does not hang the open; what was opened is
  // what is checked.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = "cannot read " + name + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (!ok) error = "cannot read " + name + ": " + std::strerror(errno);
  if (ok && !S_ISREG(st.st_mode)) {
    error = "cannot read " + name + ": not a regular file";
    ok = false;
  }
  if (ok && static_cast<unsigned long long>(st.st_size) > maxBytes) {
    error = tooLarge;
    ok = false;
  }
  text.clear();
  char buffer[8192];
  while (ok) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "cannot read " + name + ": " + std::strerror(errno);
      ok = false;
    }
    if (n <= 0) break;
    // A file that grows while it is read is bounded too.
    if (text.size() + static_cast<std::size_t>(n) > maxBytes) {
      error = tooLarge;
      ok = false;
      break;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!ok) text.clear();
  return ok;
}

bool WriteFileAtomically(const std::string& path, const void* data, std::size_t size, std::string& error) {
  std::vector<char> name(path.begin(), path.end());
  const char kSuffix[] = ".tmp-XXXXXX";
  name.insert(name.end(), kSuffix, kSuffix + sizeof kSuffix);
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  // mkstemp makes the file private; a result file is as readable as any other.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  const char* p = static_cast<const char*>(data);
  std::size_t left = size;
  int failure = 0;
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure = n < 0 ? errno : EIO;
      break;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0 && failure == 0) failure = errno;
  if (failure == 0 && std::rename(name.data(), path.c_str()) != 0) failure = errno;
  if (failure != 0) {
    ::unlink(name.data());
    error = "cannot write " + path + ": " + std::strerror(failure);
    return false;
  }
  return true;
}

}  // namespace omr::offline
