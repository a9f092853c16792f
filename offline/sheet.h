// One sheet's grid run through the library's recognition without a reader:
// the layout it is, whether its bars are dark, and each question's cells.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "form/form_definition.h"
#include "grid_file.h"
#include "read/device_frame.h"
#include "read/recognition.h"

namespace omrctl {

struct QuestionInfo {
  int number = 0;  // from 1, in result order
  int firstSlot = 0;
  int lastSlot = 0;
  int repeatIndex = 0;
  char type = ' ';
  std::uint8_t character = 0;
  bool doubtful = false;  // any of its option cells
  std::vector<omr::CellDecision> cells;
};

// Every question of a layout with its cells, decided against `frame` (an
// empty frame gives the positions only).
std::vector<QuestionInfo> LayoutQuestions(const omr::SheetLayout& layout, const omr::DeviceFrame& frame);

// A frame holding the grid's cells, as a read leaves it.
std::unique_ptr<omr::DeviceFrame> FrameFromGrid(const Grid& grid);

struct SheetAnalysis {
  int code = 0;                              // 0, or the read's error (7, 4, 5)
  const omr::SheetLayout* layout = nullptr;  // the identified layout, also for code 5
  std::string result;                        // the result text in the asked mode (any bytes)
  char letter = 0;                           // the reported form letter, 0 when none
  std::vector<QuestionInfo> questions;       // empty unless a layout was identified
};

// What a read of this grid would give with the form: identification (7, 4),
// the bar check (5), then the result text in `mode` and the questions.
SheetAnalysis AnalyseGrid(omr::FormDefinition& forms, const Grid& grid, int mode);

}  // namespace omrctl
