#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

}  // namespace omr::offline
