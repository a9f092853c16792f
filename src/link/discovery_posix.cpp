// Serial candidates on POSIX: OMR_SERIAL_PORTS (colon-separated device paths)
// when set, else the usual USB-serial, CDC-ACM and on-board terminal names.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "link/discovery.h"

namespace omr {

namespace {

constexpr struct {
  const char* prefix;
  int count;
} kBuiltIn[] = {{"/dev/ttyUSB", 16}, {"/dev/ttyACM", 16}, {"/dev/ttyS", 32}};

}  // namespace

bool SerialCandidate(int index, std::string& name) {
  if (index < 0 || index >= kMaxSerialCandidates) return false;
  if (const char* list = std::getenv("OMR_SERIAL_PORTS")) {
    // Empty entries ("a::b", a trailing colon) are no names.
    int seen = 0;
    for (const char* p = list; *p != '\0';) {
      const char* end = std::strchr(p, ':');
      const std::size_t len = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
      if (len > 0 && seen++ == index) {
        name.assign(p, len);
        return true;
      }
      if (end == nullptr) break;
      p = end + 1;
    }
    return false;
  }
  for (const auto& group : kBuiltIn) {
    if (index < group.count) {
      char text[32];
      std::snprintf(text, sizeof text, "%s%d", group.prefix, index);
      name = text;
      return true;
    }
    index -= group.count;
  }
  return false;
}

bool SerialHardwarePresent(const std::string& name, const std::string& sysfsTty) {
  // A link such as /dev/serial/by-id/... counts by the node it names.
  char resolved[PATH_MAX];
  const std::string path = ::realpath(name.c_str(), resolved) ? std::string(resolved) : name;
  static constexpr char kOnBoard[] = "/dev/ttyS";
  if (path.compare(0, sizeof kOnBoard - 1, kOnBoard) != 0) return true;
  const std::string node = path.substr(sizeof "/dev/" - 1);
  if (node.size() <= 4 || node.find_first_not_of("0123456789", 4) != std::string::npos) return true;
  std::ifstream type(sysfsTty + "/" + node + "/type");
  int value = -1;
  // Without the attribute nothing is known: the node is tried.
  if (!(type >> value)) return true;
  return value != 0;
}

bool SerialHardwarePresent(const std::string& name) {
  return SerialHardwarePresent(name, "/sys/class/tty");
}

}  // namespace omr
