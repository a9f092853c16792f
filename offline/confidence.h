// How sure the reading of each question is, judged against the sheet's own
// paper and mark levels: a cell as light as the sheet's unmarked cells or as
// dark as its marks is what it looks like; a cell between the two, a mark
// lighter than half the mark level, or two options within two grey levels of
// each other where that decides the answer make the question doubtful.
#pragma once

#include <vector>

#include "form/form_definition.h"
#include "read/device_frame.h"

namespace omr::offline {

inline constexpr int kDoubtFaint = 1;     // a lone light mark, or a mark lighter than half the mark level
inline constexpr int kDoubtErasure = 2;   // a cell between the paper and the mark levels
inline constexpr int kDoubtNearTie = 4;   // a marked option and another within 2 grey levels of it
inline constexpr int kDoubtMargin = 8;    // a deciding cell close to the threshold that decided it
inline constexpr int kDoubtOffGrid = 16;  // an option cell outside the sheet's grid
inline constexpr int kNearTieLevels = 2;
// The mark level of a sheet without marked option cells, bars or an
// identifying cell: as dark as a reader reliably sends.
inline constexpr double kDefaultMarkLevel = 12.0;

struct Levels {
  double paper = 0.0;                 // median grey of the option cells left blank
  double mark = kDefaultMarkLevel;    // median grey of the marked option cells
  double spread = kDefaultMarkLevel;  // mark - paper, at least 1
  double paperTop = 3.0;              // paper + spread / 4: up to here a cell is paper
  double markFloor = 9.0;             // mark - spread / 4: from here a cell is a mark
};

struct QuestionInfo;

// The levels of a sheet of `layout` from its decided questions. Without
// marked option cells the mark level is that of the bars and the identifying
// cell, or kDefaultMarkLevel.
Levels SheetLevels(const SheetLayout& layout, const DeviceFrame& frame,
                   const std::vector<QuestionInfo>& questions);

// Sets the doubt bits and confidence of a question and of its cells.
void JudgeQuestion(QuestionInfo& question, const Levels& levels);

}  // namespace omr::offline
