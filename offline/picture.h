// A sheet as a PNG picture a person can check a disputed answer against.
//
// Geometry: every cell is kCellPixels square; rows come in the order the
// reader sends them (the first row is the sheet's last line number, the
// bottom row line 1, as in a saved grid); a margin of kMarginPixels on the
// left holds question numbers. The picture is therefore
// kMarginPixels + kCellPixels x columns wide and kCellPixels x lines high.
//
// Content: each cell in its grey (0 white, 15 black); the layout's option
// cells outlined in blue (orange when the cell makes its question doubtful),
// marked cells filled with a red square, bar cells outlined in green, the
// identifying cell in magenta, and each question's number before its first
// cell (orange for a doubtful question).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "form/form_definition.h"
#include "grid_file.h"
#include "omr_offline.h"
#include "sheet.h"

namespace omr::offline {

inline constexpr int kCellPixels = OMRO_PICTURE_CELL;
inline constexpr int kMarginPixels = OMRO_PICTURE_MARGIN;

inline int PictureWidth(int columns) {
  return kMarginPixels + kCellPixels * columns;
}
inline int PictureHeight(int lines) {
  return kCellPixels * lines;
}

// The picture as PNG bytes. `layout` may be null (a sheet of no known
// layout: the grid alone).
bool EncodePicture(const Grid& grid, const omr::SheetLayout* layout,
                   const std::vector<QuestionInfo>& questions, std::vector<std::uint8_t>& png,
                   std::string& error);

}  // namespace omr::offline
