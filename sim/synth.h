// Draws the cell grid of a sheet of one layout with chosen answers, encodes
// it into a sheet frame and predicts what the host will read from it.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "form/form_definition.h"
#include "sim/predict.h"
#include "sim/sheet_frame.h"

namespace omr::sim {

inline constexpr int kDarkest = 12;  // darker cells could not travel in every position
inline constexpr int kDefaultColumns = 48;

enum class MarkStyle {
  Normal,      // at the sheet's darkness
  Faint,       // just below the minimum value of a marked cell: never read
  HalfErased,  // clearly lighter than a mark: read only when nothing darker is near
  // Relative to the sheet's paper (noise / 2) and mark (darkness - jitter / 2)
  // levels, each well clear of the noise and of the marks' jitter:
  Light,    // a light mark: above the paper by more than a quarter of the spread, below half the mark level
  Erasure,  // half-way between the paper and the mark levels
  Tie,      // 0 to 2 grey levels lighter than the question's darkest normal mark
};

struct Mark {
  int option = 0;  // 0-based among the question's option cells
  MarkStyle style = MarkStyle::Normal;
};

// The answer to one question: blank, the result character wanted (drawn with
// the fewest marks that code to it), or explicit marks.
struct Answer {
  enum class Kind { Blank, Char, Marks };
  Kind kind = Kind::Blank;
  char wanted = 0;
  std::vector<Mark> marks;

  static Answer Blank() { return {}; }
  static Answer Char(char c) { return {Kind::Char, c, {}}; }
  static Answer Marks(std::vector<Mark> m) { return {Kind::Marks, 0, std::move(m)}; }
};

struct DrawOptions {
  int darkness = 11;  // marks, bars and identifying cell; at most 12
  int jitter = 0;     // marks drawn up to this much lighter, at random
  int noise = 0;      // light cells drawn 0..noise, at random
  std::uint32_t seed = 1;
  int missingBar = 0;       // 1-based bar left light; 0: all bars drawn
  bool lightIdent = false;  // identifying cell left light
  int lines = 0;            // 0: the layout's line count
  int columns = 0;          // 0: 48, or more when the layout needs it (even)
};

// The option cells a character is coded from: the smallest set of options that
// codes to `wanted` (fewest marks, then lowest options). False when none does.
bool MarksForChar(const SheetLayout& layout, const Question& question, char wanted,
                  std::vector<int>& options);

// The grid of one sheet. Fails (with a reason) when an answer cannot be drawn:
// more answers than questions, an option number out of range, a character no
// set of marks codes to, a Light or Erasure mark the darkness and noise leave
// no room for, or a sheet size the frame cannot carry.
bool DrawSheet(const SheetLayout& layout, const std::vector<Answer>& answers, const DrawOptions& options,
               SheetGrid& grid, std::string& error);

// A sheet ready for the tray.
struct SheetPlan {
  int layout = 0;  // index on face A
  std::vector<Answer> answers;
  DrawOptions draw;
  std::uint16_t status = 0;  // reader status word; non-zero: no data
  std::string name;
};

struct SynthesizedSheet {
  SheetGrid grid;
  Bytes frame;
  std::uint16_t status = 0;
  Prediction expected;
  std::string name;
};

// Draws, encodes, decodes the frame back to check it, and predicts the host's
// result with `forms` (the layouts the host has loaded). With `strict`, an
// answer given as a character must come out as that character.
bool Synthesize(const FormDefinition& forms, const SheetPlan& plan, SynthesizedSheet& sheet,
                std::string& error, bool strict = true);
// The same for a sheet of `drawn`, which need not be one of the host's layouts
// (a sheet of a layout the host has not loaded); `plan.layout` is not used.
bool Synthesize(const SheetLayout& drawn, const FormDefinition& host, const SheetPlan& plan,
                SynthesizedSheet& sheet, std::string& error, bool strict = true);

// Random answers for every question of a layout: mostly one valid answer per
// question, now and then blank or double-marked.
// Planted doubts: a lone Light mark (faint), a normal mark with an Erasure on
// another option (erased), and, on single-choice questions, a normal mark
// with a Tie on another option (near tie); each question at most one.
struct RandomRates {
  double blank = 0.05;
  double doubleMark = 0.03;
  double faint = 0.0;
  double erased = 0.0;
  double nearTie = 0.0;
};
std::vector<Answer> RandomAnswers(const SheetLayout& layout, std::mt19937& rng,
                                  const RandomRates& rates = {});

// What was planted in an answer: "faint", "erased", "near-tie" (a Tie mark, or
// two normal marks of a single-choice question), or "" for none.
std::string PlantedDoubt(const Question& question, const Answer& answer);

}  // namespace omr::sim
