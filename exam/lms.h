// Learning platforms' grade imports: which identifier columns each takes, and
// the file for one platform from an exam's results. The rules of each file
// (headings, delimiter, what must not be in it) are the platform's own, as
// docs/exams.md cites them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace omr::exam {

struct ExamResults;
struct Exam;
struct Roster;

struct LmsPlatform {
  const char* name;   // "moodle", as --lms takes it
  const char* title;  // "Moodle"
  // The identifier columns the platform's file may carry, in the file's order.
  std::vector<const char*> keys;
  const char* primary;  // the key --lms-id fills, and the roster's ID when nothing is named
  bool oneKey;          // the file carries one of `keys` only (Moodle maps one column)
};

const std::vector<LmsPlatform>& LmsPlatforms();
// Null for a name that is none of them.
const LmsPlatform* FindLmsPlatform(std::string_view name);
// "moodle, canvas, blackboard, brightspace"
std::string LmsPlatformNames();

struct LmsOptions {
  std::string platform;
  std::string itemName;  // overrides the exam file's "lms.item"
  std::string idColumn;  // the roster column behind the platform's primary key
  std::string columnId;  // Blackboard: the Grade Center column ID (overrides the exam file)
};

struct LmsFile {
  std::string text;                  // the file's bytes
  int written = 0;                   // students in it
  std::vector<std::string> skipped;  // one line per student left out, and why
  std::vector<std::string> notes;    // what the person should know (a new column, sheets waiting)
};

// Why the platform's file cannot be made for this exam, before any student
// is looked at ("" when it can): an unknown platform, no roster, no grade
// item, a roster column the roster lacks. BuildLmsFile throws the same text.
std::string LmsProblem(const Exam& exam, const Roster& roster, const LmsOptions& options);

// The file for the platform. Only students the roster has, with a scored
// sheet of their own and the identifiers the platform needs, are written;
// every other student who has a sheet is named in `skipped`. Throws Error for
// an unknown platform, item name or roster column.
LmsFile BuildLmsFile(const Exam& exam, const Roster& roster, const ExamResults& results,
                     const LmsOptions& options);

}  // namespace omr::exam
