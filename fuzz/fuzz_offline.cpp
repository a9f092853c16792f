// The offline library's parsers and what they feed: a form text read with
// the report's recorder (every rejected line described, every warning
// checked, every layout summarised), then a grid file read through a real
// file descriptor and decoded with that form, its confidence judged and, for
// small grids, its picture drawn.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "form_report.h"
#include "fuzz_support.h"
#include "grid_file.h"
#include "picture.h"
#include "sheet.h"

using namespace omr::offline;

namespace {

int g_file = -1;
char g_name[64];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  omr::fuzz::Initialize();
  g_file = memfd_create("omr-grid", 0);
  if (g_file < 0) return 1;
  std::snprintf(g_name, sizeof g_name, "/proc/self/fd/%d", g_file);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Form text, a NUL, then the grid file's text.
  const auto* text = reinterpret_cast<const char*>(data);
  const void* nul = std::memchr(data, 0, size);
  const std::size_t formSize =
      nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - data) : size;
  LocalForm form;
  LoadLocalFormText(std::string_view(text, formSize), form);
  const int status = FormStatus(form);
  const std::vector<LayoutSummary> layouts = SummarizeLayouts(form);
  const std::vector<FormWarning> warnings = CheckForm(form, 1 + static_cast<int>(size % 254));
  if (nul == nullptr) return 0;

  const std::size_t gridSize = size - formSize - 1;
  if (ftruncate(g_file, 0) != 0 ||
      pwrite(g_file, data + formSize + 1, gridSize, 0) != static_cast<ssize_t>(gridSize))
    return 0;
  Grid grid;
  std::string error;
  if (!ReadGridFile(g_name, grid, error)) return 0;
  if (status != 0) return 0;
  for (int mode = 0; mode <= 3; ++mode) {
    const SheetAnalysis a = AnalyseGrid(*form.forms, grid, mode);
    for (const QuestionInfo& q : a.questions)
      if (q.confidence < 0.0 || q.confidence > 1.0 || (q.doubt != 0 && q.confidence > 0.5)) __builtin_trap();
    if (mode == 0 && grid.cells.size() <= 1024) {
      std::vector<std::uint8_t> png;
      EncodePicture(grid, a.layout, a.questions, png, error);
    }
  }
  (void)layouts;
  (void)warnings;
  return 0;
}
