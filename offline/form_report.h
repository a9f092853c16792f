// A form file read with the library's form reader, line by line, and what a
// form author needs to know about it beyond the lines the library rejects.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "form/form_definition.h"
#include "form/reader_settings.h"
#include "sheet.h"

namespace omr::offline {

struct FormLineInfo {
  int number = 0;  // in the file, from 1
  std::string text;
  int code = 0;        // the library's code for a rejected line, else 0
  bool stops = true;   // whether the library stops loading at it
  int column = 0;      // the character at fault, from 1 (the opening quote); 0 when none is
  std::string detail;  // UTF-8: what is wrong and what to do
};

// What the file itself gave a layout, before missing records were taken over.
struct LayoutOrigin {
  char letter = ' ';
  int tLine = 0;  // the T line that gave the letter
  int labels = 0;
  int bars = 0;
  omr::LengthRecord length;
  omr::GradeRecord grade;
  std::array<int, omr::kFieldRecords> fieldLine{};  // F line number by slot
};

struct FormWarning {
  int line = 0;      // the form line it concerns, 0 when none
  std::string kind;  // label, outside, head, ambiguous, shared, empty, comment
  std::string text;
  int column = 0;  // the character at fault, from 1 (the opening quote); 0 when none is
};

// Rejected lines kept for the report; a text of millions of bad lines is
// counted beyond them, not stored.
inline constexpr std::size_t kMaxRejected = 1000;

struct LocalForm {
  std::unique_ptr<omr::FormDefinition> forms = std::make_unique<omr::FormDefinition>();
  omr::ReaderSettings settings;
  int commandLines = 0;
  std::vector<FormLineInfo> rejected;
  int unlisted = 0;      // rejected lines beyond kMaxRejected
  int unlistedCode = 0;  // the code of the first of them
  // Lines taken as comments that look like commands (at most kMaxRejected).
  std::vector<FormWarning> commentLike;
  std::unique_ptr<std::array<LayoutOrigin, omr::kLayoutsPerFace>> origin =
      std::make_unique<std::array<LayoutOrigin, omr::kLayoutsPerFace>>();
};

// Reads every command line of a form text, going on past rejected ones so
// that all of them are reported, and notes the lines that look like commands
// but are taken as comments.
void LoadLocalFormText(std::string_view text, LocalForm& form);

// The driver's code for the form: that of the first line it stops at, 1 when
// no layout is defined, else 0.
int FormStatus(const LocalForm& form);

struct LayoutSummary {
  int index = 0;
  char letter = ' ';
  int lines = 0;  // L1
  int identLine = 0;
  int identColumn = 0;
  std::vector<omr::BarRecord> bars;
  int fields = 0;
  int questions = 0;
  omr::GradeRecord grade;
  std::vector<std::string> inherited;  // "letter", "D", "G", "L", "M"
};

std::vector<LayoutSummary> SummarizeLayouts(const LocalForm& form);

// Problems the library does not report: a field with a label id that does not
// exist, option cells outside the sheet's lines or off the read head
// (`headColumns` cells wide), layouts a sheet cannot be told apart by, cells
// that two questions use, lines that look like commands but are comments.
std::vector<FormWarning> CheckForm(const LocalForm& form, int headColumns);

// Where a rejected line goes wrong: the column at fault and what to do.
void DescribeRejection(FormLineInfo& line);

}  // namespace omr::offline
