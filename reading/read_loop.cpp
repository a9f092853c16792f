#include "read_loop.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "omr.h"
#include "omr_offline.h"
#include "reader.h"

namespace omr::reading {

namespace {

// State the signal handler reads: only lock-free atomics and fixed buffers.
volatile sig_atomic_t gRequested = 0;
volatile sig_atomic_t gInFlight = 0;
volatile sig_atomic_t gHaveTemporary = 0;
char gTemporary[PATH_MAX];

constexpr int kHandled[] = {SIGINT, SIGTERM, SIGPIPE};
struct sigaction gPrevious[3];
struct sigaction gPreviousXfsz;

void Put(const char* text) {
  std::size_t n = 0;
  while (text[n] != '\0') ++n;
  [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, text, n);
}

void PutNumber(long value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 && n < 20);
  char text[24];
  for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
  text[n] = '\0';
  Put(text);
}

void OnSignal(int signal) {
  if (signal == SIGPIPE) {
    // The reader of standard output went away: stop as for an interrupt; the
    // pipe's later signals say nothing new.
    if (gRequested == 0) gRequested = SIGPIPE;
    return;
  }
  if (gRequested == 0 || gRequested == SIGPIPE) {
    gRequested = signal;
    Put("\nomrctl: stopping after the sheet in flight (");
    Put(signal == SIGINT ? "interrupt" : "signal");
    Put(" again to stop at once)\n");
    return;
  }
  if (gHaveTemporary) ::unlink(gTemporary);
  Put("\nomrctl: stopped at once");
  if (gInFlight > 0) {
    Put(": sheet ");
    PutNumber(gInFlight);
    Put(" was in flight and is not saved: feed it again");
  }
  Put("\n");
  ::_exit(128 + signal);
}

}  // namespace

StopSignals::StopSignals() {
  gRequested = 0;
  gInFlight = 0;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  // Writes of the sheet in flight go on after the handler instead of failing.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (const int s : kHandled) sigaddset(&action.sa_mask, s);
  for (std::size_t i = 0; i < std::size(kHandled); ++i) ::sigaction(kHandled[i], &action, &gPrevious[i]);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGXFSZ, &ignore, &gPreviousXfsz);
}

StopSignals::~StopSignals() {
  for (std::size_t i = 0; i < std::size(kHandled); ++i) ::sigaction(kHandled[i], &gPrevious[i], nullptr);
  ::sigaction(SIGXFSZ, &gPreviousXfsz, nullptr);
}

int StopSignals::Requested() {
  return gRequested;
}

void StopSignals::SetInFlight(int sheet) {
  gInFlight = sheet;
}

HeldSignals::HeldSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : kHandled) sigaddset(&set, s);
  ::sigprocmask(SIG_BLOCK, &set, &saved_);
}

HeldSignals::~HeldSignals() {
  ::sigprocmask(SIG_SETMASK, &saved_, nullptr);
}

TemporaryFileGuard::TemporaryFileGuard(const std::string& path) {
  if (path.size() >= sizeof gTemporary) return;
  const HeldSignals held;
  std::memcpy(gTemporary, path.c_str(), path.size() + 1);
  gHaveTemporary = 1;
}

TemporaryFileGuard::~TemporaryFileGuard() {
  gHaveTemporary = 0;
}

bool SplitGridCopy(const std::vector<std::uint8_t>& copy, int& lines, int& columns,
                   std::vector<std::uint8_t>& cells) {
  if (copy.size() < 2) return false;
  const std::size_t count = static_cast<std::size_t>(copy[0]) * copy[1];
  if (copy.size() < 2 + count) return false;
  lines = copy[0];
  columns = copy[1];
  cells.assign(copy.begin() + 2, copy.begin() + 2 + static_cast<std::ptrdiff_t>(count));
  for (std::uint8_t& c : cells) c &= 0x0F;
  return true;
}

int CApiReader::Read() {
  return MR_Read() == 0 ? 0 : MR_GetLastError();
}

std::string CApiReader::Result(int mode) {
  std::vector<char> text(16384 + 4);  // the prefix, every question character and the zero
  const int length = MR_GetResult(text.data(), mode);
  return length > 0 ? std::string(text.data(), static_cast<std::size_t>(length)) : std::string();
}

bool CApiReader::GridCopy(std::vector<std::uint8_t>& copy) {
  copy.assign(2 + OMRO_MAX_CELLS, 0);  // the counts, then at most the frame
  if (MR_SysCmd(kSysGrid, copy.data()) == 1) return true;
  copy.clear();
  return false;
}

bool CApiReader::Version(std::string& version) {
  return ReaderVersion(version);
}

bool CApiReader::StopTransport() {
  return MR_StopMotor() == kMotorStopped;
}

ReadLoop::ReadLoop(Reader& reader, LoopOptions options) : reader_(reader), options_(options) {
  reader_.Version(version_);
}

FedSheet ReadLoop::Feed(int number) {
  FedSheet r;
  r.number = number;
  r.code = reader_.Read();
  // No status reply is "no sheet" (16) only to a reader of version 3.0; for
  // the others the library answers 8 for an empty tray and a dead reader
  // alike. A reader that still tells its version has an empty tray; one that
  // does not has stopped answering (a frozen 3.0 reader gives 16 too).
  if (r.code == kErrorNoSheet || (r.code == kErrorCommunication && version_ != "3.0")) {
    std::string version;
    r.outcome = reader_.Version(version) ? SheetOutcome::TrayEmpty : SheetOutcome::ReaderGone;
    return r;
  }
  if (r.code == kErrorCommunication) {
    r.outcome = SheetOutcome::ReaderGone;
    return r;
  }
  if (r.code != 0 && !omro_recognition_code(r.code)) {
    r.outcome = SheetOutcome::FeedAgain;  // a status of the reader, or a CRC failure (20)
    return r;
  }
  if (r.code == 0) {
    r.result = reader_.Result(options_.mode);
    const std::string letter = reader_.Result(1);
    r.letter = letter.empty() ? 0 : letter[0];
  }
  std::vector<std::uint8_t> grid;
  const bool haveGrid = reader_.GridCopy(grid);
  // A refused sheet leaves the frame as it was: the same grid again is the
  // last sheet's, not this one's. (Two sheets never read to the very same
  // cells on a real reader.)
  const bool fresh = haveGrid && (r.code == 0 || grid != lastGrid_);
  if (haveGrid) lastGrid_ = grid;
  if (r.code != 0 && !fresh) {
    r.outcome = SheetOutcome::FeedAgain;
    return r;
  }
  r.outcome = r.code == 0 ? SheetOutcome::Read : SheetOutcome::NotRecognised;
  if (haveGrid) SplitGridCopy(grid, r.lines, r.columns, r.cells);
  return r;
}

namespace {

// Waits `ms` in steps short enough that a stop asked meanwhile is seen at once.
bool WaitOrStop(int ms, const StopRequested& stop) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    if (stop && stop()) return true;
    std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(50), end - Clock::now()));
  }
  return stop && stop();
}

}  // namespace

LoopReport ReadLoop::Run(SheetHandler& handler, const StopRequested& stop) {
  LoopReport report;
  report.version = version_;
  report.end = LoopEnd::Count;
  int failuresInARow = 0;
  bool waiting = false;  // the tray was empty at the last try
  for (int number = options_.first;;) {
    if (stop && stop()) {
      report.end = LoopEnd::Stopped;
      break;
    }
    if (options_.count > 0 && report.fed >= options_.count) break;
    if (!waiting) handler.Feeding(number);
    FedSheet sheet = Feed(number);
    if (sheet.outcome == SheetOutcome::TrayEmpty) {
      if (options_.waitMs > 0) {
        if (!waiting) handler.Waiting(number);
        waiting = true;
        if (WaitOrStop(options_.waitMs, stop)) {
          report.end = LoopEnd::Stopped;
          break;
        }
        continue;
      }
      report.end = LoopEnd::TrayEmpty;
      break;
    }
    waiting = false;
    if (sheet.outcome == SheetOutcome::ReaderGone) {
      handler.Lost(number, sheet.code);
      report.lostCode = sheet.code;
      report.end = LoopEnd::ReaderGone;
      break;
    }
    ++report.fed;
    const SheetVerdict verdict = handler.Take(sheet);
    if (verdict.stop) {
      report.end = LoopEnd::SheetNotKept;
      break;
    }
    report.failed += verdict.failed ? 1 : 0;
    failuresInARow = verdict.failed ? failuresInARow + 1 : 0;
    if (options_.maxErrors > 0 && failuresInARow >= options_.maxErrors) {
      report.end = LoopEnd::TooManyFailures;
      report.tooManyFailures = std::to_string(failuresInARow) + " sheets in a row failed (--max-errors " +
                               std::to_string(options_.maxErrors) +
                               "): the transport is stopped; check the reader, the sheets and the form";
      break;
    }
    ++number;
  }
  // A stop during the last sheet or the wait for an empty tray still ends the run as stopped.
  if (stop && (report.end == LoopEnd::Count || report.end == LoopEnd::TrayEmpty) && stop())
    report.end = LoopEnd::Stopped;
  if (report.end == LoopEnd::Stopped || report.end == LoopEnd::SheetNotKept ||
      report.end == LoopEnd::TooManyFailures)
    reader_.StopTransport();
  return report;
}

}  // namespace omr::reading
