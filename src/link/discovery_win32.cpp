// Serial candidates on Windows: "\\.\COM1" to "\\.\COM256" on the NT family,
// "COM1" to "COM9" on other systems.
#include <windows.h>

#include <cstdio>

#include "link/discovery.h"

namespace omr {

namespace {

bool IsNtFamily() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExA(&info)) return true;
#pragma GCC diagnostic pop
  return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

}  // namespace

bool SerialCandidate(int index, std::string& name) {
  static const bool nt = IsNtFamily();
  const int last = nt ? 256 : 9;
  if (index < 0 || index >= last) return false;
  char text[32];
  std::snprintf(text, sizeof text, nt ? "\\\\.\\COM%d" : "COM%d", index + 1);
  name = text;
  return true;
}

// Windows lists only the COM ports that exist; opening tells the rest.
bool SerialHardwarePresent(const std::string&) {
  return true;
}

}  // namespace omr
