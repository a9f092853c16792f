// omrctl decode FORM GRID...: the recognition run again on saved grids,
// without a reader.
#include <cstdio>

#include "batch.h"
#include "picture.h"
#include "text.h"

namespace omrctl {

int RunDecode(const GlobalOptions& global, const SheetOptions& options) {
  LocalForm form;
  if (const int rc = PrepareForm(global, options.form, form); rc != kExitOk) return rc;
  std::string error;
  if (!options.pictures.empty() && !MakeDirectory(options.pictures, error)) {
    std::fprintf(stderr, "omrctl: %s\n", error.c_str());
    return kExitUsage;
  }
  Batch batch(global, options, MostQuestions(form));
  if (!batch.Open(error)) {
    std::fprintf(stderr, "omrctl: %s\n", error.c_str());
    return kExitUsage;
  }
  bool usage = false;
  int number = 0;
  for (const std::string& path : options.grids) {
    ++number;
    Grid grid;
    if (!ReadGridFile(path, grid, error)) {
      std::fprintf(stderr, "omrctl: %s\n", error.c_str());
      usage = true;
      continue;
    }
    const SheetAnalysis a = AnalyseGrid(*form.forms, grid, options.mode);
    SheetRow row;
    row.number = number;
    row.code = a.code;
    row.letter = a.code == 0 ? a.letter : 0;
    row.result = a.result;
    row.grid = path;
    row.questions = &a.questions;
    row.layout = a.layout;
    if (!options.pictures.empty()) {
      const std::string picture = SheetFile(options.pictures, number, "png");
      if (WritePicture(picture, grid, a.layout, a.questions, error)) {
        row.picture = picture;
      } else {
        std::fprintf(stderr, "omrctl: %s\n", error.c_str());
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
