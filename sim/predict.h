// What a host following the recognition rules will make of a sheet grid: the
// question geometry of a layout, the coding of marks into one character per
// question, layout identification and the bar check. The simulator uses it to
// write the expected result of every sheet it draws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "form/form_definition.h"
#include "sim/sheet_frame.h"

namespace omr::sim {

inline constexpr int kWorkStringSize = 120;  // label and mark strings of one question
inline constexpr int kMaxResultChars = 16384;

struct QuestionCell {
  int line = 0;
  int column = 0;
  char label = ' ';     // the member record's label character
  bool option = false;  // label character is not a space
  int record = 0;       // FieldRecord slot
  int position = 0;     // within the member record's group
};

struct Question {
  int firstRecord = 0;
  int closingRecord = 0;  // type and label id of the conversion come from here
  int group = 0;          // group index k within the record (0 for chains)
  char type = ' ';
  std::uint8_t labelId = 0;
  std::string labels;               // concatenated label string (Lb)
  std::vector<QuestionCell> cells;  // walking order
  // Indices into `cells` of the option cells, in order.
  std::vector<int> Options() const;
};

// One cell moved `count` steps in a direction (U, D, R, L); others do not move.
void Move(char direction, int count, int& line, int& column);

// Every question of the layout in result order (FieldRecord slots, groups,
// chains of repeat count 0 closed by the next record with a repeat count).
std::vector<Question> LayoutQuestions(const SheetLayout& layout);

// The character a question's mark string ("1" marked, "_" not, one per cell)
// is coded to, with the layout's coding record. The byte 0 is a coding failure.
char CodeQuestion(const SheetLayout& layout, const Question& question, const std::string& marks);

// The question characters the recognition yields for this grid.
std::string EvaluateLayout(const SheetLayout& layout, const SheetGrid& grid);

// The mark string the recognition decides for each question (same order).
std::vector<std::string> DecideMarks(const SheetLayout& layout, const SheetGrid& grid);

// Layout identification over face A of `forms`: index of the recognised layout,
// or -1 with error 7 (no layout has the sheet's line count) or 4.
int IdentifyLayout(const FormDefinition& forms, const SheetGrid& grid, int& error);

// The layout the host selects for face A (E letter, else layout 0 when any is defined), or -1.
int SelectedLayout(const FormDefinition& forms);

bool CheckBars(const SheetLayout& layout, const SheetGrid& grid);

// The whole read as the host sees it.
struct Prediction {
  int error = 0;      // 0, the sheet's status word, 7, 4 or 5
  int layout = -1;    // recognised layout index
  char letter = 'A';  // result prefix letter (mode 1), after the X substitution
  std::string text;   // question characters (may contain the byte 0)
};
Prediction PredictRead(const FormDefinition& forms, const SheetGrid& grid, std::uint16_t status);

}  // namespace omr::sim
