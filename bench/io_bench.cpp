// Timing over real terminals: how closely the serial port keeps its read
// time-outs, and sheets per second through the C interface against a
// simulated reader on a pty.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "omr.h"
#include "port/com.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

struct Spread {
  double median = 0;
  double p99 = 0;
  double min = 0;
  double max = 0;
};

Spread SpreadOf(std::vector<double> values) {
  Spread s;
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  const auto at = [&](double q) {
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
    return values[std::min(values.size() - 1, rank == 0 ? 0 : rank - 1)];
  };
  s.median = at(0.5);
  s.p99 = at(0.99);
  s.min = values.front();
  s.max = values.back();
  return s;
}

void PrintFigure(const char* text, double value, const char* unit, const char* target, bool met) {
  std::printf("%-52s %9.3f %-4s %-14s %s\n", text, value, unit, target, met ? "met" : "MISSED");
}

// ---------------------------------------------------------------- time-outs

struct Pty {
  int master = -1;
  std::string slave;
  Pty() {
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (fd < 0) return;
    if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::ptsname_r(fd, name, sizeof name) != 0) {
      ::close(fd);
      return;
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
      ::cfmakeraw(&tio);
      ::tcsetattr(fd, TCSANOW, &tio);
    }
    master = fd;
    slave = name;
  }
  ~Pty() {
    if (master >= 0) ::close(master);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
};

bool RunTimeouts(int lateSamples, int byteSamples) {
  Pty pty;
  if (pty.master < 0) {
    std::printf("time-outs: no pseudo-terminal available\n");
    return false;
  }
  omr::CCom com;
  if (com.OpenWith(pty.slave.c_str(), "115200,n,8,1") == 0) {
    std::printf("time-outs: CCom could not open %s\n", pty.slave.c_str());
    return false;
  }
  std::uint8_t buffer[16];

  // Nothing arrives: Read must come back at its time-out, not much later.
  // A bare poll() on the master side, taken in turn with the library's
  // reads, shows how late this machine wakes any sleeper at the same time.
  constexpr int kTimeoutMs = 20;
  std::vector<double> late;
  std::vector<double> bareLate;
  int early = 0;
  for (int i = 0; i < lateSamples; ++i) {
    Clock::time_point start = Clock::now();
    const int n = com.Read(buffer, 4, kTimeoutMs);
    const double elapsed = Ms(Clock::now() - start);
    if (n == 0) {
      if (elapsed < kTimeoutMs) ++early;
      late.push_back(elapsed - kTimeoutMs);
    }
    pollfd p{pty.master, POLLIN, 0};
    start = Clock::now();
    if (::poll(&p, 1, kTimeoutMs) == 0) bareLate.push_back(Ms(Clock::now() - start) - kTimeoutMs);
  }

  // Seven bytes at once, the eighth 2 ms later: Read(8) must return as soon
  // as the last byte is there.
  std::vector<double> afterLast;
  std::vector<double> bareAfterLast;
  int incomplete = 0;
  Pty other;
  const int control = other.master >= 0 ? ::open(other.slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
  if (control >= 0) {
    termios tio{};
    ::tcgetattr(control, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(control, TCSANOW, &tio);
  }
  for (int i = 0; i < byteSamples; ++i) {
    com.Purge();
    Clock::time_point lastSent{};
    std::thread sender([&] {
      const std::uint8_t head[7] = {1, 2, 3, 4, 5, 6, 7};
      const std::uint8_t tail = 8;
      if (::write(pty.master, head, sizeof head) != static_cast<ssize_t>(sizeof head)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      lastSent = Clock::now();
      if (::write(pty.master, &tail, 1) != 1) lastSent = {};
    });
    const int n = com.Read(buffer, 8, 1000);
    const Clock::time_point returned = Clock::now();
    sender.join();
    if (n != 8 || lastSent == Clock::time_point{}) {
      ++incomplete;
      continue;
    }
    afterLast.push_back(Ms(returned - lastSent));

    // Control: the same byte to a plain poll() and read() on a terminal of
    // the same kind, without the library.
    if (control < 0) continue;
    std::thread bareSender([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      lastSent = Clock::now();
      const std::uint8_t byte = 9;
      if (::write(other.master, &byte, 1) != 1) lastSent = {};
    });
    pollfd p{control, POLLIN, 0};
    const bool ready = ::poll(&p, 1, 1000) == 1 && ::read(control, buffer, 1) == 1;
    const Clock::time_point bareReturned = Clock::now();
    bareSender.join();
    if (ready && lastSent != Clock::time_point{}) bareAfterLast.push_back(Ms(bareReturned - lastSent));
  }
  if (control >= 0) ::close(control);
  com.Close(com.GetHandle());

  const Spread l = SpreadOf(late);
  const Spread bare = SpreadOf(bareLate);
  const Spread a = SpreadOf(afterLast);
  const Spread bareA = SpreadOf(bareAfterLast);
  std::printf("\nPOSIX serial port (CCom) on a pty pair\n");
  std::printf(
      "  Read(4, %d ms) with nothing arriving, %zu samples: late by median %.3f ms, p99 %.3f ms, "
      "min %.3f ms, max %.3f ms; %d returned early\n",
      kTimeoutMs, late.size(), l.median, l.p99, l.min, l.max, early);
  std::printf("  control, a bare poll(%d ms) in between: late by median %.3f ms, p99 %.3f ms, max %.3f ms\n",
              kTimeoutMs, bare.median, bare.p99, bare.max);
  std::printf(
      "  Read(8, 1000 ms), last byte 2 ms after the rest, %zu samples: back after the last byte in "
      "median %.3f ms, p99 %.3f ms, max %.3f ms; %d incomplete\n",
      afterLast.size(), a.median, a.p99, a.max, incomplete);
  std::printf(
      "  control, a bare poll() and read() of one byte on another pty: back in median %.3f ms, p99 %.3f ms, "
      "max %.3f ms\n",
      bareA.median, bareA.p99, bareA.max);
  std::printf("\n%-52s %9s %-4s %-14s\n", "figure", "value", "", "target");
  PrintFigure("Read late after its time-out, median", l.median, "ms", "within 2 ms",
              l.median <= 2 && early == 0);
  PrintFigure("Read late after its time-out, p99", l.p99, "ms", "within 2 ms", l.p99 <= 2 && early == 0);
  PrintFigure("Read back after the last byte, median", a.median, "ms", "within 1 ms", a.median <= 1);
  PrintFigure("Read back after the last byte, p99", a.p99, "ms", "within 1 ms", a.p99 <= 1);
  return !late.empty() && !afterLast.empty();
}

// ------------------------------------------------------------- end to end

#ifdef OMR_BENCH_OMRSIM

struct Simulator {
  pid_t pid = -1;
  std::string dir;
  std::string link;

  bool Start(int sheets) {
    char pattern[] = "/tmp/omr_bench_XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return false;
    dir = pattern;
    link = dir + "/reader";
    const std::string count = std::to_string(sheets);
    pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      if (null >= 0) ::dup2(null, STDOUT_FILENO), ::dup2(null, STDERR_FILENO);
      ::execl(OMR_BENCH_OMRSIM, OMR_BENCH_OMRSIM, "--link", link.c_str(), "--form", OMR_BENCH_EXAM_FORM,
              "--random", count.c_str(), "--seed", "5", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 500; ++i) {
      struct stat info {};
      if (::stat(link.c_str(), &info) == 0) return true;
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  ~Simulator() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      int status = 0;
      ::waitpid(pid, &status, 0);
    }
    if (!link.empty()) ::unlink(link.c_str());
    if (!dir.empty()) ::rmdir(dir.c_str());
  }
};

// How far past 3 ms a plain 3 ms sleep of this process ends, right now.
std::vector<double> SleepOvershoot(int samples) {
  std::vector<double> over;
  for (int i = 0; i < samples; ++i) {
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    over.push_back(Ms(Clock::now() - start) - 3.0);
  }
  return over;
}

bool RunEndToEnd(int sheets) {
  constexpr int kWarmUp = 3;
  Simulator sim;
  if (!sim.Start(sheets + kWarmUp)) {
    std::printf("end to end: omrsim did not start\n");
    return false;
  }
  ::setenv("OMR_SERIAL_PORTS", sim.link.c_str(), 1);
  if (MR_Installed(0) <= 0) {
    std::printf("end to end: MR_Installed found no reader (last error %d)\n", MR_GetLastError());
    return false;
  }
  if (MR_LoadForm(OMR_BENCH_EXAM_FORM, "") != 0) {
    std::printf("end to end: MR_LoadForm failed (last error %d)\n", MR_GetLastError());
    MR_Close();
    return false;
  }
  static char result[16384 + 3];
  int failures = 0;
  int length = 0;
  for (int i = 0; i < kWarmUp; ++i)
    if (MR_Read() != 0 || MR_GetResult(result, 3) <= 0) ++failures;
  const std::vector<double> controlBefore = SleepOvershoot(100);
  double readMs = 0;
  double resultMs = 0;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < sheets; ++i) {
    const Clock::time_point t0 = Clock::now();
    const int read = MR_Read();
    const Clock::time_point t1 = Clock::now();
    length = read == 0 ? MR_GetResult(result, 3) : -1;
    const Clock::time_point t2 = Clock::now();
    readMs += Ms(t1 - t0);
    resultMs += Ms(t2 - t1);
    if (read != 0 || length <= 0) ++failures;
  }
  const double totalMs = Ms(Clock::now() - start);
  MR_Close();
  // Control: the machine's own oversleep, measured just before and after.
  std::vector<double> over = SleepOvershoot(100);
  for (double v : controlBefore) over.push_back(v);
  const Spread sleep = SpreadOf(over);

  constexpr double kFloorMs = 12.0;  // FA 24 and FA 26, 3 ms after each of the 4 bytes
  const double perSheet = totalMs / sheets;
  const double ratio = kFloorMs / perSheet;
  std::printf("\nEnd to end: omrsim on a pty, exam form, %d sheets, MR_Read + MR_GetResult(mode 3)\n",
              sheets);
  std::printf(
      "  %.1f sheets/s, %.3f ms a sheet (MR_Read %.3f ms, MR_GetResult %.4f ms); floor %.1f ms a "
      "sheet = %.1f sheets/s; %d failed; %d characters a result\n",
      1000.0 / perSheet, perSheet, readMs / sheets, resultMs / sheets, kFloorMs, 1000.0 / kFloorMs, failures,
      length);
  double overMean = 0;
  for (double v : over) overMean += v;
  overMean /= static_cast<double>(over.size());
  const double machineFloor = 4 * (3.0 + overMean);
  std::printf(
      "  control: a bare 3 ms sleep here ends late by %.3f ms on average (median %.3f ms, p99 %.3f ms), so "
      "four pauses take %.3f ms on this machine now; against that, the library reaches %.1f %%\n",
      overMean, sleep.median, sleep.p99, machineFloor, 100.0 * machineFloor / perSheet);
  std::printf("\n%-52s %9s %-4s %-14s\n", "figure", "value", "", "target");
  PrintFigure("end to end, share of the pause floor", 100.0 * ratio, "%", ">= 90 %",
              ratio >= 0.9 && failures == 0);
  return failures == 0;
}

#endif

int Usage() {
  std::fprintf(stderr,
               "usage: omr_bench_io [--timeouts] [--e2e] [--samples N] [--sheets N]\n"
               "  with neither --timeouts nor --e2e, both run\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool timeouts = false;
  bool e2e = false;
  int samples = 200;
  int sheets = 200;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--timeouts") {
      timeouts = true;
    } else if (arg == "--e2e") {
      e2e = true;
    } else if ((arg == "--samples" || arg == "--sheets") && i + 1 < argc) {
      const int n = std::atoi(argv[++i]);
      if (n < 1 || n > 100000) return Usage();
      (arg == "--samples" ? samples : sheets) = n;
    } else {
      return Usage();
    }
  }
  if (!timeouts && !e2e) timeouts = e2e = true;
  bool ok = true;
  if (timeouts) ok = RunTimeouts(samples, samples) && ok;
  if (e2e) {
#ifdef OMR_BENCH_OMRSIM
    ok = RunEndToEnd(sheets) && ok;
#else
    std::printf("\nend to end: skipped (omrsim is not part of this build)\n");
#endif
  }
  return ok ? 0 : 1;
}
