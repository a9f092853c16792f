// The one loop that feeds sheets through a reader, driven by `omrctl read`,
// `omrctl exam read` and whatever else reads (the office page, on a thread of
// its own), so that every one of them keeps the same promises:
//
// - a stop asked for (a signal through StopSignals, or a thread's stop
//   request) finishes the sheet in flight first; with StopSignals a second
//   signal stops at once and names that sheet;
// - a sheet the reader refused, or whose data failed its check, is told from
//   a sheet that was read but not recognised, and never gets the grid of the
//   sheet before it;
// - an empty tray is told from a reader that is gone, also where the library
//   answers both with error 8 (firmware other than 3.0) or a silent reader
//   gives 16: the reader is asked for its version once;
// - too many failed sheets in a row stop the transport, as does a stop or a
//   sheet its handler could not keep.
//
// The loop reports each sheet to a handler, which keeps it (a row in a file,
// a sheet in an exam project) before the next one is fed. Output files that
// lose nothing are omrctl's (output_files.h).
#pragma once

#include <signal.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace omr::reading {

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
  NotRecognised,  // read, but the recognition could not (omro_recognition_code): its grid is there
  FeedAgain,      // the reader refused the sheet (its status) or the data failed the CRC
  TrayEmpty,      // no sheet: the normal end of a batch
  ReaderGone,     // the reader stopped answering or hung up: the sheet in flight must be fed again
};

// One sheet the reader took.
struct FedSheet {
  int number = 0;  // in this run, from LoopOptions::first
  int code = 0;    // 0, or the library's error code
  SheetOutcome outcome = SheetOutcome::Read;
  std::string result;  // the result text in the loop's mode, when read (any bytes)
  char letter = 0;     // the form letter of a read sheet, 0 when none
  // This sheet's grid (cells 0..15, first line sent first), only for Read
  // and NotRecognised: 0 lines when the library kept none.
  int lines = 0;
  int columns = 0;
  std::vector<std::uint8_t> cells;
};

// The grid of a copy of system command 25 (the counts, then the cells),
// without the high bits, which are no part of a cell value. False when the
// copy is shorter than its counts say.
bool SplitGridCopy(const std::vector<std::uint8_t>& copy, int& lines, int& columns,
                   std::vector<std::uint8_t>& cells);

// The reader as the loop sees it. CApiReader is libomr's; tests script their own.
class Reader {
 public:
  virtual ~Reader() = default;
  // Feeds one sheet: 0, or the library's error code (MR_Read, MR_GetLastError).
  virtual int Read() = 0;
  // The result text of the sheet just read in `mode` (MR_GetResult); "" when none.
  virtual std::string Result(int mode) = 0;
  // The grid copy the library holds (system command 25); false when none.
  virtual bool GridCopy(std::vector<std::uint8_t>& copy) = 0;
  // The firmware version (system command 23); false when the reader does not answer.
  virtual bool Version(std::string& version) = 0;
  // Stops the sheet transport; false when the reader did not confirm.
  virtual bool StopTransport() = 0;
};

class CApiReader final : public Reader {
 public:
  int Read() override;
  std::string Result(int mode) override;
  bool GridCopy(std::vector<std::uint8_t>& copy) override;
  bool Version(std::string& version) override;
  bool StopTransport() override;
};

// What the handler made of a sheet.
struct SheetVerdict {
  bool failed = false;  // it counts as a failure in a row (max-errors)
  bool stop = false;    // it could not be kept: the run ends (the transport stops)
};

// The user of the loop: told of a sheet before the reader takes it (progress,
// the sheet in flight), then given it to keep.
class SheetHandler {
 public:
  virtual ~SheetHandler() = default;
  virtual void Feeding(int /*number*/) {}
  virtual SheetVerdict Take(FedSheet& sheet) = 0;
  // The tray is empty before sheet `number` and the loop waits for more
  // (LoopOptions::waitMs): told once each time the tray runs empty.
  virtual void Waiting(int /*number*/) {}
  // The reader stopped during sheet `number` (ReaderGone): code as the read gave it.
  virtual void Lost(int /*number*/, int /*code*/) {}
};

struct LoopOptions {
  int count = 0;      // sheets to feed; 0: until the tray is empty
  int maxErrors = 0;  // sheets failing in a row that stop the run; 0: no limit
  int first = 1;      // the number of the first sheet of this run
  int mode = 0;       // the result mode of FedSheet::result (MR_GetResult)
  // > 0: an empty tray does not end the run; the loop asks again after this
  // many milliseconds until a stop (a station that reads all day).
  int waitMs = 0;
};

enum class LoopEnd {
  Count,            // the count was reached
  TrayEmpty,        // no sheet: the normal end
  Stopped,          // a stop was asked for (a signal, a thread)
  ReaderGone,       // the reader stopped answering
  TooManyFailures,  // maxErrors sheets in a row failed
  SheetNotKept,     // the handler could not keep a sheet
};

struct LoopReport {
  LoopEnd end = LoopEnd::Count;
  int fed = 0;       // sheets the reader took (not a lost one)
  int failed = 0;    // of them, those the handler called failed
  int lostCode = 0;  // ReaderGone: the code of the read during which it went
  std::string version;
  std::string tooManyFailures;  // what to tell the operator when end is TooManyFailures
};

// Asks whether the run should stop before the next sheet: called between sheets.
using StopRequested = std::function<bool()>;

class ReadLoop {
 public:
  ReadLoop(Reader& reader, LoopOptions options);

  // Feeds sheets until the count, an empty tray (unless it waits), a stop, a
  // reader that is gone, too many failures or a sheet the handler could not
  // keep; stops the
  // transport when the run ended for any reason but the first two and the
  // reader's. A stop asked during the last sheet or the wait of an empty tray
  // still ends the run as Stopped. Runs on the caller's thread.
  LoopReport Run(SheetHandler& handler, const StopRequested& stop);

  // The firmware version the reader reported when the loop was made ("" when
  // it did not answer).
  const std::string& Version() const { return version_; }

 private:
  FedSheet Feed(int number);

  Reader& reader_;
  LoopOptions options_;
  std::string version_;
  std::vector<std::uint8_t> lastGrid_;  // the grid the library's frame held after the last read
};

}  // namespace omr::reading
