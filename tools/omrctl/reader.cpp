#include "reader.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <vector>

#include "link/discovery.h"
#include "link/link.h"
#include "omr.h"

namespace omrctl {

namespace {

// Devices the process holds open, found through /proc/self/fd.
std::vector<dev_t> OpenDevices() {
  std::vector<dev_t> devices;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return devices;
  while (const dirent* entry = readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;
    struct stat st {};
    if (fstat(static_cast<int>(fd), &st) == 0 && S_ISCHR(st.st_mode)) devices.push_back(st.st_rdev);
  }
  closedir(dir);
  return devices;
}

// The candidate the library opened: the one whose device the process holds.
std::string ConnectedName() {
  const std::vector<dev_t> open = OpenDevices();
  std::string name;
  for (int i = 0; i < omr::kMaxSerialCandidates && omr::SerialCandidate(i, name); ++i) {
    struct stat st {};
    if (stat(name.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
    for (const dev_t d : open)
      if (d == st.st_rdev) return name;
  }
  return "USB bridge";
}

}  // namespace

bool ConnectReader(const std::string& port, std::string& name) {
  if (!port.empty()) setenv("OMR_SERIAL_PORTS", port.c_str(), 1);
  if (MR_Installed(0) == 0) return false;
  name = ConnectedName();
  return true;
}

void DisconnectReader() {
  MR_Close();
}

int ReaderError() {
  return MR_GetLastError();
}

bool WaitFromParameters(const std::string& version) {
  return !version.empty() && omr::ParseDecimal(version.c_str()) >= 3.0;
}

int SheetWaitMs(const std::string& version, const unsigned char* parameters, bool haveParameters) {
  if (!WaitFromParameters(version)) return 2000;
  if (!haveParameters) return 8000;  // as the library: the shortest wait of its generation
  return (parameters[2] + 8) * 1000;
}

}  // namespace omrctl
