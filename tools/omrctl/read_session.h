// The machinery of a loop that feeds sheets through the reader, shared by
// every command that does (omrctl read and the commands built on it), so that
// each of them keeps the same promises:
//
// - a stop asked for by a signal finishes the sheet in flight first
//   (StopSignals); a second signal stops at once and names that sheet;
// - a sheet the reader refused, or whose data failed its check, is told from
//   a sheet that was read but not recognised, and never gets the grid of the
//   sheet before it (ReadSession::ReadSheet);
// - an empty tray is told from a reader that is gone, also where the library
//   answers both with error 8 (firmware other than 3.0) or a silent reader
//   gives 16: the reader is asked for its version once;
// - too many failed sheets in a row stop the transport (ReadSession).
//
// Output files that lose nothing are in output_files.h.
#pragma once

#include <signal.h>

#include <cstdint>
#include <string>
#include <vector>

namespace omrctl {

// SIGINT, SIGTERM and SIGPIPE ask the loop to stop once the sheet in flight
// is saved; Requested() tells the loop. A second SIGINT or SIGTERM stops at
// once: the temporary file being written is removed, the sheet in flight is
// named on stderr as to be fed again, and the process exits with 128 + the
// signal. SIGXFSZ is ignored, so that a write past a file size limit fails
// (EFBIG) instead of killing the process. One object at a time; its
// destructor puts the previous handlers back.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // 0 while no stop was asked for, else the first signal that asked.
  static int Requested();
  // 128 + the signal: 130 for SIGINT, 141 for SIGPIPE, 143 for SIGTERM.
  static int ExitCode(int signal) { return 128 + signal; }
  // The sheet being fed and saved now, 0 for none.
  static void SetInFlight(int sheet);
};

// Holds the stop signals off while it lives (a row being written, the
// handler's state being changed); one that came meanwhile acts at the end.
class HeldSignals {
 public:
  HeldSignals();
  ~HeldSignals();
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

 private:
  sigset_t saved_;
};

// While it lives, `path` is removed if the process is stopped at once.
class TemporaryFileGuard {
 public:
  explicit TemporaryFileGuard(const std::string& path);
  ~TemporaryFileGuard();
  TemporaryFileGuard(const TemporaryFileGuard&) = delete;
  TemporaryFileGuard& operator=(const TemporaryFileGuard&) = delete;
};

enum class SheetOutcome {
  Read,           // read and recognised
  NotRecognised,  // read, but no layout fits or a bar is too light (4, 5, 7): its grid is there
  FeedAgain,      // the reader refused the sheet (its status) or the data failed the CRC
  TrayEmpty,      // no sheet: the normal end of a batch
  ReaderGone,     // the reader stopped answering or hung up: the sheet in flight must be fed again
};

struct ReadResult {
  int code = 0;  // 0, or the library's error code
  SheetOutcome outcome = SheetOutcome::Read;
  // The grid copy of system command 25 (lines, columns, cells), only when
  // it holds this sheet's grid: Read and NotRecognised.
  std::vector<std::uint8_t> grid;
};

// The grid of a copy as ReadResult::grid holds it (the counts, then the
// cells), without the high bits, which are no part of a cell value. False
// when the copy is shorter than its counts say.
bool SplitGridCopy(const std::vector<std::uint8_t>& copy, int& lines, int& columns,
                   std::vector<std::uint8_t>& cells);

// One connected reader with a form loaded. Reads through the library's C
// interface.
class ReadSession {
 public:
  // `maxErrors`: sheets failing in a row that stop the batch (0: no limit).
  explicit ReadSession(int maxErrors);

  // The firmware version the reader reports ("" when it does not answer).
  const std::string& Version() const { return version_; }

  // Feeds one sheet (MR_Read) and says what came of it.
  ReadResult ReadSheet();

  // Counts a sheet that was fed; true once `maxErrors` sheets in a row failed.
  bool CountSheet(bool failed);
  // What to tell the operator when CountSheet stopped the batch.
  std::string TooManyFailures() const;

  // Stops the sheet transport (the feed motor); false when the reader did not confirm.
  static bool StopTransport();

 private:
  std::string version_;
  int maxErrors_;
  int failuresInARow_ = 0;
  std::vector<std::uint8_t> lastGrid_;  // the grid the library's frame held after the last read
};

}  // namespace omrctl
