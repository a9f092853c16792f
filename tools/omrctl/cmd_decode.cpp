// omrctl decode FORM GRID...: the recognition run again on saved grids,
// without a reader.
#include <algorithm>
#include <cstdio>
#include <set>

#include "batch.h"
#include "text.h"

namespace omrctl {

int RunDecode(const GlobalOptions& global, const SheetOptions& options) {
  Form form;
  if (const int rc = PrepareForm(global, options.form, form); rc != kExitOk) return rc;
  const int questions = MostQuestions(form.get());
  std::string error;
  int first = 1;
  if (!PlanOutputs(options, CsvHeader(options.mode, questions), false, first, error) ||
      (!options.pictures.empty() && !MakeDirectory(options.pictures, error))) {
    std::fprintf(stderr, "omrctl: %s\n", error.c_str());
    return kExitUsage;
  }
  Batch batch(global, options, questions);
  if (!batch.Open(error)) {
    std::fprintf(stderr, "omrctl: %s\n", error.c_str());
    return kExitUsage;
  }
  bool usage = false;
  // A grid keeps the number in its name (sheet-007.grid is sheet 7); others,
  // and a number already taken, get the next one after the largest so far.
  std::set<int> taken;
  int largest = 0;
  for (const std::string& path : options.grids) {
    int number = SheetNumberOf(path, "grid");
    if (number <= 0 || taken.count(number) > 0) number = largest + 1;
    taken.insert(number);
    largest = std::max(largest, number);
    omro_sheet* decoded = nullptr;
    if (omro_decode_grid_file(form.get(), path.c_str(), options.mode, &decoded) != OMRO_OK) {
      std::fprintf(stderr, "omrctl: %s\n", OfflineMessage().c_str());
      usage = true;
      continue;
    }
    const Sheet sheet(decoded);
    omro_sheet_info info{};
    omro_sheet_get_info(decoded, &info);
    std::string result(16384 + 4, '\0');
    std::size_t length = 0;
    omro_sheet_result(decoded, result.data(), result.size(), &length);
    result.resize(length);
    SheetRow row;
    row.number = number;
    row.code = info.code;
    row.letter = info.letter;
    row.result = result;
    row.grid = path;
    row.sheet = decoded;
    std::string fileError;
    if (!options.pictures.empty()) {
      const std::string picture = SheetFile(options.pictures, number, "png");
      if (PublishFile(
              picture, ExistingFiles(options),
              [&](const std::string& temp, std::string& e) {
                if (omro_sheet_write_png(decoded, temp.c_str()) == OMRO_OK) return true;
                e = OfflineMessage();
                return false;
              },
              fileError))
        row.picture = picture;
    }
    std::string rowError;
    if (!batch.Add(row, rowError) || !fileError.empty()) {
      std::fprintf(stderr, "omrctl: %s\n", (fileError.empty() ? rowError : fileError).c_str());
      usage = true;
      break;
    }
    if (batch.OutputClosed()) break;
  }
  if (!batch.Close(error)) {
    std::fprintf(stderr, "omrctl: %s\n", error.c_str());
    usage = true;
  }
  const int exitCode = usage ? kExitUsage : batch.Failed() > 0 ? kExitRecognition : kExitOk;
  batch.PrintSummary({{"form_file", options.form}}, exitCode);
  return exitCode;
}

}  // namespace omrctl
