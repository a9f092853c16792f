// One sheet's grid run through the library's recognition without a reader:
// the layout it is, whether its bars are dark, each question's cells and how
// sure each question's reading is.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "confidence.h"
#include "form/form_definition.h"
#include "grid_file.h"
#include "read/device_frame.h"
#include "read/recognition.h"

namespace omr::offline {

// A cell as the recognition decided it, and how sure that decision is.
struct DecidedCell : omr::CellDecision {
  double margin = 0.0;  // (value - (threshold - 0.5)) / the sheet's spread; negative below
  int doubt = 0;        // kDoubt bits that concern this cell
};

struct QuestionInfo {
  int number = 0;  // from 1, in result order
  int firstSlot = 0;
  int lastSlot = 0;
  int repeatIndex = 0;
  char type = ' ';
  std::uint8_t character = 0;
  int doubt = 0;                   // kDoubt bits; 0 when the reading is clear
  double confidence = 1.0;         // 0 .. 1; at most 0.5 when doubtful
  std::vector<DecidedCell> cells;  // walking order: option cells and label blanks
};

// Every question of a layout with its cells, decided against `frame` (an
// empty frame gives the positions only). Confidence is not judged here.
std::vector<QuestionInfo> LayoutQuestions(const omr::SheetLayout& layout, const omr::DeviceFrame& frame);

// A frame holding the grid's cells, as a read leaves it.
std::unique_ptr<omr::DeviceFrame> FrameFromGrid(const Grid& grid);

struct SheetAnalysis {
  int code = 0;                              // 0, or the read's error (7, 4, 5)
  const omr::SheetLayout* layout = nullptr;  // the identified layout, also for code 5
  int layoutIndex = -1;                      // its slot on face A
  std::string result;                        // the result text in the asked mode (any bytes)
  char letter = 0;                           // the reported form letter, 0 when none
  std::vector<QuestionInfo> questions;       // empty unless a layout was identified
  Levels levels;                             // the sheet's paper and mark levels
  int doubtful = 0;                          // questions with a doubt
  double confidence = 1.0;                   // the lowest question confidence
};

// What a read of this grid would give with the form: identification (7, 4),
// the bar check (5), then the result text in `mode`, the questions and their
// confidence. `forms` is not changed unless the driver's own result
// assembly records an error code in it (a layout without fields).
SheetAnalysis AnalyseGrid(omr::FormDefinition& forms, const Grid& grid, int mode);

}  // namespace omr::offline
