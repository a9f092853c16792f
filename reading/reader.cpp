#include "reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>
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

// An on-board terminal: there are many, and they are rarely the reader.
bool OnBoard(const std::string& name) {
  return name.rfind("/dev/ttyS", 0) == 0;
}

// What keeps `name` from being the reader, looked at without talking to it:
// after the library found no reader there, a port that opens is one that
// did not answer.
PortTried Examine(const std::string& name) {
  PortTried port{name, PortState::kMissing, "no such port: " + name};
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0) return port;
  if (!S_ISCHR(st.st_mode))
    return {name, PortState::kNotSerial, name + " is not a serial port (not a character device)"};
  if (::access(name.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
    const group* owner = ::getgrgid(st.st_gid);
    const std::string group = owner ? owner->gr_name : "dialout";
    return {name, PortState::kDenied,
            "permission denied on " + name + ": add your user to the " + group + " group (sudo usermod -aG " +
                group + " $USER, then log in again)"};
  }
  const PortTried busy{name, PortState::kBusy, "port busy: another program holds " + name};
  const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == EBUSY) return busy;
    if (errno == EACCES || errno == EPERM) return {name, PortState::kDenied, "permission denied on " + name};
    return {name, PortState::kFailed, "cannot open " + name + ": " + std::strerror(errno)};
  }
  termios line{};
  const bool terminal = ::tcgetattr(fd, &line) == 0;
  const bool locked = terminal && ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  if (!terminal) return {name, PortState::kNotSerial, name + " is not a serial port (not a terminal)"};
  if (locked) return busy;
  return {name, PortState::kSilent,
          "nothing answered on " + name + ": is the reader switched on and connected to it?"};
}

// "/dev/ttyUSB3" -> {"/dev/ttyUSB", 3}; number -1 when the name ends in no digit.
std::pair<std::string, long> SplitNumber(const std::string& name) {
  std::size_t digits = name.size();
  while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
  if (digits == name.size() || name.size() - digits > 6) return {name, -1};
  return {name.substr(0, digits), std::stol(name.substr(digits))};
}

// Names as runs: "/dev/ttyUSB0-15, /dev/ttyACM0-15, /dev/ttyS1-31".
std::string Runs(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size();) {
    const auto [stem, first] = SplitNumber(names[i]);
    std::size_t j = i + 1;
    long last = first;
    while (first >= 0 && j < names.size()) {
      const auto [nextStem, next] = SplitNumber(names[j]);
      if (nextStem != stem || next != last + 1) break;
      last = next;
      ++j;
    }
    text += (text.empty() ? "" : ", ") + names[i] + (last > first ? "-" + std::to_string(last) : "");
    i = j;
  }
  return text;
}

bool Named(const std::string& port) {
  return !port.empty() || std::getenv("OMR_SERIAL_PORTS") != nullptr;
}

// Whether a port may be one another process has just let go: held still, or
// open but silent (its reader finishing the sheet that process fed).
bool MayBeReleasing(const std::vector<PortTried>& ports, bool named) {
  for (const PortTried& p : ports)
    if (p.state == PortState::kBusy || (p.state == PortState::kSilent && (named || !OnBoard(p.name))))
      return true;
  return false;
}

}  // namespace

std::vector<PortTried> TryPorts(const std::string& port) {
  std::vector<PortTried> tried;
  for (const std::string& name : port.empty() ? SerialPorts() : SplitPorts(port))
    tried.push_back(Examine(name));
  return tried;
}

std::vector<std::string> ExplainNoReader(const std::string& port) {
  std::vector<std::string> lines;
  const bool named = Named(port);
  std::vector<std::string> absent;
  for (const PortTried& p : TryPorts(port)) {
    if (p.state == PortState::kMissing && !named)
      absent.push_back(p.name);
    else
      lines.push_back(p.why);
  }
  if (!absent.empty())
    lines.push_back("no device at " + Runs(absent) +
                    (lines.empty() ? " (that is every serial port looked for; --port names another)" : ""));
  lines.push_back("no USB bridge answered either");
  return lines;
}

bool ConnectReader(const std::string& port, std::string& name) {
  if (!port.empty()) setenv("OMR_SERIAL_PORTS", port.c_str(), 1);
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kPortReleaseWaitMs);
  while (MR_Installed(0) == 0) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline || !MayBeReleasing(TryPorts(port), Named(port))) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(200), deadline - now));
  }
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
