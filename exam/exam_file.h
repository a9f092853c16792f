// The exam file: which questions are the student ID, the version and the
// scored items, the answer key of each version and the scoring rules. JSON
// with comments; every problem names its JSON pointer, line and column.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace omr::exam {

// What the exam file is checked against: the questions of each layout of the
// form, as the recognition numbers them (result order, from 1).
struct QuestionShape {
  int number = 0;
  char type = ' ';
  std::string options;  // option labels in cell order (form bytes)
};

struct LayoutShape {
  char letter = ' ';  // ' ' when the layout has none
  std::vector<QuestionShape> questions;
};

struct FormShape {
  std::vector<LayoutShape> layouts;
};

enum class ItemKind { kScored, kVoid, kBonus };

// The rule of one master item, defaults already applied.
struct ItemRule {
  ItemKind kind = ItemKind::kScored;
  double points = 1;
  double wrong = 0;
  double blank = 0;
  double multiple = 0;
  std::string accept;  // further correct options
  std::string all;     // non-empty: the options that must all be marked
  bool partial = false;
};

struct VersionKey {
  std::string name;
  std::string answers;     // one option per item, in this version's order
  std::vector<int> order;  // item i of this version is master item order[i] (from 1)
};

enum class VersionSource { kSingle, kQuestion, kLayout };

struct Exam {
  std::string title;
  std::string form;    // the form file as written (relative to the exam file)
  std::string roster;  // the roster file as written; empty when none
  std::vector<int> studentQuestions;
  std::string studentTypes;  // their field types on the first layout
  VersionSource versionSource = VersionSource::kSingle;
  int versionQuestion = 0;
  std::vector<int> items;        // question numbers of items 1..n
  std::vector<VersionKey> keys;  // keys[0] gives the master numbering
  std::vector<ItemRule> rules;   // per master item
  std::optional<double> floor;
  double doubtfulBelow = 0;  // also flag questions with a confidence below this

  int ItemCount() const { return static_cast<int>(items.size()); }
  const VersionKey* FindKey(std::string_view name) const;
  // The key option of master item `master` (from 1) on version `key`.
  char KeyFor(const VersionKey& key, int master) const;
  // The role of a question: "student", "version", "item" or "" (unused).
  std::string RoleOf(int question) const;
};

struct Problem {
  std::string pointer;  // JSON pointer ("" for the whole document)
  int line = 0;
  int column = 0;
  std::string message;
};

// "FILE:LINE:COLUMN: POINTER: MESSAGE"
std::string FormatProblem(const std::string& file, const Problem& problem);

// Reads and checks the exam file against the form. Problems are collected
// (not only the first); the exam is usable only when there are none.
struct ExamCheck {
  Exam exam;
  std::vector<Problem> problems;
};
ExamCheck ParseExam(std::string_view text, const FormShape& form);

// "11-70", "1,3,5-9": the numbers in order; false on a malformed list.
bool ParseRanges(std::string_view text, std::vector<int>& out);

}  // namespace omr::exam
