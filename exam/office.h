// What the office page's routes do, page by page: pure work on a project or
// on texts the page sent, answering JSON. The routes themselves (what each
// needs, its parameters, its body) are in the one table of review_server.cpp.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "api_support.h"
#include "project.h"
#include "project_analysis.h"

namespace omr::exam::office {

using api::Json;

// Limits on what the office page uploads.
inline constexpr std::size_t kMaxUpload = 4 * 1024 * 1024;  // a body with a form, an exam file and a roster
inline constexpr std::size_t kMaxExamText = 1024 * 1024;
inline constexpr std::size_t kMaxFormText = 1024 * 1024;
inline constexpr std::size_t kMaxRosterText = 2 * 1024 * 1024;
inline constexpr std::size_t kMaxFileName = 200;

// ------------------------------------------------------------------ analysis

// What tells whether an exam's scores may have changed: its revision, its
// sheets and its corrections.
struct Stamp {
  int revision = 0;
  int sheets = 0;
  int corrections = 0;
  Id lastCorrection = 0;
  bool operator==(const Stamp&) const = default;
};
Stamp StampOf(Project& project);

// The scores and the item analysis of an exam at one stamp (kept by the
// server while the stamp holds: the Exams and Results pages read it).
struct Analyzed {
  Stamp stamp;
  std::vector<SheetRecord> sheets;  // without grids
  std::vector<SheetScore> scores;
  ExamAnalysis analysis;
  std::string error;  // why there is no analysis ("" when there is)
};
std::shared_ptr<const Analyzed> Analyze(Project& project, const Stamp& stamp);

// --------------------------------------------------------------- Exams page

// An exam's state: title, sheets read, students read and missing, waiting for
// review, last read, flagged items; `editable` while no sheet is read.
Json Summary(Project& project, const std::string& file, const Analyzed& analyzed);

// ------------------------------------------------------------ New exam page

// The example forms installed with omrctl (and those of the source tree when
// it runs from a build): name, text, layouts.
Json Forms(const std::vector<std::string>& folders);

// A form text checked by the offline library: its problems at their lines
// (rejected lines and warnings) and, when the driver loads it, its layouts
// with their questions.
Json CheckForm(const std::string& text);

// A roster (bytes in `encoding`, "" for UTF-8) as a table: its columns, the
// first rows, the count, the problems by line; with `idColumn` the roster as
// the exam stores it (UTF-8, that column named "id").
Json CheckRoster(const std::string& bytes, const std::string& encoding, const std::string& idColumn);

// An exam file checked against the form by the exam layer's own checker:
// every problem with its JSON pointer, line and column; a summary when none.
Json CheckExam(const std::string& examText, const std::string& formText, const std::string& rosterText);

}  // namespace omr::exam::office
