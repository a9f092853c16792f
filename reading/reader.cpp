#include "reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "omr.h"
#include "omr_offline.h"

namespace omr::reading {

namespace {

// The serial devices the library tries, in its order.
std::vector<std::string> SerialPorts() {
  std::vector<std::string> names;
  char name[4096];
  for (int i = 0; omro_serial_port(i, name, sizeof name) == OMRO_OK; ++i) names.push_back(name);
  return names;
}

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
  for (const std::string& name : SerialPorts()) {
    struct stat st {};
    if (stat(name.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
    for (const dev_t d : open)
      if (d == st.st_rdev) return name;
  }
  return "USB bridge";
}

std::vector<std::string> SplitPorts(const std::string& list) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t colon = list.find(':', start);
    const std::size_t end = colon == std::string::npos ? list.size() : colon;
    if (end > start) names.push_back(list.substr(start, end - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return names;
}

// What keeps `name` from being the reader; "" when nothing can be seen.
// `named`: the operator named the port (--port, OMR_SERIAL_PORTS), so its
// absence and its silence are worth a word too.
std::string PortProblem(const std::string& name, bool named) {
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0) return named ? "no such port: " + name : "";
  if (!S_ISCHR(st.st_mode)) return named ? name + " is not a serial port (not a character device)" : "";
  if (::access(name.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
    const group* owner = ::getgrgid(st.st_gid);
    const std::string group = owner ? owner->gr_name : "dialout";
    return "permission denied on " + name + ": add your user to the " + group + " group (sudo usermod -aG " +
           group + " $USER, then log in again)";
  }
  // On-board terminals are many and rarely the reader: only when named.
  if (!named && name.rfind("/dev/ttyS", 0) == 0) return "";
  const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == EBUSY) return "port busy: another program holds " + name;
    if (errno == EACCES || errno == EPERM) return "permission denied on " + name;
    return named ? "cannot open " + name + ": " + std::strerror(errno) : "";
  }
  const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  if (locked) return "port busy: another program holds " + name;
  return named ? "nothing answered on " + name + ": is the reader switched on and connected to it?" : "";
}

}  // namespace

std::vector<std::string> ExplainNoReader(const std::string& port) {
  std::vector<std::string> lines;
  const char* env = std::getenv("OMR_SERIAL_PORTS");
  const bool named = !port.empty() || env != nullptr;
  std::vector<std::string> names;
  if (!port.empty()) {
    names = SplitPorts(port);
  } else {
    names = SerialPorts();
  }
  for (const std::string& name : names) {
    const std::string problem = PortProblem(name, named);
    if (!problem.empty()) lines.push_back(problem);
  }
  return lines;
}

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

bool ReaderVersion(std::string& version) {
  char text[16] = {};
  const bool ok = MR_SysCmd(kSysVersion, text) == 1;
  version = ok ? std::string(text, strnlen(text, sizeof text)) : std::string();
  return ok;
}

std::string ReaderSerial() {
  char serial[32] = {};
  if (MR_GetSerial(serial) < 0) return {};
  std::string text(serial, strnlen(serial, sizeof serial));
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

bool WaitFromParameters(const std::string& version) {
  return omro_wait_in_parameters(version.c_str()) != 0;
}

int SheetWaitMs(const std::string& version, const unsigned char* parameters, bool haveParameters) {
  return omro_sheet_wait_ms(version.c_str(), haveParameters ? parameters : nullptr);
}

int LoadForm(const std::string& path) {
  return MR_LoadForm(path.c_str(), "") == 0 ? 0 : MR_GetLastError();
}

}  // namespace omr::reading
