#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace omr::offline {

bool CheckRegularFile(const std::string& path, std::size_t maxBytes, const char* what, std::string& error) {
  const std::string name = std::string(what) + " " + path;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    error = "cannot read " + name + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = "cannot read " + name + ": not a regular file";
    return false;
  }
  if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
    error = "cannot read " + name + ": larger than " + std::to_string(maxBytes) + " bytes";
    return false;
  }
  return true;
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
