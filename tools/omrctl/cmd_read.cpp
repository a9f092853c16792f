// omrctl read FORM: load the form into the reader and read sheets until the
// count is reached or the reader has no sheet; a bad sheet never stops the
// batch.
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "batch.h"
#include "omr.h"
#include "reader.h"
#include "text.h"

namespace omrctl {

namespace {

constexpr int kNoSheet = 16;
constexpr int kCommunication = 8;

// Errors after which the reader's frame holds this sheet's grid.
bool FrameHoldsSheet(int code) {
  return code == 0 || code == 4 || code == 5 || code == 7;
}

class Progress {
 public:
  explicit Progress(int count) : count_(count), on_(isatty(STDERR_FILENO) == 1) {}
  void Show(int sheet) const {
    if (!on_) return;
    if (count_ > 0)
      std::fprintf(stderr, "\rreading sheet %d of %d ", sheet, count_);
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

}  // namespace

int RunRead(const GlobalOptions& global, const SheetOptions& options) {
  Form form;
  if (const int rc = PrepareForm(global, options.form, form); rc != kExitOk) return rc;
  std::string error;
  for (const std::string* dir : {&options.pictures, &options.saveGrids}) {
    if (!dir->empty() && !MakeDirectory(*dir, error)) {
      std::fprintf(stderr, "omrctl: %s\n", error.c_str());
      return kExitUsage;
    }
  }
  Batch batch(global, options, MostQuestions(form.get()));
  if (!batch.Open(error)) {
    std::fprintf(stderr, "omrctl: %s\n", error.c_str());
    return kExitUsage;
  }

  std::string port;
  if (!ConnectReader(global.port, port)) {
    std::fprintf(stderr, "omrctl: no reader found%s\n",
                 global.port.empty() ? "" : (" on " + global.port).c_str());
    return kExitReader;
  }
  if (MR_LoadForm(options.form.c_str(), "") != 0) {
    const int code = ReaderError();
    std::fprintf(stderr, "omrctl: the form was not loaded: error %d: %s\n", code,
                 ErrorText(code, global.chinese).c_str());
    DisconnectReader();
    return code == kCommunication ? kExitReader : kExitForm;
  }

  bool readerFailed = false;
  bool usage = false;
  const Progress progress(options.count);
  std::vector<char> text(16384 + 4);  // the prefix, every question character and the zero
  for (int number = 1; options.count == 0 || number <= options.count; ++number) {
    progress.Show(number);
    const int code = MR_Read() == 0 ? 0 : ReaderError();
    if (code == kNoSheet) break;
    if (code == kCommunication) {
      progress.Clear();
      std::fprintf(stderr, "omrctl: sheet %d: error 8: %s (the reader stopped answering)\n", number,
                   ErrorText(code, global.chinese).c_str());
      readerFailed = true;
      break;
    }
    SheetRow row;
    row.number = number;
    row.code = code;
    if (code == 0) {
      const int length = MR_GetResult(text.data(), options.mode);
      if (length > 0) row.result.assign(text.data(), static_cast<std::size_t>(length));
      if (MR_GetResult(text.data(), 1) > 0) row.letter = text[0];
    }
    omro_sheet* decoded = nullptr;
    const bool haveGrid =
        FrameHoldsSheet(code) && omro_decode_reader(form.get(), options.mode, &decoded) == OMRO_OK;
    const Sheet sheet(decoded);
    if (haveGrid) {
      row.sheet = decoded;
      omro_sheet_info info{};
      omro_sheet_get_info(decoded, &info);
      std::string again(text.size(), '\0');
      std::size_t length = 0;
      omro_sheet_result(decoded, again.data(), again.size(), &length);
      again.resize(length);
      if (info.code != code || (code == 0 && again != row.result)) {
        progress.Clear();
        std::fprintf(stderr,
                     "omrctl: sheet %d: the saved grid decodes differently from the reader's result\n",
                     number);
      }
      if (!options.saveGrids.empty()) {
        const std::string path = SheetFile(options.saveGrids, number, "grid");
        const std::string comment = "sheet " + std::to_string(number) + " of " + options.form + ", " +
                                    (code == 0 ? "read" : "error " + std::to_string(code));
        if (omro_sheet_write_grid(decoded, path.c_str(), comment.c_str()) == OMRO_OK) {
          row.grid = path;
        } else {
          std::fprintf(stderr, "omrctl: %s\n", OfflineMessage().c_str());
          usage = true;
        }
      }
      if (!options.pictures.empty()) {
        const std::string path = SheetFile(options.pictures, number, "png");
        if (omro_sheet_write_png(decoded, path.c_str()) == OMRO_OK) {
          row.picture = path;
        } else {
          std::fprintf(stderr, "omrctl: %s\n", OfflineMessage().c_str());
          usage = true;
        }
      }
    }
    progress.Clear();
    batch.Add(row);
  }
  progress.Clear();
  DisconnectReader();
  if (!batch.Finish({{"form_file", options.form}, {"port", port}})) {
    std::fprintf(stderr, "omrctl: cannot write %s\n", options.csv.c_str());
    usage = true;
  }
  if (readerFailed) return kExitReader;
  if (usage) return kExitUsage;
  return batch.Failed() > 0 ? kExitRecognition : kExitOk;
}

}  // namespace omrctl
