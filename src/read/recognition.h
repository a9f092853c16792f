// Mark recognition: which layout a sheet is, whether its bars are dark, and
// one character per question.
#pragma once

#include <cstdint>
#include <functional>

#include "form/form_definition.h"
#include "read/device_frame.h"

namespace omr {

inline constexpr int kErrFormatMark = 4;  // no single layout's identifying cell is dark
inline constexpr int kErrTestMark = 5;    // a bar mark is too light
inline constexpr int kErrSyncMark = 7;    // no layout has the sheet's line count
inline constexpr int kWorkingStringSize = 120;

// The layout of the current face that describes the sheet, or null with 7 or
// 4 in `error` (left alone when no layout is defined at all).
SheetLayout* IdentifyLayout(FormDefinition& forms, const DeviceFrame& frame, std::int32_t& error);

// Every cell of every used bar at least G1; a cell off the grid counts as -1.
bool CheckBars(const SheetLayout& layout, const DeviceFrame& frame);

// How one cell of a question was decided, for tools that explain a result.
struct CellDecision {
  int line;
  int column;
  int value;            // CellAt: 0..15, or -1 off the grid
  char label;           // its label character; a space is no option
  char type;            // the type of the record the cell belongs to
  bool marked;          // counted as a mark
  double averageLimit;  // 0.75 x the pool average of its type
  int max;              // darkest cell of the question so far (MAX)
  int tolerance;        // G3 or G4
  // The lightest value from which this cell would count as a mark, the other
  // cells as they are (16: never, as for a label blank). The pool averages
  // are taken as they are too: one cell moves them little.
  int threshold;
};

// One question as the recognition saw it: its cells in walking order and the
// character it gave. A chain spans the slots firstSlot..lastSlot.
struct QuestionDecision {
  int number;  // from 1, in result order
  int firstSlot;
  int lastSlot;
  int repeatIndex;  // question k of the record; 0 for a chain
  char type;        // the type the question was coded with
  std::uint8_t character;
  const CellDecision* cells;
  int cellCount;
};

using RecognitionObserver = std::function<void(const QuestionDecision&)>;

// Appends one character per question to out[count..capacity-1] and advances
// count; the text stops at capacity. False when the layout has no used field.
// An observer sees every question; it changes nothing in the result.
bool EvaluateLayout(const SheetLayout& layout, const DeviceFrame& frame, std::uint8_t* out, int capacity,
                    int& count, const RecognitionObserver& observer = nullptr);

}  // namespace omr
