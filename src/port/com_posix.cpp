// Serial port on a POSIX terminal device.
#include "port/com_posix.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <chrono>
#include <climits>
#include <string_view>
#include <thread>

#include "port/com.h"

namespace omr {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBytePauseMs = 3;
// A byte that cannot enter a full output buffer within this time counts as not sent.
constexpr int kByteWriteLimitMs = 1000;

struct BaudEntry {
  unsigned long rate;
  speed_t code;
};

constexpr BaudEntry kBaudRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
#endif
};

// Two-digit abbreviations of the classic mode-string form ("96" is 9600).
constexpr struct {
  const char* text;
  unsigned long rate;
} kBaudAbbreviations[] = {{"11", 110},  {"15", 150},  {"30", 300},  {"60", 600},  {"12", 1200},
                          {"24", 2400}, {"48", 4800}, {"96", 9600}, {"19", 19200}};

// Line settings parsed from "baud,parity,data,stop"; fields after the baud
// rate may be left out or empty, which keeps the port's current value.
struct LineSettings {
  speed_t speed = B9600;
  char parity = 0;   // 0: keep; else one of n e o m s
  int dataBits = 0;  // 0: keep
  int stopBits = 0;  // 0: keep; 1 or 2 (1.5 maps to 2 on a 5-bit word)
};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool ParseBaud(std::string_view field, speed_t& speed) {
  if (field.empty() || field.size() > 9) return false;
  unsigned long rate = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return false;
    rate = rate * 10 + static_cast<unsigned long>(c - '0');
  }
  for (const auto& abbreviation : kBaudAbbreviations)
    if (field == abbreviation.text) rate = abbreviation.rate;
  for (const BaudEntry& entry : kBaudRates) {
    if (entry.rate == rate) {
      speed = entry.code;
      return true;
    }
  }
  return false;
}

bool ParseSettings(const std::string& text, LineSettings& out) {
  std::string_view rest(text);
  std::string_view fields[4];
  int count = 0;
  while (true) {
    if (count == 4) return false;  // more fields than the form has
    const std::size_t comma = rest.find(',');
    fields[count++] = Trim(rest.substr(0, comma));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (!ParseBaud(fields[0], out.speed)) return false;
  if (count > 1 && !fields[1].empty()) {
    if (fields[1].size() != 1) return false;
    const char p = static_cast<char>(fields[1][0] | 0x20);
    if (p != 'n' && p != 'e' && p != 'o' && p != 'm' && p != 's') return false;
    out.parity = p;
  }
  if (count > 2 && !fields[2].empty()) {
    if (fields[2].size() != 1 || fields[2][0] < '5' || fields[2][0] > '8') return false;
    out.dataBits = fields[2][0] - '0';
  }
  if (count > 3 && !fields[3].empty()) {
    if (fields[3] == "1") {
      out.stopBits = 1;
    } else if (fields[3] == "2") {
      out.stopBits = 2;
    } else if (fields[3] == "1.5" && out.dataBits == 5) {
      out.stopBits = 2;  // a UART sends 1.5 stop bits for a 5-bit word with two selected
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

bool ApplyModeString(const std::string& text, termios& tio) {
  LineSettings line;
  if (!ParseSettings(text, line)) return false;
  const tcflag_t kept = tio.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);

  switch (line.parity) {
    case 0:
      tio.c_cflag |= kept & (PARENB | PARODD | CMSPAR);
      break;
    case 'e':
      tio.c_cflag |= PARENB;
      break;
    case 'o':
      tio.c_cflag |= PARENB | PARODD;
      break;
    case 'm':
      tio.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case 's':
      tio.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;  // 'n'
  }
  switch (line.dataBits) {
    case 5:
      tio.c_cflag |= CS5;
      break;
    case 6:
      tio.c_cflag |= CS6;
      break;
    case 7:
      tio.c_cflag |= CS7;
      break;
    case 8:
      tio.c_cflag |= CS8;
      break;
    default:
      tio.c_cflag |= kept & CSIZE;
      break;
  }
  if (line.stopBits == 2 || (line.stopBits == 0 && (kept & CSTOPB))) tio.c_cflag |= CSTOPB;

  // Reads never wait inside the driver: poll() gives the whole-call time-out.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return cfsetispeed(&tio, line.speed) == 0 && cfsetospeed(&tio, line.speed) == 0;
}

namespace {

int RemainingMs(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  // Round up so that poll() never wakes before the deadline.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

bool WriteByte(int fd, std::uint8_t byte) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kByteWriteLimitMs);
  while (true) {
    const ssize_t n = ::write(fd, &byte, 1);
    if (n == 1) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      const int wait = RemainingMs(deadline);
      if (wait == 0) return false;
      if (::poll(&p, 1, wait) < 0 && errno != EINTR) return false;
      if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return false;
      continue;
    }
    return false;
  }
  while (::tcdrain(fd) != 0 && errno == EINTR) {
  }
  return true;
}

// A sleeping thread may wake up to its timer slack (50 us by default) late.
// While the byte pauses run, the slack is the smallest there is; the
// caller's own value comes back when the write ends.
class TightWakeUps {
 public:
#ifdef __linux__
  TightWakeUps() : saved_(::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) {
    if (saved_ > 1) ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  }
  ~TightWakeUps() {
    if (saved_ > 1) ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(saved_), 0UL, 0UL, 0UL);
  }

 private:
  long saved_;
#endif
};

}  // namespace

CCom::CCom() {
  name = "\\\\.\\COM1";
  settings = "9600,n,8,1";
}

CCom::~CCom() {
  if (handle != 0) Close(handle);
  name.clear();
  settings.clear();
}

Handle CCom::OpenWith(const char* newName, const char* newSettings) {
  if (handle != 0) Close(handle);
  if (!SetName(newName) || !SetSettings(newSettings)) return 0;
  return Open();
}

Handle CCom::Open() {
  if (handle != 0) Close(handle);
  if (name.empty() || name.size() >= PATH_MAX) return 0;

  const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat info {};
  termios probe{};
  // A name that is not a terminal (a file, a directory, a pipe) is no serial port.
  bool usable = ::fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) && ::tcgetattr(fd, &probe) == 0;
  // TIOCEXCL keeps out other openers, except privileged ones; the lock covers those that also lock.
  usable = usable && ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::ioctl(fd, TIOCEXCL) == 0;
  termios tio = probe;
  usable = usable && ApplyModeString(settings, tio) && ::tcsetattr(fd, TCSANOW, &tio) == 0;
  if (!usable) {
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    return 0;
  }
  device_ = fd;
  savedLine_ = probe;
  // A descriptor can be 0; the token never is.
  handle = static_cast<Handle>(fd) + 1;
  return handle;
}

int CCom::Close(Handle h) {
  if (handle == 0 || h != handle) return 0;
  const int fd = static_cast<int>(device_);
  // Leave the terminal as it was found and shareable again for whoever opens it next.
  ::tcsetattr(fd, TCSANOW, &savedLine_);
  ::ioctl(fd, TIOCNXCL);
  ::close(fd);
  device_ = -1;
  handle = 0;
  return 1;
}

int CCom::Purge() {
  if (handle == 0) return 0;
  return ::tcflush(static_cast<int>(device_), TCIOFLUSH) == 0 ? 1 : 0;
}

int CCom::Read(std::uint8_t* buffer, int count, int timeoutMs) {
  hungUp = false;
  if (handle == 0 || buffer == nullptr || count <= 0) return 0;
  const int fd = static_cast<int>(device_);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
  int got = 0;
  while (got < count) {
    const ssize_t n = ::read(fd, buffer + got, static_cast<std::size_t>(count - got));
    if (n > 0) {
      got += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      hungUp = true;  // EIO and the like: the device behind the port is gone
      break;
    }
    // Nothing waiting. A hung-up line reads empty for ever: stop at once.
    if (hungUp) break;
    const int wait = RemainingMs(deadline);
    if (wait == 0) break;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) hungUp = true;  // collect what is left, then stop
  }
  return got;
}

int CCom::Write(const std::uint8_t* data, int count) {
  if (handle == 0 || data == nullptr || count <= 0) return 0;
  int total = 0;
  const TightWakeUps tight;
  for (int i = 0; i < count; ++i) {
    if (handle != 0 && WriteByte(static_cast<int>(device_), data[i])) ++total;
    // The reader takes one byte at a time: pause after every byte, sent or not.
    std::this_thread::sleep_for(std::chrono::milliseconds(kBytePauseMs));
  }
  return total;
}

int CCom::GetInQueue() {
  if (handle == 0) return 0;
  int waiting = 0;
  if (::ioctl(static_cast<int>(device_), FIONREAD, &waiting) != 0 || waiting < 0) return 0;
  return waiting;
}

// The terminal layer has no queue-size call: the sizes are kept as values.
int CCom::SetInBufferSize(int size) {
  if (handle == 0 || size < 0) return 0;
  inBufferSize = size;
  return 1;
}

int CCom::SetOutBufferSize(int size) {
  if (handle == 0 || size < 0) return 0;
  outBufferSize = size;
  return 1;
}

}  // namespace omr
