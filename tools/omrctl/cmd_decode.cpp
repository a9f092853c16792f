// omrctl decode FORM GRID...: the recognition run again on saved grids,
// without a reader.
#include <cstdio>

#include "batch.h"
#include "text.h"

namespace omrctl {

int RunDecode(const GlobalOptions& global, const SheetOptions& options) {
  Form form;
  if (const int rc = PrepareForm(global, options.form, form); rc != kExitOk) return rc;
  std::string error;
  if (!options.pictures.empty() && !MakeDirectory(options.pictures, error)) {
    std::fprintf(stderr, "omrctl: %s\n", error.c_str());
    return kExitUsage;
  }
  Batch batch(global, options, MostQuestions(form.get()));
  if (!batch.Open(error)) {
    std::fprintf(stderr, "omrctl: %s\n", error.c_str());
    return kExitUsage;
  }
  bool usage = false;
  int number = 0;
  for (const std::string& path : options.grids) {
    ++number;
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
    if (!options.pictures.empty()) {
      const std::string picture = SheetFile(options.pictures, number, "png");
      if (omro_sheet_write_png(decoded, picture.c_str()) == OMRO_OK) {
        row.picture = picture;
      } else {
        std::fprintf(stderr, "omrctl: %s\n", OfflineMessage().c_str());
        usage = true;
      }
    }
    batch.Add(row);
  }
  if (!batch.Finish({{"form_file", options.form}})) {
    std::fprintf(stderr, "omrctl: cannot write %s\n", options.csv.c_str());
    usage = true;
  }
  if (usage) return kExitUsage;
  return batch.Failed() > 0 ? kExitRecognition : kExitOk;
}

}  // namespace omrctl
