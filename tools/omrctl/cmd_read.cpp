// omrctl read FORM: load the form into the reader and read sheets until the
// count is reached or the tray is empty. Every sheet the reader takes is
// saved before the next is fed, or named on stderr as to be fed again.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "batch.h"
#include "progress.h"
#include "read_loop.h"
#include "reader.h"
#include "text.h"

namespace omrctl {

namespace {

using namespace omr::reading;

// "reading sheet 12 (3 of 50)" while the reader takes a sheet.
class Progress {
 public:
  explicit Progress(int count) : count_(count) {}
  void Show(int sheet, int done) {
    if (!line_.on()) return;
    std::string text = "reading sheet " + std::to_string(sheet);
    if (count_ > 0) text += " (" + std::to_string(done + 1) + " of " + std::to_string(count_) + ")";
    line_.Show(text);
  }
  void Clear() { line_.Clear(); }

 private:
  int count_;
  ProgressLine line_;
};

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

// A sheet's grid decoded with the form.
Sheet DecodeGrid(const omro_form* form, const FedSheet& fed, int mode) {
  if (fed.lines == 0) return nullptr;
  omro_sheet* decoded = nullptr;
  if (omro_decode_grid(form, fed.lines, fed.columns, fed.cells.data(), fed.cells.size(), mode, &decoded) !=
      OMRO_OK)
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

// Each sheet the loop feeds: its files, its row, its line.
class RowHandler final : public SheetHandler {
 public:
  RowHandler(const GlobalOptions& global, const SheetOptions& options, const omro_form* form, Batch& batch)
      : global_(global), options_(options), form_(form), batch_(batch), progress_(options.count) {}

  void Feeding(int number) override {
    StopSignals::SetInFlight(number);
    progress_.Show(number, fed_);
  }

  void Lost(int number, int code) override {
    progress_.Clear();
    std::fprintf(stderr,
                 "omrctl: sheet %d: the reader stopped answering or was disconnected (error %d: %s); if it "
                 "took sheet %d, feed it again\n",
                 number, code, ErrorText(code, global_.chinese).c_str(), number);
    batch_.AddUnsaved(number, "the reader stopped during it");
  }

  SheetVerdict Take(FedSheet& fed) override {
    progress_.Clear();
    ++fed_;
    SheetRow row;
    row.number = fed.number;
    row.code = fed.code;
    row.feedAgain = fed.outcome == SheetOutcome::FeedAgain;
    row.result = fed.result;
    row.letter = fed.letter;
    std::string fileError;
    const Sheet sheet = DecodeGrid(form_, fed, options_.mode);
    if (sheet) {
      row.sheet = sheet.get();
      omro_sheet_info info{};
      omro_sheet_get_info(sheet.get(), &info);
      std::string again(16384 + 4, '\0');
      std::size_t length = 0;
      omro_sheet_result(sheet.get(), again.data(), again.size(), &length);
      again.resize(length);
      if (info.code != fed.code || (fed.code == 0 && again != row.result))
        std::fprintf(stderr,
                     "omrctl: sheet %d: the saved grid decodes differently from the reader's result\n",
                     fed.number);
      SaveSheetFiles(options_, sheet.get(), fed.number, fed.code, row, fileError);
    }
    // The row even when a file failed: the answers are worth keeping.
    std::string rowError;
    const bool saved = batch_.Add(row, rowError);
    if (!fileError.empty() || !saved) {
      if (!fileError.empty()) std::fprintf(stderr, "omrctl: %s\n", fileError.c_str());
      if (!saved) std::fprintf(stderr, "omrctl: %s\n", rowError.c_str());
      if (!saved && !batch_.LastInCsv()) {
        std::fprintf(stderr, "omrctl: sheet %d is not saved: feed it again\n", fed.number);
        batch_.AddUnsaved(fed.number, "its output could not be written");
      } else {
        std::fprintf(stderr, "omrctl: sheet %d: its result is in %s, but %s\n", fed.number,
                     batch_.LastInCsv() ? options_.csv.c_str() : "the standard output",
                     fileError.empty() ? "its line is not printed" : "not its grid or picture");
      }
      return {fed.code != 0, true};
    }
    if (batch_.OutputClosed() && !batch_.HasCsv() && row.grid.empty()) {
      std::fprintf(stderr,
                   "omrctl: sheet %d: standard output is closed and nothing else holds it: feed it again\n",
                   fed.number);
      batch_.AddUnsaved(fed.number, "standard output closed");
    }
    StopSignals::SetInFlight(0);
    return {fed.code != 0, false};
  }

  int Fed() const { return fed_; }

 private:
  const GlobalOptions& global_;
  const SheetOptions& options_;
  const omro_form* form_;
  Batch& batch_;
  Progress progress_;
  int fed_ = 0;
};

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
  if (const int code = LoadForm(options.form); code != 0) {
    std::fprintf(stderr, "omrctl: the form was not loaded: error %d: %s\n", code,
                 ErrorText(code, global.chinese).c_str());
    DisconnectReader();
    return code == kErrorCommunication ? kExitReader : kExitForm;
  }
  CApiReader reader;
  ReadLoop loop(reader, {options.count, options.maxErrors, first, options.mode});

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
  RowHandler rows(global, options, form.get(), batch);
  const LoopReport run =
      loop.Run(rows, [&] { return StopSignals::Requested() != 0 || batch.OutputClosed(); });
  StopSignals::SetInFlight(0);
  DisconnectReader();

  int stopSignal = StopSignals::Requested();
  if (stopSignal == 0 && run.end == LoopEnd::Stopped) stopSignal = SIGPIPE;  // the output closed
  int exitCode = batch.Failed() > 0 ? kExitRecognition : kExitOk;
  if (run.end == LoopEnd::TrayEmpty && options.count > 0 && run.fed < options.count) {
    std::fprintf(stderr, "omrctl: the tray is empty after %d of %d sheets\n", run.fed, options.count);
    exitCode = kExitRecognition;
  }
  if (run.end == LoopEnd::TooManyFailures) {
    std::fprintf(stderr, "omrctl: %s\n", run.tooManyFailures.c_str());
    exitCode = kExitRecognition;
  }
  if (run.end == LoopEnd::ReaderGone) exitCode = kExitReader;
  if (run.end == LoopEnd::SheetNotKept) exitCode = kExitUsage;
  if (run.end == LoopEnd::Stopped) {
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
