#include "exam_sheets.h"

#include <cstdint>
#include <cstdio>

namespace omr::bench {

bool ExamForm::Load(const std::string& path) {
  std::int32_t error = 0;
  if (!omr::ReadFormFile(forms_, settings_, path.c_str(), error)) {
    std::fprintf(stderr, "cannot read %s (error %d)\n", path.c_str(), error);
    return false;
  }
  forms_.SelectLayout(omr::kFaceA);
  return true;
}

bool DrawnSheet(const omr::exam::Project& project, const omr::SheetLayout& layout,
                const std::vector<omr::sim::Answer>& answers, int seed, omr::exam::SheetInput& input) {
  omr::sim::DrawOptions draw;
  draw.seed = static_cast<std::uint32_t>(seed);
  draw.noise = 1;
  omr::sim::SheetGrid grid;
  std::string why;
  if (!omr::sim::DrawSheet(layout, answers, draw, grid, why)) {
    std::fprintf(stderr, "cannot draw a sheet: %s\n", why.c_str());
    return false;
  }
  input.hasGrid = true;
  input.decoded = project.form().Decode(
      {grid.Lines(), grid.Columns(), std::vector<std::uint8_t>(grid.Cells().begin(), grid.Cells().end())});
  return true;
}

}  // namespace omr::bench
