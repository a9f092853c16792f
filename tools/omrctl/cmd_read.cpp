// omrctl read FORM: load the form into the reader and read sheets until the
// count is reached or the tray is empty. Every sheet the reader takes is
// saved before the next is fed, or named on stderr as to be fed again.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "batch.h"
#include "omr.h"
#include "read_session.h"
#include "reader.h"
#include "text.h"

namespace omrctl {

namespace {

class Progress {
 public:
  explicit Progress(int count) : count_(count), on_(isatty(STDERR_FILENO) == 1) {}
  void Show(int sheet, int done) const {
    if (!on_) return;
    if (count_ > 0)
      std::fprintf(stderr, "\rreading sheet %d (%d of %d) ", sheet, done + 1, count_);
    else
      std::fprintf(stderr, "\rreading sheet %d ", sheet);
    std::fflush(stderr);
  }
  void Clear() const {
    if (on_) std::fprintf(stderr, "\r\033[K");
  }

 private:
  int count_;
  bool on_;
};

enum class End { Count, TrayEmpty, ReaderGone, WriteFailed, TooManyFailures, Stopped };

const char* SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGPIPE:
      return "SIGPIPE (standard output closed)";
    default:
      return "a signal";
  }
}

// The reader's grid copy (counts, then cells) decoded with the form.
Sheet DecodeCopy(const omro_form* form, const std::vector<std::uint8_t>& copy, int mode) {
  int lines = 0;
  int columns = 0;
  std::vector<std::uint8_t> cells;
  if (!SplitGridCopy(copy, lines, columns, cells)) return nullptr;
  omro_sheet* decoded = nullptr;
  if (omro_decode_grid(form, lines, columns, cells.data(), cells.size(), mode, &decoded) != OMRO_OK)
    return nullptr;
  return Sheet(decoded);
}

// The grid file and the picture of one sheet; false with the reason at the
// first that cannot be written.
bool SaveSheetFiles(const SheetOptions& options, const omro_sheet* sheet, int number, int code, SheetRow& row,
                    std::string& error) {
  const Existing existing = ExistingFiles(options);
  if (!options.saveGrids.empty()) {
    const std::string path = SheetFile(options.saveGrids, number, "grid");
    const std::string comment = "sheet " + std::to_string(number) + " of " + options.form + ", " +
                                (code == 0 ? "read" : "error " + std::to_string(code));
    if (!PublishFile(
            path, existing,
            [&](const std::string& temp, std::string& e) {
              if (omro_sheet_write_grid(sheet, temp.c_str(), comment.c_str()) == OMRO_OK) return true;
              e = OfflineMessage();
              return false;
            },
            error))
      return false;
    row.grid = path;
  }
  if (!options.pictures.empty()) {
    const std::string path = SheetFile(options.pictures, number, "png");
    if (!PublishFile(
            path, existing,
            [&](const std::string& temp, std::string& e) {
              if (omro_sheet_write_png(sheet, temp.c_str()) == OMRO_OK) return true;
              e = OfflineMessage();
              return false;
            },
            error))
      return false;
    row.picture = path;
  }
  return true;
}

}  // namespace

int RunRead(const GlobalOptions& global, const SheetOptions& options) {
  Form form;
  if (const int rc = PrepareForm(global, options.form, form); rc != kExitOk) return rc;
  const int questions = MostQuestions(form.get());
  std::string error;
  int first = 1;
  if (!PlanOutputs(options, CsvHeader(options.mode, questions), true, first, error)) {
    std::fprintf(stderr, "omrctl: %s\n", error.c_str());
    return kExitUsage;
  }

  std::string port;
  if (!ConnectReader(global.port, port)) {
    ReportNoReader(global.port);
    return kExitReader;
  }
  if (MR_LoadForm(options.form.c_str(), "") != 0) {
    const int code = ReaderError();
    std::fprintf(stderr, "omrctl: the form was not loaded: error %d: %s\n", code,
                 ErrorText(code, global.chinese).c_str());
    DisconnectReader();
    return code == kErrorCommunication ? kExitReader : kExitForm;
  }
  ReadSession session(options.maxErrors);

  // The outputs only now that the reader and the form are ready: a start
  // that fails touches nothing.
  Batch batch(global, options, questions);
  bool opened = true;
  for (const std::string* dir : {&options.pictures, &options.saveGrids})
    opened = opened && (dir->empty() || MakeDirectory(*dir, error));
  opened = opened && batch.Open(error);
  if (!opened) {
    std::fprintf(stderr, "omrctl: %s\n", error.c_str());
    DisconnectReader();
    return kExitUsage;
  }

  const StopSignals signals;
  const Progress progress(options.count);
  End end = End::Count;
  int fed = 0;
  std::vector<char> text(16384 + 4);  // the prefix, every question character and the zero
  for (int number = first;; ++number) {
    if (StopSignals::Requested() != 0 || batch.OutputClosed()) {
      end = End::Stopped;
      break;
    }
    if (options.count > 0 && fed >= options.count) break;
    StopSignals::SetInFlight(number);
    progress.Show(number, fed);
    const ReadResult r = session.ReadSheet();
    progress.Clear();
    if (r.outcome == SheetOutcome::TrayEmpty) {
      end = End::TrayEmpty;
      break;
    }
    if (r.outcome == SheetOutcome::ReaderGone) {
      std::fprintf(stderr,
                   "omrctl: sheet %d: the reader stopped answering or was disconnected (error %d: %s); if it "
                   "took sheet %d, feed it again\n",
                   number, r.code, ErrorText(r.code, global.chinese).c_str(), number);
      batch.AddUnsaved(number, "the reader stopped during it");
      end = End::ReaderGone;
      break;
    }
    ++fed;

    SheetRow row;
    row.number = number;
    row.code = r.code;
    row.feedAgain = r.outcome == SheetOutcome::FeedAgain;
    if (r.code == 0) {
      const int length = MR_GetResult(text.data(), options.mode);
      if (length > 0) row.result.assign(text.data(), static_cast<std::size_t>(length));
      if (MR_GetResult(text.data(), 1) > 0) row.letter = text[0];
    }
    std::string fileError;
    const Sheet sheet = r.grid.empty() ? nullptr : DecodeCopy(form.get(), r.grid, options.mode);
    if (sheet) {
      row.sheet = sheet.get();
      omro_sheet_info info{};
      omro_sheet_get_info(sheet.get(), &info);
      std::string again(text.size(), '\0');
      std::size_t length = 0;
      omro_sheet_result(sheet.get(), again.data(), again.size(), &length);
      again.resize(length);
      if (info.code != r.code || (r.code == 0 && again != row.result))
        std::fprintf(stderr,
                     "omrctl: sheet %d: the saved grid decodes differently from the reader's result\n",
                     number);
      SaveSheetFiles(options, sheet.get(), number, r.code, row, fileError);
    }
    // The row even when a file failed: the answers are worth keeping.
    std::string rowError;
    const bool saved = batch.Add(row, rowError);
    if (!fileError.empty() || !saved) {
      if (!fileError.empty()) std::fprintf(stderr, "omrctl: %s\n", fileError.c_str());
      if (!saved) std::fprintf(stderr, "omrctl: %s\n", rowError.c_str());
      if (!saved && !batch.LastInCsv()) {
        std::fprintf(stderr, "omrctl: sheet %d is not saved: feed it again\n", number);
        batch.AddUnsaved(number, "its output could not be written");
      } else {
        std::fprintf(stderr, "omrctl: sheet %d: its result is in %s, but %s\n", number,
                     batch.LastInCsv() ? options.csv.c_str() : "the standard output",
                     fileError.empty() ? "its line is not printed" : "not its grid or picture");
      }
      end = End::WriteFailed;
      break;
    }
    if (batch.OutputClosed() && !batch.HasCsv() && row.grid.empty()) {
      std::fprintf(stderr,
                   "omrctl: sheet %d: standard output is closed and nothing else holds it: feed it again\n",
                   number);
      batch.AddUnsaved(number, "standard output closed");
    }
    StopSignals::SetInFlight(0);
    if (session.CountSheet(r.code != 0)) {
      std::fprintf(stderr, "omrctl: %s\n", session.TooManyFailures().c_str());
      end = End::TooManyFailures;
      break;
    }
  }
  StopSignals::SetInFlight(0);
  progress.Clear();

  int stopSignal = StopSignals::Requested();
  // A signal during the last sheet or the wait for an empty tray still ends
  // the run as stopped.
  if (stopSignal != 0 && (end == End::Count || end == End::TrayEmpty)) end = End::Stopped;
  if (stopSignal == 0 && end == End::Stopped) stopSignal = SIGPIPE;
  if (end == End::Stopped || end == End::WriteFailed || end == End::TooManyFailures)
    ReadSession::StopTransport();
  DisconnectReader();

  int exitCode = batch.Failed() > 0 ? kExitRecognition : kExitOk;
  if (end == End::TrayEmpty && options.count > 0 && fed < options.count) {
    std::fprintf(stderr, "omrctl: the tray is empty after %d of %d sheets\n", fed, options.count);
    exitCode = kExitRecognition;
  }
  if (end == End::TooManyFailures) exitCode = kExitRecognition;
  if (end == End::ReaderGone) exitCode = kExitReader;
  if (end == End::WriteFailed) exitCode = kExitUsage;
  if (end == End::Stopped) {
    std::fprintf(stderr, "omrctl: stopped by %s\n", SignalName(stopSignal));
    exitCode = StopSignals::ExitCode(stopSignal);
  }
  std::string closeError;
  if (!batch.Close(closeError)) {
    std::fprintf(stderr, "omrctl: %s\n", closeError.c_str());
    if (exitCode == kExitOk || exitCode == kExitRecognition) exitCode = kExitUsage;
  }
  batch.PrintSummary({{"form_file", options.form}, {"port", port}}, exitCode);
  return exitCode;
}

}  // namespace omrctl
