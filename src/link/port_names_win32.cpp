// Serial candidates on Windows: "\\.\COM1" to "\\.\COM256" on the NT family,
// "COM1" to "COM9" on other systems.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "link/port_names.h"

namespace omr {

namespace {

constexpr int kNtLastPort = 256;
constexpr int kOtherLastPort = 9;

bool IsNtFamily() {
  OSVERSIONINFOA info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  return GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

}  // namespace

int SerialCandidateCount() {
  return IsNtFamily() ? kNtLastPort : kOtherLastPort;
}

bool SerialCandidateName(int index, char* out, int size) {
  if (out == nullptr || size <= 0) return false;
  const bool nt = IsNtFamily();
  if (index < 0 || index >= (nt ? kNtLastPort : kOtherLastPort)) return false;
  char name[16];
  std::snprintf(name, sizeof name, nt ? "\\\\.\\COM%d" : "COM%d", index + 1);
  const std::size_t length = std::strlen(name);
  if (length >= static_cast<std::size_t>(size)) return false;
  std::memcpy(out, name, length + 1);
  return true;
}

}  // namespace omr
