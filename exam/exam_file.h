// The exam file: which questions are the student ID, the version and the
// scored items, the answer key of each version and the scoring rules. JSON
// with comments; every problem names its JSON pointer, line and column.
#pragma once

#include <map>
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

// How a sheet of an exam in parts (a candidate has one sheet of each) tells
// which part it is: the form letter of its layout, or a question's character.
enum class PartSource { kSingle, kQuestion, kLayout };

struct SheetPart {
  std::string name;            // the layout letter, or what the part question codes for it
  std::vector<int> questions;  // the questions of its items, in item order
  std::size_t first = 0;       // the index in Exam::items of its first item
};

// What sends a question to a person (the exam file's "review"). A blank or a
// double mark the recognition is sure of is the student's own doing; its
// doubts and low confidence are the reader's.
struct ReviewRules {
  bool blank = false;     // every blank item, not only those read with doubt
  bool multiple = true;   // every double mark, not only those read with doubt
  bool doubtful = true;   // questions the recognition doubts (faint, erasure, ...)
  double confidence = 0;  // also questions whose confidence is below this
};

// How a total becomes the grade a student gets: the value the exam grades on
// (the percent or the points), rescaled to a mark when asked, rounded by the
// stated rule, then the highest band that mark reaches.
enum class GradeBasis { kPercent, kPoints };
enum class RoundMode { kHalfUp, kHalfEven, kDown, kUp };

struct GradeBand {
  double min = 0;
  std::string grade;
};

struct GradeRules {
  GradeBasis on = GradeBasis::kPercent;
  std::vector<GradeBand> bands;    // the highest minimum first
  bool scaled = false;             // "scale": the mark is the value mapped linearly
  double fromLow = 0;              // the value that maps to toLow
  std::optional<double> fromHigh;  // the value that maps to toHigh; empty: 100 or the maximum
  double toLow = 0;
  double toHigh = 0;
  double step = 0;  // "round": the mark is rounded to a multiple of this; 0: not rounded
  RoundMode mode = RoundMode::kHalfUp;
  std::string pass;  // the lowest grade that passes; "": every band but the lowest

  bool Any() const { return !bands.empty() || scaled || step > 0; }
};

// Items tagged with a topic: each student's subscore is their points on them.
struct Topic {
  std::string name;
  std::vector<int> items;  // master items, from 1, in order
};

// What the learning platforms' files are made of: the grade item's name, the
// value written ("points", "percent" or "mark"; "" the mark when the exam
// rescales, else the points) and, per platform, the roster column behind
// each of its identifier columns ("id": the roster's ID).
struct LmsRules {
  std::string item;
  std::string value;
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> columns;
  std::string blackboardColumn;  // the Grade Center's column ID of the item; "" a new column
};

struct Exam {
  std::string title;
  std::string form;            // the form file as written (relative to the exam file)
  std::string roster;          // the roster file as written; empty when none
  std::string rosterEncoding;  // the roster's character set as written; empty: UTF-8
  std::vector<int> studentQuestions;
  std::string studentTypes;  // their field types on the first layout
  // Per student question, the characters it can code for a valid ID (as
  // bytes, sorted); what a person types as an ID must fit them.
  std::vector<std::string> idCharacters;
  VersionSource versionSource = VersionSource::kSingle;
  int versionQuestion = 0;
  std::vector<int> items;  // question numbers of items 1..n (in parts: part after part)
  PartSource partSource = PartSource::kSingle;
  int partQuestion = 0;
  std::vector<SheetPart> parts;  // empty: every sheet holds every item
  std::vector<VersionKey> keys;  // every version's answers, derived from the master key when not given
  std::string masterKey;         // one option per master item ("key", or the first version's answers)
  std::vector<ItemRule> rules;   // per master item
  std::optional<double> floor;
  ReviewRules review;
  GradeRules grades;
  std::vector<Topic> topics;
  std::vector<std::string> groups;  // roster columns that group students (class, room)
  LmsRules lms;

  int ItemCount() const { return static_cast<int>(items.size()); }
  // The points of a fully right sheet: every item that is not void.
  double MaximumPoints() const;
  const VersionKey* FindKey(std::string_view name) const;
  // The key option of master item `master` (from 1) on version `key`.
  char KeyFor(const VersionKey& key, int master) const;
  // The role of a question: "student", "version", "part", "item" or ""
  // (unused); on a sheet of part `part` ("": of any part).
  std::string RoleOf(int question, std::string_view part = "") const;
  // The index in `parts` of the part named so; -1 when there is none.
  int FindPart(std::string_view name) const;
  // The index in `parts` of the part that holds the item at `position` (an
  // index in `items`); 0 for an exam of one sheet.
  std::size_t PartAt(std::size_t position) const;
  // The layout the item at `position` is on in version `key`: its part's
  // layout when parts are layouts, the version's when versions are, else the
  // first. Null for a form without layouts.
  const LayoutShape* LayoutAt(const FormShape& shape, const VersionKey& key, std::size_t position) const;
  // The option labels of the question of the item at `position` in version `key`.
  std::string OptionsAt(const FormShape& shape, const VersionKey& key, std::size_t position) const;
  // Whether a typed student ID has the shape the student questions code;
  // false with what is wrong and what fits.
  bool CheckStudentId(std::string_view id, std::string& error) const;
  // "8 characters, each 0-9": the shape of a student ID, for messages.
  std::string DescribeStudentId() const;
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
// `stored`: a revision a project holds, checked when it came; a version's own
// answers that disagree with the master key count as they are (projects made
// before the agreement was checked still open).
ExamCheck ParseExam(std::string_view text, const FormShape& form, bool stored = false);

struct Roster;

// The roster columns the exam names ("groups", the platforms' identifiers in
// "lms") must be the roster's: a problem at its place for each that is not.
// `text` is the exam file the exam was read from.
std::vector<Problem> CheckRosterColumns(const Exam& exam, std::string_view text, const Roster& roster);

// The characters a question can code as one position of a valid student ID,
// sorted.
std::string CodableCharacters(const QuestionShape& question);

// "11-70", "1,3,5-9": the numbers in order; false on a malformed list.
bool ParseRanges(std::string_view text, std::vector<int>& out);

}  // namespace omr::exam
