// Serial candidates on POSIX systems: the colon-separated paths of
// OMR_SERIAL_PORTS when it is set, else /dev/ttyUSB0-15, /dev/ttyACM0-15 and
// /dev/ttyS0-31, skipping those that do not exist.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/port_names.h"

namespace omr {

namespace {

struct Family {
  const char* prefix;
  int count;
};
constexpr Family kFamilies[] = {{"/dev/ttyUSB", 16}, {"/dev/ttyACM", 16}, {"/dev/ttyS", 32}};
constexpr int kBuiltInCount = 16 + 16 + 32;
// More entries than this in the variable are ignored.
constexpr int kMaxListed = 256;

// The variable's list when it is set (even empty), else null.
const char* ListedPorts() {
  return std::getenv("OMR_SERIAL_PORTS");
}

// Bounds of field `index` of a colon-separated list; false past the end.
bool Field(const char* list, int index, const char** begin, std::size_t* length) {
  const char* p = list;
  for (int i = 0;; ++i) {
    const char* end = std::strchr(p, ':');
    const std::size_t n = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
    if (i == index) {
      *begin = p;
      *length = n;
      return true;
    }
    if (end == nullptr) return false;
    p = end + 1;
  }
}

int FieldCount(const char* list) {
  int count = 1;
  for (const char* p = list; *p; ++p)
    if (*p == ':') ++count;
  return count < kMaxListed ? count : kMaxListed;
}

bool Copy(const char* text, std::size_t length, char* out, int size) {
  if (length == 0 || length >= static_cast<std::size_t>(size)) return false;
  std::memcpy(out, text, length);
  out[length] = '\0';
  return true;
}

}  // namespace

int SerialCandidateCount() {
  const char* list = ListedPorts();
  return list ? FieldCount(list) : kBuiltInCount;
}

bool SerialCandidateName(int index, char* out, int size) {
  if (out == nullptr || size <= 0 || index < 0) return false;
  if (const char* list = ListedPorts()) {
    const char* begin = nullptr;
    std::size_t length = 0;
    if (index >= kMaxListed || !Field(list, index, &begin, &length)) return false;
    return Copy(begin, length, out, size);  // empty fields are skipped
  }
  for (const Family& family : kFamilies) {
    if (index < family.count) {
      char name[32];
      const int length = std::snprintf(name, sizeof name, "%s%d", family.prefix, index);
      struct stat st;
      if (length <= 0 || ::stat(name, &st) != 0) return false;
      return Copy(name, static_cast<std::size_t>(length), out, size);
    }
    index -= family.count;
  }
  return false;
}

}  // namespace omr
