// Typed sheets: a sheet the reader cannot take (torn, crumpled, wet) is
// typed in by a person. What was typed is the sheet's fact (kept as its
// result text, with the typist as its author); its responses are made from
// it as the recognition would have coded the same marks, and it is scored,
// reviewed and analysed like a read sheet.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "exam_file.h"
#include "scoring.h"

namespace omr::exam {

struct TypedSheet {
  std::string studentId;  // "" when the exam reads no student ID
  std::string version;    // a key's name; "" when the exam has one version
  // Per item of the exam (the sheet's item questions, in the exam's order):
  // the labels marked, "" for a blank, several for a double mark.
  std::vector<std::string> answers;
  std::string author;             // who typed it
  std::string station = "typed";  // where it was typed
  // Of an exam in parts: the part the sheet is (its layout letter, or what
  // its part question codes); `answers` are then that part's items only.
  std::string part;
};

// Limits on what is typed.
inline constexpr std::size_t kMaxTypedText = 8192;

// The answers in the notation people type: one entry per item, a label
// ("A"), "-" or "." for a blank, "(AC)" for several marks; blanks and commas
// between entries are skipped. Throws Error naming the character at fault.
std::vector<std::string> ParseTypedAnswers(std::string_view text);
// The same notation from answers (what the page and `exam type` show).
std::string FormatTypedAnswers(const std::vector<std::string>& answers);

// Checks a typed sheet against the exam and its form and makes what the
// project stores: the responses of the sheet's questions (student ID,
// version, part, items), its form letter and its result text (the typed
// sheet as JSON: {"id", "version", "answers"}, and "part" in parts). Of an
// exam in parts the sheet is scored and combined as its part's. A
// lower-case letter stands for its capital where the question has only
// that. Throws Error naming the field.
struct TypedFacts {
  std::vector<Response> responses;
  char letter = 0;
  std::string result;
};
TypedFacts TypedFactsOf(const Exam& exam, const FormShape& shape, const TypedSheet& typed);

// The typed sheet a stored result text holds (an import brings it again).
// Throws Error when the text is not one.
TypedSheet ParseTypedResult(const std::string& result);

}  // namespace omr::exam
